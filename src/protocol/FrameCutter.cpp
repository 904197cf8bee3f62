#include "FrameCutter.h"

#include <algorithm>

#include "WireFormat.h"

bool FrameCutter::cut(std::vector<unsigned char> &stream, const std::vector<unsigned char> &syncPattern,
                      std::vector<unsigned char> &frame) {
    bool cut = false;
    if (!syncPattern.empty()) {
        const auto header = std::search(stream.begin(), stream.end(), syncPattern.begin(), syncPattern.end());
        if (header != stream.end()) {
            const auto pixels = header + static_cast<std::ptrdiff_t>(syncPattern.size());
            if (static_cast<std::size_t>(stream.end() - pixels) >= wire::frameBytes &&
                frame.size() >= wire::frameBytes) {
                std::copy_n(pixels, wire::frameBytes, frame.begin());
                cut = true;
            }
        }
    }
    // The instrument sends nothing more until asked, so nothing in the buffer belongs to a later frame.
    stream.clear();
    return cut;
}
