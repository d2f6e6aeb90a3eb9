#include "usbport.h"

#include "usbholders.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace usb {

namespace {

// The driver reads in requests of 4096 bytes, as the maker's driver does: 8
// high-speed (512-byte) or 64 full-speed (64-byte) packets.
constexpr int ReadRequestBytes = 4096;
// Every bulk IN packet begins with two modem-status bytes that are never data.
constexpr int StatusBytes = 2;
// Bound of the receive queue: 1 MiB. When the room left is less than one
// request could bring, the reader pauses and the part holds its answers.
constexpr size_t QueueLimit = size_t(1) << 20;
// A request completes at the latest when the part's latency timer next runs
// out (at most 255 ms); this bound only lets the reader notice close() soon
// when the latency is long. A timed-out request still delivers what came.
// It is also how often a reader paused on a full queue asks whether the part
// is still there.
constexpr unsigned ReaderPollMs = 100;
// Failed requests in a row (other than unplug, which ends reading at once)
// after which the port counts as gone. Each failure clears a halted endpoint
// and waits before the next request, twice as long each time from
// FirstBackoffMs: 10 + 20 + 40 + 80 + 160 ms, so a short burst of transient
// errors (a stall, a garbled packet) passes and a port that keeps failing is
// given up on within about a third of a second.
constexpr int MaxReadFailures = 6;
constexpr unsigned FirstBackoffMs = 10;
// FT_Read has no time-out on the maker's driver: it waits for its count, for
// ever if the bytes never come. A client asking for more than will come is at
// fault, but a hung program is worse: once no byte has arrived for 5 s, the
// read returns FT_OK with what has come, as a read with a time-out set would.
constexpr auto ReadWaitBound = std::chrono::seconds(5);
// Chunk of one bulk OUT transfer, as libftdi writes; each has the write
// time-out (libftdi's default, 5 s) to itself, so a part that keeps taking
// bytes is never cut off, one that stops is given up on after 5 s.
constexpr DWORD WriteChunkBytes = 4096;
constexpr unsigned WriteTimeoutMs = 5000;
// The latency timer's range on the maker's driver (libftdi accepts 1..255),
// and the part's default, which every open restores.
constexpr UCHAR MinLatencyMs = 2;
constexpr UCHAR DefaultLatencyMs = 16;
// Bit modes the part accepts: reset, asynchronous bit-bang, MPSSE, synchronous
// bit-bang, MCU host bus, fast opto-isolated serial, CBUS bit-bang, single
// channel synchronous FIFO. Anything else is refused before it reaches the part.
constexpr UCHAR ValidModes[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};
constexpr UCHAR ModeReset = 0x00;
// libftdi's "libusb_open() failed" and "inappropriate permissions" results of
// ftdi_usb_open_dev.
constexpr int OpenFailed = -4;
constexpr int OpenNoPermission = -8;
// Standard GET_STATUS request to the device, and a short bound for it: a probe
// that only asks whether the part is still there.
constexpr uint8_t RequestTypeDeviceIn = 0x80;
constexpr uint8_t RequestGetStatus = 0x00;
constexpr unsigned ProbeTimeoutMs = 500;
// libftdi's "unable to claim usb device": another program has the interface.
constexpr int OpenClaimFailed = -5;
constexpr UCHAR ModeMcuHostBus = 0x08;
// The serial driver gets a port back only after it stayed closed this long, so
// a part that keeps failing initialisation (retried at once) does not make its
// tty come and go several times a second.
constexpr auto ReattachDelay = std::chrono::seconds(1);

// Ports closed, waiting to be given back to the kernel's serial driver. Each
// keeps its context (the device stays open, the interface released) until
// then; opening the port again takes it back without a reattach.
class Reattacher
{
public:
    void later(const BusPlace &place, int port, ftdi_context *ftdi)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_stopping) { // at exit: at once
            lock.unlock();
            reattach(ftdi);
            return;
        }
        m_pending.push_back({place, port, ftdi, std::chrono::steady_clock::now() + ReattachDelay});
        if (!m_thread.joinable()) {
            m_thread = std::thread([this] { run(); });
            // A program that ends within the second still gives its ports back.
            std::atexit([] { instance().flush(); });
        }
        m_changed.notify_all();
    }

    // The context of a port waiting for its reattach, taken back (or null).
    ftdi_context *take(const BusPlace &place, int port)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->place == place && it->port == port) {
                ftdi_context *ftdi = it->ftdi;
                m_pending.erase(it);
                return ftdi;
            }
        }
        return nullptr;
    }

    static Reattacher &instance()
    {
        // Never destroyed: flush() at exit ends its thread.
        static Reattacher *reattacher = new Reattacher;
        return *reattacher;
    }

