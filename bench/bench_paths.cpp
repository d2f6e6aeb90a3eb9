// Host cost of the program's bus paths on the simulated bridge with instant
// USB pacing, so that what is measured is our code plus the model's own
// bookkeeping and never a wait for a bus frame:
//   a raw 3-byte FT_Write (the model alone, for reference),
//   FtUnitl::writeReg8, FtUnitl::readReg8 (answer ready at once after 0x87),
//   FtTask::sendFrame (32 register writes),
//   a connected cycle's bus work without and with a frame.
//
// Every operation is timed on its own, so each row gives the median and the
// worst single run besides the count of runs.
//
// FtTask has no way to open its link without running its own loop: the link
// is private and only run() connects it, and run() ends only when the object
// is destroyed. So the FtTask rows run inside that loop: the benchmarks are
// started from the worker's mouseSpeed signal through a direct connection,
// i.e. on the worker thread, between two steps of a connected cycle, while the
// link is open and no other thread uses it. The FtUnitl and raw rows use links
// of their own to two more simulated parts, on the same thread.
//
// usage: bench_paths [--markdown FILE] [Google Benchmark options]
#include "benchreport.h"
#include "busmap.h"
#include "hostbus.h"
#include "fttask.h"
#include "ftunitl.h"
#include "simcontrol.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace bench;

using Clock = std::chrono::steady_clock;

// The parts the model lists: the worker takes the first port A it finds.
const std::string workerPart = "Sim Bridge";
const std::string linkPart = "Bench Bridge";
const std::string rawPart = "Raw Bridge";

// Queue-status polls before a read gives up, as the worker asks.
constexpr int readTries = 100;
// The model's logs are bounded to this many entries, so that they cost the
// same on every call and do not grow over millions of calls.
constexpr std::size_t logLimit = 4096;

// How long main waits for the worker to connect and run every benchmark.
constexpr int runTimeoutMs = 600000;

// Runs per row: enough for a stable median and a worst case that includes
// the occasional preemption, few enough to stay within a few seconds.
constexpr int clockRuns = 1000000;
constexpr int rawWriteRuns = 200000;
constexpr int writeRuns = 200000;
constexpr int readRuns = 100000;
constexpr int frameRuns = 10000;
constexpr int cycleRuns = 10000;

// What the benchmarks act on; set on the worker thread before they run.
struct Targets {
    FtTask *task = nullptr;
    FtUnitl *link = nullptr;
    FT_HANDLE raw = nullptr;
};
Targets targets;

struct Row {
    std::string what;
    bench::Summary ns;
};
// Filled on the worker thread while the benchmarks run; read by main only
// after `finished` is seen set (release/acquire).
std::map<std::string, Row> rows;
std::vector<std::string> rowOrder;
std::atomic<bool> started{false};
std::atomic<bool> finished{false};
std::atomic<bool> failed{false};

// Times every run of `op` on its own; hands the time to Google Benchmark
// (manual time) and keeps the samples for the order statistics.
template <typename Op>
void timed(benchmark::State &state, const std::string &name, const std::string &what, Op op)
{
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const Clock::time_point begin = Clock::now();
        op();
        const Clock::time_point end = Clock::now();
        const double ns = std::chrono::duration<double, std::nano>(end - begin).count();
        state.SetIterationTime(ns * 1e-9);
        samples.push_back(ns);
    }
    const bench::Summary s = bench::summarize(samples);
    state.counters["median_us"] = s.p50 / 1000;
    state.counters["p99_us"] = s.p99 / 1000;
    state.counters["worst_us"] = s.max / 1000;
    if (!rows.count(name))
        rowOrder.push_back(name);
    rows[name] = {what, s};
}

void clockOnly(benchmark::State &state)
{
    timed(state, "clock", "two clock reads, nothing between (timing overhead in every row)", [] {});
}

void rawWrite(benchmark::State &state)
{
    quint8 value = 0;
    timed(state, "FT_Write (model alone)", "one 3-byte FT_Write straight to the model", [&] {
        UCHAR command[3] = {hostbus::WriteShort, indicatorAddress, ++value};
        DWORD written = 0;
        FT_Write(targets.raw, command, sizeof command, &written);
    });
}

void writeReg8(benchmark::State &state)
{
    quint8 value = 0;
    timed(state, "FtUnitl::writeReg8", "stage 0x92 address data, one FT_Write",
          [&] { targets.link->writeReg8(indicatorAddress, ++value); });
}

void readReg8(benchmark::State &state)
{
    int value = 0;
    timed(state, "FtUnitl::readReg8", "drain, 0x90 address 0x87, poll, one-byte FT_Read (answer ready)",
          [&] { value = targets.link->readReg8(speedAddress, readTries); });
    if (value < 0)
        state.SkipWithError("readReg8 got no answer");
}

void sendFrame(benchmark::State &state)
{
    timed(state, "FtTask::sendFrame", "32 register writes", [] { targets.task->sendFrame(); });
}

