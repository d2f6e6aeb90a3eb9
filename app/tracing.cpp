#include "tracing.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>

namespace {

// The bit mode that starts the command processor (MCU host-bus emulation).
constexpr UCHAR McuHostBusMode = 0x08;
// The writer wakes when this much is pending, else at every FlushInterval, so a
// killed program loses at most that much of its trace.
constexpr size_t FlushBytes = 64u << 10;
constexpr auto FlushInterval = std::chrono::milliseconds(100);

const char HexDigits[] = "0123456789abcdef";

void appendHex2(std::string &out, quint8 value)
{
    out += HexDigits[value >> 4];
    out += HexDigits[value & 0xF];
}

void appendAddress(std::string &out, const hostbus::BusEvent &event)
{
    if (event.wide)
        appendHex2(out, quint8(event.address >> 8));
    appendHex2(out, quint8(event.address));
}

std::string hexBytes(const quint8 *bytes, DWORD count)
{
    std::string text;
    text.reserve(count * 3);
    for (DWORD i = 0; i < count; ++i) {
        text += ' ';
        appendHex2(text, bytes[i]);
    }
    return text;
}

// A description as a quoted field: any byte may come from a driver, but a line
// must stay one line, so control bytes, quotes and backslashes become \xNN.
std::string quoted(const char *text)
{
    std::string field = "\"";
    for (const char *c = text; *c; ++c) {
        const auto byte = static_cast<quint8>(*c);
        if (byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\') {
            field += "\\x";
            appendHex2(field, byte);
        } else {
            field += *c;
        }
    }
    return field + '"';
}

} // namespace

std::string traceText(const hostbus::BusEvent &event)
{
    static const char *const Names[] = {"busw ", "busr ", "echo "};
    std::string text = Names[event.kind];
    if (event.kind != hostbus::BusEvent::Echo) {
        appendAddress(text, event);
        text += ' ';
    }
    appendHex2(text, event.data);
    return text;
}

// How events become file contents. Called under the tracer's lock.
class TraceFormat
{
public:
    virtual ~TraceFormat() = default;
    // A call's own event ("open ...", "write ...", "error ...").
    virtual void call(std::string &out, quint64 us, const std::string &event) = 0;
    virtual void bus(std::string &out, quint64 us, const hostbus::BusEvent &event) = 0;
    virtual void link(std::string &out, quint64 us, bool open) = 0;
    // What must precede everything written, known only at the end; empty for none.
    virtual std::string header() const { return {}; }
};

