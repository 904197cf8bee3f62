#include "SavePage.h"

#include <cmath>

#include <QDir>

#include "ComboBoxDelegate.h"
#include "SaveName.h"
#include "UserDialogs.h"
#include "ui_MainWindow.h"

SavePage::SavePage(Ui::MainWindow &form, InstrumentSession &session, QObject *parent)
    : QObject(parent), m_form(form), m_session(session) {
    m_form.comboBox_saveframes->setItemDelegate(new ComboBoxDelegate(m_form.comboBox_saveframes));
    m_form.comboBox_saveframes->addItems({"1", "5", "30", "50", "100", "500", "1000"});
    m_form.comboBox_saveframes->setCompleter(nullptr);
    connect(m_form.pushButton_savepath, &QPushButton::clicked, this, &SavePage::chooseDirectory);
    connect(m_form.pushButton_save, &QPushButton::clicked, this, &SavePage::startSave);
    connect(&m_session, &InstrumentSession::saveProgress, this, &SavePage::showProgress);
    connect(&m_session, &InstrumentSession::saveFailed, this, &SavePage::showFailure);
    connect(&m_session, &InstrumentSession::saveFinished, this, &SavePage::showFinished);
}

void SavePage::chooseDirectory() {
    const QString directory = UserDialogs::chooseDirectory(QStringLiteral("Select Directory"));
    if (directory.isEmpty()) {
        UserDialogs::inform(QStringLiteral("Please select a valid path"));
        return;
    }
    m_form.lineEdit_savepath->setText(directory);
}

void SavePage::startSave() {
    InstrumentSession::SaveRequest request;
    request.directory = m_form.lineEdit_savepath->text();
    request.name = m_form.lineEdit_savename->text();
    request.frames = m_form.comboBox_saveframes->currentText().toInt();
    request.data = m_form.checkBox_data->isChecked();
    request.pictures = m_form.checkBox_picture->isChecked();
    request.video = m_form.checkBox_video->isChecked();
    request.hdf5 = m_form.checkBox_hdf5->isChecked();
    showRefusal(m_session.startSave(request));
}

void SavePage::showRefusal(InstrumentSession::SaveRefusal refusal) {
    using Refusal = InstrumentSession::SaveRefusal;
    switch (refusal) {
        case Refusal::None:
            return;
        case Refusal::NotCapturing:
            UserDialogs::inform(QStringLiteral("Please start collecting data"));
            return;
        case Refusal::LongRunFormat:  // the window asks for no long runs
        case Refusal::TooManyFrames:
            UserDialogs::inform(QStringLiteral("The input value cannot exceed 1000! "));
            return;
        case Refusal::TooFewFrames:
            UserDialogs::inform(QStringLiteral("The input value cannot be less than 1! "));
            return;
        case Refusal::SaveRunning:
            UserDialogs::inform(QStringLiteral("Please wait until the current save has finished."));
            return;
        case Refusal::NoDirectory:
            UserDialogs::inform(QStringLiteral("Please select a valid path"));
            return;
        case Refusal::BlankName:
            UserDialogs::inform(SaveName::refusalText(SaveName::Problem::Blank));
            return;
        case Refusal::UnsafeName:
            UserDialogs::inform(SaveName::refusalText(SaveName::Problem::Unsafe));
            return;
    }
}

void SavePage::showProgress(int frames, int total) {
    const double percent = static_cast<double>(frames) / total * 100;
    m_form.progressBar->setValue(static_cast<int>(percent));
    // "Save success!" waits for the run's files to be closed (showFinished).
    m_form.label_savestate->setText(QString::number(std::round(percent), 'g', 6) + QStringLiteral("%"));
}

void SavePage::showFailure(const QString &file, const QString &reason) {
    m_form.label_savestate->setText(QStringLiteral("Save failed"));
    UserDialogs::inform(QStringLiteral("Save failed: could not write ") + QDir::toNativeSeparators(file) +
                        QStringLiteral("\n") + reason);
}

void SavePage::showFinished(bool ok) {
    // A failed run keeps "Save failed".
    if (ok) {
        m_form.label_savestate->setText(QStringLiteral("Save success!"));
    }
}
