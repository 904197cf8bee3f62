#pragma once

#include <QLoggingCategory>

// Tracing of the simulated instrument and its link ("vantiko.sim").
Q_DECLARE_LOGGING_CATEGORY(lcSimulator)
