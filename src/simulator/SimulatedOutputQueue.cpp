#include "SimulatedOutputQueue.h"

#include <algorithm>
#include <cstring>

void SimulatedOutputQueue::pushReply(std::vector<std::uint8_t> bytes, Clock::time_point now) {
    Chunk chunk;
    chunk.bytes = std::move(bytes);
    chunk.readyAt = now;
    chunk.visible = chunk.bytes.size();
    chunk.arrived = true;
    if (!chunk.bytes.empty()) {
        ++m_arrivals;
    }
    const auto firstPending =
        std::find_if(m_chunks.begin(), m_chunks.end(), [](const Chunk &queued) { return !queued.arrived; });
    m_chunks.insert(firstPending, std::move(chunk));
}

void SimulatedOutputQueue::pushRecord(std::vector<std::uint8_t> bytes, Clock::time_point readyAt,
                                      std::vector<std::size_t> portions) {
    Chunk chunk;
    chunk.bytes = std::move(bytes);
    chunk.readyAt = readyAt;
    chunk.record = true;
    chunk.inPortions = !portions.empty();
    chunk.portions.assign(portions.begin(), portions.end());
    m_chunks.push_back(std::move(chunk));
}

std::size_t SimulatedOutputQueue::update(Clock::time_point now) {
    std::size_t arrivedRecords = 0;
    for (Chunk &chunk : m_chunks) {
        if (chunk.arrived) {
            continue;
        }
        if (chunk.readyAt > now) {
            break;
        }
        chunk.arrived = true;
        if (!chunk.inPortions) {
            chunk.visible = chunk.bytes.size();
            ++m_arrivals;
        }
        if (chunk.record) {
            ++arrivedRecords;
        }
    }
    return arrivedRecords;
}

void SimulatedOutputQueue::revealPortion() {
    for (Chunk &chunk : m_chunks) {
        if (!chunk.arrived) {
            return;
        }
        if (chunk.visible == chunk.bytes.size()) {
            continue;
        }
        const std::size_t before = chunk.visible;
        if (chunk.portions.empty()) {
            chunk.visible = chunk.bytes.size();
        } else {
            chunk.visible = std::min(chunk.bytes.size(), chunk.visible + chunk.portions.front());
            chunk.portions.pop_front();
        }
        if (chunk.visible != before) {
            ++m_arrivals;
        }
        return;
    }
}

std::size_t SimulatedOutputQueue::visibleBytes() const {
    std::size_t total = 0;
    for (const Chunk &chunk : m_chunks) {
        if (!chunk.arrived) {
            break;
        }
        total += chunk.visible - chunk.taken;
        if (chunk.visible < chunk.bytes.size()) {
            break;
        }
    }
    return total;
}

bool SimulatedOutputQueue::hasArrivedBytes() const {
    return std::any_of(m_chunks.begin(), m_chunks.end(),
                       [](const Chunk &chunk) { return chunk.arrived && chunk.taken < chunk.bytes.size(); });
}

std::optional<SimulatedOutputQueue::Clock::time_point> SimulatedOutputQueue::nextArrival() const {
    const auto pending =
        std::find_if(m_chunks.begin(), m_chunks.end(), [](const Chunk &chunk) { return !chunk.arrived; });
    if (pending == m_chunks.end()) {
        return std::nullopt;
    }
    return pending->readyAt;
}

std::size_t SimulatedOutputQueue::take(std::uint8_t *buffer, std::size_t size) {
    std::size_t copied = 0;
    while (copied < size && !m_chunks.empty()) {
        Chunk &chunk = m_chunks.front();
        if (!chunk.arrived) {
            break;
        }
        const std::size_t count = std::min(size - copied, chunk.visible - chunk.taken);
        if (count > 0) {
            std::memcpy(buffer + copied, chunk.bytes.data() + chunk.taken, count);
        }
        copied += count;
        chunk.taken += count;
        if (chunk.taken == chunk.bytes.size()) {
            m_chunks.pop_front();
        } else if (chunk.taken == chunk.visible) {
            break;
        }
    }
    return copied;
}

void SimulatedOutputQueue::dropArrived() {
    std::erase_if(m_chunks, [](const Chunk &chunk) { return chunk.arrived; });
}

void SimulatedOutputQueue::dropPendingRecords() {
    std::erase_if(m_chunks, [](const Chunk &chunk) { return !chunk.arrived && chunk.record; });
}
