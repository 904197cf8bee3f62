#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include "FrameValues.h"
#include "FtTypes.h"
#include "LinkExchange.h"
#include "NexusWriter.h"
#include "SaveFailure.h"
#include "UsbFifoLink.h"

class DeviceMonitor;
class ReceiverThread;
class UsbFifoLink;

// Everything the program does to the instrument: discovery, connection and handshake, the battery, the
// range and bias setting, capture start and stop, calibration requests, save runs and device changes. It
// owns the acquisition worker and its thread and borrows the link. Views (the window, the command-line
// tool) call its methods and show what its signals report; they never touch the link or the worker.
//
// Operations that talk to the instrument run one at a time in the order they were asked for; the waits
// inside them run on timers, so the calling thread's event loop keeps going meanwhile.
class InstrumentSession : public QObject {
    Q_OBJECT

public:
    enum class DiscoveryFailure { NoDevices, ListFailed, InfoFailed, Incomplete };
    enum class ConnectOutcome { Connected, NotFound, HandshakeFailed };
    enum class DisconnectReason { Requested, Removed, ReadFailure };
    enum class SaveRefusal {
        None,
        NotCapturing,
        TooManyFrames,
        TooFewFrames,
        LongRunFormat,  // a long run asked for CSV files or a video
        SaveRunning,
        NoDirectory,
        BlankName,   // see SaveName
        UnsafeName,  // see SaveName
    };

    // A range and bias setting as the user gave it; voltages are the typed texts.
    struct Setting {
        double rangeNa = 500.0;
        bool positive = true;
        QString von;
        QString voff;
        QString vbias1;
        QString vbias2;
    };
    // A save run as the user asked for it.
    struct SaveRequest {
        QString directory;
        QString name;
        int frames = 0;
        // Record for this many seconds instead of a number of frames (long runs only).
        double seconds = 0;
        bool data = false;
        bool pictures = false;
        bool video = false;
        bool hdf5 = false;
        // Beyond maxSaveFrames, or for `seconds`: only a run that writes neither CSV files nor a video, whose
        // files take each frame as it comes, and only when the client asks for it (the window never does).
        bool longRun = false;
    };

    static constexpr char instrumentSerial[] = "VANTIKO";
    static constexpr int maxSaveFrames = 1000;
    static constexpr int maxLongRunFrames = 1000000000;

    // `link` must outlive the session.
    explicit InstrumentSession(UsbFifoLink *link, QObject *parent = nullptr);
    // Stops and joins the worker, then gives the device back.
    ~InstrumentSession() override;

    // One discovery run: a tick a second until the device list is complete, at most ten seconds.
    void startDiscovery();
    // The serial number connect opens; the window always opens "VANTIKO".
    void setSerial(const QString &serial) { m_serial = serial.toStdString(); }

    void connectInstrument();
    void disconnectInstrument();
    void readBattery();
    // Sends the setting with its integration search; the worker's conversion follows once acknowledged.
    void applySetting(const Setting &setting);

    void startCapture();
    void stopCapture();
    void setCalibrationOn(bool on);
    void requestFullOn();
    void requestFullOff();
    void selectPixel(int x, int y);

    // Starts a save run, or says why not. The run's files go into a new folder under the directory. A run
    // that starts ends with saveFinished, after saveFailed if any of its files could not be written.
    SaveRefusal startSave(const SaveRequest &request);
    bool saveInProgress() const;
    // The folder name (unique within the directory) of the last run startSave began.
    const QString &runName() const { return m_runName; }
    // While on, frameValues reports every frame's currents and gray levels (recorded ones with their stamp).
    void setFrameValuesWanted(bool wanted);
    // The calibration references as they stand now (what a run's reference CSV files would hold).
    std::vector<double> fullOnReference() const;
    std::vector<double> fullOffReference() const;

    // A USB device arrived or went away (the platform's notification or the link's own).
    void handleDeviceChange();

