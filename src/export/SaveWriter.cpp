#include "SaveWriter.h"

#include <utility>

#include "CsvExport.h"

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
        if (!m_threaded) {
            return;
        }
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
    std::unique_lock lock(m_mutex);
    m_threaded = false;
}

bool SaveWriter::busy() const {
    std::unique_lock lock(m_mutex);
    return m_pending > 0;
}

void SaveWriter::post(Job job) {
    {
        std::unique_lock lock(m_mutex);
        ++m_pending;
        if (m_threaded) {
            m_jobs.push_back(std::move(job));
            m_wake.notify_one();
            return;
        }
    }
    job();
    std::unique_lock lock(m_mutex);
    --m_pending;
}

void SaveWriter::runJobs() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
            if (m_jobs.empty()) {
                return;  // stopping, and everything handed over is done
            }
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
        std::unique_lock lock(m_mutex);
        // Counted down only now, so busy() stays true until the job's reports have gone out.
        --m_pending;
    }
}

void SaveWriter::beginRun() {
    post([this] {
        m_media.abort();
        m_mediaFailed = false;
        m_failure.reset();
    });
}

void SaveWriter::saveMedia(const QImage &image, const MediaRun &run) {
    post([this, image, run] {
        if (m_mediaFailed) {
            return;
        }
        if (m_media.save(image, run) == MediaSaver::Outcome::Failed) {
            m_mediaFailed = true;
            fail(m_media.failureText(), m_media.failure());
        }
    });
}

void SaveWriter::saveData(Data data) {
    post([this, data = std::move(data)] {
        const QString &base = data.basePath;
        // A failure in one file does not stop the others.
        const std::pair<QString, SaveResult> results[] = {
            {QStringLiteral("current"),
             CsvExport::writeFrames(base + QStringLiteral("_current.csv"), data.currents, data.timestamps)},
            {QStringLiteral("gray"),
             CsvExport::writeFrames(base + QStringLiteral("_gray.csv"), data.grays, data.timestamps)},
            {QStringLiteral("full-off"),
             CsvExport::writeReference(base + QStringLiteral("_fulloff.csv"), data.fullOff)},
            {QStringLiteral("full-on"), CsvExport::writeReference(base + QStringLiteral("_fullon.csv"), data.fullOn)},
        };
        for (const auto &[kind, result] : results) {
            if (result) {
                fail(QStringLiteral("Save failed: could not write the ") + kind + QStringLiteral(" data file."),
                     *result);
            }
        }
    });
}

void SaveWriter::endRun(EndHandler handler) {
    post([this, handler = std::move(handler)] {
        handler(m_failure);
        m_failure.reset();
    });
}

void SaveWriter::fail(const QString &text, const SaveFailure &failure) {
    // The user hears of the first failure; later ones are mostly its consequences.
    if (!m_failure) {
        m_failure = Failure{text, failure};
    }
}
