#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include <QString>
#include <QStringList>

#include "FrameCsvFile.h"
#include "MediaSaver.h"
#include "NexusWriter.h"
#include "RecordedFrame.h"
#include "RunFolder.h"
#include "RunMarker.h"
#include "RunPlan.h"
#include "SaveFailure.h"

// One save run and every file it writes: the parameter file, the frame CSV files and the references, the
// pictures, the video and the HDF5 file. open() makes the folder, the marker and the files; each frame is
// written to every file as it arrives, in frame order; finish() closes them all and, when every file was
// written, removes the marker.
//
// A file that fails is given up, the run's other files go on, and the first failure is reported at once
// through the handler (and kept: failure()). Used by one thread at a time, the save writer's.
class SaveRun {
public:
    using FailureHandler = std::function<void(const RunFailure &failure)>;
    using Clock = std::chrono::steady_clock;
    // The HDF5 file is flushed at least this often while frames arrive.
    static constexpr auto flushInterval = std::chrono::seconds(1);

    SaveRun(RunPlan plan, FailureHandler onFailure);
    // A run destroyed before finish() (the program ends in the middle of it) closes what is open and
    // leaves its marker.
    ~SaveRun();
    SaveRun(const SaveRun &) = delete;
    SaveRun &operator=(const SaveRun &) = delete;

    void open();
    void write(const RecordedFrame &frame);
    // Puts the HDF5 file's frames on disk when its last flush is `flushInterval` old; when() says by when.
    void flushIfDue(Clock::time_point now);
    std::optional<Clock::time_point> nextFlush() const;
    // Closes every file, writing the references as they stand at the run's end.
    void finish(const std::vector<double> &fullOnReference, const std::vector<double> &fullOffReference);

    const std::optional<RunFailure> &failure() const { return m_failure; }
    // A file failed and none of the run's files is still written: the run may as well end.
    bool lost() const { return m_failure && !m_csvOpen && !m_mediaOpen && !m_hdf5Open; }

private:
    QStringList filesToWrite() const;
    void openCsv();
    void openHdf5();
    void writeCsv(const RecordedFrame &frame);
    void writeMedia(const RecordedFrame &frame);
    void writeHdf5(const RecordedFrame &frame);
    void finishCsv(const std::vector<double> &fullOnReference, const std::vector<double> &fullOffReference);
    void finishMedia();
    void finishHdf5(const std::vector<double> &fullOnReference, const std::vector<double> &fullOffReference);
    void closeAll();
    void fail(const QString &text, const SaveFailure &failure);
    void failHdf5(const QString &text);
    MediaRun mediaRun() const;

    RunPlan m_plan;
    RunFolder m_folder;
    FailureHandler m_onFailure;
    RunMarker m_marker;
    std::optional<FrameCsvFile> m_currentCsv;
    std::optional<FrameCsvFile> m_grayCsv;
    MediaSaver m_media;
    std::optional<NexusWriter> m_hdf5;
    bool m_csvOpen = false;
    bool m_mediaOpen = false;
    bool m_hdf5Open = false;
    bool m_unflushed = false;
    Clock::time_point m_lastFlush;
    std::optional<RunFailure> m_failure;
};
