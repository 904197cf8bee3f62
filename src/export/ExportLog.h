#pragma once

#include <QLoggingCategory>

// Tracing of the files a save run writes (CSV, pictures, video, HDF5).
// Turn on with QT_LOGGING_RULES="vantiko.export.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcExport)
