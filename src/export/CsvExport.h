#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "SaveFailure.h"

// Writes a save run's data as text: 64 rows of 64 comma-separated values per frame, each frame headed by
// its time, and the calibration references in the same grid. Every write is checked: a file that could not
// be opened, written or closed comes back as a failure (and is logged as a warning) so the run can report it.
class CsvExport {
public:
    static constexpr int gridSize = 64;
    static constexpr int valuesPerFrame = gridSize * gridSize;
    // Longest text formatValue writes ("-1.23457e-308" and the like).
    static constexpr int maxValueLength = 16;
    // Room for one frame block of the widest values, so appending never reallocates.
    static constexpr std::size_t blockCapacity =
        64 + static_cast<std::size_t>(valuesPerFrame) * (maxValueLength + 1) + gridSize;

    // One block per frame: "Time: <stamp>" (or "Time: Unknown"), 64 rows, an empty line.
    // Frames with fewer than 4096 values are left out and use up no timestamp.
    static SaveResult writeFrames(const QString &path, const std::vector<std::vector<double>> &frames,
                                  const QStringList &timestamps);
    // One block without a time line.
    static SaveResult writeReference(const QString &path, const std::vector<double> &reference);

    // Appends one frame block: "Time: <stamp>" ("Time: Unknown" for an empty stamp), 64 rows, an empty line.
    static void appendFrame(std::string &block, const QString &stamp, const double *values);
    // Appends 64 rows of the first 4096 values and the empty line.
    static void appendGrid(std::string &block, const double *values);

    // Writes `value` at `out` as a default text stream writes a double (up to 6 significant digits, the
    // shorter of fixed and exponent form, "nan", "inf") and returns the end. `out` needs maxValueLength chars.
    static char *formatValue(double value, char *out);
};
