#include "ReceiverThread.h"

#include <algorithm>
#include <optional>
#include <thread>

#include <QDateTime>
#include <QLoggingCategory>
#include <QThread>

#include "AppSettings.h"
#include "CalibrationReducer.h"
#include "CommandProtocol.h"
#include "CsvExport.h"
#include "ParallelPixelLoop.h"
#include "RecordAssembler.h"
#include "UsbFifoLink.h"
#include "WireFormat.h"
#include "WorkerLog.h"

namespace {

constexpr std::size_t kFrameBytes = wire::frameBytes;
constexpr int kImageSide = wire::imageSide;

// Failed status calls and reads (counted across frames) after which the window hears of it.
constexpr int kReadFailureLimit = 10;
constexpr unsigned long kFailedReadPauseMs = 100;
// Longest sleep between two status calls while a record is awaited. The link wakes the loop when bytes
// arrive; the limit only bounds how late the loop notices the end of streaming or a missed wake.
constexpr auto kReceiveWait = std::chrono::milliseconds(20);
// After a failed wait the loop pauses this long, so a link that fails its waits faster than its status
// calls can never make the loop spin.
constexpr auto kFailedWaitPause = std::chrono::milliseconds(1);
// A record whose header is in but whose frame is not is waited for this long, the read timeout the link
// is configured with, before it is given up.
constexpr auto kIncompleteRecordWait = std::chrono::milliseconds(2000);
// While resumed but not yet told to capture, the loop waits for the start; the session always wakes it,
// this only bounds the wait for a flag written without the wake.
constexpr auto kCaptureStartRecheck = std::chrono::milliseconds(50);

const QString kTimestampFormat = QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz");
const QString kReadFailureText = QStringLiteral("Failed to get device status");

}  // namespace

// The loop's own buffers and counters; they live for one run of process() and are reused for every frame.
struct ReceiverThread::LoopState {
    std::vector<unsigned char> frame;
    std::vector<unsigned char> readBuffer;
    RecordAssembler record;    // the bytes received since the last cut
    std::uint32_t queued = 0;  // written only by the status call
    int failures = 0;          // failed status calls and reads since the loop last left the pause gate
    // Since when a record's header is in without its whole frame.
    std::optional<std::chrono::steady_clock::time_point> incompleteSince;
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
    // Files still being written are completed first; the writer reports through this object.
    m_writer.stop();
    // The owner has joined the worker's thread (QThread::wait) before this runs, but through Qt's own lock,
    // which the thread sanitizer cannot see. The loop's last step releases this mutex, so taking it here
    // shows that everything the loop did comes before the members are destroyed.
    std::unique_lock lock(m_mutex);
    storeSettings();
}

void ReceiverThread::loadSettings() {
    m_settings.beginGroup(QString::fromLatin1(AppSettings::group));
    m_integralTime = m_settings.value(QLatin1String(AppSettings::keys::integralTime), 0).toDouble();
    m_integralCurrent = m_settings.value(QLatin1String(AppSettings::keys::integralCurrent), 0).toDouble();
    m_currentMode = m_settings.value(QLatin1String(AppSettings::keys::currentMode), 0).toBool();
    m_currentRange = m_settings.value(QLatin1String(AppSettings::keys::currentRange), 0).toInt();
    m_settings.endGroup();
}

void ReceiverThread::storeSettings() {
    m_settings.beginGroup(QString::fromLatin1(AppSettings::group));
    m_settings.setValue(QLatin1String(AppSettings::keys::integralTime), m_integralTime.load());
    m_settings.setValue(QLatin1String(AppSettings::keys::integralCurrent), m_integralCurrent.load());
    m_settings.setValue(QLatin1String(AppSettings::keys::currentMode), m_currentMode.load());
    m_settings.setValue(QLatin1String(AppSettings::keys::currentRange), m_currentRange.load());
    m_settings.endGroup();
    m_settings.sync();
}

// --- Pixel conversion and rendering -------------------------------------------------------------------------

PixelConversion ReceiverThread::conversion() const {
    return PixelConversion(m_currentMode.load(), m_integralTime.load(), m_integralCurrent.load(),
                           m_currentRange.load());
}

