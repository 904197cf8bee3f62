#pragma once

#include <string>
#include <vector>

#include <QString>

#include "CheckedFile.h"
#include "SaveFailure.h"

// A frame CSV file ("_current.csv", "_gray.csv") written one frame block at a time as the frames arrive, so a
// run's length costs no memory and a run cut short keeps every block written before. The bytes are those
// of CsvExport's whole-file writer.
class FrameCsvFile {
public:
    explicit FrameCsvFile(const QString &path);

    bool open();
    // Appends one block; a frame with fewer than 4096 values is left out with a warning.
    void append(const std::vector<double> &values, const QString &stamp);
    // Closes the file. `warnIfEmpty`: say "No data to save." when no block was written.
    SaveResult close(bool warnIfEmpty = false);

    int frames() const { return m_frames; }
    SaveResult failure() const { return m_file.failure(); }
    bool isOpen() const { return m_file.isOpen(); }

private:
    CheckedFile m_file;
    std::string m_block;  // reused for every frame
    int m_frames = 0;
};
