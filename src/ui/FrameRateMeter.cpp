#include "FrameRateMeter.h"

#include <cmath>

bool FrameRateMeter::frameArrived() {
    if (!m_clock.isValid()) {
        m_clock.start();
        return false;
    }
    addInterval(m_clock.restart());
    return true;
}

void FrameRateMeter::addInterval(qint64 milliseconds) {
    m_summedMs += milliseconds;
    ++m_frames;
}

QString FrameRateMeter::takeReadout() {
    QString text = QStringLiteral("FPS : 0");
    if (m_frames >= 1) {
        // Frames closer together than the clock resolves: report the count itself rather than divide by 0.
        const double mean = static_cast<double>(m_summedMs) / m_frames;
        const int fps = mean > 0 ? static_cast<int>(1000.0 / mean) : m_frames;
        text = QStringLiteral("FPS : %1").arg(fps);
    }
    m_frames = 0;
    m_summedMs = 0;
    return text;
}
