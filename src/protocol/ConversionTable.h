#pragma once

#include <vector>

#include "PixelConversion.h"

// Every pixel code's current, plain gray level and picture byte under one set of conversion parameters.
//
// The conversion of a code depends on nothing but the code and the four parameters, and those change only
// while capture is stopped, so a frame costs one lookup per pixel instead of the formula. The entries are
// computed by PixelConversion itself: they are the formula's results to the last bit, not approximations.
// Built and read on one thread; concurrent readers are fine while nobody rebuilds it.
class ConversionTable {
public:
    static constexpr int codeCount = 65536;

    // Empty: holds no parameters, so the first update builds it.
    ConversionTable() = default;
    explicit ConversionTable(const PixelConversion &conversion) { update(conversion); }

    // Rebuilds the entries unless they were built for exactly these parameters. Returns whether it rebuilt.
    bool update(const PixelConversion &conversion);
    // Whether the entries were built for exactly these parameters (bit for bit, so -0 and 0 differ).
    bool holds(const PixelConversion &conversion) const { return m_built && m_conversion.sameParameters(conversion); }
    const PixelConversion &conversion() const { return m_conversion; }

    // Current in nA of a code, as PixelConversion::current gives it.
    double current(int code) const { return m_currents[static_cast<unsigned>(code)]; }
    // Gray level of the code's current scaled to the range (the plain rendering), as recorded.
    double plainGray(int code) const { return m_plainGrays[static_cast<unsigned>(code)]; }
    // Picture byte of the plain rendering.
    unsigned char plainPixel(int code) const { return m_plainPixels[static_cast<unsigned>(code)]; }

private:
    PixelConversion m_conversion;
    bool m_built = false;
    std::vector<double> m_currents;
    std::vector<double> m_plainGrays;
    std::vector<unsigned char> m_plainPixels;
};
