// Operator action to frame: the real Tavrel window (offscreen), its fields
// set and its write action taken at random moments; from onBtnWrite returning
// to the frame's last write (bus address 3) reaching the simulated device,
// both on the model's clock.
//
// Floor: the worker takes a send request at the top of its next connected
// cycle, so an action waits up to one cycle for it, and then for the frame's
// 32 writes. Actions spread evenly over the cycle give a median of about half
// a cycle.
//
// usage: bench_action [--actions N] [--pacing instant,hs,fs] [--markdown FILE]
#include "benchreport.h"
#include "busmap.h"
#include "simcontrol.h"
#include "tavrel.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace bench;

// Idle cycles watched to learn the cycle's period before the actions.
constexpr int periodSampleCycles = 16;
// Bounds of the waits on the worker.
constexpr int connectTimeoutMs = 15000;
constexpr int frameTimeoutMs = 2000;

// Keeps the window's event loop turning until `done` or the time-out.
template <typename Condition>
bool waitFor(Condition done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(200);
    }
    return true;
}

// Keeps the window's event loop turning for `us` microseconds.
void pause(qint64 us)
{
    QElapsedTimer elapsed;
    elapsed.start();
    waitFor([&] { return elapsed.nsecsElapsed() >= us * 1000; }, int(us / 1000) + 1000);
}

// Indicator writes in the bus log so far.
std::vector<uint64_t> indicatorTimes()
{
    std::vector<uint64_t> times;
    for (const sim::BusCycle &c : sim::busCycles()) {
        if (c.write && c.address == indicatorAddress)
            times.push_back(c.timeUs);
    }
    return times;
}

// The median period of idle connected cycles, from the model's bus log.
double idlePeriodUs()
{
    sim::clearLogs();
    if (!waitFor([] { return indicatorTimes().size() > size_t(periodSampleCycles); }, connectTimeoutMs))
        return 0;
    const std::vector<uint64_t> times = indicatorTimes();
    std::vector<double> periods;
    for (size_t i = 1; i < times.size(); ++i)
        periods.push_back(double(times[i] - times[i - 1]));
    return bench::summarize(periods).p50;
}