    bool isConnected() const { return m_connected; }
    bool isCapturing() const { return m_capturing; }
    bool isCalibrationOn() const { return m_calibrationOn; }
    // Whether no operation is running or waiting; idle() reports each time the last one ends.
    bool isIdle() const { return !m_operationRunning && m_operations.empty(); }
    // The text of the range, voltages and polarity written into every run's parameter file.
    const QString &settingsSummary() const { return m_settingsSummary; }
    void setSettingsSummary(const QString &summary) { m_settingsSummary = summary; }
    // The setting the summary describes, for the HDF5 file's settings; applySetting keeps it too.
    void describeSetting(const Setting &setting) { m_setting = setting; }
    static QString settingsSummary(double rangeNa, const QString &vbias1, const QString &vbias2, const QString &von,
                                   const QString &voff);
    std::int32_t integrationCount() const { return m_integrationCount; }
    std::int32_t gearCode() const { return m_gearCode; }
    UsbFifoLink *link() const { return m_link; }

signals:
    // The last operation asked for has ended and none waits.
    void idle();
    void discoveryStarted();
    void devicesListed(const QStringList &serials);
    // The same list with each device's description and whether some program has it open; just before
    // devicesListed.
    void devicesDescribed(const std::vector<DeviceInfo> &devices);
    // The list is not complete yet, `seconds` into the run.
    void deviceInfoPending(int seconds);
    void discoveryFailed(InstrumentSession::DiscoveryFailure failure);

    void connectFinished(InstrumentSession::ConnectOutcome outcome);
    void disconnected(InstrumentSession::DisconnectReason reason);
    void batteryRead(int code);
    void settingFinished(bool acknowledged);

    void captureStarted();
    void captureStopped();
    void frameReady(const QImage &image);
    void pixelCurrent(double current);
    void fullOnCaptured();
    void fullOffCaptured();
    // `frames` of the run's `total` are recorded (total 0: a run of some seconds). Not reported once the run
    // has failed.
    void saveProgress(int frames, int total);
    // A file (or folder) of the run could not be created, written or closed; `reason` is the system's.
    // At most once per run, as soon as it happens; the run's other files go on, and the run ends with
    // saveFinished(false).
    void saveFailed(const QString &file, const QString &reason);
    // Every file of the run is written and closed (ok), or the run failed.
    void saveFinished(bool ok);
    void frameValues(const FrameValues &values);

private:
    // Tests and benchmarks read the worker's state through this (tests/support); views cannot.
    friend class InstrumentSessionProbe;
    using Operation = std::function<void()>;
    // Runs `operation` now, or after those asked for earlier; it calls finishOperation() when done.
    void enqueue(Operation operation);
    void finishOperation();

    void discoveryTick(QTimer *timer, int *ticks);
    void connectNow();
    void configureLink();
    void closeLink(std::chrono::milliseconds grace);
    void startCaptureNow();
    void stopCaptureNow();
    void applySettingNow(const Setting &setting);
    void endConnection(DisconnectReason reason);
    bool instrumentPresent();
    void handleWorkerError();
    void setUpWorker();
    void handleSaveFinished(int run, bool ok);
    SaveRefusal checkSave(const SaveRequest &request) const;
    NexusWriter::Run describeRun() const;
    void failRun(const SaveFailure &failure);

    UsbFifoLink *m_link = nullptr;
    ft::Handle m_handle = nullptr;
    // Declared before the worker, so the worker goes first: its destructor synchronises with the loop's last
    // step, and only then do its connections (the thread's `started` among them) go. The join itself goes
    // through Qt's own locks, which the thread sanitizer cannot see.
    QThread m_workerThread;
    // On the heap, so the views that include this header never compile the worker's (and OpenCV's) headers.
    std::unique_ptr<ReceiverThread> m_worker;
    LinkExchange m_exchange;
    QTimer m_batteryTimer;
    DeviceMonitor *m_deviceMonitor = nullptr;
    std::deque<Operation> m_operations;
    bool m_operationRunning = false;
    bool m_connected = false;
    bool m_capturing = false;
    bool m_calibrationOn = false;
    std::int32_t m_integrationCount = 4864;
    std::int32_t m_gearCode = 7;
    QString m_settingsSummary;
    // The frame count of the save run in progress, for its progress.
    int m_runFrames = 0;
    // The id of the last run started (the worker's reports carry it), and whether it has failed already.
    int m_runId = 0;
    bool m_runFailed = false;
    QString m_runName;
    // The last setting applied (or described by the view), once there is one.
    std::optional<Setting> m_setting;
    std::string m_serial = instrumentSerial;
};
