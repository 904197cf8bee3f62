#pragma once

// Small helpers shared by the simulator tests: the commands as the host writes them, a parameter command
// builder, and the host's conversion of a pixel code back into a current.

#include <array>
#include <cstdint>
#include <vector>

#include <QTest>

#include "CommandProtocol.h"
#include "SimulatedInstrument.h"
#include "WireFormat.h"

namespace simkit {

using Bytes = std::vector<std::uint8_t>;

// What the host sends and expects, in the host's own spelling: the simulator must understand it.
template <std::size_t N>
Bytes bytesOf(const std::array<std::uint8_t, N> &frame) {
    return Bytes(frame.begin(), frame.end());
}
inline const Bytes handshake = bytesOf(CommandProtocol::handshake);
inline const Bytes handshakeAck = bytesOf(CommandProtocol::handshakeAck);
inline const Bytes stopCommand = bytesOf(CommandProtocol::stop);
inline const Bytes startCommand = bytesOf(CommandProtocol::start);
inline const Bytes batteryQuery = bytesOf(CommandProtocol::batteryQuery);
inline const Bytes frameRequest = bytesOf(CommandProtocol::frameRequest);
inline const Bytes parameterAck = bytesOf(CommandProtocol::parameterAck);
inline const Bytes recordHeader{wire::syncPattern.begin(), wire::syncPattern.end()};
constexpr std::size_t recordSize = wire::recordLength;

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline std::uint8_t checkByte(const Bytes &bytes) {
    return CommandProtocol::checkByte(bytes.data(), bytes.size());
}

// The 21-byte parameter command for these settings, as the host builds it.
inline Bytes parameterCommand(std::uint32_t count, int gear, bool positive, int von = 2047, int voff = 2047,
                              int vbias1 = 2206, int vbias2 = 2206) {
    CommandProtocol::Parameters parameters;
    parameters.integrationCount = count;
    parameters.gearCode = gear;
    parameters.positive = positive;
    parameters.vonCode = von;
    parameters.voffCode = voff;
    parameters.vbias1Code = vbias1;
    parameters.vbias2Code = vbias2;
    return bytesOf(CommandProtocol::parameterCommand(parameters));
}

inline void send(SimulatedInstrument &instrument, const Bytes &bytes) {
    instrument.receiveFromHost(bytes.data(), bytes.size());
}

// Everything the instrument has queued for the host now (one status call, then one read).
inline Bytes drain(SimulatedInstrument &instrument) {
    Bytes bytes(instrument.bytesQueued());
    bytes.resize(instrument.takeBytes(bytes.data(), bytes.size()));
    return bytes;
}

// The host's conversion of a pixel code into a current in nA (capacitance pF, time ns, range nA).
inline double codeToCurrent(int code, double capacitance, double timeNs, bool positive, double range) {
    double v = code * (5.0 / 65535.0);
    if (code > 32767) {
        v -= 5.0;
    }
    double a = positive ? ((v + 1.4) / 2.8) * capacitance / timeNs : ((v - 1.4) / 2.8) * capacitance / timeNs;
    if (positive && 0 > a) {
        a = 0;
    }
    if (!positive && 0 < a) {
        a = 0;
    }
    a *= 1000000;
    if (a > range) {
        return range;
    }
    if (-range > a) {
        return -range;
    }
    return a;
}

// Pixel codes of one record's payload (record = header + 8192 bytes + 2).
inline std::vector<int> pixelCodes(const Bytes &record) {
    std::vector<int> codes;
    for (std::size_t i = 6; i + 1 < 6 + 8192 && i + 1 < record.size(); i += 2) {
        codes.push_back(record[i] * 256 + record[i + 1]);
    }
    return codes;
}

}  // namespace simkit
