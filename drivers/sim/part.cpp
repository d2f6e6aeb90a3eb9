#include "part.h"

#include <algorithm>

namespace sim {

namespace {

// Datasheet figures. The FT4232H's buffers are 2 KiB each way per port.
const ChipInfo Chips[] = {
    {Chip::FT2232H, "2232h", 0x6010, 0x0700, true, 512, 2, 4096, 4096, true, "Dual RS232-HS"},
    {Chip::FT2232D, "2232d", 0x6010, 0x0500, false, 64, 2, 384, 128, true, "Dual RS232"},
    {Chip::FT4232H, "4232h", 0x6011, 0x0800, true, 512, 4, 2048, 2048, false, "Quad RS232-HS"},
};

constexpr uint64_t Never = UINT64_MAX;

const std::map<uint16_t, uint8_t> NoPinnedReads;

// Answer bytes a step puts into the buffer for the host.
size_t answerBytes(const Step &step)
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

} // namespace

const ChipInfo &chipInfo(Chip chip)
{
    for (const ChipInfo &info : Chips) {
        if (info.chip == chip)
            return info;
    }
    return Chips[0];
}

bool parsePartItem(const std::string &text, PartItem &part, std::string &error)
{
    std::vector<std::string> fields;
    for (size_t begin = 0;;) {
        const size_t comma = text.find(',', begin);
        fields.push_back(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
        if (comma == std::string::npos)
            break;
        begin = comma + 1;
    }
    if (fields.size() > 3 || fields[0].empty()) {
        error = "\"" + text + "\" is not PRODUCT[,SERIAL[,CHIP]]";
        return false;
    }
    part = PartItem{fields[0], fields.size() > 1 ? fields[1] : std::string(), Chip::FT2232H};
    if (fields.size() == 3) {
        const auto known = std::find_if(std::begin(Chips), std::end(Chips),
                                         [&](const ChipInfo &info) { return fields[2] == info.name; });
        if (known == std::end(Chips)) {
            error = "unknown chip \"" + fields[2] + "\" in \"" + text + "\" (2232h, 2232d or 4232h)";
            return false;
        }
        part.chip = known->chip;
    }
    return true;
}

bool parsePartList(const std::string &text, std::vector<PartItem> &items, std::string &error)
{
    items.clear();
    for (size_t begin = 0; begin <= text.size();) {
        size_t end = text.find(';', begin);
        if (end == std::string::npos)
            end = text.size();
        PartItem item;
        if (end > begin) {
            if (!parsePartItem(text.substr(begin, end - begin), item, error))
                return false;
            items.push_back(item);
        }
        begin = end + 1;
    }
    return true;
}

Port::Port(const ChipInfo &chip, Peripheral *peripheral, const PortFaults *faults)
    : m_chip(chip)
    , m_peripheral(peripheral)
    , m_faults(faults)
{
}

void Port::reset(uint64_t nowUs)
{
    m_latencyMs = DefaultLatencyMs;
    m_mask = 0;
    m_mode = ModeReset;
    m_processor.reset();
    purgeFromHost();
    purgeToHost();
    m_lastTransferUs = nowUs;
    m_writeAtUs = nowUs;
}

bool Port::processorRunning() const
{
    return m_peripheral && m_chip.mcuHostBus && m_mode == ModeMcuHost;
}

void Port::setBitMode(uint8_t mask, uint8_t mode, uint64_t nowUs)
{
    m_mask = mask;
    m_mode = mode;
    // Every mode change starts the processor afresh: a reset clears it, and MCU
    // host-bus mode begins with nothing half-parsed. Bytes still waiting are
    // then parsed from the start (in reset mode they vanish).
    m_processor.reset();
    process(nowUs);
}

void Port::purgeFromHost()
{
    m_fromHost.clear();
}

void Port::purgeToHost()
{
    m_arriving.clear();
    m_arrivingAnswers = 0;
    m_held.clear();
    m_owed = false;
}

size_t Port::answerRoom() const
{
    const size_t used = m_held.size() + m_arrivingAnswers;
    return used < m_chip.toHostBytes ? m_chip.toHostBytes - used : 0;
}

size_t Port::write(const uint8_t *bytes, size_t count, uint64_t atUs)
{
    const size_t taken = std::min(count, fromHostRoom());
    m_fromHost.insert(m_fromHost.end(), bytes, bytes + taken);
    m_writeAtUs = std::max(m_writeAtUs, atUs);
    process(atUs);
    return taken;
}

void Port::process(uint64_t atUs)
{
    atUs = std::max(atUs, m_writeAtUs); // never before the bytes came
    if (!processorRunning()) {
        m_fromHost.clear(); // held in reset, or no command processor: the bytes vanish
        return;
    }
    const bool silent = m_faults && m_faults->silent;
    while (!m_fromHost.empty() && !m_processor.stalled()) {
        // Try the byte on a copy: a command whose answer has no room waits.
        CommandProcessor next = m_processor;
        const Step step = next.feed(m_fromHost.front());
        if (!silent && answerBytes(step) > answerRoom())
            return;
        m_processor = next;
        m_fromHost.pop_front();
        switch (step.kind) {
        case Step::BusRead: {
            const std::map<uint16_t, uint8_t> &pins = pinnedReads ? *pinnedReads : NoPinnedReads;
            const auto pinned = pins.find(step.address);
            const uint8_t data = pinned != pins.end() ? pinned->second : m_peripheral->read(step.address, atUs);
            if (onBus)
                onBus({atUs, false, step.wide, step.address, data, false});
            answer(atUs, data);
            break;
        }
        case Step::BusWrite: {
            const bool frame = m_peripheral->write(step.address, step.data);
            if (onBus)
                onBus({atUs, true, step.wide, step.address, step.data, frame});
            break;
        }
        case Step::Answer:
            answer(atUs, step.data);
            break;
        case Step::BadCommand:
            answer(atUs, BadCommandMarker);
            answer(atUs, step.data);
            break;
        case Step::SendImmediate:
            answer(atUs, 0, true);
            break;
        default:
            break;
        }
    }
}

void Port::answer(uint64_t atUs, uint8_t byte, bool sendImmediate)
{
    if (m_faults && m_faults->silent && !sendImmediate)
        return;
    uint64_t arrival = atUs + (m_faults ? m_faults->answerDelayUs : 0);
    // A shorter delay set meanwhile does not let an answer overtake an earlier one.
    if (!m_arriving.empty())
        arrival = std::max(arrival, m_arriving.back().timeUs);
    m_arriving.push_back({arrival, byte, sendImmediate});
    m_arrivingAnswers += !sendImmediate;
}

// The latency timer restarts at each transfer and, with nothing to send, runs
// out every period all the same (status-only packets). So it ends a request
// at the first period boundary, counted from the last transfer, after the
// oldest waiting byte arrived; with nothing waiting only a host that sees
// status-only packets cares, at the next boundary.
uint64_t Port::nextDueUs(const PacketSink &sink) const
{
    if (m_owed)
        return Never;
    const uint64_t period = uint64_t(std::max<uint8_t>(m_latencyMs, 1)) * 1000;
    if (m_held.empty() && !sink.holdsData())
        return sink.wantsEmpty() ? m_lastTransferUs + period : Never;
    const uint64_t since = m_held.empty()
        ? 0 : std::max(m_held.front().timeUs, m_lastTransferUs) - m_lastTransferUs;
    return m_lastTransferUs + period * (since / period + 1);
}

void Port::advance(uint64_t nowUs, PacketSink &sink)
{
    for (;;) {
        const uint64_t arrival = m_arriving.empty() ? Never : m_arriving.front().timeUs;
        const uint64_t timer = nextDueUs(sink);
        if (std::min(arrival, timer) > nowUs) {
            // A request opened since, or room made by the host: send what is due,
            // and look again if that let commands answer at once.
            pump(sink, nowUs);
            if (!m_arriving.empty() && m_arriving.front().timeUs <= nowUs)
                continue;
            return;
        }
        if (timer <= arrival) {
            m_owed = true;
            pump(sink, timer);
            continue;
        }
        const Timed next = m_arriving.front();
        m_arriving.pop_front();
        if (next.sendImmediate) {
            // With nothing waiting anywhere there is nothing to send: no transfer.
            if (!m_held.empty() || sink.holdsData())
                m_owed = true;
        } else {
            --m_arrivingAnswers;
            m_held.push_back(next);
        }
        pump(sink, next.timeUs);
    }
}

void Port::pump(PacketSink &sink, uint64_t atUs)
{
    while (sink.reading()) {
        if (m_held.size() >= packetData()) {
            if (!send(sink, packetData(), atUs))
                break;
        } else if (m_owed) {
            if (!send(sink, m_held.size(), atUs))
                break;
            m_owed = false;
        } else {
            break;
        }
    }
    process(atUs); // room made in the buffer for the host lets waiting commands run
}

bool Port::send(PacketSink &sink, size_t count, uint64_t atUs)
{
    atUs = std::max(atUs, sink.openedUs());
    std::vector<uint8_t> data(count);
    for (size_t i = 0; i < count; ++i)
        data[i] = m_held[i].byte;
    if (!sink.packet(data.data(), count, count < packetData(), atUs))
        return false;
    m_held.erase(m_held.begin(), m_held.begin() + std::ptrdiff_t(count));
    m_lastTransferUs = atUs;
    return true;
}

} // namespace sim
