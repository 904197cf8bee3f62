#pragma once

#include "InstrumentSession.h"
#include "ReceiverThread.h"

// The test seam into a session: its worker, for tests and benchmarks that check what the session set there.
// The session names this class its friend; views, which never include this header, cannot reach the worker.
class InstrumentSessionProbe {
public:
    static ReceiverThread &worker(InstrumentSession &session) { return *session.m_worker; }
};

inline ReceiverThread &workerOf(InstrumentSession &session) {
    return InstrumentSessionProbe::worker(session);
}
