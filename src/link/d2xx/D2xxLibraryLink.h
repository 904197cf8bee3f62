#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include <QString>
#include <QStringList>

#include "D2xxTypes.h"
#include "HandleRegistry.h"
#include "UsbFifoLink.h"

class QLibrary;

// The link over FTDI's own D2XX library, loaded at run time so the program builds and starts without it.
// The caller may name one library file to use (VANTIKO_D2XX_LIBRARY or --d2xx-library, read by the backend
// choice); otherwise the platform's usual names are tried.
//
// Every function is resolved once, when the library is loaded. Handles given to callers are tokens of this
// link, never the library's own: a call on a closed handle gets ft::InvalidHandle without reaching the
// library, and a close waits until the calls already running on that handle have returned.
// The library stays loaded for the rest of the process once a link has used it.
class D2xxLibraryLink : public UsbFifoLink {
public:
    // The library functions the link uses.
    struct Functions {
        FT_CreateDeviceInfoList_t createDeviceInfoList = nullptr;
        FT_GetDeviceInfoList_t getDeviceInfoList = nullptr;
        FT_OpenEx_t openEx = nullptr;
        FT_Close_t close = nullptr;
        FT_ResetDevice_t resetDevice = nullptr;
        FT_Purge_t purge = nullptr;
        FT_SetBitMode_t setBitMode = nullptr;
        FT_SetUSBParameters_t setUsbParameters = nullptr;
        FT_SetFlowControl_t setFlowControl = nullptr;
        FT_SetTimeouts_t setTimeouts = nullptr;
        FT_Write_t write = nullptr;
        FT_GetStatus_t getStatus = nullptr;
        FT_Read_t read = nullptr;
        // Optional: without it a wait for received bytes polls the status.
        FT_SetEventNotification_t setEventNotification = nullptr;
    };

    // Loads the library and resolves its functions. On failure returns null and sets `diagnostic` to one
    // sentence that names the library, or the function it lacks.
    // `libraryFile`, when not empty, is the one file tried.
    static std::unique_ptr<D2xxLibraryLink> load(const QString &libraryFile, QString *diagnostic = nullptr);
    // The library names tried, in order: `libraryFile` alone when given, or the platform's names.
    static QStringList candidateLibraryNames(const QString &libraryFile);

    ~D2xxLibraryLink() override;
    D2xxLibraryLink(const D2xxLibraryLink &) = delete;
    D2xxLibraryLink &operator=(const D2xxLibraryLink &) = delete;

    const char *backendName() const override { return "d2xx"; }
    // The file the library was loaded from.
    QString libraryFileName() const;

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
    // Sleeps on the library's arrival event (asked for at the handle's first wait) and returns at the
    // first signal; a library without event notification is polled every millisecond instead.
    ft::Status waitForReceived(ft::Handle handle, std::chrono::milliseconds timeout) override;
    // Whether waits sleep on the library's event rather than polling.
    bool signalsArrivals() const { return m_functions.setEventNotification != nullptr; }

private:
    class OpenDevice;

    D2xxLibraryLink(std::unique_ptr<QLibrary> library, const Functions &functions);

    // Runs `call` with the library's handle while `handle` is open; ft::InvalidHandle otherwise.
    template <typename Call>
    ft::Status callOn(ft::Handle handle, Call call);
    static DeviceInfo toDeviceInfo(const d2xx::DeviceListInfoNode &node);
    ft::Status pollForReceived(OpenDevice &device, std::chrono::milliseconds timeout);

    std::unique_ptr<QLibrary> m_library;
    const Functions m_functions;
    HandleRegistry<OpenDevice> m_devices;
    // Building and fetching the device list go together: the library fills as many records as its last
    // list held, so the count of that list must be known when the records are fetched.
    std::mutex m_listMutex;
    std::uint32_t m_listedCount = 0;  // guarded by m_listMutex
};
