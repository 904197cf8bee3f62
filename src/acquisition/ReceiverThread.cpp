#include "ReceiverThread.h"

#include <algorithm>
#include <limits>

#include <QDateTime>
#include <QLoggingCategory>
#include <QThread>

#include "AppSettings.h"
#include "CalibrationReducer.h"
#include "CommandProtocol.h"
#include "CsvExport.h"
#include "FrameCutter.h"
#include "ParallelPixelLoop.h"
#include "UsbFifoLink.h"
#include "WireFormat.h"
#include "WorkerLog.h"

namespace {

constexpr auto kRecordLength = static_cast<std::int32_t>(wire::recordLength);
constexpr std::size_t kFrameBytes = wire::frameBytes;
constexpr int kImageSide = wire::imageSide;

// Read failures in a row (across frames) after which the window hears of it.
constexpr int kReadFailureLimit = 10;
constexpr unsigned long kFailedReadPauseMs = 100;
// While resumed but not yet told to capture, the loop checks again after this pause.
constexpr unsigned long kIdlePauseMs = 1;

const QString kTimestampFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz");
const QString kReadFailureText = QStringLiteral("Failed to get device status");

namespace keys {
const QString integralTime = QStringLiteral("Integraltime");
const QString integralCurrent = QStringLiteral("Integralcurrent");
const QString currentMode = QStringLiteral("currentmode");
const QString currentRange = QStringLiteral("currentRange");
}  // namespace keys

}  // namespace

// The loop's own buffers and counters; they live for one run of process() and are reused for every frame.
struct ReceiverThread::LoopState {
    std::vector<unsigned char> frame;
    std::vector<unsigned char> readBuffer;
    std::vector<unsigned char> stream;
    std::uint32_t queued = 0;    // written only by the status call
    std::int32_t byteCount = 0;  // bytes asked for since the last cut
    int failures = 0;            // read failures since the loop last left the pause gate
};

ReceiverThread::ReceiverThread()
    : QObject(nullptr),
      m_settings(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application)) {
    m_fullOffRef.assign(m_pixelCount, 0.0);
    // The full-on reference starts at the default range, before the stored range is known.
    m_fullOnRef.assign(m_pixelCount, static_cast<double>(m_currentRange.load()));
    m_fullOffSnapshot.assign(m_pixelCount, 0.0);
    m_fullOnSnapshot.assign(m_pixelCount, 0.0);
    const std::size_t sampleCells = static_cast<std::size_t>(CalibrationReducer::framesPerCapture) * m_pixelCount;
    m_fullOnSamples.assign(sampleCells, 0.0);
    m_fullOffSamples.assign(sampleCells, 0.0);
    loadSettings();
}

ReceiverThread::~ReceiverThread() {
    // The owner has joined the worker's thread (QThread::wait) before this runs, but through Qt's own lock,
    // which the thread sanitizer cannot see. The loop's last step releases this mutex, so taking it here
    // shows that everything the loop did comes before the members are destroyed.
    std::unique_lock lock(m_mutex);
    storeSettings();
    if (m_videoWriter.isOpened()) {
        m_videoWriter.release();
    }
}

void ReceiverThread::loadSettings() {
    m_settings.beginGroup(QString::fromLatin1(AppSettings::group));
    m_integralTime = m_settings.value(keys::integralTime, 0).toDouble();
    m_integralCurrent = m_settings.value(keys::integralCurrent, 0).toDouble();
    m_currentMode = m_settings.value(keys::currentMode, 0).toBool();
    m_currentRange = m_settings.value(keys::currentRange, 0).toInt();
    m_settings.endGroup();
}

void ReceiverThread::storeSettings() {
    m_settings.beginGroup(QString::fromLatin1(AppSettings::group));
    m_settings.setValue(keys::integralTime, m_integralTime.load());
    m_settings.setValue(keys::integralCurrent, m_integralCurrent.load());
    m_settings.setValue(keys::currentMode, m_currentMode.load());
    m_settings.setValue(keys::currentRange, m_currentRange.load());
    m_settings.endGroup();
    m_settings.sync();
}

