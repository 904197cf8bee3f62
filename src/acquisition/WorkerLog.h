#pragma once

#include <QLoggingCategory>

// Tracing of the acquisition worker and its helpers (framing, calibration capture, recording).
// Turn on with QT_LOGGING_RULES="vantiko.worker.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcReceiver)