private:
    struct Pending {
        BusPlace place;
        int port;
        ftdi_context *ftdi;
        std::chrono::steady_clock::time_point due;
    };

    static void reattach(ftdi_context *ftdi)
    {
        libusb_attach_kernel_driver(ftdi->usb_dev, ftdi->interface); // fails harmlessly on a part gone
        ftdi_usb_close(ftdi);
        ftdi_free(ftdi);
    }

    void run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            const auto now = std::chrono::steady_clock::now();
            std::vector<ftdi_context *> due;
            auto next = now + ReattachDelay;
            for (auto it = m_pending.begin(); it != m_pending.end();) {
                if (it->due <= now) {
                    due.push_back(it->ftdi);
                    it = m_pending.erase(it);
                } else {
                    next = std::min(next, it->due);
                    ++it;
                }
            }
            lock.unlock();
            for (ftdi_context *ftdi : due)
                reattach(ftdi);
            lock.lock();
            if (!m_stopping)
                m_changed.wait_until(lock, next);
        }
    }

    void flush()
    {
        std::vector<Pending> all;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            all.swap(m_pending);
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
        for (const Pending &pending : all)
            reattach(pending.ftdi);
    }

    // Guards m_pending, m_stopping and the start of m_thread.
    std::mutex m_mutex;
    std::condition_variable m_changed; // a port added, or the end
    std::vector<Pending> m_pending;
    bool m_stopping = false;
    std::thread m_thread;
};

// Releases the port's interface; the serial driver gets it back later.
void giveBack(const BusPlace &place, ftdi_context *ftdi)
{
    libusb_release_interface(ftdi->usb_dev, ftdi->interface);
    Reattacher::instance().later(place, ftdi->interface, ftdi);
}

std::string portName(const ListedPort &listed, int port)
{
    std::string name = listed.description;
    if (listed.ports > 1 && !name.empty())
        name.back() = char('A' + port);
    return (name.empty() ? "the bridge" : name) + " (" + listed.location + ")";
}

