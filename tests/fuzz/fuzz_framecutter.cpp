// The frame cut as the read loop runs it: bytes pile up piece by piece, and once at least a record's worth
// has come the buffer is cut and emptied. Properties: the cut frame is the 8192 bytes behind the leftmost
// header, nothing when no header has a frame's bytes behind it, the buffer is always left empty, and a whole
// record with no header ahead of it in the buffer yields exactly its own frame.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "FrameCutter.h"
#include "FramingInput.h"
#include "FuzzCheck.h"
#include "WireFormat.h"

namespace {

const std::vector<unsigned char> kSync(wire::syncPattern.begin(), wire::syncPattern.end());

// The leftmost header's frame, found the plain way.
std::optional<std::vector<unsigned char>> leftmostFrame(const std::vector<unsigned char> &buffer) {
    const auto header = std::search(buffer.begin(), buffer.end(), kSync.begin(), kSync.end());
    if (header == buffer.end() || static_cast<std::size_t>(buffer.end() - header) < kSync.size() + wire::frameBytes) {
        return std::nullopt;
    }
    const auto pixels = header + static_cast<std::ptrdiff_t>(kSync.size());
    return std::vector<unsigned char>(pixels, pixels + static_cast<std::ptrdiff_t>(wire::frameBytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const fuzzframing::Delivery delivery = fuzzframing::makeDelivery(input);

    std::vector<unsigned char> buffer;
    std::vector<unsigned char> frame(wire::recordLength, 0);
    std::size_t bufferStart = 0;  // stream offset of buffer[0]
    std::size_t at = 0;
    for (const std::size_t piece : delivery.pieces) {
        const auto first = delivery.stream.begin() + static_cast<std::ptrdiff_t>(at);
        buffer.insert(buffer.end(), first, first + static_cast<std::ptrdiff_t>(piece));
        at += piece;
        if (buffer.size() < wire::recordLength) {
            continue;
        }
        const auto expected = leftmostFrame(buffer);
        // A generated record lying wholly in the buffer, with no header anywhere ahead of it.
        const fuzzframing::Record *clean = nullptr;
        for (const fuzzframing::Record &record : delivery.records) {
            if (record.whole && record.at >= bufferStart && record.at + wire::recordLength <= at) {
                const auto headerAt = buffer.begin() + static_cast<std::ptrdiff_t>(record.at - bufferStart);
                const auto earlier = std::search(buffer.begin(), headerAt, kSync.begin(), kSync.end());
                if (earlier == headerAt) {
                    clean = &record;
                }
                break;
            }
        }

        std::fill(frame.begin(), frame.end(), 0xA5);
        const bool cut = FrameCutter::cut(buffer, kSync, frame);
        FUZZ_CHECK(buffer.empty());
        FUZZ_CHECK(cut == expected.has_value());
        if (cut) {
            FUZZ_CHECK(std::equal(expected->begin(), expected->end(), frame.begin()));
            // Bytes behind the frame in the caller's buffer are left alone.
            FUZZ_CHECK(std::all_of(frame.begin() + wire::frameBytes, frame.end(), [](auto b) { return b == 0xA5; }));
        }
        if (clean) {
            FUZZ_CHECK(cut && std::equal(clean->frame.begin(), clean->frame.end(), frame.begin()));
        }
        bufferStart = at;
    }

    // A frame buffer too small for a frame is never written.
    std::vector<unsigned char> whole(delivery.stream.begin(), delivery.stream.end());
    std::vector<unsigned char> small(wire::frameBytes - 1, 0x5A);
    FUZZ_CHECK(!FrameCutter::cut(whole, kSync, small));
    FUZZ_CHECK(std::all_of(small.begin(), small.end(), [](auto b) { return b == 0x5A; }));
    return 0;
}
