#include "LinkFactory.h"

#include "D2xxLibraryLink.h"
#include "LibFtdiLink.h"
#include "LinkLogging.h"
#include "SimulatedLink.h"
#include "UnavailableLink.h"

namespace {

std::unique_ptr<UsbFifoLink> unavailable(const QString &reason, QString *diagnostic) {
    if (diagnostic) {
        *diagnostic = reason;
    }
    return std::make_unique<UnavailableLink>(reason.toStdString());
}

std::unique_ptr<UsbFifoLink> createD2xx(const QString &libraryFile, QString *diagnostic) {
    QString reason;
    std::unique_ptr<D2xxLibraryLink> link = D2xxLibraryLink::load(libraryFile, &reason);
    if (!link) {
        return unavailable(reason, diagnostic);
    }
    return link;
}

// The vendor's library where it is installed (on Windows and macOS the usual way to the device), libftdi1
// otherwise. Not finding the vendor's library is the usual case on Linux, not a failure.
std::unique_ptr<UsbFifoLink> createDefault(const QString &libraryFile) {
    QString reason;
    std::unique_ptr<D2xxLibraryLink> link = D2xxLibraryLink::load(libraryFile, &reason);
    if (link) {
        return link;
    }
    qCInfo(lcLink).noquote() << reason << "Using libftdi1 instead.";
    return std::make_unique<LibFtdiLink>();
}

}  // namespace

std::unique_ptr<UsbFifoLink> LinkFactory::create(const LinkChoice &choice, QString *diagnostic) {
    const QString name = choice.backend.trimmed().toLower();
    if (name == QLatin1String("simulator")) {
        return std::make_unique<SimulatedLink>();
    }
    if (name == QLatin1String("d2xx")) {
        return createD2xx(choice.d2xxLibrary, diagnostic);
    }
    if (name == QLatin1String("libftdi")) {
        return std::make_unique<LibFtdiLink>();
    }
    if (name.isEmpty()) {
        return createDefault(choice.d2xxLibrary);
    }
    return unavailable(
        QStringLiteral("Unknown link backend \"%1\" in VANTIKO_LINK (simulator, libftdi or d2xx).").arg(choice.backend),
        diagnostic);
}