// --- Pixel conversion and rendering -------------------------------------------------------------------------

PixelConversion ReceiverThread::conversion() const {
    return PixelConversion(m_currentMode.load(), m_integralTime.load(), m_integralCurrent.load(),
                           m_currentRange.load());
}

double ReceiverThread::codeToCurrent(int code) const {
    return conversion().current(code);
}

QImage ReceiverThread::renderFrame(const std::vector<unsigned char> &frame) {
    return renderAndRecord(frame, m_recording.load(), conversion());
}

void ReceiverThread::takeReferenceSnapshot() {
    std::unique_lock lock(m_mutex);
    // Same sizes every time, so the copies reuse the snapshot's storage.
    m_fullOnSnapshot.assign(m_fullOnRef.begin(), m_fullOnRef.end());
    m_fullOffSnapshot.assign(m_fullOffRef.begin(), m_fullOffRef.end());
}

QImage ReceiverThread::renderAndRecord(const std::vector<unsigned char> &frame, bool recording,
                                       const PixelConversion &conversion) {
    QImage image(kImageSide, kImageSide, QImage::Format_Grayscale8);
    if (frame.size() < kFrameBytes) {
        qCWarning(lcReceiver) << "Frame of" << frame.size() << "bytes not rendered";
        image.fill(0);
        return image;
    }
    const bool calibrated = m_calibrationOn.load();
    if (calibrated) {
        takeReferenceSnapshot();
    }
    m_frameCurrents.clear();
    m_frameGrays.clear();
    m_frameCurrents.reserve(m_pixelCount);
    m_frameGrays.reserve(m_pixelCount);

    const unsigned char *codes = frame.data();
    for (int row = 0; row < kImageSide; ++row) {
        uchar *line = image.scanLine(row);
        for (int column = 0; column < kImageSide; ++column) {
            const int pixel = row * kImageSide + column;
            const double current = conversion.current(PixelConversion::codeAt(codes, pixel));
            const double scale = calibrated ? PixelConversion::calibratedScale(current, m_fullOnSnapshot[pixel],
                                                                               m_fullOffSnapshot[pixel])
                                            : conversion.plainScale(current);
            const double gray = PixelConversion::grayLevel(scale);
            if (recording) {
                m_frameCurrents.push_back(current);
                m_frameGrays.push_back(gray);
            }
            line[column] = PixelConversion::pixelValue(gray);
        }
    }
    if (recording) {
        completeRecording();
    }
    return image;
}

void ReceiverThread::completeRecording() {
    ++m_recordedCount;
    emit savemessage(m_recordedCount);
    m_recordedCurrents.push_back(m_frameCurrents);
    m_recordedGrays.push_back(m_frameGrays);
    if (m_recordedCount < m_saveFrames.load()) {
        return;
    }
    if (m_saveData.load()) {
        writeCsvFiles();
    }
    emit savemessage(m_recordedCount);
    m_recordedCount = 0;
    m_stampCount = 0;
    m_timestamps.clear();
    // Cleared last: once the window sees it down it may publish the next run.
    m_recording = false;
}

// --- Calibration --------------------------------------------------------------------------------------------

void ReceiverThread::setMax(const std::vector<unsigned char> &frame) {
    captureStep(frame, m_fullOnSamples, m_fullOnRef);
}

void ReceiverThread::setMin(const std::vector<unsigned char> &frame) {
    captureStep(frame, m_fullOffSamples, m_fullOffRef);
}

void ReceiverThread::captureStep(const std::vector<unsigned char> &frame, std::vector<double> &samples,
                                 std::vector<double> &reference) {
    if (frame.size() < kFrameBytes) {
        return;
    }
    const PixelConversion pixelConversion = conversion();
    const unsigned char *codes = frame.data();
    double *slot = samples.data() + static_cast<std::size_t>(m_calibFrameCount) * m_pixelCount;
    // Each pixel's cell is written by exactly one stripe, so the stripes need no lock.
    ParallelPixelLoop::run(m_pixelCount, [&](int begin, int end) {
        for (int pixel = begin; pixel < end; ++pixel) {
            slot[pixel] = pixelConversion.current(PixelConversion::codeAt(codes, pixel));
        }
    });

    if (++m_calibFrameCount < CalibrationReducer::framesPerCapture) {
        return;
    }
    m_calibFrameCount = 0;
    std::vector<double> reduced;
    CalibrationReducer::reduce(samples, m_pixelCount, reduced);
    std::unique_lock lock(m_mutex);
    reference.swap(reduced);
}

