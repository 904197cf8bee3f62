// Long runs through the instrument session against the unpaced simulated instrument, with faults injected
// while save runs come and go: read failures, stray bytes around records, records in uneven pieces, bursts
// of failures that end the capture, and the instrument pulled and plugged back. Figures go to standard
// output, each line starting with "soak:".
//
// VANTIKO_SOAK_FRAMES sets the frames to stream (default 10000), VANTIKO_SOAK_UNPLUGS the unplug cycles
// (default 100). The long run: VANTIKO_SOAK_FRAMES=100000 ctest --test-dir build -L soak -V --timeout 3600

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "CommandProtocol.h"
#include "InstrumentSession.h"
#include "SimulatedLink.h"

using Session = InstrumentSession;

namespace {

// The simulated link, counting the frame requests the instrument was sent.
class CountingLink : public SimulatedLink {
public:
    ft::Status write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                     std::uint32_t *bytesWritten) override {
        const ft::Status status = SimulatedLink::write(handle, buffer, bytesToWrite, bytesWritten);
        const auto &request = CommandProtocol::frameRequest;
        if (status == ft::Ok && bytesToWrite == request.size() &&
            std::memcmp(buffer, request.data(), request.size()) == 0) {
            ++m_requests;
        }
        return status;
    }
    std::uint64_t requests() const { return m_requests.load(); }

private:
    std::atomic<std::uint64_t> m_requests{0};
};

long environmentCount(const char *name, long fallback) {
    bool ok = false;
    const long value = qEnvironmentVariable(name).toLong(&ok);
    return ok && value > 0 ? value : fallback;
}

// Resident set size of this process, in MiB.
double residentMib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

int lineCount(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return static_cast<int>(file.readAll().count('\n'));
}

// What the user would have been told, counted by kind.
struct UserReports {
    int removed = 0;      // "Device disconnected."
    int readFailure = 0;  // "Error Occurred."
    int connectFailures = 0;
    QStringList saveFailures;

    int total() const { return removed + readFailure + connectFailures + static_cast<int>(saveFailures.size()); }
};

}  // namespace

class TestSoak : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void streamWithFaultsWhileSaving();
    void unplugDuringCapture();

private:
    // Connects and starts capturing; false (with the reason in the log) when that did not work.
    bool connectAndCapture();
    // Checks a finished run's files: parameter file, four CSVs, pictures and video as asked.
    bool verifyRun(const Session::SaveRequest &request, int pictureEvery, QString *problem);

    QTemporaryDir m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_saveDir;
    std::unique_ptr<CountingLink> m_link;
    std::unique_ptr<Session> m_session;
    UserReports m_reports;
    long m_frames = 0;
    int m_failedReadsThisCapture = 0;
    QElapsedTimer m_sinceFrame;
};

void TestSoak::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
    // A hundred thousand frames of debug lines would drown the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("vantiko.*.debug=false"));
}

void TestSoak::init() {
    m_saveDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_saveDir->isValid());
    m_link = std::make_unique<CountingLink>();
    m_link->instrument()->setPaced(false);
    m_session = std::make_unique<Session>(m_link.get());
    m_reports = UserReports{};
    m_frames = 0;
    connect(m_session.get(), &Session::frameReady, this, [this] {
        ++m_frames;
        m_sinceFrame.restart();
    });
    connect(m_session.get(), &Session::disconnected, this, [this](Session::DisconnectReason reason) {
        if (reason == Session::DisconnectReason::Removed) {
            ++m_reports.removed;
        } else if (reason == Session::DisconnectReason::ReadFailure) {
            ++m_reports.readFailure;
        }
    });
    connect(m_session.get(), &Session::connectFinished, this, [this](Session::ConnectOutcome outcome) {
        if (outcome != Session::ConnectOutcome::Connected) {
            ++m_reports.connectFailures;
        }
    });
    connect(m_session.get(), &Session::saveFailed, this,
            [this](const QString &message) { m_reports.saveFailures << message; });
}

void TestSoak::cleanup() {
    m_session.reset();
    m_link.reset();
    m_saveDir.reset();
}

bool TestSoak::connectAndCapture() {
    m_session->connectInstrument();
    m_session->startCapture();
    const bool capturing = QTest::qWaitFor([this] { return m_session->isIdle() && m_session->isCapturing(); }, 10000);
    if (!capturing) {
        qWarning("connected %d, capturing %d, idle %d", m_session->isConnected(), m_session->isCapturing(),
                 m_session->isIdle());
    }
    m_sinceFrame.restart();
    m_failedReadsThisCapture = 0;
    return capturing;
}

