#pragma once

#include <functional>
#include <memory>

#include <QAbstractButton>
#include <QListWidget>
#include <QSettings>
#include <QStackedWidget>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include "InstrumentSessionProbe.h"
#include "MainWindow.h"
#include "SimulatedLink.h"
#include "UserDialogs.h"
#include "ui_MainWindow.h"

// What a main window runs on in a test: a simulated instrument (or another link), its own settings store, and
// every modal message collected instead of shown. The fixture owns the link, as the program's entry point
// does: build windows on usbLink() and destroy them before the fixture.
class WindowFixture {
public:
    // Lines of the simulator's control language ("dark", "flood", "scene", "unplug", ...).
    using Control = std::function<bool(const char *line)>;

    // On the built-in simulated instrument.
    WindowFixture() : WindowFixture(std::make_unique<SimulatedLink>(), {}) {}
    // On another link (the vendor-library stand-in, say) whose instrument `control` drives.
    WindowFixture(std::unique_ptr<UsbFifoLink> link, Control control) : m_control(std::move(control)) {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settingsDir.path());
        m_link = dynamic_cast<SimulatedLink *>(link.get());
        m_ownedLink = std::move(link);
        UserDialogs::setHandler({[this](const QString &text) {
                                     messages << text;
                                     return answer;
                                 },
                                 QString()});
    }
    ~WindowFixture() { UserDialogs::clearHandler(); }

    // The link a window of this fixture is built on.
    UsbFifoLink *usbLink() const { return m_ownedLink.get(); }

    // Only on the built-in simulator.
    SimulatedLink &link() { return *m_link; }
    SimulatedInstrument &instrument() { return *m_link->instrument(); }
    // Works on every link the fixture was given a way to drive.
    bool control(const char *line) { return m_link ? m_link->applyControlCommand(line) : m_control(line); }
    QString lastMessage() const { return messages.isEmpty() ? QString() : messages.last(); }

    // Waits until the window's session has run every operation asked of it (exchanges wait on timers).
    static void settle(MainWindow &window) {
        if (!QTest::qWaitFor([&window] { return window.session().isIdle(); }, 10000)) {
            QFAIL("the session is still busy after 10 s");
        }
    }
    // Goes, through the navigation list, to the page that holds `control`; controls outside the pages (the
    // title bar's) are always on show.
    static void showPageOf(MainWindow &window, QWidget *control) {
        Ui::MainWindow *ui = window.form();
        for (QWidget *widget = control; widget != nullptr; widget = widget->parentWidget()) {
            if (widget->parentWidget() == ui->stackedWidget) {
                ui->listWidget->setCurrentRow(ui->stackedWidget->indexOf(widget));
                return;
            }
        }
    }
    // Presses a button as the user does: on its page, and only if the user could press it there (shown and
    // enabled). The click goes through the button's own connection; then waits for what it asked of the session.
    static void press(MainWindow &window, QAbstractButton *button) {
        QVERIFY(button != nullptr);
        showPageOf(window, button);
        QVERIFY2(button->isVisibleTo(&window), qPrintable(button->objectName() + QStringLiteral(" is not on show")));
        QVERIFY2(button->isEnabled(), qPrintable(button->objectName() + QStringLiteral(" is disabled")));
        button->click();
        settle(window);
    }

    static bool connectWindow(MainWindow &window) {
        press(window, window.form()->pushButton_Connect);
        return window.isConnected();
    }

    // Fills the Settings page and presses Setting.
    static void applySetting(MainWindow &window, QRadioButton *range, const QString &von, const QString &voff,
                             const QString &vbias1, const QString &vbias2, bool positive = true) {
        Ui::MainWindow *ui = window.form();
        range->setChecked(true);
        ui->lineEdit_von->setText(von);
        ui->lineEdit_voff->setText(voff);
        ui->lineEdit_vc->setText(vbias1);
        ui->lineEdit_vd->setText(vbias2);
        (positive ? ui->checkBox_positive : ui->checkBox_negative)->setChecked(true);
        if (positive) {
            ui->checkBox_negative->setChecked(false);
        }
        press(window, ui->pushButton_set);
    }

    QStringList messages;
    bool answer = false;  // how questions are answered

private:
    QTemporaryDir m_settingsDir;
    std::unique_ptr<UsbFifoLink> m_ownedLink;
    SimulatedLink *m_link = nullptr;
    Control m_control;
};
