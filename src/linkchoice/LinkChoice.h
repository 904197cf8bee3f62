#pragma once

#include <QString>

class LinkOptions;

// Which link backend a view runs on, and which file of the vendor library to load. A view's entry point
// builds it once, from its command line and the environment, and hands it to LinkFactory; the view then owns
// the link it gets back.
struct LinkChoice {
    // "simulator", "libftdi" or "d2xx" as given (any case, blanks around); empty: the vendor library when it
    // loads, otherwise libftdi1.
    QString backend;
    // The D2XX library file to load; empty: the platform's usual names.
    QString d2xxLibrary;

    // VANTIKO_LINK and VANTIKO_D2XX_LIBRARY.
    static LinkChoice fromEnvironment();
    // What the options give (--link, --d2xx-library), the environment for what they leave out.
    static LinkChoice fromOptions(const LinkOptions &options);
    // This choice with what `options` give put in its place.
    LinkChoice withOptions(const LinkOptions &options) const;
};
