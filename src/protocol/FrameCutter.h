#pragma once

#include <vector>

// Cuts the frame out of the bytes received for one frame request.
class FrameCutter {
public:
    // Finds the leftmost record header in `stream`, copies the pixel bytes behind it into `frame` and
    // clears `stream`. Returns false (frame untouched, `stream` still cleared) when there is no header or
    // fewer than a frame's bytes follow it, or when `frame` is too small to take them.
    static bool cut(std::vector<unsigned char> &stream, const std::vector<unsigned char> &syncPattern,
                    std::vector<unsigned char> &frame);
};