// Opens port `port` of the listed part in a context of its own, never from
// under another program: FT_OK, FT_DEVICE_NOT_FOUND (gone since listed) or
// FT_DEVICE_NOT_OPENED (in use, said on stderr, or no access). The tty is
// looked at before the open, which would unbind its driver from under it.
FT_STATUS claimPort(const ListedPort &listed, int port, const std::string &refusal, ftdi_context *&out)
{
    const std::string tty = ttyHolder(listed.location, port);
    if (!tty.empty()) {
        sayHolder(listed.place, port, portName(listed, port) + " is in use by " + tty + refusal, tty);
        return FT_DEVICE_NOT_OPENED;
    }
    // Closed less than a second ago: still ours, its serial driver not back.
    if (ftdi_context *waiting = Reattacher::instance().take(listed.place, port)) {
        ftdi_usb_close(waiting);
        ftdi_free(waiting);
    }
    ftdi_context *ftdi = ftdi_new();
    if (!ftdi)
        return FT_INSUFFICIENT_RESOURCES;
    // Detach the serial driver without libusb's reattach at close: the
    // Reattacher gives the port back once it stayed closed.
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;
    // Before the open: the interface decides which port the open claims.
    if (ftdi_set_interface(ftdi, ftdi_interface(INTERFACE_A + port)) != 0) {
        ftdi_free(ftdi);
        return FT_DEVICE_NOT_FOUND;
    }
    // The same part, seen through this port's own libusb context.
    ftdi_device_list *found = nullptr;
    libusb_device *device = nullptr;
    if (ftdi_usb_find_all(ftdi, &found, 0, 0) > 0) {
        for (ftdi_device_list *entry = found; entry && !device; entry = entry->next) {
            const BusPlace place{libusb_get_bus_number(entry->dev), libusb_get_device_address(entry->dev)};
            if (place == listed.place)
                device = entry->dev;
        }
    }
    if (!device) {
        ftdi_list_free(&found);
        ftdi_free(ftdi);
        return FT_DEVICE_NOT_FOUND;
    }
    const int rc = ftdi_usb_open_dev(ftdi, device);
    if (rc == OpenClaimFailed) {
        const std::string holder = nodeHolder(listed.place);
        sayHolder(listed.place, port, portName(listed, port) + " is claimed by " + holder + refusal, holder);
    } else if (rc == 0) {
        sayHolder(listed.place, port, {}, {});
    }
    bool refused = rc == OpenNoPermission;
    if (rc == OpenFailed) {
        libusb_device_handle *probe = nullptr;
        const int open = libusb_open(device, &probe);
        if (open == 0)
            libusb_close(probe);
        refused = open == LIBUSB_ERROR_ACCESS;
    }
    ftdi_list_free(&found);
    if (refused)
        hintAccess(listed.place);
    if (rc != 0) {
        ftdi_free(ftdi);
        return FT_DEVICE_NOT_OPENED;
    }
    out = ftdi;
    return FT_OK;
}

} // namespace

FT_STATUS Port::open(const ListedPort &listed, std::unique_ptr<Port> &port)
{
    ftdi_context *ftdi = nullptr;
    const FT_STATUS status = claimPort(listed, listed.port, ": not taken from it; it is taken once free", ftdi);
    if (status != FT_OK)
        return status;
    // The port starts afresh, whatever an earlier session left: the part's
    // default latency and its bit mode reset.
    if (ftdi_set_latency_timer(ftdi, DefaultLatencyMs) != 0 || ftdi_set_bitmode(ftdi, 0, ModeReset) != 0) {
        giveBack(listed.place, ftdi);
        return FT_DEVICE_NOT_OPENED;
    }
    // libftdi took the packet size from the interface's endpoint descriptor
    // (512 on high speed, 64 on full speed).
    try {
        port.reset(new Port(ftdi, ftdi->max_packet_size ? ftdi->max_packet_size : 64, listed));
    } catch (...) { // no memory, or no thread for the reader: the port is not left claimed
        giveBack(listed.place, ftdi);
        throw;
    }
    return FT_OK;
}

Port::Port(ftdi_context *ftdi, unsigned packetSize, const ListedPort &listed)
    : m_ftdi(ftdi)
    , m_usb(ftdi->usb_dev)
    , m_endpointIn(static_cast<unsigned char>(ftdi->out_ep)) // libftdi's "out" is the part's output: bulk IN
    , m_endpointOut(static_cast<unsigned char>(ftdi->in_ep)) // and its "in" the part's input: bulk OUT
    , m_packetSize(packetSize)
    , m_listed(listed)
    , m_reader([this] { readLoop(); })
{
}

Port::~Port()
{
    close();
}

bool Port::gone()
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    return m_gone;
}

void Port::markGone()
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    m_gone = true;
    m_dataArrived.notify_all();
    m_spaceFreed.notify_all();
}

bool Port::unplugged()
{
    uint8_t status[2];
    return libusb_control_transfer(m_usb, RequestTypeDeviceIn, RequestGetStatus, 0, 0, status, sizeof status,
                                   ProbeTimeoutMs)
        == LIBUSB_ERROR_NO_DEVICE;
}

void Port::checkGone()
{
    if (unplugged())
        markGone();
}

FT_STATUS Port::setLatencyTimer(UCHAR ms)
{
    std::lock_guard<std::mutex> lock(m_ftdiMutex);
    if (!m_ftdi)
        return FT_INVALID_HANDLE;
    if (gone())
        return FT_IO_ERROR;
    if (ms < MinLatencyMs)
        return FT_INVALID_PARAMETER;
    if (ftdi_set_latency_timer(m_ftdi, ms) == 0)
        return FT_OK;
    checkGone();
    return FT_IO_ERROR;
}

