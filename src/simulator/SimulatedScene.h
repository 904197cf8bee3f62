#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "SimulatedInstrument.h"

// The simulated sensor's light and pixels, free of time sources and randomness that change: a fixed
// per-pixel gain and dark-current pattern (the same on every run), the light that falls on each pixel, and
// the pixel readout that turns a current into the 16-bit code the host converts back.
//
// Immutable after construction, so any thread may use it without a lock.
class SimulatedScene {
public:
    static constexpr int width = 64;
    static constexpr int pixelCount = width * width;

    SimulatedScene();

    // Relative sensitivity of pixel i (about 0.85 ... 1.05).
    double gain(int pixel) const { return m_gain[static_cast<std::size_t>(pixel)]; }
    // Dark current of pixel i as a fraction of full scale (a few per cent).
    double darkFraction(int pixel) const { return m_darkFraction[static_cast<std::size_t>(pixel)]; }

    // Light on pixel (x, y) as a fraction of full scale, `seconds` after the scene started.
    static double illuminationLevel(Illumination illumination, int x, int y, double seconds);
    // Noise-free current of pixel i in nA: light x gain + dark, negative under negative polarity.
    double meanCurrent(int pixel, Illumination illumination, const AppliedParameters &parameters, double seconds) const;
    // The same for every pixel of a frame at once, in pixel order.
    std::vector<double> meanCurrents(Illumination illumination, const AppliedParameters &parameters,
                                     double seconds) const;

    // Integration capacitance in pF of a gear code; 0 for a code outside 0 ... 7.
    static double capacitancePf(int gearCode);
    // Integration time in ns of the applied integration count.
    static double integrationTimeNs(const AppliedParameters &parameters);
    // The current in nA that fills 95 % of the integrator swing: 0.95 x C / T x 1e6.
    static double fullScaleCurrent(const AppliedParameters &parameters);
    // The pixel code the readout produces for `currentNa` (signed) under the applied parameters.
    static std::uint16_t currentToCode(double currentNa, const AppliedParameters &parameters);
    // The codes of a frame's currents, high byte first, as the record carries them: 2 bytes per current.
    static void writeCodes(const std::vector<double> &currents, const AppliedParameters &parameters, std::uint8_t *out);

private:
    struct Spot {
        double x = 0;
        double y = 0;
    };
    static Spot spotAt(double seconds);
    static double spotProfile(int coordinate, double centre);
    static double sceneLevelOf(double acrossProfile, double downProfile);
    static double sceneLevel(int x, int y, Spot spot);
    double currentOf(int pixel, double level, double fullScale, bool positive) const;

    std::array<double, pixelCount> m_gain{};
    std::array<double, pixelCount> m_darkFraction{};
};