namespace {

class TextFormat : public TraceFormat
{
public:
    void call(std::string &out, quint64 us, const std::string &event) override
    {
        out += std::to_string(us);
        out += ' ';
        out += event;
        out += '\n';
    }
    void bus(std::string &out, quint64 us, const hostbus::BusEvent &event) override
    {
        call(out, us, traceText(event));
    }
    void link(std::string &, quint64, bool) override {} // the open and close lines say it
};

// Value changes as they come; the declarations, which must precede them, once
// every address used is known (the tracer writes the header at the end).
class VcdFormat : public TraceFormat
{
public:
    void call(std::string &, quint64, const std::string &) override {}
    void bus(std::string &out, quint64 us, const hostbus::BusEvent &event) override
    {
        if (event.kind == hostbus::BusEvent::Echo)
            return;
        const quint32 key = quint32(event.wide) << 16 | event.address;
        auto found = m_registers.find(key);
        if (found == m_registers.end())
            found = m_registers.emplace(key, Register{code(m_registers.size() + 1), -1}).first;
        if (found->second.value == event.data)
            return;
        found->second.value = event.data;
        time(out, us);
        out += 'b';
        for (int bit = 7; bit >= 0; --bit)
            out += char('0' + (event.data >> bit & 1));
        out += ' ';
        out += found->second.code;
        out += '\n';
    }
    void link(std::string &out, quint64 us, bool open) override
    {
        time(out, us);
        out += open ? "1!\n" : "0!\n";
    }
    std::string header() const override
    {
        char date[64] = "";
        const std::time_t now = std::time(nullptr);
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
        std::string text = std::string("$date ") + date + " $end\n"
                           "$version tavrel host-side bus trace $end\n"
                           "$timescale 1us $end\n"
                           "$scope module bus $end\n"
                           "$var wire 1 ! link $end\n";
        std::string initial = "#0\n$dumpvars\n0!\n";
        for (const auto &entry : m_registers) { // ordered: 8-bit addresses first, each rising
            std::string name = "reg";
            appendAddress(name, {hostbus::BusEvent::Write, entry.first > 0xFFFF, quint16(entry.first), 0});
            text += "$var reg 8 " + entry.second.code + ' ' + name + " $end\n";
            initial += "bxxxxxxxx " + entry.second.code + '\n';
        }
        return text + "$upscope $end\n$enddefinitions $end\n" + initial + "$end\n";
    }

private:
    struct Register
    {
        std::string code; // the VCD identifier
        int value;        // -1 before the first
    };
    // VCD identifiers: printable ASCII from '!' to '~', as digits of base 94; "!" is the link.
    static std::string code(size_t number)
    {
        std::string text;
        do {
            text += char('!' + number % 94);
            number /= 94;
        } while (number > 0);
        return text;
    }
    void time(std::string &out, quint64 us)
    {
        if (us == m_time)
            return;
        m_time = us;
        out += '#' + std::to_string(us) + '\n';
    }

    std::map<quint32, Register> m_registers; // by (16-bit flag, address)
    quint64 m_time = 0;
};

std::atomic<Tracer *> s_active{nullptr};
D2xxCalls s_inner; // set before s_active, while no link exists

} // namespace

// The wrapped calls: each forwards to the inner table, then traces what it did.
struct TracedCalls
{
    static DWORD taken(DWORD done, DWORD count) { return std::min(done, count); }

    static FT_STATUS FT_API listDevices(void *arg1, void *arg2, DWORD flags)
    {
        const FT_STATUS status = s_inner.listDevices(arg1, arg2, flags);
        if (Tracer *tracer = s_active.load()) {
            if (status != FT_OK)
                tracer->failed("FT_ListDevices", status);
            else if ((flags & FT_LIST_NUMBER_ONLY) && arg1)
                tracer->line("list " + std::to_string(*static_cast<DWORD *>(arg1)));
        }
        return status;
    }
    static FT_STATUS FT_API openEx(void *arg1, DWORD flags, FT_HANDLE *handle)
    {
        const FT_STATUS status = s_inner.openEx(arg1, flags, handle);
        if (Tracer *tracer = s_active.load()) {
            if (status != FT_OK)
                tracer->failed("FT_OpenEx", status);
            else if (flags & FT_OPEN_BY_LOCATION)
                tracer->opened(std::to_string(reinterpret_cast<quintptr>(arg1)));
            else
                tracer->opened(quoted(arg1 ? static_cast<const char *>(arg1) : ""));
        }
        return status;
    }
    static FT_STATUS FT_API setLatencyTimer(FT_HANDLE handle, UCHAR ms)
    {
        const FT_STATUS status = s_inner.setLatencyTimer(handle, ms);
        if (Tracer *tracer = s_active.load()) {
            if (status == FT_OK)
                tracer->line("latency " + std::to_string(ms));
            else
                tracer->failed("FT_SetLatencyTimer", status);
        }
        return status;
    }
    static FT_STATUS FT_API setBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode)
    {
        const FT_STATUS status = s_inner.setBitMode(handle, mask, mode);
        if (Tracer *tracer = s_active.load()) {
            if (status == FT_OK)
                tracer->bitMode(mask, mode);
            else
                tracer->failed("FT_SetBitMode", status);
        }
        return status;
    }
    static FT_STATUS FT_API getQueueStatus(FT_HANDLE handle, DWORD *rxBytes)
    {
        const FT_STATUS status = s_inner.getQueueStatus(handle, rxBytes);
        if (status != FT_OK)
            if (Tracer *tracer = s_active.load())
                tracer->failed("FT_GetQueueStatus", status);
        return status;
    }
    static FT_STATUS FT_API read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesRead)
    {
        const FT_STATUS status = s_inner.read(handle, buffer, count, bytesRead);
        if (Tracer *tracer = s_active.load()) {
            if (bytesRead)
                tracer->transfer(false, static_cast<const quint8 *>(buffer), taken(*bytesRead, count));
            if (status != FT_OK)
                tracer->failed("FT_Read", status);
        }
        return status;
    }
    static FT_STATUS FT_API write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *bytesWritten)
    {
        const FT_STATUS status = s_inner.write(handle, buffer, count, bytesWritten);
        if (Tracer *tracer = s_active.load()) {
            if (bytesWritten)
                tracer->transfer(true, static_cast<const quint8 *>(buffer), taken(*bytesWritten, count));
            if (status != FT_OK)
                tracer->failed("FT_Write", status);
        }
        return status;
    }
    static FT_STATUS FT_API close(FT_HANDLE handle)
    {
        const FT_STATUS status = s_inner.close(handle);
        if (Tracer *tracer = s_active.load())
            tracer->closed(status);
        return status;
    }
};

