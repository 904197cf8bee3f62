#include <cmath>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include "KeepRatioWidget.h"
#include "TestLinks.h"
#include "WindowFixture.h"

namespace {

// Keeps the newest picture the worker sent, on the test's thread.
class PictureWatcher : public QObject {
public:
    explicit PictureWatcher(InstrumentSession &session) {
        connect(&session, &InstrumentSession::frameReady, this, [this](const QImage &image) {
            m_latest = image;
            ++m_count;
        });
    }
    // The picture of a frame requested after now (skips frames already on the wire).
    QImage nextPicture() {
        const int target = m_count + 3;
        if (!QTest::qWaitFor([&] { return m_count >= target; }, 5000)) {
            return {};
        }
        return m_latest;
    }

private:
    QImage m_latest;
    int m_count = 0;
};

double spread(const QImage &image) {
    double sum = 0, squares = 0;
    const int n = image.width() * image.height();
    for (int y = 0; y < image.height(); ++y) {
        const uchar *line = image.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            sum += line[x];
            squares += double(line[x]) * line[x];
        }
    }
    const double mean = sum / n;
    return std::sqrt(std::max(0.0, squares / n - mean * mean));
}

// The walkthrough's fixture on the named link (see TestLink).
std::unique_ptr<WindowFixture> makeFixture(const QString &backend) {
    TestLink made = TestLink::make(backend);
    if (!made.link) {
        return nullptr;
    }
    return std::make_unique<WindowFixture>(std::move(made.link), std::move(made.control));
}

}  // namespace

