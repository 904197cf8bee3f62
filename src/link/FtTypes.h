#pragma once

#include <cstdint>

// Status codes and constants of the D2XX-shaped link, with the values FTDI's library uses, so a status
// read in a log means the same thing whichever backend produced it.
namespace ft {

using Handle = void *;
using Status = std::uint32_t;

enum : Status {
    Ok = 0,
    InvalidHandle = 1,
    DeviceNotFound = 2,
    DeviceNotOpened = 3,
    IoError = 4,
    InsufficientResources = 5,
    InvalidParameter = 6,
    InvalidBaudRate = 7,
    DeviceNotOpenedForErase = 8,
    DeviceNotOpenedForWrite = 9,
    FailedToWriteDevice = 10,
    EepromReadFailed = 11,
    EepromWriteFailed = 12,
    EepromEraseFailed = 13,
    EepromNotPresent = 14,
    EepromNotProgrammed = 15,
    InvalidArgs = 16,
    NotSupported = 17,
    OtherError = 18,
    DeviceListNotReady = 19,
};

// Open-by flags of FT_OpenEx.
constexpr std::uint32_t OpenBySerialNumber = 1;
constexpr std::uint32_t OpenByDescription = 2;

// Purge masks.
constexpr std::uint32_t PurgeRx = 1;
constexpr std::uint32_t PurgeTx = 2;

// Bit modes.
constexpr std::uint8_t BitModeReset = 0x00;
constexpr std::uint8_t BitModeSyncFifo = 0x40;

// Flow control.
constexpr std::uint16_t FlowRtsCts = 0x0100;

}  // namespace ft
