#include "simmodel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

// Product string of the part attached when TAVREL_SIM_DEVICES is unset.
static const char DefaultProduct[] = "Sim Bridge";
// USB bus frame lengths: a high-speed microframe and a full-speed frame.
static constexpr uint64_t HighSpeedFrameUs = 125;
static constexpr uint64_t FullSpeedFrameUs = 1000;

Model &model()
{
    static Model *const instance = new Model;
    return *instance;
}

// Start the clock, read the environment and attach the parts when the
// library is loaded, not at the first call.
static const bool s_started = (model(), true);

std::vector<std::string> parseProductList(const char *value)
{
    if (!value)
        return {DefaultProduct};
    std::vector<std::string> products;
    const std::string text(value);
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find(';', begin);
        if (end == std::string::npos)
            end = text.size();
        if (end > begin)
            products.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return products;
}

bool isPortA(const std::string &description)
{
    const std::string &d = description;
    return d.size() > 2 && d.compare(d.size() - 2, 2, " A") == 0;
}

bool parseUsbPacing(const char *value, UsbPacing &pacing)
{
    const std::string text = value ? value : "";
    if (text.empty() || text == "instant")
        pacing = UsbPacing::Instant;
    else if (text == "hs")
        pacing = UsbPacing::HighSpeed;
    else if (text == "fs")
        pacing = UsbPacing::FullSpeed;
    else
        return false;
    return true;
}

Model::Model()
    : start(std::chrono::steady_clock::now())
{
    configureParts(parseProductList(std::getenv("TAVREL_SIM_DEVICES")));
    const char *usb = std::getenv("TAVREL_SIM_USB");
    if (!parseUsbPacing(usb, pacing))
        std::fprintf(stderr, "tavrel_sim: TAVREL_SIM_USB=%s is not instant, hs or fs; using instant\n", usb);
    if (const char *path = std::getenv("TAVREL_SIM_TRACE")) {
        if (!trace.open(path))
            std::fprintf(stderr, "tavrel_sim: cannot open trace file %s\n", path);
    }
}

uint64_t Model::now() const
{
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now() - start).count());
}

void Model::configure(const std::vector<std::string> &descriptions, const std::vector<std::string> &serials)
{
    // Handles of the devices replaced stay known but dead, as after an unplug.
    devices.clear();
    for (size_t i = 0; i < descriptions.size(); ++i) {
        auto device = std::make_unique<Device>();
        device->id = nextDeviceId++;
        device->description = descriptions[i].substr(0, TextLimit);
        device->serial = serials[i].substr(0, TextLimit);
        device->portA = isPortA(device->description);
        if (device->portA)
            device->peripheral = std::make_unique<Peripheral>();
        freshPort(*device);
        devices.push_back(std::move(device));
    }
}

void Model::configureParts(const std::vector<std::string> &productStrings)
{
    std::vector<std::string> descriptions, serials;
    char number[16];
    for (size_t part = 0; part < productStrings.size(); ++part) {
        std::snprintf(number, sizeof number, "SIM%03u", unsigned(part + 1) % 1000);
        for (const char *port : {"A", "B"}) {
            descriptions.push_back(productStrings[part] + " " + port);
            serials.push_back(number + std::string(port));
        }
    }
    configure(descriptions, serials);
}

std::vector<Device *> Model::listed() const
{
    std::vector<Device *> result;
    for (const auto &device : devices) {
        if (device->attached)
            result.push_back(device.get());
    }
    return result;
}

Device *Model::find(const std::string &description, bool attached) const
{
    for (const auto &device : devices) {
        if (device->description == description && device->attached == attached)
            return device.get();
    }
    return nullptr;
}

Device *Model::firstPortA() const
{
    for (const auto &device : devices) {
        if (device->portA)
            return device.get();
    }
    return nullptr;
}