Tracer::Tracer() : m_start(Clock::now()) {}

Tracer::~Tracer()
{
    finish();
}

bool Tracer::open(const QString &path, QString &error)
{
    m_path = QFile::encodeName(path).toStdString();
    m_file = std::fopen(m_path.c_str(), "w");
    if (!m_file) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        error = QStringLiteral("cannot create the trace file %1: %2").arg(path, reason);
        return false;
    }
    if (path.endsWith(QLatin1String(".vcd"), Qt::CaseInsensitive))
        m_format = std::make_unique<VcdFormat>();
    else
        m_format = std::make_unique<TextFormat>();
    m_accepting = true;
    m_pending.reserve(FlushBytes);
    m_writer = std::thread(&Tracer::writerLoop, this);
    return true;
}

D2xxCalls Tracer::wrap(const D2xxCalls &inner)
{
    s_inner = inner;
    s_active = this;
    return {TracedCalls::listDevices, TracedCalls::openEx, TracedCalls::setLatencyTimer, TracedCalls::setBitMode,
            TracedCalls::getQueueStatus, TracedCalls::read, TracedCalls::write, TracedCalls::close};
}

quint64 Tracer::now() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_start).count();
}

void Tracer::line(const std::string &event)
{
    const quint64 us = now();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return;
    m_format->call(m_pending, us, event);
    queued(lock);
}

void Tracer::failed(const char *function, FT_STATUS status)
{
    line(std::string("error ") + function + ' ' + std::to_string(status));
}

void Tracer::opened(const std::string &description)
{
    const quint64 us = now();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return;
    // A new handle: its command processor's state is unknown until a bit mode is set.
    m_decoder.reset(false);
    m_format->call(m_pending, us, "open " + description);
    m_format->link(m_pending, us, true);
    queued(lock);
}

void Tracer::closed(FT_STATUS status)
{
    const quint64 us = now();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return;
    // The handle is gone even when the close reports a failure.
    m_decoder.reset(false);
    m_format->call(m_pending, us, status == FT_OK ? std::string("close") : "error FT_Close " + std::to_string(status));
    m_format->link(m_pending, us, false);
    queued(lock);
}

void Tracer::bitMode(UCHAR mask, UCHAR mode)
{
    const quint64 us = now();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return;
    m_decoder.reset(mode == McuHostBusMode);
    std::string event = "bitmode ";
    appendHex2(event, mask);
    event += ' ';
    appendHex2(event, mode);
    m_format->call(m_pending, us, event);
    queued(lock);
}

