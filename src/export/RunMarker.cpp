#include "RunMarker.h"

#include <QFile>

namespace {

SaveResult writeText(const QString &path, const QByteArray &text, QIODevice::OpenMode mode) {
    QFile file(path);
    if (!file.open(mode | QIODevice::WriteOnly | QIODevice::Text) || !writeFully(file, text.constData(), text.size()) ||
        !file.flush()) {
        return SaveFailure{path, file.errorString()};
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        return SaveFailure{path, file.errorString()};
    }
    return std::nullopt;
}

}  // namespace

SaveResult RunMarker::create(const QString &path, const QStringList &files) {
    m_path = path;
    QByteArray text(
        "This run is being written, or was cut short before all of its files were closed.\n"
        "Until this file is gone, these files may be incomplete:\n");
    for (const QString &file : files) {
        text += file.toUtf8() + '\n';
    }
    return writeText(path, text, QIODevice::Truncate);
}

void RunMarker::noteFailure(const QString &file, const QString &reason) {
    if (m_path.isEmpty()) {
        return;
    }
    // Best effort: the disk that failed the run may fail this too, and the marker says enough without it.
    writeText(m_path, QStringLiteral("The run failed: could not write %1 (%2).\n").arg(file, reason).toUtf8(),
              QIODevice::Append);
}

SaveResult RunMarker::remove() {
    if (m_path.isEmpty()) {
        return std::nullopt;
    }
    QFile file(m_path);
    if (!file.remove()) {
        return SaveFailure{m_path, file.errorString()};
    }
    m_path.clear();
    return std::nullopt;
}
