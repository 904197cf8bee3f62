#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One command frame cut from the host's byte stream: FF AA, group, sub-code, 16-bit length L, L payload
// bytes, check byte, end byte 0D.
struct SimulatedCommand {
    std::vector<std::uint8_t> bytes;
    // Check byte and end byte are right; only intact frames are acted on.
    bool intact = false;

    std::uint8_t group() const { return bytes[2]; }
    std::uint8_t subCode() const { return bytes[3]; }
    std::size_t payloadLength() const { return bytes.size() - 8; }
    const std::uint8_t *payload() const { return bytes.data() + 6; }
};

// Cuts command frames out of what the host writes. Writes are a byte stream: a frame may arrive in
// pieces or several at once, behind stray bytes. The parser resynchronises on the FF AA marker; a frame
// whose check or end byte is wrong is reported (not intact) and the search goes on one byte after its
// start, so a good command hidden behind a torn one is still found.
class SimulatedCommandParser {
public:
    // Longest payload taken as a frame; the longest real command carries 13. A longer length field is
    // noise, and waiting for that many bytes would swallow the commands behind it.
    static constexpr std::size_t maxPayload = 32;

    // Adds bytes and returns the frames they complete, in order.
    std::vector<SimulatedCommand> feed(const std::uint8_t *data, std::size_t size);
    // Drops a partly received frame.
    void clear() { m_buffer.clear(); }

    // Low 8 bits of the sum of the bytes.
    static std::uint8_t checkByte(const std::uint8_t *data, std::size_t size);

private:
    // Drops bytes ahead of the next FF AA (keeps a trailing FF that may start one).
    void skipToMarker();

    std::vector<std::uint8_t> m_buffer;
};
