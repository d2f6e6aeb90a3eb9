// One emulated dual high-speed bridge part as the USB host sees it: the
// settings of its two ports, the simulated bridge's host-bus command processor
// and model peripheral behind port A, and the part's buffer of answers with
// the rules that release it as bulk IN packets. Not locked itself: UsbDevices
// calls it under its own mutex.
#ifndef TAVREL_EMU_EMULATEDPART_H
#define TAVREL_EMU_EMULATEDPART_H

#include "commandprocessor.h"
#include "peripheral.h"
#include "trace.h"

#include <atomic>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace emu {

constexpr int PortCount = 2;            // a dual part: port A (index 0) and port B (index 1)
constexpr size_t PacketSize = 512;      // wMaxPacketSize of the high-speed bulk endpoints
constexpr size_t StatusSize = 2;        // modem-status bytes that open every IN packet
constexpr size_t PacketPayload = PacketSize - StatusSize;
constexpr uint8_t DefaultLatencyMs = 16; // the part's latency timer after power-up
constexpr size_t MaxVendorAnswer = 2;    // the longest answer to a vendor request: one 16-bit word

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
    EmulatedPart(std::string product, std::string serial, EventTrace &trace);

    const std::string &product() const { return m_product; }
    const std::string &serial() const { return m_serial; }

    // A fresh part on the bus: both ports in reset mode, default latency, empty buffers.
    // The peripheral keeps its state, as the device behind the part does.
    void powerUp(int64_t nowUs);

    // One vendor control request of the bridge (bRequestType 0x40 or 0xC0).
    // Answers of an IN request go to `answer` (`answerSize` bytes, at most MaxVendorAnswer).
    // False when the part does not know the request (the host sees a stall).
    bool vendorRequest(uint8_t request, uint16_t value, uint16_t index,
                       uint8_t *answer, size_t &answerSize, int64_t nowUs);

    // Bytes of one bulk OUT transfer to a port.
    void write(int port, const uint8_t *bytes, size_t count, int64_t nowUs);

    // Packets the port sends now into an IN request that has `room` bytes free
    // at `out`. Returns the bytes placed; `complete` is set once the request is
    // done (a short packet ended it, or it is full).
    size_t send(int port, uint8_t *out, size_t room, int64_t nowUs, bool &complete);

    // When the port's latency timer next runs out.
    int64_t deadline(int port) const;

private:
    struct Port {
        uint8_t latencyMs = DefaultLatencyMs;
        uint8_t mask = 0;
        uint8_t mode = 0;
        sim::CommandProcessor processor;
        std::deque<uint8_t> held; // answers in the part's buffer, not yet sent
        bool flush = false;       // a send-immediate waits to go out as a short packet
        int64_t lastTransferUs = 0; // the latency timer restarts here
    };

    void execute(Port &port, const uint8_t *bytes, size_t count, int64_t nowUs);
    static int portOf(uint16_t index);

    std::string m_product;
    std::string m_serial;
    EventTrace &m_trace;
    Port m_ports[PortCount];
    sim::Peripheral m_peripheral;
};

} // namespace emu

#endif
