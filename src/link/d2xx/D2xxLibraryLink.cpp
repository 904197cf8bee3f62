#include "D2xxLibraryLink.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <thread>

#include <QLibrary>
#include <QtGlobal>

#include "LinkLogging.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Spare records beyond the count of the last list: the library takes no capacity, so a list that grew in
// between (a device plugged in at that moment) must not write past the array.
constexpr std::uint32_t kSpareListRecords = 16;

// Where a user names the file; the backend choice reads it and hands the file over.
const char *const kEnvironmentLibrary = "VANTIKO_D2XX_LIBRARY";
// How often a wait looks at the queue when the library cannot signal arrivals.
constexpr auto kStatusPollInterval = std::chrono::milliseconds(1);

std::string boundedText(const char *text, std::size_t capacity) {
    return std::string(text, strnlen(text, capacity));
}

template <typename Function>
void resolveInto(QLibrary &library, const char *name, Function &target, QStringList *missing) {
    target = reinterpret_cast<Function>(library.resolve(name));
    if (!target) {
        missing->append(QString::fromLatin1(name));
    }
}

// Resolves every function; returns the names of those the library lacks.
QStringList resolveFunctions(QLibrary &library, D2xxLibraryLink::Functions *functions) {
    QStringList missing;
    resolveInto(library, "FT_CreateDeviceInfoList", functions->createDeviceInfoList, &missing);
    resolveInto(library, "FT_GetDeviceInfoList", functions->getDeviceInfoList, &missing);
    resolveInto(library, "FT_OpenEx", functions->openEx, &missing);
    resolveInto(library, "FT_Close", functions->close, &missing);
    resolveInto(library, "FT_ResetDevice", functions->resetDevice, &missing);
    resolveInto(library, "FT_Purge", functions->purge, &missing);
    resolveInto(library, "FT_SetBitMode", functions->setBitMode, &missing);
    resolveInto(library, "FT_SetUSBParameters", functions->setUsbParameters, &missing);
    resolveInto(library, "FT_SetFlowControl", functions->setFlowControl, &missing);
    resolveInto(library, "FT_SetTimeouts", functions->setTimeouts, &missing);
    resolveInto(library, "FT_Write", functions->write, &missing);
    resolveInto(library, "FT_GetStatus", functions->getStatus, &missing);
    resolveInto(library, "FT_Read", functions->read, &missing);
    // Older libraries may lack it; waits then poll.
    functions->setEventNotification =
        reinterpret_cast<FT_SetEventNotification_t>(library.resolve("FT_SetEventNotification"));
    return missing;
}

// Loads the first of `names` that loads; null and `error` set when none does.
std::unique_ptr<QLibrary> openFirstLibrary(const QStringList &names, QString *error) {
    for (const QString &name : names) {
        auto library = std::make_unique<QLibrary>(name);
        if (library->load()) {
            return library;
        }
        *error = library->errorString();
    }
    return nullptr;
}

QString loadFailureText(const QString &libraryFile, const QStringList &names, const QString &error) {
    if (!libraryFile.isEmpty()) {
        return QStringLiteral("The D2XX library \"%1\" named by %2 could not be loaded: %3")
            .arg(names.value(0), QString::fromLatin1(kEnvironmentLibrary), error);
    }
    return QStringLiteral("The FTDI D2XX library could not be loaded (tried %1): %2")
        .arg(names.join(QStringLiteral(", ")), error);
}

}  // namespace

// One handle the library gave out. Calls on it run side by side; a close refuses new calls, wakes a wait
// for received bytes and waits for the running calls, so the library's handle is never used after its
// FT_Close. The arrival event lives here as long as the handle, so the library never signals freed memory.
class D2xxLibraryLink::OpenDevice {
public:
    explicit OpenDevice(d2xx::Handle native) : m_native(native) {
#if defined(_WIN32)
        m_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
#else
        pthread_mutex_init(&m_event.eMutex, nullptr);
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
#if !defined(__APPLE__)
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
#endif
        pthread_cond_init(&m_event.eCondVar, &attributes);
        pthread_condattr_destroy(&attributes);
        m_event.iVar = 0;
#endif
    }
    ~OpenDevice() {
#if defined(_WIN32)
        if (m_event) {
            CloseHandle(m_event);
        }
#else
        pthread_cond_destroy(&m_event.eCondVar);
        pthread_mutex_destroy(&m_event.eMutex);
#endif
    }
    OpenDevice(const OpenDevice &) = delete;
    OpenDevice &operator=(const OpenDevice &) = delete;

    d2xx::Handle native() const {
        return m_native;
    }
    bool closing() const {
        return m_closing.load();
    }

