#include "RecordAssembler.h"

#include <algorithm>

#include "FrameCutter.h"
#include "WireFormat.h"

namespace {

constexpr std::size_t kHeaderLength = wire::syncPattern.size();
// From the header's first byte to the frame's last: the closing bytes are neither needed nor waited for.
constexpr std::size_t kHeaderAndFrame = kHeaderLength + wire::frameBytes;

const std::vector<unsigned char> &syncPattern() {
    static const std::vector<unsigned char> pattern(wire::syncPattern.begin(), wire::syncPattern.end());
    return pattern;
}

}  // namespace

RecordAssembler::RecordAssembler() {
    // Room for a record and what may come ahead of it, so a steady stream does not allocate.
    m_stream.reserve(2 * wire::recordLength);
}

void RecordAssembler::append(const unsigned char *data, std::size_t received, std::uint32_t asked) {
    if (received > 0) {
        m_stream.insert(m_stream.end(), data, data + received);
    }
    m_reported += asked;
    findHeader();
}

void RecordAssembler::findHeader() {
    if (m_headerFound || m_stream.size() < kHeaderLength) {
        return;
    }
    // A header may straddle the bytes searched before and the ones just appended.
    const std::size_t from = m_searchedUpTo > kHeaderLength - 1 ? m_searchedUpTo - (kHeaderLength - 1) : 0;
    const auto begin = m_stream.begin() + static_cast<std::ptrdiff_t>(from);
    const auto found = std::search(begin, m_stream.end(), wire::syncPattern.begin(), wire::syncPattern.end());
    if (found != m_stream.end()) {
        m_headerFound = true;
        m_header = static_cast<std::size_t>(found - m_stream.begin());
    }
    m_searchedUpTo = m_stream.size();
}

RecordAssembler::Progress RecordAssembler::progress() const {
    if (m_reported < static_cast<std::int64_t>(wire::recordLength)) {
        return Progress::Gathering;
    }
    if (!m_headerFound) {
        return Progress::NoHeader;
    }
    return m_stream.size() - m_header >= kHeaderAndFrame ? Progress::Complete : Progress::AwaitingRest;
}

bool RecordAssembler::readyToCut() const {
    const Progress now = progress();
    return now == Progress::Complete || now == Progress::NoHeader;
}

bool RecordAssembler::cut(std::vector<unsigned char> &frame) {
    const bool cut = FrameCutter::cut(m_stream, syncPattern(), frame);
    m_reported = 0;
    m_headerFound = false;
    m_header = 0;
    m_searchedUpTo = 0;
    return cut;
}
