#include "LibFtdiPort.h"

#include <ftdi.h>
#include <libusb.h>

LibFtdiPort::LibFtdiPort(ftdi_context *context) : m_context(context) {}

LibFtdiPort::~LibFtdiPort() {
    ftdi_usb_close(m_context);
    ftdi_free(m_context);
}

int LibFtdiPort::reset() {
    return ftdi_usb_reset(m_context);
}

// libftdi1's flush functions are named from the host's side like tcflush(3): "input" is what the device
// sent towards the host, the receive queue.
int LibFtdiPort::purge(bool rx, bool tx) {
    if (rx && tx) {
        return ftdi_tcioflush(m_context);
    }
    if (rx) {
        return ftdi_tciflush(m_context);
    }
    if (tx) {
        return ftdi_tcoflush(m_context);
    }
    return 0;
}

int LibFtdiPort::setBitMode(std::uint8_t mask, std::uint8_t mode) {
    return ftdi_set_bitmode(m_context, mask, mode);
}

int LibFtdiPort::setChunkSizes(std::uint32_t readChunk, std::uint32_t writeChunk) {
    const int readResult = ftdi_read_data_set_chunksize(m_context, readChunk);
    if (readResult < 0) {
        return readResult;
    }
    return ftdi_write_data_set_chunksize(m_context, writeChunk);
}

int LibFtdiPort::setFlowControl(std::uint16_t flowControl, std::uint8_t xon, std::uint8_t xoff) {
    switch (flowControl) {
        case kFlowNone:
            return ftdi_setflowctrl(m_context, SIO_DISABLE_FLOW_CTRL);
        case kFlowRtsCts:
            return ftdi_setflowctrl(m_context, SIO_RTS_CTS_HS);
        case kFlowDtrDsr:
            return ftdi_setflowctrl(m_context, SIO_DTR_DSR_HS);
        case kFlowXonXoff:
            return ftdi_setflowctrl_xonxoff(m_context, xon, xoff);
        default:
            return -1;
    }
}

int LibFtdiPort::setUsbTimeouts(int readTimeoutMs, int writeTimeoutMs) {
    m_context->usb_read_timeout = readTimeoutMs;
    m_context->usb_write_timeout = writeTimeoutMs;
    return 0;
}

int LibFtdiPort::setLatencyTimer(std::uint8_t milliseconds) {
    return ftdi_set_latency_timer(m_context, milliseconds);
}

int LibFtdiPort::read(std::uint8_t *buffer, int size) {
    const int result = ftdi_read_data(m_context, buffer, size);
    // A quiet device is not a failure: the reader simply asks again.
    return result == LIBUSB_ERROR_TIMEOUT ? 0 : result;
}

int LibFtdiPort::write(const std::uint8_t *buffer, int size) {
    return ftdi_write_data(m_context, buffer, size);
}

std::string LibFtdiPort::errorString() const {
    const char *text = ftdi_get_error_string(m_context);
    return text ? std::string(text) : std::string();
}
