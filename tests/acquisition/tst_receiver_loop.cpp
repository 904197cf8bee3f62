// The acquisition loop on its own thread against a scripted instrument link: reading and cutting records,
// the next request after every cut, read failures, stopping, leaving the stream, calibration captures and
// shutdown.

#include <mutex>
#include <thread>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"

using namespace receivertest;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(std::vector<std::size_t>)

namespace {

// Distinct pixel codes per request, within the positive half so the picture is not black.
int requestCode(int request, int pixel) {
    return (pixel * 37 + request * 1500) & 0x7FFF;
}

Bytes requestRecord(int request) {
    return makeRecord([request](int pixel) { return requestCode(request, pixel); });
}

void configure(ReceiverThread &worker) {
    worker.m_currentMode = true;
    worker.m_integralTime = 64000.0;
    worker.m_integralCurrent = 9.6;
    worker.m_currentRange = 150;
}

}  // namespace

class TestReceiverLoop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void recordsInPortions_data();
    void recordsInPortions();
    void recordBehindStrayBytesIsWaitedFor();
    void recordsBehindStrayBytesInFixedPieces_data();
    void recordsBehindStrayBytesInFixedPieces();
    void recordThatNeverCompletesIsGivenUp();
    void waitsForRecordsInsteadOfPolling();
    void failingStatusCallsCount_data();
    void failingStatusCallsCount();
    void deviceLostWithoutNoticeEndsTheStream();
    void strayBytesInTheSameReadAreSkipped();
    void tenReadFailuresAreTolerated();
    void eleventhReadFailureIsReported();
    void failuresAccumulateAcrossSuccessfulReads();
    void stopCompletesTheFrameInProgress();
    void leaveStreamingCutsAnAwaitedRecord();
    void leaveStreamingWaitsForTheStopCommand();
    void leaveStreamingReturnsAtOnceWhenNotStreaming();
    void selectedPixelReadings();
    void capturesRunOneAtATime();
    void captureResumesAfterAStop();
    void recordingStampsEveryFrame();
    void shutdownWhilePaused();
    void shutdownWhileAwaitingARecord();

private:
    // The expected picture of a request's record, rendered by a worker of the test's own.
    QImage expectedImage(int request);

    QTemporaryDir m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_saveDir;
    std::unique_ptr<FakeInstrumentLink> m_link;
    std::unique_ptr<ReceiverThread> m_worker;
    std::unique_ptr<SignalLog> m_log;
    std::unique_ptr<WorkerRunner> m_runner;
};

void TestReceiverLoop::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestReceiverLoop::init() {
    m_saveDir = std::make_unique<QTemporaryDir>();
    m_link =
        std::make_unique<FakeInstrumentLink>([](int request) { return std::vector<Bytes>{requestRecord(request)}; });
    m_worker = std::make_unique<ReceiverThread>();
    configure(*m_worker);
    m_log = std::make_unique<SignalLog>(*m_worker);
    m_runner = std::make_unique<WorkerRunner>(*m_worker);
    ft::Handle handle = nullptr;
    m_link->openEx("VANTIKO", ft::OpenBySerialNumber, &handle);
    m_runner->attach(m_link.get(), handle);
    m_runner->start();
}

void TestReceiverLoop::cleanup() {
    if (m_runner) {
        QVERIFY(m_runner->shutdown());
    }
    m_runner.reset();
    m_log.reset();
    m_worker.reset();
    m_link.reset();
}

QImage TestReceiverLoop::expectedImage(int request) {
    ReceiverThread renderer;
    configure(renderer);
    return renderer.renderFrame(makeFrame([request](int pixel) { return requestCode(request, pixel); }));
}

void TestReceiverLoop::recordsInPortions_data() {
    QTest::addColumn<std::vector<std::size_t>>("portions");
    QTest::newRow("whole record") << std::vector<std::size_t>{8200};
    QTest::newRow("1 + rest") << std::vector<std::size_t>{1};
    QTest::newRow("header apart") << std::vector<std::size_t>{6, 8192, 2};
    QTest::newRow("halves and the closing bytes") << std::vector<std::size_t>{4096, 4096, 8};
    QTest::newRow("all but the last byte") << std::vector<std::size_t>{8199};
    QTest::newRow("82 portions of 100") << std::vector<std::size_t>(82, 100);
    QTest::newRow("odd sizes") << std::vector<std::size_t>{333, 1, 4000, 17, 2222, 999};
}

