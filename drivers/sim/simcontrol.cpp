// The control and observation API: every function does its (short) work under
// the model's mutex, so it is safe beside a D2XX call on another thread.
#include "simmodel.h"

#include <cstdio>

namespace sim {

namespace {

// Runs `work` on the model under its mutex, and returns what it returns.
template <typename Work>
auto withModel(Work work)
{
    Model &m = model();
    Locked lock(m);
    return work(m);
}

// A device by description, attached or not (the attached one first).
const Device *deviceNamed(const Model &m, const std::string &description)
{
    const Device *device = m.find(description, true);
    return device ? device : m.find(description, false);
}

// The peripheral behind a device, or behind the first port-A device.
const Peripheral *peripheralOf(const Model &m, const std::string *description)
{
    const Device *device = description ? deviceNamed(m, *description) : m.firstPortA();
    return device ? device->peripheral.get() : nullptr;
}

std::array<uint8_t, 30> frameOf(const std::string *description)
{
    return withModel([&](Model &m) {
        const Peripheral *p = peripheralOf(m, description);
        return p ? p->shownFrame() : std::array<uint8_t, 30>{};
    });
}

int framesOf(const std::string *description)
{
    return withModel([&](Model &m) {
        const Peripheral *p = peripheralOf(m, description);
        return p ? p->framesShown() : 0;
    });
}

uint8_t indicatorOf(const std::string *description)
{
    return withModel([&](Model &m) {
        const Peripheral *p = peripheralOf(m, description);
        return p ? p->indicator() : uint8_t(0);
    });
}

void clearAll(Model &m)
{
    m.callLog.clear();
    m.busLog.clear();
    m.callLogBytes = m.busLogBytes = 0;
    m.clientFaults.clear();
}

} // namespace

const char *callName(Call call)
{
    switch (call) {
    case Call::ListDevices: return "FT_ListDevices";
    case Call::OpenEx: return "FT_OpenEx";
    case Call::SetLatencyTimer: return "FT_SetLatencyTimer";
    case Call::SetBitMode: return "FT_SetBitMode";
    case Call::GetQueueStatus: return "FT_GetQueueStatus";
    case Call::Read: return "FT_Read";
    case Call::Write: return "FT_Write";
    case Call::Close: return "FT_Close";
    }
    return "?";
}

void reset()
{
    withModel([](Model &m) {
        m.handles.clear();
        std::vector<PartItem> parts;
        std::string error;
        parsePartsVariable(nullptr, parts, error);
        m.configureParts(parts);
        m.faults = Faults();
        m.chosenSerial.clear();
        m.chosenLocation.clear();
        m.pinnedReads.clear();
        m.pacing = UsbPacing::Instant;
        m.hostQueueLimit = DefaultHostQueueLimit;
        m.callLogLimit = DefaultCallLogLimit;
        m.busLogLimit = DefaultBusLogLimit;
        m.logByteLimit = DefaultLogByteLimit;
        clearAll(m);
    });
}

void choosePart(const std::string &serial, const std::string &location)
{
    withModel([&](Model &m) {
        m.chosenSerial = serial;
        m.chosenLocation = location;
    });
}

std::vector<ListedPort> listedPorts()
{
    std::vector<ListedPort> ports;
    withModel([&](Model &m) {
        for (const Device *d : m.listed(true))
            ports.push_back({d->description, d->serial, d->location, d->chip, d->openHandle != 0});
    });
    return ports;
}

void setParts(const std::vector<std::string> &items, std::string *error)
{
    std::vector<PartItem> parts;
    std::string message;
    for (const std::string &item : items) {
        PartItem part;
        if (!parsePartItem(item, part, message)) {
            if (error)
                *error = message;
            else
                std::fprintf(stderr, "tavrel_sim: setParts: %s\n", message.c_str());
            return;
        }
        parts.push_back(part);
    }
    if (error)
        error->clear();
    withModel([&](Model &m) { m.configureParts(parts); });
}

void setDevices(const std::vector<std::string> &descriptions)
{
    std::vector<std::string> serials;
    char serial[24];
    for (size_t i = 0; i < descriptions.size(); ++i) {
        std::snprintf(serial, sizeof serial, "SIM%03u%c", unsigned(i + 1) % 1000, isPortA(descriptions[i]) ? 'A' : 'B');
        serials.push_back(serial);
    }
    withModel([&](Model &m) { m.configure(descriptions, serials); });
}

bool unplug(const std::string &description)
{
    return withModel([&](Model &m) {
        Device *device = m.find(description, true);
        if (device)
            m.unplug(*device);
        return device != nullptr;
    });
}

bool plug(const std::string &description)
{
    return withModel([&](Model &m) {
        Device *device = m.find(description, false);
        if (device)
            m.plug(*device);
        return device != nullptr;
    });
}

void failNext(Call call, int times, FT_STATUS status)
{
    withModel([&](Model &m) { m.faults.failNext[size_t(call)] = {times, status}; });
}

void shortWrites(int times, uint32_t accepted, FT_STATUS status)
{
    withModel([&](Model &m) {
        m.faults.shortWriteTimes = times;
        m.faults.shortWriteAccepted = accepted;
        m.faults.shortWriteStatus = status;
    });
}

void failListIndex(int index, FT_STATUS status)
{
    withModel([&](Model &m) { m.faults.failedListIndex[index] = status; });
}

void setSilent(bool silent)
{
    withModel([&](Model &m) { m.faults.port.silent = silent; });
}

void setAnswerDelayUs(uint64_t delayUs)
{
    withModel([&](Model &m) { m.faults.port.answerDelayUs = delayUs; });
}

void injectJunk(const std::string &description, const std::vector<uint8_t> &bytes)
{
    withModel([&](Model &m) {
        Device *device = m.find(description, true);
        if (!device)
            return;
        const uint64_t now = m.now();
        m.advance(*device, now);
        for (uint8_t byte : bytes)
            m.addToHost(*device, byte, now);
    });
}

void setReadValue(uint16_t address, uint8_t value)
{
    withModel([&](Model &m) { m.pinnedReads[address] = value; });
}

void clearReadValue(uint16_t address)
{
    withModel([&](Model &m) { m.pinnedReads.erase(address); });
}

void setUsbPacing(UsbPacing pacing)
{
    withModel([&](Model &m) { m.pacing = pacing; });
}

void setHostQueueLimit(std::size_t bytes)
{
    withModel([&](Model &m) {
        m.hostQueueLimit = bytes;
        const uint64_t now = m.now();
        for (Device *device : m.listed())
            m.advance(*device, now); // a larger queue lets the driver read again
    });
}

bool setTraceFile(const std::string &path)
{
    return model().trace.open(path); // the trace locks itself
}

void setLogLimit(std::size_t entries)
{
    withModel([&](Model &m) {
        m.callLogLimit = m.busLogLimit = entries;
        m.trimLogs();
    });
}

void setLogByteLimit(std::size_t bytes)
{
    withModel([&](Model &m) {
        m.logByteLimit = bytes;
        m.trimLogs();
    });
}

std::vector<CallRecord> calls()
{
    return withModel([](Model &m) { return std::vector<CallRecord>(m.callLog.begin(), m.callLog.end()); });
}

std::vector<BusCycle> busCycles()
{
    return withModel([](Model &m) { return std::vector<BusCycle>(m.busLog.begin(), m.busLog.end()); });
}

std::vector<std::string> clientFaults()
{
    return withModel([](Model &m) { return m.clientFaults; });
}

void clearLogs()
{
    withModel(clearAll);
}

std::array<uint8_t, 30> shownFrame() { return frameOf(nullptr); }
std::array<uint8_t, 30> shownFrame(const std::string &description) { return frameOf(&description); }
int framesShown() { return framesOf(nullptr); }
int framesShown(const std::string &description) { return framesOf(&description); }
uint8_t indicator() { return indicatorOf(nullptr); }
uint8_t indicator(const std::string &description) { return indicatorOf(&description); }

int openHandles()
{
    return withModel([](Model &m) { return int(m.handles.size()); });
}

uint8_t latencyMs(const std::string &description)
{
    return withModel([&](Model &m) {
        const Device *device = deviceNamed(m, description);
        return device ? device->port->latencyMs() : uint8_t(0);
    });
}

uint8_t bitMode(const std::string &description)
{
    return withModel([&](Model &m) {
        const Device *device = deviceNamed(m, description);
        return device ? device->port->mode() : uint8_t(0);
    });
}

uint64_t nowUs()
{
    return model().now();
}

} // namespace sim
