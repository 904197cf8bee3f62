#include "InstrumentSession.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <utility>
#include <vector>

#include <QDateTime>
#include <QLoggingCategory>

#include "CommandProtocol.h"
#include "DeviceMonitor.h"
#include "IntegrationSearch.h"
#include "LogManager.h"
#include "ReceiverThread.h"
#include "RunFolder.h"
#include "SaveName.h"
#include "UsbFifoLink.h"
#include "WireFormat.h"

Q_LOGGING_CATEGORY(lcSession, "vantiko.session")

namespace {

constexpr int batteryIntervalMs = 300000;
constexpr int discoveryIntervalMs = 1000;
constexpr int maxDiscoveryTicks = 10;
// How long a frame still in flight after a stop may take before the session's own exchange cuts it short.
constexpr std::chrono::milliseconds streamingGrace{1000};
// The worker leaves its loop within one read timeout of a shutdown request; past this something is wrong.
constexpr unsigned long shutdownBoundMs = 5000;

// Truncates toward zero, saturating where the value leaves the 32-bit range.
int truncatedRange(double range) {
    if (range >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (range <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(range);
}

}  // namespace

InstrumentSession::InstrumentSession(UsbFifoLink *link, QObject *parent)
    : QObject(parent), m_link(link), m_worker(std::make_unique<ReceiverThread>()), m_exchange(this) {
    m_batteryTimer.setInterval(batteryIntervalMs);
    connect(&m_batteryTimer, &QTimer::timeout, this, &InstrumentSession::readBattery);
    setUpWorker();
    m_deviceMonitor = new DeviceMonitor(m_link, this);
    connect(m_deviceMonitor, &DeviceMonitor::deviceChanged, this, &InstrumentSession::handleDeviceChange);
}

InstrumentSession::~InstrumentSession() {
    m_exchange.cancel();
    m_worker->requestShutdown();
    m_workerThread.quit();
    if (!m_workerThread.wait(shutdownBoundMs)) {
        // Destroying a worker that still runs would crash; a read stuck in the driver ends with its timeout.
        qCWarning(lcSession) << "The acquisition worker has not stopped after" << shutdownBoundMs << "ms; waiting";
        m_workerThread.wait();
    }
    // The worker has ended, so nothing uses the link any more: give the device back.
    if (m_connected) {
        m_link->close(m_handle);
    }
}

void InstrumentSession::setUpWorker() {
    m_worker->moveToThread(&m_workerThread);
    connect(&m_workerThread, &QThread::started, m_worker.get(), &ReceiverThread::process);
    connect(m_worker.get(), &ReceiverThread::sendImagetoMain, this, [this](const QImage &image) {
        m_worker->acquirePictures();
        emit frameReady(image);
    });
    connect(m_worker.get(), &ReceiverThread::onCellclicked, this, &InstrumentSession::pixelCurrent);
    connect(m_worker.get(), &ReceiverThread::setMaxSuccess, this, &InstrumentSession::fullOnCaptured);
    connect(m_worker.get(), &ReceiverThread::setMinSuccess, this, &InstrumentSession::fullOffCaptured);
    connect(m_worker.get(), &ReceiverThread::saveFailed, this,
            [this](int run, const QString &, const QString &file, const QString &reason) {
                if (run == m_runId) {
                    failRun(SaveFailure{file, reason});
                }
            });
    connect(m_worker.get(), &ReceiverThread::saveFinished, this, &InstrumentSession::handleSaveFinished);
    connect(m_worker.get(), &ReceiverThread::frameValuesReady, this, [this] {
        for (const FrameValues &values : m_worker->takeFrameValues()) {
            emit frameValues(values);
        }
    });
    connect(m_worker.get(), &ReceiverThread::errorOccurred, this, &InstrumentSession::handleWorkerError);
    connect(m_worker.get(), &ReceiverThread::savemessage, this, [this](int frames) {
        if (!m_runFailed) {
            emit saveProgress(frames, m_runFrames);
        }
    });
    // The worker is built paused, so its loop never polls before a capture is asked for.
    m_workerThread.start();
}

// ---- Operations in order -------------------------------------------------------------------------------------

void InstrumentSession::enqueue(Operation operation) {
    m_operations.push_back(std::move(operation));
    if (!m_operationRunning) {
        finishOperation();
    }
}

void InstrumentSession::finishOperation() {
    m_operationRunning = false;
    while (!m_operationRunning && !m_operations.empty()) {
        Operation next = std::move(m_operations.front());
        m_operations.pop_front();
        m_operationRunning = true;
        next();
    }
    if (isIdle()) {
        emit idle();
    }
}

// ---- Discovery -------------------------------------------------------------------------------------------------

void InstrumentSession::startDiscovery() {
    emit discoveryStarted();
    auto *timer = new QTimer(this);
    auto *ticks = new int(0);
    timer->setInterval(discoveryIntervalMs);
    connect(timer, &QTimer::timeout, this, [this, timer, ticks] { discoveryTick(timer, ticks); });
    connect(timer, &QObject::destroyed, [ticks] { delete ticks; });
    timer->start();
}

void InstrumentSession::discoveryTick(QTimer *timer, int *ticks) {
    const auto endRun = [timer] {
        timer->stop();
        timer->deleteLater();
    };
    // A failing driver may leave the count unwritten, so it must not start out as "no devices".
    std::uint32_t count = std::numeric_limits<std::uint32_t>::max();
    const ft::Status listed = m_link->createDeviceInfoList(&count);
    if (listed != ft::Ok || count == 0) {
        emit discoveryFailed(count == 0 ? DiscoveryFailure::NoDevices : DiscoveryFailure::ListFailed);
        endRun();
        return;
    }
    std::vector<DeviceInfo> devices;
    if (m_link->getDeviceInfoList(devices, &count) != ft::Ok) {
        emit discoveryFailed(DiscoveryFailure::InfoFailed);
        endRun();
        return;
    }
    const bool complete =
        std::all_of(devices.begin(), devices.end(), [](const DeviceInfo &d) { return !d.serialNumber.empty(); });
    if (complete) {
        QStringList serials;
        for (const DeviceInfo &device : devices) {
            serials << QString::fromStdString(device.serialNumber);
        }
        emit devicesDescribed(devices);
        emit devicesListed(serials);
        endRun();
        return;
    }
    emit deviceInfoPending((*ticks)++);
    if (*ticks > maxDiscoveryTicks) {
        emit discoveryFailed(DiscoveryFailure::Incomplete);
        endRun();
    }
}

// ---- Connection --------------------------------------------------------------------------------------------------

void InstrumentSession::connectInstrument() {
    enqueue([this] { connectNow(); });
}

void InstrumentSession::connectNow() {
    if (m_connected) {
        finishOperation();
        return;
    }
    ft::Handle handle = nullptr;
    if (m_link->openEx(m_serial, ft::OpenBySerialNumber, &handle) != ft::Ok) {
        emit connectFinished(ConnectOutcome::NotFound);
        finishOperation();
        return;
    }
    m_handle = handle;
    configureLink();
    LinkExchange::writeFrame(*m_link, m_handle, CommandProtocol::handshake);
    m_exchange.awaitAcknowledgement(
        *m_link, m_handle, CommandProtocol::handshakeAck, CommandProtocol::handshakeBufferSize,
        CommandProtocol::handshakeWaitMs, [this](bool acknowledged) {
            if (!acknowledged) {
                closeLink(std::chrono::milliseconds(0));
                emit connectFinished(ConnectOutcome::HandshakeFailed);
                finishOperation();
                return;
            }
            LogManager::logBytes(CommandProtocol::handshakeAck.data(), CommandProtocol::handshakeAck.size());
            m_worker->attachLink(m_link, m_handle);
            m_connected = true;
            emit connectFinished(ConnectOutcome::Connected);
            finishOperation();
            readBattery();
            m_batteryTimer.start();
        });
}

void InstrumentSession::configureLink() {
    // Each step is tried whatever the one before returned, as the driver's own sample sequence does; a
    // failure is logged for the developer, and the handshake that follows decides whether the link works.
    const std::pair<const char *, ft::Status> steps[] = {
        {"reset", m_link->resetDevice(m_handle)},
        {"purge", m_link->purge(m_handle, ft::PurgeRx | ft::PurgeTx)},
        {"synchronous FIFO mode", m_link->setBitMode(m_handle, 0x00, ft::BitModeSyncFifo)},
        {"transfer sizes", m_link->setUsbParameters(m_handle, 65536, 65536)},
        {"flow control", m_link->setFlowControl(m_handle, ft::FlowRtsCts, 0, 0)},
        {"timeouts", m_link->setTimeouts(m_handle, 2000, 1000)},
    };
    for (const auto &[step, status] : steps) {
        if (status != ft::Ok) {
            qCWarning(lcSession) << "Link configuration step" << step << "failed with status" << status;
        }
    }
}

void InstrumentSession::disconnectInstrument() {
    enqueue([this] {
        if (m_connected && !m_capturing) {
            endConnection(DisconnectReason::Requested);
        }
        finishOperation();
    });
}

void InstrumentSession::closeLink(std::chrono::milliseconds grace) {
    m_exchange.cancel();
    // The worker may still be polling (a frame in flight after a stop, or a device that went away):
    // it leaves its streaming loop before the handle is released.
    m_worker->leaveStreaming(grace);
    m_link->close(m_handle);
    m_handle = nullptr;
    m_worker->attachLink(m_link, nullptr);
}

void InstrumentSession::endConnection(DisconnectReason reason) {
    if (m_capturing) {
        stopCaptureNow();
    }
    m_connected = false;
    closeLink(reason == DisconnectReason::Requested ? streamingGrace : std::chrono::milliseconds(0));
    emit disconnected(reason);
}

void InstrumentSession::readBattery() {
    enqueue([this] {
        // The battery timer keeps running after a connection ends; without a link there is nothing to ask.
        if (!m_connected || m_capturing) {
            finishOperation();
            return;
        }
        m_worker->leaveStreaming(streamingGrace);
        m_exchange.queryBattery(*m_link, m_handle, [this](std::optional<int> code) {
            if (code) {
                emit batteryRead(*code);
            }
            finishOperation();
        });
    });
}

void InstrumentSession::handleDeviceChange() {
    startDiscovery();
    enqueue([this] {
        // Only the instrument going away ends the connection; another device coming or going leaves it alone.
        if (m_connected && !instrumentPresent()) {
            endConnection(DisconnectReason::Removed);
        }
        finishOperation();
    });
}

bool InstrumentSession::instrumentPresent() {
    std::uint32_t count = 0;
    if (m_link->createDeviceInfoList(&count) != ft::Ok || count == 0) {
        return false;
    }
    std::vector<DeviceInfo> devices;
    if (m_link->getDeviceInfoList(devices, &count) != ft::Ok) {
        return false;
    }
    return std::any_of(devices.begin(), devices.end(),
                       [this](const DeviceInfo &d) { return d.serialNumber == m_serial; });
}

void InstrumentSession::handleWorkerError() {
    qCDebug(lcSession) << "Worker error";
    if (m_connected) {
        // The read loop has ended already, so there is no frame in flight to wait for.
        endConnection(DisconnectReason::ReadFailure);
    } else {
        emit disconnected(DisconnectReason::ReadFailure);
    }
}

// ---- Capture -------------------------------------------------------------------------------------------------------

void InstrumentSession::startCapture() {
    enqueue([this] {
        if (!m_connected || m_capturing) {
            finishOperation();
            return;
        }
        startCaptureNow();
    });
}

void InstrumentSession::startCaptureNow() {
    LogManager::logMessage("Start Capture data.");
    m_batteryTimer.stop();
    m_capturing = true;
    emit captureStarted();
    m_worker->resume();
    LinkExchange::writeFrame(*m_link, m_handle, CommandProtocol::start);
    // The instrument needs a moment after the start command before it takes the first request.
    QTimer::singleShot(CommandProtocol::startToRequestMs, this, [this, handle = m_handle] {
        if (m_capturing && m_handle == handle) {
            LinkExchange::writeFrame(*m_link, handle, CommandProtocol::frameRequest);
            std::uint32_t rx = 0, tx = 0, event = 0;
            m_link->getStatus(handle, &rx, &tx, &event);
            m_worker->beginStreaming();
        }
        finishOperation();
    });
}

void InstrumentSession::stopCapture() {
    enqueue([this] {
        if (m_capturing) {
            stopCaptureNow();
        }
        finishOperation();
    });
}

void InstrumentSession::stopCaptureNow() {
    if (m_workerThread.isRunning()) {
        m_worker->pauseAfterFrame();
    }
    LogManager::logMessage("Stop Capture data.");
    m_batteryTimer.start();
    m_capturing = false;
    emit captureStopped();
}

void InstrumentSession::setCalibrationOn(bool on) {
    m_worker->setCalibrationOn(on);
    LogManager::logMessage(on ? "Open calibration." : "Close Calibration.");
    m_calibrationOn = on;
}

void InstrumentSession::requestFullOn() {
    m_worker->requestFullOn();
}

void InstrumentSession::requestFullOff() {
    m_worker->requestFullOff();
}

void InstrumentSession::selectPixel(int x, int y) {
    m_worker->selectPixel(y * wire::imageSide + x);
}

// ---- Range and bias setting ----------------------------------------------------------------------------------------

QString InstrumentSession::settingsSummary(double rangeNa, const QString &vbias1, const QString &vbias2,
                                           const QString &von, const QString &voff) {
    return QStringLiteral("Current:%1\nVbias1:%2\nVbias2:%3\nVon:%4\nVoff:%5\n")
        .arg(QString::number(rangeNa, 'g', 6), vbias1, vbias2, von, voff);
}

void InstrumentSession::applySetting(const Setting &setting) {
    enqueue([this, setting] { applySettingNow(setting); });
}

void InstrumentSession::applySettingNow(const Setting &setting) {
    if (const auto choice = IntegrationSearch::find(setting.rangeNa)) {
        m_integrationCount = choice->integrationCount;
        m_gearCode = choice->gearCode;
    } else {
        LogManager::consoleLine("No suitable integration time found within the specified range.");
    }
    m_worker->setCurrentRange(truncatedRange(setting.rangeNa));

    CommandProtocol::Parameters parameters;
    parameters.integrationCount = static_cast<std::uint32_t>(m_integrationCount);
    parameters.gearCode = m_gearCode;
    parameters.vonCode = CommandProtocol::gateVoltageCode(CommandProtocol::voltsFromText(setting.von));
    parameters.voffCode = CommandProtocol::gateVoltageCode(CommandProtocol::voltsFromText(setting.voff));
    parameters.vbias1Code = CommandProtocol::biasVoltageCode(CommandProtocol::voltsFromText(setting.vbias1));
    parameters.vbias2Code = CommandProtocol::biasVoltageCode(CommandProtocol::voltsFromText(setting.vbias2));
    m_settingsSummary = settingsSummary(setting.rangeNa, setting.vbias1, setting.vbias2, setting.von, setting.voff);
    m_setting = setting;
    m_worker->setVideoFps(IntegrationSearch::estimatedFrameRate(setting.rangeNa));
    parameters.positive = setting.positive;
    m_worker->setPolarity(parameters.positive);
    m_settingsSummary +=
        parameters.positive ? QStringLiteral("Model: positive \n") : QStringLiteral("Model: negative \n");

    const CommandProtocol::ParameterCommand command = CommandProtocol::parameterCommand(parameters);
    LogManager::logBytes(command.data(), command.size());
    m_worker->leaveStreaming(streamingGrace);
    LinkExchange::writeFrame(*m_link, m_handle, command);
    m_exchange.awaitAcknowledgement(*m_link, m_handle, CommandProtocol::parameterAck,
                                    CommandProtocol::parameterBufferSize, CommandProtocol::parameterWaitMs,
                                    [this](bool acknowledged) {
                                        if (acknowledged) {
                                            m_worker->setIntegration(m_integrationCount * IntegrationSearch::tickNs,
                                                                     IntegrationSearch::capacitanceOfGear(m_gearCode));
                                        }
                                        emit settingFinished(acknowledged);
                                        finishOperation();
                                    });
}

// ---- Saving -------------------------------------------------------------------------------------------------------

bool InstrumentSession::saveInProgress() const {
    return m_worker->saveInProgress();
}

void InstrumentSession::setFrameValuesWanted(bool wanted) {
    m_worker->setFrameValuesWanted(wanted);
}

std::vector<double> InstrumentSession::fullOnReference() const {
    return m_worker->fullOnReference();
}

std::vector<double> InstrumentSession::fullOffReference() const {
    return m_worker->fullOffReference();
}

InstrumentSession::SaveRefusal InstrumentSession::checkSave(const SaveRequest &request) const {
    if (!m_capturing) {
        return SaveRefusal::NotCapturing;
    }
    const bool timed = request.longRun && request.seconds > 0;
    const bool beyondSaveLimit = timed || request.frames > maxSaveFrames;
    if (beyondSaveLimit && request.longRun && (request.data || request.video)) {
        // The CSV files and the video are made for runs a person looks through.
        return SaveRefusal::LongRunFormat;
    }
    if (!timed && request.frames > (request.longRun ? maxLongRunFrames : maxSaveFrames)) {
        return SaveRefusal::TooManyFrames;
    }
    // A run of no frames would never complete and would record without end.
    if (!timed && request.frames < 1) {
        return SaveRefusal::TooFewFrames;
    }
    // A new run in the middle of one would mix the two runs' frames and files.
    if (m_worker->saveInProgress()) {
        return SaveRefusal::SaveRunning;
    }
    // Without a directory every path would start at the file system's root.
    if (request.directory.trimmed().isEmpty()) {
        return SaveRefusal::NoDirectory;
    }
    switch (SaveName::check(request.name)) {
        case SaveName::Problem::None:
            return SaveRefusal::None;
        case SaveName::Problem::Blank:
            return SaveRefusal::BlankName;
        case SaveName::Problem::Unsafe:
            return SaveRefusal::UnsafeName;
    }
    return SaveRefusal::None;
}

NexusWriter::Run InstrumentSession::describeRun() const {
    NexusWriter::Run run;
    run.programName = QStringLiteral("vantiko");
    run.programVersion = QStringLiteral(VANTIKO_VERSION);
    run.serialNumber = QString::fromStdString(m_serial);
    run.startTime = QDateTime::currentDateTime();
    NexusWriter::Settings &s = run.settings;
    // The conversion's own values, as the frames were converted with them; the range and the voltages as
    // they were set.
    s.rangeNa = m_worker->m_currentRange.load();
    s.positive = m_worker->m_currentMode.load();
    s.integrationTimeNs = m_worker->m_integralTime.load();
    s.capacitancePf = m_worker->m_integralCurrent.load();
    if (m_setting) {
        s.rangeNa = m_setting->rangeNa;
        s.vonV = CommandProtocol::voltsFromText(m_setting->von);
        s.voffV = CommandProtocol::voltsFromText(m_setting->voff);
        s.vbias1V = CommandProtocol::voltsFromText(m_setting->vbias1);
        s.vbias2V = CommandProtocol::voltsFromText(m_setting->vbias2);
    }
    s.gearCode = m_gearCode;
    s.integrationCount = m_integrationCount;
    s.framePeriodS = IntegrationSearch::framePeriodSeconds(s.integrationTimeNs);
    return run;
}

InstrumentSession::SaveRefusal InstrumentSession::startSave(const SaveRequest &request) {
    if (const SaveRefusal refusal = checkSave(request); refusal != SaveRefusal::None) {
        return refusal;
    }
    ++m_runId;
    m_runFailed = false;
    const bool timed = request.longRun && request.seconds > 0;
    m_runFrames = timed ? 0 : request.frames;
    m_runName = RunFolder::uniqueName(request.directory, request.name);

    // The run's folder, parameter file and every other file are made by the save pipeline when the first
    // frame is recorded.
    ReceiverThread::SaveRun run;
    run.directory = request.directory;
    run.name = m_runName;
    run.settingsSummary = m_settingsSummary;
    run.id = m_runId;
    run.frames = m_runFrames;
    run.seconds = timed ? request.seconds : 0;
    run.data = request.data;
    run.pictures = request.pictures;
    run.video = request.video;
    run.hdf5 = request.hdf5;
    run.nexus = describeRun();
    m_worker->startSaveRun(run);
    return SaveRefusal::None;
}

void InstrumentSession::handleSaveFinished(int run, bool ok) {
    if (run != m_runId) {
        return;  // a run the session did not start (or an earlier one)
    }
    emit saveFinished(ok && !m_runFailed);
}

void InstrumentSession::failRun(const SaveFailure &failure) {
    if (m_runFailed) {
        return;  // one message per run
    }
    m_runFailed = true;
    qCWarning(lcSession).noquote() << "Save failed:" << failure.file << failure.reason;
    emit saveFailed(failure.file, failure.reason);
}