void ReceiverThread::fillFullOnReference(double value) {
    std::unique_lock lock(m_mutex);
    std::fill(m_fullOnRef.begin(), m_fullOnRef.end(), value);
}

std::vector<double> ReceiverThread::fullOnReference() const {
    std::unique_lock lock(m_mutex);
    return m_fullOnRef;
}

std::vector<double> ReceiverThread::fullOffReference() const {
    std::unique_lock lock(m_mutex);
    return m_fullOffRef;
}

// --- Data export --------------------------------------------------------------------------------------------

void ReceiverThread::writeCsvFiles() {
    const QString base = m_savePath + QLatin1Char('/') + m_saveName + QLatin1Char('/') + m_saveName;
    std::vector<double> fullOff;
    std::vector<double> fullOn;
    {
        std::unique_lock lock(m_mutex);
        fullOff = m_fullOffRef;
        fullOn = m_fullOnRef;
    }
    writeFramesCsv(base + QStringLiteral("_current.csv"), m_recordedCurrents, m_timestamps);
    writeFramesCsv(base + QStringLiteral("_gray.csv"), m_recordedGrays, m_timestamps);
    writeReferenceCsv(base + QStringLiteral("_fulloff.csv"), fullOff);
    writeReferenceCsv(base + QStringLiteral("_fullon.csv"), fullOn);
    // The data request holds for one run only.
    m_saveData = false;
}

void ReceiverThread::writeFramesCsv(const QString &path, const std::vector<std::vector<double>> &frames,
                                    const QStringList &timestamps) {
    CsvExport::writeFrames(path, frames, timestamps);
}

void ReceiverThread::writeReferenceCsv(const QString &path, const std::vector<double> &reference) {
    CsvExport::writeReference(path, reference);
}

bool ReceiverThread::saveInProgress() const {
    return m_recording.load() || m_saveData.load() || m_savePicture.load() || m_saveVideo.load();
}

// --- The acquisition loop -----------------------------------------------------------------------------------

void ReceiverThread::process() {
    LoopState state;
    state.frame.assign(m_bufferSize, 0);
    state.readBuffer.assign(m_bufferSize, 0);
    state.stream.reserve(2 * static_cast<std::size_t>(m_bufferSize));

    while (!m_stopped.load()) {
        waitWhilePaused();
        state.failures = 0;
        if (enterStreaming()) {
            streamFrames(state);
            exitStreaming();
        } else if (!m_stopped.load()) {
            // Resumed but not (yet) told to capture: the start writes its commands before it sets the flag.
            QThread::msleep(kIdlePauseMs);
        }
    }
    qCDebug(lcReceiver) << "Finished";
    emit finished();
    // The loop's last step: the destructor takes the mutex after this release (see there).
    std::unique_lock lastStep(m_mutex);
}

void ReceiverThread::waitWhilePaused() {
    std::unique_lock lock(m_mutex);
    m_pauseCondition.wait(lock, [this] { return !m_paused; });
}

bool ReceiverThread::enterStreaming() {
    std::unique_lock lock(m_mutex);
    // A pause that came in after the gate wins: leaveStreaming must never see the loop start streaming later.
    if (m_paused || !m_capturing.load()) {
        return false;
    }
    m_streaming = true;
    return true;
}

void ReceiverThread::exitStreaming() {
    std::unique_lock lock(m_mutex);
    m_streaming = false;
    m_streamingCondition.notify_all();
}

void ReceiverThread::resume() {
    std::unique_lock lock(m_mutex);
    m_paused = false;
    m_pauseCondition.notify_all();
}

void ReceiverThread::pauseAfterFrame() {
    m_stopAfterFrame = true;
    std::unique_lock lock(m_mutex);
    m_paused = true;
}

