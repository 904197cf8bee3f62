#pragma once

#include <cstdint>
#include <string>

// One opened FTDI device, as the libftdi1 link drives it: the few libftdi1 calls it needs, behind an
// interface so the link can be tested without a device. Results follow libftdi1: a negative number is a
// failure, otherwise success (the byte count for read and write).
//
// Not thread-safe: the link makes one call at a time on a port.
class FtdiPort {
public:
    // Flow-control values, as D2XX numbers them; libftdi1 sends the same bits.
    static constexpr std::uint16_t kFlowNone = 0x0000;
    static constexpr std::uint16_t kFlowRtsCts = 0x0100;
    static constexpr std::uint16_t kFlowDtrDsr = 0x0200;
    static constexpr std::uint16_t kFlowXonXoff = 0x0400;

    virtual ~FtdiPort() = default;

    virtual int reset() = 0;
    // Empties the device's receive queue (`rx`, the bytes on their way to the host), its transmit queue
    // (`tx`), or both.
    virtual int purge(bool rx, bool tx) = 0;
    virtual int setBitMode(std::uint8_t mask, std::uint8_t mode) = 0;
    virtual int setChunkSizes(std::uint32_t readChunk, std::uint32_t writeChunk) = 0;
    // One of the kFlow values; `xon` and `xoff` matter for kFlowXonXoff only.
    virtual int setFlowControl(std::uint16_t flowControl, std::uint8_t xon, std::uint8_t xoff) = 0;
    // Limits of one USB transfer; 0 is not "forever" here, the caller passes real limits.
    virtual int setUsbTimeouts(int readTimeoutMs, int writeTimeoutMs) = 0;
    virtual int setLatencyTimer(std::uint8_t milliseconds) = 0;
    // Reads what the device has sent, up to `size` bytes; 0 when nothing came within the USB timeout.
    virtual int read(std::uint8_t *buffer, int size) = 0;
    virtual int write(const std::uint8_t *buffer, int size) = 0;
    // Text of the last failure.
    virtual std::string errorString() const = 0;
};
