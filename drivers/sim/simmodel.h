// The state of the simulated bridge: the attached devices with their ports,
// the open handles, the fault settings, the logs and the model clock, all in
// one object under one mutex. The D2XX calls (simbridge.cpp) and the control
// API (simcontrol.cpp) are thin layers over it.
//
// Time: the model never runs on its own. Every call first brings the device up
// to "now" (advance), releasing whatever the latency timer, a send-immediate
// or a full read request would have released in between, so the answers
// behave as if a clock drove them.
//
// The answer path, stage by stage: the command processor's answers (arriving,
// late only under the answer-delay fault) enter the part's buffer for the host
// (held); the part sends them as USB packets into the driver's read request
// (request); a full request, or one ended by a short packet, goes to the
// driver's queue (toHost), which FT_GetQueueStatus and FT_Read see. Each stage
// is bounded and fills when the next one stops taking: nothing is dropped.
#ifndef TAVREL_SIM_SIMMODEL_H
#define TAVREL_SIM_SIMMODEL_H

#include "commandprocessor.h"
#include "peripheral.h"
#include "simcontrol.h"
#include "trace.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// Bit modes of FT_SetBitMode.
constexpr uint8_t ModeReset = 0x00;
constexpr uint8_t ModeMcuHost = 0x08;
// Every mode value the part accepts (reset, async bit-bang, MPSSE, sync
// bit-bang, MCU host bus, fast opto-isolated serial, CBUS bit-bang, single
// channel synchronous FIFO); anything else is refused.
constexpr uint8_t ValidModes[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

// Latency timer: driver default on open and its allowed range, in ms.
constexpr uint8_t DefaultLatencyMs = 16;
constexpr uint8_t MinLatencyMs = 2;
constexpr uint8_t MaxLatencyMs = 255;

// Data bytes of one full USB packet to the host: every packet starts with 2
// status bytes, and packets are 512 bytes at high speed, 64 at full speed. The
// part sends a packet as soon as it holds this many answer bytes.
constexpr size_t HighSpeedPacketData = 512 - 2;
constexpr size_t FullSpeedPacketData = 64 - 2;
// The driver's USB read request is 4096 bytes: 8 full packets at high speed,
// 64 at full speed. It hands the application nothing until the request is
// full (these many data bytes) or a short packet ends it (a send-immediate,
// or the latency timer running out).
constexpr size_t HighSpeedRequestData = 8 * HighSpeedPacketData;   // 4080
constexpr size_t FullSpeedRequestData = 64 * FullSpeedPacketData;  // 3968
// The part's own buffer toward the host: 4 KiB per port on the FT2232H. When
// it is full the command processor takes no command that answers.
constexpr size_t PartBufferBytes = 4096;
// Default bound of the driver's queue for the host (settable for tests). The
// driver asks for another read request only while the queue has room for a
// whole one.
constexpr size_t DefaultHostQueueLimit = 1u << 20;
// Client faults kept (the first ones: those explain the rest).
constexpr size_t ClientFaultLimit = 1000;
// Longest description or serial number (plus NUL in a 64-byte buffer).
constexpr size_t TextLimit = 63;
// Default bounds of the logs (a call record is some 100 bytes plus the bytes
// it carries, a bus cycle 24); the oldest entries go first.
constexpr size_t DefaultCallLogLimit = 200000;
constexpr size_t DefaultBusLogLimit = 1000000;
constexpr size_t DefaultLogByteLimit = 64u << 20; // per log

// A byte in time: when it reaches the next stage, and what it is.
struct TimedByte {
    uint64_t timeUs;
    uint8_t byte;
    bool sendImmediate; // on the way to the part's buffer: a 0x87 marker, no byte
};

// One listed device (one port of a part).
struct Device {
    uint64_t id = 0;              // never reused: handles name devices by it
    std::string description;
    std::string serial;
    bool portA = false;           // carries the command processor and the bus
    bool attached = true;
    uint32_t generation = 0;      // bumped at each unplug: older handles are dead
    uintptr_t openHandle = 0;     // 0 while not open

    uint8_t latencyMs = DefaultLatencyMs;
    uint8_t mask = 0;
    uint8_t mode = ModeReset;
    CommandProcessor processor;
    std::deque<TimedByte> arriving; // answers (and 0x87 markers) on their way to the part's buffer
    size_t arrivingAnswers = 0;     // answers among them (markers take no room)
    std::deque<TimedByte> held;     // in the part's buffer, waiting for a transfer
    std::vector<uint8_t> request;   // sent to the driver's read request, not yet handed on
    bool shortOwed = false;         // a short packet is due but the driver is not reading
    std::deque<TimedByte> toHost;   // the driver's queue; visible to the host from timeUs
    uint64_t lastTransferUs = 0;    // the latency timer restarts here
    std::unique_ptr<Peripheral> peripheral; // port A only; survives unplug and plug

    bool processorActive() const { return portA && mode == ModeMcuHost; }
};

struct Handle {
    uint64_t deviceId;
    uint32_t generation;
};

struct Faults {
    struct Failure {
        int times = 0;
        FT_STATUS status = FT_OK;
    };
    std::array<Failure, 8> failNext{};      // indexed by Call
    int shortWriteTimes = 0;
    uint32_t shortWriteAccepted = 0;
    FT_STATUS shortWriteStatus = FT_OK;
    std::map<int, FT_STATUS> failedListIndex;
    bool silent = false;
    uint64_t answerDelayUs = 0;
};

struct Model {
    Model();

    // Guards every member below (except the trace, which locks itself),
    // every Device and its Peripheral, and the logs. Taken through Locked by
    // each D2XX call and control function; never held while a call sleeps
    // (paced writes, reads waiting for bytes, writes waiting for room) or
    // while the trace file is written.
    std::mutex mutex;

    // Set once at construction, read without the lock.
    const std::chrono::steady_clock::time_point start;

    std::vector<std::unique_ptr<Device>> devices; // listing order; unplugged ones kept but not listed
    std::map<uintptr_t, Handle> handles;          // open handles (those of unplugged devices too)
    // Handle values are tokens, counted up and never reused; starting well
    // above 0 keeps null and small garbage values from ever naming a handle.
    uintptr_t nextHandle = 0x5100;
    uint64_t nextDeviceId = 1;
    Faults faults;
    std::map<uint16_t, uint8_t> pinnedReads;
    UsbPacing pacing = UsbPacing::Instant;
    size_t hostQueueLimit = DefaultHostQueueLimit;
    std::deque<CallRecord> callLog;
    std::deque<BusCycle> busLog;
    size_t callLogBytes = 0; // what the entries kept weigh (see logCost)
    size_t busLogBytes = 0;
    // Off until reset(): a program running on the model has no reader for the
    // logs, and they would only grow its memory by tens of megabytes.
    size_t callLogLimit = 0;
    size_t busLogLimit = 0;
    size_t logByteLimit = DefaultLogByteLimit;
    // Calls the part would have hung or blocked on; see clientFaults().
    std::vector<std::string> clientFaults;
    // Trace lines of the current locked section, and the number the next
    // batch of them gets; written by Locked after unlocking.
    std::vector<TraceLine> traceOut;
    uint64_t traceBatches = 0;
    Trace trace; // locks itself

    // Microseconds since the model started (no lock needed).
    uint64_t now() const;

    // Everything below expects `mutex` held.
    void configure(const std::vector<std::string> &descriptions, const std::vector<std::string> &serials);
    void configureParts(const std::vector<std::string> &productStrings);
    std::vector<Device *> listed() const;
    Device *find(const std::string &description, bool attached) const;
    Device *firstPortA() const;
    // The device behind a handle: FT_INVALID_HANDLE if the handle is unknown or
    // closed, FT_IO_ERROR if its device was unplugged since it was opened.
    FT_STATUS resolve(FT_HANDLE handle, Device *&device) const;
    bool takeFailure(Call call, FT_STATUS &status);

    void freshPort(Device &device);
    void unplug(Device &device);
    void plug(Device &device);

    void advance(Device &device, uint64_t nowUs);
    // Feeds the processor as many of `bytes` as it takes, acting at `atUs`, and
    // says how many: it stops before a command whose answer the part's buffer
    // has no room for. Without the processor running every byte is taken.
    size_t execute(Device &device, const uint8_t *bytes, size_t count, uint64_t atUs);
    size_t visible(const Device &device, uint64_t nowUs) const;
    // Hands the host what is visible, then lets the driver read on.
    size_t takeVisible(Device &device, uint8_t *buffer, size_t count, uint64_t nowUs);
    void addToHost(Device &device, uint8_t byte, uint64_t visibleUs);
    // Sends what the part owes the driver, as far as the driver reads.
    void pump(Device &device, uint64_t atUs);

    // USB pacing: length of a bus frame (0 when instant), the next frame
    // boundary after `t`, and the packet and read request sizes (instant
    // pacing counts as high speed).
    uint64_t frameUs() const;
    uint64_t nextFrame(uint64_t t) const;
    size_t packetData() const;
    size_t requestData() const;

    FT_STATUS finish(CallRecord &record, FT_STATUS status);
    void trimLogs(); // to the current limits, the oldest entries first
    void clientFault(const std::string &what);
    void traceLine(const std::string &event);
    // A line placed before those traced since traceOut had `position` lines.
    void traceLineAt(size_t position, uint64_t timeUs, const std::string &event);

private:
    void answer(Device &device, uint64_t atUs, uint8_t byte, bool sendImmediate = false);
    void shortPacket(Device &device, uint64_t atUs);
    void sendPacket(Device &device, uint64_t atUs, size_t count);
    void completeRequest(Device &device, uint64_t atUs);
    bool driverReading(const Device &device) const;
    size_t answerRoom(const Device &device) const;
    uint64_t latencyExpiry(const Device &device) const;
    void logBus(const BusCycle &cycle);
};

// The model's lock for one call or control function. Trace lines collected
// under it are numbered before and written after each unlock (see trace.h).
class Locked
{
public:
    explicit Locked(Model &model);
    ~Locked();
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

    void unlock();
    void lock();

private:
    Model &m_model;
    std::unique_lock<std::mutex> m_lock;
};

// The one model of this process. Never destroyed, so that calls from threads
// still running at exit stay safe.
Model &model();

// A description naming a part's port A: longer than two bytes, ending in " A".
bool isPortA(const std::string &description);

// TAVREL_SIM_DEVICES: product strings separated by ';' (empty pieces skipped).
// Unset (null) means the single default part "Sim Bridge".
std::vector<std::string> parseProductList(const char *value);
// TAVREL_SIM_USB: "instant", "hs" or "fs"; false for anything else.
bool parseUsbPacing(const char *value, UsbPacing &pacing);

} // namespace sim

#endif
