#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <QImage>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>

#include "ConversionTable.h"
#include "FtTypes.h"
#include "PixelConversion.h"
#include "SaveFailure.h"
#include "SaveWriter.h"
#include "WireFormat.h"

class UsbFifoLink;

// One frame's values as a save run records them, for a view that keeps them in a format of its own.
struct FrameValues {
    bool recorded = false;         // the frame belongs to the save run in progress
    int sequence = 0;              // 1 ... N within the run when recorded, else 0
    QString time;                  // the CSV's time stamp text when recorded, else empty
    std::vector<double> currents;  // nA, pixel order, as the current CSV holds them
    std::vector<double> grays;     // gray levels before the cut to 8 bits, as the gray CSV holds them
};
Q_DECLARE_METATYPE(FrameValues)

// The acquisition worker. It lives on its own QThread and runs `process` from the thread's start until
// shutdown: it sleeps on the link until bytes arrive, cuts frames out of the byte stream, reports the
// selected pixel's current, feeds calibration captures, renders and emits the picture, saves runs, and
// asks for the next frame.
//
// The window drives it only by writing the members below; it answers only through queued signals.
// Every member the window writes is atomic or guarded by m_mutex, so no write is ever torn or unseen.
class ReceiverThread : public QObject {
    Q_OBJECT

public:
    ReceiverThread();
    ~ReceiverThread() override;

    // --- Pixel conversion and rendering ---------------------------------------------------------------
    // Current in nA of one 16-bit pixel code under the present polarity, integration and range.
    // Safe to call from several threads at once (calibration runs it on OpenCV's parallel runtime).
    double codeToCurrent(int code) const;
    // Renders the first 8192 bytes of `frame` as a 64 x 64 Grayscale8 picture; records it while a save runs.
    QImage renderFrame(const std::vector<unsigned char> &frame);

    // --- Calibration steps (worker thread; public so tests can drive them) --------------------------------
    void setMax(const std::vector<unsigned char> &frame);
    void setMin(const std::vector<unsigned char> &frame);

    // --- Data export (worker thread) ----------------------------------------------------------------------
    // Hands the run's recorded frames (moved, not copied), timestamps and references to the save writer,
    // which writes the four CSV files; then clears m_saveData.
    void writeCsvFiles();
    static SaveResult writeFramesCsv(const QString &path, const std::vector<std::vector<double>> &frames,
                                     const QStringList &timestamps);
    static SaveResult writeReferenceCsv(const QString &path, const std::vector<double> &reference);

    // --- Driving the worker (the session's thread) ------------------------------------------------------------
    // The link the loop reads from and writes to, and the handle of the open device; null detaches.
    void attachLink(UsbFifoLink *link, ft::Handle handle);
    // After resume() and the start command and first request: the loop starts reading records.
    void beginStreaming();
    // The conversion of codes into currents: the polarity, and the integration time (ns) and capacitance (pF).
    void setPolarity(bool positive) { m_currentMode = positive; }
    void setIntegration(double integrationTimeNs, double capacitancePf);
    // The current range in nA that clamps every reading; the full-on reference is reset to it.
    void setCurrentRange(int rangeNa);
    void setVideoFps(int fps) { m_videoFps = fps; }
    void setCalibrationOn(bool on) { m_calibrationOn = on; }
    void requestFullOn() { m_fullOnRequested = true; }
    void requestFullOff() { m_fullOffRequested = true; }
    void selectPixel(int index) { m_selectedIndex = index; }
    // While on, every frame's values also go out through frameValues (a copy per frame, so off by default).
    void setFrameValuesWanted(bool wanted) { m_frameValuesWanted = wanted; }
    // The values of the frames rendered since the last call, oldest first. They are handed over under a
    // lock of the worker's rather than as a queued signal's argument, so every thread sees them whole.
    std::vector<FrameValues> takeFrameValues();
    // What one save run records and writes.
    struct SaveRun {
        QString directory;  // the chosen folder; the run's files go into directory/name
        QString name;
        int id = 0;  // comes back with saveFinished
        int frames = 0;
        bool data = false;
        bool pictures = false;
        bool video = false;
    };
    // Publishes a run and raises its flags, the recording flag last: the loop starts recording at the
    // next frame that sees it. Only while saveInProgress() is false.
    void startSaveRun(const SaveRun &run);

