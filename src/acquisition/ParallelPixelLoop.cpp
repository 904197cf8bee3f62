#include "ParallelPixelLoop.h"

#include <opencv2/core.hpp>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define VANTIKO_TSAN_ANNOTATIONS 1
#endif

namespace {

// The runtime (TBB here) is not instrumented, so ThreadSanitizer cannot see that the stripes start after
// the call and end before it returns. The fork and the join are told to it explicitly; without them every
// stripe's accesses would be reported as racing with the caller.
void forkPoint(void *token) {
#if defined(VANTIKO_TSAN_ANNOTATIONS)
    __tsan_release(token);
#else
    (void)token;
#endif
}

void stripeStart(void *token) {
#if defined(VANTIKO_TSAN_ANNOTATIONS)
    __tsan_acquire(token);
#else
    (void)token;
#endif
}

class Stripes : public cv::ParallelLoopBody {
public:
    explicit Stripes(const ParallelPixelLoop::Body &body) : m_body(body) {}

    void operator()(const cv::Range &range) const override {
        stripeStart(&m_forked);
        m_body(range.start, range.end);
        forkPoint(&m_joined);
    }

    // Addresses only: they name the two synchronisation points for the annotations.
    mutable char m_forked = 0;
    mutable char m_joined = 0;

private:
    const ParallelPixelLoop::Body &m_body;
};

}  // namespace

void ParallelPixelLoop::run(int count, const Body &body) {
    Stripes stripes(body);
    forkPoint(&stripes.m_forked);
    // A stripe count of -1 leaves the split to the runtime.
    cv::parallel_for_(cv::Range(0, count), stripes, -1.0);
    stripeStart(&stripes.m_joined);
}
