// One port of the bridge part, written once for both ways in: the in-process
// D2XX model (simmodel) and the USB emulator (tools/bridge-emulator). A port
// holds the part's two buffers (what the host sent, not yet processed; the
// answers waiting for the host), runs the MCU host-bus command processor on
// port A, and decides when answers leave as USB packets: a full packet as soon
// as one waits, a short one on send-immediate (0x87) or when the latency timer
// runs out. Where the packets go is the door's business (PacketSink): the
// in-process driver's read request, or a client's bulk IN URB.
//
// Time is given by the caller and never read here: the in-process model
// replays on its own clock, the emulator on the monotonic clock. Not locked:
// each door calls it under its own mutex.
#ifndef TAVREL_SIM_PART_H
#define TAVREL_SIM_PART_H

#include "commandprocessor.h"
#include "peripheral.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

enum class Chip { FT2232H, FT2232D, FT4232H };

// What tells the parts apart, to the host and to the model.
struct ChipInfo {
    Chip chip;
    const char *name;           // as --device and TAVREL_SIM_DEVICES spell it
    uint16_t productId;         // USB idProduct (vendor 0x0403)
    uint16_t bcdDevice;         // the host's drivers tell the chip by this
    bool highSpeed;
    size_t packetSize;          // bulk wMaxPacketSize
    int ports;
    size_t fromHostBytes;       // per port: buffer for what the host sends
    size_t toHostBytes;         // per port: buffer for answers waiting for the host
    bool mcuHostBus;            // port A has the MCU host-bus emulation mode
    const char *defaultProduct; // product string of a part without an EEPROM
};

const ChipInfo &chipInfo(Chip chip);

// One part: PRODUCT[,SERIAL[,CHIP]]. An empty serial is a part without one.
struct PartItem {
    std::string product;
    std::string serial;
    Chip chip = Chip::FT2232H;
};

// Parses one item; on failure `error` says what is wrong with it.
bool parsePartItem(const std::string &text, PartItem &part, std::string &error);
// Items separated by ';' (empty ones skipped).
bool parsePartList(const std::string &text, std::vector<PartItem> &items, std::string &error);

// Bit modes of the part (FT_SetBitMode, vendor request 0x0B).
constexpr uint8_t ModeReset = 0x00;
constexpr uint8_t ModeMcuHost = 0x08;
// Latency timer: the part's default and the range the drivers accept, in ms.
constexpr uint8_t DefaultLatencyMs = 16;
constexpr uint8_t MinLatencyMs = 2;
constexpr uint8_t MaxLatencyMs = 255;
// Modem-status bytes that open every bulk IN packet.
constexpr size_t StatusBytes = 2;

// A bus cycle as the port performs it, for the doors' logs and traces.
struct BusEvent {
    uint64_t timeUs;
    bool write;
    bool wide;          // a 16-bit-address command (0x91 / 0x93)
    uint16_t address;
    uint8_t data;
    bool frameEnded;    // this write made the peripheral show a new frame
};

// Faults that belong to the part (both doors set them).
struct PortFaults {
    bool silent = false;        // the processor executes commands but never answers
    uint64_t answerDelayUs = 0; // answers reach the buffer for the host this much late
};

// The host's side of bulk IN: the read request open on the port, if any.
class PacketSink
{
public:
    virtual ~PacketSink() = default;
    // A request is open and can take a packet.
    virtual bool reading() const = 0;
    // The open request holds data already: a send-immediate with nothing held still ends it.
    virtual bool holdsData() const = 0;
    // A status-only packet matters: it ends the open request (true of a USB request,
    // not of a driver that only hands data on).
    virtual bool wantsEmpty() const = 0;
    // One packet: `count` data bytes after the status bytes, short (ending the request)
    // when `count` is less than a full packet's. False when the host cannot take it:
    // the bytes stay in the part.
    virtual bool packet(const uint8_t *data, size_t count, bool isShort, uint64_t atUs) = 0;
    // When the open request was issued: no packet goes before it.
    virtual uint64_t openedUs() const { return 0; }
};

class Port
{
public:
    // `peripheral` is the bus behind the port (port A), or null for a port without one.
    Port(const ChipInfo &chip, Peripheral *peripheral, const PortFaults *faults);

    // As after power-up or an open's reset: mode 0, default latency, both buffers empty.
    void reset(uint64_t nowUs);

    // Settings; the caller advances the port to `nowUs` first.
    void setLatency(uint8_t ms) { m_latencyMs = ms; }
    void setBitMode(uint8_t mask, uint8_t mode, uint64_t nowUs);
    uint8_t latencyMs() const { return m_latencyMs; }
    uint8_t mask() const { return m_mask; }
    uint8_t mode() const { return m_mode; }
    bool processorRunning() const;

    // Purges: what the host sent and is not yet processed (a half-parsed command
    // stays half-parsed), and what waits for the host.
    void purgeFromHost();
    void purgeToHost();

    // Bytes the host sends, acted on at `atUs`: returns how many the part took
    // into its buffer (the rest is refused: NAK). Nothing taken is ever dropped.
    size_t write(const uint8_t *bytes, size_t count, uint64_t atUs);
    size_t fromHostRoom() const { return m_chip.fromHostBytes - m_fromHost.size(); }

    // Replays, in time order up to `nowUs`, answers reaching the buffer for the
    // host, packets leaving it into `sink` and the commands that room lets run.
    void advance(uint64_t nowUs, PacketSink &sink);
    // When the next packet falls due (the latency timer), or UINT64_MAX.
    uint64_t nextDueUs(const PacketSink &sink) const;

    size_t packetData() const { return m_chip.packetSize - StatusBytes; }
    size_t heldForHost() const { return m_held.size(); }

    // Reads of these addresses give these values (tests pin the status registers).
    const std::map<uint16_t, uint8_t> *pinnedReads = nullptr;
    // Called for every bus cycle and every answer-less step the doors trace.
    std::function<void(const BusEvent &)> onBus;

private:
    struct Timed {
        uint64_t timeUs;
        uint8_t byte;
        bool sendImmediate; // a 0x87 on its way, no byte
    };

    void process(uint64_t atUs);
    void answer(uint64_t atUs, uint8_t byte, bool sendImmediate = false);
    void pump(PacketSink &sink, uint64_t atUs);
    bool send(PacketSink &sink, size_t count, uint64_t atUs);
    size_t answerRoom() const;

    const ChipInfo &m_chip;
    Peripheral *m_peripheral;
    const PortFaults *m_faults;
    uint8_t m_latencyMs = DefaultLatencyMs;
    uint8_t m_mask = 0;
    uint8_t m_mode = ModeReset;
    CommandProcessor m_processor;
    std::deque<uint8_t> m_fromHost;  // taken from the host, not yet processed
    uint64_t m_writeAtUs = 0;        // when the last bytes taken are acted on
    std::deque<Timed> m_arriving;    // answers (and 0x87) on their way to the buffer for the host
    size_t m_arrivingAnswers = 0;
    std::deque<Timed> m_held;        // the buffer for the host
    bool m_owed = false;             // a short packet is due, but no request was open
    uint64_t m_lastTransferUs = 0;   // the latency timer restarts here
};

} // namespace sim

#endif
