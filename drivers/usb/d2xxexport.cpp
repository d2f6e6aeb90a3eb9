// The USB driver under the D2XX names, with C linkage, for any client written
// against link/d2xx.h (a C probe, another program) to link unchanged.
#include "usbd2xx.h"

FT_STATUS FT_API FT_ListDevices(void *arg1, void *arg2, DWORD flags)
{
    return usb::calls().listDevices(arg1, arg2, flags);
}

FT_STATUS FT_API FT_OpenEx(void *arg1, DWORD flags, FT_HANDLE *handle)
{
    return usb::calls().openEx(arg1, flags, handle);
}

FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms)
{
    return usb::calls().setLatencyTimer(handle, ms);
}

FT_STATUS FT_API FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode)
{
    return usb::calls().setBitMode(handle, mask, mode);
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE handle, DWORD *rxBytes)
{
    return usb::calls().getQueueStatus(handle, rxBytes);
}

FT_STATUS FT_API FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    return usb::calls().read(handle, buffer, count, bytesRead);
}

FT_STATUS FT_API FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten)
{
    return usb::calls().write(handle, buffer, count, bytesWritten);
}

FT_STATUS FT_API FT_Close(FT_HANDLE handle)
{
    return usb::calls().close(handle);
}
