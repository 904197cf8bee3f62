// Files of a save run that cannot be written: a full disk (a real small file system, when the test may mount
// one) and folders that cannot be created. Each failure comes back with the file and the system's reason.

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "CsvExport.h"
#include "MediaSaver.h"
#include "ReceiverTestSupport.h"
#include "ReceiverThread.h"
#include "SmallFileSystem.h"
#include "TextFile.h"

using namespace receivertest;

namespace {

const QString kNoSpace = QStringLiteral("No space left on device");

QImage grayPicture(int level) {
    QImage image(64, 64, QImage::Format_Grayscale8);
    image.fill(level);
    return image;
}

}  // namespace

class TestSaveFailures : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void csvFileOnAFullDisk_data();
    void csvFileOnAFullDisk();
    void csvFileBelowAFile();
    void mediaOnAFullDisk_data();
    void mediaOnAFullDisk();
    void runReportsItsFirstFailureThenTheNextRunWorks();
    void hdf5RunOnADiskThatFills();

private:
    QTemporaryDir m_settingsDir;
};

void TestSaveFailures::initTestCase() {
    QVERIFY(m_settingsDir.isValid());
    isolateSettings(m_settingsDir.path());
}

void TestSaveFailures::csvFileOnAFullDisk_data() {
    QTest::addColumn<bool>("frames");
    QTest::addColumn<bool>("fillFirst");
    // A file that does not fit (two frames are about 100 KiB) and a disk already full.
    QTest::newRow("frames, disk fills while writing") << true << false;
    QTest::newRow("frames, disk full") << true << true;
    QTest::newRow("reference, disk full") << false << true;
}

void TestSaveFailures::csvFileOnAFullDisk() {
    QFETCH(bool, frames);
    QFETCH(bool, fillFirst);
    const SmallFileSystem disk;
    if (!disk.isMounted()) {
        QSKIP("a small file system can only be mounted as root");
    }
    if (fillFirst) {
        QVERIFY(disk.fill());
    }
    const QString path = disk.path() + QStringLiteral("/run/run.csv");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("File error after attempt to write: ") + kNoSpace));
    const SaveResult result =
        frames ? CsvExport::writeFrames(path, std::vector<std::vector<double>>(2, std::vector<double>(4096, -74.9959)),
                                        {QStringLiteral("A"), QStringLiteral("B")})
               : CsvExport::writeReference(path, std::vector<double>(4096, 150.0));
    QVERIFY(result);
    QCOMPARE(result->file, path);
    QCOMPARE(result->reason, kNoSpace);
    // What was written before the disk filled stays.
    QVERIFY(QFile::exists(path));
}

void TestSaveFailures::csvFileBelowAFile() {
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = dir.filePath(QStringLiteral("blocker/run/run_gray.csv"));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Could not open file for writing: ") + path));
    const SaveResult result = CsvExport::writeFrames(path, {std::vector<double>(4096, 1.0)}, {});
    QVERIFY(result);
    QCOMPARE(result->file, path);
    QVERIFY2(!result->reason.isEmpty(), "the system's reason is given");
}

void TestSaveFailures::mediaOnAFullDisk_data() {
    QTest::addColumn<bool>("pictures");
    QTest::addColumn<bool>("video");
    QTest::newRow("pictures") << true << false;
    QTest::newRow("video") << false << true;
}

void TestSaveFailures::mediaOnAFullDisk() {
    QFETCH(bool, pictures);
    QFETCH(bool, video);
    const SmallFileSystem disk;
    if (!disk.isMounted()) {
        QSKIP("a small file system can only be mounted as root");
    }
    QVERIFY(QDir(disk.path()).mkpath(QStringLiteral("scan/pic")));
    QVERIFY(disk.fill());

    MediaRun run;
    run.savePath = disk.path();
    run.saveName = QStringLiteral("scan");
    run.frames = 3;
    run.pictures = pictures;
    run.video = video;
    MediaSaver saver;
    MediaSaver::Outcome outcome = MediaSaver::Outcome::Saved;
    for (int frame = 0; frame < run.frames && outcome == MediaSaver::Outcome::Saved; ++frame) {
        outcome = saver.save(grayPicture(40 * frame), run);
    }
    // A picture fails when written, the video at the latest when it is closed and read back.
    QCOMPARE(outcome, MediaSaver::Outcome::Failed);
    QVERIFY2(saver.failure().file.startsWith(disk.path() + QStringLiteral("/scan/")), qPrintable(saver.failure().file));
    QCOMPARE(saver.failure().reason, kNoSpace);
    QCOMPARE(saver.savedFrames(), 0);
}

