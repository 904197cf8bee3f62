#pragma once

#include <QString>
#include <QStringList>

#include "SaveFailure.h"

// The file "NAME.incomplete" in a run's folder while the run is written: it names the files still open, and
// is removed only once every file is closed and the run succeeded. A folder that still holds it after the
// program ended (killed, crashed, out of power, or a failed run) holds an incomplete run; a failed run's
// marker says what failed.
class RunMarker {
public:
    static constexpr char suffix[] = ".incomplete";

    // Writes the marker at `path`, naming `files` (relative to the run's folder).
    SaveResult create(const QString &path, const QStringList &files);
    // Adds what failed to the marker, which stays.
    void noteFailure(const QString &file, const QString &reason);
    // The run succeeded: the marker goes.
    SaveResult remove();

private:
    QString m_path;
};
