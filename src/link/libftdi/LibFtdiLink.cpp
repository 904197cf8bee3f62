#include "LibFtdiLink.h"

#include <algorithm>

#include <QString>

#include "LibFtdiBus.h"
#include "LinkLogging.h"

namespace {

// Device-list values as the D2XX library reports them, so both backends list a bridge alike.
constexpr std::uint32_t kFlagHighSpeed = 0x2;
constexpr std::uint32_t kTypeFt2232h = 6;
constexpr std::uint32_t kTypeFt232h = 8;

std::uint32_t deviceType(std::uint16_t productId) {
    return productId == LibFtdiLink::kProductFt232h ? kTypeFt232h : kTypeFt2232h;
}

}  // namespace

LibFtdiLink::LibFtdiLink(std::unique_ptr<FtdiBus> bus, std::size_t ringCapacity)
    : m_ringCapacity(ringCapacity), m_bus(bus ? std::move(bus) : std::make_unique<LibFtdiBus>()) {}

LibFtdiLink::~LibFtdiLink() {
    for (const std::shared_ptr<LibFtdiDevice> &device : m_devices.takeAll()) {
        device->close();
    }
}

bool LibFtdiLink::isSupportedDevice(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == kVendorId && std::find(kProductIds.begin(), kProductIds.end(), productId) != kProductIds.end();
}

template <typename Call>
ft::Status LibFtdiLink::callOn(ft::Handle handle, Call call) {
    const std::shared_ptr<LibFtdiDevice> device = m_devices.find(handle);
    return device ? call(*device) : ft::InvalidHandle;
}

DeviceInfo LibFtdiLink::toDeviceInfo(const FtdiUsbDevice &device) {
    DeviceInfo info;
    info.flags = kFlagHighSpeed;
    info.type = deviceType(device.productId);
    info.id = (std::uint32_t{device.vendorId} << 16) | device.productId;
    info.locationId = (std::uint32_t{device.busNumber} << 8) | device.address;
    info.serialNumber = device.serialNumber;
    info.description = device.description;
    return info;
}

ft::Status LibFtdiLink::createDeviceInfoList(std::uint32_t *count) {
    std::lock_guard lock(m_busMutex);
    m_listed.clear();
    m_listReady = false;
    std::vector<FtdiUsbDevice> found;
    if (m_bus->enumerate(found) < 0) {
        // The caller's count stays as it was: 0 would read as "no devices attached".
        return ft::OtherError;
    }
    for (const FtdiUsbDevice &device : found) {
        if (isSupportedDevice(device.vendorId, device.productId)) {
            m_listed.push_back(toDeviceInfo(device));
        }
    }
    m_listReady = true;
    if (count) {
        *count = static_cast<std::uint32_t>(m_listed.size());
    }
    return ft::Ok;
}

ft::Status LibFtdiLink::getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) {
    list.clear();
    if (!count) {
        return ft::InvalidParameter;
    }
    const std::uint32_t wanted = *count;
    *count = 0;
    std::lock_guard lock(m_busMutex);
    if (!m_listReady) {
        return ft::DeviceListNotReady;
    }
    const std::size_t usable = std::min<std::size_t>(wanted, m_listed.size());
    list.assign(m_listed.begin(), m_listed.begin() + static_cast<std::ptrdiff_t>(usable));
    *count = static_cast<std::uint32_t>(usable);
    return ft::Ok;
}

std::unique_ptr<FtdiPort> LibFtdiLink::openPort(const std::string &description, const std::string &serialNumber,
                                                ft::Status *status) {
    std::lock_guard lock(m_busMutex);
    *status = ft::DeviceNotFound;
    for (const std::uint16_t productId : kProductIds) {
        FtdiOpenResult result = m_bus->open(kVendorId, productId, description, serialNumber);
        if (result.port) {
            *status = ft::Ok;
            return std::move(result.port);
        }
        if (result.error != FtdiBus::kDeviceNotFound) {
            // The device is there but cannot be had: no access to it, or another program holds it.
            qCWarning(lcLink).noquote() << QStringLiteral("Cannot open FTDI device %1:%2: %3")
                                               .arg(kVendorId, 4, 16, QLatin1Char('0'))
                                               .arg(productId, 4, 16, QLatin1Char('0'))
                                               .arg(QString::fromStdString(result.errorText));
            *status = ft::DeviceNotOpened;
        }
    }
    return nullptr;
}

