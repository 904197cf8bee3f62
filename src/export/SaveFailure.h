#pragma once

#include <filesystem>
#include <optional>
#include <system_error>

#include <QFile>
#include <QString>

// Why a file of a save run could not be written: the file (or folder) and the system's reason, as the
// user is told them ("No space left on device", "Not a directory", ...).
struct SaveFailure {
    QString file;
    QString reason;
};

// Empty when the file was written, flushed and closed.
using SaveResult = std::optional<SaveFailure>;

// Writes all `size` bytes or fails. A disk that fills up takes part of a write without an error; only the
// next write says why, so the rest is written again until it goes or fails (errorString() then tells why).
inline bool writeFully(QFile &file, const char *data, qint64 size) {
    while (size > 0) {
        const qint64 written = file.write(data, size);
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// Creates the folder with its missing parents; on failure says why, as the system put it.
inline SaveResult ensureDirectory(const QString &path) {
    std::error_code error;
    const std::filesystem::path directory(QFile::encodeName(path).toStdString());
    if (std::filesystem::is_directory(directory, error)) {
        return std::nullopt;
    }
    std::filesystem::create_directories(directory, error);
    if (error) {
        return SaveFailure{path, QString::fromStdString(error.message())};
    }
    return std::nullopt;
}

// The first failure of a save run: what failed, in words ("Save failed: could not write a picture."), and
// the file with the system's reason.
struct RunFailure {
    QString text;
    SaveFailure failure;
};
