// The eight D2XX calls, answered by the model. Each call takes the model's
// mutex for its whole work except where it sleeps (a paced write waiting for
// its bus frame, a read waiting for bytes, a write waiting for room), records
// itself in the call log and returns its status. Injected failures come first
// and do nothing else, except that a failing close still gives the handle back.
#include "simmodel.h"

#include <algorithm>
#include <cstring>
#include <thread>

using namespace sim;

namespace {

// Pause between the polls of a read that waits for bytes or a write that waits for room.
constexpr uint64_t PollUs = 500;
// A write the part stops taking waits this long at least for the host to read
// (two latency periods when they are longer) before it gives up.
constexpr uint64_t WriteStallUs = 100000;

CallRecord beginRecord(Call call, FT_HANDLE handle)
{
    CallRecord record{};
    record.call = call;
    record.timeUs = model().now();
    record.handle = handle;
    return record;
}

// A listed text into a caller's 64-byte buffer: at most 63 bytes and the NUL.
void copyText(const std::string &text, char *buffer)
{
    const size_t n = std::min(text.size(), TextLimit);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// Sleeps, without the lock, until the model clock reaches `timeUs`.
void sleepUntil(const Model &m, uint64_t timeUs)
{
    for (int pass = 0; pass < 100; ++pass) { // sleep_for may wake early; never loop for ever
        const uint64_t now = m.now();
        if (now >= timeUs)
            return;
        std::this_thread::sleep_for(std::chrono::microseconds(timeUs - now));
    }
}

} // namespace

FT_STATUS FT_API FT_ListDevices(void *arg1, void *arg2, DWORD flags)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::ListDevices, nullptr);
    record.flags = flags;
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::ListDevices, status))
        return m.finish(record, status);

    const std::vector<Device *> devices = m.listed();
    const DWORD query = flags & (FT_LIST_NUMBER_ONLY | FT_LIST_BY_INDEX | FT_LIST_ALL);
    const DWORD what = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_LOCATION);
    if (query == FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            return m.finish(record, FT_INVALID_PARAMETER);
        record.result = DWORD(devices.size());
        *static_cast<DWORD *>(arg1) = record.result;
        return m.finish(record, FT_OK);
    }
    if (what == FT_OPEN_BY_LOCATION)
        return m.finish(record, FT_NOT_SUPPORTED);
    if (what != FT_OPEN_BY_DESCRIPTION && what != FT_OPEN_BY_SERIAL_NUMBER && what != 0)
        return m.finish(record, FT_INVALID_PARAMETER);
    // Serial numbers unless descriptions are asked for, as the driver does.
    auto textOf = [what](const Device *device) {
        return what == FT_OPEN_BY_DESCRIPTION ? device->description : device->serial;
    };

    if (query == FT_LIST_BY_INDEX) {
        const uintptr_t index = reinterpret_cast<uintptr_t>(arg1);
        record.count = DWORD(index);
        if (!arg2)
            return m.finish(record, FT_INVALID_PARAMETER);
        if (index <= uintptr_t(INT32_MAX)) {
            const auto failed = m.faults.failedListIndex.find(int(index));
            if (failed != m.faults.failedListIndex.end())
                return m.finish(record, failed->second);
        }
        if (index >= devices.size())
            return m.finish(record, FT_DEVICE_NOT_FOUND);
        record.text = textOf(devices[index]);
        copyText(record.text, static_cast<char *>(arg2));
        return m.finish(record, FT_OK);
    }
    if (query == FT_LIST_ALL) {
        // arg1: an array of pointers to 64-byte buffers, one per device; arg2: the count.
        if (!arg1 || !arg2)
            return m.finish(record, FT_INVALID_PARAMETER);
        char **buffers = static_cast<char **>(arg1);
        for (size_t i = 0; i < devices.size(); ++i) {
            if (!buffers[i])
                return m.finish(record, FT_INVALID_PARAMETER);
            copyText(textOf(devices[i]), buffers[i]);
        }
        record.result = DWORD(devices.size());
        *static_cast<DWORD *>(arg2) = record.result;
        return m.finish(record, FT_OK);
    }
    return m.finish(record, FT_INVALID_PARAMETER);
}

