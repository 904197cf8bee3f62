#include "SimulatedLink.h"

#include <algorithm>
#include <charconv>

#include <QString>
#include <QtGlobal>

#include "SimulatedControlFile.h"
#include "SimulatorLogging.h"

namespace {

constexpr char defaultSerial[] = "VANTIKO";
constexpr std::uint32_t ft232hType = 8;
constexpr std::uint32_t vendorProductId = 0x04036014;
constexpr std::uint32_t deviceOpenedFlag = 1;
constexpr std::uint32_t firstLocationId = 0x11;
// A read or wait without a time limit still checks its handle this often.
constexpr auto unlimitedWaitSlice = std::chrono::seconds(1);
constexpr auto controlFileInterval = std::chrono::milliseconds(200);

std::optional<Illumination> illuminationNamed(const std::string &name) {
    if (name == "scene") {
        return Illumination::Scene;
    }
    if (name == "dark") {
        return Illumination::Dark;
    }
    if (name == "flood") {
        return Illumination::Flood;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> batteryCodeIn(const std::string &value) {
    unsigned code = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), code);
    if (error != std::errc() || end != value.data() + value.size() || code > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(code);
}

// A fault's count: a whole number from 0 to a million.
std::optional<int> faultCountIn(const std::string &value) {
    int count = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (error != std::errc() || end != value.data() + value.size() || count < 0 || count > 1000000) {
        return std::nullopt;
    }
    return count;
}

std::uintptr_t handleKey(ft::Handle handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

SimulatedLink::SimulatedLink() : SimulatedLink(true) {}

SimulatedLink::SimulatedLink(bool plugDefaultInstrument) {
    const QString light = qEnvironmentVariable("VANTIKO_SIM_LIGHT").trimmed().toLower();
    if (!light.isEmpty()) {
        m_initialIllumination = illuminationNamed(light.toStdString());
        if (!m_initialIllumination) {
            qCWarning(lcSimulator).noquote()
                << QStringLiteral("VANTIKO_SIM_LIGHT=\"%1\" is not scene, dark or flood; showing the scene.")
                       .arg(light);
        }
    }
    if (plugDefaultInstrument) {
        m_devices.push_back(Device{makeInstrument(defaultSerial)});
    }
    const QString controlPath = qEnvironmentVariable("VANTIKO_SIM_CONTROL");
    if (!controlPath.isEmpty()) {
        startControlWatcher(controlPath.toStdString());
    }
}

SimulatedLink::~SimulatedLink() {
    {
        std::lock_guard lock(m_watcherMutex);
        m_watcherStopping = true;
    }
    m_watcherWake.notify_all();
    if (m_watcher.joinable()) {
        m_watcher.join();
    }
}

std::shared_ptr<SimulatedInstrument> SimulatedLink::makeInstrument(const std::string &serialNumber) const {
    auto instrument = std::make_shared<SimulatedInstrument>(serialNumber);
    if (m_initialIllumination) {
        instrument->setIllumination(*m_initialIllumination);
    }
    return instrument;
}

const SimulatedLink::Device *SimulatedLink::findDevice(const std::string &serialNumber) const {
    const auto found = std::find_if(m_devices.begin(), m_devices.end(), [&](const Device &device) {
        return device.instrument->serialNumber() == serialNumber;
    });
    return found == m_devices.end() ? nullptr : &*found;
}

SimulatedLink::Device *SimulatedLink::findDevice(const std::string &serialNumber) {
    return const_cast<Device *>(std::as_const(*this).findDevice(serialNumber));
}

bool SimulatedLink::isOpen(const Device &device) const {
    return std::any_of(m_sessions.begin(), m_sessions.end(), [&](const auto &entry) {
        const Session &session = entry.second;
        return session.instrument == device.instrument && session.plugGeneration == device.plugGeneration;
    });
}

// --- Devices ------------------------------------------------------------------------------------------------

std::shared_ptr<SimulatedInstrument> SimulatedLink::instrument(const std::string &serialNumber) const {
    std::lock_guard lock(m_mutex);
    const Device *device = findDevice(serialNumber);
    return device ? device->instrument : nullptr;
}

std::shared_ptr<SimulatedInstrument> SimulatedLink::addDevice(const std::string &serialNumber) {
    std::shared_ptr<SimulatedInstrument> added;
    {
        std::lock_guard lock(m_mutex);
        if (const Device *existing = findDevice(serialNumber)) {
            return existing->instrument;
        }
        added = makeInstrument(serialNumber);
        m_devices.push_back(Device{added});
    }
    notifyDeviceChange();
    return added;
}

void SimulatedLink::unplug(const std::string &serialNumber) {
    std::shared_ptr<SimulatedInstrument> pulled;
    {
        std::lock_guard lock(m_mutex);
        Device *device = findDevice(serialNumber);
        if (!device || !device->plugged) {
            return;
        }
        device->plugged = false;
        ++device->plugGeneration;
        pulled = device->instrument;
    }
    // Waits on its handles end now with the pulled device's status.
    pulled->wakeWaiters();
    qCDebug(lcSimulator).noquote()
        << QStringLiteral("Instrument %1 unplugged").arg(QString::fromStdString(serialNumber));
    notifyDeviceChange();
}

void SimulatedLink::plug(const std::string &serialNumber) {
    {
        std::lock_guard lock(m_mutex);
        Device *device = findDevice(serialNumber);
        if (!device || device->plugged) {
            return;
        }
        // Powered up before anyone can open it again. (Lock order: link, then instrument, never the reverse.)
        device->instrument->powerOn();
        device->plugged = true;
    }
    qCDebug(lcSimulator).noquote()
        << QStringLiteral("Instrument %1 plugged in").arg(QString::fromStdString(serialNumber));
    notifyDeviceChange();
}

void SimulatedLink::setDeviceChangeCallback(DeviceChangeCallback callback) {
    std::lock_guard lock(m_callbackMutex);
    m_deviceChangeCallback = std::move(callback);
}

void SimulatedLink::notifyDeviceChange() {
    std::lock_guard lock(m_callbackMutex);
    if (m_deviceChangeCallback) {
        // A copy: the callback may replace itself while it runs.
        const DeviceChangeCallback callback = m_deviceChangeCallback;
        callback();
    }
}

// --- Control by a person -----------------------------------------------------------------------------------

bool SimulatedLink::applyControlCommand(const std::string &line) {
    if (line == "unplug") {
        unplug(defaultSerial);
        return true;
    }
    if (line == "plug") {
        plug(defaultSerial);
        return true;
    }
    const std::shared_ptr<SimulatedInstrument> target = instrument(defaultSerial);
    // "unpaced": records as fast as they are asked for, for long runs in little time; "paced" the sensor's time.
    if (line == "unpaced" || line == "paced") {
        if (target) {
            target->setPaced(line == "paced");
        }
        return true;
    }
    if (const std::optional<Illumination> light = illuminationNamed(line)) {
        if (target) {
            target->setIllumination(*light);
        }
        return true;
    }
    const std::string batteryPrefix = "battery=";
    if (line.starts_with(batteryPrefix)) {
        const std::optional<std::uint16_t> code = batteryCodeIn(line.substr(batteryPrefix.size()));
        if (!code) {
            return false;
        }
        if (target) {
            target->setBatteryCode(*code);
        }
        return true;
    }
    // Faults for people and for tests that run the program as a process: "unanswered=N" leaves the next N
    // handshake or parameter commands unanswered, "unanswered-settings=N" only parameter commands.
    const std::pair<std::string, void (SimulatedInstrument::*)(int)> faults[] = {
        {"unanswered=", &SimulatedInstrument::leaveCommandsUnanswered},
        {"unanswered-settings=", &SimulatedInstrument::leaveSettingsUnanswered},
    };
    for (const auto &[prefix, inject] : faults) {
        if (!line.starts_with(prefix)) {
            continue;
        }
        const std::optional<int> count = faultCountIn(line.substr(prefix.size()));
        if (!count) {
            return false;
        }
        if (target) {
            ((*target).*inject)(*count);
        }
        return true;
    }
    return false;
}

void SimulatedLink::startControlWatcher(const std::string &path) {
    qCInfo(lcSimulator).noquote() << QStringLiteral("Simulator control file: %1").arg(QString::fromStdString(path));
    // What the file says at start holds before the link is used: a fault set up for the first handshake
    // must not depend on how soon the watcher thread gets to run.
    auto file = std::make_shared<SimulatedControlFile>(std::filesystem::path(path));
    applyControlFile(*file);
    m_watcher = std::thread([this, file] { watchControlFile(*file); });
}

void SimulatedLink::applyControlFile(SimulatedControlFile &file) {
    const auto lines = file.changedLines();
    if (!lines) {
        return;
    }
    for (const std::string &line : *lines) {
        if (applyControlCommand(line)) {
            qCInfo(lcSimulator).noquote() << QStringLiteral("Control: %1").arg(QString::fromStdString(line));
        } else {
            qCWarning(lcSimulator).noquote()
                << QStringLiteral("Unknown simulator control line \"%1\"").arg(QString::fromStdString(line));
        }
    }
}

void SimulatedLink::watchControlFile(SimulatedControlFile &file) {
    std::unique_lock lock(m_watcherMutex);
    while (!m_watcherStopping) {
        lock.unlock();
        applyControlFile(file);
        lock.lock();
        m_watcherWake.wait_for(lock, controlFileInterval, [this] { return m_watcherStopping; });
    }
}

// --- Enumeration and open/close ----------------------------------------------------------------------------

ft::Status SimulatedLink::createDeviceInfoList(std::uint32_t *count) {
    if (!count) {
        return ft::InvalidParameter;
    }
    std::lock_guard lock(m_mutex);
    m_deviceList.clear();
    for (std::size_t index = 0; index < m_devices.size(); ++index) {
        const Device &device = m_devices[index];
        if (!device.plugged) {
            continue;
        }
        DeviceInfo info;
        info.flags = isOpen(device) ? deviceOpenedFlag : 0;
        info.type = ft232hType;
        info.id = vendorProductId;
        info.locationId = firstLocationId + static_cast<std::uint32_t>(index);
        info.serialNumber = device.instrument->enumerateSerial();
        info.description = defaultSerial;
        m_deviceList.push_back(std::move(info));
    }
    *count = static_cast<std::uint32_t>(m_deviceList.size());
    return ft::Ok;
}

ft::Status SimulatedLink::getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) {
    if (!count) {
        return ft::InvalidParameter;
    }
    std::lock_guard lock(m_mutex);
    const std::size_t records = std::min<std::size_t>(*count, m_deviceList.size());
    list.assign(m_deviceList.begin(), m_deviceList.begin() + static_cast<std::ptrdiff_t>(records));
    *count = static_cast<std::uint32_t>(records);
    return ft::Ok;
}

ft::Status SimulatedLink::openEx(const std::string &arg, std::uint32_t flags, ft::Handle *handle) {
    if (!handle) {
        return ft::InvalidParameter;
    }
    if (flags != ft::OpenBySerialNumber && flags != ft::OpenByDescription) {
        return ft::InvalidParameter;
    }
    std::lock_guard lock(m_mutex);
    bool foundOpen = false;
    for (const Device &device : m_devices) {
        const std::string &name =
            flags == ft::OpenBySerialNumber ? device.instrument->serialNumber() : std::string(defaultSerial);
        if (!device.plugged || name != arg) {
            continue;
        }
        if (isOpen(device)) {
            foundOpen = true;
            continue;
        }
        const std::uintptr_t handleValue = m_nextHandle++;
        m_sessions.emplace(handleValue, Session{device.instrument, device.plugGeneration});
        *handle = reinterpret_cast<ft::Handle>(handleValue);
        return ft::Ok;
    }
    // Like the driver: a device that some handle already holds cannot be opened a second time.
    return foundOpen ? ft::DeviceNotOpened : ft::DeviceNotFound;
}

ft::Status SimulatedLink::close(ft::Handle handle) {
    std::shared_ptr<SimulatedInstrument> closed;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_sessions.find(handleKey(handle));
        if (found == m_sessions.end()) {
            return ft::InvalidHandle;
        }
        closed = found->second.instrument;
        m_sessions.erase(found);
    }
    // A wait or read still running on the handle returns now.
    closed->wakeWaiters();
    return ft::Ok;
}

ft::Status SimulatedLink::lookUp(ft::Handle handle, SessionView *view) const {
    std::lock_guard lock(m_mutex);
    const auto found = m_sessions.find(handleKey(handle));
    if (found == m_sessions.end()) {
        return ft::InvalidHandle;
    }
    const Session &session = found->second;
    const Device *device = findDevice(session.instrument->serialNumber());
    if (!device || !device->plugged || device->plugGeneration != session.plugGeneration) {
        return ft::IoError;
    }
    view->instrument = session.instrument;
    view->readTimeoutMs = session.readTimeoutMs;
    return ft::Ok;
}

ft::Status SimulatedLink::prepareWait(ft::Handle handle, SessionView *view, std::uint64_t *wakesSeen) const {
    ft::Status status = lookUp(handle, view);
    if (status != ft::Ok) {
        return status;
    }
    *wakesSeen = view->instrument->wakeCount();
    // Checked again after the count was read: a close or pull in between is caught here, one after it
    // ends the wait.
    return lookUp(handle, view);
}

// --- Configuration -----------------------------------------------------------------------------------------

ft::Status SimulatedLink::resetDevice(ft::Handle handle) {
    SessionView view;
    const ft::Status status = lookUp(handle, &view);
    if (status == ft::Ok) {
        view.instrument->reset();
    }
    return status;
}

ft::Status SimulatedLink::purge(ft::Handle handle, std::uint32_t mask) {
    SessionView view;
    const ft::Status status = lookUp(handle, &view);
    // Commands are acted on as they are written, so there is never anything to purge on the way out.
    if (status == ft::Ok && (mask & ft::PurgeRx)) {
        view.instrument->purge();
    }
    return status;
}

ft::Status SimulatedLink::setBitMode(ft::Handle handle, std::uint8_t, std::uint8_t) {
    SessionView view;
    return lookUp(handle, &view);
}

ft::Status SimulatedLink::setUsbParameters(ft::Handle handle, std::uint32_t, std::uint32_t) {
    SessionView view;
    return lookUp(handle, &view);
}

ft::Status SimulatedLink::setFlowControl(ft::Handle handle, std::uint16_t, std::uint8_t, std::uint8_t) {
    SessionView view;
    return lookUp(handle, &view);
}

ft::Status SimulatedLink::setTimeouts(ft::Handle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) {
    SessionView view;
    const ft::Status status = lookUp(handle, &view);
    if (status != ft::Ok) {
        return status;
    }
    std::lock_guard lock(m_mutex);
    const auto found = m_sessions.find(handleKey(handle));
    if (found == m_sessions.end()) {
        return ft::InvalidHandle;
    }
    found->second.readTimeoutMs = readTimeoutMs;
    found->second.writeTimeoutMs = writeTimeoutMs;
    return ft::Ok;
}

// --- Data ------------------------------------------------------------------------------------------------------

ft::Status SimulatedLink::write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                                std::uint32_t *bytesWritten) {
    if (bytesWritten) {
        *bytesWritten = 0;
    }
    if (!buffer && bytesToWrite > 0) {
        return ft::InvalidParameter;
    }
    SessionView view;
    const ft::Status status = lookUp(handle, &view);
    if (status != ft::Ok) {
        return status;
    }
    view.instrument->receiveFromHost(static_cast<const std::uint8_t *>(buffer), bytesToWrite);
    if (bytesWritten) {
        *bytesWritten = bytesToWrite;
    }
    return ft::Ok;
}