ft::Status LibFtdiLink::openEx(const std::string &arg, std::uint32_t flags, ft::Handle *handle) {
    if (!handle || (flags != ft::OpenBySerialNumber && flags != ft::OpenByDescription)) {
        return ft::InvalidParameter;
    }
    // An empty text would match any device; a text with a NUL in it matches none.
    if (arg.empty() || arg.find('\0') != std::string::npos) {
        return ft::DeviceNotFound;
    }
    const bool bySerial = flags == ft::OpenBySerialNumber;
    ft::Status status = ft::DeviceNotFound;
    std::unique_ptr<FtdiPort> port = openPort(bySerial ? std::string() : arg, bySerial ? arg : std::string(), &status);
    if (!port) {
        return status;
    }
    auto device = std::make_shared<LibFtdiDevice>(std::move(port), m_ringCapacity);
    if (device->setLatencyTimer(kLatencyTimerMs) != ft::Ok) {
        qCDebug(lcLink) << "The latency timer stays at the device's default";
    }
    *handle = m_devices.add(std::move(device));
    return ft::Ok;
}

ft::Status LibFtdiLink::close(ft::Handle handle) {
    const std::shared_ptr<LibFtdiDevice> device = m_devices.take(handle);
    return device ? device->close() : ft::InvalidHandle;
}

ft::Status LibFtdiLink::resetDevice(ft::Handle handle) {
    return callOn(handle, [](LibFtdiDevice &device) { return device.resetDevice(); });
}

ft::Status LibFtdiLink::purge(ft::Handle handle, std::uint32_t mask) {
    return callOn(handle, [&](LibFtdiDevice &device) { return device.purge(mask); });
}

ft::Status LibFtdiLink::setBitMode(ft::Handle handle, std::uint8_t mask, std::uint8_t mode) {
    return callOn(handle, [&](LibFtdiDevice &device) { return device.setBitMode(mask, mode); });
}

ft::Status LibFtdiLink::setUsbParameters(ft::Handle handle, std::uint32_t inTransferSize,
                                         std::uint32_t outTransferSize) {
    return callOn(handle,
                  [&](LibFtdiDevice &device) { return device.setUsbParameters(inTransferSize, outTransferSize); });
}

ft::Status LibFtdiLink::setFlowControl(ft::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                       std::uint8_t xoff) {
    return callOn(handle, [&](LibFtdiDevice &device) { return device.setFlowControl(flowControl, xon, xoff); });
}

ft::Status LibFtdiLink::setTimeouts(ft::Handle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) {
    return callOn(handle, [&](LibFtdiDevice &device) { return device.setTimeouts(readTimeoutMs, writeTimeoutMs); });
}

ft::Status LibFtdiLink::write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                              std::uint32_t *bytesWritten) {
    if (bytesWritten) {
        *bytesWritten = 0;
    }
    return callOn(handle, [&](LibFtdiDevice &device) { return device.write(buffer, bytesToWrite, bytesWritten); });
}

ft::Status LibFtdiLink::getStatus(ft::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                                  std::uint32_t *eventStatus) {
    return callOn(handle, [&](LibFtdiDevice &device) { return device.getStatus(rxBytes, txBytes, eventStatus); });
}

ft::Status LibFtdiLink::read(ft::Handle handle, void *buffer, std::uint32_t bytesToRead, std::uint32_t *bytesReturned) {
    if (bytesReturned) {
        *bytesReturned = 0;
    }
    return callOn(handle, [&](LibFtdiDevice &device) { return device.read(buffer, bytesToRead, bytesReturned); });
}

ft::Status LibFtdiLink::waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) {
    return callOn(handle, [&](LibFtdiDevice &device) { return device.waitForReceived(timeout); });
}
