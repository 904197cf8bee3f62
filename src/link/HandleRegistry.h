#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "FtTypes.h"

// The open devices of a link backend, by the handle given to callers. Handles are tokens that are never
// reused, so a handle kept after its close can only ever find nothing: it never reaches another device or
// freed memory. Thread-safe.
template <typename Device>
class HandleRegistry {
public:
    ft::Handle add(std::shared_ptr<Device> device) {
        std::lock_guard lock(m_mutex);
        const std::uintptr_t token = m_nextToken++;
        m_devices.emplace(token, std::move(device));
        // A handle is an opaque number to its callers; it is never dereferenced.
        return reinterpret_cast<ft::Handle>(token);  // NOLINT(performance-no-int-to-ptr)
    }

    // The device of `handle` (kept alive for the caller), or null.
    std::shared_ptr<Device> find(ft::Handle handle) const {
        std::lock_guard lock(m_mutex);
        const auto it = m_devices.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == m_devices.end() ? nullptr : it->second;
    }

    // Removes `handle` and returns its device, or null: of two closes of one handle only one gets it.
    std::shared_ptr<Device> take(ft::Handle handle) {
        std::lock_guard lock(m_mutex);
        const auto it = m_devices.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_devices.end()) {
            return nullptr;
        }
        std::shared_ptr<Device> device = std::move(it->second);
        m_devices.erase(it);
        return device;
    }

    std::vector<std::shared_ptr<Device>> takeAll() {
        std::lock_guard lock(m_mutex);
        std::vector<std::shared_ptr<Device>> devices;
        for (auto &entry : m_devices) {
            devices.push_back(std::move(entry.second));
        }
        m_devices.clear();
        return devices;
    }

private:
    mutable std::mutex m_mutex;
    // Starts away from 0 so that no handle is null, and away from small numbers a caller might make up.
    std::uintptr_t m_nextToken = 0x1000;
    std::map<std::uintptr_t, std::shared_ptr<Device>> m_devices;
};
