// The acquisition worker on its own thread against the simulated instrument: frames and readings, stop,
// read failures, shutdown, leaving the stream, and a save run with CSV data, pictures and video.

#include <cmath>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"
#include "SimulatedLink.h"
#include "TextFile.h"

using namespace receivertest;
using namespace std::chrono_literals;

namespace {

bool isCommand(const std::vector<std::uint8_t> &bytes, const Bytes &command) {
    return bytes == command;
}

}  // namespace

class TestReceiverSimulator : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void framesAndReadingsArrive();
    void stopCompletesTheFrameAndSendsTheStopCommand();
    void eleventhReadFailureRaisesAnError();
    void shutdownWhilePaused();
    void shutdownWhileARecordIsAwaited();
    void leaveStreamingAtOnceWhileARecordIsAwaited();
    void saveFiveFramesWithDataPicturesAndVideo();
    void saveFolderThatCannotBeCreated();
    void videoFileThatCannotBeCreated();
    void framesFlowWhileAFileWaitsForTheDisk();

private:
    // Resumes the loop and starts the instrument without asking for a frame: the loop then waits for a
    // record that does not come.
    void streamWithoutRequest();
    std::vector<std::vector<std::uint8_t>> commands() const { return m_link->instrument()->receivedCommands(); }

    QTemporaryDir m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_saveDir;
    std::unique_ptr<SimulatedLink> m_link;
    ft::Handle m_handle = nullptr;
    std::unique_ptr<ReceiverThread> m_worker;
    std::unique_ptr<SignalLog> m_log;
    std::unique_ptr<WorkerRunner> m_runner;
};

void TestReceiverSimulator::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestReceiverSimulator::init() {
    m_saveDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_saveDir->isValid());
    m_link = std::make_unique<SimulatedLink>();
    QCOMPARE(m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &m_handle), ft::Status(ft::Ok));
    m_worker = std::make_unique<ReceiverThread>();
    // The instrument's parameters as it starts: 100 nA range, 9.6 pF, 7296 ticks of 12.5 ns, positive.
    m_worker->m_currentMode = true;
    m_worker->m_integralCurrent = 9.6;
    m_worker->m_integralTime = 7296 * 12.5;
    m_worker->m_currentRange = 100;
    m_log = std::make_unique<SignalLog>(*m_worker);
    m_runner = std::make_unique<WorkerRunner>(*m_worker);
    m_runner->attach(m_link.get(), m_handle);
    m_runner->start();
}

void TestReceiverSimulator::cleanup() {
    if (m_runner) {
        QVERIFY(m_runner->shutdown());
    }
    m_runner.reset();
    m_log.reset();
    m_worker.reset();
    if (m_link) {
        m_link->close(m_handle);
    }
    m_link.reset();
}

void TestReceiverSimulator::streamWithoutRequest() {
    m_worker->resume();
    std::uint32_t written = 0;
    m_link->write(m_handle, kStartCommand.data(), 8, &written);
    m_worker->beginStreaming();
}

void TestReceiverSimulator::framesAndReadingsArrive() {
    m_worker->m_selectedIndex = 64 * 32 + 32;
    m_runner->beginCapture();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->images.size() >= 5, 10000);
    QTRY_VERIFY(m_log->readings.size() >= 5);
    for (const QImage &image : m_log->images) {
        QCOMPARE(image.size(), QSize(64, 64));
        QCOMPARE(image.format(), QImage::Format_Grayscale8);
    }
    // A lit scene: not a black picture, and currents within the range.
    const QImage &last = m_log->images.back();
    int brightest = 0;
    for (int row = 0; row < 64; ++row) {
        brightest = std::max(brightest, int(*std::max_element(last.constScanLine(row), last.constScanLine(row) + 64)));
    }
    QVERIFY(brightest > 0);
    for (double current : m_log->readings) {
        QVERIFY(std::isfinite(current));
        QVERIFY(current >= 0.0 && current <= 100.0);
    }
}