FT_STATUS Port::setBitMode(UCHAR mask, UCHAR mode)
{
    std::lock_guard<std::mutex> lock(m_ftdiMutex);
    if (!m_ftdi)
        return FT_INVALID_HANDLE;
    if (gone())
        return FT_IO_ERROR;
    if (std::find(std::begin(ValidModes), std::end(ValidModes), mode) == std::end(ValidModes))
        return FT_INVALID_PARAMETER;
    if (mode == ModeMcuHostBus) {
        const FT_STATUS held = holdPortB();
        if (held != FT_OK)
            return held;
    }
    if (ftdi_set_bitmode(m_ftdi, mask, mode) == 0) {
        if (mode != ModeMcuHostBus)
            releasePortB();
        return FT_OK;
    }
    checkGone();
    return FT_IO_ERROR;
}

FT_STATUS Port::holdPortB()
{
    if (m_portB || m_listed.port != 0 || m_listed.ports < 2)
        return FT_OK;
    return claimPort(m_listed, 1, ", and MCU host-bus mode on " + portName(m_listed, 0)
                                      + " drives the bus on that port's pins: mode not set", m_portB);
}

void Port::releasePortB()
{
    if (m_portB)
        giveBack(m_listed.place, m_portB);
    m_portB = nullptr;
}

FT_STATUS Port::queueStatus(DWORD &rxBytes)
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_stopping)
        return FT_INVALID_HANDLE;
    if (m_gone)
        return FT_IO_ERROR;
    rxBytes = DWORD(m_queue.size());
    return FT_OK;
}

FT_STATUS Port::read(uint8_t *buffer, DWORD count, DWORD &bytesRead)
{
    bytesRead = 0;
    std::unique_lock<std::mutex> lock(m_queueMutex);
    if (m_stopping)
        return FT_INVALID_HANDLE;
    if (m_gone)
        return FT_IO_ERROR;
    for (;;) {
        // Takes what has come as it comes, so a read larger than the queue's
        // bound makes room for the rest instead of waiting for a queue that
        // could never hold it all.
        const size_t n = std::min(size_t(count - bytesRead), m_queue.size());
        std::copy_n(m_queue.begin(), n, buffer + bytesRead);
        m_queue.erase(m_queue.begin(), m_queue.begin() + std::ptrdiff_t(n));
        bytesRead += DWORD(n);
        if (n > 0)
            m_spaceFreed.notify_one();
        if (bytesRead == count)
            return FT_OK;
        // The bound counts from the last byte that arrived.
        if (!m_dataArrived.wait_for(lock, ReadWaitBound, [&] { return !m_queue.empty() || m_gone || m_stopping; }))
            return FT_OK;
        // Unplugged, or closed by another thread, while waiting: whatever was
        // taken is handed over, but the read did not complete.
        if (m_gone || m_stopping)
            return FT_IO_ERROR;
    }
}

FT_STATUS Port::write(const uint8_t *buffer, DWORD count, DWORD &bytesWritten)
{
    bytesWritten = 0;
    std::lock_guard<std::mutex> lock(m_ftdiMutex);
    if (!m_ftdi)
        return FT_INVALID_HANDLE;
    if (gone())
        return FT_IO_ERROR;
    // Through libusb, not ftdi_write_data: when the part stops taking bytes
    // (its buffer full, the OUT endpoint refusing packets) only libusb's count
    // says how many it took before the time-out, and the caller must know it
    // exactly to send the rest once, no byte twice.
    while (bytesWritten < count) {
        const int chunk = int(std::min(count - bytesWritten, WriteChunkBytes));
        int took = 0;
        const int rc = libusb_bulk_transfer(m_usb, m_endpointOut, const_cast<uint8_t *>(buffer + bytesWritten), chunk,
                                            &took, WriteTimeoutMs);
        bytesWritten += DWORD(std::max(took, 0));
        if (rc == 0 && took == chunk)
            continue;
        // A part that took only part of it in time: the count is the answer,
        // as a D2XX write with a time-out reports it.
        if (rc == LIBUSB_ERROR_TIMEOUT)
            return FT_OK;
        if (rc == LIBUSB_ERROR_NO_DEVICE)
            markGone();
        else if (rc == LIBUSB_ERROR_PIPE)
            libusb_clear_halt(m_usb, m_endpointOut); // the next write finds the endpoint running
        else
            checkGone();
        return FT_IO_ERROR;
    }
    return FT_OK;
}

