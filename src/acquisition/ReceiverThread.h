#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include <QImage>
#include <QObject>
#include <QSettings>
#include <QString>

#include "CalibrationCapture.h"
#include "ConversionTable.h"
#include "FrameValues.h"
#include "FtTypes.h"
#include "LoopControl.h"
#include "PixelConversion.h"
#include "RunRecorder.h"

class UsbFifoLink;

// The acquisition worker. It lives on its own QThread and runs `process` from the thread's start until
// shutdown: it sleeps on the link until bytes arrive, cuts frames out of the byte stream, reports the
// selected pixel's current, feeds the calibration capture, renders and emits the picture, hands the frame to
// the run recorder, and asks for the next frame.
//
// The instrument session drives the loop through the transitions below, which move its phase (LoopControl);
// the conversion values are atomics that take effect at the next frame. The worker answers only through
// queued signals.
class ReceiverThread : public QObject {
    Q_OBJECT

public:
    using LoopPhase = LoopControl::Phase;

    ReceiverThread();
    ~ReceiverThread() override;

    // --- Pixel conversion and rendering ---------------------------------------------------------------
    // Current in nA of one 16-bit pixel code under the present polarity, integration and range.
    // Safe to call from several threads at once.
    double codeToCurrent(int code) const;
    // Renders the first 8192 bytes of `frame` as a 64 x 64 Grayscale8 picture; records it while a save runs.
    QImage renderFrame(const std::vector<unsigned char> &frame);

    // --- Calibration steps (the worker's thread, or a thread that drives the worker without its loop) -------
    void setMax(const std::vector<unsigned char> &frame);
    void setMin(const std::vector<unsigned char> &frame);

    // --- Transitions of the loop (the session's thread; see LoopControl) ---------------------------------
    void resume() { m_control.resume(); }
    void beginStreaming() { m_control.beginStreaming(); }
    void pauseAfterFrame() { m_control.pauseAfterFrame(); }
    // Waits until the loop is out of its read loop, so the session may close the link or run an exchange of
    // its own; pass a grace of 0 when the device is known to be gone.
    void leaveStreaming(std::chrono::milliseconds grace) { m_control.leaveStreaming(grace); }
    // `process` returns at its next check; the owner then quits and joins the thread.
    void requestShutdown() { m_control.requestShutdown(); }
    LoopPhase phase() const { return m_control.phase(); }

    // --- What the session sets ---------------------------------------------------------------------------------
    // The link the loop reads from and writes to, and the handle of the open device; null detaches.
    void attachLink(UsbFifoLink *link, ft::Handle handle);
    // The conversion of codes into currents: the polarity, and the integration time (ns) and capacitance (pF).
    void setPolarity(bool positive) { m_currentMode = positive; }
    void setIntegration(double integrationTimeNs, double capacitancePf);
    // The current range in nA that clamps every reading; the full-on reference is reset to it.
    void setCurrentRange(int rangeNa);
    void setVideoFps(int fps) { m_videoFps = fps; }
    void setCalibrationOn(bool on) { m_calibrationOn = on; }
    void requestFullOn() { m_calibration.requestFullOn(); }
    void requestFullOff() { m_calibration.requestFullOff(); }
    void selectPixel(int index) { m_selectedIndex = index; }
    // While on, every frame's values also go out through frameValues (a copy per frame, so off by default).
    void setFrameValuesWanted(bool wanted) { m_frameValuesWanted = wanted; }
    // The values of the frames rendered since the last call, oldest first. They are handed over under a
    // lock of the worker's rather than as a queued signal's argument, so every thread sees them whole.
    std::vector<FrameValues> takeFrameValues();
    using SaveRun = RunRecorder::Run;
    // Publishes a save run: it records from the next frame on. Only while saveInProgress() is false.
    void startSaveRun(const SaveRun &run) { m_recorder.start(run); }
    // True while a save run still records frames or its files are still being written; a new run must wait.
    bool saveInProgress() const { return m_recorder.inProgress(); }
    // Called by a receiver of sendImagetoMain before it reads the picture's pixels. Qt's queued signals
    // hand the picture over through locks the thread sanitizer cannot see; this pairs with the worker's
    // release after rendering, so the hand-off is visible to it (and ordered on any machine).
    std::uint64_t acquirePictures() const { return m_picturesSent.load(std::memory_order_acquire); }
    // Copies of the references, taken under the capture's lock.
    std::vector<double> fullOnReference() const { return m_calibration.fullOnReference(); }
    std::vector<double> fullOffReference() const { return m_calibration.fullOffReference(); }

