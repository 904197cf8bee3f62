// The simulated instrument's command parser, fed what a host might write: arbitrary bytes in arbitrary
// pieces. Properties: the frames do not depend on how the bytes were split; every frame starts FF AA, has
// a payload no longer than the parser takes and is as long as its length field says; "intact" means the
// check and end bytes are right; and the instrument acting on the same bytes records the same frames.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzCheck.h"
#include "FuzzQuiet.h"
#include "SimulatedCommandParser.h"
#include "SimulatedInstrument.h"

namespace {

std::vector<std::vector<std::uint8_t>> bytesOf(const std::vector<SimulatedCommand> &frames) {
    std::vector<std::vector<std::uint8_t>> all;
    for (const SimulatedCommand &frame : frames) {
        all.push_back(frame.bytes);
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    silenceProgramLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    // The first bytes choose the pieces; the rest is the stream.
    std::vector<std::size_t> pieces;
    const int pieceCount = input.ConsumeIntegralInRange(0, 16);
    for (int i = 0; i < pieceCount; ++i) {
        pieces.push_back(input.ConsumeIntegralInRange<std::size_t>(0, 64));
    }
    if (std::all_of(pieces.begin(), pieces.end(), [](std::size_t piece) { return piece == 0; })) {
        pieces.push_back(1);
    }
    const std::vector<std::uint8_t> stream = input.ConsumeRemainingBytes<std::uint8_t>();

    SimulatedCommandParser whole;
    const std::vector<SimulatedCommand> frames = whole.feed(stream.data(), stream.size());

    SimulatedCommandParser split;
    std::vector<SimulatedCommand> splitFrames;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        std::size_t piece = pieces[i % pieces.size()];
        piece = std::min(piece, stream.size() - at);
        // A zero-length (or null) feed is allowed and completes nothing new on its own.
        for (SimulatedCommand &frame : split.feed(piece == 0 ? nullptr : stream.data() + at, piece)) {
            splitFrames.push_back(std::move(frame));
        }
        at += piece;
    }
    FUZZ_CHECK(bytesOf(splitFrames) == bytesOf(frames));

    for (const SimulatedCommand &frame : frames) {
        FUZZ_CHECK(frame.bytes.size() >= 8);
        FUZZ_CHECK(frame.bytes[0] == 0xFF && frame.bytes[1] == 0xAA);
        FUZZ_CHECK(frame.payloadLength() <= SimulatedCommandParser::maxPayload);
        FUZZ_CHECK(frame.payloadLength() == ((std::size_t{frame.bytes[4]} << 8) | frame.bytes[5]));
        const std::size_t n = frame.bytes.size();
        const bool intact = frame.bytes[n - 2] == SimulatedCommandParser::checkByte(frame.bytes.data(), n - 2) &&
                            frame.bytes[n - 1] == 0x0D;
        FUZZ_CHECK(frame.intact == intact);
    }

    // The instrument behind the parser: whatever the commands do (parameters, start, frame requests), it
    // records the frames the parser cut and hands out only what it queued.
    SimulatedInstrument instrument;
    instrument.setPaced(false);
    instrument.receiveFromHost(stream.data(), stream.size());
    if (frames.size() <= 4096) {
        FUZZ_CHECK(instrument.receivedCommands() == bytesOf(frames));
    }
    std::vector<std::uint8_t> out(4096);
    for (std::size_t queued = instrument.bytesQueued(); queued > 0; queued = instrument.bytesQueued()) {
        const std::size_t taken = instrument.takeBytes(out.data(), out.size());
        FUZZ_CHECK(taken > 0 && taken <= out.size());
    }
    return 0;
}
