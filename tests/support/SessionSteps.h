#pragma once

#include <QTest>

#include "InstrumentSession.h"

// Steps the tests that drive an instrument session on its own share.

// Waits until the session has run every operation asked of it (exchanges wait on timers); false after 10 s.
inline bool settle(InstrumentSession &session) {
    return QTest::qWaitFor([&session] { return session.isIdle(); }, 10000);
}

// The setting of a first session: 100 nA, positive, Von 10 V, Voff -5 V, no bias.
inline InstrumentSession::Setting setting100nA() {
    InstrumentSession::Setting setting;
    setting.rangeNa = 100.0;
    setting.positive = true;
    setting.von = QStringLiteral("10");
    setting.voff = QStringLiteral("-5");
    setting.vbias1 = QStringLiteral("0");
    setting.vbias2 = QStringLiteral("0");
    return setting;
}
