#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Gathers the bytes received for one frame request and decides when the record can be cut out of them.
//
// The reported total (what the status calls announced and the reads asked for) reaching a record's length
// is the usual sign that the record is in. Bytes ahead of the record (a late reply, line noise) make the
// total get there early: the header is in, but fewer than a frame's bytes follow it, and cutting then
// would lose the record and leave its tail to spoil the next one. In that case the caller keeps reading
// until the frame is complete (or gives up after its read timeout) and cuts then. There is one cut per
// record whatever happens, since the instrument sends nothing more until it is asked.
//
// Pure: bytes in, decisions and frames out; no clock and no link.
class RecordAssembler {
public:
    enum class Progress {
        Gathering,     // fewer bytes reported than a record holds: keep reading
        Complete,      // a record's worth reported, and the header with a whole frame behind it is in: cut
        AwaitingRest,  // a record's worth reported, the header is in, the frame is not yet: keep reading
        NoHeader,      // a record's worth reported without a header: cut (it yields no frame)
    };

    RecordAssembler();

    // Appends the `received` bytes that a read returned when `asked` were asked for. The total follows
    // what was asked: a short read still brings the record to its decision.
    void append(const unsigned char *data, std::size_t received, std::uint32_t asked);
    Progress progress() const;
    // Complete or NoHeader: the record is settled either way.
    bool readyToCut() const;
    // Copies the frame behind the leftmost header into `frame` when it is all there (true), then empties
    // the buffer and the total, whatever it held. Like FrameCutter::cut, whose rules it follows.
    bool cut(std::vector<unsigned char> &frame);

    std::size_t bufferedBytes() const { return m_stream.size(); }
    std::int64_t reportedBytes() const { return m_reported; }

private:
    void findHeader();

    std::vector<unsigned char> m_stream;
    std::int64_t m_reported = 0;
    // Where the leftmost header starts, once found; the search resumes where it stopped.
    std::size_t m_header = 0;
    bool m_headerFound = false;
    std::size_t m_searchedUpTo = 0;
};
