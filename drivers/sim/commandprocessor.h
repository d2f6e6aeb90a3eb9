// The command processor of the bridge's MCU host-bus emulation mode, as a pure
// byte-stream parser: it is fed the bytes the host writes, one at a time, and
// says what each completed command asks of the bus and of the answer path. It
// touches no clock, peripheral or queue, so a table of byte strings tests it.
#ifndef TAVREL_SIM_COMMANDPROCESSOR_H
#define TAVREL_SIM_COMMANDPROCESSOR_H

#include <cstdint>

namespace sim {

// Opcodes of the MCU host-bus emulation mode that the model acts on.
enum Opcode : uint8_t {
    OpPinsLowRead = 0x81,    // read the low I/O byte: answers one byte
    OpPinsHighRead = 0x83,   // read the high I/O byte: answers one byte
    OpSendImmediate = 0x87,  // pass what is held for the host to USB at once
    OpWaitIoHigh = 0x88,     // wait until the I/O line is high
    OpWaitIoLow = 0x89,      // wait until the I/O line is low
    OpRead8 = 0x90,          // address: read, answers one data byte
    OpRead16 = 0x91,         // address high, address low: read, answers one data byte
    OpWrite8 = 0x92,         // address, data: write
    OpWrite16 = 0x93,        // address high, address low, data: write
};

// First byte of the answer to a byte that is not a command (the offending byte follows).
constexpr uint8_t BadCommandMarker = 0xFA;

// What one fed byte completed.
struct Step {
    enum Kind : uint8_t {
        Pending,       // an opcode or operand of a command still incomplete
        Done,          // a command with no effect the model shows (settings, a wait that passes)
        BusRead,       // read `address`; the data read is the answer
        BusWrite,      // write `data` to `address`
        Answer,        // answer the single byte `data`
        BadCommand,    // `data` is not a command: answer BadCommandMarker, `data`
        SendImmediate, // release what is held for the host
        Stall,         // a wait that never ends: the processor stops until reset
        Ignored,       // swallowed by a stalled processor
    };
    Kind kind = Pending;
    uint8_t opcode = 0;
    uint16_t address = 0;
    uint8_t data = 0;
    bool wide = false; // a 16-bit-address command (0x91 / 0x93)
};

class CommandProcessor
{
public:
    // The model holds every I/O line high: 0x88 passes, 0x89 stalls, and
    // the pin-read commands answer this.
    static constexpr uint8_t PinLevels = 0xFF;

    // Operand bytes that follow `opcode`, or -1 when it is not a command.
    static int operandCount(uint8_t opcode);

    Step feed(uint8_t byte);
    void reset();

    bool stalled() const { return m_stalled; }
    bool betweenCommands() const { return m_needed == 0; }

private:
    Step complete();

    uint8_t m_opcode = 0;
    uint8_t m_operands[3] = {};
    int m_have = 0;
    int m_needed = 0; // operands still to come; 0 between commands
    bool m_stalled = false;
};

} // namespace sim

#endif
