#pragma once

#include <string>

#include <QFile>
#include <QString>

#include "SaveFailure.h"

// One text file of a run: opened in text mode (its parent folder made first), written a block at a time,
// every step checked. The first failure is kept, with the system's reason as it stood then (closing would
// clear it); writes after it are skipped.
class CheckedFile {
public:
    explicit CheckedFile(const QString &path) : m_file(path) {}

    // Warns "Could not open file for writing:" with the path when it cannot.
    bool open();
    void write(const std::string &block);
    // Flushes and closes; warns "File error after attempt to write:" with the reason of a failure.
    SaveResult close();

    SaveResult failure() const { return m_failure; }
    bool isOpen() const { return m_file.isOpen(); }
    QString fileName() const { return m_file.fileName(); }

private:
    QFile m_file;
    SaveResult m_failure;
};
