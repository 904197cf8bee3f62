#include "SimulatorLogging.h"

// Debug tracing (ignored commands and the like) only when asked for with QT_LOGGING_RULES.
Q_LOGGING_CATEGORY(lcSimulator, "vantiko.sim", QtInfoMsg)