FT_STATUS FT_API FT_OpenEx(void *arg1, DWORD flags, FT_HANDLE *handle)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::OpenEx, nullptr);
    record.flags = flags;
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::OpenEx, status))
        return m.finish(record, status);
    if (!arg1 || !handle)
        return m.finish(record, FT_INVALID_PARAMETER);
    if (flags == FT_OPEN_BY_LOCATION)
        return m.finish(record, FT_NOT_SUPPORTED);
    if (flags != FT_OPEN_BY_DESCRIPTION && flags != FT_OPEN_BY_SERIAL_NUMBER)
        return m.finish(record, FT_INVALID_PARAMETER);

    // Read no further than a listed text could reach: 63 bytes and the NUL.
    const char *text = static_cast<const char *>(arg1);
    record.text.assign(text, strnlen(text, TextLimit + 1));
    Device *found = nullptr;
    for (Device *device : m.listed()) {
        const std::string &name = flags == FT_OPEN_BY_DESCRIPTION ? device->description : device->serial;
        if (name == record.text) {
            found = device;
            break;
        }
    }
    if (!found)
        return m.finish(record, FT_DEVICE_NOT_FOUND);
    if (found->openHandle)
        return m.finish(record, FT_DEVICE_NOT_OPENED);

    // The port starts afresh at every open, as the driver's open resets it:
    // mode 0, latency 16 ms, nothing queued either way.
    const uintptr_t token = m.nextHandle++;
    m.handles[token] = {found->id, found->generation};
    found->openHandle = token;
    m.freshPort(*found);
    *handle = reinterpret_cast<FT_HANDLE>(token);
    m.traceLine("open \"" + found->description + "\"");
    return m.finish(record, FT_OK);
}

FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::SetLatencyTimer, handle);
    record.mode = ms;
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::SetLatencyTimer, status))
        return m.finish(record, status);
    Device *device;
    if ((status = m.resolve(handle, device)) != FT_OK)
        return m.finish(record, status);
    if (ms < MinLatencyMs || ms > MaxLatencyMs)
        return m.finish(record, FT_INVALID_PARAMETER);
    m.advance(*device, m.now());
    device->port->setLatency(ms);
    m.traceLine("latency " + std::to_string(ms));
    return m.finish(record, FT_OK);
}

FT_STATUS FT_API FT_SetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::SetBitMode, handle);
    record.mask = mask;
    record.mode = mode;
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::SetBitMode, status))
        return m.finish(record, status);
    Device *device;
    if ((status = m.resolve(handle, device)) != FT_OK)
        return m.finish(record, status);
    if (std::find(std::begin(ValidModes), std::end(ValidModes), mode) == std::end(ValidModes))
        return m.finish(record, FT_INVALID_PARAMETER);
    const uint64_t now = m.now();
    m.advance(*device, now);
    device->port->setBitMode(mask, mode, now);
    m.traceLine("bitmode " + hex2(mask) + " " + hex2(mode));
    return m.finish(record, FT_OK);
}

FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE handle, DWORD *rxBytes)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::GetQueueStatus, handle);
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::GetQueueStatus, status))
        return m.finish(record, status);
    Device *device;
    if ((status = m.resolve(handle, device)) != FT_OK)
        return m.finish(record, status);
    if (!rxBytes)
        return m.finish(record, FT_INVALID_PARAMETER);
    const uint64_t now = m.now();
    m.advance(*device, now);
    record.result = DWORD(m.visible(*device, now));
    *rxBytes = record.result;
    return m.finish(record, FT_OK);
}

FT_STATUS FT_API FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::Read, handle);
    record.count = count;
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::Read, status))
        return m.finish(record, status);
    Device *device;
    if ((status = m.resolve(handle, device)) != FT_OK)
        return m.finish(record, status);
    if (!bytesRead || (!buffer && count > 0))
        return m.finish(record, FT_INVALID_PARAMETER);

    // No read time-out is set, so the call waits for its count; but a test
    // asking for more than will come must not hang: give up when nothing has
    // come for two latency periods (plus any answer delay and bus frames).
    uint8_t *out = static_cast<uint8_t *>(buffer);
    DWORD got = 0;
    for (uint64_t deadline = 0;;) {
        const uint64_t now = m.now();
        m.advance(*device, now);
        const size_t taken = m.takeVisible(*device, out + got, count - got, now);
        got += DWORD(taken);
        if (got == count)
            break;
        if (taken > 0 || deadline == 0) {
            deadline = now + 2 * uint64_t(device->port->latencyMs()) * 1000 + m.faults.port.answerDelayUs
                       + 2 * m.frameUs();
            if (taken > 0)
                continue; // the driver may have read on meanwhile: look again at once
        } else if (now >= deadline) {
            // On the part this call would still be waiting.
            m.clientFault("FT_Read asked " + std::to_string(count) + " bytes, " + std::to_string(got)
                          + " were queued");
            break;
        }
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(std::min(PollUs, deadline - now)));
        lock.lock();
        // Closed or unplugged meanwhile: report that, with what was read.
        if ((status = m.resolve(handle, device)) != FT_OK)
            break;
    }
    *bytesRead = got;
    record.result = got;
    record.bytes.assign(out, out + got);
    return m.finish(record, status);
}

