#pragma once

// Turns a fuzzer's input into what the read loop hands to the framing: frame records with stray bytes
// ahead of them (late replies, line noise, a record cut short), delivered in pieces of varying size the way
// the driver's queue fills. Shared by the framing targets, so each parser gets the same kind of traffic.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "WireFormat.h"

namespace fuzzframing {

struct Record {
    std::size_t at = 0;               // offset of the record's header in the stream
    std::vector<std::uint8_t> frame;  // its pixel bytes
    bool whole = true;                // false: cut short after `length` bytes
};

struct Delivery {
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> pieces;  // sizes, summing to stream.size()
    std::vector<Record> records;
};

// Piece sizes the USB driver's queue typically shows: packets, odd bulk transfers, whole records.
inline constexpr std::array<std::size_t, 7> kTypicalPieces{64, 510, 512, 4096, 4097, 8200, 16384};

inline Delivery makeDelivery(FuzzedDataProvider &input) {
    Delivery delivery;
    const int recordCount = input.ConsumeIntegralInRange(0, 4);
    for (int r = 0; r < recordCount && input.remaining_bytes() > 0; ++r) {
        // Stray bytes: whatever the input says, so they may hold headers or whole records of their own.
        const auto strayLength = input.ConsumeIntegralInRange<std::size_t>(0, 700);
        const std::vector<std::uint8_t> stray = input.ConsumeBytes<std::uint8_t>(strayLength);
        delivery.stream.insert(delivery.stream.end(), stray.begin(), stray.end());

        Record record;
        record.at = delivery.stream.size();
        const auto seed = input.ConsumeIntegral<std::uint16_t>();
        record.frame.resize(wire::frameBytes);
        for (std::size_t i = 0; i < record.frame.size(); ++i) {
            record.frame[i] = static_cast<std::uint8_t>((seed * (i + 1)) >> 3);
        }
        std::vector<std::uint8_t> bytes(wire::syncPattern.begin(), wire::syncPattern.end());
        bytes.insert(bytes.end(), record.frame.begin(), record.frame.end());
        bytes.push_back(0x00);
        bytes.push_back(0x0D);
        if (input.ConsumeIntegralInRange(0, 7) == 0) {
            bytes.resize(input.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1));
            record.whole = false;
        }
        delivery.stream.insert(delivery.stream.end(), bytes.begin(), bytes.end());
        delivery.records.push_back(std::move(record));
    }
    // What is left of the input after the records: raw bytes at the end of the stream (noise, or a
    // record the fuzzer built itself). One byte is kept back for each piece size that follows.
    const std::vector<std::uint8_t> tail = input.ConsumeBytes<std::uint8_t>(input.remaining_bytes() / 2);
    delivery.stream.insert(delivery.stream.end(), tail.begin(), tail.end());

    std::size_t delivered = 0;
    while (delivered < delivery.stream.size()) {
        std::size_t piece = 0;
        if (input.remaining_bytes() == 0) {
            piece = kTypicalPieces[delivery.pieces.size() % kTypicalPieces.size()];
        } else if (input.ConsumeBool()) {
            piece = input.PickValueInArray(kTypicalPieces);
        } else {
            piece = input.ConsumeIntegralInRange<std::size_t>(1, 2 * wire::recordLength);
        }
        piece = std::min(piece, delivery.stream.size() - delivered);
        delivery.pieces.push_back(piece);
        delivered += piece;
    }
    return delivery;
}

}  // namespace fuzzframing