void TestReceiverLoop::recordsInPortions() {
    QFETCH(std::vector<std::size_t>, portions);
    m_link->setRecordSource([portions](int request) { return splitBytes(requestRecord(request), portions); });
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->images.size() >= 3);
    for (int request = 0; request < 3; ++request) {
        QCOMPARE(m_log->images[request], expectedImage(request));
    }
    // One request by the start, then one after every cut.
    QVERIFY(m_link->count(kFrameRequest) >= 4);
    QCOMPARE(m_link->count(kStartCommand), 1);
    QVERIFY(m_link->largestReadAsked() <= 8200);
}

void TestReceiverLoop::recordBehindStrayBytesIsWaitedFor() {
    // Ten stray bytes ahead of the first record: the count reaches 8200 while its last ten bytes are still
    // on the way. The loop reads on until they are in, so the record still yields its frame, and the next
    // request goes out only then.
    m_link->setRecordSource([](int request) {
        if (request == 0) {
            return splitBytes(requestRecord(0), {8190});
        }
        return std::vector<Bytes>{requestRecord(request)};
    });
    m_link->queueNow(Bytes(10, 0x11));
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->images.size() >= 2);
    QCOMPARE(m_log->images[0], expectedImage(0));
    QCOMPARE(m_log->images[1], expectedImage(1));
}

void TestReceiverLoop::recordsBehindStrayBytesInFixedPieces_data() {
    QTest::addColumn<int>("piece");
    QTest::addColumn<int>("stray");
    QTest::addColumn<bool>("strayApart");  // the stray bytes are read on their own, not in the first piece
    for (const int piece : {64, 510, 512, 4096}) {
        for (const int stray : {1, 10, 40, 511, 600}) {
            QTest::addRow("pieces of %d, %d stray bytes apart", piece, stray) << piece << stray << true;
            QTest::addRow("pieces of %d, %d stray bytes in them", piece, stray) << piece << stray << false;
        }
    }
}

void TestReceiverLoop::recordsBehindStrayBytesInFixedPieces() {
    // Stray bytes ahead of every other record, all of it arriving in fixed-size USB pieces: the total
    // reaches 8200 before such a record's end has come. Every record must still become its picture, with
    // one request per record.
    QFETCH(int, piece);
    QFETCH(int, stray);
    QFETCH(bool, strayApart);
    m_link->setRecordSource([piece, stray, strayApart](int request) {
        const Bytes strayBytes(request % 2 == 0 ? std::size_t(stray) : 0, 0x5A);
        Bytes bytes = strayApart ? Bytes{} : strayBytes;
        const Bytes record = requestRecord(request);
        bytes.insert(bytes.end(), record.begin(), record.end());
        std::vector<Bytes> portions =
            splitBytes(bytes, std::vector<std::size_t>(bytes.size() / std::size_t(piece), std::size_t(piece)));
        if (strayApart && !strayBytes.empty()) {
            portions.insert(portions.begin(), strayBytes);
        }
        return portions;
    });
    constexpr int records = 6;
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->images.size() >= std::size_t(records));
    m_runner->stopCapture();
    for (int request = 0; request < records; ++request) {
        QCOMPARE(m_log->images[request], expectedImage(request));
    }
    // The start's request, then one command per picture: requests, and the stop after the last.
    QTRY_COMPARE(m_log->images.size(), std::size_t(m_link->count(kFrameRequest)));
    QCOMPARE(m_link->count(kStopCommand), 1);
    QVERIFY(m_link->largestReadAsked() <= 8200);
}

void TestReceiverLoop::recordThatNeverCompletesIsGivenUp() {
    // The header is in, but the frame behind it never completes: after the read timeout the record is
    // given up without a frame, and the next request brings the next record.
    m_link->setRecordSource([](int request) {
        if (request == 0) {
            Bytes bytes(300, 0x33);
            const Bytes record = requestRecord(0);
            bytes.insert(bytes.end(), record.begin(), record.begin() + 8000);
            return std::vector<Bytes>{bytes};
        }
        return std::vector<Bytes>{requestRecord(request)};
    });
    m_runner->beginCapture();
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->images.empty(), 6000);
    QCOMPARE(m_log->images[0], expectedImage(1));
    QVERIFY(m_link->count(kFrameRequest) >= 3);
    QVERIFY(m_log->errors.isEmpty());
}