void TestReceiverSimulator::stopCompletesTheFrameAndSendsTheStopCommand() {
    m_runner->beginCapture();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->images.size() >= 3, 10000);
    m_runner->stopCapture(2000ms);
    QCOMPARE(m_worker->phase(), ReceiverThread::LoopPhase::Paused);
    const auto received = commands();
    QVERIFY(!received.empty());
    QVERIFY(isCommand(received.back(), kStopCommand));
    QVERIFY(!m_link->instrument()->started());
    // Every record the instrument sent became a picture: the frame in progress was completed.
    const auto sent = m_link->instrument()->recordsSent();
    QTRY_COMPARE(m_log->images.size(), std::size_t(sent));
    // Requests: one from the start, one after each frame but the last, which got the stop command.
    const auto requests = std::count_if(received.begin(), received.end(),
                                        [](const auto &bytes) { return isCommand(bytes, kFrameRequest); });
    QCOMPARE(std::size_t(requests), std::size_t(sent));
    // Paused: no further frames.
    QTest::qWait(100);
    QCOMPARE(m_log->images.size(), std::size_t(sent));
}

void TestReceiverSimulator::eleventhReadFailureRaisesAnError() {
    m_link->instrument()->failReads(11);
    m_runner->beginCapture();
    QTRY_COMPARE_WITH_TIMEOUT(m_log->errors.size(), 1, 5000);
    QCOMPARE(m_log->errors.front(), QStringLiteral("Failed to get device status"));
    QCOMPARE(m_log->imagesBeforeError.front(), std::size_t(0));
    // Capture is still on, and the stream goes on once reads succeed again.
    QTRY_VERIFY_WITH_TIMEOUT(m_log->images.size() >= 2, 5000);
    QCOMPARE(m_log->errors.size(), 1);
}

void TestReceiverSimulator::shutdownWhilePaused() {
    QTest::qWait(20);
    QVERIFY(m_runner->shutdown());
    QTRY_COMPARE(m_log->finished, 1);
    QVERIFY(commands().empty());
}

void TestReceiverSimulator::shutdownWhileARecordIsAwaited() {
    streamWithoutRequest();
    QTest::qWait(50);
    QVERIFY(m_runner->shutdown());
    QTRY_COMPARE(m_log->finished, 1);
    const auto received = commands();
    QCOMPARE(received.size(), std::size_t(1));
    QVERIFY(isCommand(received.front(), kStartCommand));
}

void TestReceiverSimulator::leaveStreamingAtOnceWhileARecordIsAwaited() {
    streamWithoutRequest();
    QTest::qWait(50);
    QElapsedTimer timer;
    timer.start();
    m_worker->leaveStreaming(0ms);
    QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(commands().size(), std::size_t(1));

    // At the pause gate: a record that arrives now is left in the queue ...
    std::uint32_t written = 0;
    m_link->write(m_handle, kFrameRequest.data(), 8, &written);
    QTRY_VERIFY(m_link->instrument()->bytesQueued() >= 8200);
    QTest::qWait(100);
    QVERIFY(m_log->images.empty());
    // ... until the loop is resumed and told to stream again.
    m_worker->resume();
    m_worker->beginStreaming();
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->images.empty(), 5000);
}

