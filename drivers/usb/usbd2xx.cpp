// The eight D2XX calls over libftdi1: listing per port, open by description
// or serial number, and the per-port calls forwarded to the open Port. Handles
// are tokens counted up and never reused, so a stale or garbage handle is
// refused (FT_INVALID_HANDLE) instead of naming freed memory.
#include "usbd2xx.h"

#include "usbholders.h"
#include "usblisting.h"
#include "usbport.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <utility>

namespace usb {

namespace {

// Longest listed text: 63 bytes and the NUL in the caller's 64-byte buffer.
constexpr size_t TextLimit = FT_DESCRIPTION_BUFFER_SIZE - 1;

struct Open {
    std::shared_ptr<Port> port;
    std::pair<BusPlace, int> where; // part and port number, while it is open
};

struct Handles {
    // Guards the three members: the handle table, the next token and the
    // ports in use. Never held across a call into a port (which may wait).
    std::mutex mutex;
    std::map<uintptr_t, Open> open;
    // Counted up, never reused; starting well above 0 keeps null and small
    // garbage values from ever naming a handle.
    uintptr_t next = 0x7100;
    std::set<std::pair<BusPlace, int>> inUse;
};

Handles &handles()
{
    // Never destroyed: a call from a thread still running at exit stays safe.
    static Handles *instance = new Handles;
    return *instance;
}

std::shared_ptr<Port> portOf(FT_HANDLE handle)
{
    Handles &h = handles();
    std::lock_guard<std::mutex> lock(h.mutex);
    const auto it = h.open.find(reinterpret_cast<uintptr_t>(handle));
    return it == h.open.end() ? nullptr : it->second.port;
}

void copyText(const std::string &text, char *buffer)
{
    const size_t n = std::min(text.size(), TextLimit);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

FT_STATUS FT_API listDevices(void *arg1, void *arg2, DWORD flags)
{
    const DWORD query = flags & (FT_LIST_NUMBER_ONLY | FT_LIST_BY_INDEX | FT_LIST_ALL);
    const DWORD what = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_LOCATION);
    if (query == FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            return FT_INVALID_PARAMETER;
        *static_cast<DWORD *>(arg1) = DWORD(listPorts().size());
        return FT_OK;
    }
    if (what == FT_OPEN_BY_LOCATION)
        return FT_NOT_SUPPORTED;
    if (what != FT_OPEN_BY_DESCRIPTION && what != FT_OPEN_BY_SERIAL_NUMBER && what != 0)
        return FT_INVALID_PARAMETER;
    // Serial numbers unless descriptions are asked for, as the maker's driver does.
    auto textOf = [what](const ListedPort &port) {
        return what == FT_OPEN_BY_DESCRIPTION ? port.description : port.serial;
    };

    if (query == FT_LIST_BY_INDEX) {
        if (!arg2)
            return FT_INVALID_PARAMETER;
        const uintptr_t index = reinterpret_cast<uintptr_t>(arg1);
        const std::vector<ListedPort> ports = listPorts();
        if (index >= ports.size())
            return FT_DEVICE_NOT_FOUND;
        // Counted but unnamed: its strings could not be read (no access).
        if (!ports[index].named)
            return FT_DEVICE_NOT_OPENED;
        copyText(textOf(ports[index]), static_cast<char *>(arg2));
        return FT_OK;
    }
    if (query == FT_LIST_ALL) {
        // arg1: an array of pointers to 64-byte buffers, one per device; arg2: the count.
        if (!arg1 || !arg2)
            return FT_INVALID_PARAMETER;
        char **buffers = static_cast<char **>(arg1);
        const std::vector<ListedPort> ports = listPorts();
        for (size_t i = 0; i < ports.size(); ++i) {
            if (!buffers[i])
                return FT_INVALID_PARAMETER;
            copyText(textOf(ports[i]), buffers[i]);
        }
        *static_cast<DWORD *>(arg2) = DWORD(ports.size());
        return FT_OK;
    }
    return FT_INVALID_PARAMETER;
}

FT_STATUS FT_API openEx(void *arg1, DWORD flags, FT_HANDLE *handle)
{
    if (!arg1 || !handle)
        return FT_INVALID_PARAMETER;
    if (flags == FT_OPEN_BY_LOCATION)
        return FT_NOT_SUPPORTED;
    if (flags != FT_OPEN_BY_DESCRIPTION && flags != FT_OPEN_BY_SERIAL_NUMBER)
        return FT_INVALID_PARAMETER;
    // Read no further than a listed text could reach: 63 bytes and the NUL.
    const char *text = static_cast<const char *>(arg1);
    const std::string wanted(text, strnlen(text, TextLimit + 1));

    ListedPort listed;
    bool found = false;
    for (const ListedPort &port : listPorts()) {
        if (port.named && (flags == FT_OPEN_BY_DESCRIPTION ? port.description : port.serial) == wanted) {
            listed = port;
            found = true;
            break;
        }
    }
    if (!found)
        return FT_DEVICE_NOT_FOUND;

    Handles &h = handles();
    const std::pair<BusPlace, int> where{listed.place, listed.port};
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        if (!h.inUse.insert(where).second)
            return FT_DEVICE_NOT_OPENED;
    }
    // Opening takes a while (the port's own libusb context, control
    // requests): done without the table's lock, the port reserved meanwhile.
    std::unique_ptr<Port> port;
    FT_STATUS status = FT_OTHER_ERROR;
    try {
        status = Port::open(listed, port);
    } catch (...) {
        std::lock_guard<std::mutex> lock(h.mutex);
        h.inUse.erase(where);
        throw;
    }
    std::lock_guard<std::mutex> lock(h.mutex);
    if (status != FT_OK) {
        h.inUse.erase(where);
        return status;
    }
    const uintptr_t token = h.next++;
    h.open[token] = {std::shared_ptr<Port>(std::move(port)), where};
    *handle = reinterpret_cast<FT_HANDLE>(token);
    return FT_OK;
}

FT_STATUS FT_API setLatencyTimer(FT_HANDLE handle, UCHAR ms)
{
    const std::shared_ptr<Port> port = portOf(handle);
    return port ? port->setLatencyTimer(ms) : FT_STATUS(FT_INVALID_HANDLE);
}

FT_STATUS FT_API setBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode)
{
    const std::shared_ptr<Port> port = portOf(handle);
    return port ? port->setBitMode(mask, mode) : FT_STATUS(FT_INVALID_HANDLE);
}

