#include "CliConsole.h"

#include <cstdio>
#include <iostream>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>

#include <unistd.h>

namespace {

void dropMessage(QtMsgType type, const QMessageLogContext &, const QString &) {
    if (type == QtFatalMsg) {
        std::abort();
    }
}

QByteArray compact(const QJsonValue &value) {
    if (value.isObject()) {
        return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    }
    if (value.isArray()) {
        return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    }
    // A bare value: wrap it in an array and unwrap the text.
    const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

void writeLine(std::FILE *stream, const QByteArray &text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

CliConsole::CliConsole(bool verbose) : m_errorIsTerminal(isatty(fileno(stderr)) == 1) {
    // The library writes its console lines through the C++ streams; ours go through C stdio.
    m_savedOut = std::cout.rdbuf(verbose ? std::cerr.rdbuf() : &m_null);
    m_savedError = std::cerr.rdbuf(verbose ? std::cerr.rdbuf() : &m_null);
    if (!verbose) {
        qInstallMessageHandler(dropMessage);
    }
}

CliConsole::~CliConsole() {
    std::cout.rdbuf(m_savedOut);
    std::cerr.rdbuf(m_savedError);
    qInstallMessageHandler(nullptr);
}

void CliConsole::out(const QString &line) {
    writeLine(stdout, line.toLocal8Bit());
}

void CliConsole::outJson(const QJsonValue &value) {
    writeLine(stdout, compact(value));
}

void CliConsole::error(const QString &line) {
    endProgressBar();
    writeLine(stderr, line.toLocal8Bit());
}

void CliConsole::errorJson(const QJsonValue &value) {
    writeLine(stderr, compact(value));
}

void CliConsole::progressBar(int frames, int total, double fps) {
    if (!m_errorIsTerminal || total < 1) {
        return;
    }
    constexpr int width = 30;
    const int filled = static_cast<int>(static_cast<long long>(frames) * width / total);
    const QString bar = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('.'));
    const QString line = QStringLiteral("\r%1/%2 frames [%3] %4 fps ")
                             .arg(frames, QString::number(total).size())
                             .arg(total)
                             .arg(bar)
                             .arg(fps, 0, 'f', 1);
    showProgressLine(line);
}

void CliConsole::progressCount(int frames, double seconds, double totalSeconds, double fps) {
    if (!m_errorIsTerminal) {
        return;
    }
    const QString line = QStringLiteral("\r%1 frames, %2 of %3 s, %4 fps ")
                             .arg(frames)
                             .arg(seconds, 0, 'f', 1)
                             .arg(totalSeconds, 0, 'g', 6)
                             .arg(fps, 0, 'f', 1);
    showProgressLine(line);
}

void CliConsole::showProgressLine(const QString &line) {
    const QByteArray text = line.toLocal8Bit();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::fflush(stderr);
    m_barShown = true;
}

void CliConsole::endProgressBar() {
    if (m_barShown) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
        m_barShown = false;
    }
}
