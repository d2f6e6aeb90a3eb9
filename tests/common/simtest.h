// For the suites of the link, the worker and the window on the simulated bridge: every thread's
// debug log kept for the test, begin() and end() around each test function, bounded waits.
#pragma once

#include "simcontrol.h"

#include <QtTest>

#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace simtest {

// Bound of every wait on the worker (ms): sanitizer builds are slow; a failed attempt costs 1 s.
constexpr int timeoutMs = 20000;
const std::string portA = "Sim Bridge A";

inline std::mutex logMutex; // guards lines and onLine
inline QStringList lines;   // debug lines as logged, warnings as "warning: <text>"
// Called at each debug line on the thread that logs it, unlocked: a test acts mid-operation.
inline std::function<void(const QString &)> onLine;
inline QtMessageHandler qtTestHandler = nullptr;

inline void capture(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    // Fatal and info messages go to Qt Test; Qt's offscreen platform says this at every shown window.
    if (type >= QtFatalMsg || text == QLatin1String("This plugin does not support propagateSizeHints()"))
        return qtTestHandler(type, context, text);
    std::unique_lock<std::mutex> lock(logMutex);
    lines << (type == QtDebugMsg ? text : QStringLiteral("warning: ") + text);
    const std::function<void(const QString &)> hook = type == QtDebugMsg ? onLine : nullptr;
    lock.unlock();
    if (hook)
        hook(text);
}

// Not shared: a logging thread may grow `lines` while the caller lets its copy go.
inline QStringList log()
{
    std::lock_guard<std::mutex> lock(logMutex);
    return QStringList(lines.cbegin(), lines.cend());
}

// Starts a test: the model as at start-up (its client faults cleared too), nothing logged.
inline void begin()
{
    if (!qtTestHandler)
        qtTestHandler = qInstallMessageHandler(capture);
    sim::reset();
    std::lock_guard<std::mutex> lock(logMutex);
    lines.clear();
    onLine = nullptr;
}

// Runs `work` on a thread of its own; if it has not returned within timeoutMs, ends the run naming
// `rule`: a hang shows as the rule it breaks, not as the suite's time-out.
inline void within(const char *rule, const std::function<void()> &work)
{
    std::packaged_task<void()> job(work);
    std::future<void> done = job.get_future();
    std::thread runner(std::move(job));
    if (done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::timeout)
        qFatal("%s: still waiting after %d ms", rule, timeoutMs);
    runner.join();
}

// Waits until a worker has written the indicator (a cycle's last step) n more times.
inline bool cyclesPass(int n)
{
    const auto cycles = [] {
        const std::vector<sim::BusCycle> bus = sim::busCycles();
        return std::count_if(bus.begin(), bus.end(), [](const sim::BusCycle &c) { return c.write && c.address == 4; });
    };
    const auto until = cycles() + n;
    return QTest::qWaitFor([&] { return cycles() >= until; }, timeoutMs);
}

// Ends a test, failing it on what the program did wrong that no test looks for: a warning, or a
// call the part would hang on or refuse (as the model records them).
inline void end()
{
    QStringList found = log().filter(QRegularExpression(QStringLiteral("^warning: ")));
    for (const std::string &fault : sim::clientFaults())
        found << QString::fromStdString(fault);
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
}

} // namespace simtest
