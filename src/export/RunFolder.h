#pragma once

#include <QString>

#include "SaveFailure.h"

// The folder one save run writes into, directory/name, and the names of its files, directory/name/name plus
// a suffix ("_current.csv", "_SetParameterData.txt", ...). Every view and the worker name them here.
class RunFolder {
public:
    RunFolder(QString directory, QString name);

    // A folder name within `directory` that nothing there has yet: `name`, else name_1, name_2, ...
    // Names are joined, never put through arg(): a name holding "%1" stays as typed.
    static QString uniqueName(const QString &directory, const QString &name);

    const QString &directory() const { return m_directory; }
    const QString &name() const { return m_name; }
    // directory/name
    QString path() const;
    // directory/name/name followed by `suffix`.
    QString filePath(const QString &suffix) const;

    // Creates the folder (and its missing parents) and writes the parameter file, the run's settings summary.
    SaveResult create(const QString &settingsSummary) const;

private:
    static SaveResult writeParameterFile(const QString &path, const QString &summary);

    QString m_directory;
    QString m_name;
};
