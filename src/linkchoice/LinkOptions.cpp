#include "LinkOptions.h"

#include <cstdio>

#include <QCommandLineParser>
#include <QFileInfo>
#include <QtGlobal>

#ifndef VANTIKO_VERSION
#define VANTIKO_VERSION "unknown"
#endif

namespace {

const QString linkName = QStringLiteral("link");
const QString libraryName = QStringLiteral("d2xx-library");
const QString fallbackProgram = QStringLiteral("vantiko");

QString defaultDescription() {
    return QStringLiteral(
        "Viewer for the VANTIKO 64 x 64 photodiode-matrix light sensor.\n"
        "Without --link the backend comes from VANTIKO_LINK; with neither, the D2XX\n"
        "library when it loads, otherwise libftdi1.");
}

QString programName(const QStringList &arguments) {
    const QString name = arguments.isEmpty() ? QString() : QFileInfo(arguments.first()).fileName();
    return name.isEmpty() ? fallbackProgram : name;
}

// Options the Qt GUI application object takes from the command line itself; the parser lets them through.
void addQtGuiOptions(QCommandLineParser &parser) {
    const QStringList withValue = {QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
                                   QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
                                   QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
                                   QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
                                   QStringLiteral("display"),         QStringLiteral("geometry"),
                                   QStringLiteral("style"),           QStringLiteral("stylesheet")};
    const QStringList flags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
                               QStringLiteral("dograb"), QStringLiteral("sync")};
    for (const QString &name : withValue) {
        QCommandLineOption option(name, QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const QString &name : flags) {
        QCommandLineOption option(name);
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// Qt writes "<executable_name>" (or the application's argv[0]) into the usage line; name the program.
QString helpFor(const QCommandLineParser &parser, const QString &program) {
    QString text = parser.helpText();
    const qsizetype endOfUsage = text.indexOf(QLatin1Char('\n'));
    if (text.startsWith(QLatin1String("Usage: ")) && endOfUsage > 0) {
        QString usage = text.left(endOfUsage);
        const qsizetype options = usage.indexOf(QLatin1String(" [options]"));
        if (options > 0) {
            usage = QStringLiteral("Usage: ") + program + usage.mid(options);
        }
        text = usage + text.mid(endOfUsage);
    }
    return text;
}

}  // namespace

QStringList LinkOptions::backends() {
    return {QStringLiteral("simulator"), QStringLiteral("libftdi"), QStringLiteral("d2xx")};
}

QString LinkOptions::version() {
    return QStringLiteral(VANTIKO_VERSION);
}

QStringList LinkOptions::argumentsOf(int argc, char **argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

void LinkOptions::addOptions(QCommandLineParser &parser) {
    parser.addOption(QCommandLineOption(
        linkName,
        QStringLiteral("Link backend: %1. Wins over VANTIKO_LINK.").arg(backends().join(QStringLiteral(", "))),
        QStringLiteral("backend")));
    parser.addOption(QCommandLineOption(
        libraryName, QStringLiteral("File of FTDI's D2XX library to load. Wins over VANTIKO_D2XX_LIBRARY."),
        QStringLiteral("path")));
}

LinkOptions LinkOptions::fromParser(const QCommandLineParser &parser) {
    LinkOptions options;
    if (parser.isSet(libraryName)) {
        options.m_d2xxLibrary = parser.value(libraryName);
    }
    if (parser.isSet(linkName)) {
        const QString given = parser.value(linkName);
        const QString name = given.trimmed().toLower();
        if (!backends().contains(name)) {
            options.m_finished = true;
            options.m_exitCode = usageExitCode;
            options.m_error = QStringLiteral("Unknown link backend \"%1\". Valid backends: %2.\n")
                                  .arg(given, backends().join(QStringLiteral(", ")));
            return options;
        }
        options.m_link = name;
    }
    return options;
}

LinkOptions LinkOptions::parse(const QStringList &arguments, const QString &description) {
    const QString program = programName(arguments);
    QCommandLineParser parser;
    // "-platform xcb" is one option with a value, as Qt's own options are written.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(description.isEmpty() ? defaultDescription() : description);
    // Not addHelpOption(): its --help-all promises Qt's own options, which only QCommandLineParser::process()
    // (with an application object) lists.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays help on commandline options."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    addOptions(parser);
    addQtGuiOptions(parser);

    LinkOptions options;
    if (!parser.parse(arguments.isEmpty() ? QStringList{program} : arguments)) {
        options.fail(parser.errorText(), program);
        return options;
    }
    if (parser.isSet(help)) {
        options.m_finished = true;
        options.m_output = helpFor(parser, program);
        return options;
    }
    if (parser.isSet(version)) {
        options.m_finished = true;
        options.m_output = program + QLatin1Char(' ') + LinkOptions::version() + QLatin1Char('\n');
        return options;
    }
    options = fromParser(parser);
    if (options.m_finished) {
        options.m_error = program + QStringLiteral(": ") + options.m_error;
    }
    return options;
}

void LinkOptions::fail(const QString &message, const QString &program) {
    m_finished = true;
    m_exitCode = usageExitCode;
    m_error = QStringLiteral("%1: %2\nTry \"%1 --help\".\n").arg(program, message);
}

void LinkOptions::print() const {
    if (!m_output.isEmpty()) {
        std::fputs(m_output.toLocal8Bit().constData(), stdout);
        std::fflush(stdout);
    }
    if (!m_error.isEmpty()) {
        std::fputs(m_error.toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
    }
}
