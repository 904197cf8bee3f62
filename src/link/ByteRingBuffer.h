#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A fixed-capacity byte queue: bytes come out in the order they went in. It never grows and never
// overwrites; a write takes only what fits. Not thread-safe: its owner guards it.
class ByteRingBuffer {
public:
    explicit ByteRingBuffer(std::size_t capacity);

    std::size_t capacity() const { return m_storage.size(); }
    std::size_t size() const { return m_size; }
    std::size_t freeSpace() const { return capacity() - m_size; }
    bool isEmpty() const { return m_size == 0; }

    // Appends up to `count` bytes; returns how many fitted.
    std::size_t write(const std::uint8_t *data, std::size_t count);
    // Moves up to `count` of the oldest bytes into `data`; returns how many.
    std::size_t read(std::uint8_t *data, std::size_t count);
    void clear();

private:
    std::vector<std::uint8_t> m_storage;
    std::size_t m_head = 0;  // index of the oldest byte
    std::size_t m_size = 0;
};
