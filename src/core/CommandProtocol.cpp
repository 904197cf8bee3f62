#include "CommandProtocol.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include <QThread>

#include "UsbFifoLink.h"

namespace {

int voltageCode(double x) {
    if (!std::isfinite(x) || x <= static_cast<double>(INT_MIN) - 1.0 || x >= static_cast<double>(INT_MAX) + 1.0) {
        return INT_MIN;
    }
    return static_cast<int>(x);  // truncates toward zero
}

void putVoltage(CommandProtocol::ParameterCommand &frame, std::size_t at, int code) {
    frame[at] = static_cast<std::uint8_t>((code >> 8) & 0xFF);
    frame[at + 1] = static_cast<std::uint8_t>(code & 0xFF);
}

// Reads whatever is waiting (never more than the buffer holds) into the start of `buffer`.
ft::Status readWaiting(UsbFifoLink &link, ft::Handle handle, std::vector<std::uint8_t> &buffer, std::uint32_t *got) {
    std::uint32_t rx = 0, tx = 0, event = 0;
    *got = 0;
    ft::Status status = link.getStatus(handle, &rx, &tx, &event);
    if (status != ft::Ok || rx == 0) {
        return status;
    }
    const auto wanted = static_cast<std::uint32_t>(std::min<std::size_t>(rx, buffer.size()));
    return link.read(handle, buffer.data(), wanted, got);
}

}  // namespace

std::uint8_t CommandProtocol::checkByte(const std::uint8_t *bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += bytes[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

int CommandProtocol::gateVoltageCode(double volts) {
    return voltageCode((volts * 0.5 + 10.8) / 21.6 * 4095);
}

int CommandProtocol::biasVoltageCode(double volts) {
    return voltageCode(((volts + 1.68) * 0.5 + 10.8) / 21.6 * 4095);
}

double CommandProtocol::voltsFromText(const QString &text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? value : 0.0;
}

CommandProtocol::ParameterCommand CommandProtocol::parameterCommand(const Parameters &p) {
    ParameterCommand frame{0xFF, 0xAA, 0xB0, 0x01, 0x00, 0x0D};
    frame[6] = static_cast<std::uint8_t>((p.integrationCount >> 16) & 0xFF);
    frame[7] = static_cast<std::uint8_t>((p.integrationCount >> 8) & 0xFF);
    frame[8] = static_cast<std::uint8_t>(p.integrationCount & 0xFF);
    frame[9] = static_cast<std::uint8_t>(p.gearCode);
    frame[10] = p.positive ? 1 : 0;
    putVoltage(frame, 11, p.vonCode);
    putVoltage(frame, 13, p.voffCode);
    putVoltage(frame, 15, p.vbias1Code);
    putVoltage(frame, 17, p.vbias2Code);
    frame[19] = checkByte(frame.data(), 19);
    frame[20] = 0x0D;
    return frame;
}

int CommandProtocol::batteryGaugeWidth(int batteryCode) {
    const double volts = std::clamp(batteryCode * 3.3 / 4096, 1.65, 2.075);
    return static_cast<int>((volts - 1.65) / (2.075 - 1.65) * 16);
}

bool CommandProtocol::awaitAcknowledgement(UsbFifoLink &link, ft::Handle handle, const Command &expected,
                                           std::size_t bufferSize, int waitMs, ft::Status *lastStatus) {
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(bufferSize, expected.size()), 0);
    for (int miss = 0; miss < acknowledgementReads; ++miss) {
        std::uint32_t got = 0;
        *lastStatus = readWaiting(link, handle, buffer, &got);
        if (std::memcmp(buffer.data(), expected.data(), expected.size()) == 0) {
            return true;
        }
        QThread::msleep(static_cast<unsigned long>(waitMs));
    }
    return false;
}

std::optional<int> CommandProtocol::queryBattery(UsbFifoLink &link, ft::Handle handle, ft::Status *lastStatus) {
    *lastStatus = writeFrame(link, handle, batteryQuery.data(), batteryQuery.size());
    QThread::msleep(100);
    std::vector<std::uint8_t> buffer(10, 0);
    std::uint32_t got = 0;
    *lastStatus = readWaiting(link, handle, buffer, &got);
    if (got == 0) {
        return std::nullopt;
    }
    return buffer[4] * 256 + buffer[5];
}

ft::Status CommandProtocol::writeFrame(UsbFifoLink &link, ft::Handle handle, const std::uint8_t *bytes,
                                       std::size_t count) {
    std::uint32_t written = 0;
    return link.write(handle, bytes, static_cast<std::uint32_t>(count), &written);
}
