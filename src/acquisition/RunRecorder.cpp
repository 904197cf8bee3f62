#include "RunRecorder.h"

#include <utility>

#include <QDateTime>

#include "CalibrationCapture.h"
#include "MediaSaver.h"
#include "RunFolder.h"

namespace {

const QString kTimestampFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz");

}  // namespace

RunRecorder::RunRecorder(const CalibrationCapture &references, Reports reports)
    : m_references(references), m_reports(std::move(reports)) {}

void RunRecorder::start(const Run &run) {
    m_recordedCurrents.clear();
    m_recordedGrays.clear();
    m_saveFrames = run.frames;
    m_savePath = run.directory;
    m_saveName = run.name;
    m_saveRunId = run.id;
    // The media flags go up before the recording flag: a media run starts only on a frame that records.
    m_saveData = run.data;
    m_savePicture = run.pictures;
    m_saveVideo = run.video;
    m_recording = true;
}

bool RunRecorder::inProgress() const {
    return m_recording.load() || m_saveData.load() || m_savePicture.load() || m_saveVideo.load() || m_runOpen.load() ||
           m_writer.busy();
}

void RunRecorder::stamp(bool recording) {
    if (recording && m_stampCount < m_saveFrames.load()) {
        m_timestamps.append(QDateTime::currentDateTime().toString(kTimestampFormat));
        ++m_stampCount;
    }
}

QString RunRecorder::stampOf(int index) const {
    return index >= 0 && index < m_timestamps.size() ? m_timestamps.at(index) : QString();
}

void RunRecorder::record(const std::vector<double> &currents, const std::vector<double> &grays) {
    if (++m_recordedCount == 1) {
        beginRun();
    }
    m_reports.progress(m_recordedCount);
    m_recordedCurrents.push_back(currents);
    m_recordedGrays.push_back(grays);
    if (m_recordedCount < m_saveFrames.load()) {
        return;
    }
    if (m_saveData.load()) {
        writeCsvFiles();
    }
    m_reports.progress(m_recordedCount);
    m_recordedCount = 0;
    m_stampCount = 0;
    m_timestamps.clear();
    m_recording = false;
}

void RunRecorder::beginRun() {
    m_activeRunId = m_saveRunId.load();
    m_runOpen = true;
    m_writer.beginRun();
}

void RunRecorder::writeCsvFiles() {
    SaveWriter::Data data;
    data.basePath = RunFolder(m_savePath, m_saveName).filePath(QString());
    m_references.copyReferences(data.fullOn, data.fullOff);
    // Moved, so a recording never holds more than its two lists of frames.
    data.currents = std::move(m_recordedCurrents);
    data.grays = std::move(m_recordedGrays);
    data.timestamps = m_timestamps;
    m_recordedCurrents.clear();
    m_recordedGrays.clear();
    m_writer.saveData(std::move(data));
    // The data request holds for one run only.
    m_saveData = false;
}

void RunRecorder::saveMedia(const QImage &image, bool recordingThisFrame, int videoFps) {
    MediaRun run;
    run.pictures = m_savePicture.load();
    run.video = m_saveVideo.load();
    // A run starts on a frame that saw the recording flag, which start() raises after the media flags: a frame
    // caught between its writes would otherwise start a run without its video.
    if ((run.pictures || run.video) && (m_mediaFrames > 0 || recordingThisFrame)) {
        run.savePath = m_savePath;
        run.saveName = m_saveName;
        run.frames = m_saveFrames.load();
        run.videoFps = videoFps;
        // The picture is shared, not copied: the renderer makes a new one for every frame.
        m_writer.saveMedia(image, run);
        if (++m_mediaFrames >= run.frames) {
            if (run.video) {
                m_saveVideo = false;
            }
            if (run.pictures) {
                m_savePicture = false;
            }
            m_mediaFrames = 0;
        }
    }
    finishRunIfDone();
}

void RunRecorder::finishRunIfDone() {
    // The run ends once both its recording and its media run are over (they normally end on the same frame,
    // so this runs after the frame's media step).
    if (!m_runOpen.load() || m_recordedCount != 0 || m_mediaFrames != 0) {
        return;
    }
    m_writer.endRun([this, run = m_activeRunId](const std::optional<SaveWriter::Failure> &failure) {
        m_reports.ended(run, failure);
    });
    // Lowered only now: once the session sees the run over (and the writer idle) it may publish the next one.
    m_runOpen = false;
}