ft::Status SimulatedLink::getStatus(ft::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                                    std::uint32_t *eventStatus) {
    if (!rxBytes) {
        return ft::InvalidParameter;
    }
    for (std::uint32_t *value : {rxBytes, txBytes, eventStatus}) {
        if (value) {
            *value = 0;
        }
    }
    SessionView view;
    const ft::Status status = lookUp(handle, &view);
    if (status != ft::Ok) {
        return status;
    }
    *rxBytes = static_cast<std::uint32_t>(view.instrument->bytesQueued());
    return ft::Ok;
}

ft::Status SimulatedLink::read(ft::Handle handle, void *buffer, std::uint32_t bytesToRead,
                               std::uint32_t *bytesReturned) {
    if (!bytesReturned || (!buffer && bytesToRead > 0)) {
        return ft::InvalidParameter;
    }
    *bytesReturned = 0;
    SessionView view;
    ft::Status status = lookUp(handle, &view);
    if (status != ft::Ok) {
        return status;
    }
    if (view.instrument->consumeReadFailure()) {
        return ft::IoError;
    }
    auto *bytes = static_cast<std::uint8_t *>(buffer);
    // Read timeout 0 waits without limit, as with the driver; a pulled instrument or a closed handle
    // still ends the wait.
    const auto deadline = SimulatedInstrument::Clock::now() + std::chrono::milliseconds(view.readTimeoutMs);
    for (;;) {
        const std::uint64_t arrivals = view.instrument->arrivals();
        *bytesReturned += static_cast<std::uint32_t>(
            view.instrument->takeBytes(bytes + *bytesReturned, bytesToRead - *bytesReturned));
        if (*bytesReturned == bytesToRead) {
            return ft::Ok;
        }
        const auto now = SimulatedInstrument::Clock::now();
        if (view.readTimeoutMs != 0 && now >= deadline) {
            return ft::Ok;
        }
        std::uint64_t wakes = 0;
        status = prepareWait(handle, &view, &wakes);
        if (status != ft::Ok) {
            return status;
        }
        const auto until = view.readTimeoutMs == 0 ? now + unlimitedWaitSlice : deadline;
        view.instrument->waitForArrival(until, arrivals, wakes);
    }
}

ft::Status SimulatedLink::waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) {
    SessionView view;
    std::uint64_t wakes = 0;
    const ft::Status status = prepareWait(handle, &view, &wakes);
    if (status != ft::Ok) {
        return status;
    }
    view.instrument->waitForOutput(SimulatedInstrument::Clock::now() + timeout, wakes);
    return lookUp(handle, &view);
}

ft::Status SimulatedLink::arrivalCount(ft::Handle handle, std::uint64_t *arrivals) const {
    SessionView view;
    const ft::Status status = lookUp(handle, &view);
    if (status == ft::Ok && arrivals) {
        *arrivals = view.instrument->arrivals();
    }
    return status;
}

ft::Status SimulatedLink::waitForArrival(ft::Handle handle, std::uint64_t *arrivals,
                                         std::chrono::milliseconds timeout) {
    if (!arrivals) {
        return ft::InvalidParameter;
    }
    SessionView view;
    std::uint64_t wakes = 0;
    const ft::Status status = prepareWait(handle, &view, &wakes);
    if (status != ft::Ok) {
        return status;
    }
    *arrivals = view.instrument->waitForArrival(SimulatedInstrument::Clock::now() + timeout, *arrivals, wakes);
    return lookUp(handle, &view);
}
