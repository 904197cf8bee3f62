// The worker's save run as it reaches the CSV files: the recording hands its frames and references to the
// writer at the run's last frame, and a run without data writes nothing.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"
#include "TextFile.h"

using namespace receivertest;

class TestReceiverExport : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void runWritesFourFiles();
    void runWithoutDataWritesNothing();

private:
    QTemporaryDir m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestReceiverExport::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestReceiverExport::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestReceiverExport::runWritesFourFiles() {
    ReceiverThread worker;
    worker.m_currentMode = true;
    worker.m_integralTime = 64000.0;
    worker.m_integralCurrent = 9.6;
    worker.m_currentRange = 150;
    ReceiverThread::SaveRun run = saveRun(2, m_dir->path(), QStringLiteral("scan"));
    run.data = true;
    worker.startSaveRun(run);
    QVERIFY(worker.saveInProgress());
    worker.renderFrame(uniformFrame(0));
    QVERIFY(worker.recorder().recording());
    worker.renderFrame(uniformFrame(16384));
    QVERIFY(!worker.recorder().recording());
    QVERIFY(!worker.saveInProgress());

    const QString base = m_dir->filePath(QStringLiteral("scan/scan"));
    const QString current = readTextFile(base + QStringLiteral("_current.csv"));
    QCOMPARE(current.count(QLatin1Char('\n')), 2 * 66);
    // The renderer takes no timestamps itself; the loop does.
    QCOMPARE(current.count(QStringLiteral("Time: Unknown\n")), 2);
    const QStringList lines = current.split(QLatin1Char('\n'));
    QCOMPARE(lines.at(1).section(QLatin1Char(','), 0, 0), QStringLiteral("75"));
    QCOMPARE(lines.at(67).section(QLatin1Char(','), 0, 0), QStringLiteral("141.965"));
    const QStringList grays = readTextFile(base + QStringLiteral("_gray.csv")).split(QLatin1Char('\n'));
    QCOMPARE(grays.at(1).section(QLatin1Char(','), 0, 0), QStringLiteral("127"));
    QCOMPARE(grays.at(67).section(QLatin1Char(','), 0, 0), QStringLiteral("241"));
    // No calibration captured: the references as they started.
    QVERIFY(readTextFile(base + QStringLiteral("_fullon.csv")).startsWith(QStringLiteral("150,150,")));
    QVERIFY(readTextFile(base + QStringLiteral("_fulloff.csv")).startsWith(QStringLiteral("0,0,")));
    QCOMPARE(readTextFile(base + QStringLiteral("_fulloff.csv")).count(QLatin1Char('\n')), 65);
}

void TestReceiverExport::runWithoutDataWritesNothing() {
    ReceiverThread worker;
    worker.m_currentRange = 150;
    worker.startSaveRun(saveRun(1, m_dir->path(), QStringLiteral("quiet")));
    worker.renderFrame(uniformFrame(0));
    QVERIFY(!worker.recorder().recording());
    // The run's folder holds its parameter file only: no CSV file, and no marker once the run has ended.
    QCOMPARE(QDir(m_dir->filePath(QStringLiteral("quiet"))).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("quiet_SetParameterData.txt")});
}

QTEST_GUILESS_MAIN(TestReceiverExport)
#include "tst_receiver_export.moc"
