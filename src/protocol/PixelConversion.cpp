#include "PixelConversion.h"

#include <cmath>

namespace {

// The readout spans 5 V over the 16-bit code; codes above 32767 are negative voltages.
constexpr double kVoltsPerCode = 5.0 / 65535.0;
constexpr int kLargestPositiveCode = 32767;
constexpr double kFullSwing = 5.0;
// The integrator's reference level and swing, in volts.
constexpr double kReferenceVolts = 1.4;
constexpr double kSwingVolts = 2.8;
// pF / ns gives A x 1e-3; the readings are in nA.
constexpr double kToNanoamperes = 1000000.0;

}  // namespace

PixelConversion::PixelConversion(bool positive, double integrationTimeNs, double capacitancePf, int rangeNa)
    : m_positive(positive), m_integrationTime(integrationTimeNs), m_capacitance(capacitancePf), m_range(rangeNa) {}

double PixelConversion::current(int code) const {
    double volts = code * kVoltsPerCode;
    if (code > kLargestPositiveCode) {
        volts -= kFullSwing;
    }
    // The order of the operations is part of the result: the exported values must not drift by an ulp.
    double value;
    if (m_positive) {
        value = ((volts + kReferenceVolts) / kSwingVolts) * m_capacitance / m_integrationTime;
        if (0 > value) {
            value = 0;
        }
    } else {
        value = ((volts - kReferenceVolts) / kSwingVolts) * m_capacitance / m_integrationTime;
        if (0 < value) {
            value = 0;
        }
    }
    value *= kToNanoamperes;

    const double limit = static_cast<double>(m_range);
    if (value > limit) {
        return limit;
    }
    if (-limit > value) {
        return -limit;
    }
    return value;
}

double PixelConversion::plainScale(double current) const {
    return std::fabs(current) / static_cast<double>(m_range);
}

double PixelConversion::calibratedScale(double current, double fullOn, double fullOff) {
    const double magnitude = std::fabs(current);
    const double high = std::fabs(fullOn);
    const double low = std::fabs(fullOff);
    // The test against the full-on end comes first, so crossed references still give 0 or 1.
    double limited;
    if (magnitude > high) {
        limited = high;
    } else {
        limited = low > magnitude ? low : magnitude;
    }
    return (limited - low) / (high - low);
}

double PixelConversion::grayLevel(double scale) {
    const double level = std::trunc(scale * 255.0);
    return std::isnan(level) ? 0.0 : level;
}

unsigned char PixelConversion::pixelValue(double grayLevel) {
    if (!(grayLevel > 0.0)) {
        return 0;
    }
    if (grayLevel >= 255.0) {
        return 255;
    }
    return static_cast<unsigned char>(grayLevel);
}
