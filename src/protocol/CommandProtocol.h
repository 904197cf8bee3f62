#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <QString>

// The instrument's command frames: FF, direction marker, opcode group, sub-code, 16-bit big-endian field,
// payload, check byte (low 8 bits of the sum of all earlier bytes), end byte 0D; and the replies to them.
// Pure byte building and recognition: the exchanges that carry them live with the instrument session.
class CommandProtocol {
public:
    using Command = std::array<std::uint8_t, 8>;
    using ParameterCommand = std::array<std::uint8_t, 21>;

    static constexpr Command handshake{0xFF, 0xAA, 0xA0, 0x01, 0x00, 0x00, 0x4A, 0x0D};
    static constexpr Command stop{0xFF, 0xAA, 0xA0, 0x02, 0x00, 0x00, 0x4B, 0x0D};
    static constexpr Command start{0xFF, 0xAA, 0xA0, 0x03, 0x00, 0x00, 0x4C, 0x0D};
    static constexpr Command batteryQuery{0xFF, 0xAA, 0xA0, 0x04, 0x00, 0x00, 0x4D, 0x0D};
    static constexpr Command frameRequest{0xFF, 0xAA, 0xC0, 0x01, 0x00, 0x00, 0x6A, 0x0D};
    static constexpr Command handshakeAck{0xFF, 0xCC, 0xA0, 0x01, 0x00, 0x00, 0x6C, 0x0D};
    static constexpr Command parameterAck{0xFF, 0xCC, 0xB0, 0x01, 0x00, 0x00, 0x7C, 0x0D};

    // What one parameter command carries.
    struct Parameters {
        std::uint32_t integrationCount = 0;  // 12.5 ns ticks, 24 bits on the wire
        int gearCode = 7;                    // 0 ... 7
        bool positive = true;
        int vonCode = 0;
        int voffCode = 0;
        int vbias1Code = 0;
        int vbias2Code = 0;
    };

    // Low 8 bits of the sum of `count` bytes.
    static std::uint8_t checkByte(const std::uint8_t *bytes, std::size_t count);

    // Voltage codes, truncated toward zero and not clamped; a value that is not finite or does not fit in
    // 32 bits gives INT32_MIN. Only bits 15-0 go on the wire, so out-of-range voltages wrap.
    static int gateVoltageCode(double volts);  // Von and Voff
    static int biasVoltageCode(double volts);  // Vbias1 and Vbias2
    // The number typed in a voltage field; text that is not a number reads as 0.
    static double voltsFromText(const QString &text);

    static ParameterCommand parameterCommand(const Parameters &parameters);

    // Battery code (bytes 4 and 5 of the reply) to the gauge's width in pixels (0 ... 16).
    static int batteryGaugeWidth(int batteryCode);

    // Whether a reply buffer starts with `expected` (an acknowledgement is recognised only at the start).
    static bool startsWith(const std::vector<std::uint8_t> &reply, const Command &expected);
    // The battery code of a zero-filled reply buffer of at least 6 bytes: byte 4 x 256 + byte 5.
    static int batteryCode(const std::vector<std::uint8_t> &reply);

    static constexpr int handshakeBufferSize = 10;
    static constexpr int handshakeWaitMs = 100;
    static constexpr int parameterBufferSize = 256;
    static constexpr int parameterWaitMs = 50;
    static constexpr int acknowledgementReads = 10;
    static constexpr int batteryReplyBufferSize = 10;
    static constexpr int batteryWaitMs = 100;
    // Between the start command and the first frame request.
    static constexpr int startToRequestMs = 100;
};
