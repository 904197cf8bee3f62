#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "FtdiBus.h"
#include "HandleRegistry.h"
#include "LibFtdiDevice.h"
#include "UsbFifoLink.h"

// The link over libftdi1, for systems without the vendor's library. The device list holds the FTDI bridges
// that can run the synchronous FIFO (FT232H and FT2232H); each open device gets its own libftdi1 context
// and a reader thread (LibFtdiDevice) that gives the receive queue its D2XX meaning.
//
// Handles are tokens of this link that are never reused: a closed handle gives ft::InvalidHandle.
class LibFtdiLink : public UsbFifoLink {
public:
    static constexpr std::uint16_t kVendorId = 0x0403;
    static constexpr std::uint16_t kProductFt232h = 0x6014;
    static constexpr std::uint16_t kProductFt2232h = 0x6010;
    static constexpr std::array<std::uint16_t, 2> kProductIds = {kProductFt232h, kProductFt2232h};
    // Receive ring per open device: room for many frame records while a reader of the link is late.
    static constexpr std::size_t kDefaultRingCapacity = std::size_t{1} << 20;
    // USB latency timer set at open: small, so short replies reach the host quickly.
    static constexpr std::uint8_t kLatencyTimerMs = 2;

    // With no bus given, the USB buses are reached through libftdi1.
    explicit LibFtdiLink(std::unique_ptr<FtdiBus> bus = nullptr, std::size_t ringCapacity = kDefaultRingCapacity);
    ~LibFtdiLink() override;
    LibFtdiLink(const LibFtdiLink &) = delete;
    LibFtdiLink &operator=(const LibFtdiLink &) = delete;

    const char *backendName() const override { return "libftdi"; }

    // Whether a device with these ids belongs in the device list.
    static bool isSupportedDevice(std::uint16_t vendorId, std::uint16_t productId);

    ft::Status createDeviceInfoList(std::uint32_t *count) override;
    ft::Status getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) override;
    ft::Status openEx(const std::string &arg, std::uint32_t flags, ft::Handle *handle) override;
    ft::Status close(ft::Handle handle) override;
    ft::Status resetDevice(ft::Handle handle) override;
    ft::Status purge(ft::Handle handle, std::uint32_t mask) override;
    ft::Status setBitMode(ft::Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    ft::Status setUsbParameters(ft::Handle handle, std::uint32_t inTransferSize,
                                std::uint32_t outTransferSize) override;
    ft::Status setFlowControl(ft::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                              std::uint8_t xoff) override;
    ft::Status setTimeouts(ft::Handle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) override;
    ft::Status write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                     std::uint32_t *bytesWritten) override;
    ft::Status getStatus(ft::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                         std::uint32_t *eventStatus) override;
    ft::Status read(ft::Handle handle, void *buffer, std::uint32_t bytesToRead, std::uint32_t *bytesReturned) override;
    ft::Status waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) override;

private:
    template <typename Call>
    ft::Status callOn(ft::Handle handle, Call call);
    static DeviceInfo toDeviceInfo(const FtdiUsbDevice &device);
    // Opens the first supported device that matches; the port, or null with the status why not.
    std::unique_ptr<FtdiPort> openPort(const std::string &description, const std::string &serialNumber,
                                       ft::Status *status);

    const std::size_t m_ringCapacity;
    // Bus calls (listing, opening) one at a time.
    std::mutex m_busMutex;
    std::unique_ptr<FtdiBus> m_bus;    // guarded by m_busMutex
    std::vector<DeviceInfo> m_listed;  // guarded by m_busMutex: the list of the last createDeviceInfoList
    bool m_listReady = false;          // guarded by m_busMutex
    HandleRegistry<LibFtdiDevice> m_devices;
};
