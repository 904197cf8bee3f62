#include "LinkFactory.h"

#include <mutex>

#include <QCoreApplication>
#include <QtGlobal>

#include "D2xxLibraryLink.h"
#include "LibFtdiLink.h"
#include "LinkLogging.h"
#include "SimulatedLink.h"
#include "UnavailableLink.h"

namespace {

std::mutex g_instanceMutex;
std::unique_ptr<UsbFifoLink> g_instance;

std::unique_ptr<UsbFifoLink> unavailable(const QString &reason, QString *diagnostic) {
    if (diagnostic) {
        *diagnostic = reason;
    }
    return std::make_unique<UnavailableLink>(reason.toStdString());
}

std::unique_ptr<UsbFifoLink> createD2xx(QString *diagnostic) {
    QString reason;
    std::unique_ptr<D2xxLibraryLink> link = D2xxLibraryLink::load(&reason);
    if (!link) {
        return unavailable(reason, diagnostic);
    }
    return link;
}

// The vendor's library where it is installed (on Windows and macOS the usual way to the device), libftdi1
// otherwise. Not finding the vendor's library is the usual case on Linux, not a failure.
std::unique_ptr<UsbFifoLink> createDefault() {
    QString reason;
    std::unique_ptr<D2xxLibraryLink> link = D2xxLibraryLink::load(&reason);
    if (link) {
        return link;
    }
    qCInfo(lcLink).noquote() << reason << "Using libftdi1 instead.";
    return std::make_unique<LibFtdiLink>();
}

// The process-wide link goes with the application object, while every library it calls is still there: by
// the time static objects are destroyed, a vendor library loaded at run time may be torn down already.
void releaseInstance() {
    LinkFactory::setInstance(nullptr);
}

}  // namespace

UsbFifoLink *LinkFactory::instance() {
    static std::once_flag releaseRegistered;
    std::call_once(releaseRegistered, [] { qAddPostRoutine(&releaseInstance); });
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance) {
        QString diagnostic;
        g_instance = create(qEnvironmentVariable("VANTIKO_LINK"), &diagnostic);
        if (!diagnostic.isEmpty()) {
            qCWarning(lcLink).noquote() << diagnostic;
        }
        qCInfo(lcLink) << "Using link backend" << g_instance->backendName();
    }
    return g_instance.get();
}

void LinkFactory::setInstance(std::unique_ptr<UsbFifoLink> link) {
    std::lock_guard lock(g_instanceMutex);
    g_instance = std::move(link);
}

std::unique_ptr<UsbFifoLink> LinkFactory::create(const QString &backend, QString *diagnostic) {
    const QString name = backend.trimmed().toLower();
    if (name == QLatin1String("simulator")) {
        return std::make_unique<SimulatedLink>();
    }
    if (name == QLatin1String("d2xx")) {
        return createD2xx(diagnostic);
    }
    if (name == QLatin1String("libftdi")) {
        return std::make_unique<LibFtdiLink>();
    }
    if (name.isEmpty()) {
        return createDefault();
    }
    return unavailable(
        QStringLiteral("Unknown link backend \"%1\" in VANTIKO_LINK (simulator, libftdi or d2xx).").arg(backend),
        diagnostic);
}
