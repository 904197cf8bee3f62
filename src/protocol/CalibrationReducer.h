#pragma once

#include <vector>

// Reduces the samples of one calibration capture to a per-pixel reference: of the frames' currents of a
// pixel the lowest and the highest are dropped and the rest averaged, so one disturbed frame (a flash, a
// dropout) does not pull the reference.
class CalibrationReducer {
public:
    static constexpr int framesPerCapture = 10;

    // Mean of the eight middle values of ten; `values` is reordered (sorted).
    static double trimmedMean(double *values);
    // `samples` holds framesPerCapture x pixelCount values, slot-major (frame k, pixel i at k * pixelCount + i).
    // Writes one trimmed mean per pixel into `reference` (resized to pixelCount).
    static void reduce(const std::vector<double> &samples, int pixelCount, std::vector<double> &reference);
};
