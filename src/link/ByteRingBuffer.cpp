#include "ByteRingBuffer.h"

#include <algorithm>
#include <cstring>

ByteRingBuffer::ByteRingBuffer(std::size_t capacity) : m_storage(capacity) {}

std::size_t ByteRingBuffer::write(const std::uint8_t *data, std::size_t count) {
    const std::size_t accepted = std::min(count, freeSpace());
    if (accepted == 0) {
        return 0;
    }
    const std::size_t tail = (m_head + m_size) % capacity();
    const std::size_t first = std::min(accepted, capacity() - tail);
    std::memcpy(m_storage.data() + tail, data, first);
    std::memcpy(m_storage.data(), data + first, accepted - first);
    m_size += accepted;
    return accepted;
}

std::size_t ByteRingBuffer::read(std::uint8_t *data, std::size_t count) {
    const std::size_t taken = std::min(count, m_size);
    if (taken == 0) {
        return 0;
    }
    const std::size_t first = std::min(taken, capacity() - m_head);
    std::memcpy(data, m_storage.data() + m_head, first);
    std::memcpy(data + first, m_storage.data(), taken - first);
    m_head = (m_head + taken) % capacity();
    m_size -= taken;
    return taken;
}

void ByteRingBuffer::clear() {
    m_head = 0;
    m_size = 0;
}
