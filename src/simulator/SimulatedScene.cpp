#include "SimulatedScene.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace {

// Gain and dark spreads leave room below full scale: the brightest flood pixel (0.9 x 1.05 + 0.035) stays
// under 100 % with several noise deviations to spare, so the host's range clamp never cuts a reference.
constexpr double minGain = 0.85;
constexpr double gainSpread = 0.20;
constexpr double minDarkFraction = 0.005;
constexpr double darkFractionSpread = 0.030;
// A fixed seed: the pixel pattern is part of the simulated instrument, like a real sensor's.
constexpr std::uint32_t patternSeed = 0x5eed64u;

constexpr double backgroundLevel = 0.10;
constexpr double spotLevel = 0.80;
constexpr double spotRadiusPx = 8.0;
constexpr double orbitRadiusPx = 18.0;
constexpr double orbitPeriodSeconds = 4.0;
constexpr double floodLevel = 0.90;

constexpr double tickNs = 12.5;
// Integrator swing on the ADC: 0 A sits at -1.4 V (positive) or +1.4 V (negative), 2.8 V per full charge.
constexpr double swingVolts = 2.8;
constexpr double offsetVolts = 1.4;
constexpr double voltsPerCode = 5.0 / 65535.0;
constexpr double fullScaleFraction = 0.95;

constexpr std::array<double, 8> capacitanceByGear{0.13, 0.25, 0.5, 1.2, 2.4, 4.8, 7.2, 9.6};

// mt19937's output sequence is fixed by the standard; the library's distributions are not, so the
// uniform draw is done here to keep the pattern identical across standard libraries.
double uniform(std::mt19937 &generator) {
    return static_cast<double>(generator()) / 4294967296.0;
}

// What the readout of every pixel shares under one set of applied parameters, worked out once per frame.
struct Readout {
    double timeNs = 0;
    double capacitanceE6 = 0;
    bool converts = false;
    bool positive = true;
};

Readout readoutOf(const AppliedParameters &parameters) {
    Readout readout;
    const double capacitance = SimulatedScene::capacitancePf(parameters.gearCode);
    readout.timeNs = SimulatedScene::integrationTimeNs(parameters);
    readout.capacitanceE6 = capacitance * 1e6;
    readout.converts = capacitance > 0.0 && readout.timeNs > 0.0;
    readout.positive = parameters.positive;
    return readout;
}

// Readout voltage of the integrator for a signed current; NaN when the parameters give no conversion.
double readoutVolts(double currentNa, const Readout &readout) {
    if (!readout.converts || !std::isfinite(currentNa)) {
        return std::nan("");
    }
    const double swing = currentNa * readout.timeNs / readout.capacitanceE6 * swingVolts;
    return readout.positive ? swing - offsetVolts : offsetVolts + swing;
}

std::uint16_t codeOf(double currentNa, const Readout &readout) {
    double volts = readoutVolts(currentNa, readout);
    if (std::isnan(volts)) {
        volts = readout.positive ? -offsetVolts : offsetVolts;
    }
    // The ADC's two halves: 0 ... 32767 for 0 ... +2.5 V, 32768 ... 65535 for -2.5 ... 0 V. Clipping to
    // the half of the voltage's sign keeps an overdriven pixel saturated instead of wrapping to the other sign.
    if (volts >= 0.0) {
        const double code = std::round(std::min(volts, 5.0) / voltsPerCode);
        return static_cast<std::uint16_t>(std::clamp(code, 0.0, 32767.0));
    }
    const double code = std::round((std::max(volts, -5.0) + 5.0) / voltsPerCode);
    return static_cast<std::uint16_t>(std::clamp(code, 32768.0, 65535.0));
}

}  // namespace

SimulatedScene::SimulatedScene() {
    std::mt19937 generator(patternSeed);
    for (std::size_t i = 0; i < m_gain.size(); ++i) {
        m_gain[i] = minGain + gainSpread * uniform(generator);
        m_darkFraction[i] = minDarkFraction + darkFractionSpread * uniform(generator);
    }
}

SimulatedScene::Spot SimulatedScene::spotAt(double seconds) {
    const double angle = 2.0 * std::numbers::pi * seconds / orbitPeriodSeconds;
    const double centre = (width - 1) / 2.0;
    return {centre + orbitRadiusPx * std::cos(angle), centre + orbitRadiusPx * std::sin(angle)};
}

