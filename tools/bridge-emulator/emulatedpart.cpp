#include "emulatedpart.h"

#include <algorithm>

namespace emu {

namespace {

// bRequest of the bridge's vendor control requests (the numbers libftdi sends).
enum VendorRequest : uint8_t {
    Reset = 0x00,           // wValue: see the Reset* values below
    ModemControl = 0x01,
    FlowControl = 0x02,
    BaudRate = 0x03,
    DataFormat = 0x04,
    PollModemStatus = 0x05, // answers the two modem-status bytes
    EventChar = 0x06,
    ErrorChar = 0x07,
    SetLatency = 0x09,      // wValue low byte: the latency timer in ms
    GetLatency = 0x0A,      // answers one byte
    SetBitMode = 0x0B,      // wValue high byte: mode, low byte: pin mask
    ReadPins = 0x0C,        // answers one byte
    ReadEeprom = 0x90,      // answers one 16-bit word
};

// wValue of Reset: the whole port, what the host sent (libftdi 1.5's
// ftdi_tcoflush), what waits for the host (ftdi_tciflush).
constexpr uint16_t ResetPort = 0, PurgeFromHost = 1, PurgeToHost = 2;

constexpr uint8_t BlankEeprom = 0xFF; // every byte of an erased EEPROM

} // namespace

EmulatedPart::EmulatedPart(const sim::PartItem &item, EventTrace &trace)
    : m_identity(item)
    , m_chip(sim::chipInfo(item.chip))
    , m_trace(trace)
{
    for (int i = 0; i < m_chip.ports; ++i) {
        m_ports[i] = std::make_unique<sim::Port>(m_chip, i == 0 ? &m_peripheral : nullptr, &m_faults[i]);
        m_ports[i]->onBus = [this](const sim::BusEvent &e) {
            const int64_t now = int64_t(e.timeUs) + m_trace.startUs;
            const std::string address = e.wide ? sim::hex4(e.address) : sim::hex2(uint8_t(e.address));
            m_trace.line(now, std::string(e.write ? "busw " : "busr ") + address + " " + sim::hex2(e.data));
            if (e.frameEnded) {
                const auto &frame = m_peripheral.shownFrame();
                m_trace.line(now, "frame " + sim::hexBytes(frame.data(), frame.size(), ""));
            }
        };
    }
}

// The port's clock: microseconds since the emulator started, as the trace's
// (the peripheral's patterns run on it).
uint64_t EmulatedPart::partTime(int64_t nowUs) const
{
    return uint64_t(std::max<int64_t>(nowUs - m_trace.startUs, 0));
}

void EmulatedPart::powerUp(int64_t nowUs)
{
    for (int i = 0; i < m_chip.ports; ++i)
        m_ports[i]->reset(partTime(nowUs));
    m_failing.clear();
}

int EmulatedPart::portOf(uint16_t index)
{
    return std::max((index & 0xFF) - 1, 0); // wIndex low byte: 1 is port A, 2 port B, ...
}

bool EmulatedPart::vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                                 uint8_t *answer, size_t &answerSize, int64_t nowUs)
{
    answerSize = 0;
    const int number = portOf(index);
    if (number >= m_chip.ports || m_failing.erase(request))
        return false;
    sim::Port &port = *m_ports[number];
    switch (request) {
    case Reset:
        if (value == ResetPort || value == PurgeFromHost)
            port.purgeFromHost();
        if (value == ResetPort || value == PurgeToHost)
            port.purgeToHost();
        return true;
    case ModemControl: case FlowControl: case BaudRate: case DataFormat: case EventChar: case ErrorChar:
        return true;
    case PollModemStatus:
        std::copy(ModemStatus, ModemStatus + sim::StatusBytes, answer);
        answerSize = sim::StatusBytes;
        return true;
    case SetLatency:
        port.setLatency(uint8_t(value));
        m_trace.line(nowUs, "latency " + std::to_string(port.latencyMs()));
        return true;
    case GetLatency:
        answer[0] = port.latencyMs();
        answerSize = 1;
        return true;
    case SetBitMode:
        port.setBitMode(uint8_t(value), uint8_t(value >> 8), partTime(nowUs));
        m_trace.line(nowUs, "bitmode " + sim::hex2(port.mask()) + " " + sim::hex2(port.mode()));
        return true;
    case ReadPins:
        answer[0] = sim::CommandProcessor::PinLevels;
        answerSize = 1;
        return true;
    case ReadEeprom:
        answer[0] = answer[1] = BlankEeprom;
        answerSize = 2;
        return true;
    default:
        return false;
    }
}

size_t EmulatedPart::write(int port, const uint8_t *bytes, size_t count, int64_t nowUs)
{
    const size_t taken = m_ports[port]->write(bytes, count, partTime(nowUs));
    if (taken > 0 || count == 0)
        m_trace.line(nowUs, std::string(taken ? "write " : "write") + sim::hexBytes(bytes, taken, " "));
    return taken;
}

void EmulatedPart::advance(int port, int64_t nowUs, sim::PacketSink &sink)
{
    m_ports[port]->advance(partTime(nowUs), sink);
}

int64_t EmulatedPart::deadline(int port, const sim::PacketSink &sink) const
{
    const uint64_t due = m_ports[port]->nextDueUs(sink);
    return due == UINT64_MAX ? -1 : int64_t(due) + m_trace.startUs;
}

} // namespace emu
