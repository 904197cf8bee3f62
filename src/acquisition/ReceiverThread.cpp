#include "ReceiverThread.h"

#include <algorithm>
#include <optional>
#include <thread>

#include <QLoggingCategory>
#include <QThread>

#include "AppSettings.h"
#include "CommandProtocol.h"
#include "RecordAssembler.h"
#include "StoredConversion.h"
#include "UsbFifoLink.h"
#include "WireFormat.h"
#include "WorkerLog.h"

namespace {

constexpr std::size_t kFrameBytes = wire::frameBytes;
constexpr int kImageSide = wire::imageSide;
constexpr int kPixels = wire::pixelCount;
constexpr int kRecordLength = static_cast<int>(wire::recordLength);

// Failed status calls and reads (counted across frames) after which the session hears of it.
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

const QString kReadFailureText = QStringLiteral("Failed to get device status");

}  // namespace

// The loop's own buffers and counters; they live for one run of process() and are reused for every frame.
struct ReceiverThread::LoopState {
    std::vector<unsigned char> frame;
    std::vector<unsigned char> readBuffer;
    RecordAssembler record;    // the bytes received since the last cut
    std::uint32_t queued = 0;  // written only by the status call
    int failures = 0;          // failed status calls and reads since the loop last entered its read loop
    // Since when a record's header is in without its whole frame.
    std::optional<std::chrono::steady_clock::time_point> incompleteSince;
};

ReceiverThread::ReceiverThread()
    : QObject(nullptr),
      m_settings(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application)),
      // The full-on reference starts at the default range, before the stored range is known.
      m_calibration(static_cast<double>(m_currentRange.load())),
      m_recorder(m_calibration,
                 RunRecorder::Reports{
                     [this](int frames) { emit savemessage(frames); },
                     [this](int run, const RunFailure &failure) { reportRunFailure(run, failure); },
                     [this](int run, const std::optional<RunFailure> &failure) { emit saveFinished(run, !failure); },
                 }) {
    m_fullOffSnapshot.assign(kPixels, 0.0);
    m_fullOnSnapshot.assign(kPixels, 0.0);
    loadSettings();
}

ReceiverThread::~ReceiverThread() {
    // Files still being written are completed first; the writer reports through this object.
    m_recorder.stopWriter();
    // The owner has joined the worker's thread (QThread::wait) before this runs, but through Qt's own lock,
    // which the thread sanitizer cannot see. The loop's last step releases the control's lock, so taking it
    // here shows that everything the loop did comes before the members are destroyed.
    m_control.synchronise();
    storeSettings();
}

void ReceiverThread::loadSettings() {
    const StoredConversion::Values values = StoredConversion::load(m_settings);
    m_integralTime = values.integrationTimeNs;
    m_integralCurrent = values.capacitancePf;
    m_currentMode = values.positive;
    m_currentRange = values.rangeNa;
}

void ReceiverThread::storeSettings() {
    StoredConversion::Values values;
    values.integrationTimeNs = m_integralTime.load();
    values.capacitancePf = m_integralCurrent.load();
    values.positive = m_currentMode.load();
    values.rangeNa = m_currentRange.load();
    StoredConversion::store(m_settings, values);
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
    const bool recording = m_recorder.beginFrame(m_videoFps.load(), false);
    QImage image = renderAndRecord(frame, recording, recording, conversionTable(conversion()));
    // Driven on its own (no loop, so no media step): a run ends with its recording.
    m_recorder.finishRunIfDone();
    return image;
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
        m_calibration.copyReferences(m_fullOnSnapshot, m_fullOffSnapshot);
    }
    m_frameCurrents.clear();
    m_frameGrays.clear();
    m_frameCurrents.reserve(kPixels);
    m_frameGrays.reserve(kPixels);

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
        m_recorder.record(m_frameCurrents, m_frameGrays);
    }
    return image;
}

// --- Calibration --------------------------------------------------------------------------------------------

void ReceiverThread::setMax(const std::vector<unsigned char> &frame) {
    if (frame.size() >= kFrameBytes) {
        m_calibration.step(CalibrationCapture::Kind::FullOn, frame.data(), conversionTable(conversion()));
    }
}

void ReceiverThread::setMin(const std::vector<unsigned char> &frame) {
    if (frame.size() >= kFrameBytes) {
        m_calibration.step(CalibrationCapture::Kind::FullOff, frame.data(), conversionTable(conversion()));
    }
}

