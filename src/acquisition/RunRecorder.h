#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include <QImage>
#include <QString>

#include "RecordedFrame.h"
#include "RunPlan.h"
#include "SaveWriter.h"

class CalibrationCapture;

// The recording side of save runs: the session publishes a run, the worker hands over each frame it renders
// (the stamp, the values, the picture), and the recorder passes every recorded frame to the save writer in
// frame order until the run has its frames (or its time), then ends the run. The writer writes the files
// on its own thread, each frame as it arrives.
//
// start(), inProgress() and recording() may be called from any thread; everything else from the worker's
// thread only (or the thread that drives a worker without its loop, as tests do).
class RunRecorder {
public:
    // What one save run records and writes, and the id its reports carry.
    struct Run : RunPlan {
        int id = 0;
    };
    // How the recorder reports: progress on the worker's thread, a failure and the run's end on the writer's
    // (or the caller's, when no writer thread runs).
    struct Reports {
        std::function<void(int recordedFrames)> progress;
        std::function<void(int run, const RunFailure &failure)> failed;
        std::function<void(int run, const std::optional<RunFailure> &failure)> ended;
    };

    RunRecorder(const CalibrationCapture &references, Reports reports);

    // Publishes a run and raises its flag: recording starts at the next frame that sees it. Only while
    // inProgress() is false. The run's start time (of its time stamps in seconds) is now.
    void start(const Run &run);
    // True while a run still records frames or its files are still being written; a new run must wait.
    bool inProgress() const;

    // The writer's thread, from the acquisition loop's start to its end.
    void startWriter() { m_writer.start(); }
    void stopWriter() { m_writer.stop(); }

    bool recording() const { return m_recording.load(); }
    int runFrames() const { return m_plan.frames; }

    // One read of the recording flag per frame: whether this frame records. Ends a run whose time is up or
    // whose files are all lost. `stamp`: take the frame's time stamp (the loop does; the renderer on its own
    // does not).
    bool beginFrame(int videoFps, bool stamp);
    // Frames recorded so far in this run (or in the last, once it ended), and the stamp of the frame being
    // recorded.
    int recordedCount() const { return m_recordedCount; }
    const QString &frameStamp() const { return m_frame.stamp; }
    // Records the frame's values; at the run's last frame ends the recording.
    void record(const std::vector<double> &currents, const std::vector<double> &grays);
    // Hands the recorded frame with its picture to the writer, then ends the run once its recording is over.
    void saveMedia(const QImage &image);
    // The same without a picture (a worker driven without its loop has no media step).
    void finishRunIfDone() { saveMedia(QImage()); }

private:
    void beginRun(int videoFps);
    void endRecording();

    const CalibrationCapture &m_references;
    Reports m_reports;
    std::atomic<bool> m_recording{false};
    // Published by start() before it raises the flag; read by the worker only while the flag is up.
    Run m_plan;
    std::chrono::steady_clock::time_point m_startClock;
    // Worker thread only.
    int m_recordedCount = 0;
    bool m_framePending = false;  // m_frame holds a recorded frame not yet handed over
    RecordedFrame m_frame;
    int m_activeRunId = 0;
    // Set from a run's first recorded frame until its end has been handed to the writer; atomic because
    // inProgress() reads it from the session's thread.
    std::atomic<bool> m_runOpen{false};
    // Declared last: stopped (its queued work completed) before anything its reports use goes away.
    SaveWriter m_writer;
};
