#include "simmodel.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

// Product string of the part attached when TAVREL_SIM_DEVICES is unset.
static const char DefaultProduct[] = "Sim Bridge";
static const char DefaultSerial[] = "SIM001";
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

bool parsePartsVariable(const char *value, std::vector<PartItem> &parts, std::string &error)
{
    if (!value) {
        parts = {PartItem{DefaultProduct, DefaultSerial, Chip::FT2232H}};
        return true;
    }
    return parsePartList(value, parts, error);
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
    std::vector<PartItem> parts;
    std::string error;
    if (!parsePartsVariable(std::getenv("TAVREL_SIM_DEVICES"), parts, error))
        std::fprintf(stderr, "tavrel_sim: TAVREL_SIM_DEVICES: %s; no part attached\n", error.c_str());
    configureParts(parts);
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

std::unique_ptr<Device> Model::makeDevice(const std::string &description, const std::string &serial, Chip chip,
                                          bool portA)
{
    const ChipInfo &info = chipInfo(chip);
    auto device = std::make_unique<Device>();
    device->id = nextDeviceId++;
    device->description = description.substr(0, TextLimit);
    device->serial = serial.substr(0, TextLimit);
    device->portA = portA && info.mcuHostBus;
    if (device->portA)
        device->peripheral = std::make_unique<Peripheral>();
    device->requestData = ReadRequestBytes / info.packetSize * (info.packetSize - StatusBytes);
    device->port = std::make_unique<Port>(info, device->peripheral.get(), &faults.port);
    device->port->pinnedReads = &pinnedReads;
    Device *d = device.get();
    device->port->onBus = [this, d](const BusEvent &e) {
        const std::string address = e.wide ? hex4(e.address) : hex2(uint8_t(e.address));
        logBus({e.timeUs, e.write, e.wide, e.address, e.data});
        traceLine(std::string(e.write ? "busw " : "busr ") + address + " " + hex2(e.data));
        if (e.frameEnded) {
            const auto &frame = d->peripheral->shownFrame();
            traceLine("frame " + hexBytes(frame.data(), frame.size(), ""));
        }
    };
    freshPort(*device);
    return device;
}

void Model::configure(const std::vector<std::string> &descriptions, const std::vector<std::string> &serials)
{
    // Handles of the devices replaced stay known but dead, as after an unplug.
    devices.clear();
    for (size_t i = 0; i < descriptions.size(); ++i)
        devices.push_back(makeDevice(descriptions[i], serials[i], Chip::FT2232H, isPortA(descriptions[i])));
}

void Model::configureParts(const std::vector<PartItem> &parts)
{
    devices.clear();
    for (const PartItem &part : parts) {
        const ChipInfo &info = chipInfo(part.chip);
        for (int port = 0; port < info.ports; ++port) {
            const char letter = char('A' + port);
            devices.push_back(makeDevice(part.product + " " + letter,
                                         part.serial.empty() ? std::string() : part.serial + letter,
                                         part.chip, port == 0));
            devices.back()->partSerial = part.serial;
            devices.back()->location = "1-" + std::to_string(&part - parts.data() + 1);
            devices.back()->chip = "FT" + std::string(info.name);
            for (char &c : devices.back()->chip)
                c = char(std::toupper(static_cast<unsigned char>(c)));
        }
    }
}

std::vector<Device *> Model::listed(bool all) const
{
    std::vector<Device *> result;
    const auto chosen = [&](const Device &d) {
        if (all || (chosenSerial.empty() && chosenLocation.empty()))
            return true;
        if (!chosenLocation.empty())
            return d.location == chosenLocation;
        // The part's serial, or one of its ports' (the part's and a letter).
        return !d.partSerial.empty() && chosenSerial.compare(0, d.partSerial.size(), d.partSerial) == 0
            && chosenSerial.size() <= d.partSerial.size() + 1;
    };
    for (const auto &device : devices) {
        if (device->attached && chosen(*device))
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
    device.port->reset(now());
    device.request.clear();
    device.toHost.clear();
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

namespace {

// The driver's side of bulk IN: it keeps a read request open while its queue
// has room for all a request could bring, and hands a request on when a short
// packet ends it or it is full.
class DriverSink : public PacketSink
{
public:
    DriverSink(Model &model, Device &device) : m_model(model), m_device(device) {}
    bool reading() const override { return m_model.driverReading(m_device); }
    bool holdsData() const override { return !m_device.request.empty(); }
    bool wantsEmpty() const override { return false; }
    bool packet(const uint8_t *data, size_t count, bool isShort, uint64_t atUs) override
    {
        m_device.request.insert(m_device.request.end(), data, data + count);
        if (isShort || m_device.request.size() >= m_device.requestData)
            m_model.completeRequest(m_device, atUs);
        return true;
    }

private:
    Model &m_model;
    Device &m_device;
};

} // namespace

// A request once issued takes packets until it completes; the next one is
// issued only while the queue has room for all it could bring.
bool Model::driverReading(const Device &device) const
{
    return !device.request.empty() || device.toHost.size() + device.requestData <= hostQueueLimit;
}

void Model::completeRequest(Device &device, uint64_t atUs)
{
    const uint64_t visibleUs = nextFrame(atUs);
    for (uint8_t byte : device.request)
        addToHost(device, byte, visibleUs);
    device.request.clear();
}

void Model::addToHost(Device &device, uint8_t byte, uint64_t visibleUs)
{
    // The queue is read in order: a byte is never visible before the ones ahead of it.
    if (!device.toHost.empty())
        visibleUs = std::max(visibleUs, device.toHost.back().timeUs);
    device.toHost.push_back({visibleUs, byte});
}

void Model::advance(Device &device, uint64_t nowUs)
{
    DriverSink sink(*this, device);
    device.port->advance(nowUs, sink);
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
        advance(device, nowUs);
    return n;
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
