#include "IntegrationSearch.h"

#include <climits>
#include <cmath>

namespace {

// Truncated toward zero; empty when the quotient is not finite or does not fit in 32 bits.
std::optional<std::int32_t> toInt32(double value) {
    if (!std::isfinite(value) || value <= static_cast<double>(INT_MIN) - 1.0 ||
        value >= static_cast<double>(INT_MAX) + 1.0) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::optional<IntegrationSearch::Choice> IntegrationSearch::find(double rangeNa) {
    for (std::size_t i = 0; i < capacitanceTable.size(); ++i) {
        const std::optional<std::int32_t> t = toInt32(capacitanceTable[i] * 0.95 * 1000000 / rangeNa);
        if (t && *t >= shortestTimeNs && *t <= longestTimeNs) {
            Choice choice;
            choice.integrationTimeNs = *t;
            choice.integrationCount = static_cast<std::int32_t>(*t / tickNs);
            choice.gearCode = 7 - static_cast<int>(i);
            return choice;
        }
    }
    return std::nullopt;
}

double IntegrationSearch::capacitanceOfGear(int gearCode) {
    if (gearCode < 0 || gearCode > 7) {
        return 0.0;
    }
    return capacitanceTable[static_cast<std::size_t>(7 - gearCode)];
}

double IntegrationSearch::framePeriodSeconds(double integrationTimeNs) {
    constexpr double rows = 64;
    constexpr double rowReadoutNs = 110162;
    return rows * (integrationTimeNs + rowReadoutNs) * 1e-9;
}

int IntegrationSearch::estimatedFrameRate(double rangeNa) {
    if (rangeNa < 9) {
        return 13;
    }
    if (rangeNa < 60) {
        return static_cast<int>(15625000 / (9120000 / rangeNa + 110162));
    }
    return 60;
}
