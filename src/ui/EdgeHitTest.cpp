#include "EdgeHitTest.h"

EdgeHitTest EdgeHitTest::at(const QPoint &global, const QRect &frame, int border) {
    const int x = global.x();
    const int y = global.y();
    const int l = frame.x();
    const int t = frame.y();
    const int w = frame.width();
    const int h = frame.height();

    EdgeHitTest hit;
    hit.left = x >= l && x <= l + border;
    hit.right = x >= l + w - border && x <= l + w;
    hit.top = y >= t && y <= t + border;
    hit.bottom = y >= t + h - border && y <= t + h;
    hit.topLeft = hit.left && hit.top;
    hit.bottomLeft = hit.left && hit.bottom;
    hit.topRight = hit.right && hit.top;
    hit.bottomRight = hit.right && hit.bottom;
    hit.onEdge = hit.left || hit.right || hit.top || hit.bottom;
    return hit;
}