void Tracer::transfer(bool written, const quint8 *bytes, DWORD count)
{
    if (count == 0 || !bytes)
        return;
    const quint64 us = now();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_accepting)
        return;
    m_format->call(m_pending, us, (written ? "write" : "read") + hexBytes(bytes, count));
    m_events.clear();
    if (written)
        m_decoder.written(bytes, int(count), m_events);
    else
        m_decoder.received(bytes, int(count), m_events);
    for (const hostbus::BusEvent &event : m_events)
        m_format->bus(m_pending, us, event);
    queued(lock);
}

void Tracer::queued(std::unique_lock<std::mutex> &lock)
{
    if (m_pending.size() > MaxPending)
        stop(lock, "the disk has not kept up with " + std::to_string(MaxPending >> 20) + " MiB of trace");
    else if (m_pending.size() >= FlushBytes && !m_wakeAsked) {
        m_wakeAsked = true; // once per batch: a wake-up is a system call
        m_wake.notify_one();
    }
}

void Tracer::stop(std::unique_lock<std::mutex> &lock, const std::string &why)
{
    if (!m_accepting)
        return;
    m_accepting = false;
    std::string().swap(m_pending);
    lock.unlock();
    std::fprintf(stderr, "tavrel: trace %s: %s; tracing stopped\n", m_path.c_str(), why.c_str());
    lock.lock();
}

void Tracer::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Two buffers change places at each batch and keep their capacity, so the callers
    // seldom wait for an allocation.
    std::string batch;
    batch.reserve(FlushBytes);
    for (;;) {
        m_wake.wait_for(lock, FlushInterval, [this] { return m_finishing || m_pending.size() >= FlushBytes; });
        batch.clear();
        batch.swap(m_pending);
        m_wakeAsked = false;
        const bool last = m_finishing || !m_accepting;
        lock.unlock();
        errno = 0;
        const bool ok = batch.empty() || (std::fwrite(batch.data(), 1, batch.size(), m_file) == batch.size()
                                          && std::fflush(m_file) == 0);
        const int error = errno;
        lock.lock();
        if (!ok) {
            stop(lock, error ? std::strerror(error) : "write failed");
            return;
        }
        if (last)
            return;
    }
}

void Tracer::finish()
{
    if (s_active.load() == this)
        s_active = nullptr;
    if (!m_writer.joinable())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishing = true;
    m_wake.notify_one();
    lock.unlock();
    m_writer.join();
    lock.lock();
    const bool complete = m_accepting;
    m_accepting = false;
    const std::string header = complete ? m_format->header() : std::string();
    lock.unlock();
    const bool closedWell = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!closedWell && complete)
        std::fprintf(stderr, "tavrel: trace %s: %s; tracing stopped\n", m_path.c_str(), std::strerror(errno));
    if (header.empty() || !closedWell)
        return;
    // The declarations go first: write them, then the value changes, to a new file
    // that takes the trace's place only when whole.
    const std::string whole = m_path + ".tmp";
    std::FILE *in = std::fopen(m_path.c_str(), "rb");
    std::FILE *out = std::fopen(whole.c_str(), "wb");
    bool ok = in && out && std::fwrite(header.data(), 1, header.size(), out) == header.size();
    char chunk[65536];
    for (size_t n; ok && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        ok = std::fwrite(chunk, 1, n, out) == n;
    ok = ok && !std::ferror(in);
    const int error = errno;
    if (in)
        std::fclose(in);
    if (out && std::fclose(out) != 0)
        ok = false;
    if (ok && std::rename(whole.c_str(), m_path.c_str()) == 0)
        return;
    std::remove(whole.c_str());
    std::fprintf(stderr, "tavrel: trace %s: could not add the declarations: %s\n", m_path.c_str(),
                 std::strerror(error ? error : EIO));
}
