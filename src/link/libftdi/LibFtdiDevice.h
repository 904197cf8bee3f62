#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ByteRingBuffer.h"
#include "FtTypes.h"
#include "FtdiPort.h"

// One device opened by the libftdi1 link, with the D2XX behaviour the callers rely on. A reader thread
// drains the device into a receive ring, so getStatus reports the bytes waiting and read takes from them,
// waiting up to the read timeout for the amount asked; a failed USB read fails every later status call
// and read with ft::IoError, as the D2XX library does once a device is gone.
//
// Every libftdi1 call on the port is made under one lock (the port is not thread-safe), writes included.
// The reader steps aside whenever another call waits for the port, so a command never waits for more
// than the USB read in progress. Thread-safe; close() stops the reader before the port is closed.
class LibFtdiDevice {
public:
    // Starts the reader at once.
    LibFtdiDevice(std::unique_ptr<FtdiPort> port, std::size_t ringCapacity);
    ~LibFtdiDevice();
    LibFtdiDevice(const LibFtdiDevice &) = delete;
    LibFtdiDevice &operator=(const LibFtdiDevice &) = delete;

    ft::Status resetDevice();
    ft::Status purge(std::uint32_t mask);
    ft::Status setBitMode(std::uint8_t mask, std::uint8_t mode);
    ft::Status setUsbParameters(std::uint32_t inTransferSize, std::uint32_t outTransferSize);
    ft::Status setFlowControl(std::uint16_t flowControl, std::uint8_t xon, std::uint8_t xoff);
    // A read timeout of 0 waits without limit, as with the D2XX library; a close or a failed device still
    // ends the wait.
    ft::Status setTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs);
    ft::Status setLatencyTimer(std::uint8_t milliseconds);
    ft::Status write(const void *buffer, std::uint32_t bytesToWrite, std::uint32_t *bytesWritten);
    // The counts are stored only on success.
    ft::Status getStatus(std::uint32_t *rxBytes, std::uint32_t *txBytes, std::uint32_t *eventStatus);
    ft::Status read(void *buffer, std::uint32_t bytesToRead, std::uint32_t *bytesReturned);
    // Returns when the ring holds bytes (the reader signals every append), the timeout passes (ft::Ok
    // either way), or the device closes or fails (the status getStatus then gives).
    ft::Status waitForReceived(std::chrono::milliseconds timeout);
    // Wakes waiting reads, stops the reader, waits for a running port call and closes the port. The first
    // close returns ft::Ok; every call afterwards returns ft::InvalidHandle.
    ft::Status close();

    // Read and write timeouts until setTimeouts.
    static constexpr std::uint32_t kDefaultReadTimeoutMs = 2000;
    static constexpr std::uint32_t kDefaultWriteTimeoutMs = 1000;

private:
    template <typename Call>
    ft::Status withPort(Call call);
    void readerLoop();
    // Waits until the ring has room and no port call is waiting; the room, or 0 when closing.
    std::size_t waitForRoom();
    void failReader(const std::string &reason);

    std::mutex m_portMutex;
    std::unique_ptr<FtdiPort> m_port;  // guarded by m_portMutex; null once closed

    std::mutex m_mutex;
    std::condition_variable m_dataArrived;                  // readers of the ring wait on it
    std::condition_variable m_readerWake;                   // the reader thread waits on it
    ByteRingBuffer m_ring;                                  // guarded by m_mutex
    int m_portWaiters = 0;                                  // guarded by m_mutex
    bool m_closing = false;                                 // guarded by m_mutex
    ft::Status m_readerStatus = ft::Ok;                     // guarded by m_mutex
    std::uint32_t m_readTimeoutMs = kDefaultReadTimeoutMs;  // guarded by m_mutex

    std::thread m_reader;
};
