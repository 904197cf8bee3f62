#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimulatedInstrument.h"
#include "UsbFifoLink.h"

// The link backend over simulated instruments: the embedded default on which a newcomer runs the program,
// and what the tests drive. By default one instrument with the serial number "VANTIKO" is plugged in.
//
// For people: VANTIKO_SIM_LIGHT=scene|dark|flood sets the starting light, and VANTIKO_SIM_CONTROL names a
// text file that is re-read while the program runs; a line "dark", "flood" or "scene" switches the light,
// "battery=N" sets the battery code, "unplug" and "plug" pull and re-insert the instrument.
class SimulatedLink : public UsbFifoLink {
public:
    SimulatedLink();
    // With `plugDefaultInstrument` false the link starts with no device at all.
    explicit SimulatedLink(bool plugDefaultInstrument);
    ~SimulatedLink() override;

    const char *backendName() const override { return "simulator"; }

    // The plugged (or last unplugged) instrument with this serial number, or null.
    std::shared_ptr<SimulatedInstrument> instrument(const std::string &serialNumber = "VANTIKO") const;
    // Plugs in a further instrument (another serial number) and returns it.
    std::shared_ptr<SimulatedInstrument> addDevice(const std::string &serialNumber);
    // Pulls the instrument: it is gone from the list, and reads and writes on its open handles fail.
    void unplug(const std::string &serialNumber = "VANTIKO");
    // Plugs a pulled instrument back in.
    void plug(const std::string &serialNumber = "VANTIKO");

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
    void setDeviceChangeCallback(DeviceChangeCallback callback) override;

private:
    // Implementation details are the simulator's own.
};
