#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SimulatedControlFile.h"
#include "SimulatedInstrument.h"
#include "UsbFifoLink.h"

// The link backend over simulated instruments: the embedded default on which a newcomer runs the program,
// and what the tests drive. By default one instrument with the serial number "VANTIKO" is plugged in.
//
// For people: VANTIKO_SIM_LIGHT=scene|dark|flood sets the starting light, and VANTIKO_SIM_CONTROL names a
// text file that is re-read while the program runs; a line "dark", "flood" or "scene" switches the light,
// "battery=N" sets the battery code, "unplug" and "plug" pull and re-insert the instrument, and
// "unanswered=N" / "unanswered-settings=N" leave commands unacknowledged. The file is read once when the link
// is made and then checked every 200 ms on a thread of the link's own, so a pulled instrument is noticed even
// while idle.
//
// Handles are opaque numbers that are never reused; a closed or unknown one gives ft::InvalidHandle. A
// handle of a pulled instrument stays dead after the instrument is plugged back (it must be opened anew).
class SimulatedLink : public UsbFifoLink {
public:
    SimulatedLink();
    // With `plugDefaultInstrument` false the link starts with no device at all.
    explicit SimulatedLink(bool plugDefaultInstrument);
    ~SimulatedLink() override;
    SimulatedLink(const SimulatedLink &) = delete;
    SimulatedLink &operator=(const SimulatedLink &) = delete;

    const char *backendName() const override { return "simulator"; }

    // The plugged (or last unplugged) instrument with this serial number, or null.
    std::shared_ptr<SimulatedInstrument> instrument(const std::string &serialNumber = "VANTIKO") const;
    // Plugs in a further instrument (another serial number) and returns it.
    std::shared_ptr<SimulatedInstrument> addDevice(const std::string &serialNumber);
    // Pulls the instrument: it is gone from the list, and reads and writes on its open handles fail.
    void unplug(const std::string &serialNumber = "VANTIKO");
    // Plugs a pulled instrument back in; it powers up afresh (not streaming, default parameters).
    void plug(const std::string &serialNumber = "VANTIKO");
    // One line of the control file ("dark", "flood", "scene", "battery=N", "unplug", "plug", "unanswered=N",
    // "unanswered-settings=N"), applied to the default instrument. Returns false for a line it does not know.
    bool applyControlCommand(const std::string &line);

    ft::Status createDeviceInfoList(std::uint32_t *count) override;
    ft::Status getDeviceInfoList(std::vector<DeviceInfo> &list, std::uint32_t *count) override;
    ft::Status openEx(const std::string &arg, std::uint32_t flags, ft::Handle *handle) override;
    ft::Status close(ft::Handle handle) override;
    ft::Status resetDevice(ft::Handle handle) override;
    ft::Status purge(ft::Handle handle, std::uint32_t mask) override;
    ft::Status setBitMode(ft::Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    ft::Status setUsbParameters(ft::Handle handle, std::uint32_t inTransferSize,
                                std::uint32_t outTransferSize) override;
    ft::Status setFlowControl(ft::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                              std::uint8_t xoff) override;
    ft::Status setTimeouts(ft::Handle handle, std::uint32_t readTimeoutMs, std::uint32_t writeTimeoutMs) override;
    ft::Status write(ft::Handle handle, const void *buffer, std::uint32_t bytesToWrite,
                     std::uint32_t *bytesWritten) override;
    ft::Status getStatus(ft::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                         std::uint32_t *eventStatus) override;
    ft::Status read(ft::Handle handle, void *buffer, std::uint32_t bytesToRead, std::uint32_t *bytesReturned) override;
    // Wakes when a reply is queued or a record's readout ends, without polling.
    ft::Status waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) override;
    // For a stand-in of a driver that signals arrivals: *arrivals counts the times bytes newly reached the
    // receive queue of `handle`. waitForArrival returns when the count moves past *arrivals (and stores
    // it), when the timeout passes, or when the handle closes or its instrument is pulled.
    ft::Status arrivalCount(ft::Handle handle, std::uint64_t *arrivals) const;
    ft::Status waitForArrival(ft::Handle handle, std::uint64_t *arrivals, std::chrono::milliseconds timeout);
    // Arrival (addDevice, plug) and removal (unplug) call it on the thread that caused them, outside the
    // link's lock. Once this returns, the previous callback is not running and will not run again, so an
    // owner may clear it in its destructor; the callback must therefore not wait for a thread that is
    // setting a new one.
    void setDeviceChangeCallback(DeviceChangeCallback callback) override;

private:
    struct Device {
        std::shared_ptr<SimulatedInstrument> instrument;
        bool plugged = true;
        // Changes at each unplug, so handles opened before it never come back to life.
        std::uint64_t plugGeneration = 0;
    };
    struct Session {
        std::shared_ptr<SimulatedInstrument> instrument;
        std::uint64_t plugGeneration = 0;
        std::uint32_t readTimeoutMs = 2000;
        std::uint32_t writeTimeoutMs = 1000;
    };
    // What a call on a handle needs, copied out under the lock.
    struct SessionView {
        std::shared_ptr<SimulatedInstrument> instrument;
        std::uint32_t readTimeoutMs = 0;
    };

    // ft::Ok with the session's view, ft::InvalidHandle, or ft::IoError when its instrument is pulled.
    ft::Status lookUp(ft::Handle handle, SessionView *view) const;
    // Looks the handle up and reads its instrument's wake count; a close or pull after that ends any wait
    // given the count.
    ft::Status prepareWait(ft::Handle handle, SessionView *view, std::uint64_t *wakesSeen) const;
    const Device *findDevice(const std::string &serialNumber) const;
    Device *findDevice(const std::string &serialNumber);
    bool isOpen(const Device &device) const;
    std::shared_ptr<SimulatedInstrument> makeInstrument(const std::string &serialNumber) const;
    void notifyDeviceChange();
    void startControlWatcher(const std::string &path);
    void applyControlFile(SimulatedControlFile &file);
    void watchControlFile(SimulatedControlFile &file);

    mutable std::mutex m_mutex;
    // Guarded by m_mutex.
    std::vector<Device> m_devices;
    std::map<std::uintptr_t, Session> m_sessions;
    std::uintptr_t m_nextHandle = 0x5100;
    std::vector<DeviceInfo> m_deviceList;

    // Held while the callback runs (recursive: the callback may plug, unplug or replace itself).
    std::recursive_mutex m_callbackMutex;
    DeviceChangeCallback m_deviceChangeCallback;

    // Set once in the constructor, before the watcher starts.
    std::optional<Illumination> m_initialIllumination;
    std::mutex m_watcherMutex;
    std::condition_variable m_watcherWake;
    bool m_watcherStopping = false;  // guarded by m_watcherMutex
    std::thread m_watcher;
};
