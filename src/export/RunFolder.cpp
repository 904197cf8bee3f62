#include "RunFolder.h"

#include <utility>

#include <QDir>
#include <QFile>

#include "ExportLog.h"

RunFolder::RunFolder(QString directory, QString name) : m_directory(std::move(directory)), m_name(std::move(name)) {}

QString RunFolder::uniqueName(const QString &directory, const QString &name) {
    const QDir dir(directory);
    if (!dir.exists(name)) {
        return name;
    }
    for (int counter = 1;; ++counter) {
        const QString candidate = name + QLatin1Char('_') + QString::number(counter);
        if (!dir.exists(candidate)) {
            return candidate;
        }
    }
}

QString RunFolder::path() const {
    return m_directory + QLatin1Char('/') + m_name;
}

QString RunFolder::filePath(const QString &suffix) const {
    return path() + QLatin1Char('/') + m_name + suffix;
}

SaveResult RunFolder::create(const QString &settingsSummary) const {
    if (SaveResult failure = ensureDirectory(path())) {
        return failure;
    }
    return writeParameterFile(filePath(QStringLiteral("_SetParameterData.txt")), settingsSummary);
}

SaveResult RunFolder::writeParameterFile(const QString &path, const QString &summary) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        qCWarning(lcExport) << "Could not open file for writing:" << path;
        return SaveFailure{path, file.errorString()};
    }
    const QByteArray bytes = summary.toUtf8();
    SaveResult failure;
    if (!writeFully(file, bytes.constData(), bytes.size()) || !file.flush()) {
        failure = SaveFailure{path, file.errorString()};
    }
    file.close();
    if (!failure && file.error() != QFileDevice::NoError) {
        failure = SaveFailure{path, file.errorString()};
    }
    if (failure) {
        qCWarning(lcExport).noquote() << "File error after attempt to write:" << failure->reason;
        return failure;
    }
    qCDebug(lcExport) << "Data saved to" << path;
    return std::nullopt;
}