FT_STATUS Model::resolve(FT_HANDLE handle, Device *&device) const
{
    device = nullptr;
    const auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles.end())
        return FT_INVALID_HANDLE;
    for (const auto &candidate : devices) {
        if (candidate->id == it->second.deviceId && candidate->attached
            && candidate->generation == it->second.generation) {
            device = candidate.get();
            return FT_OK;
        }
    }
    return FT_IO_ERROR;
}

bool Model::takeFailure(Call call, FT_STATUS &status)
{
    Faults::Failure &failure = faults.failNext[size_t(call)];
    if (failure.times <= 0)
        return false;
    --failure.times;
    status = failure.status;
    return true;
}

void Model::freshPort(Device &device)
{
    device.latencyMs = DefaultLatencyMs;
    device.mask = 0;
    device.mode = ModeReset;
    device.processor.reset();
    device.arriving.clear();
    device.arrivingAnswers = 0;
    device.held.clear();
    device.request.clear();
    device.shortOwed = false;
    device.toHost.clear();
    device.lastTransferUs = now();
}

void Model::unplug(Device &device)
{
    device.attached = false;
    ++device.generation;
    device.openHandle = 0;
    freshPort(device);
    traceLine("unplug \"" + device.description + "\"");
}

void Model::plug(Device &device)
{
    device.attached = true;
    freshPort(device);
    traceLine("plug \"" + device.description + "\"");
}

uint64_t Model::frameUs() const
{
    switch (pacing) {
    case UsbPacing::HighSpeed:
        return HighSpeedFrameUs;
    case UsbPacing::FullSpeed:
        return FullSpeedFrameUs;
    case UsbPacing::Instant:
        break;
    }
    return 0;
}

uint64_t Model::nextFrame(uint64_t t) const
{
    const uint64_t frame = frameUs();
    return frame ? (t / frame + 1) * frame : t;
}

size_t Model::packetData() const
{
    return pacing == UsbPacing::FullSpeed ? FullSpeedPacketData : HighSpeedPacketData;
}

size_t Model::requestData() const
{
    return pacing == UsbPacing::FullSpeed ? FullSpeedRequestData : HighSpeedRequestData;
}

// A request once issued takes packets until it completes; the next one is
// issued only while the queue has room for all it could bring.
bool Model::driverReading(const Device &device) const
{
    return !device.request.empty() || device.toHost.size() + requestData() <= hostQueueLimit;
}

size_t Model::answerRoom(const Device &device) const
{
    const size_t used = device.held.size() + device.arrivingAnswers;
    return used < PartBufferBytes ? PartBufferBytes - used : 0;
}

// When the latency timer next ends a request, or never when nothing waits
// for it (or it already has, and waits for the driver to read again). It
// restarts at each transfer and, with nothing to send, still runs out every
// period (status-only packets), so that is the first period boundary, counted
// from the last transfer, after the oldest waiting byte arrived. Bytes in the
// request came with the last transfer at the latest.
uint64_t Model::latencyExpiry(const Device &device) const
{
    if (device.shortOwed || (device.held.empty() && device.request.empty()))
        return UINT64_MAX;
    const uint64_t period = uint64_t(device.latencyMs) * 1000;
    const uint64_t since = device.held.empty()
        ? 0 : std::max(device.held.front().timeUs, device.lastTransferUs) - device.lastTransferUs;
    return device.lastTransferUs + period * (since / period + 1);
}

void Model::sendPacket(Device &device, uint64_t atUs, size_t count)
{
    device.request.reserve(requestData());
    for (size_t i = 0; i < count; ++i) {
        device.request.push_back(device.held.front().byte);
        device.held.pop_front();
    }
    device.lastTransferUs = atUs;
    if (device.request.size() >= requestData())
        completeRequest(device, atUs);
}

void Model::completeRequest(Device &device, uint64_t atUs)
{
    const uint64_t visibleUs = nextFrame(atUs);
    for (uint8_t byte : device.request)
        addToHost(device, byte, visibleUs);
    device.request.clear();
}

void Model::shortPacket(Device &device, uint64_t atUs)
{
    device.shortOwed = true;
    pump(device, atUs);
}