const ConversionTable &ReceiverThread::conversionTable(const PixelConversion &conversion) {
    if (m_conversionTable.update(conversion)) {
        qCDebug(lcReceiver) << "Conversion table rebuilt";
    }
    return m_conversionTable;
}

double ReceiverThread::codeToCurrent(int code) const {
    // The formula itself: this may run on any thread, and the table belongs to the worker's.
    return conversion().current(code);
}

QImage ReceiverThread::renderFrame(const std::vector<unsigned char> &frame) {
    QImage image = renderAndRecord(frame, m_recording.load(), m_recording.load(), conversionTable(conversion()));
    // Driven on its own (no loop, so no media step): a run ends with its recording.
    finishRunIfDone();
    return image;
}

void ReceiverThread::takeReferenceSnapshot() {
    std::unique_lock lock(m_mutex);
    // Same sizes every time, so the copies reuse the snapshot's storage.
    m_fullOnSnapshot.assign(m_fullOnRef.begin(), m_fullOnRef.end());
    m_fullOffSnapshot.assign(m_fullOffRef.begin(), m_fullOffRef.end());
}

QImage ReceiverThread::renderAndRecord(const std::vector<unsigned char> &frame, bool recording, bool collect,
                                       const ConversionTable &table) {
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
        const int rowStart = row * kImageSide;
        if (!calibrated && !collect) {
            // The live picture's usual case: one lookup per pixel.
            for (int column = 0; column < kImageSide; ++column) {
                line[column] = table.plainPixel(PixelConversion::codeAt(codes, rowStart + column));
            }
            continue;
        }
        for (int column = 0; column < kImageSide; ++column) {
            const int pixel = rowStart + column;
            const int code = PixelConversion::codeAt(codes, pixel);
            const double current = table.current(code);
            double gray;
            if (calibrated) {
                gray = PixelConversion::grayLevel(
                    PixelConversion::calibratedScale(current, m_fullOnSnapshot[pixel], m_fullOffSnapshot[pixel]));
                line[column] = PixelConversion::pixelValue(gray);
            } else {
                gray = table.plainGray(code);
                line[column] = table.plainPixel(code);
            }
            if (collect) {
                m_frameCurrents.push_back(current);
                m_frameGrays.push_back(gray);
            }
        }
    }
    if (recording) {
        completeRecording();
    }
    return image;
}

void ReceiverThread::completeRecording() {
    if (++m_recordedCount == 1) {
        beginRun();
    }
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
    m_recording = false;
}

void ReceiverThread::beginRun() {
    m_activeRunId = m_saveRunId.load();
    m_runOpen = true;
    m_writer.beginRun();
}

void ReceiverThread::finishRunIfDone() {
    // The run ends once both its recording and its media run are over (they normally end on the same frame,
    // so this runs after the frame's media step).
    if (!m_runOpen.load() || m_recordedCount != 0 || m_mediaFrames != 0) {
        return;
    }
    m_writer.endRun([this, run = m_activeRunId](const std::optional<SaveWriter::Failure> &failure) {
        if (failure) {
            qCWarning(lcReceiver).noquote() << failure->text << failure->failure.file << failure->failure.reason;
            emit saveFailed(failure->text, failure->failure.file, failure->failure.reason);
        }
        emit saveFinished(run, !failure);
    });
    // Lowered only now: once the window sees the run over (and the writer idle) it may publish the next one.
    m_runOpen = false;
}

// --- Calibration --------------------------------------------------------------------------------------------

void ReceiverThread::setMax(const std::vector<unsigned char> &frame) {
    captureStep(frame, conversionTable(conversion()), m_fullOnSamples, m_fullOnRef);
}

void ReceiverThread::setMin(const std::vector<unsigned char> &frame) {
    captureStep(frame, conversionTable(conversion()), m_fullOffSamples, m_fullOffRef);
}