    bool enter() {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            return false;
        }
        ++m_callsRunning;
        return true;
    }

    void leave() {
        std::lock_guard lock(m_mutex);
        if (--m_callsRunning == 0) {
            m_idle.notify_all();
        }
    }

    void closeAndWait() {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_closing = true;
        signalEvent();
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_callsRunning == 0; });
    }

    // Asks the library, once per handle, to signal the event when bytes arrive; false if it would not.
    bool armArrivalEvent(FT_SetEventNotification_t setEventNotification) {
        std::lock_guard lock(m_armMutex);
        if (m_armState == ArmState::NotAsked) {
#if defined(_WIN32)
            void *const event = m_event;
#else
            void *const event = &m_event;
#endif
            const ft::Status status =
                event ? setEventNotification(m_native, d2xx::eventRxChar, event) : ft::InsufficientResources;
            m_armState = status == ft::Ok ? ArmState::Armed : ArmState::Refused;
            if (status != ft::Ok) {
                qCWarning(lcLink) << "FT_SetEventNotification failed with status" << status
                                  << "; waits for received bytes poll this device";
            }
        }
        return m_armState == ArmState::Armed;
    }

    // Sleeps until the library signals, the timeout passes or the handle closes.
    void waitForEvent(std::chrono::milliseconds timeout) {
#if defined(_WIN32)
        if (closing()) {
            return;
        }
        const long long milliseconds = std::clamp<long long>(timeout.count(), 0, static_cast<long long>(INFINITE) - 1);
        WaitForSingleObject(m_event, static_cast<DWORD>(milliseconds));
#else
        timespec deadline{};
#if defined(__APPLE__)
        clock_gettime(CLOCK_REALTIME, &deadline);
#else
        clock_gettime(CLOCK_MONOTONIC, &deadline);
#endif
        const std::chrono::nanoseconds wait = std::max(timeout, std::chrono::milliseconds(0));
        const long long nanoseconds = deadline.tv_nsec + wait.count() % 1'000'000'000;
        deadline.tv_sec += static_cast<time_t>(wait.count() / 1'000'000'000 + nanoseconds / 1'000'000'000);
        deadline.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
        pthread_mutex_lock(&m_event.eMutex);
        // Checked under the event's mutex, which the close also takes to signal: its wake cannot be missed.
        if (!closing()) {
            pthread_cond_timedwait(&m_event.eCondVar, &m_event.eMutex, &deadline);
        }
        pthread_mutex_unlock(&m_event.eMutex);
#endif
    }

private:
    enum class ArmState { NotAsked, Armed, Refused };

    void signalEvent() {
#if defined(_WIN32)
        if (m_event) {
            SetEvent(m_event);
        }
#else
        pthread_mutex_lock(&m_event.eMutex);
        pthread_cond_broadcast(&m_event.eCondVar);
        pthread_mutex_unlock(&m_event.eMutex);
#endif
    }

    const d2xx::Handle m_native;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_callsRunning = 0;  // guarded by m_mutex
    bool m_closed = false;   // guarded by m_mutex
    std::atomic<bool> m_closing{false};
    std::mutex m_armMutex;
    ArmState m_armState = ArmState::NotAsked;  // guarded by m_armMutex
#if defined(_WIN32)
    HANDLE m_event = nullptr;
#else
    d2xx::EventHandle m_event{};
#endif
};

QStringList D2xxLibraryLink::candidateLibraryNames(const QString &libraryFile) {
    if (!libraryFile.isEmpty()) {
        return {libraryFile};
    }
#if defined(Q_OS_WIN)
    return {QStringLiteral("ftd2xx.dll"), QStringLiteral("ftd2xx64.dll")};
#elif defined(Q_OS_MACOS)
    return {QStringLiteral("libftd2xx.dylib"), QStringLiteral("ftd2xx")};
#else
    return {QStringLiteral("libftd2xx.so"), QStringLiteral("ftd2xx")};
#endif
}

std::unique_ptr<D2xxLibraryLink> D2xxLibraryLink::load(const QString &libraryFile, QString *diagnostic) {
    const QStringList names = candidateLibraryNames(libraryFile);
    QString error;
    std::unique_ptr<QLibrary> library = openFirstLibrary(names, &error);
    if (!library) {
        if (diagnostic) {
            *diagnostic = loadFailureText(libraryFile, names, error);
        }
        return nullptr;
    }
    Functions functions;
    const QStringList missing = resolveFunctions(*library, &functions);
    if (!missing.isEmpty()) {
        if (diagnostic) {
            *diagnostic = QStringLiteral("The D2XX library \"%1\" lacks the function%2 %3.")
                              .arg(library->fileName(), missing.size() > 1 ? QStringLiteral("s") : QString(),
                                   missing.join(QStringLiteral(", ")));
        }
        // Nothing of it has run, so it can go again.
        library->unload();
        return nullptr;
    }
    return std::unique_ptr<D2xxLibraryLink>(new D2xxLibraryLink(std::move(library), functions));
}

