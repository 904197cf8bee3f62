#pragma once

// Small helpers shared by the simulator tests: the commands as the host writes them, a parameter command
// builder, and the host's conversion of a pixel code back into a current.

#include <cstdint>
#include <vector>

#include <QTest>

#include "SimulatedInstrument.h"

namespace simkit {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes handshake{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4A, 0x0D};
inline const Bytes handshakeAck{0xFF, 0xCC, 0xA0, 0x01, 0x00, 0x00, 0x6C, 0x0D};
inline const Bytes stopCommand{0xFF, 0xAA, 0xA0, 0x02, 0x00, 0x00, 0x4B, 0x0D};
inline const Bytes startCommand{0xFF, 0xAA, 0xA0, 0x03, 0x00, 0x00, 0x4C, 0x0D};
inline const Bytes batteryQuery{0xFF, 0xAA, 0xA0, 0x04, 0x00, 0x00, 0x4D, 0x0D};
inline const Bytes frameRequest{0xFF, 0xAA, 0xC0, 0x01, 0x00, 0x00, 0x6A, 0x0D};
inline const Bytes parameterAck{0xFF, 0xCC, 0xB0, 0x01, 0x00, 0x00, 0x7C, 0x0D};
inline const Bytes recordHeader{0xFF, 0xCC, 0xC0, 0x01, 0x20, 0x00};
constexpr std::size_t recordSize = 8200;

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

inline std::uint8_t checkByte(const Bytes &bytes) {
    unsigned sum = 0;
    for (std::uint8_t byte : bytes) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

// The 21-byte parameter command for these settings, check byte included.
inline Bytes parameterCommand(std::uint32_t count, int gear, bool positive, int von = 2047, int voff = 2047,
                              int vbias1 = 2206, int vbias2 = 2206) {
    Bytes command{0xFF,
                  0xAA,
                  0xB0,
                  0x01,
                  0x00,
                  0x0D,
                  static_cast<std::uint8_t>(count >> 16),
                  static_cast<std::uint8_t>(count >> 8),
                  static_cast<std::uint8_t>(count),
                  static_cast<std::uint8_t>(gear),
                  static_cast<std::uint8_t>(positive ? 1 : 0)};
    for (int code : {von, voff, vbias1, vbias2}) {
        command.push_back(static_cast<std::uint8_t>((code >> 8) & 0xFF));
        command.push_back(static_cast<std::uint8_t>(code & 0xFF));
    }
    command.push_back(checkByte(command));
    command.push_back(0x0D);
    return command;
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
