#pragma once

#include <memory>

#include <QString>

#include "LinkChoice.h"
#include "UsbFifoLink.h"

// Builds the link a choice names. The caller owns it and keeps it until every session on it has gone, and
// releases it while the application object still exists (a vendor library loaded at run time may be torn
// down before static objects are).
class LinkFactory {
public:
    // On failure a link is still returned (one that finds no devices) and `diagnostic` says why.
    static std::unique_ptr<UsbFifoLink> create(const LinkChoice &choice, QString *diagnostic = nullptr);
};
