#pragma once

#include <QPoint>
#include <QRect>

// Which resize zones of a window frame a global point lies in. Each zone is border + 1 pixels wide and the right
// and bottom zones reach one pixel beyond the frame, so a pointer resting on the first column or row outside the
// frame still grabs that edge.
struct EdgeHitTest {
    bool left = false;
    bool right = false;
    bool top = false;
    bool bottom = false;
    bool topLeft = false;
    bool bottomLeft = false;
    bool topRight = false;
    bool bottomRight = false;
    bool onEdge = false;

    static EdgeHitTest at(const QPoint &global, const QRect &frame, int border);
};
