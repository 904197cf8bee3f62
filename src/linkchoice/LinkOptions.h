#pragma once

#include <QString>
#include <QStringList>

class QCommandLineParser;

// The command-line options that choose the link backend (--link, --d2xx-library), with --help and --version,
// for the program and for any other front end on the same link code. Qt Core only: no application object is
// needed, so --help and --version answer without a display.
//
// An option wins over the environment: LinkChoice::fromOptions() takes what is given here and the environment
// for the rest.
class LinkOptions {
public:
    // Exit status for a command line that cannot be used (unknown option, unknown backend, missing value).
    static constexpr int usageExitCode = 2;

    // The backend names --link accepts, in the order the help lists them.
    static QStringList backends();
    // The project version from CMake.
    static QString version();
    // The command line as Qt sees it, from main's arguments.
    static QStringList argumentsOf(int argc, char **argv);

    // Adds --link and --d2xx-library to a parser of the caller's (which adds its own options, help and version).
    static void addOptions(QCommandLineParser &parser);
    // Reads --link and --d2xx-library from a parser that has parsed; a bad backend name sets `error`.
    static LinkOptions fromParser(const QCommandLineParser &parser);

    // The whole command line of the viewer program: help, version and the link options. Qt's own GUI options
    // (-platform, -style, ...) are accepted and left to the application object.
    static LinkOptions parse(const QStringList &arguments, const QString &description = QString());

    // True when the program should end now (help or version shown, or a usage error) with `exitCode`.
    bool finished() const { return m_finished; }
    int exitCode() const { return m_exitCode; }
    // Text for standard output (help, version) and for standard error (a usage error), each possibly empty.
    const QString &output() const { return m_output; }
    const QString &error() const { return m_error; }
    // The backend named by --link (lower case) and the file named by --d2xx-library; empty when not given.
    const QString &link() const { return m_link; }
    const QString &d2xxLibrary() const { return m_d2xxLibrary; }

    // Writes output() to standard output and error() to standard error.
    void print() const;

private:
    void fail(const QString &message, const QString &program);

    bool m_finished = false;
    int m_exitCode = 0;
    QString m_output;
    QString m_error;
    QString m_link;
    QString m_d2xxLibrary;
};
