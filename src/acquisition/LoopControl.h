#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// The acquisition loop's phase: one value under one lock, moved by named transitions. The session's thread
// asks (resume, beginStreaming, pauseAfterFrame, leaveStreaming, requestShutdown); the loop waits for work,
// reads the phase once per pass without the lock, and reports when it is done streaming (leaveReadLoop). Every
// transition wakes whoever waits for the phase.
class LoopControl {
public:
    enum class Phase {
        Paused,                // waits at the pause gate (the worker is built paused)
        Resumed,               // past the gate; waits until streaming is asked for (the start's commands go first)
        Streaming,             // reads records and answers each with the next frame request
        FinishingFrame,        // the frame in progress completes, then the stop command goes out: Paused
        FinishingThenResumed,  // as FinishingFrame, resumed meanwhile: Resumed after the stop command
        CuttingShort,          // the read loop ends after its current pass, without a stop command: Paused
        ShuttingDown,          // the loop returns at its next check
    };

    // --- The session's side ---------------------------------------------------------------------------------
    // Paused -> Resumed (capture start).
    void resume();
    // Resumed -> Streaming, after the start command and the first request.
    void beginStreaming();
    // Streaming -> FinishingFrame (capture stop).
    void pauseAfterFrame();
    // Any phase -> out of the read loop and paused; returns once the loop is out. The frame in progress gets
    // `grace` to complete (and its stop command to go out) before the read loop is cut short.
    void leaveStreaming(std::chrono::milliseconds grace);
    // Any phase -> ShuttingDown.
    void requestShutdown();
    // The phase as it stands, under the lock.
    Phase phase() const;

    // --- The loop's side ------------------------------------------------------------------------------------
    // Waits while paused or resumed; returns Streaming, a finishing phase or ShuttingDown.
    Phase waitForStreaming();
    // Read once per pass: whether the read loop starts another pass.
    bool keepsReading() const;
    // Read once per frame: whether this frame ends with the stop command rather than the next request.
    bool stopDue() const;
    // The loop is done streaming: its stop command has gone out, or its read loop has ended. A finishing or
    // cut-short phase moves on (Paused, or Resumed if resumed meanwhile).
    void leaveReadLoop();
    // Takes and releases the lock: the loop's last step, and the destructor's first, order all the loop did
    // before its owner's teardown in a way the thread sanitizer sees.
    void synchronise() const { std::lock_guard lock(m_mutex); }

private:
    void setPhase(Phase phase);

    // Standard-library primitives rather than Qt's: the thread sanitizer sees every lock and wait in them.
    mutable std::mutex m_mutex;
    std::condition_variable m_phaseChanged;
    // Written under m_mutex with a notify; atomic so the loop may read it once per pass without the lock.
    std::atomic<Phase> m_phase{Phase::Paused};
};