void TestReceiverLoop::waitsForRecordsInsteadOfPolling() {
    // No record comes: the loop sleeps on the link between status calls instead of asking again at once.
    m_link->setAnswering(false);
    m_runner->beginCapture();
    QTRY_VERIFY(m_link->waits() > 0);
    const int before = m_link->statusCalls();
    QTest::qWait(300);
    // A loop that spins makes many thousands of calls in this time; one that waits, about fifteen.
    QVERIFY2(m_link->statusCalls() - before < 100, qPrintable(QString::number(m_link->statusCalls() - before)));
    // A record that arrives ends the wait.
    m_link->queueNow(requestRecord(0));
    QTRY_COMPARE(m_log->images.size(), std::size_t(1));
    QCOMPARE(m_log->images[0], expectedImage(0));
}

void TestReceiverLoop::failingStatusCallsCount_data() {
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("errors");
    QTest::newRow("ten are tolerated") << 10 << 0;
    QTest::newRow("the eleventh is reported") << 11 << 1;
}

void TestReceiverLoop::failingStatusCallsCount() {
    // A status call that fails counts like a failed read.
    QFETCH(int, failures);
    QFETCH(int, errors);
    m_link->failStatusCalls(failures);
    m_runner->beginCapture();
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->images.empty(), 5000);
    QCOMPARE(m_log->images[0], expectedImage(0));
    QCoreApplication::processEvents();
    QCOMPARE(int(m_log->errors.size()), errors);
    QCOMPARE(m_link->failedReads(), 0);
}

void TestReceiverLoop::deviceLostWithoutNoticeEndsTheStream() {
    // The device goes away and nobody says so: only the status calls show it. The loop reports it through
    // the error path instead of waiting for a record for ever, and again for every further run of failures.
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->images.size() >= 2);
    m_link->loseDevice();
    QTRY_COMPARE_WITH_TIMEOUT(m_log->errors.size(), 1, 5000);
    QCOMPARE(m_log->errors.front(), QStringLiteral("Failed to get device status"));
    // The status calls did it: a read fails only if the loss came between a status call and its read.
    QVERIFY(m_link->failedReads() <= 1);
    // The window ends the capture on the signal; here nobody does, so failures keep being reported.
    QTRY_COMPARE_WITH_TIMEOUT(m_log->errors.size(), 2, 5000);
}

void TestReceiverLoop::strayBytesInTheSameReadAreSkipped() {
    // 800 stray bytes queued together with the record: more than one read buffer in all. Every record is
    // still found, and the reads stay within the buffer.
    m_link->setRecordSource([](int request) {
        Bytes bytes(800, 0x22);
        const Bytes record = requestRecord(request);
        bytes.insert(bytes.end(), record.begin(), record.end());
        return std::vector<Bytes>{bytes};
    });
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->images.size() >= 3);
    for (int request = 0; request < 3; ++request) {
        QCOMPARE(m_log->images[request], expectedImage(request));
    }
    QCOMPARE(m_link->largestReadAsked(), 8200u);
}

void TestReceiverLoop::tenReadFailuresAreTolerated() {
    m_link->scriptReads(std::vector<bool>(10, true));
    m_runner->beginCapture();
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->images.empty(), 5000);
    QCOMPARE(m_link->failedReads(), 10);
    QCOMPARE(m_log->images[0], expectedImage(0));
    QCoreApplication::processEvents();
    QVERIFY(m_log->errors.isEmpty());
}

void TestReceiverLoop::eleventhReadFailureIsReported() {
    m_link->scriptReads(std::vector<bool>(11, true));
    m_runner->beginCapture();
    QTRY_COMPARE_WITH_TIMEOUT(m_log->errors.size(), 1, 5000);
    QCOMPARE(m_log->errors.front(), QStringLiteral("Failed to get device status"));
    QCOMPARE(m_log->imagesBeforeError.front(), std::size_t(0));
    // Capture is still on: the loop goes back to reading and the record comes through.
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->images.empty(), 5000);
    QCOMPARE(m_log->errors.size(), 1);
}

void TestReceiverLoop::failuresAccumulateAcrossSuccessfulReads() {
    // The record trickles in, so there is something to read on many passes.
    m_link->setRecordSource(
        [](int request) { return splitBytes(requestRecord(request), std::vector<std::size_t>(82, 100)); });
    std::vector<bool> script(5, true);
    script.insert(script.end(), 3, false);
    script.insert(script.end(), 6, true);
    m_link->scriptReads(script);
    m_runner->beginCapture();
    QTRY_COMPARE_WITH_TIMEOUT(m_log->errors.size(), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_log->images.empty(), 5000);
    QCOMPARE(m_link->failedReads(), 11);
}

