#pragma once

#include <QLoggingCategory>

// Tracing of the hardware link backends and the choice between them ("vantiko.link").
// Turn on with QT_LOGGING_RULES="vantiko.link.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcLink)
