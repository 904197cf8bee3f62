#include "CommandProtocol.h"

#include <algorithm>
#include <climits>
#include <cmath>

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

bool CommandProtocol::startsWith(const std::vector<std::uint8_t> &reply, const Command &expected) {
    return reply.size() >= expected.size() && std::equal(expected.begin(), expected.end(), reply.begin());
}

int CommandProtocol::batteryCode(const std::vector<std::uint8_t> &reply) {
    return reply.size() < 6 ? 0 : reply[4] * 256 + reply[5];
}
