#include <memory>

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "InstrumentSession.h"
#include "InstrumentSessionProbe.h"
#include "SessionSteps.h"
#include "SimulatedInstrument.h"
#include "TestLinks.h"

using Session = InstrumentSession;
Q_DECLARE_METATYPE(InstrumentSession::ConnectOutcome)
Q_DECLARE_METATYPE(InstrumentSession::DisconnectReason)
Q_DECLARE_METATYPE(InstrumentSession::SaveRefusal)

// The session on its own, without a window: what the window and the command-line tool rely on. Every
// scenario runs on the built-in simulator and through the vendor-library backend on its stand-in.
class TestInstrumentSession : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_settings;
    TestLink m_link;
    std::unique_ptr<Session> m_session;

    bool makeSession() {
        QFETCH(QString, backend);
        m_link = TestLink::make(backend);
        if (!m_link.link) {
            return false;
        }
        m_session = std::make_unique<Session>(m_link.link.get());
        return true;
    }

    bool connectAndSet() {
        QSignalSpy connected(m_session.get(), &Session::connectFinished);
        m_session->connectInstrument();
        if (!settle(*m_session) || connected.count() != 1 ||
            connected.at(0).at(0).value<Session::ConnectOutcome>() != Session::ConnectOutcome::Connected) {
            return false;
        }
        QSignalSpy set(m_session.get(), &Session::settingFinished);
        m_session->applySetting(setting100nA());
        return settle(*m_session) && set.count() == 1 && set.at(0).at(0).toBool();
    }

    // Frames counted from now.
    bool framesArrive(int count) {
        QSignalSpy frames(m_session.get(), &Session::frameReady);
        return QTest::qWaitFor([&] { return frames.count() >= count; }, 5000);
    }

    static void addBackends() {
        QTest::addColumn<QString>("backend");
        QTest::newRow("simulator") << "simulator";
        QTest::newRow("vendor library") << "d2xx";
    }

