// The link against a driver whose every status, count and byte comes from the input (then all
// calls fail); it aborts on a call the link must never make.
#include "ftunitl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t *g_data = nullptr;
size_t g_size = 0, g_pos = 0;
FT_HANDLE const theHandle = reinterpret_cast<FT_HANDLE>(uintptr_t(0x5a)); // the only one handed out

uint8_t next() { return g_pos < g_size ? g_data[g_pos++] : 0; }

// Mostly success (a byte below 192), else one of the 19 statuses.
FT_STATUS status(bool callOk = true)
{
    if (!callOk)
        std::fputs("scripted driver: a call on a handle never given, or beyond the link's buffers\n", stderr),
            std::abort();
    const int b = g_pos < g_size ? next() : -1;
    return b < 0 ? FT_STATUS(FT_IO_ERROR) : b < 192 ? FT_STATUS(FT_OK) : FT_STATUS(b % 19);
}

DWORD count(uint8_t kind) { return kind < 200 ? kind % 8u : DWORD(next()) << (kind < 250 ? 8 : 24) | next(); }

const D2xxCalls scripted = {
    [](void *arg1, void *arg2, DWORD flags) {
        const FT_STATUS s = status();
        if (s == FT_OK && (flags & FT_LIST_NUMBER_ONLY)) {
            *static_cast<DWORD *>(arg1) = next() % 4;
        } else if (s == FT_OK) { // a description of up to 63 bytes, no NUL inside, often ending in " A"
            char *out = static_cast<char *>(arg2);
            const size_t length = next() % FT_DESCRIPTION_BUFFER_SIZE;
            const bool portA = next() & 1;
            for (size_t i = 0; i < length; ++i)
                out[i] = portA && i + 2 >= length ? " A"[i + 2 - length] : char(next() | 1);
            out[length] = '\0';
        }
        return s;
    },
    [](void *description, DWORD, FT_HANDLE *handle) {
        *handle = theHandle; // the link keeps at most 49 bytes of a description
        return status(std::strlen(static_cast<const char *>(description)) <= 49);
    },
    [](FT_HANDLE handle, UCHAR) { return status(handle == theHandle); },
    [](FT_HANDLE handle, UCHAR, UCHAR) { return status(handle == theHandle); },
    [](FT_HANDLE handle, DWORD *rxBytes) {
        const FT_STATUS s = status(handle == theHandle);
        *rxBytes = s == FT_OK ? count(next()) : *rxBytes; // a failed query leaves the count as it was
        return s;
    },
    [](FT_HANDLE handle, void *buffer, DWORD n, DWORD *read) {
        const FT_STATUS s = status(handle == theHandle && n <= FtUnitl::BufferSize);
        *read = s != FT_OK ? 0 : (next() & 0x80) ? n : n * next() / 255; // sometimes fewer than asked
        for (DWORD i = 0; i < *read; ++i)
            static_cast<uint8_t *>(buffer)[i] = g_pos < g_size ? next() : 0xfa;
        return s;
    },
    [](FT_HANDLE handle, void *, DWORD n, DWORD *written) {
        const FT_STATUS s = status(handle == theHandle && n <= FtUnitl::BufferSize);
        const uint8_t taken = next();
        *written = (taken & 0x80) ? n : n * (taken & 0x7f) / 127;
        return s;
    },
    [](FT_HANDLE handle) { return status(handle == theHandle); },
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = (qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}),
                               d2xx::install(scripted), true);
    g_data = data, g_size = size, g_pos = 0;
    FtUnitl link;
    link.openDevice();
    if (ready && link.isOpen()) {
        link.initDevice();
        link.writeReg8(2, 0);
        link.readReg8(1, 4);
        link.readReg8(0, 4);
        if (!link.isOpen())
            link.openDevice(); // a dead handle is released before the next open
    }
    return 0;
}
