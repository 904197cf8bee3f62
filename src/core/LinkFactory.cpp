#include "LinkFactory.h"

#include <QLoggingCategory>
#include <QtGlobal>
#include <mutex>

#include "SimulatedLink.h"
#include "UnavailableLink.h"

Q_LOGGING_CATEGORY(lcLink, "vantiko.link")

namespace {

std::mutex g_instanceMutex;
std::unique_ptr<UsbFifoLink> g_instance;

}  // namespace

UsbFifoLink *LinkFactory::instance() {
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
    const QString reason = name.isEmpty()
                               ? QStringLiteral("No hardware link backend is built in; set VANTIKO_LINK=simulator.")
                               : QStringLiteral("Unknown link backend \"%1\" in VANTIKO_LINK.").arg(backend);
    if (diagnostic) {
        *diagnostic = reason;
    }
    return std::make_unique<UnavailableLink>(reason.toStdString());
}
