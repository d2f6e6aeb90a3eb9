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
    device.held.clear();
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

// When the latency timer next runs out after the oldest held byte arrived:
// it restarts at each transfer and, with nothing to send, still runs out
// every period (status-only packets), so that is the first period boundary,
// counted from the last transfer, after the byte arrived.
uint64_t Model::latencyRelease(const Device &device) const
{
    const uint64_t period = uint64_t(device.latencyMs) * 1000;
    const uint64_t heldUs = std::max(device.held.front().timeUs, device.lastTransferUs);
    const uint64_t since = heldUs - device.lastTransferUs;
    return device.lastTransferUs + period * (since / period + 1);
}

void Model::release(Device &device, uint64_t atUs, size_t count)
{
    const uint64_t visibleUs = nextFrame(atUs);
    for (size_t i = 0; i < count; ++i) {
        addToHost(device, device.held.front().byte, visibleUs);
        device.held.pop_front();
    }
    device.lastTransferUs = atUs;
}

void Model::addToHost(Device &device, uint8_t byte, uint64_t visibleUs)
{
    if (device.toHost.size() >= HostQueueLimit)
        return;
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
        const uint64_t timer = device.held.empty() ? Never : latencyRelease(device);
        if (std::min(arrival, timer) > nowUs)
            return;
        if (timer <= arrival) {
            release(device, timer, device.held.size());
            continue;
        }
        const TimedByte next = device.arriving.front();
        device.arriving.pop_front();
        if (next.sendImmediate) {
            if (!device.held.empty())
                release(device, next.timeUs, device.held.size());
        } else {
            device.held.push_back(next);
            if (device.held.size() >= PacketPayload)
                release(device, next.timeUs, PacketPayload);
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
}

void Model::execute(Device &device, const uint8_t *bytes, size_t count, uint64_t atUs)
{
    if (!device.processorActive())
        return; // held in reset, or a mode without the command processor
    for (size_t i = 0; i < count; ++i) {
        const Step step = device.processor.feed(bytes[i]);
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
}

template <typename T>
static void appendBounded(std::deque<T> &log, T &&entry, size_t limit)
{
    if (limit == 0)
        return;
    log.push_back(std::move(entry));
    while (log.size() > limit)
        log.pop_front();
}

void Model::logBus(const BusCycle &cycle)
{
    appendBounded(busLog, BusCycle(cycle), busLogLimit);
}

FT_STATUS Model::finish(CallRecord &record, FT_STATUS status)
{
    record.status = status;
    appendBounded(callLog, std::move(record), callLogLimit);
    return status;
}

void Model::traceLine(const std::string &event)
{
    trace.line(now(), event);
}

} // namespace sim