    // --- Window-side helpers --------------------------------------------------------------------------------
    // Ends streaming and waits until the loop is back at its pause gate, so the window may close the link
    // or run an exchange of its own. The frame in progress gets `grace` to complete (and the stop command
    // to go out) before streaming is cut short; pass 0 when the device is known to be gone.
    void leaveStreaming(std::chrono::milliseconds grace);
    // Lets the loop past its pause gate (capture start).
    void resume();
    // Asks the loop to finish the frame in progress, send the stop command and wait at the pause gate.
    void pauseAfterFrame();
    // Makes `process` return at its next check, whether it waits at the pause gate or streams; the
    // owner then quits and joins the thread.
    void requestShutdown();
    // True while a save run still records frames or its files are still being written; a new run must wait.
    bool saveInProgress() const;
    // Fills the full-on reference with `value` (the Set of a current range does this).
    void fillFullOnReference(double value);
    // Called by a receiver of sendImagetoMain before it reads the picture's pixels. Qt's queued signals
    // hand the picture over through locks the thread sanitizer cannot see; this pairs with the worker's
    // release after rendering, so the hand-off is visible to it (and ordered on any machine).
    std::uint64_t acquirePictures() const { return m_picturesSent.load(std::memory_order_acquire); }
    // Copies of the references, taken under the lock.
    std::vector<double> fullOnReference() const;
    std::vector<double> fullOffReference() const;

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
    // A file of the run could not be written: what failed in words, the file and the system's reason.
    // Emitted (from the save writer's thread) once the run's files are all closed, before saveFinished.
    void saveFailed(QString message, QString file, QString reason);
    // Every file of run `run` has been written and closed (ok), or one of them failed (saveFailed came first).
    void saveFinished(int run, bool ok);
    // Frame values are waiting in takeFrameValues() (after each frame is rendered, while wanted).
    void frameValuesReady();

public:
    // Members in the order the design lists them. Atomic: written by the window, read by the loop.
    std::atomic<bool> m_saveData{false};
    std::atomic<bool> m_savePicture{false};
    std::atomic<bool> m_saveVideo{false};
    std::atomic<bool> m_fullOnRequested{false};
    std::atomic<bool> m_fullOffRequested{false};
    std::atomic<ft::Handle> m_handle{nullptr};
    // The link the handle belongs to; set together with m_handle when the window connects.
    std::atomic<UsbFifoLink *> m_link{nullptr};
    QSettings m_settings;
    std::atomic<bool> m_stopAfterFrame{false};
    std::atomic<bool> m_capturing{true};
    std::atomic<bool> m_currentMode{true};
    std::atomic<bool> m_calibrationOn{false};
    std::atomic<double> m_integralTime{0.0};
    std::atomic<double> m_integralCurrent{0.0};
    std::atomic<int> m_videoFps{60};
    std::atomic<int> m_currentRange{150};
    // Guarded by m_mutex. The worker starts paused so its loop can never poll before a capture is asked for.
    bool m_paused = true;
    // Written under m_mutex; atomic because the loop also checks it without the lock once per pass.
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_recording{false};
    std::atomic<int> m_selectedIndex{0};
    std::atomic<bool> m_frameValuesWanted{false};
    const int m_bufferSize = static_cast<int>(wire::recordLength);
    const int m_pixelCount = wire::pixelCount;
    int m_calibFrameCount = 0;  // worker thread only
    std::atomic<int> m_saveFrames{5};
    int m_recordedCount = 0;  // worker thread only
    int m_stampCount = 0;     // worker thread only
    // Guarded by m_mutex: the worker builds them, the window's range Set refills the full-on one.
    std::vector<double> m_fullOffRef;
    std::vector<double> m_fullOnRef;
    std::vector<double> m_frameCurrents;  // worker thread only
    std::vector<double> m_frameGrays;     // worker thread only
    QStringList m_timestamps;             // worker thread only
    // 10 x 4096 samples per capture kind, slot-major (cell [k][i] at k * 4096 + i). Worker thread only.
    std::vector<double> m_fullOnSamples;
    std::vector<double> m_fullOffSamples;
    // Standard-library primitives rather than Qt's: the thread sanitizer sees every lock and wait in them.
    mutable std::mutex m_mutex;
    std::condition_variable m_pauseCondition;
    // Published by the window before it raises a save flag; read by the worker only while a flag is up.
    QString m_savePath;
    QString m_saveName;
    std::atomic<int> m_saveRunId{0};
    std::vector<std::vector<double>> m_recordedCurrents;
    std::vector<std::vector<double>> m_recordedGrays;
    const std::vector<unsigned char> m_syncPattern{wire::syncPattern.begin(), wire::syncPattern.end()};

private:
    enum class CaptureKind { None, FullOn, FullOff };
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
    void takeReferenceSnapshot();
    void completeRecording();
    void captureStep(const std::vector<unsigned char> &frame, const ConversionTable &table,
                     std::vector<double> &samples, std::vector<double> &reference);

    void waitWhilePaused();
    void waitForCaptureStart();
    bool enterStreaming();
    void exitStreaming();
    void streamFrames(LoopState &state);
    PassResult readPass(LoopState &state);
    bool recordSettled(LoopState &state);
    void awaitBytes(LoopState &state);
    void handleRecord(LoopState &state);
    void processFrame(LoopState &state);
    void stampFrame(bool recording);
    void reportSelectedPixel(const std::vector<unsigned char> &frame, const ConversionTable &table);
    void advanceCalibration(const std::vector<unsigned char> &frame, const ConversionTable &table);
    void saveMedia(const QImage &image, bool recordingThisFrame);
    void beginRun();
    void finishRunIfDone();
    void writeNextCommand();

    // Frame values not yet taken; guarded by m_valuesMutex.
    std::mutex m_valuesMutex;
    std::vector<FrameValues> m_pendingValues;
    // Pictures rendered and signalled; see acquirePictures().
    std::atomic<std::uint64_t> m_picturesSent{0};
    // Guarded by m_mutex: whether the loop is inside its streaming (read) loop; leaveStreaming waits on it.
    bool m_streaming = false;
    std::condition_variable m_streamingCondition;
    // Worker thread only: the calibration capture that owns the sample table until its tenth frame.
    CaptureKind m_activeCapture = CaptureKind::None;
    // Worker thread only: the references as the renderer uses them for one frame.
    std::vector<double> m_fullOnSnapshot;
    std::vector<double> m_fullOffSnapshot;
    // Worker thread only: every code's conversion under the parameters it was last built for. Checked against
    // the four atomics at each frame rather than rebuilt by the setters, so a value written any way (the
    // session, a test, the settings load) takes effect at the next frame.
    ConversionTable m_conversionTable;
    // Worker thread only: frames handed to the writer in the current media run (the saved-frame count).
    int m_mediaFrames = 0;
    // Worker thread only: the id of the run being recorded.
    int m_activeRunId = 0;
    // Set from a run's first recorded frame until its end has been handed to the writer; atomic because
    // saveInProgress() reads it from the session's thread.
    std::atomic<bool> m_runOpen{false};
    // Writes the runs' files; declared last so it is stopped before anything its reports use goes away.
    SaveWriter m_writer;
};
