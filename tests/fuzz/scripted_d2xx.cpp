#include "scripted_d2xx.h"

#include "d2xx.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The link's receive and staging buffers; a request beyond them is a fault of the link.
constexpr DWORD LinkBufferSize = 32768;
// The only handle this driver hands out.
FT_HANDLE const TheHandle = reinterpret_cast<FT_HANDLE>(uintptr_t(0x5a));

const uint8_t *g_data = nullptr;
size_t g_size = 0;
size_t g_pos = 0;

bool exhausted() { return g_pos >= g_size; }
uint8_t next() { return exhausted() ? 0 : g_data[g_pos++]; }

// Mostly success, sometimes any of the driver's statuses.
FT_STATUS nextStatus()
{
    if (exhausted())
        return FT_IO_ERROR;
    const uint8_t b = next();
    return b < 192 ? FT_STATUS(FT_OK) : FT_STATUS(b % 19);
}

// Small counts mostly; now and then a huge one, as a confused driver might report.
DWORD nextCount()
{
    const uint8_t kind = next();
    if (kind < 200)
        return kind % 8;
    if (kind < 250)
        return DWORD(next()) << 8 | next();
    return DWORD(next()) << 24 | DWORD(next()) << 16 | DWORD(next()) << 8 | next();
}

void fail(const char *what)
{
    std::fprintf(stderr, "scripted driver: %s\n", what);
    std::abort();
}

bool known(FT_HANDLE handle) { return handle == TheHandle; }

} // namespace

void scripted::load(const uint8_t *data, size_t size)
{
    g_data = data;
    g_size = size;
    g_pos = 0;
}

extern "C" {

FT_STATUS FT_ListDevices(void *arg1, void *arg2, DWORD flags)
{
    const FT_STATUS status = nextStatus();
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            fail("count query without a count");
        if (status == FT_OK)
            *static_cast<DWORD *>(arg1) = next() % 4;
        return status;
    }
    if (!arg2)
        fail("by-index query without a buffer");
    if (status == FT_OK) {
        // A description of up to 63 bytes, often ending in " A" so that opens happen.
        char *out = static_cast<char *>(arg2);
        size_t length = next() % FT_DESCRIPTION_BUFFER_SIZE;
        for (size_t i = 0; i < length; ++i)
            out[i] = char(next() | 1); // no NUL inside
        if (length >= 2 && (next() & 1)) {
            out[length - 2] = ' ';
            out[length - 1] = 'A';
        }
        out[length] = '\0';
    }
    return status;
}

FT_STATUS FT_OpenEx(void *arg1, DWORD flags, FT_HANDLE *handle)
{
    if (!arg1 || !handle || flags != FT_OPEN_BY_DESCRIPTION)
        fail("open without a description");
    if (std::strlen(static_cast<const char *>(arg1)) > 49)
        fail("description longer than the link keeps");
    const FT_STATUS status = nextStatus();
    if (status == FT_OK)
        *handle = TheHandle;
    return status;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR)
{
    if (!known(handle))
        fail("latency on an unknown handle");
    return nextStatus();
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, UCHAR, UCHAR)
{
    if (!known(handle))
        fail("bit mode on an unknown handle");
    return nextStatus();
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD *rxBytes)
{
    if (!known(handle) || !rxBytes)
        fail("queue status on an unknown handle");
    const FT_STATUS status = nextStatus();
    if (status == FT_OK)
        *rxBytes = nextCount();
    return status;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    if (!known(handle) || !buffer || !bytesRead)
        fail("read on an unknown handle");
    if (count > LinkBufferSize)
        fail("read larger than the receive buffer");
    const FT_STATUS status = nextStatus();
    DWORD n = 0;
    if (status == FT_OK) {
        // Mostly the full count; sometimes fewer (a driver that gives up early).
        n = (next() & 0x80) ? count : count * next() / 255;
        auto *out = static_cast<uint8_t *>(buffer);
        for (DWORD i = 0; i < n; ++i)
            out[i] = exhausted() ? 0xfa : next();
    }
    *bytesRead = n;
    return status;
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten)
{
    if (!known(handle) || !buffer || !bytesWritten)
        fail("write on an unknown handle");
    if (count > LinkBufferSize)
        fail("write larger than the staging buffer");
    const FT_STATUS status = nextStatus();
    const uint8_t taken = next();
    *bytesWritten = (taken & 0x80) ? count : count * (taken & 0x7f) / 127;
    return status;
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    if (!known(handle))
        fail("close of an unknown handle");
    return nextStatus();
}

} // extern "C"

// The fuzzed link talks to this driver.
#include "d2xxcalls.h"
static const bool s_scriptInstalled = (d2xx::install({FT_ListDevices, FT_OpenEx, FT_SetLatencyTimer, FT_SetBitMode,
                                                      FT_GetQueueStatus, FT_Read, FT_Write, FT_Close}),
                                       true);
