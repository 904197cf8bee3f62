#include <mutex>

#include <QApplication>
#include <QListWidget>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

#include "DisplayOrientation.h"
#include "FrameRateMeter.h"
#include "KeepRatioWidget.h"
#include "WindowFixture.h"

namespace {

// A 64 x 64 picture, black but for a bright top-left cell.
QImage markedPicture() {
    QImage image(64, 64, QImage::Format_Grayscale8);
    image.fill(0);
    image.setPixel(0, 0, qRgb(255, 255, 255));
    return image;
}

QPoint brightCell(const QImage &image) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qGray(image.pixel(x, y)) > 128) {
                return {x, y};
            }
        }
    }
    return {-1, -1};
}

QImage iconImage(const QIcon &icon) {
    return icon.pixmap(32, 32).toImage();
}

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void startsOnTheSystemPageWithTheWorkerPaused() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(ui->listWidget->count(), 5);
        QCOMPARE(ui->listWidget->currentRow(), 0);
        QCOMPARE(ui->listWidget->currentItem()->text(), QStringLiteral("System"));
        QCOMPARE(ui->stackedWidget->currentWidget(), ui->page);
        QVERIFY(ui->widget_play->isHidden());
        QVERIFY(ui->widget_bat->isHidden());
        QVERIFY(ui->widget_range->isHidden());
        QVERIFY(!ui->pushButton_full_on->isEnabled());
        QVERIFY(!ui->pushButton_full_off->isEnabled());
        QCOMPARE(ui->comboBox_saveframes->count(), 7);
        QCOMPARE(ui->comboBox_saveframes->itemText(6), QStringLiteral("1000"));
        QVERIFY(window.minimumWidth() >= 840);
        QCOMPARE(workerOf(window.session()).phase(), ReceiverThread::LoopPhase::Paused);
    }

    void navigationShowsThePageAndSwapsIcons() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        ui->listWidget->setCurrentRow(3);
        QCOMPARE(ui->stackedWidget->currentWidget(), ui->page_5);
        const QStringList normal{"control_1", "current_1", "calibration_1", "save_table", "about_1"};
        for (int i = 0; i < 5; ++i) {
            const QString name = i == 3 ? QStringLiteral("save_table_1") : normal[i];
            const QIcon expected(QStringLiteral(":/image/image_resource/%1.png").arg(name));
            QVERIFY2(iconImage(ui->listWidget->item(i)->icon()) == iconImage(expected), qPrintable(name));
        }
    }

    void orientationRotatesFirstThenMirrors() {
        DisplayOrientation orientation;
        orientation.rotate();
        QCOMPARE(brightCell(orientation.apply(markedPicture())), QPoint(63, 0));  // a quarter turn clockwise
        orientation.toggleMirrorHorizontal();
        QCOMPARE(brightCell(orientation.apply(markedPicture())), QPoint(0, 0));
        orientation.toggleMirrorHorizontal();
        orientation.rotate();
        orientation.rotate();
        orientation.rotate();
        QCOMPARE(orientation.angle(), 0);
        QCOMPARE(brightCell(orientation.apply(markedPicture())), QPoint(0, 0));
        orientation.toggleMirrorVertical();
        QCOMPARE(brightCell(orientation.apply(markedPicture())), QPoint(0, 63));
    }

    void displayedFramesFollowTheOrientationButtons() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.receive_displayImage(markedPicture());  // the first frame is only timed
        QCOMPARE(window.form()->label_fps->text(), QStringLiteral("FPS : N/A"));
        QVERIFY(window.imageView()->label()->pixmap().isNull());

        window.form()->pushButton_rotate->click();
        window.form()->pushButton_mirrorHorizontal->click();
        window.receive_displayImage(markedPicture());
        const QImage shown = window.imageView()->label()->pixmap().toImage();
        QCOMPARE(shown.size(), QSize(64, 64));
        QCOMPARE(brightCell(shown), QPoint(0, 0));
        QVERIFY(window.imageView()->label()->hasScaledContents());
    }

    void clickSelectsThePixelWhateverTheOrientation() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        WindowFixture::press(window, window.form()->pushButton_rotate);
        WindowFixture::press(window, window.form()->pushButton_mirrorVertical);
        emit window.imageView()->click_coor(5, 2);
        QCOMPARE(window.form()->label_clicked_locate->text(), QStringLiteral("Coordinate: ( 5 , 2 ) "));
        QCOMPARE(workerOf(window.session()).m_selectedIndex.load(), 133);
    }

    void currentReadout() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.handleCellClicked(12.3456789);
        QCOMPARE(window.form()->label_clicked_current->text(), QStringLiteral(" Current : 12.3457 nA "));
    }

    void frameRateReadout_data() {
        QTest::addColumn<int>("intervalMs");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("readout");
        QTest::newRow("20 ms") << 20 << 100 << "FPS : 50";
        QTest::newRow("30 ms truncates") << 30 << 66 << "FPS : 33";
        QTest::newRow("no frames") << 0 << 0 << "FPS : 0";
    }
    void frameRateReadout() {
        QFETCH(int, intervalMs);
        QFETCH(int, frames);
        QFETCH(QString, readout);
        FrameRateMeter meter;
        for (int i = 0; i < frames; ++i) {
            meter.addInterval(intervalMs);
        }
        QCOMPARE(meter.takeReadout(), readout);
        QCOMPARE(meter.takeReadout(), QStringLiteral("FPS : 0"));  // a new period starts empty
    }

    void closeButtonAsksAndIsRefusedWhileCapturing() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        fixture.answer = false;
        WindowFixture::press(window, window.form()->pushButton_close);
        QCOMPARE(fixture.lastMessage(), QString::fromUtf8("Are you sure you want to exit\xEF\xBC\x9F"));
        QVERIFY(window.isVisible());

        QVERIFY(WindowFixture::connectWindow(window));
        WindowFixture::press(window, window.form()->pushButton_play);
        QVERIFY(window.isCapturing());
        fixture.answer = true;
        WindowFixture::press(window, window.form()->pushButton_close);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Please stop the test first."));
        QVERIFY(window.isVisible());

        WindowFixture::press(window, window.form()->pushButton_play);
        WindowFixture::press(window, window.form()->pushButton_close);
        QVERIFY(!window.isVisible());
    }

    void maximiseButtonSwapsItsPicture() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.show();
        WindowFixture::press(window, window.form()->pushButton_maxsize);
        QVERIFY(window.form()->pushButton_maxsize->styleSheet().contains("Maximize-3.png"));
        QTRY_VERIFY(window.isMaximized());
        WindowFixture::press(window, window.form()->pushButton_maxsize);
        QVERIFY(window.form()->pushButton_maxsize->styleSheet().contains("Maximize-1.png"));
    }

    void polarityBoxesExcludeEachOther() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        Ui::MainWindow *ui = window.form();
        QVERIFY(ui->checkBox_positive->isChecked());
        ui->checkBox_negative->setChecked(true);
        QVERIFY(!ui->checkBox_positive->isChecked());
        ui->checkBox_negative->setChecked(false);
        QVERIFY(!ui->checkBox_positive->isChecked());  // both may be unchecked
    }

    void cancelledDirectoryPickerKeepsThePath() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        window.form()->lineEdit_savepath->setText("/keep/this");
        window.form()->pushButton_savepath->click();
        QCOMPARE(fixture.lastMessage(), QStringLiteral("Please select a valid path"));
        QCOMPARE(window.form()->lineEdit_savepath->text(), QStringLiteral("/keep/this"));

        UserDialogs::setHandler({[&fixture](const QString &t) {
                                     fixture.messages << t;
                                     return false;
                                 },
                                 QStringLiteral("/chosen/dir")});
        window.form()->pushButton_savepath->click();
        QCOMPARE(window.form()->lineEdit_savepath->text(), QStringLiteral("/chosen/dir"));
    }

    void voltageHelpOpensTheDialog() {
        WindowFixture fixture;
        MainWindow window(fixture.usbLink());
        WindowFixture::press(window, window.form()->pushButton_voltage_about);
        QCOMPARE(fixture.lastMessage(), QStringLiteral("VoltageDetails"));
    }

    void destructionJoinsTheWorkerEvenWhileCapturing() {
        WindowFixture fixture;
        auto window = std::make_unique<MainWindow>(fixture.usbLink());
        QVERIFY(WindowFixture::connectWindow(*window));
        WindowFixture::press(*window, window->form()->pushButton_play);
        QTRY_VERIFY(!window->imageView()->label()->pixmap().isNull());
        QSignalSpy finished(&workerOf(window->session()), &ReceiverThread::finished);
        window.reset();  // returns only once the worker thread has been stopped and joined
        QCOMPARE(finished.count(), 1);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
