#pragma once

#include <QLoggingCategory>

// The program's own log categories stay silent while fuzzing: millions of "ignoring a command" lines
// would only slow the run and bury the report.
inline void silenceProgramLogging() {
    QLoggingCategory::setFilterRules(QStringLiteral("vantiko.*=false"));
}
