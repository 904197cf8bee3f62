#pragma once

#include <QFile>
#include <QString>

// The whole of a text file a test expects to exist; "<missing>" when it cannot be read, so a missing file
// never reads like an empty one.
inline QString readTextFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QStringLiteral("<missing>");
    }
    return QString::fromUtf8(file.readAll());
}
