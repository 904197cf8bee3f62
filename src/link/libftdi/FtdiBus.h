#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FtdiPort.h"

// A USB device of the FTDI vendor as the bus lists it.
struct FtdiUsbDevice {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint8_t busNumber = 0;
    std::uint8_t address = 0;
    // Empty when the device's strings could not be read (no access to it, for example).
    std::string serialNumber;
    std::string description;
};

// What an open attempt gave: a port, or libftdi1's negative error code and its text.
struct FtdiOpenResult {
    std::unique_ptr<FtdiPort> port;
    int error = 0;
    std::string errorText;
};

// The USB side of the libftdi1 link: listing FTDI devices and opening one. Behind an interface so that
// enumeration filtering and opening can be tested without a device. Not thread-safe: the link makes one
// bus call at a time.
class FtdiBus {
public:
    // libftdi1's code for "no device matched".
    static constexpr int kDeviceNotFound = -3;

    virtual ~FtdiBus() = default;

    // Lists the attached FTDI devices; a negative result is a failure of the USB stack.
    virtual int enumerate(std::vector<FtdiUsbDevice> &devices) = 0;
    // Opens the device with these ids whose description or serial number matches (an empty text matches
    // any).
    virtual FtdiOpenResult open(std::uint16_t vendorId, std::uint16_t productId, const std::string &description,
                                const std::string &serialNumber) = 0;
};
