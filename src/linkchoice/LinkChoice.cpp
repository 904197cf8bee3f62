#include "LinkChoice.h"

#include <QFile>
#include <QtGlobal>

#include "LinkOptions.h"

LinkChoice LinkChoice::fromEnvironment() {
    LinkChoice choice;
    choice.backend = qEnvironmentVariable("VANTIKO_LINK");
    choice.d2xxLibrary = QFile::decodeName(qgetenv("VANTIKO_D2XX_LIBRARY"));
    return choice;
}

LinkChoice LinkChoice::fromOptions(const LinkOptions &options) {
    return fromEnvironment().withOptions(options);
}

LinkChoice LinkChoice::withOptions(const LinkOptions &options) const {
    LinkChoice choice = *this;
    if (!options.link().isEmpty()) {
        choice.backend = options.link();
    }
    if (!options.d2xxLibrary().isEmpty()) {
        choice.d2xxLibrary = options.d2xxLibrary();
    }
    return choice;
}
