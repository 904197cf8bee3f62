// A long HDF5 run through the tool on the unpaced simulated instrument: the tool's resident memory stays
// flat however long the run, and the file holds every frame. Figures go to standard output, each line
// starting with "soak:".
//
// VANTIKO_SOAK_FRAMES sets the frames of the run (default 10000). The long run:
// VANTIKO_SOAK_FRAMES=100000 ctest --test-dir build -R tst_clisoak -V --timeout 3600

#include <cstdio>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "Hdf5Reader.h"

namespace {

long environmentCount(const char *name, long fallback) {
    bool ok = false;
    const long value = qEnvironmentVariable(name).toLong(&ok);
    return ok && value > 0 ? value : fallback;
}

// Resident set size of process `pid`, in MiB (-1 once it has gone).
double residentMib(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return -1;
}

}  // namespace

class TestCliSoak : public QObject {
    Q_OBJECT

private slots:
    void longHdf5RunKeepsMemoryFlat();
};

void TestCliSoak::longHdf5RunKeepsMemoryFlat() {
    const long frames = environmentCount("VANTIKO_SOAK_FRAMES", 10000);
    QTemporaryDir scratch;
    QFile control(scratch.filePath(QStringLiteral("control.txt")));
    QVERIFY(control.open(QIODevice::WriteOnly));
    control.write("unpaced\n");
    control.close();

    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("VANTIKO_LINK"), QStringLiteral("simulator"));
    environment.insert(QStringLiteral("VANTIKO_SIM_CONTROL"), control.fileName());
    tool.setProcessEnvironment(environment);
    tool.setWorkingDirectory(scratch.path());
    tool.start(QStringLiteral(VANTIKO_CLI), {"acquire", "--frames", QString::number(frames), "--out", "saves", "--name",
                                             "long", "--hdf5", "--json"});
    QVERIFY(tool.waitForStarted());

    // Memory at the first frame, at half way and at the last frame, from the progress lines.
    const long marks[] = {1, frames / 2, frames};
    double resident[3] = {-1, -1, -1};
    int next = 0;
    QByteArray pending;
    QElapsedTimer clock;
    clock.start();
    while (tool.state() != QProcess::NotRunning && next < 3) {
        tool.waitForReadyRead(1000);
        pending += tool.readAllStandardError();
        qsizetype end = -1;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            const long count = QJsonDocument::fromJson(line).object().value(QStringLiteral("frames")).toInteger();
            while (next < 3 && count >= marks[next]) {
                resident[next++] = residentMib(tool.processId());
            }
        }
    }
    QVERIFY(tool.waitForFinished(600000));
    const double seconds = clock.elapsed() / 1000.0;
    QCOMPARE(tool.exitCode(), 0);
    std::printf("soak: tool, %ld frames to HDF5 in %.1f s (%.0f frames/s)\n", frames, seconds, frames / seconds);
    std::printf("soak: tool resident memory %.1f MiB at frame 1, %.1f MiB at frame %ld, %.1f MiB at frame %ld\n",
                resident[0], resident[1], marks[1], resident[2], marks[2]);

    const QString path = scratch.filePath(QStringLiteral("saves/long/long.h5"));
    std::printf("soak: HDF5 file %.0f MiB\n", QFileInfo(path).size() / (1024.0 * 1024.0));
    QVERIFY(!QFile::exists(scratch.filePath(QStringLiteral("saves/long/long.incomplete"))));
    const hdf5reader::H5File h5(path);
    QVERIFY(h5.id.valid());
    QCOMPARE(hdf5reader::checkLayout(*h5.id), std::optional<hsize_t>(frames));

    QVERIFY(resident[0] > 0 && resident[1] > 0 && resident[2] > 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Flat: the second half of the run adds no more than the writer's queue could ever hold (256 frames of
    // about 70 KiB), whatever its length. The sanitizers keep freed memory aside, so only the plain build
    // holds the tool to it.
    QVERIFY2(resident[2] - resident[1] < 24.0, "the tool's memory grows with the run");
#endif
}

QTEST_GUILESS_MAIN(TestCliSoak)
#include "tst_clisoak.moc"
