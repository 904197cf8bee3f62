#pragma once

#include <atomic>
#include <mutex>
#include <vector>

class ConversionTable;

// The full-on and full-off references and their capture: each pixel's current over ten frames, reduced to a
// trimmed mean. The two kinds share one frame count, so a capture runs to its tenth frame before the other
// starts. Requests come from the session's thread, frames from the worker's; the references are shared under
// the capture's own lock (the renderer and a run's CSV files take copies, the range Set refills one).
class CalibrationCapture {
public:
    enum class Kind { None, FullOn, FullOff };

    // The full-on reference starts filled with `fullOnValue` (the default range, before the stored one is
    // known); the full-off one with zeros.
    explicit CalibrationCapture(double fullOnValue);

    // Any thread: the next ten frames become the reference of that kind.
    void requestFullOn() { m_fullOnRequested = true; }
    void requestFullOff() { m_fullOffRequested = true; }
    bool fullOnRequested() const { return m_fullOnRequested.load(); }
    bool fullOffRequested() const { return m_fullOffRequested.load(); }

    // Worker thread: feeds one frame to the capture in progress, or to the one requested if none is. Returns
    // the kind this frame completed (its request is then cleared), or None.
    Kind advance(const unsigned char *codes, const ConversionTable &table);
    // Worker thread: one frame for a capture of `kind`, whether requested or not. Returns whether it was the
    // capture's tenth.
    bool step(Kind kind, const unsigned char *codes, const ConversionTable &table);
    // Worker thread: frames taken by the capture in progress (0 when none runs).
    int framesTaken() const { return m_calibFrameCount; }
    // Worker thread: drops the frames of the capture in progress; its request and the references stay.
    void abandon() {
        m_calibFrameCount = 0;
        m_activeCapture = Kind::None;
    }

    // Any thread.
    void fillFullOn(double value);
    std::vector<double> fullOnReference() const;
    std::vector<double> fullOffReference() const;
    // Copies both into storage of the caller's (reused from frame to frame), under one lock.
    void copyReferences(std::vector<double> &fullOn, std::vector<double> &fullOff) const;
    // Puts references in place as if captured (tests and benchmarks start from a known calibration).
    void setReferences(std::vector<double> fullOn, std::vector<double> fullOff);

private:
    std::atomic<bool> m_fullOnRequested{false};
    std::atomic<bool> m_fullOffRequested{false};
    // Worker thread only.
    Kind m_activeCapture = Kind::None;
    int m_calibFrameCount = 0;
    // 10 x 4096 samples per kind, slot-major (cell [k][i] at k * 4096 + i). Worker thread only.
    std::vector<double> m_fullOnSamples;
    std::vector<double> m_fullOffSamples;
    mutable std::mutex m_referenceMutex;
    std::vector<double> m_fullOnRef;   // guarded by m_referenceMutex
    std::vector<double> m_fullOffRef;  // guarded by m_referenceMutex
};
