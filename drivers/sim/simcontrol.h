// Control and observation of the simulated bridge, for tests, benchmarks and
// tools. The program itself never includes this: it sees only link/d2xx.h.
//
// Every function is safe to call from any thread while another thread is
// inside a D2XX call.
#ifndef TAVREL_SIMCONTROL_H
#define TAVREL_SIMCONTROL_H

#include "d2xxcalls.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

enum class Call { ListDevices, OpenEx, SetLatencyTimer, SetBitMode, GetQueueStatus, Read, Write, Close };

// Name of the driver function, e.g. "FT_Write".
const char *callName(Call call);

// One D2XX call as the model answered it.
struct CallRecord {
    Call call;
    uint64_t timeUs;          // monotonic microseconds since the model started
    FT_STATUS status;         // what the call returned
    FT_HANDLE handle;         // the handle passed (null for listing and open)
    uint32_t flags;           // FT_ListDevices / FT_OpenEx flags
    uint32_t count;           // bytes asked for (Read/Write), index (by-index listing)
    uint32_t result;          // bytes read/written, rxBytes, device count
    uint8_t mask, mode;       // FT_SetBitMode arguments; latency ms in `mode` for SetLatencyTimer
    std::string text;         // description/serial passed to FT_OpenEx or returned by the listing
    std::vector<uint8_t> bytes; // bytes written (the part the device took) or read
};

// One cycle on the host bus behind port A of a part.
struct BusCycle {
    uint64_t timeUs;
    bool write;
    bool wide;        // issued by a 16-bit-address command (0x91 / 0x93)
    uint16_t address;
    uint8_t data;
};

enum class UsbPacing { Instant, HighSpeed, FullSpeed };

// The model's eight D2XX functions as a table, to install where the program
// or a test chooses its implementation. (Named apart from calls(), the log.)
const D2xxCalls &d2xxCalls();

// Back to the state at start-up, as if no environment variable had been set
// (except TAVREL_SIM_TRACE): one part "Sim Bridge" (serial SIM001), nothing open (every
// earlier handle becomes unknown), faults and client faults cleared, logs
// cleared and on (see setLogLimit), peripheral memory zeroed, status registers
// following their pattern, pacing instant, host queue limit 1 MiB.
void reset();

// Replace the attached parts, each given as PRODUCT[,SERIAL[,CHIP]] like an
// item of TAVREL_SIM_DEVICES (CHIP 2232h, the default, 2232d or 4232h). A
// part's ports list as "<PRODUCT> A", "<PRODUCT> B" (and C, D on a 4232h),
// with serial numbers SERIAL plus the letter, or none. Handles of the devices
// replaced stay known but dead, as after an unplug, until closed. A malformed
// item changes nothing; the reason goes to `error` (cleared on success), or
// to stderr without one.
void setParts(const std::vector<std::string> &items, std::string *error = nullptr);

// Replace the attached devices with exactly these descriptions (any bytes, up to
// 63 each), in listing order. Those ending in " A" carry the MCU host-bus command
// processor; the others act as a port B would.
void setDevices(const std::vector<std::string> &descriptions);

// Unplug / re-plug the device with this description (and, for a part's port A,
// nothing else: ports are independent devices). Returns false if there is none
// (none attached, for unplug; none unplugged, for plug). After an unplug every
// call on the device's handle gives FT_IO_ERROR; FT_Close on it also gives
// FT_IO_ERROR but releases the handle. A re-plugged device lists again, fresh
// (mode 0, latency 16, empty queues); its peripheral keeps memory and frame.
bool unplug(const std::string &description);
bool plug(const std::string &description);

// The next `times` calls of `call` fail with `status` and do nothing else,
// except FT_Close, which gives the handle back all the same.
void failNext(Call call, int times, FT_STATUS status);

// The next `times` FT_Write calls take only the first `accepted` bytes (or all,
// if fewer were offered) and return `status`.
void shortWrites(int times, uint32_t accepted, FT_STATUS status = FT_OK);

// The by-index listing query for this index fails with `status` until reset().
void failListIndex(int index, FT_STATUS status = FT_DEVICE_NOT_FOUND);

// A silent command processor parses and executes commands but never answers.
void setSilent(bool silent);

// Every answer of the command processor reaches the part's buffer for the host
// only this long after the command was processed.
void setAnswerDelayUs(uint64_t delayUs);

// Bytes that appear in port A's receive queue at once, as if a stray answer arrived.
void injectJunk(const std::string &description, const std::vector<uint8_t> &bytes);

// Peripheral: pin a read value of an address (0 = direction, 1 = speed follow
// a pattern otherwise), or let it follow its pattern / memory again.
void setReadValue(uint16_t address, uint8_t value);
void clearReadValue(uint16_t address);

// USB timing model; TAVREL_SIM_USB selects it at start-up.
void setUsbPacing(UsbPacing pacing);

// Append the trace to this file from now on (as TAVREL_SIM_TRACE does at
// start-up); an empty path ends tracing. False if the file cannot be opened.
bool setTraceFile(const std::string &path);

// The driver's queue for the host holds at most this many bytes (1 MiB after
// reset()). When it is full the driver stops reading, the part's buffer (4 KiB)
// fills, the command processor stops taking commands that answer, and FT_Write
// waits for the host to read: after a bounded wait it returns FT_OK with the
// bytes the part took, recorded as a client fault. Nothing is dropped.
void setHostQueueLimit(std::size_t bytes);

// Keep at most this many entries in each log (the oldest go first). The logs
// are off (limit 0) from start-up until the first reset(), which sets the
// defaults (200,000 calls, 1,000,000 bus cycles): a program running on the
// model keeps no logs that nobody reads.
void setLogLimit(std::size_t entries);
// Keep at most this many bytes in each log (reset(): 64 MiB). An entry weighs
// its own size plus the bytes and text it carries.
void setLogByteLimit(std::size_t bytes);

// From now on only the part with this serial (its own, or a port's) or at
// this location ("1-N" for the Nth part) is listed; both empty: every part.
void choosePart(const std::string &serial, const std::string &location);

// One attached port, chosen or not: description, serial, location, chip.
struct ListedPort {
    std::string description, serial, location, chip;
    bool open;
};
std::vector<ListedPort> listedPorts();

// Observation.
std::vector<CallRecord> calls();
std::vector<BusCycle> busCycles();
// Calls the part would have answered by hanging or blocking the caller, one
// readable line each (e.g. "FT_Read asked 5 bytes, 2 were queued"): a read
// asking for more than came within its bounded wait, a write the part stopped
// taking. A program that works on hardware causes none.
std::vector<std::string> clientFaults();
// Empties the call and bus logs and the client faults.
void clearLogs();
std::array<uint8_t, 30> shownFrame();   // the frame last ended with a write to address 3
int framesShown();                      // how many frames have ended since reset()
uint8_t indicator();                    // last value written to address 4
// The same for the peripheral behind a given port-A device; the forms above
// show the first port-A device's (in listing order, attached or not).
std::array<uint8_t, 30> shownFrame(const std::string &description);
int framesShown(const std::string &description);
uint8_t indicator(const std::string &description);
int openHandles();                      // handles opened and not yet closed
uint8_t latencyMs(const std::string &description);
uint8_t bitMode(const std::string &description);
uint64_t nowUs();                       // the model's clock

} // namespace sim

#endif
