// One save pipeline for every client: the same run saved from the window, from the tool and from the session
// alone gives the same files, and each file holds the frames its HDF5 file holds.

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "InstrumentSession.h"
#include "IntegrationSearch.h"
#include "RunFilesCheck.h"
#include "SessionSteps.h"
#include "SimulatedLink.h"
#include "WindowFixture.h"

namespace {

constexpr int kFrames = 4;

}  // namespace

class TestSavePipeline : public QObject {
    Q_OBJECT

private slots:
    void everyClientWritesTheSameFiles();

private:
    QString saveFromTheWindow(const QString &directory);
    QString saveFromTheTool(const QString &directory);
    QString saveFromTheSession(const QString &directory);
};

QString TestSavePipeline::saveFromTheWindow(const QString &directory) {
    WindowFixture fixture;
    MainWindow window(fixture.usbLink());
    Ui::MainWindow *ui = window.form();
    if (!WindowFixture::connectWindow(window)) {
        return QString();
    }
    WindowFixture::applySetting(window, ui->radioButton_100, "10", "-5", "0", "0");
    WindowFixture::press(window, ui->pushButton_play);
    ui->lineEdit_savepath->setText(directory);
    ui->lineEdit_savename->setText(QStringLiteral("run"));
    ui->comboBox_saveframes->setCurrentText(QString::number(kFrames));
    for (QCheckBox *box : {ui->checkBox_data, ui->checkBox_picture, ui->checkBox_video, ui->checkBox_hdf5}) {
        box->setChecked(true);
    }
    QSignalSpy finished(&window.session(), &InstrumentSession::saveFinished);
    WindowFixture::press(window, ui->pushButton_save);
    if (!finished.wait(20000) || !finished.at(0).at(0).toBool()) {
        return QString();
    }
    WindowFixture::press(window, ui->pushButton_play);
    WindowFixture::settle(window);
    return directory + QStringLiteral("/run");
}

QString TestSavePipeline::saveFromTheTool(const QString &directory) {
    QTemporaryDir scratch;
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), scratch.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("VANTIKO_LINK"), QStringLiteral("simulator"));
    tool.setProcessEnvironment(environment);
    tool.setWorkingDirectory(scratch.path());
    tool.start(QStringLiteral(VANTIKO_CLI), {"acquire",  "--frames",   QString::number(kFrames),
                                             "--out",    directory,    "--name",
                                             "run",      "--data",     "--pictures",
                                             "--video",  "--hdf5",     "--range",
                                             "100",      "--polarity", "positive",
                                             "--von",    "10",         "--voff",
                                             "-5",       "--vbias1",   "0",
                                             "--vbias2", "0"});
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning() << tool.readAllStandardError();
        return QString();
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

QString TestSavePipeline::saveFromTheSession(const QString &directory) {
    SimulatedLink link;
    InstrumentSession session(&link);
    session.connectInstrument();
    session.applySetting(setting100nA());
    QSignalSpy started(&session, &InstrumentSession::captureStarted);
    session.startCapture();
    if (!settle(session) || (started.isEmpty() && !started.wait(10000))) {
        return QString();
    }
    InstrumentSession::SaveRequest request;
    request.directory = directory;
    request.name = QStringLiteral("run");
    request.frames = kFrames;
    request.data = request.pictures = request.video = request.hdf5 = true;
    QSignalSpy finished(&session, &InstrumentSession::saveFinished);
    if (session.startSave(request) != InstrumentSession::SaveRefusal::None || !finished.wait(20000) ||
        !finished.at(0).at(0).toBool()) {
        return QString();
    }
    session.stopCapture();
    session.disconnectInstrument();
    settle(session);
    return directory + QStringLiteral("/run");
}

void TestSavePipeline::everyClientWritesTheSameFiles() {
    QTemporaryDir saves;
    const std::pair<const char *, QString> runs[] = {
        {"window", saveFromTheWindow(saves.filePath(QStringLiteral("window")))},
        {"tool", saveFromTheTool(saves.filePath(QStringLiteral("tool")))},
        {"session", saveFromTheSession(saves.filePath(QStringLiteral("session")))},
    };
    const int videoFps = IntegrationSearch::estimatedFrameRate(100);
    QStringList expectedFiles{
        "run.h5",       "run_SetParameterData.txt", "run_current.csv", "run_fulloff.csv", "run_fullon.csv",
        "run_gray.csv", "run_output_video.mp4"};
    for (int k = 1; k <= kFrames; ++k) {
        expectedFiles << QStringLiteral("pic/run_%1.png").arg(k);
    }
    expectedFiles.sort();

    QStringList firstOutline;
    QByteArray firstParameters;
    for (const auto &[client, folder] : runs) {
        QVERIFY2(!folder.isEmpty(), client);
        // No marker: every file was closed and the run succeeded.
        QCOMPARE(runfiles::filesOf(folder), expectedFiles);
        const QString mismatch = runfiles::mismatchWithHdf5(folder, QStringLiteral("run"), videoFps);
        QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(client), mismatch)));

        const hdf5reader::H5File h5(folder + QStringLiteral("/run.h5"));
        const QStringList outline = hdf5reader::outline(*h5.id);
        const QByteArray parameters = runfiles::bytesOf(folder + QStringLiteral("/run_SetParameterData.txt"));
        if (firstOutline.isEmpty()) {
            firstOutline = outline;
            firstParameters = parameters;
            QCOMPARE(parameters, QByteArray("Current:100\nVbias1:0\nVbias2:0\nVon:10\nVoff:-5\nModel: positive \n"));
            QVERIFY(outline.size() > 20);
            continue;
        }
        QCOMPARE(parameters, firstParameters);
        QCOMPARE(outline, firstOutline);
    }
}

QTEST_MAIN(TestSavePipeline)
#include "tst_savepipeline.moc"