void ReceiverThread::captureStep(const std::vector<unsigned char> &frame, const ConversionTable &table,
                                 std::vector<double> &samples, std::vector<double> &reference) {
    if (frame.size() < kFrameBytes) {
        return;
    }
    const unsigned char *codes = frame.data();
    double *slot = samples.data() + static_cast<std::size_t>(m_calibFrameCount) * m_pixelCount;
    // Each pixel's cell is written by exactly one stripe, so the stripes need no lock; the table is only
    // read while they run.
    ParallelPixelLoop::run(m_pixelCount, [&](int begin, int end) {
        for (int pixel = begin; pixel < end; ++pixel) {
            slot[pixel] = table.current(PixelConversion::codeAt(codes, pixel));
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
    SaveWriter::Data data;
    data.basePath = m_savePath + QLatin1Char('/') + m_saveName + QLatin1Char('/') + m_saveName;
    {
        std::unique_lock lock(m_mutex);
        data.fullOff = m_fullOffRef;
        data.fullOn = m_fullOnRef;
    }
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

SaveResult ReceiverThread::writeFramesCsv(const QString &path, const std::vector<std::vector<double>> &frames,
                                          const QStringList &timestamps) {
    return CsvExport::writeFrames(path, frames, timestamps);
}

SaveResult ReceiverThread::writeReferenceCsv(const QString &path, const std::vector<double> &reference) {
    return CsvExport::writeReference(path, reference);
}

bool ReceiverThread::saveInProgress() const {
    return m_recording.load() || m_saveData.load() || m_savePicture.load() || m_saveVideo.load() || m_runOpen.load() ||
           m_writer.busy();
}

// --- The acquisition loop -----------------------------------------------------------------------------------

void ReceiverThread::process() {
    LoopState state;
    state.frame.assign(m_bufferSize, 0);
    state.readBuffer.assign(m_bufferSize, 0);

    // The run's files are written beside the loop, never in it.
    m_writer.start();
    while (!m_stopped.load()) {
        waitWhilePaused();
        state.failures = 0;
        state.incompleteSince.reset();
        if (enterStreaming()) {
            streamFrames(state);
            exitStreaming();
        } else if (!m_stopped.load()) {
            // Resumed but not (yet) told to capture: the start writes its commands before it sets the flag.
            waitForCaptureStart();
        }
    }
    m_writer.stop();
    qCDebug(lcReceiver) << "Finished";
    emit finished();
    // The loop's last step: the destructor takes the mutex after this release (see there).
    std::unique_lock lastStep(m_mutex);
}

void ReceiverThread::waitWhilePaused() {
    std::unique_lock lock(m_mutex);
    m_pauseCondition.wait(lock, [this] { return !m_paused; });
}

void ReceiverThread::waitForCaptureStart() {
    std::unique_lock lock(m_mutex);
    m_pauseCondition.wait_for(lock, kCaptureStartRecheck,
                              [this] { return m_paused || m_stopped.load() || m_capturing.load(); });
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
    m_pauseCondition.notify_all();
}

std::vector<FrameValues> ReceiverThread::takeFrameValues() {
    std::lock_guard lock(m_valuesMutex);
    std::vector<FrameValues> taken;
    taken.swap(m_pendingValues);
    return taken;
}

void ReceiverThread::attachLink(UsbFifoLink *link, ft::Handle handle) {
    m_link = link;
    m_handle = handle;
}

void ReceiverThread::beginStreaming() {
    m_stopAfterFrame = false;
    m_capturing = true;
    // Taken after the write, so a loop between its check of the flag and its wait cannot miss the wake.
    std::unique_lock lock(m_mutex);
    m_pauseCondition.notify_all();
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
    m_saveRunId = run.id;
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
    m_pauseCondition.notify_all();
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
        if (recordSettled(state)) {
            handleRecord(state);
        } else if (pass == PassResult::Idle) {
            awaitBytes(state);
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
    // A device that went away without a device-change event shows itself only here: its status calls fail
    // and would otherwise read as "nothing queued" for ever.
    if (link->getStatus(handle, &state.queued, &transmitQueued, &events) != ft::Ok) {
        return PassResult::Failed;
    }
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
        state.record.append(state.readBuffer.data(), std::min(returned, asked), asked);
        if (returned < asked) {
            break;  // the queue held less than reported; asking again would only wait for the read timeout
        }
        remaining -= asked;
    }
    return PassResult::Read;
}

bool ReceiverThread::recordSettled(LoopState &state) {
    switch (state.record.progress()) {
        case RecordAssembler::Progress::Gathering:
            return false;
        case RecordAssembler::Progress::Complete:
        case RecordAssembler::Progress::NoHeader:
            return true;
        case RecordAssembler::Progress::AwaitingRest:
            break;
    }
    // The header is in but its frame is not: stray bytes ahead of the record made the total reach a
    // record early, or a read came back short. The rest is on its way, so it is waited for.
    const auto now = std::chrono::steady_clock::now();
    if (!state.incompleteSince) {
        state.incompleteSince = now;
        return false;
    }
    return now - *state.incompleteSince >= kIncompleteRecordWait;
}

void ReceiverThread::awaitBytes(LoopState &state) {
    UsbFifoLink *link = m_link.load();
    if (link == nullptr) {
        return;
    }
    auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kReceiveWait);
    if (state.incompleteSince) {
        const auto left = kIncompleteRecordWait - (std::chrono::steady_clock::now() - *state.incompleteSince);
        limit = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(left), std::chrono::milliseconds(0), limit);
    }
    if (link->waitForReceived(m_handle.load(), limit) != ft::Ok) {
        // The next status call fails too and is counted; this only keeps the loop from spinning.
        std::this_thread::sleep_for(kFailedWaitPause);
    }
}

void ReceiverThread::handleRecord(LoopState &state) {
    state.incompleteSince.reset();
    if (state.record.cut(state.frame)) {
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
    // One look at the four conversion settings per frame: every step of the frame uses the same table.
    const ConversionTable &table = conversionTable(conversion());
    reportSelectedPixel(state.frame, table);
    advanceCalibration(state.frame, table);
    const bool forward = m_frameValuesWanted.load();
    FrameValues values;
    if (forward && recording) {
        // Taken before rendering: the last recorded frame of a run ends the run and empties the stamps.
        values.recorded = true;
        values.sequence = m_recordedCount + 1;
        values.time = m_recordedCount < m_timestamps.size() ? m_timestamps.at(m_recordedCount) : QString();
    }
    const QImage image = renderAndRecord(state.frame, recording, recording || forward, table);
    if (forward) {
        values.currents = m_frameCurrents;
        values.grays = m_frameGrays;
        {
            std::lock_guard lock(m_valuesMutex);
            m_pendingValues.push_back(std::move(values));
        }
        emit frameValuesReady();
    }
    // Published before the signal: a receiver that calls acquirePictures() sees every pixel written above.
    m_picturesSent.fetch_add(1, std::memory_order_release);
    emit sendImagetoMain(image);
    saveMedia(image, recording);
}

void ReceiverThread::stampFrame(bool recording) {
    if (recording && m_stampCount < m_saveFrames.load()) {
        m_timestamps.append(QDateTime::currentDateTime().toString(kTimestampFormat));
        ++m_stampCount;
    }
}

void ReceiverThread::reportSelectedPixel(const std::vector<unsigned char> &frame, const ConversionTable &table) {
    const int index = m_selectedIndex.load();
    if (index >= 0 && index < m_pixelCount) {
        emit onCellclicked(table.current(PixelConversion::codeAt(frame.data(), index)));
    }
}

void ReceiverThread::advanceCalibration(const std::vector<unsigned char> &frame, const ConversionTable &table) {
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
        captureStep(frame, table, m_fullOnSamples, m_fullOnRef);
    } else {
        captureStep(frame, table, m_fullOffSamples, m_fullOffRef);
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
    // A run starts on a frame that saw the recording flag, which the window raises after the media flags:
    // a frame caught between the window's writes would otherwise start a run without its video.
    if ((run.pictures || run.video) && (m_mediaFrames > 0 || recordingThisFrame)) {
        run.savePath = m_savePath;
        run.saveName = m_saveName;
        run.frames = m_saveFrames.load();
        run.videoFps = m_videoFps.load();
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