void TestSaveFailures::runReportsItsFirstFailureThenTheNextRunWorks() {
    const SmallFileSystem disk;
    if (!disk.isMounted()) {
        QSKIP("a small file system can only be mounted as root");
    }
    QTemporaryDir roomy;
    ReceiverThread worker;
    worker.m_currentRange = 150;
    QSignalSpy failures(&worker, &ReceiverThread::saveFailed);
    QSignalSpy ends(&worker, &ReceiverThread::saveFinished);

    // Driven directly, the worker writes at once; through its loop the writer thread does the same.
    const auto runTwoFrames = [&worker](const QString &directory, int id) {
        ReceiverThread::SaveRun run;
        run.directory = directory;
        run.name = QStringLiteral("scan");
        run.id = id;
        run.frames = 2;
        run.data = true;
        worker.startSaveRun(run);
        worker.renderFrame(uniformFrame(100));
        worker.renderFrame(uniformFrame(200));
    };
    QVERIFY(disk.fill());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Save failed")));
    runTwoFrames(disk.path(), 7);
    QCOMPARE(failures.size(), 1);
    // The run's first file is its marker: nothing of the run is written after it failed.
    QCOMPARE(failures.at(0).at(0).toInt(), 7);
    QCOMPARE(failures.at(0).at(2).toString(), disk.path() + QStringLiteral("/scan/scan.incomplete"));
    QCOMPARE(failures.at(0).at(3).toString(), kNoSpace);
    QVERIFY(!QFile::exists(disk.path() + QStringLiteral("/scan/scan_current.csv")));
    QCOMPARE(ends.size(), 1);
    QCOMPARE(ends.at(0), (QList<QVariant>{7, false}));
    QVERIFY(!worker.saveInProgress());

    runTwoFrames(roomy.path(), 8);
    QCOMPARE(failures.size(), 1);
    QCOMPARE(ends.size(), 2);
    QCOMPARE(ends.at(1), (QList<QVariant>{8, true}));
    for (const char *suffix : {"_current.csv", "_gray.csv", "_fulloff.csv", "_fullon.csv"}) {
        QVERIFY2(QFileInfo(roomy.filePath(QStringLiteral("scan/scan") + QLatin1String(suffix))).size() > 0, suffix);
    }
}

void TestSaveFailures::hdf5RunOnADiskThatFills() {
    // Room for the folder, the marker, the parameter file and a few frames of 64 KiB: the disk fills mid-run.
    const SmallFileSystem disk("640k");
    if (!disk.isMounted()) {
        QSKIP("a small file system can only be mounted as root");
    }
    ReceiverThread worker;
    worker.m_currentRange = 150;
    QSignalSpy failures(&worker, &ReceiverThread::saveFailed);
    QSignalSpy ends(&worker, &ReceiverThread::saveFinished);
    ReceiverThread::SaveRun run;
    run.directory = disk.path();
    run.name = QStringLiteral("long");
    run.id = 3;
    run.frames = 1000;
    run.hdf5 = true;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Save failed")));
    worker.startSaveRun(run);
    int rendered = 0;
    while (ends.isEmpty() && rendered < 1000) {
        worker.renderFrame(uniformFrame(100 + rendered));
        ++rendered;
    }
    // Reported as soon as the file could not take a frame (the library holds about a megabyte of frames
    // before it writes them out), and the run ended then: nothing else was left to write. Its marker stays
    // and says why.
    QCOMPARE(failures.size(), 1);
    QCOMPARE(failures.at(0).at(1).toString(), QStringLiteral("Save failed: could not write the HDF5 file."));
    QCOMPARE(failures.at(0).at(2).toString(), disk.path() + QStringLiteral("/long/long.h5"));
    QCOMPARE(failures.at(0).at(3).toString(), kNoSpace);
    QCOMPARE(ends.size(), 1);
    QCOMPARE(ends.at(0), (QList<QVariant>{3, false}));
    QVERIFY2(rendered > 2 && rendered < 100, qPrintable(QString::number(rendered)));
    QVERIFY(!worker.saveInProgress());
    const QString marker = readTextFile(disk.path() + QStringLiteral("/long/long.incomplete"));
    QVERIFY2(marker.contains(QStringLiteral("long.h5")), qPrintable(marker));
}

QTEST_GUILESS_MAIN(TestSaveFailures)
#include "tst_save_failures.moc"
