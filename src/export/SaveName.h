#pragma once

#include <QString>

// The rules a save name must meet before a run's folder and files are named after it. Every view (the
// window, a command-line tool) checks names here and refuses the same ones.
class SaveName {
public:
    enum class Problem {
        None,
        Blank,   // empty or only white space: every run would write the same "_current.csv" and so on
        Unsafe,  // a path separator, "..", or a control character: files could land outside the chosen folder
    };

    static Problem check(const QString &name);
    // The refusal shown for a problem (empty for None).
    static QString refusalText(Problem problem);
};
