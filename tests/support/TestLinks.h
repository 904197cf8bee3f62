#pragma once

#include <functional>
#include <memory>

#include <QLibrary>
#include <QString>
#include <QtDebug>

#include "D2xxLibraryLink.h"
#include "SimulatedLink.h"

// The links an end-to-end test runs against: the built-in simulated instrument, or the vendor-library
// backend loaded from the stand-in library that wraps the same simulated instrument. Both come with a way
// to drive the instrument by the simulator's control language ("dark", "flood", "unplug", ...).
struct TestLink {
    // Lines of the simulator's control language; true when the line was understood.
    using Control = std::function<bool(const char *line)>;

    std::unique_ptr<UsbFifoLink> link;
    Control control;

    // "simulator" or "d2xx"; empty link when the stand-in library cannot be loaded (the reason is logged).
    static TestLink make(const QString &backend) {
        TestLink made;
        if (backend == QLatin1String("simulator")) {
            auto simulated = std::make_unique<SimulatedLink>();
            SimulatedLink *raw = simulated.get();
            made.control = [raw](const char *line) { return raw->applyControlCommand(line); };
            made.link = std::move(simulated);
            return made;
        }
#ifdef D2XX_STUB_LIBRARY
        QString diagnostic;
        made.link = D2xxLibraryLink::load(QStringLiteral(D2XX_STUB_LIBRARY), &diagnostic);
        if (!made.link) {
            qWarning() << diagnostic;
            return made;
        }
        using StandInControl = int (*)(const char *);
        const auto control =
            reinterpret_cast<StandInControl>(QLibrary::resolve(QStringLiteral(D2XX_STUB_LIBRARY), "D2xxStub_Control"));
        made.control = [control](const char *line) { return control && control(line) == 1; };
#endif
        return made;
    }
};
