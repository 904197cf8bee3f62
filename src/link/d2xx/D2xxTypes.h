#pragma once

#include <cstdint>

#if !defined(_WIN32)
#include <pthread.h>
#endif

// The D2XX C interface as this program calls it, declared from the library's public documentation: the
// vendor library is loaded at run time, so no vendor header is needed to build. The stand-in library of
// the tests exports the same functions with these declarations.
namespace d2xx {

// The library's ULONG and DWORD are 32 bits on every platform it ships for.
using Ulong = std::uint32_t;
using Dword = std::uint32_t;
using Status = Ulong;
using Handle = void *;

// One record of FT_GetDeviceInfoList.
struct DeviceListInfoNode {
    Ulong flags;
    Ulong type;
    Ulong id;
    Dword locationId;
    char serialNumber[16];
    char description[64];
    Handle handle;
};

#if UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(DeviceListInfoNode) == 104, "the library lays the device record out in 104 bytes");
#endif

// FT_SetEventNotification's mask bit for "characters received".
constexpr Dword eventRxChar = 1;

#if !defined(_WIN32)
// What FT_SetEventNotification takes outside Windows: the library locks eMutex, signals eCondVar and unlocks
// when bytes arrive. On Windows it takes an event handle instead.
struct EventHandle {
    pthread_cond_t eCondVar;
    pthread_mutex_t eMutex;
    int iVar;
};
#endif

}  // namespace d2xx

// The library's functions use the WINAPI (stdcall) convention on Windows and the plain C one elsewhere.
#if defined(_WIN32)
#define VANTIKO_D2XX_CALL __stdcall
#else
#define VANTIKO_D2XX_CALL
#endif

// The write buffer is declared const here: the library only reads it, and the pointer is passed alike.
extern "C" {
using FT_CreateDeviceInfoList_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Dword *count);
using FT_GetDeviceInfoList_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::DeviceListInfoNode *list, d2xx::Dword *count);
using FT_OpenEx_t = d2xx::Status(VANTIKO_D2XX_CALL *)(void *arg, d2xx::Dword flags, d2xx::Handle *handle);
using FT_Close_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle);
using FT_ResetDevice_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle);
using FT_Purge_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, d2xx::Ulong mask);
using FT_SetBitMode_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, unsigned char mask, unsigned char mode);
using FT_SetUSBParameters_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, d2xx::Ulong inTransferSize,
                                                                d2xx::Ulong outTransferSize);
using FT_SetFlowControl_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, unsigned short flowControl,
                                                              unsigned char xon, unsigned char xoff);
using FT_SetTimeouts_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, d2xx::Ulong readTimeoutMs,
                                                           d2xx::Ulong writeTimeoutMs);
using FT_Write_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, const void *buffer, d2xx::Dword bytesToWrite,
                                                     d2xx::Dword *bytesWritten);
using FT_GetStatus_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, d2xx::Dword *rxBytes,
                                                         d2xx::Dword *txBytes, d2xx::Dword *eventStatus);
using FT_Read_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, void *buffer, d2xx::Dword bytesToRead,
                                                    d2xx::Dword *bytesReturned);
// `param` is a d2xx::EventHandle * (a HANDLE of an event on Windows).
using FT_SetEventNotification_t = d2xx::Status(VANTIKO_D2XX_CALL *)(d2xx::Handle handle, d2xx::Dword mask, void *param);
}