void TestReceiverSimulator::saveFiveFramesWithDataPicturesAndVideo() {
    const QString directory = m_saveDir->path();
    const QString name = QStringLiteral("scan");
    QVERIFY(QDir(directory).mkpath(name));
    // Published first, then the flags, as the window does.
    m_worker->m_videoFps = 20;
    ReceiverThread::SaveRun run = saveRun(5, directory, name);
    run.data = true;
    run.pictures = true;
    run.video = true;
    m_worker->startSaveRun(run);
    m_runner->beginCapture();

    QTRY_COMPARE_WITH_TIMEOUT(m_log->progress, (std::vector<int>{1, 2, 3, 4, 5, 5}), 10000);
    QTRY_VERIFY(!m_worker->saveInProgress());
    // A following frame saves nothing.
    const std::size_t seen = m_log->images.size();
    QTRY_VERIFY(m_log->images.size() >= seen + 3);
    m_runner->stopCapture(2000ms);

    const QString base = directory + QLatin1Char('/') + name + QLatin1Char('/') + name;
    const QRegularExpression timeLine(QStringLiteral("^Time: \\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}$"));
    const QRegularExpression currentRow(QStringLiteral("^(-?[0-9.e+-]+,){63}-?[0-9.e+-]+$"));
    const QRegularExpression grayRow(QStringLiteral("^([0-9]+,){63}[0-9]+$"));
    for (const QString &suffix : {QStringLiteral("_current.csv"), QStringLiteral("_gray.csv")}) {
        const QStringList lines = readTextFile(base + suffix).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5 * 66 + 1);  // the last line end leaves an empty piece
        for (int frame = 0; frame < 5; ++frame) {
            QVERIFY(timeLine.match(lines.at(frame * 66)).hasMatch());
            for (int row = 1; row <= 64; ++row) {
                const QString &line = lines.at(frame * 66 + row);
                QVERIFY2((suffix.contains(QStringLiteral("gray")) ? grayRow : currentRow).match(line).hasMatch(),
                         qPrintable(line.left(80)));
            }
            QCOMPARE(lines.at(frame * 66 + 65), QString());
        }
    }
    // The gray values are the pictures' bytes, frame by frame.
    const QStringList grays = readTextFile(base + QStringLiteral("_gray.csv")).split(QLatin1Char('\n'));
    for (int frame = 0; frame < 5; ++frame) {
        QCOMPARE(grays.at(frame * 66 + 1).section(QLatin1Char(','), 5, 5).toInt(),
                 int(m_log->images[frame].constScanLine(0)[5]));
    }
    QCOMPARE(readTextFile(base + QStringLiteral("_fullon.csv")).count(QLatin1Char('\n')), 65);
    QVERIFY(readTextFile(base + QStringLiteral("_fullon.csv")).startsWith(QStringLiteral("150,150,")));
    QVERIFY(readTextFile(base + QStringLiteral("_fulloff.csv")).startsWith(QStringLiteral("0,0,")));

    // Five pictures, each the picture the window was sent for that frame.
    const QDir pictures(directory + QLatin1Char('/') + name + QStringLiteral("/pic"));
    QCOMPARE(pictures.entryList(QDir::Files).size(), 5);
    for (int k = 1; k <= 5; ++k) {
        QImage picture(pictures.filePath(QStringLiteral("scan_%1.png").arg(k)));
        QCOMPARE(picture.size(), QSize(64, 64));
        QVERIFY(picture.isGrayscale());
        QCOMPARE(picture.convertToFormat(QImage::Format_Grayscale8), m_log->images[k - 1]);
    }

    const QString video = base + QStringLiteral("_output_video.mp4");
    QVERIFY(QFile::exists(video));
    const QString ffprobe = QStandardPaths::findExecutable(QStringLiteral("ffprobe"));
    if (ffprobe.isEmpty()) {
        QSKIP("ffprobe is not installed; the video's frames cannot be counted");
    }
    QProcess probe;
    probe.start(ffprobe, {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_frames"),
                          QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                          QStringLiteral("stream=codec_name,width,height,nb_read_frames"), QStringLiteral("-of"),
                          QStringLiteral("csv=p=0"), video});
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), QStringLiteral("mpeg4,64,64,5"));
}