void TestReceiverLoop::stopCompletesTheFrameInProgress() {
    // The first record arrives only in part before the stop is asked for.
    const Bytes record = requestRecord(0);
    m_link->setRecordSource([record](int request) {
        if (request == 0) {
            return std::vector<Bytes>{Bytes(record.begin(), record.begin() + 4000)};
        }
        return std::vector<Bytes>{requestRecord(request)};
    });
    m_runner->beginCapture();
    QTRY_VERIFY(m_link->statusCalls() > 20);
    // The window's stop: the pause does not interrupt the record in progress.
    m_worker->pauseAfterFrame();
    m_link->queueNow(Bytes(record.begin() + 4000, record.end()));
    QTRY_COMPARE(m_link->count(kStopCommand), 1);
    QTRY_COMPARE(m_log->images.size(), std::size_t(1));
    QCOMPARE(m_log->images[0], expectedImage(0));
    m_worker->leaveStreaming(0ms);
    QCOMPARE(m_link->writes(), (std::vector<Bytes>{kStartCommand, kFrameRequest, kStopCommand}));
    QCOMPARE(m_worker->phase(), ReceiverThread::LoopPhase::Paused);
    // Paused: no more polling.
    const int calls = m_link->statusCalls();
    QTest::qWait(50);
    QCOMPARE(m_link->statusCalls(), calls);
}

void TestReceiverLoop::leaveStreamingCutsAnAwaitedRecord() {
    m_link->setAnswering(false);
    m_runner->beginCapture();
    QTRY_VERIFY(m_link->statusCalls() > 20);
    QElapsedTimer timer;
    timer.start();
    m_worker->leaveStreaming(0ms);
    QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
    // Back at the pause gate: no polling, no command written.
    const int calls = m_link->statusCalls();
    QTest::qWait(50);
    QCOMPARE(m_link->statusCalls(), calls);
    QCOMPARE(m_link->writes(), (std::vector<Bytes>{kStartCommand, kFrameRequest}));

    // The next start streams again.
    m_link->setAnswering(true);
    m_runner->beginCapture();
    QTRY_VERIFY(!m_log->images.empty());
}

void TestReceiverLoop::leaveStreamingWaitsForTheStopCommand() {
    const Bytes record = requestRecord(0);
    m_link->setRecordSource([record](int request) {
        if (request == 0) {
            return std::vector<Bytes>{Bytes(record.begin(), record.begin() + 100)};
        }
        return std::vector<Bytes>{requestRecord(request)};
    });
    m_runner->beginCapture();
    QTRY_VERIFY(m_link->statusCalls() > 20);
    // The rest of the record comes while the window waits.
    std::thread late([this, record] {
        std::this_thread::sleep_for(150ms);
        m_link->queueNow(Bytes(record.begin() + 100, record.end()));
    });
    QElapsedTimer timer;
    timer.start();
    m_worker->pauseAfterFrame();
    m_worker->leaveStreaming(3000ms);
    const qint64 waited = timer.elapsed();
    late.join();
    QVERIFY2(waited >= 100 && waited < 2500, qPrintable(QString::number(waited)));
    QCOMPARE(m_link->writes().back(), kStopCommand);
    QTRY_COMPARE(m_log->images.size(), std::size_t(1));
}

void TestReceiverLoop::leaveStreamingReturnsAtOnceWhenNotStreaming() {
    // Paused at the gate since the thread started.
    QElapsedTimer timer;
    timer.start();
    m_worker->leaveStreaming(3000ms);
    QVERIFY(timer.elapsed() < 500);

    // A worker whose thread never ran.
    ReceiverThread idle;
    timer.restart();
    idle.leaveStreaming(3000ms);
    QVERIFY(timer.elapsed() < 500);
    QCOMPARE(idle.phase(), ReceiverThread::LoopPhase::Paused);
}

void TestReceiverLoop::selectedPixelReadings() {
    m_worker->m_selectedIndex = 4095;
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->readings.size() >= 2);
    ReceiverThread reference;
    configure(reference);
    QCOMPARE(m_log->readings[0], reference.codeToCurrent(requestCode(0, 4095)));
    QCOMPARE(m_log->readings[1], reference.codeToCurrent(requestCode(1, 4095)));

    // Outside the frame: no readings, but pictures go on.
    m_worker->m_selectedIndex = 4096;
    QTest::qWait(20);
    QCoreApplication::processEvents();
    const std::size_t readings = m_log->readings.size();
    const std::size_t images = m_log->images.size();
    QTRY_VERIFY(m_log->images.size() >= images + 3);
    QCOMPARE(m_log->readings.size(), readings);
}