void ReceiverThread::attachLink(UsbFifoLink *link, ft::Handle handle) {
    m_link = link;
    m_handle = handle;
}

void ReceiverThread::beginStreaming() {
    m_stopAfterFrame = false;
    m_capturing = true;
}

void ReceiverThread::setIntegration(double integrationTimeNs, double capacitancePf) {
    m_integralTime = integrationTimeNs;
    m_integralCurrent = capacitancePf;
}

void ReceiverThread::setCurrentRange(int rangeNa) {
    m_currentRange = rangeNa;
    fillFullOnReference(static_cast<double>(rangeNa));
}

void ReceiverThread::startSaveRun(const SaveRun &run) {
    m_recordedCurrents.clear();
    m_recordedGrays.clear();
    m_saveFrames = run.frames;
    m_savePath = run.directory;
    m_saveName = run.name;
    // The media flags go up before the recording flag: a media run starts only on a frame that records.
    m_saveData = run.data;
    m_savePicture = run.pictures;
    m_saveVideo = run.video;
    m_recording = true;
}

void ReceiverThread::requestShutdown() {
    m_stopAfterFrame = true;
    {
        std::unique_lock lock(m_mutex);
        m_paused = true;
        m_stopped = true;
        m_capturing = false;
    }
    resume();
}

void ReceiverThread::leaveStreaming(std::chrono::milliseconds grace) {
    std::unique_lock lock(m_mutex);
    m_paused = true;
    if (!m_streaming) {
        return;
    }
    if (m_streamingCondition.wait_for(lock, grace, [this] { return !m_streaming; })) {
        return;
    }
    // The frame in progress did not complete in time: cut the read loop short after its current pass.
    m_capturing = false;
    m_streamingCondition.wait(lock, [this] { return !m_streaming; });
}

void ReceiverThread::streamFrames(LoopState &state) {
    for (;;) {
        const PassResult pass = readPass(state);
        if (pass == PassResult::Failed) {
            ++state.failures;
            QThread::msleep(kFailedReadPauseMs);
            if (state.failures > kReadFailureLimit) {
                qCDebug(lcReceiver).noquote() << kReadFailureText;
                emit errorOccurred(kReadFailureText);
                return;
            }
        }
        if (state.byteCount >= kRecordLength) {
            handleRecord(state);
            state.byteCount = 0;
        } else if (pass == PassResult::Idle) {
            // Keep polling without sleeping, but let the other core's work in.
            QThread::yieldCurrentThread();
        }
        if (!m_capturing.load()) {
            return;
        }
    }
}

ReceiverThread::PassResult ReceiverThread::readPass(LoopState &state) {
    UsbFifoLink *link = m_link.load();
    if (link == nullptr) {
        return PassResult::Failed;
    }
    const ft::Handle handle = m_handle.load();
    std::uint32_t transmitQueued = 0;
    std::uint32_t events = 0;
    link->getStatus(handle, &state.queued, &transmitQueued, &events);
    if (state.queued == 0) {
        return PassResult::Idle;
    }
    // Everything queued is read before the cut, in pieces no larger than the read buffer. Stopping at one
    // buffer would leave stray bytes ahead of a record in the queue, and every later cut would then miss
    // its record by the same offset.
    const auto bufferSize = static_cast<std::uint32_t>(m_bufferSize);
    std::uint32_t remaining = state.queued;
    while (remaining > 0) {
        const std::uint32_t asked = std::min(remaining, bufferSize);
        std::uint32_t returned = 0;
        if (link->read(handle, state.readBuffer.data(), asked, &returned) != ft::Ok) {
            return PassResult::Failed;
        }
        const auto first = state.readBuffer.begin();
        state.stream.insert(state.stream.end(), first, first + std::min(returned, asked));
        // The count follows what was asked for, not what came: a short read still ends in a cut.
        state.byteCount = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::int64_t{state.byteCount} + asked, std::numeric_limits<std::int32_t>::max()));
        if (returned < asked) {
            break;  // the queue held less than reported; asking again would only wait for the read timeout
        }
        remaining -= asked;
    }
    return PassResult::Read;
}

