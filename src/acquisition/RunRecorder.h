#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include <QImage>
#include <QString>
#include <QStringList>

#include "SaveWriter.h"

class CalibrationCapture;

// The recording hand-off of save runs: the session publishes a run, the worker hands over each frame it
// renders (the stamp, the values, the picture), and the recorder passes them to the save writer in frame
// order until the run has its frames, then closes the run. The writer writes the files on its own thread.
//
// start(), inProgress() and the flags' getters may be called from any thread; everything else from the
// worker's thread only (or the thread that drives a worker without its loop, as tests do).
class RunRecorder {
public:
    // What one save run records and writes.
    struct Run {
        QString directory;  // the chosen folder; the run's files go into directory/name
        QString name;
        int id = 0;  // comes back with the end report
        int frames = 0;
        bool data = false;
        bool pictures = false;
        bool video = false;
    };
    // How the recorder reports: progress on the worker's thread, the run's end on the writer's (or the
    // caller's, when no writer thread runs).
    struct Reports {
        std::function<void(int recordedFrames)> progress;
        std::function<void(int run, const std::optional<SaveWriter::Failure> &failure)> ended;
    };

    RunRecorder(const CalibrationCapture &references, Reports reports);

    // Publishes a run and raises its flags, the recording flag last: recording starts at the next frame that
    // sees it. Only while inProgress() is false.
    void start(const Run &run);
    // True while a run still records frames or its files are still being written; a new run must wait.
    bool inProgress() const;

    // The writer's thread, from the acquisition loop's start to its end.
    void startWriter() { m_writer.start(); }
    void stopWriter() { m_writer.stop(); }

    bool recording() const { return m_recording.load(); }
    bool dataWanted() const { return m_saveData.load(); }
    bool picturesWanted() const { return m_savePicture.load(); }
    bool videoWanted() const { return m_saveVideo.load(); }
    int runFrames() const { return m_saveFrames.load(); }

    // Takes the frame's time stamp while it records and the run still needs stamps.
    void stamp(bool recording);
    // Frames recorded so far in this run, and the stamp of recorded frame `index` (empty if none).
    int recordedCount() const { return m_recordedCount; }
    QString stampOf(int index) const;
    // Records one frame's values; at the run's last frame hands the data to the writer and ends the recording.
    void record(const std::vector<double> &currents, const std::vector<double> &grays);
    // Hands the frame's picture to the pictures and video of the run, when it has them, then ends the run
    // once both its recording and its media are done.
    void saveMedia(const QImage &image, bool recordingThisFrame, int videoFps);
    // Ends the run if both its recording and its media are done (a worker driven without its loop).
    void finishRunIfDone();

    // The run's recorded values until they are handed to the writer (kept when the run saves no data).
    const std::vector<std::vector<double>> &recordedCurrents() const { return m_recordedCurrents; }
    const std::vector<std::vector<double>> &recordedGrays() const { return m_recordedGrays; }
    const QStringList &timestamps() const { return m_timestamps; }
    int stampCount() const { return m_stampCount; }

private:
    void beginRun();
    void writeCsvFiles();

    const CalibrationCapture &m_references;
    Reports m_reports;
    // Raised by start(), lowered by the worker when the run has what it asked for.
    std::atomic<bool> m_saveData{false};
    std::atomic<bool> m_savePicture{false};
    std::atomic<bool> m_saveVideo{false};
    std::atomic<bool> m_recording{false};
    std::atomic<int> m_saveFrames{5};
    // Published by start() before it raises a flag; read by the worker only while a flag is up.
    QString m_savePath;
    QString m_saveName;
    std::atomic<int> m_saveRunId{0};
    // Worker thread only.
    int m_recordedCount = 0;
    int m_stampCount = 0;
    QStringList m_timestamps;
    std::vector<std::vector<double>> m_recordedCurrents;
    std::vector<std::vector<double>> m_recordedGrays;
    int m_mediaFrames = 0;  // frames handed to the writer in the current media run (the saved-frame count)
    int m_activeRunId = 0;
    // Set from a run's first recorded frame until its end has been handed to the writer; atomic because
    // inProgress() reads it from the session's thread.
    std::atomic<bool> m_runOpen{false};
    // Declared last: stopped (its queued work completed) before anything its reports use goes away.
    SaveWriter m_writer;
};
