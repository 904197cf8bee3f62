#pragma once

#include <functional>
#include <memory>

#include <QObject>
#include <QString>

#include "CliOptions.h"

class CliConsole;
class InstrumentSession;

// One command of the tool, run on the instrument session as the window runs its buttons: it asks the
// session for an operation and goes on when the session's signal reports the outcome. Every way out goes
// through finish(), which stops a capture, ends the connection and then reports the exit status.
class CliCommand : public QObject {
    Q_OBJECT

public:
    // `linkName` and `linkDiagnostic` go into the message when no instrument is found.
    static std::unique_ptr<CliCommand> create(const CliRequest &request, CliConsole &console,
                                              InstrumentSession &session, const QString &linkName,
                                              const QString &linkDiagnostic);

    CliCommand(const CliRequest &request, CliConsole &console, InstrumentSession &session, const QString &linkName,
               const QString &linkDiagnostic);

    virtual void start() = 0;

signals:
    void finished(int exitStatus);

protected:
    // Connects (configuration and handshake); `next` runs once the instrument answered.
    void connectThen(std::function<void()> next);
    // Sends the request's setting; `next` runs once the instrument acknowledged it.
    void applySettingThen(std::function<void()> next);
    // Runs `next` once the session has carried out every operation asked for so far.
    void whenIdle(std::function<void()> next);
    // The connection ended without being asked to (read failures, the device went away).
    virtual void connectionLost();

    void finish(ExitStatus status, const QString &message = QString());
    bool finishing() const { return m_finishing; }

    const CliRequest m_request;
    CliConsole &m_console;
    InstrumentSession &m_session;
    const QString m_linkName;
    const QString m_linkDiagnostic;

private:
    bool m_finishing = false;
};
