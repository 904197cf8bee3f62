#pragma once

#include "FtdiPort.h"

struct ftdi_context;

// An FTDI device opened with libftdi1: one libftdi1 context of its own, closed and freed with the port.
class LibFtdiPort : public FtdiPort {
public:
    // Takes over an opened context.
    explicit LibFtdiPort(ftdi_context *context);
    ~LibFtdiPort() override;
    LibFtdiPort(const LibFtdiPort &) = delete;
    LibFtdiPort &operator=(const LibFtdiPort &) = delete;

    int reset() override;
    int purge(bool rx, bool tx) override;
    int setBitMode(std::uint8_t mask, std::uint8_t mode) override;
    int setChunkSizes(std::uint32_t readChunk, std::uint32_t writeChunk) override;
    int setFlowControl(std::uint16_t flowControl, std::uint8_t xon, std::uint8_t xoff) override;
    int setUsbTimeouts(int readTimeoutMs, int writeTimeoutMs) override;
    int setLatencyTimer(std::uint8_t milliseconds) override;
    int read(std::uint8_t *buffer, int size) override;
    int write(const std::uint8_t *buffer, int size) override;
    std::string errorString() const override;

private:
    ftdi_context *m_context = nullptr;
};
