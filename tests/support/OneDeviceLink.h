#pragma once

#include "UsbFifoLink.h"

// Base of the tests' hand-made links: one device "VANTIKO" that always opens (its handle is the link itself)
// and takes every configuration call. Subclasses script the byte traffic.
class OneDeviceLink : public UsbFifoLink {
public:
    ft::Status createDeviceInfoList(std::uint32_t *count) override {
        *count = 1;
        return ft::Ok;
    }
    ft::Status getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) override {
        list.assign(1, DeviceInfo{});
        list[0].serialNumber = "VANTIKO";
        *count = 1;
        return ft::Ok;
    }
    ft::Status openEx(const std::string &, std::uint32_t, ft::Handle *handle) override {
        *handle = this;
        return ft::Ok;
    }
    ft::Status close(ft::Handle) override { return ft::Ok; }
    ft::Status resetDevice(ft::Handle) override { return ft::Ok; }
    ft::Status purge(ft::Handle, std::uint32_t) override { return ft::Ok; }
    ft::Status setBitMode(ft::Handle, std::uint8_t, std::uint8_t) override { return ft::Ok; }
    ft::Status setUsbParameters(ft::Handle, std::uint32_t, std::uint32_t) override { return ft::Ok; }
    ft::Status setFlowControl(ft::Handle, std::uint16_t, std::uint8_t, std::uint8_t) override { return ft::Ok; }
    ft::Status setTimeouts(ft::Handle, std::uint32_t, std::uint32_t) override { return ft::Ok; }
};
