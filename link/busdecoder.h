// The other half of the command encoding in hostbus.h: what a byte stream written to
// the bridge in MCU host-bus mode does on the bus, and which answers read back belong
// to which command. Pure logic, fed the bytes of each write and each read in order,
// so a trace can show bus cycles on any bridge, real or simulated.
#ifndef TAVREL_BUSDECODER_H
#define TAVREL_BUSDECODER_H

#include <QtGlobal>

#include <deque>
#include <vector>

namespace hostbus {

struct BusEvent
{
    enum Kind : quint8 {
        Write, // a write cycle: address, data
        Read,  // a read cycle paired with its answer: address, data read
        Echo   // the bad-command answer 0xFA xx: data is the command byte xx
    };
    Kind kind;
    bool wide;       // a 16-bit address (0x91, 0x93); else an 8-bit one
    quint16 address;
    quint8 data;

    bool operator==(const BusEvent &other) const
    {
        return kind == other.kind && wide == other.wide && address == other.address && data == other.data;
    }
};

class BusDecoder
{
public:
    // The command processor as a bit-mode change leaves it: started empty (MCU
    // host-bus mode) or held in reset (any other mode: written bytes do nothing).
    // Answers still awaited are forgotten either way.
    void reset(bool running);

    // Bytes the bridge took. Write cycles go to `events` at once; commands that
    // answer are remembered, in order, until their answers are read.
    void written(const quint8 *bytes, int count, std::vector<BusEvent> &events);
    // Bytes read from the bridge, paired in order with the commands awaiting answers.
    // Bytes that no command awaits (junk, or stale answers) are skipped.
    void received(const quint8 *bytes, int count, std::vector<BusEvent> &events);

    // Commands whose answers have not been read yet.
    int awaited() const { return static_cast<int>(m_awaited.size()); }

    // Most answers remembered; a host that writes this many reads without reading
    // any answer has lost count anyway (the part's buffer holds 4 KiB).
    static constexpr int MaxAwaited = 65536;

private:
    struct Awaited
    {
        BusEvent::Kind kind;  // Read (one data byte) or Echo (marker, command byte)
        bool reported;        // false for the one-byte answers no trace shows (pin reads)
        bool wide;
        quint16 address;
    };
    void complete(std::vector<BusEvent> &events);
    void await(const Awaited &answer);

    bool m_running = false;
    quint8 m_opcode = 0;     // command whose operands are still coming, if m_missing > 0
    int m_missing = 0;       // operands of m_opcode still to come
    int m_operandCount = 0;  // operands of m_opcode so far
    quint8 m_operands[3] = {};
    std::deque<Awaited> m_awaited;
    bool m_markerSeen = false; // the 0xFA of the oldest awaited echo has been read
};

} // namespace hostbus

#endif
