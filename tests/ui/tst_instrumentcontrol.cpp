#include <mutex>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "KeepRatioWidget.h"
#include "SmallFileSystem.h"
#include "WindowFixture.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes bytesOf(const char *hex) {
    Bytes out;
    for (const QByteArray &word : QByteArray(hex).split(' ')) {
        out.push_back(static_cast<std::uint8_t>(word.toUInt(nullptr, 16)));
    }
    return out;
}

QStringList comboTexts(const QComboBox *box) {
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts << box->itemText(i);
    }
    return texts;
}

QStringList entries(const QString &directory) {
    return QDir(directory).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
}

// Fills the Save page and presses Save.
void requestSave(MainWindow &window, const QString &directory, const QString &name, const QString &frames,
                 bool media = false) {
    Ui::MainWindow *ui = window.form();
    ui->lineEdit_savepath->setText(directory);
    ui->lineEdit_savename->setText(name);
    ui->comboBox_saveframes->setCurrentText(frames);
    ui->checkBox_data->setChecked(true);
    ui->checkBox_picture->setChecked(media);
    ui->checkBox_video->setChecked(media);
    window.form()->pushButton_save->click();
}

// How many range and bias parameter commands the instrument has received (among the latest it keeps).
int parameterCommands(WindowFixture &fixture) {
    int count = 0;
    for (const Bytes &command : fixture.instrument().receivedCommands()) {
        count += command.size() > 2 && command[0] == 0xFF && command[1] == 0xAA && command[2] == 0xB0 ? 1 : 0;
    }
    return count;
}

bool frameShown(MainWindow &window) {
    return !window.imageView()->label()->pixmap().isNull();
}

void startCaptureAndWaitForFrames(MainWindow &window) {
    WindowFixture::press(window, window.form()->pushButton_play);
    QVERIFY(window.isCapturing());
    QTRY_VERIFY(frameShown(window));
}

}  // namespace

class TestInstrumentControl : public QObject {
    Q_OBJECT

private slots:
    void discoveryListsTheAttachedDevices() {
        WindowFixture fixture;
        fixture.link().addDevice("OTHER01");
        MainWindow window(fixture.usbLink());
        QTRY_COMPARE(comboTexts(window.form()->comboBox), QStringList({"VANTIKO", "OTHER01"}));
    }

    void discoveryWaitsForSerialNumbers() {
        WindowFixture fixture;
        fixture.instrument().setSerialEmptyForEnumerations(2);
        MainWindow window(fixture.usbLink());
        QTRY_COMPARE(comboTexts(window.form()->comboBox), QStringList({"Read information: 0 s"}));
        QTRY_COMPARE(comboTexts(window.form()->comboBox), QStringList({"Read information: 1 s"}));
        QTRY_COMPARE(comboTexts(window.form()->comboBox), QStringList({"VANTIKO"}));
    }

    void discoveryGivesUpAfterElevenTicks() {
        WindowFixture fixture;
        fixture.instrument().setSerialEmptyForEnumerations(1000);
        MainWindow window(fixture.usbLink());
        QTRY_COMPARE_WITH_TIMEOUT(comboTexts(window.form()->comboBox),
                                  QStringList({"Read information: 10 s", "Incomplete device info"}), 15000);
    }

    void noDeviceMeansNoConnection() {
        WindowFixture fixture;
        fixture.link().unplug();
        MainWindow window(fixture.usbLink());
        QTRY_COMPARE(comboTexts(window.form()->comboBox), QStringList({"No Devices"}));
        QVERIFY(!WindowFixture::connectWindow(window));
        QCOMPARE(fixture.lastMessage(), QStringLiteral("No Device Connected"));
        QCOMPARE(window.form()->pushButton_Connect->text(), QStringLiteral("Connect"));
    }

    void anotherSerialNumberIsNotOpened() {
        WindowFixture fixture;
        fixture.link().unplug();
        fixture.link().addDevice("OTHER01");
        MainWindow window(fixture.usbLink());
        QVERIFY(!WindowFixture::connectWindow(window));
        QCOMPARE(fixture.lastMessage(), QStringLiteral("No Device Connected"));
    }

