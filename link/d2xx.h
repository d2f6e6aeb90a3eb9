/* Our own declarations of the D2XX driver calls that the link uses.
 * Written from the driver's documented interface; every implementation (the
 * simulated bridge, the USB driver on libftdi1, or a library loaded by path)
 * provides these eight functions, with C linkage in its shared library. */
#ifndef TAVREL_D2XX_H
#define TAVREL_D2XX_H

#include <stdint.h>

#ifdef _WIN32
/* On Windows the driver's calls take the system's own DWORD (unsigned long,
 * 32 bits there) and UCHAR, and use the stdcall convention: taking them from
 * <windows.h> lets a file include both headers, in either order. */
#include <windows.h>
#define FT_API WINAPI
#else
#define FT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void *FT_HANDLE;
#ifdef _WIN32
typedef ULONG FT_STATUS;
#else
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;
typedef uint8_t UCHAR;
#endif

/* Status values, numbered from 0 in the driver's order. */
enum {
    FT_OK = 0,
    FT_INVALID_HANDLE,
    FT_DEVICE_NOT_FOUND,
    FT_DEVICE_NOT_OPENED,
    FT_IO_ERROR,
    FT_INSUFFICIENT_RESOURCES,
    FT_INVALID_PARAMETER,
    FT_INVALID_BAUD_RATE,
    FT_DEVICE_NOT_OPENED_FOR_ERASE,
    FT_DEVICE_NOT_OPENED_FOR_WRITE,
    FT_FAILED_TO_WRITE_DEVICE,
    FT_EEPROM_READ_FAILED,
    FT_EEPROM_WRITE_FAILED,
    FT_EEPROM_ERASE_FAILED,
    FT_EEPROM_NOT_PRESENT,
    FT_EEPROM_NOT_PROGRAMMED,
    FT_INVALID_ARGS,
    FT_NOT_SUPPORTED,
    FT_OTHER_ERROR /* 18 */
};

/* What FT_OpenEx's first argument names, and what a by-index listing returns. */
#define FT_OPEN_BY_SERIAL_NUMBER 1
#define FT_OPEN_BY_DESCRIPTION 2
#define FT_OPEN_BY_LOCATION 4

/* FT_ListDevices query kinds. */
#define FT_LIST_NUMBER_ONLY 0x80000000u
#define FT_LIST_BY_INDEX 0x40000000u
#define FT_LIST_ALL 0x20000000u

/* A listed description or serial number is at most 63 bytes plus NUL. */
#define FT_DESCRIPTION_BUFFER_SIZE 64

FT_STATUS FT_API FT_ListDevices(void *arg1, void *arg2, DWORD flags);
FT_STATUS FT_API FT_OpenEx(void *arg1, DWORD flags, FT_HANDLE *handle);
FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms);
FT_STATUS FT_API FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode);
FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE handle, DWORD *rxBytes);
FT_STATUS FT_API FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead);
FT_STATUS FT_API FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten);
FT_STATUS FT_API FT_Close(FT_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif
