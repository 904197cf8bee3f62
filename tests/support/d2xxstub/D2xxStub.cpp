// A stand-in for the vendor's D2XX library, built over the simulated instrument: the C functions the
// program calls, with the simulated link's statuses and timing, so the run-time loaded backend can be
// tested (and the program run with VANTIKO_LINK=d2xx) without a device.
//
// Besides the FT_* functions it exports D2xxStub_Control(line), which applies one line of the simulator's
// control language ("unplug", "plug", "dark", "flood", "scene", "battery=N") to its instrument.
//
// FT_SetEventNotification behaves like the vendor's: a thread of the library's own signals the caller's
// event (lock eMutex, signal eCondVar, unlock) whenever bytes newly reach the handle's receive queue, until
// the handle is closed. Built with D2XX_STUB_WITHOUT_EVENTS it lacks the function, like an old library.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "D2xxTypes.h"
#include "SimulatedLink.h"

#if defined(_WIN32)
#define D2XX_STUB_EXPORT extern "C" __declspec(dllexport)
#else
#define D2XX_STUB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Never destroyed: notifier threads may still use it while the process exits.
SimulatedLink &simulator() {
    static SimulatedLink *const link = new SimulatedLink;
    return *link;
}

// The event notification of one handle: what to signal, and the thread that signals it.
struct Notifier {
    std::mutex mutex;
    d2xx::Dword mask = 0;   // guarded by mutex
    void *event = nullptr;  // guarded by mutex
    std::atomic<bool> stopping{false};
    std::thread thread;
};

std::mutex g_notifierMutex;
// Never destroyed, like the simulator; entries go at FT_Close, which joins their threads.
std::map<d2xx::Handle, std::shared_ptr<Notifier>> &notifiers() {
    static auto *const map = new std::map<d2xx::Handle, std::shared_ptr<Notifier>>;
    return *map;
}

void signalEvent(void *event) {
#if defined(_WIN32)
    SetEvent(static_cast<HANDLE>(event));
#else
    auto *handle = static_cast<d2xx::EventHandle *>(event);
    pthread_mutex_lock(&handle->eMutex);
    pthread_cond_signal(&handle->eCondVar);
    pthread_mutex_unlock(&handle->eMutex);
#endif
}

// Runs until the handle is closed, or dies with its pulled instrument.
[[maybe_unused]] void runNotifier(d2xx::Handle handle, Notifier *notifier) {
    std::uint64_t arrivals = 0;
    if (simulator().arrivalCount(handle, &arrivals) != ft::Ok) {
        return;
    }
    while (!notifier->stopping.load()) {
        const std::uint64_t before = arrivals;
        if (simulator().waitForArrival(handle, &arrivals, std::chrono::milliseconds(250)) != ft::Ok) {
            return;
        }
        if (arrivals == before) {
            continue;
        }
        std::lock_guard lock(notifier->mutex);
        if ((notifier->mask & d2xx::eventRxChar) != 0 && notifier->event) {
            signalEvent(notifier->event);
        }
    }
}

// Like the vendor's library, FT_GetDeviceInfoList hands out the list that the last FT_CreateDeviceInfoList
// built, as many records as that list held.
std::mutex g_listMutex;
std::uint32_t g_listedCount = 0;  // guarded by g_listMutex

void copyText(char *target, std::size_t capacity, const std::string &text) {
    const std::size_t length = std::min(text.size(), capacity - 1);
    std::memcpy(target, text.data(), length);
    target[length] = '\0';
}

void fillNode(d2xx::DeviceListInfoNode *node, const DeviceInfo &device) {
    std::memset(node, 0, sizeof *node);
    node->flags = device.flags;
    node->type = device.type;
    node->id = device.id;
    node->locationId = device.locationId;
    copyText(node->serialNumber, sizeof node->serialNumber, device.serialNumber);
    copyText(node->description, sizeof node->description, device.description);
    node->handle = nullptr;
}

}  // namespace

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_CreateDeviceInfoList(d2xx::Dword *count) {
    std::lock_guard lock(g_listMutex);
    std::uint32_t listed = 0;
    const ft::Status status = simulator().createDeviceInfoList(&listed);
    g_listedCount = status == ft::Ok ? listed : 0;
    if (count) {
        *count = listed;
    }
    return status;
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_GetDeviceInfoList(d2xx::DeviceListInfoNode *list,
                                                                     d2xx::Dword *count) {
    if (!list || !count) {
        return ft::InvalidParameter;
    }
    std::lock_guard lock(g_listMutex);
    std::vector<DeviceInfo> devices;
    std::uint32_t filled = g_listedCount;
    const ft::Status status = simulator().getDeviceInfoList(devices, &filled);
    if (status != ft::Ok) {
        *count = 0;
        return status;
    }
    for (std::uint32_t i = 0; i < filled; ++i) {
        fillNode(&list[i], devices[i]);
    }
    *count = filled;
    return ft::Ok;
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_OpenEx(void *arg, d2xx::Dword flags, d2xx::Handle *handle) {
    // Only the by-text kinds of opening carry a string; any other kind passes a number in the pointer.
    if (!arg || !handle || (flags != ft::OpenBySerialNumber && flags != ft::OpenByDescription)) {
        return ft::InvalidParameter;
    }
    return simulator().openEx(static_cast<const char *>(arg), flags, handle);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_Close(d2xx::Handle handle) {
    // The close ends the notifier's wait; after the join nothing signals the caller's event any more.
    const ft::Status status = simulator().close(handle);
    std::shared_ptr<Notifier> notifier;
    {
        std::lock_guard lock(g_notifierMutex);
        const auto found = notifiers().find(handle);
        if (found != notifiers().end()) {
            notifier = std::move(found->second);
            notifiers().erase(found);
        }
    }
    if (notifier) {
        notifier->stopping = true;
        notifier->thread.join();
    }
    return status;
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_ResetDevice(d2xx::Handle handle) {
    return simulator().resetDevice(handle);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_Purge(d2xx::Handle handle, d2xx::Ulong mask) {
    return simulator().purge(handle, mask);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_SetBitMode(d2xx::Handle handle, unsigned char mask,
                                                              unsigned char mode) {
    return simulator().setBitMode(handle, mask, mode);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_SetUSBParameters(d2xx::Handle handle, d2xx::Ulong inTransferSize,
                                                                    d2xx::Ulong outTransferSize) {
    return simulator().setUsbParameters(handle, inTransferSize, outTransferSize);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_SetFlowControl(d2xx::Handle handle, unsigned short flowControl,
                                                                  unsigned char xon, unsigned char xoff) {
    return simulator().setFlowControl(handle, flowControl, xon, xoff);
}

#if !defined(D2XX_STUB_WITHOUT_SET_TIMEOUTS)
D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_SetTimeouts(d2xx::Handle handle, d2xx::Ulong readTimeoutMs,
                                                               d2xx::Ulong writeTimeoutMs) {
    return simulator().setTimeouts(handle, readTimeoutMs, writeTimeoutMs);
}
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), FT_SetTimeouts_t>);
#endif

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_Write(d2xx::Handle handle, const void *buffer,
                                                         d2xx::Dword bytesToWrite, d2xx::Dword *bytesWritten) {
    return simulator().write(handle, buffer, bytesToWrite, bytesWritten);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_GetStatus(d2xx::Handle handle, d2xx::Dword *rxBytes,
                                                             d2xx::Dword *txBytes, d2xx::Dword *eventStatus) {
    return simulator().getStatus(handle, rxBytes, txBytes, eventStatus);
}

D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_Read(d2xx::Handle handle, void *buffer, d2xx::Dword bytesToRead,
                                                        d2xx::Dword *bytesReturned) {
    return simulator().read(handle, buffer, bytesToRead, bytesReturned);
}

#if !defined(D2XX_STUB_WITHOUT_EVENTS)
D2XX_STUB_EXPORT d2xx::Status VANTIKO_D2XX_CALL FT_SetEventNotification(d2xx::Handle handle, d2xx::Dword mask,
                                                                        void *param) {
    std::uint64_t arrivals = 0;
    const ft::Status status = simulator().arrivalCount(handle, &arrivals);
    if (status != ft::Ok) {
        return status;
    }
    std::lock_guard lock(g_notifierMutex);
    std::shared_ptr<Notifier> &notifier = notifiers()[handle];
    if (!notifier) {
        notifier = std::make_shared<Notifier>();
        notifier->thread = std::thread(runNotifier, handle, notifier.get());
    }
    std::lock_guard settings(notifier->mutex);
    notifier->mask = mask;
    notifier->event = param;
    return ft::Ok;
}
static_assert(std::is_same_v<decltype(&FT_SetEventNotification), FT_SetEventNotification_t>);
#endif

// Returns 1 when the line was understood.
D2XX_STUB_EXPORT int D2xxStub_Control(const char *line) {
    return line && simulator().applyControlCommand(line) ? 1 : 0;
}

// The stand-in and the link agree on every declaration.
static_assert(std::is_same_v<decltype(&FT_CreateDeviceInfoList), FT_CreateDeviceInfoList_t>);
static_assert(std::is_same_v<decltype(&FT_GetDeviceInfoList), FT_GetDeviceInfoList_t>);
static_assert(std::is_same_v<decltype(&FT_OpenEx), FT_OpenEx_t>);
static_assert(std::is_same_v<decltype(&FT_Close), FT_Close_t>);
static_assert(std::is_same_v<decltype(&FT_ResetDevice), FT_ResetDevice_t>);
static_assert(std::is_same_v<decltype(&FT_Purge), FT_Purge_t>);
static_assert(std::is_same_v<decltype(&FT_SetBitMode), FT_SetBitMode_t>);
static_assert(std::is_same_v<decltype(&FT_SetUSBParameters), FT_SetUSBParameters_t>);
static_assert(std::is_same_v<decltype(&FT_SetFlowControl), FT_SetFlowControl_t>);
static_assert(std::is_same_v<decltype(&FT_Write), FT_Write_t>);
static_assert(std::is_same_v<decltype(&FT_GetStatus), FT_GetStatus_t>);
static_assert(std::is_same_v<decltype(&FT_Read), FT_Read_t>);
