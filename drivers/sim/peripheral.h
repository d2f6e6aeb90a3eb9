// The model device on the host bus behind a part's port A. The real device is
// not documented; this is the register map the program uses, plus plain
// memory everywhere else.
#ifndef TAVREL_SIM_PERIPHERAL_H
#define TAVREL_SIM_PERIPHERAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class Peripheral
{
public:
    // Register addresses.
    static constexpr uint16_t FrameFirst = 0;  // write: frame byte 0; read: direction
    static constexpr uint16_t FrameNext = 1;   // write: frame byte at the next position; read: speed
    static constexpr uint16_t FrameBegin = 2;  // write: begin a frame
    static constexpr uint16_t FrameEnd = 3;    // write: the frame becomes the shown frame
    static constexpr uint16_t Indicator = 4;   // write: indicator LEDs
    static constexpr int FrameSize = 30;

    Peripheral();

    // Data of a read cycle at model time `nowUs`.
    uint8_t read(uint16_t address, uint64_t nowUs) const;
    // A write cycle; true when it ended a frame.
    bool write(uint16_t address, uint8_t data);

    const std::array<uint8_t, FrameSize> &shownFrame() const { return m_shown; }
    int framesShown() const { return m_framesShown; }
    uint8_t indicator() const { return m_indicator; }

    // The slow patterns the status registers follow while nobody pins them.
    static uint8_t speedPattern(uint64_t nowUs);
    static uint8_t directionPattern(uint64_t nowUs);

private:
    std::vector<uint8_t> m_memory;              // the 16-bit address space
    std::array<uint8_t, FrameSize> m_building{};
    std::array<uint8_t, FrameSize> m_shown{};
    int m_position = 0;                          // where the next FrameNext byte goes
    int m_framesShown = 0;
    uint8_t m_indicator = 0;
};

} // namespace sim

#endif