void TestReceiverLoop::capturesRunOneAtATime() {
    // Frame n is uniform with code (n + 1) x 1000.
    m_link->setRecordSource(
        [](int request) { return std::vector<Bytes>{makeRecord([request](int) { return (request + 1) * 1000; })}; });
    m_worker->m_calibrationOn = true;
    m_worker->requestFullOff();
    m_worker->requestFullOn();
    m_runner->beginCapture();
    QTRY_COMPARE(m_log->events, (QStringList{QStringLiteral("max"), QStringLiteral("min")}));
    QVERIFY(!m_worker->calibration().fullOnRequested());
    QVERIFY(!m_worker->calibration().fullOffRequested());

    // Full-on from frames 0 to 9, full-off from frames 10 to 19: each reduction saw its own ten frames.
    ReceiverThread reference;
    configure(reference);
    for (int frame = 0; frame < 10; ++frame) {
        reference.setMax(uniformFrame((frame + 1) * 1000));
    }
    for (int frame = 10; frame < 20; ++frame) {
        reference.setMin(uniformFrame((frame + 1) * 1000));
    }
    m_runner->stopCapture();
    QCOMPARE(m_worker->fullOnReference(), reference.fullOnReference());
    QCOMPARE(m_worker->fullOffReference(), reference.fullOffReference());
    QVERIFY(m_worker->fullOnReference()[0] != 150.0);
    QCOMPARE(m_worker->calibration().framesTaken(), 0);
}

void TestReceiverLoop::captureResumesAfterAStop() {
    m_link->setRecordSource(
        [](int request) { return std::vector<Bytes>{makeRecord([request](int) { return (request + 1) * 100; })}; });
    m_runner->beginCapture();
    QTRY_VERIFY(m_log->images.size() >= 2);
    m_runner->stopCapture();
    QCOMPARE(m_worker->phase(), ReceiverThread::LoopPhase::Paused);
    const std::size_t before = m_log->images.size();
    m_worker->requestFullOn();  // armed while stopped: waits for frames
    QTest::qWait(30);
    QCOMPARE(m_worker->calibration().framesTaken(), 0);

    m_runner->beginCapture();
    QTRY_COMPARE(m_log->events, QStringList{QStringLiteral("max")});
    QVERIFY(m_log->images.size() >= before + 10);
    QCOMPARE(m_link->count(kStartCommand), 2);
    QCOMPARE(m_link->count(kStopCommand), 1);
}

void TestReceiverLoop::recordingStampsEveryFrame() {
    ReceiverThread::SaveRun run = saveRun(3, m_saveDir->path(), QStringLiteral("run"));
    run.data = true;
    m_worker->startSaveRun(run);
    m_runner->beginCapture();
    QTRY_COMPARE(m_log->progress, (std::vector<int>{1, 2, 3, 3}));
    QTRY_VERIFY(!m_worker->saveInProgress());

    QFile file(m_saveDir->filePath(QStringLiteral("run/run_current.csv")));
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    const QRegularExpression timeLine(QStringLiteral("^Time: \\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}$"));
    QCOMPARE(lines.filter(timeLine).size(), 3);
    QCOMPARE(lines.size(), 3 * 66 + 1);
    // Frames are recorded in order: the first row of frame 0 holds request 0's currents.
    ReceiverThread reference;
    configure(reference);
    QCOMPARE(lines.at(1).section(QLatin1Char(','), 1, 1), QString::number(reference.codeToCurrent(requestCode(0, 1))));
}

void TestReceiverLoop::shutdownWhilePaused() {
    QTest::qWait(20);
    QVERIFY(m_runner->shutdown());
    QTRY_COMPARE(m_log->finished, 1);
    QVERIFY(m_link->writes().empty());
    QCOMPARE(m_link->statusCalls(), 0);
}

void TestReceiverLoop::shutdownWhileAwaitingARecord() {
    m_link->setAnswering(false);
    m_runner->beginCapture();
    QTRY_VERIFY(m_link->statusCalls() > 20);
    QVERIFY(m_runner->shutdown());
    QTRY_COMPARE(m_log->finished, 1);
    // The loop ended after its pass, without a stop command.
    QCOMPARE(m_link->writes(), (std::vector<Bytes>{kStartCommand, kFrameRequest}));
}

QTEST_GUILESS_MAIN(TestReceiverLoop)
#include "tst_receiver_loop.moc"
