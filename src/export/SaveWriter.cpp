#include "SaveWriter.h"

#include <utility>

#include "SaveRun.h"

SaveWriter::SaveWriter() = default;

SaveWriter::~SaveWriter() {
    stop();
}

void SaveWriter::start() {
    std::unique_lock lock(m_mutex);
    if (m_threaded) {
        return;
    }
    m_threaded = true;
    m_stopping = false;
    m_thread = std::thread([this] { runJobs(); });
}

void SaveWriter::stop() {
    {
        std::unique_lock lock(m_mutex);
        if (m_threaded) {
            m_stopping = true;
        }
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::unique_lock lock(m_mutex);
    m_threaded = false;
    // A run that never ended: its files are closed as they stand (the marker says so).
    m_run.reset();
}

bool SaveWriter::busy() const {
    std::unique_lock lock(m_mutex);
    return m_pending > 0;
}

void SaveWriter::post(Job job, bool isFrame) {
    {
        std::unique_lock lock(m_mutex);
        if (m_threaded) {
            if (isFrame) {
                m_room.wait(lock, [this] { return m_queuedFrames < maxQueuedFrames; });
                ++m_queuedFrames;
            }
            ++m_pending;
            m_jobs.push_back(std::move(job));
            m_wake.notify_one();
            return;
        }
        ++m_pending;
    }
    job();
    std::unique_lock lock(m_mutex);
    --m_pending;
}

std::optional<SaveWriter::Job> SaveWriter::nextJob() {
    std::unique_lock lock(m_mutex);
    const auto ready = [this] { return !m_jobs.empty() || m_stopping; };
    // While the run's HDF5 file holds frames not yet on disk, wake up in time to flush them.
    const std::optional<std::chrono::steady_clock::time_point> flush =
        m_run ? m_run->nextFlush() : std::optional<std::chrono::steady_clock::time_point>();
    if (flush) {
        m_wake.wait_until(lock, *flush, ready);
    } else {
        m_wake.wait(lock, ready);
    }
    if (m_jobs.empty()) {
        if (m_stopping) {
            return std::nullopt;  // stopping, and everything handed over is done
        }
        return Job();  // time to flush
    }
    Job job = std::move(m_jobs.front());
    m_jobs.pop_front();
    return job;
}

void SaveWriter::runJobs() {
    for (;;) {
        std::optional<Job> job = nextJob();
        if (!job) {
            return;
        }
        if (!*job) {
            if (m_run) {
                m_run->flushIfDue(std::chrono::steady_clock::now());
                noteIfLost();
            }
            continue;
        }
        (*job)();
        std::unique_lock lock(m_mutex);
        // Counted down only now, so busy() stays true until the job's reports have gone out.
        --m_pending;
    }
}

void SaveWriter::beginRun(RunPlan plan, FailureHandler onFailure) {
    const int id = ++m_runsBegun;
    post(
        [this, id, plan = std::move(plan), onFailure = std::move(onFailure)]() mutable {
            m_runId = id;
            m_run = std::make_unique<SaveRun>(std::move(plan), std::move(onFailure));
            m_run->open();
            noteIfLost();
        },
        false);
}

void SaveWriter::write(RecordedFrame frame) {
    post(
        [this, frame = std::move(frame)] {
            {
                std::unique_lock lock(m_mutex);
                if (m_queuedFrames > 0) {
                    --m_queuedFrames;
                }
            }
            m_room.notify_one();
            if (m_run && !m_run->lost()) {
                m_run->write(frame);
                noteIfLost();
            }
        },
        true);
}

void SaveWriter::noteIfLost() {
    if (m_run && m_run->lost()) {
        m_lostRun = m_runId;
    }
}

void SaveWriter::endRun(std::vector<double> fullOnReference, std::vector<double> fullOffReference, EndHandler handler) {
    post(
        [this, fullOn = std::move(fullOnReference), fullOff = std::move(fullOffReference),
         handler = std::move(handler)] {
            std::optional<Failure> failure;
            if (m_run) {
                m_run->finish(fullOn, fullOff);
                failure = m_run->failure();
                m_run.reset();
            }
            handler(failure);
        },
        false);
}