void Model::pump(Device &device, uint64_t atUs)
{
    while (driverReading(device)) {
        if (device.held.size() >= packetData()) {
            sendPacket(device, atUs, packetData());
        } else if (device.shortOwed) {
            device.shortOwed = false;
            sendPacket(device, atUs, device.held.size());
            completeRequest(device, atUs);
        } else {
            return;
        }
    }
}

void Model::addToHost(Device &device, uint8_t byte, uint64_t visibleUs)
{
    // The queue is read in order: a byte is never visible before the ones ahead of it.
    if (!device.toHost.empty())
        visibleUs = std::max(visibleUs, device.toHost.back().timeUs);
    device.toHost.push_back({visibleUs, byte, false});
}

void Model::advance(Device &device, uint64_t nowUs)
{
    // Replay, in time order, the arrivals in the part's buffer and the
    // transfers they cause, up to now.
    constexpr uint64_t Never = UINT64_MAX;
    for (;;) {
        const uint64_t arrival = device.arriving.empty() ? Never : device.arriving.front().timeUs;
        const uint64_t timer = latencyExpiry(device);
        if (std::min(arrival, timer) > nowUs)
            return;
        if (timer <= arrival) {
            shortPacket(device, timer);
            continue;
        }
        const TimedByte next = device.arriving.front();
        device.arriving.pop_front();
        if (next.sendImmediate) {
            // With nothing waiting anywhere there is nothing to send: no transfer.
            if (!device.held.empty() || !device.request.empty())
                shortPacket(device, next.timeUs);
        } else {
            --device.arrivingAnswers;
            device.held.push_back(next);
            pump(device, next.timeUs);
        }
    }
}

size_t Model::visible(const Device &device, uint64_t nowUs) const
{
    // Visibility times never decrease along the queue.
    const auto end = std::upper_bound(device.toHost.begin(), device.toHost.end(), nowUs,
                                      [](uint64_t t, const TimedByte &b) { return t < b.timeUs; });
    return size_t(end - device.toHost.begin());
}

size_t Model::takeVisible(Device &device, uint8_t *buffer, size_t count, uint64_t nowUs)
{
    const size_t n = std::min(count, visible(device, nowUs));
    for (size_t i = 0; i < n; ++i) {
        buffer[i] = device.toHost.front().byte;
        device.toHost.pop_front();
    }
    if (n > 0)
        pump(device, nowUs);
    return n;
}

void Model::answer(Device &device, uint64_t atUs, uint8_t byte, bool sendImmediate)
{
    if (faults.silent && !sendImmediate)
        return;
    uint64_t arrival = atUs + faults.answerDelayUs;
    // A shorter delay set meanwhile does not let an answer overtake an earlier one.
    if (!device.arriving.empty())
        arrival = std::max(arrival, device.arriving.back().timeUs);
    device.arriving.push_back({arrival, byte, sendImmediate});
    device.arrivingAnswers += !sendImmediate;
}

// Answer bytes a step puts into the part's buffer.
static size_t answerBytes(const Step &step)
{
    switch (step.kind) {
    case Step::BusRead:
    case Step::Answer:
        return 1;
    case Step::BadCommand:
        return 2;
    default:
        return 0;
    }
}

