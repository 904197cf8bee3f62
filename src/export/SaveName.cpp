#include "SaveName.h"

SaveName::Problem SaveName::check(const QString &name) {
    if (name.trimmed().isEmpty()) {
        return Problem::Blank;
    }
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) || name.contains(QLatin1String(".."))) {
        return Problem::Unsafe;
    }
    for (const QChar character : name) {
        // Control characters (line ends, tabs, NUL, ...) make names that cannot be typed or shown.
        if (character.category() == QChar::Other_Control) {
            return Problem::Unsafe;
        }
    }
    return Problem::None;
}

QString SaveName::refusalText(Problem problem) {
    switch (problem) {
        case Problem::None:
            return {};
        case Problem::Blank:
            return QStringLiteral("Please enter a save name");
        case Problem::Unsafe:
            return QStringLiteral("The save name cannot contain / \\ .. or control characters");
    }
    return {};
}
