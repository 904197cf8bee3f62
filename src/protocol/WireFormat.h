#pragma once

#include <array>
#include <cstddef>

// The instrument's frame record and the sensor's geometry: the one place the host side spells them.
namespace wire {

// The sensor is a square of imageSide x imageSide pixels; pixel i = x + imageSide * y.
inline constexpr int imageSide = 64;
inline constexpr int pixelCount = imageSide * imageSide;
// Two bytes per pixel code, high byte first.
inline constexpr std::size_t frameBytes = 2 * static_cast<std::size_t>(pixelCount);
// The header that opens every frame record.
inline constexpr std::array<unsigned char, 6> syncPattern{0xFF, 0xCC, 0xC0, 0x01, 0x20, 0x00};
// A frame record: the header, the frame, two closing bytes.
inline constexpr std::size_t recordLength = syncPattern.size() + frameBytes + 2;

}  // namespace wire
