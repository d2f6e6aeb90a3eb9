// One emulated bridge part as the USB host sees it: its identity, its vendor
// requests, and its ports, which are the model's own (sim::Port: buffers both
// ways, release rules, the host-bus command processor on port A of a part that
// has one). What is added here is only what USB adds. Not locked itself:
// UsbDevices calls it under its own mutex.
#ifndef TAVREL_EMU_EMULATEDPART_H
#define TAVREL_EMU_EMULATEDPART_H

#include "part.h"
#include "trace.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace emu {

constexpr int MaxPorts = 4;              // a quad part
constexpr size_t MaxVendorAnswer = 2;    // the longest answer to a vendor request: one 16-bit word
// Modem status of an idle port, at the start of every IN packet: 0x32 is CTS and
// DSR set with the 0x02 the part shows in the low nibble; 0x60 is transmitter
// holding register empty and transmitter empty.
constexpr uint8_t ModemStatus[sim::StatusBytes] = {0x32, 0x60};

// The trace file with its time base (microseconds since the emulator started).
// Each line is a batch of its own, numbered in the order of its event.
struct EventTrace {
    sim::Trace file;
    int64_t startUs = 0;
    std::atomic<uint64_t> nextBatch{0};
    void line(int64_t nowUs, const std::string &event)
    {
        file.write(nextBatch++, {sim::TraceLine{uint64_t(nowUs - startUs), event}});
    }
};

class EmulatedPart
{
public:
    EmulatedPart(const sim::PartItem &item, EventTrace &trace);

    const sim::PartItem &identity() const { return m_identity; }
    const sim::ChipInfo &chip() const { return m_chip; }
    int portCount() const { return m_chip.ports; }
    std::string portName(int port) const { return m_identity.product + " " + char('A' + port); }

    // A fresh part on the bus: every port in reset mode, default latency, empty buffers.
    // The peripheral keeps its state, as the device behind the part does.
    void powerUp(int64_t nowUs);

    // One vendor control request of the bridge (bRequestType 0x40 or 0xC0).
    // Answers of an IN request go to `answer` (`answerSize` bytes, at most MaxVendorAnswer).
    // False when the part refuses the request (the host sees a stall).
    bool vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                       uint8_t *answer, size_t &answerSize, int64_t nowUs);

    // Bytes of a bulk OUT transfer offered to a port: returns how many the part
    // took; the rest is to be offered again later (the host sees NAKs).
    size_t write(int port, const uint8_t *bytes, size_t count, int64_t nowUs);

    // Brings a port up to now, its packets into `sink`; when it next wants to
    // send (the latency timer), or -1.
    void advance(int port, int64_t nowUs, sim::PacketSink &sink);
    int64_t deadline(int port, const sim::PacketSink &sink) const;

    // Faults by control line.
    void failNext(uint8_t request) { m_failing.insert(request); }
    void setSilent(int port, bool silent) { m_faults[port].silent = silent; }

private:
    uint64_t partTime(int64_t nowUs) const;
    static int portOf(uint16_t index);

    sim::PartItem m_identity;
    const sim::ChipInfo &m_chip;
    EventTrace &m_trace;
    sim::Peripheral m_peripheral;
    sim::PortFaults m_faults[MaxPorts];
    std::unique_ptr<sim::Port> m_ports[MaxPorts];
    std::set<uint8_t> m_failing; // vendor requests whose next use fails
};

} // namespace emu

#endif