bool TestSoak::verifyRun(const Session::SaveRequest &request, int pictureEvery, QString *problem) {
    const QString base = QStringLiteral("%1/%2/%2").arg(request.directory, request.name);
    const auto fail = [problem](const QString &text) {
        *problem = text;
        return false;
    };
    QFile parameters(base + QStringLiteral("_SetParameterData.txt"));
    if (!parameters.open(QIODevice::ReadOnly) ||
        QString::fromUtf8(parameters.readAll()) != m_session->settingsSummary()) {
        return fail(QStringLiteral("parameter file missing or not the setting"));
    }
    if (request.data) {
        // A frame is a time line, 64 rows and a blank line; a reference is 64 rows and a blank line.
        for (const char *suffix : {"_current.csv", "_gray.csv"}) {
            const int lines = lineCount(base + QLatin1String(suffix));
            if (lines != 66 * request.frames) {
                return fail(QStringLiteral("%1 has %2 lines for %3 frames").arg(suffix).arg(lines).arg(request.frames));
            }
        }
        for (const char *suffix : {"_fullon.csv", "_fulloff.csv"}) {
            if (lineCount(base + QLatin1String(suffix)) != 65) {
                return fail(QStringLiteral("%1 is not 64 rows").arg(suffix));
            }
        }
    }
    if (request.pictures) {
        const QDir pictures(QStringLiteral("%1/%2/pic").arg(request.directory, request.name));
        if (pictures.entryList(QDir::Files).size() != request.frames) {
            return fail(QStringLiteral("%1 pictures for %2 frames")
                            .arg(pictures.entryList(QDir::Files).size())
                            .arg(request.frames));
        }
        // Every picture is there; decoding a sample of them shows they were written to the end.
        for (int k = 1; k <= request.frames; k += pictureEvery) {
            const QImage picture(pictures.filePath(QStringLiteral("%1_%2.png").arg(request.name).arg(k)));
            if (picture.size() != QSize(64, 64)) {
                return fail(QStringLiteral("picture %1 does not decode to 64 x 64").arg(k));
            }
        }
    }
    if (request.video && QFileInfo(base + QStringLiteral("_output_video.mp4")).size() <= 0) {
        return fail(QStringLiteral("video missing or empty"));
    }
    return true;
}

