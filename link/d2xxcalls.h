// The eight D2XX calls of one implementation, as a table. The program picks an
// implementation once at start (the simulated bridge, real bridges over USB, or
// a D2XX library loaded by path) and installs its table; every link built after
// that holds a copy and calls only through it, so nothing in the link or the
// worker names an implementation.
#ifndef TAVREL_D2XXCALLS_H
#define TAVREL_D2XXCALLS_H

#include "d2xx.h"

struct D2xxCalls
{
    FT_STATUS(FT_API *listDevices)(void *arg1, void *arg2, DWORD flags);
    FT_STATUS(FT_API *openEx)(void *arg1, DWORD flags, FT_HANDLE *handle);
    FT_STATUS(FT_API *setLatencyTimer)(FT_HANDLE handle, UCHAR ms);
    FT_STATUS(FT_API *setBitMode)(FT_HANDLE handle, UCHAR mask, UCHAR mode);
    FT_STATUS(FT_API *getQueueStatus)(FT_HANDLE handle, DWORD *rxBytes);
    FT_STATUS(FT_API *read)(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead);
    FT_STATUS(FT_API *write)(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten);
    FT_STATUS(FT_API *close)(FT_HANDLE handle);
};

namespace d2xx {

// Calls that find no device and fail everything else: what a link holds when
// nothing was installed, so a forgotten choice shows as "no bridge", not a crash.
const D2xxCalls &noDriver();

// The implementation links built from now on will use. Installed by the one
// place that puts the program together (main, or a test) before any link is
// built; not meant to change while a link is in use.
void install(const D2xxCalls &calls);
const D2xxCalls &installed();

} // namespace d2xx

#endif