FT_STATUS FT_API FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::Write, handle);
    record.count = count;
    Locked lock(m);
    FT_STATUS status;
    if (m.takeFailure(Call::Write, status))
        return m.finish(record, status);
    Device *device;
    if ((status = m.resolve(handle, device)) != FT_OK)
        return m.finish(record, status);
    if (!bytesWritten || (!buffer && count > 0))
        return m.finish(record, FT_INVALID_PARAMETER);

    DWORD offered = count;
    if (m.faults.shortWriteTimes > 0) {
        --m.faults.shortWriteTimes;
        offered = std::min(count, m.faults.shortWriteAccepted);
        status = m.faults.shortWriteStatus;
    }
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    // Paced: the bytes cross the bus in the next frame, and the call returns
    // when that frame has gone; the part acts on them then. When the part
    // stops taking them (its buffer from the host full: the processor stalled,
    // or waiting for room for its answers while nobody reads), the call waits,
    // as the part would make it; each pass traces the bytes it got taken.
    DWORD taken = 0;
    uint64_t frameEnd = m.now(), deadline = 0;
    for (bool first = true;; first = false) {
        const uint64_t now = m.now();
        m.advance(*device, now);
        frameEnd = m.nextFrame(now);
        const size_t mark = m.traceOut.size();
        const size_t took = device->port->write(bytes + taken, offered - taken, frameEnd);
        if (took > 0 || (first && offered == 0))
            m.traceLineAt(mark, now, std::string(took ? "write " : "write") + hexBytes(bytes + taken, took, " "));
        taken += DWORD(took);
        if (taken == offered)
            break;
        if (took > 0 || first) {
            deadline = now + std::max(WriteStallUs, 2 * uint64_t(device->port->latencyMs()) * 1000)
                       + m.faults.port.answerDelayUs + 2 * m.frameUs();
        } else if (now >= deadline) {
            // On the part this call would still be blocked.
            m.clientFault("FT_Write offered " + std::to_string(offered) + " bytes, the part took "
                          + std::to_string(taken) + ": the rest waits on the part");
            break;
        }
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(std::min(PollUs, std::max(deadline, now) - now)));
        lock.lock();
        // Closed or unplugged meanwhile: report that, with what was taken.
        const FT_STATUS gone = m.resolve(handle, device);
        if (gone != FT_OK) {
            status = gone;
            break;
        }
    }
    *bytesWritten = taken;
    record.result = taken;
    record.bytes.assign(bytes, bytes + taken);
    m.finish(record, status);
    lock.unlock();
    sleepUntil(m, frameEnd);
    return status;
}

FT_STATUS FT_API FT_Close(FT_HANDLE handle)
{
    Model &m = model();
    CallRecord record = beginRecord(Call::Close, handle);
    Locked lock(m);
    FT_STATUS injected;
    const bool failing = m.takeFailure(Call::Close, injected);
    Device *device;
    FT_STATUS status = m.resolve(handle, device);
    if (status != FT_INVALID_HANDLE) {
        // A known handle is released even when its device has gone (then
        // FT_IO_ERROR) and when the close fails: the driver takes it back.
        m.handles.erase(reinterpret_cast<uintptr_t>(handle));
        if (device)
            device->openHandle = 0;
        m.traceLine("close");
    }
    return m.finish(record, failing ? injected : status);
}

const D2xxCalls &sim::d2xxCalls()
{
    static const D2xxCalls table = {FT_ListDevices, FT_OpenEx, FT_SetLatencyTimer, FT_SetBitMode,
                                    FT_GetQueueStatus, FT_Read, FT_Write, FT_Close};
    return table;
}
