#pragma once

#include <streambuf>

#include <QJsonValue>
#include <QString>

// What the tool prints. Standard output carries the answer (text or JSON), standard error the progress
// and the one line that says what failed. The libraries below the tool also write to the console (the
// operation log, the save messages meant for the window's console, Qt's log): those go to standard error
// with --verbose and are dropped otherwise, so neither stream carries anything a script has not asked for.
class CliConsole {
public:
    explicit CliConsole(bool verbose);
    ~CliConsole();
    CliConsole(const CliConsole &) = delete;
    CliConsole &operator=(const CliConsole &) = delete;

    void out(const QString &line);
    void outJson(const QJsonValue &value);
    // One line on standard error; a progress bar on the terminal is ended first.
    void error(const QString &line);
    void errorJson(const QJsonValue &value);

    bool errorIsTerminal() const { return m_errorIsTerminal; }
    // Redraws the bar in place (terminal only).
    void progressBar(int frames, int total, double fps);
    // The same for a run of some seconds: the frames so far and the time.
    void progressCount(int frames, double seconds, double totalSeconds, double fps);
    void endProgressBar();

private:
    // Rewrites the progress line on standard error.
    void showProgressLine(const QString &line);
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return traits_type::not_eof(c); }
    };
    NullBuffer m_null;
    std::streambuf *m_savedOut = nullptr;
    std::streambuf *m_savedError = nullptr;
    bool m_errorIsTerminal = false;
    bool m_barShown = false;
};
