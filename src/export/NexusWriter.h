#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QDateTime>
#include <QString>

// Writes a save run as one HDF5 file in the NeXus layout, so h5py, NeXus viewers and detector tools open it
// as it is:
//
//   /entry                      NXentry: start_time, end_time (ISO 8601 with zone), program_name (+ version)
//   /entry/instrument           NXinstrument
//   /entry/instrument/detector  NXdetector: data (N x 64 x 64 nA, one frame per chunk), gray (N x 64 x 64),
//                               full_on_reference, full_off_reference (64 x 64 nA), sequence_number (N),
//                               frame_time (N strings as in the CSV), serial_number
//   /entry/instrument/detector/settings  NXcollection: the range, polarity, voltages, gear and integration
//   /entry/data                 NXdata, signal = "data": a link to the detector's data
//
// Everything but the frames is written and flushed when the file is created, and the file is flushed again
// whenever flush() is called, so a writer that is killed leaves a readable file with the frames up to the
// last flush. Errors are returned as values with a text for the user; nothing is thrown.
class NexusWriter {
public:
    static constexpr int side = 64;

    // What the instrument was told, in the units the file states.
    struct Settings {
        double rangeNa = 0;
        bool positive = true;
        double vonV = 0;
        double voffV = 0;
        double vbias1V = 0;
        double vbias2V = 0;
        int gearCode = 0;
        std::int32_t integrationCount = 0;
        double integrationTimeNs = 0;
        double capacitancePf = 0;
    };
    struct Run {
        QString programName;
        QString programVersion;
        QString serialNumber;
        QDateTime startTime;
        Settings settings;
        // As they stand at the start; finish() writes them again as they stand at the end.
        std::vector<double> fullOnReference;
        std::vector<double> fullOffReference;
    };

    NexusWriter();
    // Closes the file if it is still open (without end_time: the run did not finish).
    ~NexusWriter();
    NexusWriter(const NexusWriter &) = delete;
    NexusWriter &operator=(const NexusWriter &) = delete;

    // Creates (truncates) the file and writes everything but the frames. On failure `error` says why.
    bool create(const QString &path, const Run &run, QString *error);
    // Appends one frame: 4096 currents and 4096 gray levels, its number and its time text.
    bool appendFrame(std::int64_t sequence, const QString &time, const std::vector<double> &currents,
                     const std::vector<double> &grays, QString *error);
    // Puts everything written so far into the file on disk.
    bool flush(QString *error);
    // Writes end_time and the references as they stand at the end, and closes the file.
    bool finish(const QDateTime &endTime, const std::vector<double> &fullOnReference,
                const std::vector<double> &fullOffReference, QString *error);

    bool isOpen() const;
    std::int64_t frames() const { return m_frames; }
    // The ISO 8601 text with the zone offset that start_time and end_time hold.
    static QString isoTime(const QDateTime &time);

private:
    struct Handles;
    bool fail(const QString &what, QString *error);
    bool close();

    std::unique_ptr<Handles> m_handles;
    QString m_path;
    std::int64_t m_frames = 0;
};
