#include "peripheral.h"

namespace sim {

// Every address of the 16-bit bus; 8-bit commands reach 0x0000 to 0x00FF.
static constexpr std::size_t AddressSpace = 0x10000;

Peripheral::Peripheral()
    : m_memory(AddressSpace, 0)
{
}

uint8_t Peripheral::speedPattern(uint64_t nowUs)
{
    return uint8_t(nowUs / 100000); // one step every 100 ms, wrapping at 256
}

uint8_t Peripheral::directionPattern(uint64_t nowUs)
{
    return uint8_t(nowUs / 1000000 % 4); // the four directions, one per second
}

uint8_t Peripheral::read(uint16_t address, uint64_t nowUs) const
{
    if (address == FrameFirst)
        return directionPattern(nowUs);
    if (address == FrameNext)
        return speedPattern(nowUs);
    return m_memory[address];
}

bool Peripheral::write(uint16_t address, uint8_t data)
{
    m_memory[address] = data;
    switch (address) {
    case FrameBegin:
        m_building.fill(0);
        m_position = 0;
        return false;
    case FrameFirst:
        m_building[0] = data;
        m_position = 1;
        return false;
    case FrameNext:
        if (m_position < FrameSize) // bytes past the frame's end are dropped
            m_building[std::size_t(m_position++)] = data;
        return false;
    case FrameEnd:
        m_shown = m_building;
        ++m_framesShown;
        return true;
    case Indicator:
        m_indicator = data;
        return false;
    default:
        return false;
    }
}

} // namespace sim
