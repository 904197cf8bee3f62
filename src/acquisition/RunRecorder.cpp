#include "RunRecorder.h"

#include <utility>

#include <QDateTime>

#include "CalibrationCapture.h"

namespace {

const QString kTimestampFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz");

}  // namespace

RunRecorder::RunRecorder(const CalibrationCapture &references, Reports reports)
    : m_references(references), m_reports(std::move(reports)) {
    m_plan.frames = 5;  // what a save covers until one is asked for
}

void RunRecorder::start(const Run &run) {
    m_plan = run;
    m_startClock = std::chrono::steady_clock::now();
    if (!m_plan.nexus.startTime.isValid()) {
        m_plan.nexus.startTime = QDateTime::currentDateTime();
    }
    m_recording = true;
}

bool RunRecorder::inProgress() const {
    return m_recording.load() || m_runOpen.load() || m_writer.busy();
}

bool RunRecorder::beginFrame(int videoFps, bool stamp) {
    if (!m_recording.load()) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - m_startClock).count();
    if (m_runOpen.load()) {
        const bool timeUp = m_plan.frames == 0 && seconds >= m_plan.seconds;
        if (timeUp || m_writer.runLost()) {
            endRecording();
            return false;
        }
    } else {
        beginRun(videoFps);
    }
    m_frame = RecordedFrame();
    m_frame.seconds = seconds;
    if (stamp) {
        m_frame.stamp = QDateTime::currentDateTime().toString(kTimestampFormat);
    }
    return true;
}

void RunRecorder::beginRun(int videoFps) {
    m_activeRunId = m_plan.id;
    m_recordedCount = 0;
    m_runOpen = true;
    RunPlan plan = m_plan;
    plan.videoFps = videoFps;
    m_references.copyReferences(plan.nexus.fullOnReference, plan.nexus.fullOffReference);
    m_writer.beginRun(std::move(plan),
                      [this, run = m_activeRunId](const RunFailure &failure) { m_reports.failed(run, failure); });
}

void RunRecorder::record(const std::vector<double> &currents, const std::vector<double> &grays) {
    ++m_recordedCount;
    m_frame.sequence = m_recordedCount;
    m_frame.currents = currents;
    m_frame.grays = grays;
    m_framePending = true;
    m_reports.progress(m_recordedCount);
    if (m_plan.frames > 0 && m_recordedCount >= m_plan.frames) {
        endRecording();
    }
}

void RunRecorder::endRecording() {
    // The run's last count comes twice, as it always has: once recorded, once complete.
    m_reports.progress(m_recordedCount);
    m_recording = false;
}

void RunRecorder::saveMedia(const QImage &image) {
    if (m_framePending) {
        m_framePending = false;
        if (m_plan.pictures || m_plan.video) {
            // Shared, not copied: the renderer makes a new picture for every frame.
            m_frame.image = image;
        }
        m_writer.write(std::move(m_frame));
        m_frame = RecordedFrame();
    }
    if (!m_runOpen.load() || m_recording.load()) {
        return;
    }
    std::vector<double> fullOn;
    std::vector<double> fullOff;
    m_references.copyReferences(fullOn, fullOff);
    m_writer.endRun(
        std::move(fullOn), std::move(fullOff),
        [this, run = m_activeRunId](const std::optional<RunFailure> &failure) { m_reports.ended(run, failure); });
    // Lowered only now: once the session sees the run over (and the writer idle) it may publish the next one.
    m_runOpen = false;
}