void ReceiverThread::handleRecord(LoopState &state) {
    if (FrameCutter::cut(state.stream, m_syncPattern, state.frame)) {
        processFrame(state);
    } else {
        qCDebug(lcReceiver) << "Record without a complete frame discarded";
    }
    // Whatever the record held, the instrument waits for the next command.
    writeNextCommand();
}

void ReceiverThread::processFrame(LoopState &state) {
    // One read of the recording flag per frame: the timestamp and the recorded values belong together.
    const bool recording = m_recording.load();
    stampFrame(recording);
    const PixelConversion frameConversion = conversion();
    reportSelectedPixel(state.frame, frameConversion);
    advanceCalibration(state.frame);
    const QImage image = renderAndRecord(state.frame, recording, frameConversion);
    emit sendImagetoMain(image);
    saveMedia(image, recording);
}

void ReceiverThread::stampFrame(bool recording) {
    if (recording && m_stampCount < m_saveFrames.load()) {
        m_timestamps.append(QDateTime::currentDateTime().toString(kTimestampFormat));
        ++m_stampCount;
    }
}

void ReceiverThread::reportSelectedPixel(const std::vector<unsigned char> &frame, const PixelConversion &conversion) {
    const int index = m_selectedIndex.load();
    if (index >= 0 && index < m_pixelCount) {
        emit onCellclicked(conversion.current(PixelConversion::codeAt(frame.data(), index)));
    }
}

void ReceiverThread::advanceCalibration(const std::vector<unsigned char> &frame) {
    // The two kinds share the sample counter, so one capture runs to its tenth frame before the other starts.
    if (m_activeCapture == CaptureKind::None) {
        if (m_fullOnRequested.load()) {
            m_activeCapture = CaptureKind::FullOn;
        } else if (m_fullOffRequested.load()) {
            m_activeCapture = CaptureKind::FullOff;
        } else {
            return;
        }
    }
    const bool fullOn = m_activeCapture == CaptureKind::FullOn;
    if (fullOn) {
        setMax(frame);
    } else {
        setMin(frame);
    }
    if (m_calibFrameCount != 0) {
        return;  // the capture still needs frames
    }
    m_activeCapture = CaptureKind::None;
    if (fullOn) {
        m_fullOnRequested = false;
        emit setMaxSuccess();
    } else {
        m_fullOffRequested = false;
        emit setMinSuccess();
    }
}

void ReceiverThread::saveMedia(const QImage &image, bool recordingThisFrame) {
    MediaRun run;
    run.pictures = m_savePicture.load();
    run.video = m_saveVideo.load();
    if (!run.pictures && !run.video) {
        return;
    }
    // A run starts on a frame that saw the recording flag, which the window raises after the media flags:
    // a frame caught between the window's writes would otherwise start a run without its video.
    if (m_mediaSaver.savedFrames() == 0 && !recordingThisFrame) {
        return;
    }
    run.savePath = m_savePath;
    run.saveName = m_saveName;
    run.frames = m_saveFrames.load();
    run.videoFps = m_videoFps.load();

    switch (m_mediaSaver.save(image, run)) {
        case MediaSaver::Outcome::Saved:
            return;
        case MediaSaver::Outcome::Completed:
            if (run.video) {
                m_saveVideo = false;
            }
            if (run.pictures) {
                m_savePicture = false;
            }
            return;
        case MediaSaver::Outcome::Failed:
            m_savePicture = false;
            m_saveVideo = false;
            emit saveFailed(m_mediaSaver.failureText());
            return;
    }
}

void ReceiverThread::writeNextCommand() {
    UsbFifoLink *link = m_link.load();
    const ft::Handle handle = m_handle.load();
    std::uint32_t written = 0;
    if (m_stopAfterFrame.load()) {
        if (link != nullptr) {
            link->write(handle, CommandProtocol::stop.data(), CommandProtocol::stop.size(), &written);
        }
        m_capturing = false;
        return;
    }
    if (link != nullptr) {
        link->write(handle, CommandProtocol::frameRequest.data(), CommandProtocol::frameRequest.size(), &written);
    }
}
