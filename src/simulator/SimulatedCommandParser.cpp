#include "SimulatedCommandParser.h"

#include <algorithm>

namespace {

constexpr std::uint8_t frameStart = 0xFF;
constexpr std::uint8_t commandMarker = 0xAA;
constexpr std::uint8_t endByte = 0x0D;
constexpr std::size_t headerSize = 6;
constexpr std::size_t trailerSize = 2;

}  // namespace

std::uint8_t SimulatedCommandParser::checkByte(const std::uint8_t *data, std::size_t size) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < size; ++i) {
        sum += data[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

void SimulatedCommandParser::skipToMarker() {
    std::size_t start = 0;
    while (start < m_buffer.size()) {
        if (m_buffer[start] == frameStart && (start + 1 == m_buffer.size() || m_buffer[start + 1] == commandMarker)) {
            break;
        }
        ++start;
    }
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(start));
}

std::vector<SimulatedCommand> SimulatedCommandParser::feed(const std::uint8_t *data, std::size_t size) {
    std::vector<SimulatedCommand> frames;
    if (data && size > 0) {
        m_buffer.insert(m_buffer.end(), data, data + size);
    }
    for (;;) {
        skipToMarker();
        if (m_buffer.size() < headerSize) {
            break;
        }
        const std::size_t payload = (std::size_t{m_buffer[4]} << 8) | m_buffer[5];
        if (payload > maxPayload) {
            m_buffer.erase(m_buffer.begin());
            continue;
        }
        const std::size_t frameSize = headerSize + payload + trailerSize;
        if (m_buffer.size() < frameSize) {
            break;
        }
        SimulatedCommand frame;
        frame.bytes.assign(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(frameSize));
        frame.intact = frame.bytes[frameSize - 2] == checkByte(frame.bytes.data(), frameSize - 2) &&
                       frame.bytes[frameSize - 1] == endByte;
        // A good frame is consumed whole; a torn one only by its first byte, to resynchronise inside it.
        const std::size_t consumed = frame.intact ? frameSize : 1;
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(consumed));
        frames.push_back(std::move(frame));
    }
    return frames;
}
