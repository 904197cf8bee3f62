#pragma once

#include <QString>

class QCommandLineParser;

// --link and --d2xx-library: the link backend the tool uses. An option wins over the environment:
// applyToEnvironment() puts the choice into VANTIKO_LINK and VANTIKO_D2XX_LIBRARY, where the link factory
// looks, so without the options the tool chooses as the window does.
class CliLinkOptions {
public:
    static void addOptions(QCommandLineParser &parser);
    // Reads the options from a parser that has parsed; an unknown backend sets error().
    static CliLinkOptions fromParser(const QCommandLineParser &parser);

    const QString &error() const { return m_error; }
    void applyToEnvironment() const;

private:
    QString m_link;
    QString m_d2xxLibrary;
    QString m_error;
};
