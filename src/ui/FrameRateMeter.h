#pragma once

#include <QElapsedTimer>
#include <QString>

// Counts displayed frames and turns the intervals between them into the "FPS : N" readout.
// The clock starts at the first frame ever and is never reset, so the first interval after a pause
// also counts the pause.
class FrameRateMeter {
public:
    // Returns false for the very first frame (which is not drawn); otherwise records the interval.
    bool frameArrived();
    // Adds one frame interval directly (tests).
    void addInterval(qint64 milliseconds);
    // "FPS : N" from the intervals since the last readout ("FPS : 0" without frames); starts a new period.
    QString takeReadout();

    static QString firstFrameReadout() { return QStringLiteral("FPS : N/A"); }

private:
    QElapsedTimer m_clock;
    int m_frames = 0;
    qint64 m_summedMs = 0;
};