// A new user's first session on the simulated instrument, end to end, as the window does it.
class TestWalkthrough : public QObject {
    Q_OBJECT

private slots:
    void firstSession_data() {
        QTest::addColumn<QString>("backend");
        QTest::newRow("simulator") << "simulator";
        QTest::newRow("vendor library") << "d2xx";
    }
    void firstSession() {
        QFETCH(QString, backend);
        const std::unique_ptr<WindowFixture> fixturePointer = makeFixture(backend);
        QVERIFY(fixturePointer);
        WindowFixture &fixture = *fixturePointer;
        QTemporaryDir saves;
        {
            MainWindow window(fixture.usbLink());
            Ui::MainWindow *ui = window.form();
            window.show();
            PictureWatcher pictures(window.session());

            // Connect: the battery gauge appears.
            QTRY_COMPARE(ui->comboBox->itemText(0), QStringLiteral("VANTIKO"));
            QVERIFY(WindowFixture::connectWindow(window));
            QVERIFY(!ui->widget_bat->isHidden());
            QVERIFY(ui->widget_31->width() > 0);

            // 100 nA, Von 10 V, Voff -5 V, both bias voltages 0 V.
            WindowFixture::applySetting(window, ui->radioButton_100, "10", "-5", "0", "0");
            QCOMPARE(fixture.lastMessage(), QStringLiteral("Setting successful."));

            // Play: live picture and a frame rate near the sensor's (about 77 frames per second at 100 nA).
            WindowFixture::press(window, ui->pushButton_play);
            QTRY_VERIFY(!window.imageView()->label()->pixmap().isNull());
            static const QRegularExpression fpsText(R"(^FPS : (\d+)$)");
            QTRY_VERIFY_WITH_TIMEOUT(
                fpsText.match(ui->label_fps->text()).hasMatch() && ui->label_fps->text() != QStringLiteral("FPS : 0"),
                6000);
            const int fps = fpsText.match(ui->label_fps->text()).captured(1).toInt();
            // Frames queued while the window was busy are counted in a burst, so the figure can sit a little above.
            QVERIFY2(fps >= 30 && fps <= 100, qPrintable(ui->label_fps->text()));

            // A click on a pixel shows its current.
            emit window.imageView()->click_coor(32, 32);
            QCOMPARE(ui->label_clicked_locate->text(), QStringLiteral("Coordinate: ( 32 , 32 ) "));
            static const QRegularExpression currentText(R"(^ Current : (-?\d+\.\d{4}) nA $)");
            QTRY_VERIFY(currentText.match(ui->label_clicked_current->text()).hasMatch());
            const double current = currentText.match(ui->label_clicked_current->text()).captured(1).toDouble();
            QVERIFY(current >= 0 && current <= 100);

            // Calibrate: full-off in the dark, full-on under flood light.
            ui->listWidget->setCurrentRow(2);
            WindowFixture::press(window, ui->pushButton_cali);
            QVERIFY(ui->pushButton_full_on->isEnabled());
            QVERIFY(fixture.control("flood"));
            const QImage floodPlain = pictures.nextPicture();
            QVERIFY(!floodPlain.isNull());
            QVERIFY(fixture.control("dark"));
            pictures.nextPicture();
            ui->pushButton_full_off->click();
            QTRY_COMPARE(fixture.lastMessage(), QStringLiteral("Full off success"));
            QVERIFY(fixture.control("flood"));
            pictures.nextPicture();
            ui->pushButton_full_on->click();
            QTRY_COMPARE(fixture.lastMessage(), QStringLiteral("Full on success"));

            // Under the same flood light the calibrated picture is flat: each pixel's gain is divided out.
            const QImage floodCalibrated = pictures.nextPicture();
            QVERIFY2(spread(floodCalibrated) < 0.25 * spread(floodPlain),
                     qPrintable(QStringLiteral("%1 vs %2").arg(spread(floodCalibrated)).arg(spread(floodPlain))));
            QVERIFY(fixture.control("scene"));

            // Save 5 frames with data, pictures and video.
            ui->listWidget->setCurrentRow(3);
            ui->lineEdit_savepath->setText(saves.path());
            ui->lineEdit_savename->setText("first");
            ui->comboBox_saveframes->setCurrentText("5");
            ui->checkBox_data->setChecked(true);
            ui->checkBox_picture->setChecked(true);
            ui->checkBox_video->setChecked(true);
            window.form()->pushButton_save->click();
            QTRY_COMPARE(ui->label_savestate->text(), QStringLiteral("Save success!"));
            QTRY_VERIFY(!workerOf(window.session()).saveInProgress());
            const QDir run(saves.path() + "/first");
            QCOMPARE(run.entryList({"*.csv"}, QDir::Files).size(), 4);
            QCOMPARE(QDir(run.filePath("pic")).entryList({"*.png"}, QDir::Files).size(), 5);
            QVERIFY(QFileInfo(run.filePath("first_output_video.mp4")).size() > 0);
            QVERIFY(QFileInfo(run.filePath("first_SetParameterData.txt")).size() > 0);

            // Stop, disconnect, close.
            WindowFixture::press(window, ui->pushButton_play);
            QVERIFY(!window.isCapturing());
            WindowFixture::press(window, ui->pushButton_Connect);
            QVERIFY(!window.isConnected());
            fixture.answer = true;
            WindowFixture::press(window, ui->pushButton_close);
            QVERIFY(!window.isVisible());
        }

        // Restart: everything as it was left.
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        QVERIFY(ui->radioButton_100->isChecked());
        QCOMPARE(ui->lineEdit_von->text(), QStringLiteral("10"));
        QCOMPARE(ui->lineEdit_voff->text(), QStringLiteral("-5"));
        QCOMPARE(ui->lineEdit_vc->text(), QStringLiteral("0"));
        QCOMPARE(ui->lineEdit_vd->text(), QStringLiteral("0"));
        QCOMPARE(ui->lineEdit_savepath->text(), saves.path());
        QCOMPARE(ui->lineEdit_savename->text(), QStringLiteral("first"));
        QCOMPARE(ui->comboBox_saveframes->currentText(), QStringLiteral("5"));
        QVERIFY(ui->checkBox_picture->isChecked());
        QVERIFY(ui->checkBox_video->isChecked());
        QCOMPARE(workerOf(window.session()).m_integralTime.load(), 91200.0);
        QCOMPARE(workerOf(window.session()).m_integralCurrent.load(), 9.6);
        QCOMPARE(workerOf(window.session()).m_currentRange.load(), 100);
        QVERIFY(workerOf(window.session()).m_currentMode.load());
    }
};

QTEST_MAIN(TestWalkthrough)
#include "tst_walkthrough.moc"
