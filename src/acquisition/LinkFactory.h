#pragma once

#include <memory>

#include <QString>

#include "UsbFifoLink.h"

// Chooses the link backend. VANTIKO_LINK=simulator | libftdi | d2xx; unset: the vendor library when it
// loads, otherwise libftdi1.
class LinkFactory {
public:
    // The process-wide link, created on first use.
    static UsbFifoLink *instance();
    // Puts a link of the caller's in place (tests); null goes back to the environment's choice.
    static void setInstance(std::unique_ptr<UsbFifoLink> link);
    // A new link for the given backend name; on failure a link is still returned (one that finds no
    // devices) and `diagnostic` says why.
    static std::unique_ptr<UsbFifoLink> create(const QString &backend, QString *diagnostic = nullptr);
};
