// The worker's four settings: read with 0 as default at construction, written back at destruction.

#include <mutex>

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "AppSettings.h"
#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"

using namespace receivertest;

class TestReceiverSettings : public QObject {
    Q_OBJECT

private slots:
    void init();
    void firstStart();
    void valuesSurviveARestart();
    void storedUnderTheProgramsNames();
    void unreadableValuesReadAsZero();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestReceiverSettings::init() {
    // A fresh store for every test function.
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    isolateSettings(m_dir->path());
}

void TestReceiverSettings::firstStart() {
    ReceiverThread worker;
    // Missing keys override the built-in defaults with 0 / false ...
    QCOMPARE(worker.m_integralTime.load(), 0.0);
    QCOMPARE(worker.m_integralCurrent.load(), 0.0);
    QCOMPARE(worker.m_currentMode.load(), false);
    QCOMPARE(worker.m_currentRange.load(), 0);
    // ... but the references were filled before: full-on keeps the default range.
    QCOMPARE(worker.fullOnReference(), std::vector<double>(4096, 150.0));
    QCOMPARE(worker.fullOffReference(), std::vector<double>(4096, 0.0));
    // The rest of the worker's state as it starts.
    QCOMPARE(worker.m_videoFps.load(), 60);
    QCOMPARE(worker.recorder().runFrames(), 5);
    QCOMPARE(worker.m_selectedIndex.load(), 0);
    QVERIFY(!worker.saveInProgress());
    // Built paused: its loop cannot poll before a capture is asked for.
    QCOMPARE(worker.phase(), ReceiverThread::LoopPhase::Paused);
}

void TestReceiverSettings::valuesSurviveARestart() {
    {
        ReceiverThread worker;
        worker.m_integralTime = 91200.0;
        worker.m_integralCurrent = 1.2;
        worker.m_currentMode = true;
        worker.m_currentRange = 100;
    }
    ReceiverThread worker;
    QCOMPARE(worker.m_integralTime.load(), 91200.0);
    QCOMPARE(worker.m_integralCurrent.load(), 1.2);
    QCOMPARE(worker.m_currentMode.load(), true);
    QCOMPARE(worker.m_currentRange.load(), 100);
    // Loading the settings does not touch the references.
    QCOMPARE(worker.fullOnReference(), std::vector<double>(4096, 150.0));
}

void TestReceiverSettings::storedUnderTheProgramsNames() {
    {
        ReceiverThread worker;
        worker.m_integralTime = 7296.0 * 12.5;
        worker.m_integralCurrent = 9.6;
        worker.m_currentMode = false;
        worker.m_currentRange = 500;
    }
    QSettings store(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application));
    store.beginGroup(QString::fromLatin1(AppSettings::group));
    QCOMPARE(store.value(QStringLiteral("Integraltime")).toDouble(), 91200.0);
    QCOMPARE(store.value(QStringLiteral("Integralcurrent")).toDouble(), 9.6);
    QCOMPARE(store.value(QStringLiteral("currentmode")).toBool(), false);
    QCOMPARE(store.value(QStringLiteral("currentRange")).toInt(), 500);
    QVERIFY(store.fileName().startsWith(m_dir->path()));
}

void TestReceiverSettings::unreadableValuesReadAsZero() {
    {
        QSettings store(QString::fromLatin1(AppSettings::organisation), QString::fromLatin1(AppSettings::application));
        store.beginGroup(QString::fromLatin1(AppSettings::group));
        store.setValue(QStringLiteral("Integraltime"), QStringLiteral("soon"));
        store.setValue(QStringLiteral("currentRange"), QStringLiteral("wide"));
        store.setValue(QStringLiteral("currentmode"), QStringLiteral("true"));
    }
    ReceiverThread worker;
    QCOMPARE(worker.m_integralTime.load(), 0.0);
    QCOMPARE(worker.m_currentRange.load(), 0);
    QCOMPARE(worker.m_currentMode.load(), true);
}

QTEST_GUILESS_MAIN(TestReceiverSettings)
#include "tst_receiver_settings.moc"
