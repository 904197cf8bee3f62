// The folder of a save run: its unique name beside earlier runs, its file names, and the parameter file.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "RunFolder.h"

class TestRunFolder : public QObject {
    Q_OBJECT

private slots:
    void uniqueNameSkipsWhatExists_data() {
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{} << "scan"
                              << "scan";
        QTest::newRow("taken once") << QStringList{"scan"} << "scan"
                                    << "scan_1";
        QTest::newRow("taken with a gap") << QStringList{"scan", "scan_1", "scan_3"} << "scan"
                                          << "scan_2";
        // A file counts as taken as much as a folder does.
        QTest::newRow("a file of that name") << QStringList{"file:scan"} << "scan"
                                             << "scan_1";
        // The name is joined as typed, never used as a format.
        QTest::newRow("percent sign") << QStringList{"run %1"} << "run %1"
                                      << "run %1_1";
    }
    void uniqueNameSkipsWhatExists() {
        QFETCH(QStringList, existing);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        for (const QString &entry : existing) {
            if (entry.startsWith(QLatin1String("file:"))) {
                QFile file(directory.filePath(entry.mid(5)));
                QVERIFY(file.open(QIODevice::WriteOnly));
            } else {
                QVERIFY(QDir(directory.path()).mkdir(entry));
            }
        }
        QCOMPARE(RunFolder::uniqueName(directory.path(), name), expected);
    }

    void filesAreNamedAfterTheRun() {
        const RunFolder folder(QStringLiteral("/data/runs"), QStringLiteral("scan_2"));
        QCOMPARE(folder.path(), QStringLiteral("/data/runs/scan_2"));
        QCOMPARE(folder.filePath(QStringLiteral("_current.csv")),
                 QStringLiteral("/data/runs/scan_2/scan_2_current.csv"));
    }

    void createWritesTheParameterFile() {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        const QString summary = QStringLiteral("Current:100\nVbias1:0\nVbias2:0\nVon:10\nVoff:-5\nModel: positive \n");
        // Missing parents are made too.
        const RunFolder folder(directory.filePath(QStringLiteral("day/one")), QStringLiteral("scan"));
        QVERIFY(!folder.create(summary));
        QFile file(directory.filePath(QStringLiteral("day/one/scan/scan_SetParameterData.txt")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), summary);
    }

    void createSaysWhatFailedAndWhy() {
        QTemporaryDir directory;
        QVERIFY(directory.isValid());
        // A file stands where the chosen folder should be.
        QFile blocker(directory.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const RunFolder folder(blocker.fileName(), QStringLiteral("scan"));
        const SaveResult failure = folder.create(QStringLiteral("Current:100\n"));
        QVERIFY(failure);
        QCOMPARE(failure->file, folder.path());
        QCOMPARE(failure->reason, QStringLiteral("Not a directory"));
    }
};

QTEST_GUILESS_MAIN(TestRunFolder)
#include "tst_runfolder.moc"
