#include "emulatedpart.h"

#include <algorithm>

namespace emu {

namespace {

// bRequest of the bridge's vendor control requests (the numbers libftdi sends).
enum VendorRequest : uint8_t {
    Reset = 0x00,           // wValue 0: reset the port, 1: purge what waits for the host, 2: purge what the host sent
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

constexpr uint16_t PurgeHostData = 2; // wValue of Reset that drops only what the host sent

// Modem status of an idle port, at the start of every IN packet: 0x32 is CTS and
// DSR set with the 0x02 the part shows in the low nibble; 0x60 is transmitter
// holding register empty and transmitter empty.
constexpr uint8_t ModemStatus[StatusSize] = {0x32, 0x60};

constexpr uint8_t McuHostMode = 0x08; // bit mode of MCU host-bus emulation
constexpr uint8_t BlankEeprom = 0xFF; // every byte of an erased EEPROM

} // namespace

EmulatedPart::EmulatedPart(std::string product, std::string serial, EventTrace &trace)
    : m_product(std::move(product))
    , m_serial(std::move(serial))
    , m_trace(trace)
{
}

void EmulatedPart::powerUp(int64_t nowUs)
{
    for (Port &port : m_ports) {
        port = Port();
        port.lastTransferUs = nowUs;
    }
}

int EmulatedPart::portOf(uint16_t index)
{
    return (index & 0xFF) == 2 ? 1 : 0; // wIndex low byte: 1 is port A, 2 is port B
}

bool EmulatedPart::vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                                 uint8_t *answer, size_t &answerSize, int64_t nowUs)
{
    Port &port = m_ports[portOf(index)];
    answerSize = 0;
    switch (request) {
    case Reset:
        if (value != PurgeHostData) {
            port.held.clear();
            port.flush = false;
        }
        return true;
    case ModemControl: case FlowControl: case BaudRate: case DataFormat: case EventChar: case ErrorChar:
        return true;
    case PollModemStatus:
        std::copy(ModemStatus, ModemStatus + StatusSize, answer);
        answerSize = StatusSize;
        return true;
    case SetLatency:
        port.latencyMs = uint8_t(value);
        m_trace.line(nowUs, "latency " + std::to_string(port.latencyMs));
        return true;
    case GetLatency:
        answer[0] = port.latencyMs;
        answerSize = 1;
        return true;
    case SetBitMode:
        port.mask = uint8_t(value);
        port.mode = uint8_t(value >> 8);
        port.processor.reset(); // mode 0 holds it in reset; any mode starts it empty
        m_trace.line(nowUs, "bitmode " + sim::hex2(port.mask) + " " + sim::hex2(port.mode));
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

void EmulatedPart::write(int portIndex, const uint8_t *bytes, size_t count, int64_t nowUs)
{
    m_trace.line(nowUs, std::string(count ? "write " : "write") + sim::hexBytes(bytes, count, " "));
    Port &port = m_ports[portIndex];
    // Port B has no command processor; port A runs it only in MCU host-bus mode.
    if (portIndex == 0 && port.mode == McuHostMode)
        execute(port, bytes, count, nowUs);
}

void EmulatedPart::execute(Port &port, const uint8_t *bytes, size_t count, int64_t nowUs)
{
    const uint64_t modelUs = uint64_t(nowUs - m_trace.startUs); // the peripheral's patterns run on trace time
    for (size_t i = 0; i < count; ++i) {
        const sim::Step step = port.processor.feed(bytes[i]);
        const auto address = [&step] { return step.wide ? sim::hex4(step.address) : sim::hex2(uint8_t(step.address)); };
        switch (step.kind) {
        case sim::Step::BusRead: {
            const uint8_t data = m_peripheral.read(step.address, modelUs);
            m_trace.line(nowUs, "busr " + address() + " " + sim::hex2(data));
            port.held.push_back(data);
            break;
        }
        case sim::Step::BusWrite:
            m_trace.line(nowUs, "busw " + address() + " " + sim::hex2(step.data));
            if (m_peripheral.write(step.address, step.data)) {
                const auto &frame = m_peripheral.shownFrame();
                m_trace.line(nowUs, "frame " + sim::hexBytes(frame.data(), frame.size(), ""));
            }
            break;
        case sim::Step::Answer:
            port.held.push_back(step.data);
            break;
        case sim::Step::BadCommand:
            port.held.push_back(sim::BadCommandMarker);
            port.held.push_back(step.data);
            break;
        case sim::Step::SendImmediate:
            port.flush = true;
            break;
        default:
            break;
        }
    }
}

int64_t EmulatedPart::deadline(int portIndex) const
{
    const Port &port = m_ports[portIndex];
    return port.lastTransferUs + std::max<int64_t>(port.latencyMs, 1) * 1000;
}

size_t EmulatedPart::send(int portIndex, uint8_t *out, size_t room, int64_t nowUs, bool &complete)
{
    Port &port = m_ports[portIndex];
    size_t placed = 0;
    complete = false;
    while (!complete) {
        const size_t free = room - placed;
        if (free < StatusSize) { // full: the request is done
            complete = true;
            break;
        }
        // A full packet goes out as soon as its payload waits; anything less
        // waits for a send-immediate or for the latency timer.
        const bool fullPacket = port.held.size() >= PacketPayload && free >= PacketSize;
        if (!fullPacket && !port.flush && nowUs < deadline(portIndex))
            break;
        const size_t n = std::min({port.held.size(), PacketPayload, free - StatusSize});
        std::copy(ModemStatus, ModemStatus + StatusSize, out + placed);
        std::copy_n(port.held.begin(), n, out + placed + StatusSize);
        port.held.erase(port.held.begin(), port.held.begin() + std::ptrdiff_t(n));
        placed += StatusSize + n;
        port.lastTransferUs = nowUs;
        if (StatusSize + n < PacketSize) { // a short packet ends the host's request
            complete = true;
            port.flush = false;
        }
    }
    return placed;
}

} // namespace emu