FT_STATUS FT_API getQueueStatus(FT_HANDLE handle, DWORD *rxBytes)
{
    const std::shared_ptr<Port> port = portOf(handle);
    if (!port)
        return FT_INVALID_HANDLE;
    DWORD count = 0;
    const FT_STATUS status = port->queueStatus(count);
    if (status == FT_OK && !rxBytes)
        return FT_INVALID_PARAMETER;
    if (status == FT_OK)
        *rxBytes = count;
    return status;
}

FT_STATUS FT_API read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    const std::shared_ptr<Port> port = portOf(handle);
    if (!port)
        return FT_INVALID_HANDLE;
    if (!bytesRead || (!buffer && count > 0))
        return FT_INVALID_PARAMETER;
    return port->read(static_cast<uint8_t *>(buffer), count, *bytesRead);
}

FT_STATUS FT_API write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten)
{
    const std::shared_ptr<Port> port = portOf(handle);
    if (!port)
        return FT_INVALID_HANDLE;
    if (!bytesWritten || (!buffer && count > 0))
        return FT_INVALID_PARAMETER;
    return port->write(static_cast<const uint8_t *>(buffer), count, *bytesWritten);
}

FT_STATUS FT_API close(FT_HANDLE handle)
{
    Handles &h = handles();
    Open taken;
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        const auto it = h.open.find(reinterpret_cast<uintptr_t>(handle));
        if (it == h.open.end())
            return FT_INVALID_HANDLE;
        taken = std::move(it->second);
        h.open.erase(it);
    }
    // The handle is gone from the table already: the port is released
    // whatever the close reports (FT_IO_ERROR after an unplug), or throws.
    struct Release {
        Handles &h;
        const std::pair<BusPlace, int> &where;
        ~Release()
        {
            std::lock_guard<std::mutex> lock(h.mutex);
            h.inUse.erase(where);
        }
    } release{h, taken.where};
    return taken.port->close();
}

// No C++ exception may reach a D2XX caller, which may be C: each call is
// wrapped so that running out of memory is FT_INSUFFICIENT_RESOURCES and
// anything else thrown (a reader thread that could not start) FT_OTHER_ERROR.
template <auto Call>
struct Guarded;

template <typename... Args, FT_STATUS(FT_API *Call)(Args...)>
struct Guarded<Call> {
    static FT_STATUS FT_API call(Args... args) noexcept
    {
        try {
            return Call(args...);
        } catch (const std::bad_alloc &) {
            return FT_INSUFFICIENT_RESOURCES;
        } catch (...) {
            return FT_OTHER_ERROR;
        }
    }
};

} // namespace

std::vector<ListedEntry> listEntries(bool withState)
{
    std::vector<ListedEntry> entries;
    for (const ListedPort &port : listAllPorts())
        entries.push_back({port.description, port.serial, port.location, port.chip,
                           withState ? portState(port) : std::string()});
    return entries;
}

const D2xxCalls &calls()
{
    static const D2xxCalls table = {Guarded<listDevices>::call, Guarded<openEx>::call,
                                    Guarded<setLatencyTimer>::call, Guarded<setBitMode>::call,
                                    Guarded<getQueueStatus>::call, Guarded<read>::call,
                                    Guarded<write>::call, Guarded<close>::call};
    return table;
}

} // namespace usb
