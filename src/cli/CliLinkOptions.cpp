#include "CliLinkOptions.h"

#include <QCommandLineParser>
#include <QFile>
#include <QStringList>

namespace {

const QString linkName = QStringLiteral("link");
const QString libraryName = QStringLiteral("d2xx-library");
const QStringList backends = {QStringLiteral("simulator"), QStringLiteral("libftdi"), QStringLiteral("d2xx")};

}  // namespace

void CliLinkOptions::addOptions(QCommandLineParser &parser) {
    parser.addOption(QCommandLineOption(
        linkName,
        QStringLiteral("Link backend: %1. Default: VANTIKO_LINK, else the D2XX library when it loads, else libftdi.")
            .arg(backends.join(QStringLiteral(", "))),
        QStringLiteral("backend")));
    parser.addOption(QCommandLineOption(
        libraryName, QStringLiteral("File of the D2XX library to load. Wins over VANTIKO_D2XX_LIBRARY."),
        QStringLiteral("path")));
}

CliLinkOptions CliLinkOptions::fromParser(const QCommandLineParser &parser) {
    CliLinkOptions options;
    if (parser.isSet(libraryName)) {
        options.m_d2xxLibrary = parser.value(libraryName);
    }
    if (parser.isSet(linkName)) {
        const QString given = parser.value(linkName);
        const QString name = given.trimmed().toLower();
        if (!backends.contains(name)) {
            options.m_error = QStringLiteral("unknown link backend \"%1\"; use one of %2")
                                  .arg(given, backends.join(QStringLiteral(", ")));
            return options;
        }
        options.m_link = name;
    }
    return options;
}

void CliLinkOptions::applyToEnvironment() const {
    if (!m_link.isEmpty()) {
        qputenv("VANTIKO_LINK", m_link.toLocal8Bit());
    }
    if (!m_d2xxLibrary.isEmpty()) {
        qputenv("VANTIKO_D2XX_LIBRARY", QFile::encodeName(m_d2xxLibrary));
    }
}
