#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "RecordedFrame.h"
#include "RunPlan.h"
#include "SaveFailure.h"

class SaveRun;

// The save pipeline's thread: it writes the files of save runs beside the acquisition loop that feeds it, so
// the loop never waits for a disk. Every client (the window, the tool, a script) hands it runs the same way,
// in order: the start of a run (its plan), each recorded frame, the end of the run. The writer hands each
// frame to every file of the run (SaveRun) as it arrives, so memory does not grow with a run's length; it
// flushes the HDF5 file at least once a second, reports a run's first failure at once and, at the end,
// whether every file of the run was written and closed.
//
// Between start() and stop() the work runs on the writer's thread; outside (a worker driven directly, as
// tests and benchmarks do) it runs at once on the caller's thread. All calls come from one thread.
class SaveWriter {
public:
    using Failure = RunFailure;
    // Called on the writer's thread at the run's first failure.
    using FailureHandler = std::function<void(const Failure &failure)>;
    // Called on the writer's thread once the run's last file is closed; empty when all went well.
    using EndHandler = std::function<void(const std::optional<Failure> &failure)>;
    // Frames waiting at most; a feeder that gets ahead of the disk by more waits for room (the instrument
    // sends a frame only when asked, so nothing is lost, the stream only slows down).
    static constexpr std::size_t maxQueuedFrames = 256;

    SaveWriter();
    ~SaveWriter();
    SaveWriter(const SaveWriter &) = delete;
    SaveWriter &operator=(const SaveWriter &) = delete;

    void start();
    // Completes everything handed over so far, then ends the thread. A run still open is closed as it
    // stands and keeps its marker.
    void stop();

    void beginRun(RunPlan plan, FailureHandler onFailure);
    void write(RecordedFrame frame);
    void endRun(std::vector<double> fullOnReference, std::vector<double> fullOffReference, EndHandler handler);

    // Whether work handed over is still waiting or running.
    bool busy() const;
    // The run begun last has failed and none of its files is still written.
    bool runLost() const { return m_lostRun.load() == m_runsBegun; }

private:
    using Job = std::function<void()>;
    void post(Job job, bool isFrame);
    void runJobs();
    std::optional<Job> nextJob();
    void noteIfLost();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_room;
    std::deque<Job> m_jobs;          // guarded by m_mutex
    int m_pending = 0;               // guarded by m_mutex: jobs waiting or running
    std::size_t m_queuedFrames = 0;  // guarded by m_mutex
    bool m_threaded = false;         // guarded by m_mutex
    bool m_stopping = false;         // guarded by m_mutex
    std::thread m_thread;
    int m_runsBegun = 0;            // the caller's count of runs begun
    std::atomic<int> m_lostRun{0};  // the number (in that count) of the last run that was lost

    // Used only by the jobs, which never run two at a time.
    std::unique_ptr<SaveRun> m_run;
    int m_runId = 0;
};
