#pragma once

#include <string>

#include "UsbFifoLink.h"

// Stands in when the chosen backend cannot be used (its library is missing, for example): every call fails,
// so discovery shows that no device list can be built and connecting reports that no device answered.
class UnavailableLink : public UsbFifoLink {
public:
    explicit UnavailableLink(std::string reason) : m_reason(std::move(reason)) {}

    const char *backendName() const override { return "unavailable"; }
    const std::string &reason() const { return m_reason; }

    ft::Status createDeviceInfoList(std::uint32_t *count) override;
    ft::Status getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) override;
    ft::Status openEx(const std::string &, std::uint32_t, ft::Handle *) override { return ft::DeviceNotFound; }
    ft::Status close(ft::Handle) override { return ft::InvalidHandle; }
    ft::Status resetDevice(ft::Handle) override { return ft::InvalidHandle; }
    ft::Status purge(ft::Handle, std::uint32_t) override { return ft::InvalidHandle; }
    ft::Status setBitMode(ft::Handle, std::uint8_t, std::uint8_t) override { return ft::InvalidHandle; }
    ft::Status setUsbParameters(ft::Handle, std::uint32_t, std::uint32_t) override { return ft::InvalidHandle; }
    ft::Status setFlowControl(ft::Handle, std::uint16_t, std::uint8_t, std::uint8_t) override {
        return ft::InvalidHandle;
    }
    ft::Status setTimeouts(ft::Handle, std::uint32_t, std::uint32_t) override { return ft::InvalidHandle; }
    ft::Status write(ft::Handle, const void *, std::uint32_t, std::uint32_t *written) override;
    ft::Status getStatus(ft::Handle, std::uint32_t *rx, std::uint32_t *tx, std::uint32_t *event) override;
    ft::Status read(ft::Handle, void *, std::uint32_t, std::uint32_t *got) override;
    // No device ever opens, so there is nothing to wait for.
    ft::Status waitForReceived(ft::Handle, std::chrono::milliseconds) override { return ft::InvalidHandle; }

private:
    std::string m_reason;
};