FT_STATUS Port::close()
{
    std::lock_guard<std::mutex> lock(m_ftdiMutex);
    if (!m_ftdi)
        return FT_INVALID_HANDLE;
    // Best effort: the part may have gone, perhaps before the reader noticed.
    if (!gone() && ftdi_set_bitmode(m_ftdi, 0, ModeReset) != 0)
        checkGone();
    const bool wasGone = gone();
    {
        std::lock_guard<std::mutex> queueLock(m_queueMutex);
        m_stopping = true;
        m_dataArrived.notify_all();
        m_spaceFreed.notify_all();
    }
    m_reader.join();
    if (wasGone) {
        for (ftdi_context *ftdi : {m_ftdi, m_portB}) {
            if (ftdi) {
                ftdi_usb_close(ftdi); // fails harmlessly on a part that has gone
                ftdi_free(ftdi);
            }
        }
        m_portB = nullptr;
    } else {
        releasePortB();
        giveBack(m_listed.place, m_ftdi);
    }
    m_ftdi = nullptr;
    return wasGone ? FT_IO_ERROR : FT_OK;
}

void Port::deliver(const uint8_t *data, int length)
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    for (int at = 0; at < length; at += int(m_packetSize)) {
        const int packet = std::min(int(m_packetSize), length - at);
        if (packet > StatusBytes)
            m_queue.insert(m_queue.end(), data + at + StatusBytes, data + at + packet);
    }
    m_dataArrived.notify_all();
}

// Waits `ms` unless close() begins or the part goes first; false then.
bool Port::pause(unsigned ms)
{
    std::unique_lock<std::mutex> lock(m_queueMutex);
    return !m_spaceFreed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stopping || m_gone; });
}

void Port::readLoop()
{
    // Most data one request can bring: every packet less its status bytes.
    const size_t requestPayload = ReadRequestBytes - ReadRequestBytes / m_packetSize * StatusBytes;
    uint8_t request[ReadRequestBytes];
    int failures = 0;
    for (;;) {
        bool paused = false;
        {
            std::unique_lock<std::mutex> lock(m_queueMutex);
            // Full queue: pause reading (the part holds its answers) until a
            // read makes room; nothing is dropped.
            paused = !m_spaceFreed.wait_for(lock, std::chrono::milliseconds(ReaderPollMs), [&] {
                return m_stopping || m_gone || QueueLimit - m_queue.size() >= requestPayload;
            });
            if (m_stopping || m_gone)
                return;
        }
        // While paused nothing reads the bus, so nothing would see an unplug:
        // ask the part itself, once a poll.
        if (paused) {
            if (unplugged()) {
                markGone();
                return;
            }
            continue;
        }
        int got = 0;
        const int rc = libusb_bulk_transfer(m_usb, m_endpointIn, request, ReadRequestBytes, &got, ReaderPollMs);
        if (got > 0)
            deliver(request, got);
        if (rc == 0 || rc == LIBUSB_ERROR_TIMEOUT || rc == LIBUSB_ERROR_INTERRUPTED) {
            failures = 0;
            continue;
        }
        if (rc == LIBUSB_ERROR_NO_DEVICE || ++failures >= MaxReadFailures) {
            markGone();
            return;
        }
        // A halted endpoint stays halted until the host clears it.
        if (rc == LIBUSB_ERROR_PIPE)
            libusb_clear_halt(m_usb, m_endpointIn);
        if (!pause(FirstBackoffMs << (failures - 1)))
            return;
    }
}

} // namespace usb
