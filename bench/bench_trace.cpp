// What the host-side trace costs, on the simulated bridge (instant pacing, so nothing
// but host work is measured):
// - per call: a register write (one FT_Write) and a polled register read (FT_Write,
//   FT_GetQueueStatus, FT_Read), through the model's own table and through the tracing
//   table around it, alternating sample by sample on the same open handle;
// - per cycle: a running FtTask's connected cycle period, untraced and traced, in
//   alternating runs (periods between indicator writes in the model's bus log).
// Each traced figure is taken once writing text and once writing a VCD.
//
// usage: bench_trace [--calls N] [--cycles N] [--markdown FILE]
#include "benchreport.h"
#include "busmap.h"
#include "fttask.h"
#include "hostbus.h"
#include "simcontrol.h"
#include "tracing.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int connectTimeoutMs = 15000;
constexpr int perCycleTimeoutMs = 200; // bound on each run, far above a 20 ms cycle

double elapsedUs(Clock::time_point since)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - since).count();
}

// Microseconds per register write and per polled read through `plain` and `traced`, alternating.
struct CallCost {
    bench::Summary write[2], read[2]; // [0] plain, [1] traced
};

CallCost measureCalls(const D2xxCalls &plain, const D2xxCalls &traced, int calls)
{
    FT_HANDLE handle = nullptr;
    plain.openEx(const_cast<char *>("Sim Bridge A"), FT_OPEN_BY_DESCRIPTION, &handle);
    plain.setBitMode(handle, 0, 0);
    plain.setBitMode(handle, 0, bench::mcuHostMode);
    traced.setBitMode(handle, 0, bench::mcuHostMode); // the tracer decodes from here on
    std::vector<double> write[2], read[2];
    for (int i = 0; i < calls; ++i) {
        for (int t = 0; t < 2; ++t) {
            const D2xxCalls &ft = t ? traced : plain;
            hostbus::Command command = hostbus::writeReg8(bench::indicatorAddress, quint8(i));
            DWORD done = 0, waiting = 0;
            Clock::time_point start = Clock::now();
            ft.write(handle, command.bytes, DWORD(command.length), &done);
            write[t].push_back(elapsedUs(start));
            command = hostbus::requestReg8(bench::speedAddress);
            quint8 answer = 0;
            start = Clock::now();
            ft.write(handle, command.bytes, DWORD(command.length), &done);
            for (int poll = 0; poll < 1000 && waiting == 0; ++poll)
                ft.getQueueStatus(handle, &waiting);
            ft.read(handle, &answer, 1, &done);
            read[t].push_back(elapsedUs(start));
        }
    }
    plain.close(handle);
    return {{bench::summarize(write[0]), bench::summarize(write[1])},
            {bench::summarize(read[0]), bench::summarize(read[1])}};
}

std::atomic<int> cyclesSeen{0};

// The median connected cycle period (µs) of a FtTask built on the installed table.
bench::Summary measureCycle(int cycles)
{
    sim::reset();
    cyclesSeen.store(0);
    {
        FtTask task;
        QObject::connect(&task, &FtTask::mouseSpeed, &task, [](int) { cyclesSeen.fetch_add(1); },
                         Qt::DirectConnection);
        task.start();
        const QDeadlineTimer deadline(connectTimeoutMs + qint64(cycles) * perCycleTimeoutMs);
        while (cyclesSeen.load() < cycles + 2 && !deadline.hasExpired())
            QThread::msleep(20);
    }
    std::vector<double> periods;
    uint64_t last = 0;
    bool frameSince = true; // the first cycle carries the register reset's frame
    for (const sim::BusCycle &c : sim::busCycles()) {
        if (!c.write)
            continue;
        frameSince = frameSince || c.address == bench::frameEndAddress;
        if (c.address != bench::indicatorAddress)
            continue;
        if (!frameSince)
            periods.push_back(double(c.timeUs - last));
        last = c.timeUs;
        frameSince = false;
    }
    return bench::summarize(periods);
}

void dropDebugLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