void TestReceiverSimulator::saveFolderThatCannotBeCreated() {
    // A file stands where the save directory should be.
    QFile blocker(m_saveDir->filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ReceiverThread::SaveRun run = saveRun(5, blocker.fileName(), QStringLiteral("scan"));
    run.pictures = true;
    run.video = true;
    m_worker->startSaveRun(run);
    m_runner->beginCapture();

    QTRY_COMPARE_WITH_TIMEOUT(m_log->saveFailures.size(), 1, 10000);
    QCOMPARE(m_log->saveFailures.front(), QStringLiteral("Save failed: could not create the save folder."));
    // Nothing of the run can be written: it ends at once, and acquisition goes on.
    QTRY_VERIFY(!m_worker->saveInProgress());
    QVERIFY(m_log->progress.size() < 5);
    const std::size_t seen = m_log->images.size();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->images.size() >= seen + 5, 10000);
    QCOMPARE(m_log->saveFailures.size(), 1);
}

void TestReceiverSimulator::videoFileThatCannotBeCreated() {
    // The folder can be made, but a directory stands where the video file should go.
    const QString name = QStringLiteral("scan");
    QVERIFY(QDir(m_saveDir->path()).mkpath(name + QLatin1Char('/') + name + QStringLiteral("_output_video.mp4")));
    ReceiverThread::SaveRun run = saveRun(3, m_saveDir->path(), name);
    run.video = true;
    m_worker->startSaveRun(run);
    m_runner->beginCapture();

    QTRY_COMPARE_WITH_TIMEOUT(m_log->saveFailures.size(), 1, 10000);
    QCOMPARE(m_log->saveFailures.front(), QStringLiteral("Save failed: could not create the video file."));
    const std::size_t seen = m_log->images.size();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->images.size() >= seen + 3, 10000);

    // The next run with a usable name saves normally.
    QTRY_VERIFY(!m_worker->saveInProgress());
    ReceiverThread::SaveRun second = saveRun(3, m_saveDir->path(), QStringLiteral("second"));
    second.pictures = true;
    m_worker->startSaveRun(second);
    QTRY_VERIFY_WITH_TIMEOUT(!m_worker->saveInProgress(), 10000);
    QCOMPARE(QDir(m_saveDir->filePath(QStringLiteral("second/pic"))).entryList(QDir::Files).size(), 3);
}

void TestReceiverSimulator::framesFlowWhileAFileWaitsForTheDisk() {
    // A named pipe stands where the first CSV file goes: writing it waits until the test reads it, as a
    // stalled disk would. Meanwhile the loop must go on reading and showing frames.
    const QString name = QStringLiteral("scan");
    QVERIFY(QDir(m_saveDir->path()).mkpath(name));
    const QString pipe = m_saveDir->filePath(name + QLatin1Char('/') + name + QStringLiteral("_current.csv"));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    ReceiverThread::SaveRun run = saveRun(2, m_saveDir->path(), name);
    run.data = true;
    m_worker->startSaveRun(run);
    m_runner->beginCapture();

    QTRY_COMPARE_WITH_TIMEOUT(m_log->progress, (std::vector<int>{1, 2, 2}), 10000);
    const std::size_t seen = m_log->images.size();
    QTRY_VERIFY_WITH_TIMEOUT(m_log->images.size() >= seen + 10, 10000);
    QVERIFY(m_worker->saveInProgress());
    QVERIFY(!QFile::exists(m_saveDir->filePath(name + QLatin1Char('/') + name + QStringLiteral("_gray.csv"))));

    QFile reader(pipe);
    QVERIFY(reader.open(QIODevice::ReadOnly));
    const QByteArray written = reader.readAll();
    QCOMPARE(written.count('\n'), 2 * 66);
    QTRY_VERIFY_WITH_TIMEOUT(!m_worker->saveInProgress(), 10000);
    QCOMPARE(readTextFile(m_saveDir->filePath(name + QLatin1Char('/') + name + QStringLiteral("_gray.csv")))
                 .count(QLatin1Char('\n')),
             2 * 66);
}

QTEST_GUILESS_MAIN(TestReceiverSimulator)
#include "tst_receiver_simulator.moc"
