#include "CalibrationReducer.h"

#include <algorithm>
#include <array>

// Two values dropped, eight averaged: the sum below and the factor 1/8 depend on it.
static_assert(CalibrationReducer::framesPerCapture == 10);

double CalibrationReducer::trimmedMean(double *values) {
    std::sort(values, values + framesPerCapture);
    // The eight middle values, summed pairwise: eight equal currents then give back exactly that current
    // (a running sum of 0.1 eight times does not), and sorting first makes the result independent of the
    // order in which the frames came.
    const double *middle = values + 1;
    const double quarter1 = middle[0] + middle[1];
    const double quarter2 = middle[2] + middle[3];
    const double quarter3 = middle[4] + middle[5];
    const double quarter4 = middle[6] + middle[7];
    return ((quarter1 + quarter2) + (quarter3 + quarter4)) * 0.125;
}

void CalibrationReducer::reduce(const std::vector<double> &samples, int pixelCount, std::vector<double> &reference) {
    reference.resize(pixelCount);
    std::array<double, framesPerCapture> values{};
    for (int pixel = 0; pixel < pixelCount; ++pixel) {
        for (int frame = 0; frame < framesPerCapture; ++frame) {
            values[frame] = samples[static_cast<std::size_t>(frame) * pixelCount + pixel];
        }
        reference[pixel] = trimmedMean(values.data());
    }
}
