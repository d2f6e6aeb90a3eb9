// The connected cycle's period and jitter with a running FtTask on the
// simulated bridge, for each USB pacing of the model. Cycles are marked by the
// indicator writes (bus address 4, one per connected cycle) in the model's bus
// log, whose timestamps are when the part acted on the write.
//
// Beside each figure stands its floor: the 20 ms pause plus the modelled bus
// time of one cycle, i.e. the cycle's FT_Write calls and status reads (each
// read's answer crosses the bus once more) times the bus frame length.
//
// usage: bench_cycle [--cycles N] [--pacing instant,hs,fs] [--markdown FILE]
#include "benchreport.h"
#include "busmap.h"
#include "hostbus.h"
#include "fttask.h"
#include "simcontrol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>

#include <atomic>
#include <cstdio>
#include <ctime>

#include <sys/resource.h>
#include <string>
#include <vector>

namespace {

using namespace bench;

// The worker's pause after each connected cycle.
constexpr double cyclePauseUs = 20000;
// Bound on each run: generous for the slowest pacing (about 25 ms a cycle).
constexpr int perCycleTimeoutMs = 200;
constexpr int connectTimeoutMs = 15000;
// The model's logs in the comparison run: small enough never to grow.
constexpr std::size_t smallLogLimit = 64;

struct Pacing {
    const char *name;
    sim::UsbPacing pacing;
    double frameUs;
};

// Bus frame lengths as the model uses them: none, a high-speed microframe, a full-speed frame.
const Pacing pacings[] = {
    {"instant", sim::UsbPacing::Instant, 0},
    {"hs", sim::UsbPacing::HighSpeed, 125},
    {"fs", sim::UsbPacing::FullSpeed, 1000},
};

struct Result {
    const Pacing *pacing;
    bench::Summary periodUs;
    double writes, reads, queueStatus; // per idle cycle, median over the cycles
    double floorUs;
    bool complete;
    double workerCpuUs; // worker thread's CPU time per cycle
    double workerWaits; // times per cycle the worker thread gave up the CPU (sleeps, waits)
    std::size_t logLimit; // 0: the model's default bounds
};

std::atomic<int> cyclesSeen{0};
// CPU time of the worker thread at the start and end of the counted cycles;
// written on the worker thread, read by main after the worker has ended.
double workerCpuStartNs = 0, workerCpuEndNs = 0;
long workerWaitsStart = 0, workerWaitsEnd = 0;

// Voluntary context switches of the calling thread so far.
long threadWaits()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

double threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

bool isIndicatorWrite(const sim::CallRecord &c)
{
    return c.call == sim::Call::Write && c.bytes.size() == 3 && c.bytes[0] == hostbus::WriteShort
           && c.bytes[1] == indicatorAddress;
}

// `logLimit` other than 0 bounds the model's logs that tightly: the periods
// then cannot be read from the bus log, only the worker's CPU time is measured.
Result measure(const Pacing &p, int cycles, std::size_t logLimit)
{
    sim::reset();
    sim::setUsbPacing(p.pacing);
    if (logLimit)
        sim::setLogLimit(logLimit);
    cyclesSeen.store(0);
    workerCpuStartNs = workerCpuEndNs = 0;
    workerWaitsStart = workerWaitsEnd = 0;
    bool complete;
    {
        FtTask task;
        // Each connected cycle emits mouseSpeed once (its read always answers
        // here), on the worker thread: count cycles and take the worker's CPU
        // time from the second cycle (the first carries the frame) on.
        QObject::connect(&task, &FtTask::mouseSpeed, &task, [cycles](int) {
            const int seen = cyclesSeen.fetch_add(1) + 1;
            if (seen == 2) {
                workerCpuStartNs = threadCpuNs();
                workerWaitsStart = threadWaits();
            } else if (seen == cycles + 2) {
                workerCpuEndNs = threadCpuNs();
                workerWaitsEnd = threadWaits();
            }
        }, Qt::DirectConnection);
        task.start();
        // Two more than asked: the first cycle carries the frame after the
        // register reset and is left out.
        const QDeadlineTimer deadline(connectTimeoutMs + qint64(cycles) * perCycleTimeoutMs);
        while (cyclesSeen.load() < cycles + 2 && !deadline.hasExpired())
            QThread::msleep(20);
        complete = cyclesSeen.load() >= cycles + 2;
    }

    // Periods between consecutive indicator writes, leaving out any that holds a frame.
    const std::vector<sim::BusCycle> bus = sim::busCycles();
    std::vector<double> periods;
    uint64_t lastIndicator = 0;
    bool haveLast = false, frameSince = false;
    for (const sim::BusCycle &c : bus) {
        if (!c.write)
            continue;
        if (c.address == frameEndAddress)
            frameSince = true;
        if (c.address != indicatorAddress)
            continue;
        if (haveLast && !frameSince)
            periods.push_back(double(c.timeUs - lastIndicator));
        lastIndicator = c.timeUs;
        haveLast = true;
        frameSince = false;
    }
    if (int(periods.size()) > cycles)
        periods.resize(size_t(cycles));

    // Driver calls per idle cycle, from one indicator write to the next.
    const std::vector<sim::CallRecord> calls = sim::calls();
    std::vector<double> writes, reads, polls;
    int w = 0, r = 0, q = 0;
    bool counting = false;
    for (const sim::CallRecord &c : calls) {
        if (isIndicatorWrite(c)) {
            if (counting && w < 32) { // fewer than a frame's writes: an idle cycle
                writes.push_back(w);
                reads.push_back(r);
                polls.push_back(q);
            }
            counting = true;
            w = r = q = 0;
        }
        w += c.call == sim::Call::Write;
        r += c.call == sim::Call::Read;
        q += c.call == sim::Call::GetQueueStatus;
    }
    Result result{&p, bench::summarize(periods), bench::summarize(writes).p50, bench::summarize(reads).p50,
                  bench::summarize(polls).p50, 0, complete,
                  (workerCpuEndNs - workerCpuStartNs) / 1000 / cycles,
                  double(workerWaitsEnd - workerWaitsStart) / cycles, logLimit};
    result.floorUs = cyclePauseUs + (result.writes + result.reads) * p.frameUs;
    return result;
}

void dropDebugLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv)
{
    const int cycles = std::stoi(bench::option(argc, argv, "cycles", "500"));
    const QStringList wanted = QString::fromStdString(bench::option(argc, argv, "pacing", "instant,hs,fs")).split(',');
    const std::string markdown = bench::option(argc, argv, "markdown", "");
    qInstallMessageHandler(dropDebugLines);
    QCoreApplication app(argc, argv);

    std::vector<Result> results;
    for (const Pacing &p : pacings) {
        if (!wanted.contains(QLatin1String(p.name)))
            continue;
        std::fprintf(stderr, "bench_cycle: %s, %d cycles...\n", p.name, cycles);
        results.push_back(measure(p, cycles, 0));
        const Result &r = results.back();
        std::fprintf(stderr, "  period p50 %.3f ms  p99 %.3f ms  max %.3f ms  (floor %.3f ms, %zu cycles)\n",
                     r.periodUs.p50 / 1000, r.periodUs.p99 / 1000, r.periodUs.max / 1000, r.floorUs / 1000,
                     r.periodUs.count);
    }
    // The same instant cycles with the model's logs kept tiny: what the
    // logs' growth costs the worker.
    if (wanted.contains(QLatin1String("instant"))) {
        std::fprintf(stderr, "bench_cycle: instant, logs bounded to %zu entries, %d cycles...\n", smallLogLimit,
                     cycles / 2);
        results.push_back(measure(pacings[0], cycles / 2, smallLogLimit));
    }

    bench::Markdown md;
    md.heading("Connected cycle period");
    md.paragraph("A running `FtTask` on the simulated bridge; periods between consecutive indicator "
                 "writes (address 4) in the model's bus log. Floor: the 20 ms pause plus (FT_Write calls "
                 "+ status reads per cycle) × the bus frame length. Idle cycles only (no frame sent).");
    std::vector<std::vector<std::string>> rows;
    bool allComplete = true;
    std::vector<std::vector<std::string>> cpuRows;
    for (const Result &r : results) {
        allComplete = allComplete && r.complete;
        const std::string name = r.logLimit ? std::string(r.pacing->name) + ", model logs bounded to "
                                                  + std::to_string(r.logLimit) + " entries"
                                            : std::string(r.pacing->name);
        cpuRows.push_back({name, bench::fixed(r.workerCpuUs, 1), bench::fixed(r.workerWaits, 1)});
        if (r.logLimit)
            continue;
        rows.push_back({r.pacing->name, std::to_string(r.periodUs.count), bench::fixed(r.periodUs.min / 1000, 3),
                        bench::fixed(r.periodUs.p50 / 1000, 3), bench::fixed(r.periodUs.p99 / 1000, 3),
                        bench::fixed(r.periodUs.max / 1000, 3), bench::fixed(r.floorUs / 1000, 3),
                        bench::fixed((r.periodUs.p50 - r.floorUs) / 1000, 3),
                        bench::fixed(r.writes, 0) + " / " + bench::fixed(r.reads, 0) + " / "
                            + bench::fixed(r.queueStatus, 0)});
    }
    md.table({"pacing", "cycles", "min ms", "p50 ms", "p99 ms", "max ms", "floor ms", "p50 − floor ms",
              "FT_Write / FT_Read / FT_GetQueueStatus per cycle"},
             rows);
    md.paragraph("CPU time of the worker thread per connected idle cycle (`CLOCK_THREAD_CPUTIME_ID`, "
                 "read on the worker thread itself) and how often per cycle it gave up the CPU (voluntary "
                 "context switches: its sleeps, the model's paced writes), with the model's default log "
                 "bounds and, for comparison, with its call and bus logs kept tiny:");
    md.table({"run", "worker CPU µs per cycle", "worker waits per cycle"}, cpuRows);
    if (!md.save(markdown))
        std::fprintf(stderr, "bench_cycle: cannot write %s\n", markdown.c_str());
    return allComplete ? 0 : 1;
}