D2xxLibraryLink::D2xxLibraryLink(std::unique_ptr<QLibrary> library, const Functions &functions)
    : m_library(std::move(library)), m_functions(functions) {
    qCInfo(lcLink).noquote() << "Loaded the D2XX library" << m_library->fileName();
    if (!m_functions.setEventNotification) {
        qCWarning(lcLink).noquote() << "The D2XX library" << m_library->fileName()
                                    << "lacks FT_SetEventNotification; waits for received bytes poll the status";
    }
}

D2xxLibraryLink::~D2xxLibraryLink() {
    for (const std::shared_ptr<OpenDevice> &device : m_devices.takeAll()) {
        device->closeAndWait();
        m_functions.close(device->native());
    }
    // m_library is not unloaded: the library may keep threads of its own for as long as the process runs.
}

QString D2xxLibraryLink::libraryFileName() const {
    return m_library->fileName();
}

template <typename Call>
ft::Status D2xxLibraryLink::callOn(ft::Handle handle, Call call) {
    const std::shared_ptr<OpenDevice> device = m_devices.find(handle);
    if (!device || !device->enter()) {
        return ft::InvalidHandle;
    }
    const ft::Status status = call(device->native());
    device->leave();
    return status;
}

DeviceInfo D2xxLibraryLink::toDeviceInfo(const d2xx::DeviceListInfoNode &node) {
    DeviceInfo info;
    info.flags = node.flags;
    info.type = node.type;
    info.id = node.id;
    info.locationId = node.locationId;
    info.serialNumber = boundedText(node.serialNumber, sizeof node.serialNumber);
    info.description = boundedText(node.description, sizeof node.description);
    return info;
}

ft::Status D2xxLibraryLink::createDeviceInfoList(std::uint32_t *count) {
    std::lock_guard lock(m_listMutex);
    d2xx::Dword listed = 0;
    const ft::Status status = m_functions.createDeviceInfoList(&listed);
    m_listedCount = status == ft::Ok ? listed : 0;
    // On failure the caller's count stays as it was: 0 would read as "no devices attached".
    if (count && status == ft::Ok) {
        *count = listed;
    }
    return status;
}

ft::Status D2xxLibraryLink::getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) {
    list.clear();
    if (!count) {
        return ft::InvalidParameter;
    }
    const std::uint32_t wanted = *count;
    *count = 0;
    std::lock_guard lock(m_listMutex);
    std::vector<d2xx::DeviceListInfoNode> nodes(m_listedCount + kSpareListRecords);
    d2xx::Dword filled = static_cast<d2xx::Dword>(nodes.size());
    const ft::Status status = m_functions.getDeviceInfoList(nodes.data(), &filled);
    if (status != ft::Ok) {
        return status;
    }
    const std::size_t usable = std::min<std::size_t>({filled, nodes.size(), wanted});
    for (std::size_t i = 0; i < usable; ++i) {
        list.push_back(toDeviceInfo(nodes[i]));
    }
    *count = static_cast<std::uint32_t>(list.size());
    return status;
}

ft::Status D2xxLibraryLink::openEx(const std::string &arg, std::uint32_t flags, ft::Handle *handle) {
    if (!handle || (flags != ft::OpenBySerialNumber && flags != ft::OpenByDescription)) {
        return ft::InvalidParameter;
    }
    if (arg.find('\0') != std::string::npos) {
        return ft::DeviceNotFound;
    }
    // The library takes the text through a non-const pointer; it gets a copy of its own.
    std::string text = arg;
    d2xx::Handle native = nullptr;
    const ft::Status status = m_functions.openEx(text.data(), flags, &native);
    if (status != ft::Ok) {
        return status;
    }
    *handle = m_devices.add(std::make_shared<OpenDevice>(native));
    return ft::Ok;
}

ft::Status D2xxLibraryLink::close(ft::Handle handle) {
    const std::shared_ptr<OpenDevice> device = m_devices.take(handle);
    if (!device) {
        return ft::InvalidHandle;
    }
    device->closeAndWait();
    return m_functions.close(device->native());
}

ft::Status D2xxLibraryLink::resetDevice(ft::Handle handle) {
    return callOn(handle, [&](d2xx::Handle native) { return m_functions.resetDevice(native); });
}

