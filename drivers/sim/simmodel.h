// The in-process door onto the part: the attached devices (each a port of a
// part, sim::Port in part.h), the open handles, the fault settings, the logs
// and the model clock, all in one object under one mutex. The D2XX calls
// (simbridge.cpp) and the control API (simcontrol.cpp) are thin layers over it.
//
// Time: the model never runs on its own. Every call first brings the device up
// to "now" (advance), releasing whatever the latency timer, a send-immediate
// or a full read request would have released in between, so the answers
// behave as if a clock drove them.
//
// The answer path: the port (the part's buffers and release rules) sends USB
// packets into the driver's read request (request); a full request, or one
// ended by a short packet, goes to the driver's queue (toHost), which
// FT_GetQueueStatus and FT_Read see. What is added here is only the driver:
// it reads while its queue has room for a whole request. Each stage is bounded
// and fills when the next one stops taking: nothing is dropped.
#ifndef TAVREL_SIM_SIMMODEL_H
#define TAVREL_SIM_SIMMODEL_H

#include "part.h"
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

// Every mode value the part accepts (reset, async bit-bang, MPSSE, sync
// bit-bang, MCU host bus, fast opto-isolated serial, CBUS bit-bang, single
// channel synchronous FIFO); anything else is refused.
constexpr uint8_t ValidModes[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

// The driver's USB read request is 4096 bytes: 8 full packets at high speed,
// 64 at full speed. It hands the application nothing until the request is
// full or a short packet ends it (a send-immediate, or the latency timer).
constexpr size_t ReadRequestBytes = 4096;
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

// A byte of the driver's queue and when the application may see it.
struct TimedByte {
    uint64_t timeUs;
    uint8_t byte;
};

// One listed device (one port of a part). The part's own behaviour is its
// Port's; what is kept here is the D2XX driver's side.
struct Device {
    uint64_t id = 0;              // never reused: handles name devices by it
    std::string description;
    std::string serial;
    std::string partSerial;       // the part's own serial, without a port letter
    std::string location;         // "1-N" for the Nth part, as sysfs would name it; empty for bare devices
    std::string chip;             // "FT2232H", ...
    bool portA = false;           // carries the bus (on a part with the MCU host-bus mode)
    bool attached = true;
    uint32_t generation = 0;      // bumped at each unplug: older handles are dead
    uintptr_t openHandle = 0;     // 0 while not open
    size_t requestData = 0;       // data bytes of a full read request of this part
    std::unique_ptr<Peripheral> peripheral; // port A only; survives unplug and plug
    std::unique_ptr<Port> port;   // after the peripheral, which it uses
    std::vector<uint8_t> request; // the driver's read request: data of the packets so far
    std::deque<TimedByte> toHost; // the driver's queue; visible to the host from timeUs
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
    PortFaults port; // every port of the model shares these
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
    std::string chosenSerial;   // only this part is listed (choosePart); empty: any
    std::string chosenLocation;
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
    std::unique_ptr<Device> makeDevice(const std::string &description, const std::string &serial, Chip chip,
                                       bool portA);
    void configure(const std::vector<std::string> &descriptions, const std::vector<std::string> &serials);
    void configureParts(const std::vector<PartItem> &parts);
    std::vector<Device *> listed(bool all = false) const;
    Device *find(const std::string &description, bool attached) const;
    Device *firstPortA() const;
    // The device behind a handle: FT_INVALID_HANDLE if the handle is unknown or
    // closed, FT_IO_ERROR if its device was unplugged since it was opened.
    FT_STATUS resolve(FT_HANDLE handle, Device *&device) const;
    bool takeFailure(Call call, FT_STATUS &status);

    void freshPort(Device &device);
    void unplug(Device &device);
    void plug(Device &device);

    // Brings the part up to `nowUs`, its packets into the driver's request.
    void advance(Device &device, uint64_t nowUs);
    size_t visible(const Device &device, uint64_t nowUs) const;
    // Hands the host what is visible, then lets the driver read on.
    size_t takeVisible(Device &device, uint8_t *buffer, size_t count, uint64_t nowUs);
    void addToHost(Device &device, uint8_t byte, uint64_t visibleUs);
    void completeRequest(Device &device, uint64_t atUs);
    bool driverReading(const Device &device) const;

    // USB pacing: length of a bus frame (0 when instant) and the next frame
    // boundary after `t`.
    uint64_t frameUs() const;
    uint64_t nextFrame(uint64_t t) const;

    FT_STATUS finish(CallRecord &record, FT_STATUS status);
    void trimLogs(); // to the current limits, the oldest entries first
    void clientFault(const std::string &what);
    void traceLine(const std::string &event);
    // A line placed before those traced since traceOut had `position` lines.
    void traceLineAt(size_t position, uint64_t timeUs, const std::string &event);

private:
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

// TAVREL_SIM_DEVICES: PRODUCT[,SERIAL[,CHIP]] items separated by ';' (empty
// ones skipped). Unset (null) means the single default part "Sim Bridge" with
// serial SIM001. False, with `error` naming the bad item, when one is malformed.
bool parsePartsVariable(const char *value, std::vector<PartItem> &parts, std::string &error);
// TAVREL_SIM_USB: "instant", "hs" or "fs"; false for anything else.
bool parseUsbPacing(const char *value, UsbPacing &pacing);

} // namespace sim

#endif
