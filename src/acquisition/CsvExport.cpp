#include "CsvExport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTextStream>

#include "WorkerLog.h"

namespace {

void makeParentDirectory(const QString &path) {
    const QDir directory = QFileInfo(path).absoluteDir();
    if (!directory.exists()) {
        directory.mkpath(QStringLiteral("."));
    }
}

bool openForWriting(QFile &file) {
    makeParentDirectory(file.fileName());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        qCWarning(lcReceiver).noquote() << "Could not open file for writing:" << file.fileName();
        return false;
    }
    return true;
}

// The stream's default number form: up to 6 significant digits, the shorter of fixed and exponent notation.
void writeGrid(QTextStream &out, const double *values) {
    for (int row = 0; row < CsvExport::gridSize; ++row) {
        const double *line = values + static_cast<std::ptrdiff_t>(row) * CsvExport::gridSize;
        for (int column = 0; column < CsvExport::gridSize; ++column) {
            if (column > 0) {
                out << ',';
            }
            out << line[column];
        }
        out << '\n';
    }
    out << '\n';
}

bool closeAndCheck(QFile &file, QTextStream &out) {
    out.flush();
    file.close();
    if (file.error() != QFileDevice::NoError || out.status() != QTextStream::Ok) {
        qCWarning(lcReceiver).noquote() << "File error after attempt to write:" << file.errorString();
        return false;
    }
    return true;
}

}  // namespace

bool CsvExport::writeFrames(const QString &path, const std::vector<std::vector<double>> &frames,
                            const QStringList &timestamps) {
    QFile file(path);
    if (!openForWriting(file)) {
        return false;
    }
    if (frames.empty()) {
        if (timestamps.isEmpty()) {
            qCWarning(lcReceiver) << "No data to save.";
        }
        file.close();
        return file.error() == QFileDevice::NoError;
    }

    QTextStream out(&file);
    qsizetype written = 0;
    for (const std::vector<double> &frame : frames) {
        if (frame.size() < static_cast<std::size_t>(valuesPerFrame)) {
            qCWarning(lcReceiver) << "Data array does not contain enough data.";
            continue;
        }
        out << "Time: " << (written < timestamps.size() ? timestamps.at(written) : QStringLiteral("Unknown")) << '\n';
        writeGrid(out, frame.data());
        ++written;
    }
    return closeAndCheck(file, out);
}

bool CsvExport::writeReference(const QString &path, const std::vector<double> &reference) {
    QFile file(path);
    if (!openForWriting(file)) {
        return false;
    }
    if (reference.empty()) {
        qCWarning(lcReceiver) << "No data to save.";
        file.close();
        return file.error() == QFileDevice::NoError;
    }
    if (reference.size() < static_cast<std::size_t>(valuesPerFrame)) {
        // Never read past the end: a short reference is not a grid.
        qCWarning(lcReceiver) << "Data array does not contain enough data.";
        file.close();
        return false;
    }
    QTextStream out(&file);
    writeGrid(out, reference.data());
    return closeAndCheck(file, out);
}
