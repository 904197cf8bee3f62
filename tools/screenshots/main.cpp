// Drives the main window through a first session on the simulated instrument and saves a picture of the
// window at each step: docs/screenshots/NN-name.png. Run offscreen: scripts/screenshots.sh.
#include <memory>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "KeepRatioWidget.h"
#include "MainWindow.h"
#include "SimulatedLink.h"
#include "UserDialogs.h"
#include "ui_MainWindow.h"

namespace {

void settle(int milliseconds) {
    QTest::qWait(milliseconds);
}

// The session's exchanges wait on timers: let them finish before the next step.
void waitForSession(MainWindow &window) {
    if (!QTest::qWaitFor([&window] { return window.session().isIdle(); }, 10000)) {
        qFatal("The session is still busy after 10 s");
    }
}

// Presses a button as the user does; one the user could not press now means the script has gone astray.
void press(QAbstractButton *button) {
    if (!button->isVisible() || !button->isEnabled()) {
        qFatal("%s cannot be pressed now", qPrintable(button->objectName()));
    }
    button->click();
}

void shoot(MainWindow &window, const QString &directory, const QString &name) {
    window.grab().save(QStringLiteral("%1/%2.png").arg(directory, name));
}

}  // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs/screenshots");
    QDir().mkpath(out);
    QTemporaryDir scratch;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, scratch.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, scratch.path());

    auto link = std::make_unique<SimulatedLink>();
    SimulatedLink *simulator = link.get();
    UserDialogs::setHandler({[](const QString &) { return false; }, QString()});

    {
        MainWindow window(link.get());
        window.setAttribute(Qt::WA_TranslucentBackground);
        window.setWindowFlags(window.windowFlags() | Qt::FramelessWindowHint);
        window.show();
        Ui::MainWindow *ui = window.form();
        settle(1500);
        shoot(window, out, "01-start");

        press(ui->pushButton_Connect);
        waitForSession(window);
        ui->listWidget->setCurrentRow(1);
        ui->radioButton_100->setChecked(true);
        ui->lineEdit_von->setText("10");
        ui->lineEdit_voff->setText("-5");
        ui->lineEdit_vc->setText("0");
        ui->lineEdit_vd->setText("0");
        press(ui->pushButton_set);
        waitForSession(window);
        settle(200);
        shoot(window, out, "02-connected-and-set");

        press(ui->pushButton_play);
        waitForSession(window);
        emit window.imageView()->click_coor(40, 24);
        settle(2500);
        ui->listWidget->setCurrentRow(2);
        settle(300);
        shoot(window, out, "03-live");

        press(ui->pushButton_cali);
        simulator->instrument()->setIllumination(Illumination::Dark);
        settle(300);
        press(ui->pushButton_full_off);
        settle(600);
        simulator->instrument()->setIllumination(Illumination::Flood);
        settle(300);
        press(ui->pushButton_full_on);
        settle(600);
        simulator->instrument()->setIllumination(Illumination::Scene);
        settle(2200);
        shoot(window, out, "04-calibrated");

        ui->listWidget->setCurrentRow(3);
        ui->lineEdit_savepath->setText(scratch.path());
        ui->lineEdit_savename->setText("scan");
        ui->comboBox_saveframes->setCurrentText("30");
        ui->checkBox_picture->setChecked(true);
        ui->checkBox_video->setChecked(true);
        window.form()->pushButton_save->click();
        settle(1500);
        shoot(window, out, "05-saved");

        press(ui->pushButton_play);
        waitForSession(window);
        settle(200);
    }
    UserDialogs::clearHandler();
    link.reset();
    return 0;
}
