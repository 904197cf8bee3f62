#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "FtTypes.h"

// One attached FTDI device as the device list reports it. Only the serial number is used by the program.
struct DeviceInfo {
    std::uint32_t flags = 0;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t locationId = 0;
    std::string serialNumber;
    std::string description;
};

// The USB FIFO link, shaped after FTDI's D2XX API: the same operations, arguments and status codes.
// Backends: the simulated instrument, libftdi1, and the vendor library loaded at run time.
//
// Every backend is thread-safe: the window thread and the acquisition worker call it at the same time.
// A call on a closed or unknown handle returns ft::InvalidHandle; it never touches freed memory.
class UsbFifoLink {
public:
    virtual ~UsbFifoLink() = default;

    // Short name of the backend, for diagnostics ("simulator", "libftdi", "d2xx").
    virtual const char *backendName() const = 0;

    virtual ft::Status createDeviceInfoList(std::uint32_t *count) = 0;
    // Fills `list` with up to *count records (the list of the last createDeviceInfoList) and sets *count.
    virtual ft::Status getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) = 0;
    // FT_OpenEx: `flags` is ft::OpenBySerialNumber in this program; `arg` the NUL-free UTF-8 serial.
    virtual ft::Status openEx(const std::string &arg, std::uint32_t flags, ft::Handle *handle) = 0;
    virtual ft::Status close(ft::Handle handle) = 0;

    virtual ft::Status resetDevice(ft::Handle handle) = 0;
    virtual ft::Status purge(ft::Handle handle, std::uint32_t mask) = 0;
    virtual ft::Status setBitMode(ft::Handle handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual ft::Status setUsbParameters(ft::Handle handle, std::uint32_t inTransferSize,
                                        std::uint32_t outTransferSize) = 0;
    virtual ft::Status setFlowControl(ft::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                      std::uint8_t xoff) = 0;
    virtual ft::Status setTimeouts(ft::Handle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) = 0;

    virtual ft::Status write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                             std::uint32_t *bytesWritten) = 0;
    // *rxBytes: bytes waiting in the receive queue.
    virtual ft::Status getStatus(ft::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                                 std::uint32_t *eventStatus) = 0;
    // Blocks until bytesToRead bytes are there or the read timeout passes; *bytesReturned says how many came.
    virtual ft::Status read(ft::Handle handle, void *buffer, std::uint32_t bytesToRead,
                            std::uint32_t *bytesReturned) = 0;
    // Blocks until the receive queue holds bytes, `timeout` passes, or the handle closes or its device
    // fails, whichever comes first, so a reader can sleep between status calls instead of spinning.
    // Returns ft::Ok both when bytes may be waiting and when the time is up: a wake is only a hint, and
    // the caller learns the count from getStatus. A closed or unknown handle, or a device that is gone,
    // gives the status getStatus would give. Reads nothing, may return early, and is safe alongside every
    // other call on the same handle.
    virtual ft::Status waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) {
        // Fallback for a backend that cannot be woken by arrivals: a short nap, so the caller polls.
        (void)handle;
        std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(1)));
        return ft::Ok;
    }

    // Backends that learn of plugging and unplugging themselves (the simulated instrument) call this,
    // from any thread. Others rely on the platform's device notifications and never call it.
    using DeviceChangeCallback = std::function<void()>;
    virtual void setDeviceChangeCallback(DeviceChangeCallback callback) { (void)callback; }
};
