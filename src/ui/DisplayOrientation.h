#pragma once

#include <QImage>

// How the window turns a frame before drawing it: a quarter-turn rotation first, then mirroring.
// Saved pictures and the pixel index of a click are never affected.
class DisplayOrientation {
public:
    // Steps 0, 90, 180, 270, 0 degrees; each step a quarter turn clockwise on screen.
    void rotate() { m_angle = (m_angle + 90 >= 360) ? 0 : m_angle + 90; }
    void toggleMirrorHorizontal() { m_mirrorHorizontal = !m_mirrorHorizontal; }
    void toggleMirrorVertical() { m_mirrorVertical = !m_mirrorVertical; }

    int angle() const { return m_angle; }
    bool mirrorHorizontal() const { return m_mirrorHorizontal; }
    bool mirrorVertical() const { return m_mirrorVertical; }

    QImage apply(const QImage &image) const;

private:
    int m_angle = 0;
    bool m_mirrorHorizontal = false;
    bool m_mirrorVertical = false;
};
