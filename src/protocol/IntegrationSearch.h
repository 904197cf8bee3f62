#pragma once

#include <array>
#include <cstdint>
#include <optional>

// Chooses the integration capacitance and time for a current range: the largest capacitance whose
// integration time t = C x 0.95 x 1e6 / R (ns) lies within what the readout supports.
class IntegrationSearch {
public:
    struct Choice {
        std::int32_t integrationTimeNs = 0;
        std::int32_t integrationCount = 0;  // 12.5 ns ticks
        int gearCode = 7;                   // 7 - table index
    };

    // Integration capacitances in pF, largest first; the gear code of entry i is 7 - i.
    static constexpr std::array<double, 8> capacitanceTable{9.6, 7.2, 4.8, 2.4, 1.2, 0.5, 0.25, 0.13};
    static constexpr std::int32_t shortestTimeNs = 14000;
    static constexpr std::int32_t longestTimeNs = 1300000;
    static constexpr double tickNs = 12.5;

    // Empty when no capacitance fits (ranges of 0 or less, below 0.095 nA or above about 651 nA).
    static std::optional<Choice> find(double rangeNa);
    // Capacitance in pF of a gear code.
    static double capacitanceOfGear(int gearCode);
    // Frames per second the sensor reaches at this range (also the saved video's frame rate).
    static int estimatedFrameRate(double rangeNa);
    // Seconds from one frame to the next under an integration time: 64 rows, each integrated and then read
    // out (110.162 us a row).
    static double framePeriodSeconds(double integrationTimeNs);
};