    // The currents and gray levels the renderer collected for its last frame: what a recording frame records.
    const std::vector<double> &lastCurrents() const { return m_frameCurrents; }
    const std::vector<double> &lastGrays() const { return m_frameGrays; }
    // The parts the worker calls, for tests and benchmarks that look inside.
    CalibrationCapture &calibration() { return m_calibration; }
    const RunRecorder &recorder() const { return m_recorder; }

public slots:
    void process();

signals:
    void onCellclicked(double current);
    void errorOccurred(QString errormessage);
    void sendImagetoMain(QImage displayImage);
    void finished();
    void savemessage(int index);
    void setMaxSuccess();
    void setMinSuccess();
    // A file of run `run` could not be written: what failed in words, the file and the system's reason.
    // Emitted (from the save writer's thread) at the run's first failure; its other files go on.
    void saveFailed(int run, QString message, QString file, QString reason);
    // Every file of run `run` has been written and closed (ok), or one of them failed (saveFailed came first).
    void saveFinished(int run, bool ok);
    // Frame values are waiting in takeFrameValues() (after each frame is rendered, while wanted).
    void frameValuesReady();

public:
    // The conversion values, kept in the settings store from one run of the program to the next. Atomic:
    // written by the session between captures (and by tests at any time), read by the loop once per frame.
    std::atomic<bool> m_currentMode{true};
    std::atomic<double> m_integralTime{0.0};
    std::atomic<double> m_integralCurrent{0.0};
    std::atomic<int> m_currentRange{150};
    std::atomic<int> m_videoFps{60};
    std::atomic<bool> m_calibrationOn{false};
    std::atomic<int> m_selectedIndex{0};

private:
    struct LoopState;  // the process loop's buffers and counters, alive for one run of process()
    enum class PassResult { Idle, Read, Failed };

    void loadSettings();
    void storeSettings();
    PixelConversion conversion() const;
    // The table for these parameters, rebuilt first if it was built for others.
    const ConversionTable &conversionTable(const PixelConversion &conversion);
    // Fills the frame's currents and gray levels when `collect` is set, and records them when `recording` is.
    QImage renderAndRecord(const std::vector<unsigned char> &frame, bool recording, bool collect,
                           const ConversionTable &table);

    void streamFrames(LoopState &state);
    PassResult readPass(LoopState &state);
    bool recordSettled(LoopState &state);
    void awaitBytes(LoopState &state);
    void handleRecord(LoopState &state);
    void processFrame(LoopState &state);
    void reportSelectedPixel(const std::vector<unsigned char> &frame, const ConversionTable &table);
    void advanceCalibration(const std::vector<unsigned char> &frame, const ConversionTable &table);
    void forwardValues(FrameValues values);
    void writeNextCommand();
    void reportRunFailure(int run, const RunFailure &failure);

    QSettings m_settings;
    std::atomic<ft::Handle> m_handle{nullptr};
    // The link the handle belongs to; set together with m_handle when the session connects.
    std::atomic<UsbFifoLink *> m_link{nullptr};
    std::atomic<bool> m_frameValuesWanted{false};

    LoopControl m_control;

    // Worker thread only: the frame's values as the renderer leaves them.
    std::vector<double> m_frameCurrents;
    std::vector<double> m_frameGrays;
    // Worker thread only: the references as the renderer uses them for one frame.
    std::vector<double> m_fullOnSnapshot;
    std::vector<double> m_fullOffSnapshot;
    // Worker thread only: every code's conversion under the parameters it was last built for. Checked against
    // the four atomics at each frame rather than rebuilt by the setters, so a value written any way (the
    // session, a test, the settings load) takes effect at the next frame.
    ConversionTable m_conversionTable;
    // Frame values not yet taken; guarded by m_valuesMutex.
    std::mutex m_valuesMutex;
    std::vector<FrameValues> m_pendingValues;
    // Pictures rendered and signalled; see acquirePictures().
    std::atomic<std::uint64_t> m_picturesSent{0};

    CalibrationCapture m_calibration;
    // Declared last: its writer is stopped before anything its reports use goes away.
    RunRecorder m_recorder;
};
