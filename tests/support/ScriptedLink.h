#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "OneDeviceLink.h"

// A link whose receive queue the test fills by hand and whose writes it can read back: for exchanges whose
// exact read pattern matters (stray bytes ahead of a reply, replies that come late or never).
class ScriptedLink : public OneDeviceLink {
public:
    const char *backendName() const override { return "scripted"; }

    // Bytes that become readable at the given status call (0 = at once, n = after n status calls).
    void queue(std::vector<std::uint8_t> bytes, int afterStatusCalls = 0) {
        std::lock_guard lock(m_mutex);
        m_pending.push_back({afterStatusCalls, std::move(bytes)});
        m_changed.notify_all();
    }
    std::vector<std::vector<std::uint8_t>> writes() const {
        std::lock_guard lock(m_mutex);
        return m_writes;
    }
    int statusCalls() const {
        std::lock_guard lock(m_mutex);
        return m_statusCalls;
    }
    int reads() const {
        std::lock_guard lock(m_mutex);
        return m_reads;
    }

    ft::Status write(ft::Handle, const void *buffer, std::uint32_t size, std::uint32_t *written) override {
        std::lock_guard lock(m_mutex);
        const auto *bytes = static_cast<const std::uint8_t *>(buffer);
        m_writes.emplace_back(bytes, bytes + size);
        *written = size;
        return ft::Ok;
    }
    ft::Status getStatus(ft::Handle, std::uint32_t *rx, std::uint32_t *tx, std::uint32_t *event) override {
        std::lock_guard lock(m_mutex);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (it->afterStatusCalls <= m_statusCalls) {
                m_queue.insert(m_queue.end(), it->bytes.begin(), it->bytes.end());
                it = m_pending.erase(it);
            } else {
                ++it;
            }
        }
        ++m_statusCalls;
        *rx = static_cast<std::uint32_t>(m_queue.size());
        *tx = 0;
        *event = 0;
        return ft::Ok;
    }
    ft::Status read(ft::Handle, void *buffer, std::uint32_t size, std::uint32_t *got) override {
        std::lock_guard lock(m_mutex);
        ++m_reads;
        auto *out = static_cast<std::uint8_t *>(buffer);
        std::uint32_t n = 0;
        while (n < size && !m_queue.empty()) {
            out[n++] = m_queue.front();
            m_queue.pop_front();
        }
        *got = n;
        return ft::Ok;
    }

    // Bytes still to come appear only through status calls, so a wait ends at once while any are scripted.
    ft::Status waitForReceived(ft::Handle, std::chrono::milliseconds timeout) override {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, timeout, [this] { return !m_pending.empty() || !m_queue.empty(); });
        return ft::Ok;
    }

private:
    struct Pending {
        int afterStatusCalls;
        std::vector<std::uint8_t> bytes;
    };
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Pending> m_pending;
    std::deque<std::uint8_t> m_queue;
    std::vector<std::vector<std::uint8_t>> m_writes;
    int m_statusCalls = 0;
    int m_reads = 0;
};