    void unansweredHandshakeClosesTheLink() {
        WindowFixture fixture;
        fixture.instrument().leaveCommandsUnanswered(1);
        MainWindow window(fixture.usbLink());
        QVERIFY(!WindowFixture::connectWindow(window));
        QCOMPARE(fixture.lastMessage(), QStringLiteral("No Device Connected"));
        QVERIFY(window.form()->widget_play->isHidden());
        QVERIFY(WindowFixture::connectWindow(window));  // the failed attempt released the device
    }

    void connectShowsTheBatteryGauge_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("width");
        QTest::newRow("empty") << 2048 << 0;
        QTest::newRow("2300") << 2300 << 7;
        QTest::newRow("full") << 2576 << 16;
    }
    void connectShowsTheBatteryGauge() {
        QFETCH(int, code);
        QFETCH(int, width);
        WindowFixture fixture;
        fixture.instrument().setBatteryCode(static_cast<std::uint16_t>(code));
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        QCOMPARE(window.form()->pushButton_Connect->text(), QStringLiteral("Disconnect"));
        QVERIFY(!window.form()->widget_play->isHidden());
        QVERIFY(!window.form()->widget_bat->isHidden());
        QCOMPARE(window.form()->widget_31->width(), width);
        QCOMPARE(window.form()->widget_31->height(), 10);
    }

    void batteryQueryAfterDisconnectTouchesNoLink() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        WindowFixture::press(window, window.form()->pushButton_Connect);
        QVERIFY(!window.isConnected());
        const auto commandsBefore = fixture.instrument().receivedCommands().size();
        window.session().readBattery();
        WindowFixture::settle(window);
        QCOMPARE(fixture.instrument().receivedCommands().size(), commandsBefore);
    }

    void settingSendsTheParameterCommand_data() {
        QTest::addColumn<QString>("range");
        QTest::addColumn<bool>("positive");
        QTest::addColumn<Bytes>("command");
        QTest::addColumn<double>("time");
        QTest::addColumn<double>("capacitance");
        QTest::newRow("100 nA positive") << "radioButton_100" << true
                                         << bytesOf("FF AA B0 01 00 0D 00 1C 80 07 01 0B B3 06 25 08 9E 08 9E 40 0D")
                                         << 91200.0 << 9.6;
        QTest::newRow("1 nA negative") << "radioButton_1" << false
                                       << bytesOf("FF AA B0 01 00 0D 01 64 40 03 00 0B B3 06 25 08 9E 08 9E 44 0D")
                                       << 1140000.0 << 1.2;
    }
    void settingSendsTheParameterCommand() {
        QFETCH(QString, range);
        QFETCH(bool, positive);
        QFETCH(Bytes, command);
        QFETCH(double, time);
        QFETCH(double, capacitance);
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        auto *button = window.findChild<QRadioButton *>(range);
        WindowFixture::applySetting(window, button, "10", "-5", "0", "0", positive);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Setting successful."));
        QCOMPARE(fixture.instrument().receivedCommands().back(), command);
        ReceiverThread &worker = workerOf(window.session());
        QCOMPARE(worker.m_integralTime.load(), time);
        QCOMPARE(worker.m_integralCurrent.load(), capacitance);
        QCOMPARE(worker.m_currentMode.load(), positive);
        const int expectedRange = positive ? 100 : 1;
        QCOMPARE(worker.m_currentRange.load(), expectedRange);
        QCOMPARE(worker.fullOnReference().front(), double(expectedRange));
        QVERIFY(window.settingsSummary().startsWith(
            QStringLiteral("Current:%1\nVbias1:0\nVbias2:0\nVon:10\nVoff:-5\n").arg(expectedRange)));
        QVERIFY(window.settingsSummary().endsWith(positive ? "Model: positive \n" : "Model: negative \n"));
    }

    void unansweredSettingFailsButKeepsTheNewRange() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        fixture.instrument().leaveCommandsUnanswered(1);
        WindowFixture::applySetting(window, window.form()->radioButton_10, "10", "-5", "0", "0");
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Setting failed"));
        QCOMPARE(workerOf(window.session()).m_currentRange.load(), 10);
        QCOMPARE(workerOf(window.session()).m_videoFps.load(), 15);
        QCOMPARE(workerOf(window.session()).m_integralTime.load(), 0.0);  // only an acknowledged setting changes these
    }

    void optionalGearRange() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        window.form()->lineEdit_gear->setText("2.5");
        WindowFixture::applySetting(window, window.form()->radioButton_optional_gear, "10", "-5", "0", "0");
        QVERIFY(!window.form()->widget_range->isHidden());
        QCOMPARE(window.integrationCount(), 72960);
        QCOMPARE(window.gearCode(), 4);
        QCOMPARE(workerOf(window.session()).m_currentRange.load(), 2);
        QVERIFY(window.settingsSummary().startsWith("Current:2.5\n"));
    }

    void settingIsRefusedWhenIncompleteOrCapturing() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        WindowFixture::applySetting(window, window.form()->radioButton_100, "10", "", "0", "0");
        QCOMPARE(fixture.lastMessage(), QStringLiteral("input fields are empty"));
        QCOMPARE(parameterCommands(fixture), 0);
        startCaptureAndWaitForFrames(window);
        QVERIFY(!window.form()->pushButton_set->isEnabled());
        // Pressing the disabled button does nothing: no message, no parameter command.
        const qsizetype messagesBefore = fixture.messages.size();
        window.form()->pushButton_set->click();
        WindowFixture::settle(window);
        QCOMPARE(fixture.messages.size(), messagesBefore);
        QCOMPARE(parameterCommands(fixture), 0);
        // No press can reach the page's own refusal while capturing (the button is disabled for as long as a
        // capture runs), so it is asked directly.
        window.handle_set_button_click();
        WindowFixture::settle(window);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Setting is not available during data collection."));
        QCOMPARE(parameterCommands(fixture), 0);
        WindowFixture::press(window, window.form()->pushButton_play);
        QVERIFY(window.form()->pushButton_set->isEnabled());
    }

    void refusalsWithoutACapture() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        // Without a connection the play button is hidden, so no press can reach its refusal: it is asked directly.
        QVERIFY(window.form()->widget_play->isHidden());
        window.handle_play_button_click();
        WindowFixture::settle(window);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("No Devices Connected."));
        WindowFixture::press(window, window.form()->pushButton_cali);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Please Start capture first!"));
        window.form()->pushButton_save->click();
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Please start collecting data"));
    }

    void saveFrameCountIsChecked_data() {
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("message");
        QTest::newRow("above 1000") << "1200"
                                    << "The input value cannot exceed 1000! ";
        QTest::newRow("zero") << "0"
                              << "The input value cannot be less than 1! ";
        QTest::newRow("not a number") << "many"
                                      << "The input value cannot be less than 1! ";
    }
    void saveFrameCountIsChecked() {
        QFETCH(QString, count);
        QFETCH(QString, message);
        WindowFixture fixture;
        QTemporaryDir saves;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);
        window.form()->lineEdit_savepath->setText(saves.path());
        window.form()->comboBox_saveframes->setCurrentText(count);
        window.form()->pushButton_save->click();
        QCOMPARE(fixture.lastMessage(), message);
        QVERIFY(!workerOf(window.session()).saveInProgress());
        QVERIFY(QDir(saves.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }

    void saveWritesTheWholeRun() {
        WindowFixture fixture;
        QTemporaryDir saves;
        QDir(saves.path()).mkdir("scan");
        QDir(saves.path()).mkdir("scan_1");
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        QVERIFY(WindowFixture::connectWindow(window));
        WindowFixture::applySetting(window, ui->radioButton_100, "10", "-5", "0", "0");
        startCaptureAndWaitForFrames(window);
        ui->lineEdit_savepath->setText(saves.path());
        ui->lineEdit_savename->setText("scan");
        ui->comboBox_saveframes->setCurrentText("5");
        ui->checkBox_data->setChecked(true);
        ui->checkBox_picture->setChecked(true);
        ui->checkBox_video->setChecked(true);
        window.form()->pushButton_save->click();
        window.form()->pushButton_save->click();  // a second run waits for the first
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Please wait until the current save has finished."));
        QTRY_COMPARE(ui->label_savestate->text(), QStringLiteral("Save success!"));
        QTRY_VERIFY(!workerOf(window.session()).saveInProgress());
        QCOMPARE(ui->progressBar->value(), 100);

        const QString run = saves.path() + "/scan_2/";
        QFile parameters(run + "scan_2_SetParameterData.txt");
        QVERIFY(parameters.open(QIODevice::ReadOnly));
        QCOMPARE(parameters.readAll(),
                 QByteArray("Current:100\nVbias1:0\nVbias2:0\nVon:10\nVoff:-5\nModel: positive \n"));
        for (const char *suffix : {"_current.csv", "_gray.csv", "_fulloff.csv", "_fullon.csv"}) {
            QVERIFY2(QFileInfo(run + "scan_2" + suffix).size() > 0, suffix);
        }
        QFile current(run + "scan_2_current.csv");
        QVERIFY(current.open(QIODevice::ReadOnly));
        QCOMPARE(current.readAll().count('\n'), 5 * 66);
        for (int k = 1; k <= 5; ++k) {
            QImage picture(run + QStringLiteral("pic/scan_2_%1.png").arg(k));
            QCOMPARE(picture.size(), QSize(64, 64));
        }
        QVERIFY(!QFile::exists(run + "pic/scan_2_6.png"));

        QProcess probe;
        probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                                "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0",
                                run + "scan_2_output_video.mp4"});
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.readAllStandardOutput().trimmed(), QByteArray("mpeg4,64,64,5"));
    }

    void saveNameIsChecked_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        const QString blank = QStringLiteral("Please enter a save name");
        const QString unsafe = QStringLiteral("The save name cannot contain / \\ .. or control characters");
        QTest::newRow("empty") << "" << blank;
        QTest::newRow("blank") << " \t " << blank;
        QTest::newRow("parent folder") << "../escape" << unsafe;
        QTest::newRow("only dots") << ".." << unsafe;
        QTest::newRow("dots inside") << "scan..2" << unsafe;
        QTest::newRow("slash") << "runs/scan" << unsafe;
        QTest::newRow("absolute") << "/tmp/scan" << unsafe;
        QTest::newRow("backslash") << "runs\\scan" << unsafe;
        QTest::newRow("line end") << "scan\nnext" << unsafe;
        QTest::newRow("tab inside") << "scan\t2" << unsafe;
        QTest::newRow("escape character") << QStringLiteral("scan\x1b[2J") << unsafe;
    }
    void saveNameIsChecked() {
        QFETCH(QString, name);
        QFETCH(QString, message);
        WindowFixture fixture;
        QTemporaryDir parent;
        const QString saves = parent.filePath(QStringLiteral("saves"));
        QVERIFY(QDir().mkpath(saves));
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);
        requestSave(window, saves, name, QStringLiteral("1"));
        QCOMPARE(fixture.lastMessage(), message);
        QVERIFY(!workerOf(window.session()).saveInProgress());
        QTest::qWait(100);
        QCOMPARE(entries(saves), QStringList());
        QCOMPARE(entries(parent.path()), QStringList{QStringLiteral("saves")});
    }

    void saveNameStaysAsTyped() {
        WindowFixture fixture;
        QTemporaryDir saves;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);
        const QString name = QStringLiteral("%1 run %2 %L1");
        for (const QString &run : {name, name + QStringLiteral("_1")}) {
            window.form()->label_savestate->clear();
            requestSave(window, saves.path(), name, QStringLiteral("1"));
            QTRY_COMPARE(window.form()->label_savestate->text(), QStringLiteral("Save success!"));
            QTRY_VERIFY(!workerOf(window.session()).saveInProgress());
            QVERIFY2(
                QFileInfo(saves.filePath(run + QLatin1Char('/') + run + QStringLiteral("_current.csv"))).size() > 0,
                qPrintable(run));
            QVERIFY(
                QFile::exists(saves.filePath(run + QLatin1Char('/') + run + QStringLiteral("_SetParameterData.txt"))));
        }
        QCOMPARE(entries(saves.path()), (QStringList{name, name + QStringLiteral("_1")}));
        QVERIFY(fixture.messages.isEmpty());
    }

    void failedSaveIsReportedOnce_data() {
        QTest::addColumn<bool>("fullDisk");
        QTest::addColumn<QString>("reason");
        QTest::newRow("disk full while writing") << true << "No space left on device";
        QTest::newRow("folder below a file") << false << "Not a directory";
    }
    void failedSaveIsReportedOnce() {
        QFETCH(bool, fullDisk);
        QFETCH(QString, reason);
        const SmallFileSystem disk("64k");
        if (fullDisk && !disk.isMounted()) {
            QSKIP("a small file system can only be mounted as root");
        }
        QTemporaryDir scratch;
        QString directory = disk.path();
        if (!fullDisk) {
            QFile blocker(scratch.filePath(QStringLiteral("blocker")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
            directory = blocker.fileName() + QStringLiteral("/runs");
        }
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        QSignalSpy ends(&window.session(), &InstrumentSession::saveFinished);
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);

        // Five frames of data, pictures and video do not fit into 64 KiB.
        requestSave(window, directory, QStringLiteral("scan"), QStringLiteral("5"), true);
        QTRY_COMPARE_WITH_TIMEOUT(ends.size(), 1, 10000);
        QCOMPARE(ends.at(0).at(0).toBool(), false);
        QCOMPARE(ui->label_savestate->text(), QStringLiteral("Save failed"));
        QCOMPARE(fixture.messages.size(), 1);
        const QString message = fixture.messages.front();
        QVERIFY2(message.startsWith(QStringLiteral("Save failed: could not write ") + directory + QLatin1Char('/')),
                 qPrintable(message));
        QVERIFY2(message.endsWith(QLatin1Char('\n') + reason), qPrintable(message));
        // Nothing later overwrites it, and acquisition goes on.
        QTRY_VERIFY(!workerOf(window.session()).saveInProgress());
        QSignalSpy frames(&window.session(), &InstrumentSession::frameReady);
        QTRY_VERIFY(frames.size() >= 5);
        QCOMPARE(ui->label_savestate->text(), QStringLiteral("Save failed"));
        QCOMPARE(fixture.messages.size(), 1);
        QVERIFY(window.isCapturing());

        // The next save into a folder with room works.
        requestSave(window, scratch.path(), QStringLiteral("next"), QStringLiteral("2"), true);
        QTRY_COMPARE_WITH_TIMEOUT(ui->label_savestate->text(), QStringLiteral("Save success!"), 10000);
        QCOMPARE(ends.size(), 2);
        QCOMPARE(ends.at(1).at(0).toBool(), true);
        QCOMPARE(fixture.messages.size(), 1);
        QCOMPARE(QDir(scratch.filePath(QStringLiteral("next/pic"))).entryList(QDir::Files).size(), 2);
    }

    void settingsSurviveARestart() {
        WindowFixture fixture;
        {
            MainWindow window(fixture.usbLink());
            Ui::MainWindow *ui = window.form();
            ui->comboBox_saveframes->setCurrentText("30");
            ui->lineEdit_savepath->setText("/data/runs");
            ui->lineEdit_savename->setText("scan");
            ui->lineEdit_von->setText("10");
            ui->lineEdit_voff->setText("-5");
            ui->lineEdit_vc->setText("0.5");
            ui->lineEdit_vd->setText("0.5");
            ui->radioButton_10->setChecked(true);
            ui->checkBox_negative->setChecked(true);
            ui->checkBox_data->setChecked(false);
            ui->checkBox_video->setChecked(true);
            ui->checkBox_hdf5->setChecked(true);
            workerOf(window.session()).m_integralTime = 912000.0;
            workerOf(window.session()).m_integralCurrent = 9.6;
            workerOf(window.session()).m_currentRange = 10;
            workerOf(window.session()).m_currentMode = false;
        }
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        QCOMPARE(ui->comboBox_saveframes->currentText(), QStringLiteral("30"));
        QCOMPARE(ui->lineEdit_savepath->text(), QStringLiteral("/data/runs"));
        QCOMPARE(ui->lineEdit_savename->text(), QStringLiteral("scan"));
        QCOMPARE(ui->lineEdit_vc->text(), QStringLiteral("0.5"));
        QVERIFY(ui->radioButton_10->isChecked());
        QCOMPARE(window.selectedCurrentRange(), 10.0);
        QVERIFY(ui->checkBox_negative->isChecked());
        QVERIFY(!ui->checkBox_positive->isChecked());
        QVERIFY(ui->checkBox_data->isChecked());  // a stored false never unchecks
        QVERIFY(ui->checkBox_video->isChecked());
        QVERIFY(ui->checkBox_hdf5->isChecked());
        QVERIFY(!ui->checkBox_picture->isChecked());
        QCOMPARE(window.settingsSummary(),
                 QStringLiteral("Current:10\nVbias1:0.5\nVbias2:0.5\nVon:10\nVoff:-5\nModel : negative"));
        QCOMPARE(workerOf(window.session()).m_integralTime.load(), 912000.0);
        QCOMPARE(workerOf(window.session()).m_integralCurrent.load(), 9.6);
        QCOMPARE(workerOf(window.session()).m_currentRange.load(), 10);
        QCOMPARE(workerOf(window.session()).m_currentMode.load(), false);
    }

    void firstStartWithAnEmptyStore() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QCOMPARE(window.form()->comboBox_saveframes->currentText(), QStringLiteral("0"));
        QVERIFY(window.form()->radioButton_500->isChecked());
        QVERIFY(window.settingsSummary().startsWith("Current:500\n"));
        QCOMPARE(workerOf(window.session()).m_currentRange.load(), 0);
    }

    void unpluggingDuringACaptureEndsItCleanly() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);
        fixture.link().unplug();
        QTRY_COMPARE(fixture.lastMessage(), QStringLiteral("Device disconnected."));
        QVERIFY(!window.isCapturing());
        QVERIFY(!window.isConnected());
        QCOMPARE(window.form()->pushButton_Connect->text(), QStringLiteral("Connect"));
        QVERIFY(window.form()->widget_play->isHidden());
        QCOMPARE(workerOf(window.session()).phase(), ReceiverThread::LoopPhase::Paused);
    }

    void anotherDeviceComingLeavesTheConnectionAlone() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        fixture.link().addDevice("OTHER01");
        QTRY_COMPARE(comboTexts(window.form()->comboBox), QStringList({"VANTIKO", "OTHER01"}));
        QVERIFY(window.isConnected());
        QVERIFY(!fixture.messages.contains("Device disconnected."));
    }

    void readFailuresEndCaptureAndConnection() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);
        fixture.instrument().failReads(1000);
        QTRY_COMPARE_WITH_TIMEOUT(fixture.lastMessage(), QStringLiteral("Error Occurred."), 10000);
        QVERIFY(!window.isCapturing());
        QVERIFY(!window.isConnected());
        QCOMPARE(window.form()->pushButton_Connect->text(), QStringLiteral("Connect"));
    }

    void deviceLostWithoutNoticeEndsCaptureAndConnection() {
        // The instrument goes away and no device-change event says so: only its failing status calls do.
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(window));
        startCaptureAndWaitForFrames(window);
        fixture.link().setDeviceChangeCallback({});
        fixture.link().unplug();
        QTRY_COMPARE_WITH_TIMEOUT(fixture.lastMessage(), QStringLiteral("Error Occurred."), 10000);
        QVERIFY(!window.isCapturing());
        QVERIFY(!window.isConnected());
        QVERIFY(!fixture.messages.contains(QStringLiteral("Device disconnected.")));
    }
};

QTEST_MAIN(TestInstrumentControl)
#include "tst_instrumentcontrol.moc"
