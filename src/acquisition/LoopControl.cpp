#include "LoopControl.h"

namespace {

using Phase = LoopControl::Phase;

// The phases in which the loop is inside its read loop (or about to enter it).
bool insideReadLoop(Phase phase) {
    return phase == Phase::Streaming || phase == Phase::FinishingFrame || phase == Phase::FinishingThenResumed ||
           phase == Phase::CuttingShort;
}

}  // namespace

void LoopControl::setPhase(Phase phase) {
    m_phase = phase;
    m_phaseChanged.notify_all();
}

LoopControl::Phase LoopControl::phase() const {
    std::lock_guard lock(m_mutex);
    return m_phase.load();
}

void LoopControl::resume() {
    std::lock_guard lock(m_mutex);
    switch (m_phase.load()) {
        case Phase::Paused:
            setPhase(Phase::Resumed);
            break;
        case Phase::FinishingFrame:
            setPhase(Phase::FinishingThenResumed);
            break;
        default:
            break;
    }
}

void LoopControl::beginStreaming() {
    std::lock_guard lock(m_mutex);
    const Phase phase = m_phase.load();
    // A start asked for while the last frame of a stop is still on its way cancels that stop.
    if (phase == Phase::Resumed || phase == Phase::FinishingThenResumed) {
        setPhase(Phase::Streaming);
    }
}

void LoopControl::pauseAfterFrame() {
    std::lock_guard lock(m_mutex);
    switch (m_phase.load()) {
        case Phase::Streaming:
        case Phase::FinishingThenResumed:
            setPhase(Phase::FinishingFrame);
            break;
        case Phase::Resumed:
            setPhase(Phase::Paused);
            break;
        default:
            break;
    }
}

void LoopControl::leaveStreaming(std::chrono::milliseconds grace) {
    std::unique_lock lock(m_mutex);
    switch (m_phase.load()) {
        case Phase::Resumed:
            setPhase(Phase::Paused);
            break;
        case Phase::FinishingThenResumed:
            setPhase(Phase::FinishingFrame);
            break;
        default:
            break;
    }
    const auto out = [this] { return !insideReadLoop(m_phase.load()); };
    if (out() || m_phaseChanged.wait_for(lock, grace, out)) {
        return;
    }
    // The frame in progress did not complete in time: cut the read loop short after its current pass.
    setPhase(Phase::CuttingShort);
    m_phaseChanged.wait(lock, out);
}

void LoopControl::requestShutdown() {
    std::lock_guard lock(m_mutex);
    setPhase(Phase::ShuttingDown);
}

LoopControl::Phase LoopControl::waitForStreaming() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_phaseChanged.wait(lock, [this] {
            const Phase phase = m_phase.load();
            return phase != Phase::Paused && phase != Phase::Resumed;
        });
        if (m_phase.load() != Phase::CuttingShort) {
            return m_phase.load();
        }
        // Cut short before the read loop was entered: there is nothing to leave.
        setPhase(Phase::Paused);
    }
}

bool LoopControl::keepsReading() const {
    const Phase phase = m_phase.load();
    return phase == Phase::Streaming || phase == Phase::FinishingFrame || phase == Phase::FinishingThenResumed;
}

bool LoopControl::stopDue() const {
    const Phase phase = m_phase.load();
    return phase == Phase::FinishingFrame || phase == Phase::FinishingThenResumed || phase == Phase::ShuttingDown;
}

void LoopControl::leaveReadLoop() {
    std::lock_guard lock(m_mutex);
    switch (m_phase.load()) {
        case Phase::FinishingFrame:
        case Phase::CuttingShort:
            setPhase(Phase::Paused);
            break;
        case Phase::FinishingThenResumed:
            setPhase(Phase::Resumed);
            break;
        default:
            // Streaming: after read failures the loop enters again at once, or a start came in while the stop
            // command went out and it streams on; ShuttingDown: it ends.
            break;
    }
}
