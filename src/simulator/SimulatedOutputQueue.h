#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

// What the simulated instrument has sent towards the host, in order: replies, which are there at once,
// and frame records, which arrive when the sensor has read them out. A record may be made visible in
// portions, one per status call, the way a slow USB transfer shows up in the driver's queue piece by piece.
//
// Not thread-safe on its own; the instrument calls it under its lock. Times come from the caller, so the
// queue itself never looks at a clock.
class SimulatedOutputQueue {
public:
    using Clock = std::chrono::steady_clock;

    // A reply is visible now, ahead of records still being read out but behind everything already sent.
    void pushReply(std::vector<std::uint8_t> bytes, Clock::time_point now);
    // A record arrives at `readyAt`; with `portions` non-empty it then shows up portion by portion
    // (whatever the portions leave over comes with the status call after the last one).
    void pushRecord(std::vector<std::uint8_t> bytes, Clock::time_point readyAt, std::vector<std::size_t> portions);

    // Lets the time pass; returns how many records have arrived since the last call.
    std::size_t update(Clock::time_point now);
    // One driver status call: reveals the next portion of a record that arrives in portions.
    void revealPortion();
    // Bytes the host can take now.
    std::size_t visibleBytes() const;
    // Whether anything that has arrived is still to be taken, shown or not yet (a record in portions shows
    // its next portion at the next status call).
    bool hasArrivedBytes() const;
    // When the next record still being read out arrives, if there is one.
    std::optional<Clock::time_point> nextArrival() const;
    // How many times bytes have newly become visible to the host (a reply, a record, a portion); a waiter
    // that remembers it sees whether something came since.
    std::uint64_t arrivals() const { return m_arrivals; }
    // Moves up to `size` visible bytes into `buffer`; returns how many.
    std::size_t take(std::uint8_t *buffer, std::size_t size);

    // Drops everything that has arrived (the driver's receive queue); records still being read out stay.
    void dropArrived();
    // Drops records that have not arrived yet (the sensor stops reading out).
    void dropPendingRecords();
    void clear() { m_chunks.clear(); }

private:
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        Clock::time_point readyAt;
        std::deque<std::size_t> portions;
        std::size_t taken = 0;
        std::size_t visible = 0;
        bool inPortions = false;
        bool record = false;
        bool arrived = false;
    };

    std::deque<Chunk> m_chunks;
    std::uint64_t m_arrivals = 0;
};
