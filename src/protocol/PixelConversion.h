#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// Turns 16-bit pixel codes into photocurrents and currents into gray levels.
//
// A value type holding one consistent set of conversion parameters: the worker takes one snapshot per
// frame, so every pixel of a frame is converted under the same settings even if the window changes them
// meanwhile. All operations are const and may run on several threads at once.
class PixelConversion {
public:
    PixelConversion() = default;
    PixelConversion(bool positive, double integrationTimeNs, double capacitancePf, int rangeNa);

    // Current in nA of one pixel code (0 ... 65535), clamped to +/- the range. NaN passes through.
    double current(int code) const;
    // Magnitude of the current scaled to the range: 0 ... 1 for currents within the range.
    double plainScale(double current) const;
    // Magnitude of the current placed between the pixel's full-off and full-on magnitudes: 0 ... 1.
    static double calibratedScale(double current, double fullOn, double fullOff);
    // Gray level before it is cut to 8 bits: scale x 255 truncated toward zero. A NaN scale gives 0,
    // the same value the picture shows for that pixel.
    static double grayLevel(double scale);
    // The picture byte for a gray level, limited to 0 ... 255.
    static unsigned char pixelValue(double grayLevel);

    // Pixel code of pixel i in a frame: two bytes, high byte first.
    static int codeAt(const unsigned char *frame, int pixel) {
        const std::ptrdiff_t at = 2 * static_cast<std::ptrdiff_t>(pixel);
        return frame[at] * 256 + frame[at + 1];
    }

    bool positive() const { return m_positive; }
    int range() const { return m_range; }

    // Whether both give the same results for every code: the parameters compared bit for bit, so a NaN
    // matches the same NaN and -0 differs from 0 (the sign of a zero result follows the capacitance's).
    bool sameParameters(const PixelConversion &other) const {
        return m_positive == other.m_positive && m_range == other.m_range &&
               bits(m_integrationTime) == bits(other.m_integrationTime) &&
               bits(m_capacitance) == bits(other.m_capacitance);
    }

private:
    static std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

    bool m_positive = true;
    double m_integrationTime = 0.0;  // ns
    double m_capacitance = 0.0;      // pF
    int m_range = 0;                 // nA
};