void ReceiverThread::advanceCalibration(const std::vector<unsigned char> &frame, const ConversionTable &table) {
    switch (m_calibration.advance(frame.data(), table)) {
        case CalibrationCapture::Kind::FullOn:
            emit setMaxSuccess();
            break;
        case CalibrationCapture::Kind::FullOff:
            emit setMinSuccess();
            break;
        case CalibrationCapture::Kind::None:
            break;
    }
}

// --- Save runs ----------------------------------------------------------------------------------------------

void ReceiverThread::reportRunFailure(int run, const RunFailure &failure) {
    // The pipeline has logged it.
    emit saveFailed(run, failure.text, failure.failure.file, failure.failure.reason);
}

std::vector<FrameValues> ReceiverThread::takeFrameValues() {
    std::lock_guard lock(m_valuesMutex);
    std::vector<FrameValues> taken;
    taken.swap(m_pendingValues);
    return taken;
}

void ReceiverThread::forwardValues(FrameValues values) {
    values.currents = m_frameCurrents;
    values.grays = m_frameGrays;
    {
        std::lock_guard lock(m_valuesMutex);
        m_pendingValues.push_back(std::move(values));
    }
    emit frameValuesReady();
}

// --- What the session sets ----------------------------------------------------------------------------------

void ReceiverThread::attachLink(UsbFifoLink *link, ft::Handle handle) {
    m_link = link;
    m_handle = handle;
}

void ReceiverThread::setIntegration(double integrationTimeNs, double capacitancePf) {
    m_integralTime = integrationTimeNs;
    m_integralCurrent = capacitancePf;
}

void ReceiverThread::setCurrentRange(int rangeNa) {
    m_currentRange = rangeNa;
    m_calibration.fillFullOn(static_cast<double>(rangeNa));
}

// --- The acquisition loop -----------------------------------------------------------------------------------

void ReceiverThread::process() {
    LoopState state;
    state.frame.assign(kRecordLength, 0);
    state.readBuffer.assign(kRecordLength, 0);

    // The run's files are written beside the loop, never in it.
    m_recorder.startWriter();
    while (m_control.waitForStreaming() != LoopControl::Phase::ShuttingDown) {
        state.failures = 0;
        state.incompleteSince.reset();
        streamFrames(state);
        m_control.leaveReadLoop();
    }
    m_recorder.stopWriter();
    qCDebug(lcReceiver) << "Finished";
    emit finished();
    // The loop's last step: the destructor synchronises after it (see there).
    m_control.synchronise();
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
        if (!m_control.keepsReading()) {
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
    const auto bufferSize = static_cast<std::uint32_t>(kRecordLength);
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
    const bool recording = m_recorder.beginFrame(m_videoFps.load(), true);
    // One look at the four conversion settings per frame: every step of the frame uses the same table.
    const ConversionTable &table = conversionTable(conversion());
    reportSelectedPixel(state.frame, table);
    advanceCalibration(state.frame, table);
    const bool forward = m_frameValuesWanted.load();
    FrameValues values;
    if (forward && recording) {
        // Taken before rendering, which counts the frame.
        values.recorded = true;
        values.sequence = m_recorder.recordedCount() + 1;
        values.time = m_recorder.frameStamp();
    }
    const QImage image = renderAndRecord(state.frame, recording, recording || forward, table);
    if (forward) {
        forwardValues(std::move(values));
    }
    // Published before the signal: a receiver that calls acquirePictures() sees every pixel written above.
    m_picturesSent.fetch_add(1, std::memory_order_release);
    emit sendImagetoMain(image);
    m_recorder.saveMedia(image);
}

void ReceiverThread::reportSelectedPixel(const std::vector<unsigned char> &frame, const ConversionTable &table) {
    const int index = m_selectedIndex.load();
    if (index >= 0 && index < kPixels) {
        emit onCellclicked(table.current(PixelConversion::codeAt(frame.data(), index)));
    }
}

void ReceiverThread::writeNextCommand() {
    UsbFifoLink *link = m_link.load();
    const ft::Handle handle = m_handle.load();
    std::uint32_t written = 0;
    if (m_control.stopDue()) {
        if (link != nullptr) {
            link->write(handle, CommandProtocol::stop.data(), CommandProtocol::stop.size(), &written);
        }
        m_control.leaveReadLoop();
        return;
    }
    if (link != nullptr) {
        link->write(handle, CommandProtocol::frameRequest.data(), CommandProtocol::frameRequest.size(), &written);
    }
}
