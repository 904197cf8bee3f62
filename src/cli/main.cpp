#include <cstdio>
#include <memory>

#include <QCoreApplication>
#include <QTimer>

#include "CliCommands.h"
#include "CliConsole.h"
#include "CliOptions.h"
#include "InstrumentSession.h"
#include "LinkFactory.h"
#include "StoredSettingsScreen.h"
#include "UsbFifoLink.h"

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const CliParse parse = parseCommandLine(QCoreApplication::arguments());
    if (!parse.run) {
        std::fputs(parse.output.toLocal8Bit().constData(), stdout);
        if (!parse.error.isEmpty()) {
            std::fprintf(stderr, "%s\n", parse.error.toLocal8Bit().constData());
        }
        return static_cast<int>(parse.status);
    }

    if (const QString note = StoredSettingsScreen::setAsideIfDamaged(); !note.isEmpty()) {
        std::fprintf(stderr, "%s\n", note.toLocal8Bit().constData());
    }
    CliConsole console(parse.request.verbose);
    // The link of the caller's choice (options, then VANTIKO_LINK, then the window's default); its
    // diagnostic explains a backend that could not load when no instrument is found.
    QString diagnostic;
    std::unique_ptr<UsbFifoLink> link = LinkFactory::create(parse.request.link, &diagnostic);
    int status = 0;
    {
        InstrumentSession session(link.get());
        const std::unique_ptr<CliCommand> command =
            CliCommand::create(parse.request, console, session, QString::fromLatin1(link->backendName()), diagnostic);
        QObject::connect(command.get(), &CliCommand::finished, &app,
                         [](int exitStatus) { QCoreApplication::exit(exitStatus); });
        QTimer::singleShot(0, command.get(), [&command] { command->start(); });
        status = QCoreApplication::exec();
    }
    // The session has given the device back; the link (and a library it loaded) goes before the statics.
    link.reset();
    return status;
}
