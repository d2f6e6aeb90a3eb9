#include "commandprocessor.h"

namespace sim {

int CommandProcessor::operandCount(uint8_t opcode)
{
    switch (opcode) {
    case 0x80: case 0x82:             // set I/O byte low / high: value, direction
    case 0x86:                        // clock divisor: low, high
    case 0x8F:                        // clock pulses: count low, high
    case 0x9C: case 0x9D:             // clock pulses while waiting on I/O: count low, high
        return 2;
    case 0x8E:                        // clock bits: count
    case OpRead8:
        return 1;
    case OpRead16:
    case OpWrite8:
        return 2;
    case OpWrite16:
        return 3;
    case OpPinsLowRead: case OpPinsHighRead:
    case 0x84: case 0x85:             // loopback on / off
    case OpSendImmediate:
    case OpWaitIoHigh: case OpWaitIoLow:
    case 0x8A: case 0x8B:             // clock divide by 5 off / on
    case 0x8C: case 0x8D:             // three-phase clocking on / off
    case 0x94: case 0x95:             // clock until I/O high / low
    case 0x96: case 0x97:             // adaptive clocking on / off
        return 0;
    default:
        return -1;
    }
}

void CommandProcessor::reset()
{
    *this = CommandProcessor();
}

Step CommandProcessor::feed(uint8_t byte)
{
    Step step;
    if (m_stalled) {
        step.kind = Step::Ignored;
        return step;
    }
    if (m_needed > 0) {
        m_operands[m_have++] = byte;
        if (--m_needed > 0)
            return step;
        return complete();
    }
    const int count = operandCount(byte);
    if (count < 0) {
        step.kind = Step::BadCommand;
        step.opcode = byte;
        step.data = byte;
        return step;
    }
    m_opcode = byte;
    m_have = 0;
    m_needed = count;
    return count == 0 ? complete() : step;
}

Step CommandProcessor::complete()
{
    Step step;
    step.opcode = m_opcode;
    step.kind = Step::Done;
    switch (m_opcode) {
    case OpRead8:
        step.kind = Step::BusRead;
        step.address = m_operands[0];
        break;
    case OpRead16:
        step.kind = Step::BusRead;
        step.wide = true;
        step.address = uint16_t(m_operands[0] << 8 | m_operands[1]);
        break;
    case OpWrite8:
        step.kind = Step::BusWrite;
        step.address = m_operands[0];
        step.data = m_operands[1];
        break;
    case OpWrite16:
        step.kind = Step::BusWrite;
        step.wide = true;
        step.address = uint16_t(m_operands[0] << 8 | m_operands[1]);
        step.data = m_operands[2];
        break;
    case OpPinsLowRead:
    case OpPinsHighRead:
        step.kind = Step::Answer;
        step.data = PinLevels;
        break;
    case OpSendImmediate:
        step.kind = Step::SendImmediate;
        break;
    case OpWaitIoLow:
        // The model holds the I/O line high, so this wait never ends: only a
        // mode reset (which resets the processor) frees it. 0x88 passes.
        step.kind = Step::Stall;
        m_stalled = true;
        break;
    default:
        break;
    }
    m_have = 0;
    return step;
}

} // namespace sim
