#include "CalibrationCapture.h"

#include <algorithm>

#include "CalibrationReducer.h"
#include "ConversionTable.h"
#include "ParallelPixelLoop.h"
#include "PixelConversion.h"
#include "WireFormat.h"

namespace {

constexpr int kPixels = wire::pixelCount;

}  // namespace

CalibrationCapture::CalibrationCapture(double fullOnValue)
    : m_fullOnSamples(static_cast<std::size_t>(CalibrationReducer::framesPerCapture) * kPixels, 0.0),
      m_fullOffSamples(static_cast<std::size_t>(CalibrationReducer::framesPerCapture) * kPixels, 0.0),
      m_fullOnRef(kPixels, fullOnValue),
      m_fullOffRef(kPixels, 0.0) {}

CalibrationCapture::Kind CalibrationCapture::advance(const unsigned char *codes, const ConversionTable &table) {
    if (m_activeCapture == Kind::None) {
        if (m_fullOnRequested.load()) {
            m_activeCapture = Kind::FullOn;
        } else if (m_fullOffRequested.load()) {
            m_activeCapture = Kind::FullOff;
        } else {
            return Kind::None;
        }
    }
    const Kind kind = m_activeCapture;
    if (!step(kind, codes, table)) {
        return Kind::None;  // the capture still needs frames
    }
    m_activeCapture = Kind::None;
    if (kind == Kind::FullOn) {
        m_fullOnRequested = false;
    } else {
        m_fullOffRequested = false;
    }
    return kind;
}

bool CalibrationCapture::step(Kind kind, const unsigned char *codes, const ConversionTable &table) {
    std::vector<double> &samples = kind == Kind::FullOn ? m_fullOnSamples : m_fullOffSamples;
    double *slot = samples.data() + static_cast<std::size_t>(m_calibFrameCount) * kPixels;
    // Each pixel's cell is written by exactly one stripe, so the stripes need no lock; the table is only
    // read while they run.
    ParallelPixelLoop::run(kPixels, [&](int begin, int end) {
        for (int pixel = begin; pixel < end; ++pixel) {
            slot[pixel] = table.current(PixelConversion::codeAt(codes, pixel));
        }
    });
    if (++m_calibFrameCount < CalibrationReducer::framesPerCapture) {
        return false;
    }
    m_calibFrameCount = 0;
    std::vector<double> reduced;
    CalibrationReducer::reduce(samples, kPixels, reduced);
    std::lock_guard lock(m_referenceMutex);
    (kind == Kind::FullOn ? m_fullOnRef : m_fullOffRef).swap(reduced);
    return true;
}

void CalibrationCapture::fillFullOn(double value) {
    std::lock_guard lock(m_referenceMutex);
    std::fill(m_fullOnRef.begin(), m_fullOnRef.end(), value);
}

std::vector<double> CalibrationCapture::fullOnReference() const {
    std::lock_guard lock(m_referenceMutex);
    return m_fullOnRef;
}

std::vector<double> CalibrationCapture::fullOffReference() const {
    std::lock_guard lock(m_referenceMutex);
    return m_fullOffRef;
}

void CalibrationCapture::copyReferences(std::vector<double> &fullOn, std::vector<double> &fullOff) const {
    std::lock_guard lock(m_referenceMutex);
    // Same sizes every time, so the copies reuse the caller's storage.
    fullOn.assign(m_fullOnRef.begin(), m_fullOnRef.end());
    fullOff.assign(m_fullOffRef.begin(), m_fullOffRef.end());
}

void CalibrationCapture::setReferences(std::vector<double> fullOn, std::vector<double> fullOff) {
    std::lock_guard lock(m_referenceMutex);
    m_fullOnRef = std::move(fullOn);
    m_fullOffRef = std::move(fullOff);
}
