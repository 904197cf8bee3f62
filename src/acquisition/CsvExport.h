#pragma once

#include <vector>

#include <QString>
#include <QStringList>

// Writes a save run's data as text: 64 rows of 64 comma-separated values per frame, each frame headed by
// its time, and the calibration references in the same grid. Failures are logged as warnings and returned
// (false), and never stop the other files of a run.
class CsvExport {
public:
    static constexpr int gridSize = 64;
    static constexpr int valuesPerFrame = gridSize * gridSize;

    // One block per frame: "Time: <stamp>" (or "Time: Unknown"), 64 rows, an empty line.
    // Frames with fewer than 4096 values are left out and use up no timestamp.
    static bool writeFrames(const QString &path, const std::vector<std::vector<double>> &frames,
                            const QStringList &timestamps);
    // One block without a time line.
    static bool writeReference(const QString &path, const std::vector<double> &reference);
};
