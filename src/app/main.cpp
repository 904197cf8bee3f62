#include <memory>

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

#include "FramelessHelper.h"
#include "LinkChoice.h"
#include "LinkFactory.h"
#include "LinkLogging.h"
#include "LinkOptions.h"
#include "MainWindow.h"
#include "StoredSettingsScreen.h"

namespace {

// The style sheets are drawn for a light palette; keep it whatever the desktop's theme is.
void keepLightLook() {
#ifdef Q_OS_WIN
    qputenv("QT_QPA_PLATFORM", "windows:darkmode=0");
#endif
}

void applyLightPalette(QApplication &app) {
#ifndef Q_OS_WIN
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette = app.style()->standardPalette();
    palette.setColor(QPalette::Window, QColor(0xF0, 0xF3, 0xF6));
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Button, QColor(0xF0, 0xF0, 0xF0));
    palette.setColor(QPalette::ButtonText, Qt::black);
    app.setPalette(palette);
#else
    (void)app;
#endif
}

}  // namespace

int main(int argc, char *argv[]) {
    // Before the application object: --help and --version answer without a display.
    const LinkOptions options = LinkOptions::parse(LinkOptions::argumentsOf(argc, argv));
    if (options.finished()) {
        options.print();
        return options.exitCode();
    }
    keepLightLook();
    QApplication app(argc, argv);
    applyLightPalette(app);
    QCoreApplication::setApplicationVersion(LinkOptions::version());
    QGuiApplication::setDesktopFileName(QStringLiteral("com.vexolan.vantiko"));  // packaging/*.desktop
    if (const QString note = StoredSettingsScreen::setAsideIfDamaged(); !note.isEmpty()) {
        qWarning("%s", qUtf8Printable(note));
    }

    // The link of the user's choice (options, then VANTIKO_LINK, then the vendor library or libftdi1).
    QString diagnostic;
    std::unique_ptr<UsbFifoLink> link = LinkFactory::create(LinkChoice::fromOptions(options), &diagnostic);
    if (!diagnostic.isEmpty()) {
        qCWarning(lcLink).noquote() << diagnostic;
    }
    qCInfo(lcLink) << "Using link backend" << link->backendName();
    auto window = std::make_unique<MainWindow>(link.get());
    auto *helper = new FramelessHelper(window.get());
    app.setStyleSheet(QStringLiteral("QMainWindow#MainWindow{background: transparent;}"));
    helper->attach(window.get());
    helper->setTitleBarHeight(40);
    helper->setResizeBorder(3);
    helper->setMoveEnabled(true);
    helper->setResizeEnabled(true);
    helper->setMoveRubberBand(false);
    helper->setResizeRubberBand(false);
    window->setAttribute(Qt::WA_TranslucentBackground);
    window->setWindowFlags(window->windowFlags() | Qt::FramelessWindowHint);
    window->show();

    const int result = app.exec();
    // The window's session gives the device back; then the link (and a library it loaded) goes, while the
    // application object is still there.
    window.reset();
    link.reset();
    return result;
}
