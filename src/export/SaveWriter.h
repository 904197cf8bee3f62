#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <QImage>
#include <QString>
#include <QStringList>

#include "MediaSaver.h"
#include "SaveFailure.h"

// Writes the files of save runs on a thread of its own, so the acquisition loop that feeds it never waits
// for a disk. The worker hands it, in order, the start of a run, each frame's picture and video frame, the
// recorded data, and the end of the run; the writer handles them in that order and, at the end, reports
// whether every file of the run was written and closed, and if not, the first failure.
//
// Between start() and stop() the work runs on the writer's thread; outside (a worker driven directly, as
// tests and benchmarks do) it runs at once on the caller's thread. All calls come from one thread.
class SaveWriter {
public:
    // A run's CSV data, handed over (moved, not copied) when its recording completes.
    struct Data {
        QString basePath;  // directory/name/name; the suffixes are added
        std::vector<std::vector<double>> currents;
        std::vector<std::vector<double>> grays;
        QStringList timestamps;
        std::vector<double> fullOff;
        std::vector<double> fullOn;
    };
    struct Failure {
        QString text;  // what failed, in words
        SaveFailure failure;
    };
    // Called on the writer's thread once the run's last file is closed; empty when all went well.
    using EndHandler = std::function<void(const std::optional<Failure> &failure)>;

    SaveWriter() = default;
    ~SaveWriter();
    SaveWriter(const SaveWriter &) = delete;
    SaveWriter &operator=(const SaveWriter &) = delete;

    void start();
    // Completes everything handed over so far, then ends the thread.
    void stop();

    void beginRun();
    void saveMedia(const QImage &image, const MediaRun &run);
    void saveData(Data data);
    void endRun(EndHandler handler);

    // Whether work handed over is still waiting or running.
    bool busy() const;

private:
    using Job = std::function<void()>;
    void post(Job job);
    void runJobs();
    void fail(const QString &text, const SaveFailure &failure);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;   // guarded by m_mutex
    int m_pending = 0;        // guarded by m_mutex: jobs waiting or running
    bool m_threaded = false;  // guarded by m_mutex
    bool m_stopping = false;  // guarded by m_mutex
    std::thread m_thread;

    // Used only by the jobs, which never run two at a time.
    MediaSaver m_media;
    bool m_mediaFailed = false;  // the run's pictures and video are given up after their first failure
    std::optional<Failure> m_failure;
};