std::string us(double value)
{
    return bench::fixed(value, 2);
}

} // namespace

int main(int argc, char **argv)
{
    const int calls = std::stoi(bench::option(argc, argv, "calls", "20000"));
    const int cycles = std::stoi(bench::option(argc, argv, "cycles", "300"));
    const std::string markdown = bench::option(argc, argv, "markdown", "");
    qInstallMessageHandler(dropDebugLines);
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const D2xxCalls &model = sim::d2xxCalls();
    d2xx::install(model);
    sim::setUsbPacing(sim::UsbPacing::Instant);

    bench::Markdown md;
    md.heading("Host-side trace");
    md.paragraph("The tracing table around the simulated bridge (instant pacing), against the model's "
                 "own table. Per call: a register write and a polled register read, plain and traced "
                 "alternately on one open handle (" + std::to_string(calls) + " of each). Per cycle: a "
                 "running `FtTask`, untraced and traced in alternating runs of " + std::to_string(cycles)
                 + " cycles; idle cycles only. Trace off, nothing is wrapped: the untraced figures are "
                 "the program without `--trace`.");
    std::vector<std::vector<std::string>> callRows, cycleRows;
    for (const char *file : {"trace", "trace.vcd"}) {
        const std::string format = file[5] ? "VCD" : "text";
        QString error;
        std::fprintf(stderr, "bench_trace: %s, %d calls...\n", format.c_str(), calls);
        sim::reset();
        CallCost cost;
        {
            Tracer tracer;
            if (!tracer.open(dir.filePath(QString::fromLatin1(file)), error)) {
                std::fprintf(stderr, "bench_trace: %s\n", qPrintable(error));
                return 1;
            }
            cost = measureCalls(model, tracer.wrap(model), calls);
        }
        for (int t = 0; t < 2; ++t) {
            const bench::Summary &w = cost.write[t], &r = cost.read[t];
            callRows.push_back({t ? "traced, " + format : std::string("plain"), us(w.p50), us(w.p99),
                                us(w.mean), us(r.p50), us(r.p99), us(r.mean)});
        }
        callRows.push_back({"trace adds, " + format, us(cost.write[1].p50 - cost.write[0].p50), "",
                            us(cost.write[1].mean - cost.write[0].mean), us(cost.read[1].p50 - cost.read[0].p50),
                            "", us(cost.read[1].mean - cost.read[0].mean)});

        bench::Summary period[2];
        for (int round = 0; round < 2; ++round) {
            for (int t = 0; t < 2; ++t) {
                std::fprintf(stderr, "bench_trace: cycle, %s, %d cycles...\n", t ? format.c_str() : "untraced",
                             cycles);
                Tracer tracer;
                if (t && tracer.open(dir.filePath(QString::fromLatin1(file)), error))
                    d2xx::install(tracer.wrap(model));
                const bench::Summary s = measureCycle(cycles);
                d2xx::install(model);
                period[t].count += s.count;
                period[t].p50 += s.p50 / 2; // the mean of the two runs' medians
                period[t].p99 = std::max(period[t].p99, s.p99);
            }
        }
        cycleRows.push_back({format, std::to_string(period[0].count), bench::fixed(period[0].p50 / 1000, 3),
                             bench::fixed(period[1].p50 / 1000, 3),
                             bench::fixed(100 * (period[1].p50 - period[0].p50) / period[0].p50, 2),
                             bench::fixed(period[0].p99 / 1000, 3), bench::fixed(period[1].p99 / 1000, 3)});
    }
    md.table({"calls", "write p50 µs", "write p99 µs", "write mean µs", "read p50 µs", "read p99 µs",
              "read mean µs"}, callRows);
    md.table({"trace", "cycles each", "untraced p50 ms", "traced p50 ms", "difference %", "untraced p99 ms",
              "traced p99 ms"}, cycleRows);
    if (!md.save(markdown))
        std::fprintf(stderr, "bench_trace: cannot write %s\n", markdown.c_str());
    return 0;
}