size_t Model::execute(Device &device, const uint8_t *bytes, size_t count, uint64_t atUs)
{
    if (!device.processorActive())
        return count; // held in reset, or a mode without the command processor: bytes vanish
    for (size_t i = 0; i < count; ++i) {
        // Try the byte on a copy: a command that cannot answer is not taken.
        CommandProcessor next = device.processor;
        const Step step = next.feed(bytes[i]);
        const size_t needed = faults.silent ? 0 : answerBytes(step);
        if (needed > answerRoom(device)) {
            advance(device, atUs); // what has arrived may move on to the driver
            if (needed > answerRoom(device))
                return i;
        }
        device.processor = next;
        const std::string address = step.wide ? hex4(step.address) : hex2(uint8_t(step.address));
        switch (step.kind) {
        case Step::BusRead: {
            const auto pinned = pinnedReads.find(step.address);
            const uint8_t data = pinned != pinnedReads.end() ? pinned->second
                                                             : device.peripheral->read(step.address, atUs);
            logBus({atUs, false, step.wide, step.address, data});
            traceLine("busr " + address + " " + hex2(data));
            answer(device, atUs, data);
            break;
        }
        case Step::BusWrite:
            logBus({atUs, true, step.wide, step.address, step.data});
            traceLine("busw " + address + " " + hex2(step.data));
            if (device.peripheral->write(step.address, step.data)) {
                const auto &frame = device.peripheral->shownFrame();
                traceLine("frame " + hexBytes(frame.data(), frame.size(), ""));
            }
            break;
        case Step::Answer:
            answer(device, atUs, step.data);
            break;
        case Step::BadCommand:
            answer(device, atUs, BadCommandMarker);
            answer(device, atUs, step.data);
            break;
        case Step::SendImmediate:
            answer(device, atUs, 0, true);
            break;
        case Step::Pending:
        case Step::Done:
        case Step::Stall:
        case Step::Ignored:
            break;
        }
    }
    return count;
}

// What a log entry weighs: itself and what it carries on the heap.
static size_t logCost(const CallRecord &record)
{
    return sizeof record + record.bytes.size() + record.text.size();
}

static size_t logCost(const BusCycle &cycle)
{
    return sizeof cycle;
}

// Drops the oldest entries until the log keeps to both bounds (an entry
// heavier than the byte bound on its own is not kept either).
template <typename T>
static void trimLog(std::deque<T> &log, size_t &bytes, size_t limit, size_t byteLimit)
{
    while (!log.empty() && (log.size() > limit || bytes > byteLimit)) {
        bytes -= logCost(log.front());
        log.pop_front();
    }
}

template <typename T>
static void appendBounded(std::deque<T> &log, size_t &bytes, T &&entry, size_t limit, size_t byteLimit)
{
    if (limit == 0)
        return;
    bytes += logCost(entry);
    log.push_back(std::move(entry));
    trimLog(log, bytes, limit, byteLimit);
}

void Model::trimLogs()
{
    trimLog(callLog, callLogBytes, callLogLimit, logByteLimit);
    trimLog(busLog, busLogBytes, busLogLimit, logByteLimit);
}

void Model::logBus(const BusCycle &cycle)
{
    appendBounded(busLog, busLogBytes, BusCycle(cycle), busLogLimit, logByteLimit);
}

FT_STATUS Model::finish(CallRecord &record, FT_STATUS status)
{
    record.status = status;
    appendBounded(callLog, callLogBytes, std::move(record), callLogLimit, logByteLimit);
    return status;
}

void Model::clientFault(const std::string &what)
{
    if (clientFaults.size() < ClientFaultLimit)
        clientFaults.push_back(what);
}

void Model::traceLine(const std::string &event)
{
    if (trace.enabled())
        traceOut.push_back({now(), event});
}

void Model::traceLineAt(size_t position, uint64_t timeUs, const std::string &event)
{
    if (trace.enabled())
        traceOut.insert(traceOut.begin() + std::ptrdiff_t(std::min(position, traceOut.size())), {timeUs, event});
}

Locked::Locked(Model &model)
    : m_model(model)
    , m_lock(model.mutex)
{
}

Locked::~Locked()
{
    unlock();
}

void Locked::unlock()
{
    if (!m_lock.owns_lock())
        return;
    if (m_model.traceOut.empty()) {
        m_lock.unlock();
        return;
    }
    std::vector<TraceLine> lines;
    lines.swap(m_model.traceOut);
    const uint64_t sequence = m_model.traceBatches++;
    m_lock.unlock();
    m_model.trace.write(sequence, std::move(lines));
}

void Locked::lock()
{
    m_lock.lock();
}

} // namespace sim
