// The state of the simulated bridge: the attached devices with their ports,
// the open handles, the fault settings, the logs and the model clock, all in
// one object under one mutex. The D2XX calls (simbridge.cpp) and the control
// API (simcontrol.cpp) are thin layers over it.
//
// Time: the model never runs on its own. Every call first brings the device up
// to "now" (advance), releasing whatever the latency timer, a send-immediate
// or a full packet would have released in between, so the answers behave as
// if a clock drove them.
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

// Payload of one full USB packet to the host (512 bytes less 2 status bytes):
// held answers go out at once when this many are waiting.
constexpr size_t PacketPayload = 510;
// The driver's receive queue; bytes arriving beyond it are lost.
constexpr size_t HostQueueLimit = 1u << 20;
// Longest description or serial number (plus NUL in a 64-byte buffer).
constexpr size_t TextLimit = 63;
// Default bounds of the logs (a call record with its bytes is some 100 bytes,
// a bus cycle 24); the oldest entries go first.
constexpr size_t DefaultCallLogLimit = 200000;
constexpr size_t DefaultBusLogLimit = 1000000;

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
    std::deque<TimedByte> held;     // in the part's buffer, waiting for a transfer
    std::deque<TimedByte> toHost;   // released; visible to the host from timeUs
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

    // Guards every member below, every Device and its Peripheral, the logs
    // and the trace file. Taken by each D2XX call and control function; never
    // held while a call sleeps (paced writes, reads waiting for bytes).
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
    std::deque<CallRecord> callLog;
    std::deque<BusCycle> busLog;
    // Off until reset(): a program running on the model has no reader for the
    // logs, and they would only grow its memory by tens of megabytes.
    size_t callLogLimit = 0;
    size_t busLogLimit = 0;
    Trace trace;

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
    void execute(Device &device, const uint8_t *bytes, size_t count, uint64_t atUs);
    size_t visible(const Device &device, uint64_t nowUs) const;
    size_t takeVisible(Device &device, uint8_t *buffer, size_t count, uint64_t nowUs);
    void addToHost(Device &device, uint8_t byte, uint64_t visibleUs);

    // USB pacing: length of a bus frame (0 when instant) and the next frame boundary after `t`.
    uint64_t frameUs() const;
    uint64_t nextFrame(uint64_t t) const;

    FT_STATUS finish(CallRecord &record, FT_STATUS status);
    void traceLine(const std::string &event);

private:
    void answer(Device &device, uint64_t atUs, uint8_t byte, bool sendImmediate = false);
    void release(Device &device, uint64_t atUs, size_t count);
    uint64_t latencyRelease(const Device &device) const;
    void logBus(const BusCycle &cycle);
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
