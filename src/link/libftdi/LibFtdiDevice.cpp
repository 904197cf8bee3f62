#include "LibFtdiDevice.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <vector>

#include "LinkLogging.h"

namespace {

// Largest amount the reader asks the USB stack for at once.
constexpr std::size_t kReaderChunk = std::size_t{64} * 1024;
// USB transfer limit used where a caller passes 0: libusb would read 0 as "wait forever", and the reader
// must stay stoppable.
constexpr int kFallbackUsbTimeoutMs = 5000;

int usbTimeout(std::uint32_t milliseconds) {
    if (milliseconds == 0) {
        return kFallbackUsbTimeoutMs;
    }
    return static_cast<int>(std::min<std::uint32_t>(milliseconds, INT_MAX));
}

ft::Status portStatus(int result, const char *call, const FtdiPort &port) {
    if (result >= 0) {
        return ft::Ok;
    }
    qCDebug(lcLink) << call << "failed:" << result << port.errorString().c_str();
    return ft::IoError;
}

bool isKnownFlowControl(std::uint16_t flowControl) {
    return flowControl == FtdiPort::kFlowNone || flowControl == FtdiPort::kFlowRtsCts ||
           flowControl == FtdiPort::kFlowDtrDsr || flowControl == FtdiPort::kFlowXonXoff;
}

}  // namespace

LibFtdiDevice::LibFtdiDevice(std::unique_ptr<FtdiPort> port, std::size_t ringCapacity)
    : m_port(std::move(port)), m_ring(std::max<std::size_t>(ringCapacity, 1)) {
    m_reader = std::thread([this] { readerLoop(); });
}

LibFtdiDevice::~LibFtdiDevice() {
    close();
}

template <typename Call>
ft::Status LibFtdiDevice::withPort(Call call) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closing) {
            return ft::InvalidHandle;
        }
        ++m_portWaiters;
    }
    std::lock_guard port(m_portMutex);
    {
        std::lock_guard lock(m_mutex);
        --m_portWaiters;
    }
    // The reader may wait for the port to be free of waiters; it now queues behind this call.
    m_readerWake.notify_all();
    if (!m_port) {
        return ft::InvalidHandle;
    }
    return call(*m_port);
}

std::size_t LibFtdiDevice::waitForRoom() {
    std::unique_lock lock(m_mutex);
    m_readerWake.wait(lock, [this] { return m_closing || (m_portWaiters == 0 && m_ring.freeSpace() > 0); });
    return m_closing ? 0 : std::min(m_ring.freeSpace(), kReaderChunk);
}

void LibFtdiDevice::readerLoop() {
    std::vector<std::uint8_t> chunk(kReaderChunk);
    for (;;) {
        const std::size_t room = waitForRoom();
        if (room == 0) {
            return;
        }
        // The bytes go into the ring before the port is let go, so a purge that follows cannot be
        // overtaken by bytes read before it.
        std::lock_guard port(m_portMutex);
        {
            std::lock_guard lock(m_mutex);
            if (m_closing || !m_port) {
                return;
            }
        }
        const int got = m_port->read(chunk.data(), static_cast<int>(room));
        if (got < 0) {
            failReader(m_port->errorString());
            return;
        }
        if (got > 0) {
            std::lock_guard lock(m_mutex);
            m_ring.write(chunk.data(), std::min<std::size_t>(static_cast<std::size_t>(got), room));
            m_dataArrived.notify_all();
        }
    }
}

void LibFtdiDevice::failReader(const std::string &reason) {
    qCWarning(lcLink).noquote() << "Reading from the FTDI device failed; the device is taken as gone:"
                                << QString::fromStdString(reason);
    std::lock_guard lock(m_mutex);
    m_readerStatus = ft::IoError;
    m_dataArrived.notify_all();
}

ft::Status LibFtdiDevice::resetDevice() {
    return withPort([](FtdiPort &port) { return portStatus(port.reset(), "ftdi_usb_reset", port); });
}

ft::Status LibFtdiDevice::purge(std::uint32_t mask) {
    const bool rx = (mask & ft::PurgeRx) != 0;
    const bool tx = (mask & ft::PurgeTx) != 0;
    return withPort([&](FtdiPort &port) {
        const int result = port.purge(rx, tx);
        if (rx) {
            // The ring is the host's receive queue: it goes with the device's.
            std::lock_guard lock(m_mutex);
            m_ring.clear();
        }
        return portStatus(result, "purge", port);
    });
}

ft::Status LibFtdiDevice::setBitMode(std::uint8_t mask, std::uint8_t mode) {
    return withPort([&](FtdiPort &port) { return portStatus(port.setBitMode(mask, mode), "ftdi_set_bitmode", port); });
}

ft::Status LibFtdiDevice::setUsbParameters(std::uint32_t inTransferSize, std::uint32_t outTransferSize) {
    if (inTransferSize == 0 || outTransferSize == 0) {
        return ft::InvalidParameter;
    }
    return withPort([&](FtdiPort &port) {
        return portStatus(port.setChunkSizes(inTransferSize, outTransferSize), "chunk sizes", port);
    });
}