void TestSoak::streamWithFaultsWhileSaving() {
    const long target = environmentCount("VANTIKO_SOAK_FRAMES", 10000);
    // Interruptions scale with the run, so the short run has some of each too.
    const long unplugEvery = std::max(1000L, target / 20);
    const long burstEvery = std::max(2500L, target / 8);
    const double residentAtStart = residentMib();

    std::mt19937 random(20240611);
    const auto chance = [&random](int oneIn) { return std::uniform_int_distribution<int>(1, oneIn)(random) == 1; };
    const auto between = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    SimulatedInstrument &instrument = *m_link->instrument();

    Session::Setting setting;
    setting.rangeNa = 100;
    setting.von = QStringLiteral("10");
    setting.voff = QStringLiteral("-5");
    setting.vbias1 = QStringLiteral("0");
    setting.vbias2 = QStringLiteral("0");
    m_session->connectInstrument();
    m_session->applySetting(setting);
    QVERIFY(connectAndCapture());

    long strays = 0, splits = 0, failedReads = 0, unplugs = 0, bursts = 0;
    long lastFaultFrame = 0, nextUnplug = unplugEvery, nextBurst = burstEvery;
    int savesStarted = 0, savesVerified = 0;
    std::optional<Session::SaveRequest> run;
    QStringList savesNotVerified;
    QElapsedTimer clock;
    clock.start();

    while (m_frames < target || run) {
        QTest::qWait(2);
        if (m_session->isCapturing() && m_sinceFrame.elapsed() > 15000) {
            QFAIL(qPrintable(QStringLiteral("no frame for 15 s after %1 frames (%2 requests)")
                                 .arg(m_frames)
                                 .arg(m_link->requests())));
        }
        // Faults on the records to come, a few per hundred frames.
        for (; lastFaultFrame < m_frames; ++lastFaultFrame) {
            if (chance(40)) {
                std::vector<std::uint8_t> stray(between(1, 600));
                for (auto &byte : stray) {
                    byte = static_cast<std::uint8_t>(between(0, 255));
                }
                (chance(2)
                     ? std::mem_fn(&SimulatedInstrument::injectBytesBeforeNextRecord)
                     : std::mem_fn(&SimulatedInstrument::injectBytesAfterNextRecord))(instrument, std::move(stray));
                ++strays;
            }
            if (chance(40)) {
                static constexpr std::size_t usbPieces[] = {64, 510, 512, 4096};
                std::vector<std::size_t> portions;
                const std::size_t fixed = chance(2) ? usbPieces[between(0, 3)] : 0;
                for (std::size_t total = 0; total < 8200;) {
                    const std::size_t piece = fixed ? fixed : static_cast<std::size_t>(between(1, 3000));
                    portions.push_back(piece);
                    total += piece;
                }
                instrument.splitNextRecord(std::move(portions));
                ++splits;
            }
            // The loop ends a capture at its eleventh failed read, counted from the capture's start: stay below.
            if (chance(100)) {
                const int count = between(1, 3);
                if (m_failedReadsThisCapture + count <= 8) {
                    instrument.failReads(count);
                    m_failedReadsThisCapture += count;
                    ++failedReads;
                }
            }
        }
        // The instrument pulled during capture, then plugged back in.
        if (m_frames >= nextUnplug && m_frames < target && m_session->isCapturing() && m_session->isIdle()) {
            nextUnplug += unplugEvery;
            const int removedBefore = m_reports.removed;
            m_link->unplug();
            ++unplugs;
            QTRY_COMPARE_WITH_TIMEOUT(m_reports.removed, removedBefore + 1, 10000);
            m_link->plug();
            instrument.failReads(0);  // none left over for the next capture's count
            QVERIFY(connectAndCapture());
        }
        // More read failures in a row than the loop tolerates: the capture ends with an error.
        if (m_frames >= nextBurst && m_frames < target && m_session->isCapturing() && m_session->isIdle()) {
            nextBurst += burstEvery;
            const int failuresBefore = m_reports.readFailure;
            instrument.failReads(11);
            ++bursts;
            QTRY_COMPARE_WITH_TIMEOUT(m_reports.readFailure, failuresBefore + 1, 10000);
            instrument.failReads(0);
            QVERIFY(connectAndCapture());
        }
        // One save run at a time: check the finished one, start the next.
        if (run && !m_session->saveInProgress()) {
            QString problem;
            if (verifyRun(*run, m_frames < target ? 7 : 1, &problem)) {
                ++savesVerified;
                QDir(QStringLiteral("%1/%2").arg(run->directory, run->name)).removeRecursively();
            } else {
                savesNotVerified << QStringLiteral("%1: %2").arg(run->name, problem);
            }
            run.reset();
        }
        if (!run && m_frames < target && m_session->isCapturing() && m_session->isIdle()) {
            Session::SaveRequest request;
            request.directory = m_saveDir->path();
            request.name = QStringLiteral("run%1").arg(savesStarted + 1, 5, 10, QLatin1Char('0'));
            request.frames = between(1, 40);
            request.data = !chance(4);
            request.pictures = chance(2);
            request.video = chance(4);
            const Session::SaveRefusal refusal = m_session->startSave(request);
            QCOMPARE(refusal, Session::SaveRefusal::None);
            run = request;
            ++savesStarted;
        }
    }
    m_session->stopCapture();
    QTRY_VERIFY(m_session->isIdle());
    // The frame in flight at the stop completes; then requests and frames settle.
    QTest::qWait(200);
    const double seconds = clock.elapsed() / 1000.0;
    const auto requested = static_cast<long>(m_link->requests());
    const long lost = requested - m_frames;

    std::printf("soak: %.1f s, %.0f frames/s\n", seconds, m_frames / seconds);
    std::printf("soak: frames requested %ld, received %ld, lost %ld\n", requested, m_frames, lost);
    std::printf(
        "soak: faults: %ld stray-byte runs, %ld records in pieces, %ld failed-read runs, %ld unplugs, "
        "%ld failure bursts\n",
        strays, splits, failedReads, unplugs, bursts);
    std::printf("soak: saves started %d, completed and verified %d\n", savesStarted, savesVerified);
    std::printf(
        "soak: errors reported to the user %d (device disconnected %d, error occurred %d, connect failed "
        "%d, save failed %d)\n",
        m_reports.total(), m_reports.removed, m_reports.readFailure, m_reports.connectFailures,
        static_cast<int>(m_reports.saveFailures.size()));
    std::printf("soak: resident memory %.1f MiB at start, %.1f MiB at end\n", residentAtStart, residentMib());
    std::fflush(stdout);

    QVERIFY2(savesNotVerified.isEmpty(), qPrintable(savesNotVerified.join(QStringLiteral("; "))));
    QCOMPARE(savesVerified, savesStarted);
    QVERIFY2(m_reports.saveFailures.isEmpty(), qPrintable(m_reports.saveFailures.join(QStringLiteral("; "))));
    // The user hears of exactly the interruptions that happened, each once.
    QCOMPARE(m_reports.removed, static_cast<int>(unplugs));
    QCOMPARE(m_reports.readFailure, static_cast<int>(bursts));
    QCOMPARE(m_reports.connectFailures, 0);
    QVERIFY(m_frames >= target);
    // A record can be lost to a fault on it or to an interruption, never more: the stream recovers at once.
    QVERIFY2(lost >= 0 && lost <= strays + splits + 2 * (unplugs + bursts),
             qPrintable(QStringLiteral("%1 frames lost").arg(lost)));
}

void TestSoak::unplugDuringCapture() {
    const long cycles = environmentCount("VANTIKO_SOAK_UNPLUGS", 100);
    for (long cycle = 1; cycle <= cycles; ++cycle) {
        QVERIFY(connectAndCapture());
        const long seen = m_frames;
        QTRY_VERIFY_WITH_TIMEOUT(m_frames >= seen + 3, 10000);
        m_link->unplug();
        QTRY_COMPARE_WITH_TIMEOUT(m_reports.removed, static_cast<int>(cycle), 10000);
        QVERIFY(!m_session->isConnected());
        QVERIFY(!m_session->isCapturing());
        m_link->plug();
    }
    std::printf("soak: %ld unplugs during capture, %d reported as device disconnected, %ld frames\n", cycles,
                m_reports.removed, m_frames);
    QCOMPARE(m_reports.readFailure, 0);
    QCOMPARE(m_reports.connectFailures, 0);
    QTRY_VERIFY(m_session->isIdle());
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