void idleCycle(benchmark::State &state)
{
    timed(state, "cycle bus work, no frame", "pollSpeed, pollDirect, stepIndicator", [] {
        targets.task->pollSpeed();
        targets.task->pollDirect();
        targets.task->stepIndicator();
    });
}

void frameCycle(benchmark::State &state)
{
    timed(state, "cycle bus work, with frame", "sendFrame, pollSpeed, pollDirect, stepIndicator", [] {
        targets.task->sendFrame();
        targets.task->pollSpeed();
        targets.task->pollDirect();
        targets.task->stepIndicator();
    });
}

void registerAll()
{
    auto add = [](const char *name, void (*fn)(benchmark::State &), int runs) {
        benchmark::RegisterBenchmark(name, fn)->Iterations(runs)->UseManualTime()->Unit(benchmark::kMicrosecond);
    };
    add("clock", clockOnly, clockRuns);
    add("FT_Write_raw", rawWrite, rawWriteRuns);
    add("FtUnitl_writeReg8", writeReg8, writeRuns);
    add("FtUnitl_readReg8", readReg8, readRuns);
    add("FtTask_sendFrame", sendFrame, frameRuns);
    add("cycle_noFrame", idleCycle, cycleRuns);
    add("cycle_withFrame", frameCycle, cycleRuns);
}

// Opens the second and third parts for the FtUnitl and raw rows. On the
// worker thread, inside the benchmarks' slot.
bool openOwnLinks(FtUnitl &link)
{
    link.listDevices();
    if (link.openByDescription(QString::fromStdString(linkPart + " A")) != FT_OK || !link.initDevice()) {
        std::fprintf(stderr, "bench_paths: cannot open and synchronise %s A\n", linkPart.c_str());
        return false;
    }
    const std::string raw = rawPart + " A";
    if (FT_OpenEx(const_cast<char *>(raw.c_str()), FT_OPEN_BY_DESCRIPTION, &targets.raw) != FT_OK
        || FT_SetBitMode(targets.raw, 0, mcuHostMode) != FT_OK) {
        std::fprintf(stderr, "bench_paths: cannot open %s\n", raw.c_str());
        return false;
    }
    return true;
}

// Runs once, on the worker thread, from the first mouseSpeed of a connected cycle.
void runOnWorker(FtTask *task)
{
    if (started.exchange(true))
        return; // the benchmarks' own pollSpeed calls come back here
    {
        FtUnitl link;
        targets.task = task;
        targets.link = &link;
        if (openOwnLinks(link))
            benchmark::RunSpecifiedBenchmarks();
        else
            failed.store(true);
        if (targets.raw)
            FT_Close(targets.raw);
        targets = Targets();
    }
    finished.store(true, std::memory_order_release);
}

void dropDebugLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The link's discovery lines are expected; anything louder is shown.
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

void writeMarkdown(const std::string &path)
{
    bench::Markdown md;
    md.heading("Host cost of the bus paths (instant pacing)");
    md.paragraph("Each run timed on its own with `std::chrono::steady_clock`; the clock row is the "
                 "timing overhead included in every other row. The FtTask rows run on the worker "
                 "thread inside its own loop (from its `mouseSpeed` signal, direct connection), "
                 "with its link connected.");
    std::vector<std::vector<std::string>> table;
    for (const std::string &name : rowOrder) {
        const Row &row = rows.at(name);
        table.push_back({"`" + name + "`", row.what, std::to_string(row.ns.count),
                         bench::fixed(row.ns.p50 / 1000, 3), bench::fixed(row.ns.p99 / 1000, 3),
                         bench::fixed(row.ns.max / 1000, 1)});
    }
    md.table({"path", "what one run does", "runs", "median µs", "p99 µs", "worst µs"}, table, 2);
    if (!md.save(path))
        std::fprintf(stderr, "bench_paths: cannot write %s\n", path.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    const std::string markdown = bench::option(argc, argv, "markdown", "");
    benchmark::Initialize(&argc, argv);
    qInstallMessageHandler(dropDebugLines);
    QCoreApplication app(argc, argv);

    sim::reset();
    sim::setParts({workerPart, linkPart, rawPart});
    sim::setUsbPacing(sim::UsbPacing::Instant);
    sim::setLogLimit(logLimit);
    registerAll();

    {
        FtTask task;
        QObject::connect(&task, &FtTask::mouseSpeed, &task, [&task](int) { runOnWorker(&task); },
                         Qt::DirectConnection);
        task.start();
        const QDeadlineTimer deadline(runTimeoutMs);
        while (!finished.load(std::memory_order_acquire) && !deadline.hasExpired())
            QThread::msleep(10);
    } // the worker stops at the top of its next cycle, after the benchmarks

    benchmark::Shutdown();
    if (!finished.load(std::memory_order_acquire)) {
        std::fprintf(stderr, "bench_paths: the worker never connected within %d s\n", runTimeoutMs / 1000);
        return 1;
    }
    if (failed.load())
        return 1;
    writeMarkdown(markdown);
    return 0;
}