ft::Status LibFtdiDevice::setFlowControl(std::uint16_t flowControl, std::uint8_t xon, std::uint8_t xoff) {
    if (!isKnownFlowControl(flowControl)) {
        return ft::InvalidParameter;
    }
    return withPort([&](FtdiPort &port) {
        return portStatus(port.setFlowControl(flowControl, xon, xoff), "ftdi_setflowctrl", port);
    });
}

ft::Status LibFtdiDevice::setTimeouts(std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) {
    return withPort([&](FtdiPort &port) {
        {
            std::lock_guard lock(m_mutex);
            m_readTimeoutMs = readTimeoutMs;
        }
        return portStatus(port.setUsbTimeouts(usbTimeout(readTimeoutMs), usbTimeout(writeTimeoutMs)), "timeouts", port);
    });
}

ft::Status LibFtdiDevice::setLatencyTimer(std::uint8_t milliseconds) {
    return withPort(
        [&](FtdiPort &port) { return portStatus(port.setLatencyTimer(milliseconds), "ftdi_set_latency_timer", port); });
}

ft::Status LibFtdiDevice::write(const void *buffer, std::uint32_t bytesToWrite, std::uint32_t *bytesWritten) {
    if (bytesWritten) {
        *bytesWritten = 0;
    }
    if (!buffer && bytesToWrite > 0) {
        return ft::InvalidParameter;
    }
    const int size = static_cast<int>(std::min<std::uint32_t>(bytesToWrite, INT_MAX));
    return withPort([&](FtdiPort &port) -> ft::Status {
        const int written = size > 0 ? port.write(static_cast<const std::uint8_t *>(buffer), size) : 0;
        if (written < 0) {
            return portStatus(written, "ftdi_write_data", port);
        }
        if (bytesWritten) {
            *bytesWritten = static_cast<std::uint32_t>(std::min(written, size));
        }
        return ft::Ok;
    });
}

ft::Status LibFtdiDevice::getStatus(std::uint32_t *rxBytes, std::uint32_t *txBytes, std::uint32_t *eventStatus) {
    std::lock_guard lock(m_mutex);
    if (m_closing) {
        return ft::InvalidHandle;
    }
    if (m_readerStatus != ft::Ok) {
        return m_readerStatus;
    }
    if (rxBytes) {
        *rxBytes = static_cast<std::uint32_t>(m_ring.size());
    }
    // Writes go out synchronously, so nothing waits to be sent; events are not reported.
    if (txBytes) {
        *txBytes = 0;
    }
    if (eventStatus) {
        *eventStatus = 0;
    }
    return ft::Ok;
}

ft::Status LibFtdiDevice::read(void *buffer, std::uint32_t bytesToRead, std::uint32_t *bytesReturned) {
    if (bytesReturned) {
        *bytesReturned = 0;
    }
    if (!buffer && bytesToRead > 0) {
        return ft::InvalidParameter;
    }
    std::unique_lock lock(m_mutex);
    // More than the ring holds can never be waiting at once; a full ring is as much as can come.
    const std::size_t wanted = std::min<std::size_t>(bytesToRead, m_ring.capacity());
    const auto settled = [&] { return m_closing || m_readerStatus != ft::Ok || m_ring.size() >= wanted; };
    if (m_readTimeoutMs == 0) {
        m_dataArrived.wait(lock, settled);
    } else {
        m_dataArrived.wait_for(lock, std::chrono::milliseconds(m_readTimeoutMs), settled);
    }
    if (m_closing) {
        return ft::InvalidHandle;
    }
    if (m_readerStatus != ft::Ok) {
        return m_readerStatus;
    }
    const std::size_t taken = m_ring.read(static_cast<std::uint8_t *>(buffer), bytesToRead);
    if (bytesReturned) {
        *bytesReturned = static_cast<std::uint32_t>(taken);
    }
    lock.unlock();
    m_readerWake.notify_all();
    return ft::Ok;
}

ft::Status LibFtdiDevice::waitForReceived(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_dataArrived.wait_for(lock, timeout,
                           [this] { return m_closing || m_readerStatus != ft::Ok || !m_ring.isEmpty(); });
    if (m_closing) {
        return ft::InvalidHandle;
    }
    return m_readerStatus;
}

ft::Status LibFtdiDevice::close() {
    {
        std::lock_guard lock(m_mutex);
        if (m_closing) {
            return ft::InvalidHandle;
        }
        m_closing = true;
    }
    m_dataArrived.notify_all();
    m_readerWake.notify_all();
    if (m_reader.joinable()) {
        m_reader.join();
    }
    // A write or setting still running finishes first.
    std::lock_guard port(m_portMutex);
    m_port.reset();
    return ft::Ok;
}