void dropDebugLines(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The link's discovery lines are expected, and so is the offscreen
    // platform's notice about a feature it lacks; anything else is shown.
    if (type == QtDebugMsg || message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

struct Pacing {
    const char *name;
    sim::UsbPacing pacing;
    double frameUs; // the model's bus frame: none, a high-speed microframe, a full-speed frame
};
const Pacing pacings[] = {
    {"instant", sim::UsbPacing::Instant, 0},
    {"hs", sim::UsbPacing::HighSpeed, 125},
    {"fs", sim::UsbPacing::FullSpeed, 1000},
};

// A frame is 32 FT_Write calls; an idle cycle 3 FT_Write calls and 2 reads,
// each read's answer crossing the bus once more; then the 20 ms pause.
constexpr double frameWrites = 32;
constexpr double idleCycleTransfers = 5;
constexpr double cyclePauseUs = 20000;

struct Result {
    const Pacing *pacing;
    double periodUs = 0; // the idle cycle as measured before the actions
    bench::Summary us;
    int missed = 0, wrongFrames = 0;
    bool connected = false;
};

Result measure(const Pacing &p, int actions)
{
    Result result{&p, 0, {}, 0, 0, false};
    sim::reset();
    sim::setUsbPacing(p.pacing);
    QRandomGenerator random(20240601); // fixed seed: the same moments on every run
    std::vector<double> latencies;

    Tavrel window;
    window.show();
    QLineEdit *index = window.findChild<QLineEdit *>(QStringLiteral("lineEdit"));
    QLineEdit *value = window.findChild<QLineEdit *>(QStringLiteral("lineEdit_2"));
    if (!index || !value) {
        std::fprintf(stderr, "bench_action: the window has no lineEdit / lineEdit_2\n");
        return result;
    }
    if (!waitFor([] { return sim::framesShown() >= 1; }, connectTimeoutMs)) {
        std::fprintf(stderr, "bench_action: the worker never sent its first frame\n");
        return result;
    }
    result.connected = true;
    // Each action follows the previous one's frame, which went out at the top
    // of a cycle; a pause drawn evenly from one cycle period puts the actions
    // evenly over the phases of the worker's cycle.
    result.periodUs = idlePeriodUs();
    if (result.periodUs <= 0) {
        std::fprintf(stderr, "bench_action: no idle cycles to learn the period from\n");
        result.connected = false;
        return result;
    }

    for (int i = 0; i < actions; ++i) {
        pause(qint64(random.bounded(result.periodUs)));
        const int position = int(random.bounded(imageSize));
        const quint8 byte = quint8(random.bounded(256));
        index->setText(QString::number(position));
        value->setText(QString::number(byte, 16));
        sim::clearLogs(); // only this action's traffic is searched below
        const int framesBefore = sim::framesShown();

        window.onBtnWrite();
        const uint64_t returnedUs = sim::nowUs();

        if (!waitFor([framesBefore] { return sim::framesShown() > framesBefore; }, frameTimeoutMs)) {
            ++result.missed;
            continue;
        }
        bool found = false;
        for (const sim::BusCycle &c : sim::busCycles()) {
            if (c.write && c.address == frameEndAddress && c.timeUs >= returnedUs) {
                latencies.push_back(double(c.timeUs - returnedUs));
                found = true;
                break;
            }
        }
        result.missed += !found;
        result.wrongFrames += sim::shownFrame()[size_t(position)] != byte;
    }
    result.us = bench::summarize(latencies);
    return result; // the window's destructor stops the worker
}

} // namespace

int main(int argc, char **argv)
{
    const int actions = std::stoi(bench::option(argc, argv, "actions", "300"));
    const QStringList wanted = QString::fromStdString(bench::option(argc, argv, "pacing", "instant")).split(',');
    const std::string markdown = bench::option(argc, argv, "markdown", "");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt wants a private runtime directory; give it one if the caller did not.
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtime.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qInstallMessageHandler(dropDebugLines);
    QApplication app(argc, argv);

    std::vector<Result> results;
    bool ok = true;
    for (const Pacing &p : pacings) {
        if (!wanted.contains(QLatin1String(p.name)))
            continue;
        std::fprintf(stderr, "bench_action: %s, %d actions...\n", p.name, actions);
        results.push_back(measure(p, actions));
        const Result &r = results.back();
        std::fprintf(stderr, "  p50 %.3f ms  p99 %.3f ms  max %.3f ms  (missed %d, wrong %d)\n", r.us.p50 / 1000,
                     r.us.p99 / 1000, r.us.max / 1000, r.missed, r.wrongFrames);
        ok = ok && r.connected && !r.missed && !r.wrongFrames;
    }

    bench::Markdown md;
    md.heading("Operator action to frame");
    md.paragraph("The real `Tavrel` window offscreen; index and value fields set, `onBtnWrite` called at "
                 "random moments (after each frame, a pause drawn evenly from 0 to one measured idle cycle, "
                 "so that actions fall evenly over the worker's cycle); latency from its return to the "
                 "frame's write to address 3 reaching the device, on the model's clock. Floor: the request "
                 "waits from 0 up to one idle cycle (20 ms + 5 transfers) for the top of the next cycle, "
                 "then the frame's 32 writes; actions spread evenly over the cycle give a median of about "
                 "half the measured cycle plus the frame.");
    std::vector<std::vector<std::string>> rows;
    for (const Result &r : results) {
        const double frameUs = frameWrites * r.pacing->frameUs;
        const double cycleUs = cyclePauseUs + idleCycleTransfers * r.pacing->frameUs;
        rows.push_back({r.pacing->name, std::to_string(r.us.count), bench::fixed(r.us.min / 1000, 3),
                        bench::fixed(r.us.p50 / 1000, 3), bench::fixed(r.us.p99 / 1000, 3),
                        bench::fixed(r.us.max / 1000, 3),
                        bench::fixed(frameUs / 1000, 1) + " – " + bench::fixed((cycleUs + frameUs) / 1000, 1),
                        bench::fixed(r.periodUs / 1000, 3), bench::fixed((r.periodUs / 2 + frameUs) / 1000, 1),
                        r.missed + r.wrongFrames == 0 ? "all" : std::to_string(r.missed + r.wrongFrames) + " not"});
    }
    md.table({"pacing", "actions", "min ms", "p50 ms", "p99 ms", "max ms", "floor range ms", "measured cycle ms",
              "expected p50 ms",
              "frames carried the byte"},
             rows);
    if (!md.save(markdown))
        std::fprintf(stderr, "bench_action: cannot write %s\n", markdown.c_str());
    return ok ? 0 : 1;
}