private slots:
    void initTestCase() {
        QVERIFY(m_settings.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settings.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
    }

    void cleanup() {
        m_session.reset();
        m_link = TestLink();
    }

    void connectSetAndCapture_data() { addBackends(); }
    void connectSetAndCapture() {
        QVERIFY(makeSession());
        QSignalSpy battery(m_session.get(), &Session::batteryRead);
        QVERIFY(connectAndSet());
        QVERIFY(m_session->isConnected());
        QCOMPARE(battery.count(), 1);  // read once right after the handshake
        QCOMPARE(m_session->integrationCount(), 7296);
        QCOMPARE(m_session->gearCode(), 7);
        QCOMPARE(workerOf(*m_session).m_integralTime.load(), 91200.0);
        QCOMPARE(workerOf(*m_session).m_integralCurrent.load(), 9.6);
        QCOMPARE(workerOf(*m_session).m_currentRange.load(), 100);
        QCOMPARE(m_session->settingsSummary(),
                 QStringLiteral("Current:100\nVbias1:0\nVbias2:0\nVon:10\nVoff:-5\nModel: positive \n"));

        QSignalSpy started(m_session.get(), &Session::captureStarted);
        m_session->startCapture();
        QCOMPARE(started.count(), 1);
        QVERIFY(m_session->isCapturing());
        QVERIFY(framesArrive(5));
        QSignalSpy current(m_session.get(), &Session::pixelCurrent);
        m_session->selectPixel(5, 2);
        QCOMPARE(workerOf(*m_session).m_selectedIndex.load(), 133);
        QTRY_VERIFY(!current.isEmpty());

        QSignalSpy stopped(m_session.get(), &Session::captureStopped);
        m_session->stopCapture();
        QVERIFY(settle(*m_session));
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_session->isCapturing());

        QSignalSpy disconnected(m_session.get(), &Session::disconnected);
        m_session->disconnectInstrument();
        QVERIFY(settle(*m_session));
        QCOMPARE(disconnected.count(), 1);
        QCOMPARE(disconnected.at(0).at(0).value<Session::DisconnectReason>(), Session::DisconnectReason::Requested);
        QVERIFY(!m_session->isConnected());
    }

    void operationsRunInTheOrderAsked_data() { addBackends(); }
    void operationsRunInTheOrderAsked() {
        QVERIFY(makeSession());
        QStringList order;
        connect(m_session.get(), &Session::connectFinished, this, [&order] { order << "connected"; });
        connect(m_session.get(), &Session::settingFinished, this, [&order] { order << "set"; });
        connect(m_session.get(), &Session::captureStarted, this, [&order] { order << "capturing"; });
        // Asked for at once, as a user clicking fast would: each waits for the exchange before it.
        m_session->connectInstrument();
        m_session->applySetting(setting100nA());
        m_session->startCapture();
        QVERIFY(!m_session->isIdle());
        QVERIFY(settle(*m_session));
        QCOMPARE(order, QStringList({"connected", "set", "capturing"}));
        QVERIFY(framesArrive(3));
    }

    void calibrationCapturesBothReferences_data() { addBackends(); }
    void calibrationCapturesBothReferences() {
        QVERIFY(makeSession());
        QVERIFY(connectAndSet());
        m_session->startCapture();
        QVERIFY(settle(*m_session));
        m_session->setCalibrationOn(true);
        QVERIFY(workerOf(*m_session).m_calibrationOn.load());

        QSignalSpy fullOff(m_session.get(), &Session::fullOffCaptured);
        QVERIFY(m_link.control("dark"));
        QVERIFY(framesArrive(3));
        m_session->requestFullOff();
        QTRY_COMPARE_WITH_TIMEOUT(fullOff.count(), 1, 5000);

        QSignalSpy fullOn(m_session.get(), &Session::fullOnCaptured);
        QVERIFY(m_link.control("flood"));
        QVERIFY(framesArrive(3));
        m_session->requestFullOn();
        QTRY_COMPARE_WITH_TIMEOUT(fullOn.count(), 1, 5000);

        // Flood light is far above the dark current in every pixel.
        const std::vector<double> on = workerOf(*m_session).fullOnReference();
        const std::vector<double> off = workerOf(*m_session).fullOffReference();
        for (std::size_t i = 0; i < on.size(); i += 97) {
            QVERIFY2(on[i] > off[i] + 10.0,
                     qPrintable(QStringLiteral("pixel %1: %2 vs %3").arg(i).arg(on[i]).arg(off[i])));
        }
    }

    void saveWritesTheRunFolder_data() { addBackends(); }
    void saveWritesTheRunFolder() {
        QVERIFY(makeSession());
        QTemporaryDir saves;
        QVERIFY(saves.isValid());
        QVERIFY(QDir(saves.path()).mkdir("run"));  // taken: the run goes to run_1
        QVERIFY(connectAndSet());

        Session::SaveRequest request;
        request.directory = saves.path();
        request.name = QStringLiteral("run");
        request.frames = 3;
        request.data = true;
        request.pictures = true;
        request.video = true;
        QCOMPARE(m_session->startSave(request), Session::SaveRefusal::NotCapturing);
        m_session->startCapture();
        QVERIFY(settle(*m_session));

        QSignalSpy progress(m_session.get(), &Session::saveProgress);
        QCOMPARE(m_session->startSave(request), Session::SaveRefusal::None);
        QCOMPARE(m_session->startSave(request), Session::SaveRefusal::SaveRunning);
        QTRY_VERIFY_WITH_TIMEOUT(!m_session->saveInProgress(), 10000);
        // The last progress report is queued behind the worker's flag.
        QTRY_VERIFY(!progress.isEmpty() && progress.last().at(0).toInt() == 3);
        QCOMPARE(progress.last().at(1).toInt(), 3);

        const QDir run(saves.path() + "/run_1");
        QCOMPARE(run.entryList({"*.csv"}, QDir::Files).size(), 4);
        QCOMPARE(QDir(run.filePath("pic")).entryList({"*.png"}, QDir::Files).size(), 3);
        QVERIFY(QFileInfo(run.filePath("run_1_output_video.mp4")).size() > 0);
        QFile parameters(run.filePath("run_1_SetParameterData.txt"));
        QVERIFY(parameters.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(parameters.readAll()), m_session->settingsSummary());
    }

    void saveRefusals_data() {
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("directory");
        QTest::addColumn<Session::SaveRefusal>("refusal");
        QTest::newRow("more than 1000 frames") << 1001 << "/tmp" << Session::SaveRefusal::TooManyFrames;
        QTest::newRow("no frames") << 0 << "/tmp" << Session::SaveRefusal::TooFewFrames;
        QTest::newRow("no folder") << 5 << "  " << Session::SaveRefusal::NoDirectory;
    }
    void saveRefusals() {
        QFETCH(int, frames);
        QFETCH(QString, directory);
        QFETCH(Session::SaveRefusal, refusal);
        m_link = TestLink::make(QStringLiteral("simulator"));
        m_session = std::make_unique<Session>(m_link.link.get());
        QVERIFY(connectAndSet());
        m_session->startCapture();
        QVERIFY(settle(*m_session));
        Session::SaveRequest request;
        request.directory = directory;
        request.name = QStringLiteral("refused");
        request.frames = frames;
        request.data = true;
        QCOMPARE(m_session->startSave(request), refusal);
        QVERIFY(!m_session->saveInProgress());
    }

    void unplugEndsCaptureAndConnection_data() { addBackends(); }
    void unplugEndsCaptureAndConnection() {
        QVERIFY(makeSession());
        QVERIFY(connectAndSet());
        m_session->startCapture();
        QVERIFY(settle(*m_session));
        QVERIFY(framesArrive(2));

        QSignalSpy stopped(m_session.get(), &Session::captureStopped);
        QSignalSpy disconnected(m_session.get(), &Session::disconnected);
        QVERIFY(m_link.control("unplug"));
        // The simulator reports the change itself; the vendor library relies on the platform's notification.
        m_session->handleDeviceChange();
        QVERIFY(settle(*m_session));
        QTRY_VERIFY(!disconnected.isEmpty());
        QCOMPARE(disconnected.at(0).at(0).value<Session::DisconnectReason>(), Session::DisconnectReason::Removed);
        QCOMPARE(stopped.count(), 1);
        QVERIFY(!m_session->isConnected());
        QVERIFY(!m_session->isCapturing());

        // Plugged back in, the instrument connects again.
        QVERIFY(m_link.control("plug"));
        QVERIFY(connectAndSet());
    }

    void unansweredHandshakeGivesTheDeviceBack() {
        m_link = TestLink::make(QStringLiteral("simulator"));
        auto *simulated = static_cast<SimulatedLink *>(m_link.link.get());
        simulated->instrument()->leaveCommandsUnanswered(1);
        m_session = std::make_unique<Session>(m_link.link.get());
        QSignalSpy connected(m_session.get(), &Session::connectFinished);
        m_session->connectInstrument();
        QVERIFY(settle(*m_session));
        QCOMPARE(connected.at(0).at(0).value<Session::ConnectOutcome>(), Session::ConnectOutcome::HandshakeFailed);
        QVERIFY(!m_session->isConnected());
        QVERIFY(connectAndSet());  // the failed attempt closed the device
    }
};

QTEST_GUILESS_MAIN(TestInstrumentSession)
#include "tst_instrumentsession.moc"
