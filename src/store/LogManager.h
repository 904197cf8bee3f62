#pragma once

#include <cstddef>

#include <QByteArray>

// The operation log: what the user did with the instrument and the bytes exchanged with it, written to
// "log.txt" in the working directory (appended, flushed per line) and mirrored on standard output.
// Class-level operations only; called from the session's thread.
class LogManager {
public:
    // "[2025-7-4 9:5:3] message"
    static void logMessage(const QByteArray &message);
    // File: "ff cc a0 " (lowercase, blank after each byte); console: "[ 14:3:7.42 ]FF CC A0 ".
    static void logBytes(const unsigned char *bytes, std::size_t count);
    // A note for whoever watches the console, on standard output only (not an entry of "log.txt").
    static void consoleLine(const char *text);
    LogManager() = delete;
};
