#include "UserDialogs.h"

#include <optional>

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

namespace {

std::optional<UserDialogs::Handler> g_handler;

const char *const framedStyle =
    "QMessageBox {  background-color: #F0F3F6;  color:black;  padding:20px;  border-style: solid;  "
    "border-width: 1px;  border-color: grey;  border-radius: 5px;}";

int runBox(const QString &text, UserDialogs::Look look, QMessageBox::StandardButtons buttons) {
    QMessageBox box;
    box.setText(text);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(QString());
    box.setStandardButtons(buttons);
    if (look == UserDialogs::Look::Framed) {
        box.setStyleSheet(framedStyle);
        box.setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    }
    return box.exec();
}

}  // namespace

void UserDialogs::inform(const QString &text, Look look) {
    if (g_handler) {
        g_handler->onMessage(text);
        return;
    }
    runBox(text, look, QMessageBox::Ok);
}

bool UserDialogs::askYesNo(const QString &text, Look look) {
    if (g_handler) {
        return g_handler->onMessage(text);
    }
    return runBox(text, look, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void UserDialogs::runModal(QDialog &dialog) {
    if (g_handler) {
        g_handler->onMessage(dialog.windowTitle());
        return;
    }
    dialog.exec();
}

QString UserDialogs::chooseDirectory(const QString &caption) {
    if (g_handler) {
        return g_handler->directory;
    }
    return QFileDialog::getExistingDirectory(nullptr, caption, QString(), QFileDialog::ShowDirsOnly);
}

void UserDialogs::setHandler(Handler handler) {
    g_handler = std::move(handler);
}

void UserDialogs::clearHandler() {
    g_handler.reset();
}