// The spot's profile along one axis; the round spot is the product of the two axes' profiles, which lets a
// whole frame take 2 x 64 exponentials instead of 4096.
double SimulatedScene::spotProfile(int coordinate, double centre) {
    const double d = coordinate - centre;
    return std::exp(-(d * d) / (spotRadiusPx * spotRadiusPx));
}

// One formula for a single pixel and for a whole frame, so both give the same bits.
double SimulatedScene::sceneLevelOf(double acrossProfile, double downProfile) {
    return backgroundLevel + spotLevel * (acrossProfile * downProfile);
}

double SimulatedScene::sceneLevel(int x, int y, Spot spot) {
    return sceneLevelOf(spotProfile(x, spot.x), spotProfile(y, spot.y));
}

double SimulatedScene::illuminationLevel(Illumination illumination, int x, int y, double seconds) {
    switch (illumination) {
        case Illumination::Dark:
            return 0.0;
        case Illumination::Flood:
            return floodLevel;
        case Illumination::Scene:
            break;
    }
    return sceneLevel(x, y, spotAt(seconds));
}

double SimulatedScene::currentOf(int pixel, double level, double fullScale, bool positive) const {
    const double magnitude = (level * gain(pixel) + darkFraction(pixel)) * fullScale;
    return positive ? magnitude : -magnitude;
}

double SimulatedScene::meanCurrent(int pixel, Illumination illumination, const AppliedParameters &parameters,
                                   double seconds) const {
    const double level = illuminationLevel(illumination, pixel % width, pixel / width, seconds);
    return currentOf(pixel, level, fullScaleCurrent(parameters), parameters.positive);
}

std::vector<double> SimulatedScene::meanCurrents(Illumination illumination, const AppliedParameters &parameters,
                                                 double seconds) const {
    const double fullScale = fullScaleCurrent(parameters);
    const Spot spot = spotAt(seconds);
    std::array<double, width> across{};
    std::array<double, width> down{};
    for (int i = 0; i < width; ++i) {
        across[static_cast<std::size_t>(i)] = spotProfile(i, spot.x);
        down[static_cast<std::size_t>(i)] = spotProfile(i, spot.y);
    }
    const double uniformLevel = illuminationLevel(illumination, 0, 0, seconds);
    std::vector<double> currents(pixelCount);
    for (int pixel = 0; pixel < pixelCount; ++pixel) {
        const auto x = static_cast<std::size_t>(pixel % width);
        const auto y = static_cast<std::size_t>(pixel / width);
        const double level = illumination == Illumination::Scene ? sceneLevelOf(across[x], down[y]) : uniformLevel;
        currents[static_cast<std::size_t>(pixel)] = currentOf(pixel, level, fullScale, parameters.positive);
    }
    return currents;
}

double SimulatedScene::capacitancePf(int gearCode) {
    if (gearCode < 0 || gearCode >= static_cast<int>(capacitanceByGear.size())) {
        return 0.0;
    }
    return capacitanceByGear[static_cast<std::size_t>(gearCode)];
}

double SimulatedScene::integrationTimeNs(const AppliedParameters &parameters) {
    return parameters.integrationCount * tickNs;
}

double SimulatedScene::fullScaleCurrent(const AppliedParameters &parameters) {
    const double time = integrationTimeNs(parameters);
    if (!(time > 0.0)) {
        return 0.0;
    }
    return fullScaleFraction * capacitancePf(parameters.gearCode) / time * 1e6;
}

std::uint16_t SimulatedScene::currentToCode(double currentNa, const AppliedParameters &parameters) {
    return codeOf(currentNa, readoutOf(parameters));
}

void SimulatedScene::writeCodes(const std::vector<double> &currents, const AppliedParameters &parameters,
                                std::uint8_t *out) {
    const Readout readout = readoutOf(parameters);
    for (const double current : currents) {
        const std::uint16_t code = codeOf(current, readout);
        *out++ = static_cast<std::uint8_t>(code >> 8);
        *out++ = static_cast<std::uint8_t>(code & 0xFF);
    }
}
