#include "busdecoder.h"

#include "hostbus.h"

namespace hostbus {

namespace {

// Operands that follow each opcode the command processor accepts in MCU host-bus
// mode (0x80 to 0x9D); -1 marks a byte it answers with the bad-command echo.
constexpr int NoCommand = -1;
constexpr int operandCount(quint8 opcode)
{
    switch (opcode) {
    case 0x80: case 0x82: // set data bits low / high byte: value, direction
    case 0x86:            // set clock divisor: low, high
    case 0x8F:            // clock for n bytes: length low, high
    case 0x9C: case 0x9D: // clock until a GPIO level: length low, high
    case ReadExtended:
        return 2;
    case 0x8E:            // clock for n bits: length
    case ReadShort:
        return 1;
    case WriteShort:
        return 2;
    case WriteExtended:
        return 3;
    case 0x81: case 0x83: // read data bits low / high byte: answer one byte
    case 0x84: case 0x85: // loopback on / off
    case SendImmediate:
    case 0x88: case 0x89: // wait on I/O high / low
    case 0x8A: case 0x8B: case 0x8C: case 0x8D: // clock divide, three-phase clocking
    case 0x94: case 0x95: case 0x96: case 0x97: // clock while a GPIO level, adaptive clocking
        return 0;
    default:
        return NoCommand;
    }
}

// Opcodes that answer with one byte that shows no bus cycle (the pin reads).
constexpr bool answersPins(quint8 opcode)
{
    return opcode == 0x81 || opcode == 0x83;
}

} // namespace

void BusDecoder::reset(bool running)
{
    m_running = running;
    m_missing = 0;
    m_operandCount = 0;
    m_awaited.clear();
    m_markerSeen = false;
}

void BusDecoder::await(const Awaited &answer)
{
    if (m_awaited.size() < size_t(MaxAwaited))
        m_awaited.push_back(answer);
}

void BusDecoder::written(const quint8 *bytes, int count, std::vector<BusEvent> &events)
{
    if (!m_running)
        return;
    for (int i = 0; i < count; ++i) {
        const quint8 byte = bytes[i];
        if (m_missing > 0) {
            // A command's state survives between writes: this byte is an operand.
            m_operands[m_operandCount++] = byte;
            if (--m_missing == 0)
                complete(events);
            continue;
        }
        const int operands = operandCount(byte);
        if (operands == NoCommand) {
            await({BusEvent::Echo, true, false, byte});
            continue;
        }
        m_opcode = byte;
        m_operandCount = 0;
        m_missing = operands;
        if (operands == 0)
            complete(events);
    }
}

void BusDecoder::complete(std::vector<BusEvent> &events)
{
    const quint8 *op = m_operands;
    switch (m_opcode) {
    case WriteShort:
        events.push_back({BusEvent::Write, false, op[0], op[1]});
        break;
    case WriteExtended:
        events.push_back({BusEvent::Write, true, quint16(op[0] << 8 | op[1]), op[2]});
        break;
    case ReadShort:
        await({BusEvent::Read, true, false, op[0]});
        break;
    case ReadExtended:
        await({BusEvent::Read, true, true, quint16(op[0] << 8 | op[1])});
        break;
    default:
        if (answersPins(m_opcode))
            await({BusEvent::Read, false, false, 0});
        break;
    }
}

void BusDecoder::received(const quint8 *bytes, int count, std::vector<BusEvent> &events)
{
    for (int i = 0; i < count && !m_awaited.empty(); ++i) {
        const quint8 byte = bytes[i];
        const Awaited &next = m_awaited.front();
        if (next.kind == BusEvent::Echo && !m_markerSeen) {
            // Anything before the marker is not this echo's: skip it.
            m_markerSeen = byte == BadCommandMarker;
            continue;
        }
        if (next.reported)
            events.push_back({next.kind, next.wide, next.address, byte});
        m_markerSeen = false;
        m_awaited.pop_front();
    }
}

} // namespace hostbus
