#pragma once

#include <functional>

// Runs a body over the pixel range [0, count) on OpenCV's parallel runtime, in stripes the runtime
// chooses, and returns when every stripe is done. Each index belongs to exactly one stripe.
class ParallelPixelLoop {
public:
    using Body = std::function<void(int begin, int end)>;
    static void run(int count, const Body &body);
};
