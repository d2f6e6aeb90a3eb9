#include "d2xxcalls.h"

namespace {

FT_STATUS FT_API noListDevices(void *arg1, void *, DWORD flags)
{
    // The one query a caller may take as an answer: no device is attached.
    if ((flags & FT_LIST_NUMBER_ONLY) && arg1)
        *static_cast<DWORD *>(arg1) = 0;
    return (flags & FT_LIST_NUMBER_ONLY) ? FT_OK : FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API noOpenEx(void *, DWORD, FT_HANDLE *) { return FT_DEVICE_NOT_FOUND; }
FT_STATUS FT_API noSetLatencyTimer(FT_HANDLE, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_API noSetBitMode(FT_HANDLE, UCHAR, UCHAR) { return FT_INVALID_HANDLE; }
FT_STATUS FT_API noGetQueueStatus(FT_HANDLE, DWORD *) { return FT_INVALID_HANDLE; }
FT_STATUS FT_API noRead(FT_HANDLE, void *, DWORD, DWORD *) { return FT_INVALID_HANDLE; }
FT_STATUS FT_API noWrite(FT_HANDLE, void *, DWORD, DWORD *) { return FT_INVALID_HANDLE; }
FT_STATUS FT_API noClose(FT_HANDLE) { return FT_INVALID_HANDLE; }

D2xxCalls &current()
{
    static D2xxCalls calls = d2xx::noDriver();
    return calls;
}

} // namespace

namespace d2xx {

const D2xxCalls &noDriver()
{
    static const D2xxCalls none = {noListDevices, noOpenEx, noSetLatencyTimer, noSetBitMode,
                                   noGetQueueStatus, noRead, noWrite, noClose};
    return none;
}

void install(const D2xxCalls &calls)
{
    current() = calls;
}

const D2xxCalls &installed()
{
    return current();
}

} // namespace d2xx
