#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QDateTime>
#include <QString>

// Writes a save run as one HDF5 file in the NeXus layout, so h5py, NeXus viewers and detector tools open it
// as it is:
//
//   /entry                      NXentry: start_time, end_time (ISO 8601 with zone; end_time once the run has
//                               ended), program_name (+ version)
//   /entry/instrument           NXinstrument
//   /entry/instrument/detector  NXdetector: data (N x 64 x 64 nA, one frame per chunk), gray (N x 64 x 64),
//                               full_on_reference, full_off_reference (64 x 64 nA), sequence_number (N),
//                               frame_start (N seconds since start_time; "start" attribute), local_time (N
//                               texts as in the CSV), count_time (integration time, s), frame_time
//                               (the frame period the instrument's timing gives, s), serial_number
//   /entry/instrument/detector/settings  NXcollection: the range, polarity, voltages, gear and integration
//   /entry/data                 NXdata, signal = "data": a link to the detector's data
//
// The file is written in single-writer/multiple-reader mode: every object exists before the first frame, and
// a reader that opens the file with SWMR access (h5py: swmr=True) follows the frames while they are written.
// flush() puts the frames so far on disk, so a writer that is killed leaves the frames up to its last flush.
// Errors are returned as values with a text for the user; nothing is thrown.
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
        double framePeriodS = 0;  // the instrument's time from frame to frame; 0 when not known
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
    // One frame as the file stores it.
    struct Frame {
        std::int64_t sequence = 0;
        double seconds = 0;  // since start_time
        QString localTime;   // the CSV's time text
        const std::vector<double> &currents;
        const std::vector<double> &grays;
    };

    // Appends one frame: 4096 currents and 4096 gray levels, its number and its times.
    bool appendFrame(const Frame &frame, QString *error);
    // Puts everything written so far into the file on disk.
    bool flush(QString *error);
    // Writes end_time and the references as they stand at the end, and closes the file.
    bool finish(const QDateTime &endTime, const std::vector<double> &fullOnReference,
                const std::vector<double> &fullOffReference, QString *error);

    bool isOpen() const;
    // The library's (or the system's) reason for the last failure.
    const QString &reason() const { return m_reason; }
    std::int64_t frames() const { return m_frames; }
    // The ISO 8601 text with the zone offset that start_time and end_time hold.
    static QString isoTime(const QDateTime &time);

private:
    struct Handles;
    bool fail(const QString &what, QString *error);
    bool close();
    bool writeLayout(const Run &run);
    // Identifiers are the library's hid_t, kept out of this header.
    bool writeFrameDatasets(std::int64_t detector, const QString &startTime);
    bool writeDetectorFields(std::int64_t detector, const Run &run);
    static bool writeSettings(std::int64_t detector, const Settings &settings);
    static bool writePlot(std::int64_t entry, std::int64_t detector);
    bool writeEndTime(const QDateTime &endTime);

    std::unique_ptr<Handles> m_handles;
    QString m_path;
    QString m_reason;
    std::int64_t m_frames = 0;
};
