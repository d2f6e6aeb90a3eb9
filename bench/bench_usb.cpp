// Host cost per call of the USB driver, run under the bridge emulator:
//   tavrel-bridge-emu -- bench_usb [--calls N] [--markdown FILE]
// Rows: a 3-byte FT_Write (one register write), FT_GetQueueStatus, a polled
// one-byte read (request with send-immediate, queue-status polls 50 µs apart
// until the answer is there, FT_Read), and for reference one bare control transfer
// through libusb (the vendor request that reads port A's latency timer): a single URB, i.e. one round trip to
// the emulator with nothing of ours around it.
//
// Each row gives the median and 99th percentile of the wall time per call and
// the median CPU time of the calling thread. Wall time less that thread's CPU
// time is the time spent waiting, almost all of it on the emulator's socket
// round trips (each ioctl on the emulated device file is one): what a real
// part would replace with its own USB timing.
#include "benchreport.h"
#include "usbd2xx.h"

#include <libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// The emulator's default part; its port A runs the host-bus command processor.
const char PortA[] = "Dual RS232-HS A";
// FT_SetBitMode mode 8: MCU host-bus emulation.
constexpr UCHAR McuHostMode = 0x08;
// A polled read pauses this long between queue-status polls, so that it does
// not take a core from the reader thread and the emulator it waits for (the
// link pauses 1 ms); and gives up after this many polls (some seconds).
constexpr auto PollPause = std::chrono::microseconds(50);
constexpr int PollLimit = 20000;
// The bridge maker's USB vendor id and its dual part's product id; the part's
// "get latency timer" request (direction in, type vendor, recipient device)
// for port A (index 1), with its time-out.
constexpr uint16_t VendorFtdi = 0x0403;
constexpr uint16_t ProductDual = 0x6010;
constexpr uint8_t RequestTypeVendorIn = 0xC0;
constexpr uint8_t RequestGetLatency = 0x0A;
constexpr uint16_t IndexPortA = 1;
constexpr unsigned ControlTimeoutMs = 1000;

double threadCpuUs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

struct Row {
    std::string name;
    bench::Summary wallUs;
    bench::Summary cpuUs;
};

// Times `calls` runs of `call` one by one; false if any run failed.
bool timeCalls(const std::string &name, int calls, const std::function<bool()> &call, std::vector<Row> &rows)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i < calls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = threadCpuUs();
        if (!call()) {
            std::fprintf(stderr, "bench_usb: %s failed at run %d\n", name.c_str(), i);
            return false;
        }
        cpu.push_back(threadCpuUs() - cpuStart);
        wall.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    rows.push_back({name, bench::summarize(wall), bench::summarize(cpu)});
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int calls = std::stoi(bench::option(argc, argv, "calls", "2000"));
    const std::string markdown = bench::option(argc, argv, "markdown", "");
    const D2xxCalls &d2xx = usb::calls();

    FT_HANDLE h = nullptr;
    char description[sizeof PortA];
    std::memcpy(description, PortA, sizeof PortA);
    if (d2xx.openEx(description, FT_OPEN_BY_DESCRIPTION, &h) != FT_OK
        || d2xx.setBitMode(h, 0, McuHostMode) != FT_OK) {
        std::fprintf(stderr, "bench_usb: cannot open %s (run under tavrel-bridge-emu)\n", PortA);
        return 1;
    }
    std::vector<Row> rows;
    DWORD n = 0;
    uint8_t writeReg[] = {0x92, 0x04, 0x55};      // write 0x55 to address 4 (the indicator)
    uint8_t readReg[] = {0x90, 0x01, 0x87};       // read address 1, send immediate
    uint8_t answer = 0;
    bool ok = timeCalls("FT_Write, 3 bytes (register write)", calls, [&] {
        return d2xx.write(h, writeReg, sizeof writeReg, &n) == FT_OK && n == sizeof writeReg;
    }, rows);
    ok = ok && timeCalls("FT_GetQueueStatus", calls, [&] { return d2xx.getQueueStatus(h, &n) == FT_OK; }, rows);
    int polls = 0;
    ok = ok && timeCalls("polled 1-byte read (write, poll, FT_Read)", calls, [&] {
        if (d2xx.write(h, readReg, sizeof readReg, &n) != FT_OK)
            return false;
        for (int i = 0; i < PollLimit; ++i, ++polls) {
            if (d2xx.getQueueStatus(h, &n) != FT_OK)
                return false;
            if (n >= 1)
                return d2xx.read(h, &answer, 1, &n) == FT_OK && n == 1;
            std::this_thread::sleep_for(PollPause);
        }
        return false;
    }, rows);

    // The reference: one control URB on a handle of our own to the same part.
    libusb_context *context = nullptr;
    libusb_device_handle *raw = nullptr;
    if (ok && libusb_init(&context) == 0 && (raw = libusb_open_device_with_vid_pid(context, VendorFtdi, ProductDual))) {
        uint8_t latency = 0;
        ok = timeCalls("bare control transfer (one URB, reference)", calls, [&] {
            return libusb_control_transfer(raw, RequestTypeVendorIn, RequestGetLatency, 0, IndexPortA, &latency, 1,
                                           ControlTimeoutMs) == 1;
        }, rows);
        libusb_close(raw);
    }
    if (context)
        libusb_exit(context);
    d2xx.close(h);

    std::vector<std::vector<std::string>> table;
    for (const Row &r : rows)
        table.push_back({r.name, bench::fixed(r.wallUs.p50, 1), bench::fixed(r.wallUs.p99, 1),
                         bench::fixed(r.cpuUs.p50, 1), bench::fixed(r.wallUs.p50 - r.cpuUs.p50, 1)});
    bench::Markdown md;
    md.heading("USB driver through the bridge emulator");
    md.paragraph(std::to_string(calls) + " calls each; times in µs per call. \"waiting\" is the median wall time "
                 "less the median CPU time of the calling thread: the emulator's socket round trips, which a real "
                 "part replaces with its own USB timing. A polled read made " +
                 bench::fixed(rows.size() > 2 ? double(polls) / calls : 0.0, 1) + " empty queue-status polls on average before its answer.");
    md.table({"call", "wall p50", "wall p99", "CPU p50", "waiting"}, table);
    if (!md.save(markdown))
        std::fprintf(stderr, "bench_usb: cannot write %s\n", markdown.c_str());
    return ok ? 0 : 1;
}
