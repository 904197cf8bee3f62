#pragma once

#include <QObject>
#include <QString>

#include "InstrumentSession.h"

namespace Ui {
class MainWindow;
}

// The Save page: the folder, the run name, how many frames and which files. It asks the session for a run
// and shows its refusals, its progress and how it ended.
class SavePage : public QObject {
    Q_OBJECT

public:
    SavePage(Ui::MainWindow &form, InstrumentSession &session, QObject *parent);

private:
    void chooseDirectory();
    void startSave();
    void showRefusal(InstrumentSession::SaveRefusal refusal);
    void showProgress(int frames, int total);
    void showFailure(const QString &file, const QString &reason);
    void showFinished(bool ok);

    Ui::MainWindow &m_form;
    InstrumentSession &m_session;
};