ft::Status D2xxLibraryLink::purge(ft::Handle handle, std::uint32_t mask) {
    return callOn(handle, [&](d2xx::Handle native) { return m_functions.purge(native, mask); });
}

ft::Status D2xxLibraryLink::setBitMode(ft::Handle handle, std::uint8_t mask, std::uint8_t mode) {
    return callOn(handle, [&](d2xx::Handle native) { return m_functions.setBitMode(native, mask, mode); });
}

ft::Status D2xxLibraryLink::setUsbParameters(ft::Handle handle, std::uint32_t inTransferSize,
                                             std::uint32_t outTransferSize) {
    return callOn(handle, [&](d2xx::Handle native) {
        return m_functions.setUsbParameters(native, inTransferSize, outTransferSize);
    });
}

ft::Status D2xxLibraryLink::setFlowControl(ft::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                           std::uint8_t xoff) {
    return callOn(handle,
                  [&](d2xx::Handle native) { return m_functions.setFlowControl(native, flowControl, xon, xoff); });
}

ft::Status D2xxLibraryLink::setTimeouts(ft::Handle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) {
    return callOn(handle,
                  [&](d2xx::Handle native) { return m_functions.setTimeouts(native, readTimeoutMs, writeTimeoutMs); });
}

ft::Status D2xxLibraryLink::write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                                  std::uint32_t *bytesWritten) {
    if (bytesWritten) {
        *bytesWritten = 0;
    }
    if (!buffer && bytesToWrite > 0) {
        return ft::InvalidParameter;
    }
    return callOn(handle, [&](d2xx::Handle native) {
        d2xx::Dword written = 0;
        const ft::Status status = m_functions.write(native, buffer, bytesToWrite, &written);
        if (bytesWritten) {
            *bytesWritten = std::min(written, bytesToWrite);
        }
        return status;
    });
}

// The counts are stored only when the call succeeds: a caller keeps its previous values otherwise.
ft::Status D2xxLibraryLink::getStatus(ft::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                                      std::uint32_t *eventStatus) {
    return callOn(handle, [&](d2xx::Handle native) {
        d2xx::Dword rx = 0;
        d2xx::Dword tx = 0;
        d2xx::Dword event = 0;
        const ft::Status status = m_functions.getStatus(native, &rx, &tx, &event);
        if (status == ft::Ok) {
            if (rxBytes) {
                *rxBytes = rx;
            }
            if (txBytes) {
                *txBytes = tx;
            }
            if (eventStatus) {
                *eventStatus = event;
            }
        }
        return status;
    });
}

ft::Status D2xxLibraryLink::read(ft::Handle handle, void *buffer, std::uint32_t bytesToRead,
                                 std::uint32_t *bytesReturned) {
    if (bytesReturned) {
        *bytesReturned = 0;
    }
    if (!buffer && bytesToRead > 0) {
        return ft::InvalidParameter;
    }
    return callOn(handle, [&](d2xx::Handle native) {
        d2xx::Dword got = 0;
        const ft::Status status = m_functions.read(native, buffer, bytesToRead, &got);
        if (bytesReturned) {
            // Never claim more than the buffer the caller sized.
            *bytesReturned = std::min(got, bytesToRead);
        }
        return status;
    });
}

ft::Status D2xxLibraryLink::waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) {
    const std::shared_ptr<OpenDevice> device = m_devices.find(handle);
    if (!device || !device->enter()) {
        return ft::InvalidHandle;
    }
    ft::Status status = ft::Ok;
    if (m_functions.setEventNotification && device->armArrivalEvent(m_functions.setEventNotification)) {
        // The library signals arrivals, not a level: bytes already queued end the wait at once. A signal
        // between this look and the wait is lost, which costs at most the timeout, since the caller asks
        // for the status after every wait.
        d2xx::Dword rx = 0;
        d2xx::Dword tx = 0;
        d2xx::Dword event = 0;
        status = m_functions.getStatus(device->native(), &rx, &tx, &event);
        if (status == ft::Ok && rx == 0) {
            device->waitForEvent(timeout);
        }
    } else {
        status = pollForReceived(*device, timeout);
    }
    const bool closed = device->closing();
    device->leave();
    return closed ? ft::InvalidHandle : status;
}

ft::Status D2xxLibraryLink::pollForReceived(OpenDevice &device, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        d2xx::Dword rx = 0;
        d2xx::Dword tx = 0;
        d2xx::Dword event = 0;
        const ft::Status status = m_functions.getStatus(device.native(), &rx, &tx, &event);
        const auto now = std::chrono::steady_clock::now();
        if (status != ft::Ok || rx > 0 || now >= deadline || device.closing()) {
            return status;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStatusPollInterval, deadline - now));
    }
}
