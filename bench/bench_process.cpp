// Whole-program figures of the real `tavrel` binary, each beside the same
// figure of a minimal Qt widgets program (an empty 600x400 main window,
// bench_minimal_qt) measured in the same run:
//   start-up: from spawning the process to the first frame on the simulated
//     device (the first "frame" line of its TAVREL_SIM_TRACE file), offscreen;
//     for the minimal program, to its event loop running;
//   CPU use over a window of wall time, offscreen, connected and with no
//     bridge attached, as a share of one core;
//   peak memory (VmHWM) of those runs;
//   close to exit: from the window manager's close request to the process's
//     end, on a private X server (Xvfb), connected and with no bridge.
//
// Closing is done as a user's window manager does it: a WM_DELETE_WINDOW
// client message to the top-level window (the same message as
// tests/app/wmclose.c sends), but sent from this process through Xlib rather
// than by starting that helper, so that the figure holds no process start-up
// and X connection of a helper.
//
// usage: bench_process [--tavrel PATH] [--minimal PATH] [--runs N]
//                      [--close-runs N] [--cpu-seconds S] [--markdown FILE]
#include "benchreport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef TAVREL_BENCH_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Env = std::vector<std::pair<std::string, std::string>>;

#ifndef TAVREL_BENCH_TAVREL
#define TAVREL_BENCH_TAVREL "tavrel"
#endif
#ifndef TAVREL_BENCH_MINIMAL
#define TAVREL_BENCH_MINIMAL "bench_minimal_qt"
#endif

// Spacing of every polling loop below (trace file, pipe, process end, window).
constexpr auto pollStep = std::chrono::microseconds(200);
// Bounds of the waits.
constexpr int startTimeoutMs = 20000;  // spawn until first frame / ready / window
constexpr int exitTimeoutMs = 10000;   // close request or SIGTERM until the process has gone
constexpr int displayTimeoutMs = 10000; // Xvfb until it names its display
// With no way to see the connection without tracing (which costs CPU), the
// CPU window opens this long after spawning: the simulated bridge connects
// within a few tens of ms.
constexpr int settleMs = 1500;
// The close request lands at a moment drawn evenly from this range after the
// window is up (and connected): longer than the 1 s retry sleep, so every
// phase of the worker's cycle and of its retry pause is met.
constexpr int maxCloseDelayMs = 1000;

double msSince(Clock::time_point begin)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

void sleepStep()
{
    std::this_thread::sleep_for(pollStep);
}

// --- child processes -------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int out = -1; // read end of the child's stdout, when captured
    Clock::time_point spawned;
};

Child spawn(const std::vector<std::string> &argv, const Env &overrides, bool captureOut, const std::string &errLog)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(overrides.begin(), overrides.end(),
                                          [&](const auto &o) { return o.first == name; });
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto &o : overrides)
        env.push_back(o.first + "=" + o.second);
    std::vector<char *> envp, args;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string &a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (captureOut && pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    Child child;
    child.spawned = Clock::now();
    child.pid = fork();
    if (child.pid == 0) {
        const int devNull = open("/dev/null", O_RDWR);
        const int err = errLog.empty() ? devNull : open(errLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(devNull, 0);
        dup2(captureOut ? pipeFds[1] : devNull, 1);
        dup2(err >= 0 ? err : devNull, 2);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (captureOut) {
        close(pipeFds[1]);
        child.out = pipeFds[0];
        fcntl(child.out, F_SETFL, O_NONBLOCK);
    }
    return child;
}

// Waits for the child's end; false if it did not end in time.
bool reap(Child &child, int timeoutMs, int *status = nullptr)
{
    const Clock::time_point begin = Clock::now();
    for (;;) {
        int s = 0;
        const pid_t r = waitpid(child.pid, &s, WNOHANG);
        if (r == child.pid || (r < 0 && errno == ECHILD)) {
            if (status)
                *status = s;
            child.pid = -1;
            if (child.out >= 0)
                close(child.out);
            child.out = -1;
            return true;
        }
        if (msSince(begin) > timeoutMs)
            return false;
        sleepStep();
    }
}

// Ends a child that was only measured, not closed: SIGTERM, then SIGKILL.
void terminate(Child &child)
{
    if (child.pid <= 0)
        return;
    kill(child.pid, SIGTERM);
    if (!reap(child, exitTimeoutMs)) {
        kill(child.pid, SIGKILL);
        reap(child, exitTimeoutMs);
    }
}

// Reads the child's stdout until a line "ready" arrives.
bool waitReady(Child &child, int timeoutMs)
{
    std::string seen;
    char buffer[256];
    const Clock::time_point begin = Clock::now();
    while (msSince(begin) < timeoutMs) {
        const ssize_t n = read(child.out, buffer, sizeof buffer);
        if (n > 0) {
            seen.append(buffer, size_t(n));
            if (seen.find("ready\n") != std::string::npos)
                return true;
            continue;
        }
        sleepStep();
    }
    return false;
}

// --- the simulated bridge's trace ------------------------------------------

// Follows a TAVREL_SIM_TRACE file as it grows.
class TraceFollower
{
public:
    explicit TraceFollower(std::string path)
        : m_path(std::move(path))
    {
    }

    // Reads what was appended; true once a line with this event has been seen.
    // `timeUs` gets that line's model timestamp.
    bool seen(const std::string &event, uint64_t *timeUs = nullptr)
    {
        std::ifstream file(m_path, std::ios::binary);
        if (!file)
            return false;
        file.seekg(std::streamoff(m_offset));
        std::string chunk((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        m_offset += chunk.size();
        m_partial += chunk;
        size_t end;
        while ((end = m_partial.find('\n')) != std::string::npos) {
            const std::string line = m_partial.substr(0, end);
            m_partial.erase(0, end + 1);
            std::istringstream fields(line);
            uint64_t time = 0;
            std::string name;
            fields >> time >> name;
            if (!m_times.count(name))
                m_times[name] = time;
        }
        const auto it = m_times.find(event);
        if (it == m_times.end())
            return false;
        if (timeUs)
            *timeUs = it->second;
        return true;
    }

private:
    std::string m_path;
    size_t m_offset = 0;
    std::string m_partial;
    std::map<std::string, uint64_t> m_times; // first time of each event
};

bool waitTrace(TraceFollower &trace, const std::string &event, int timeoutMs, uint64_t *timeUs = nullptr)
{
    const Clock::time_point begin = Clock::now();
    while (!trace.seen(event, timeUs)) {
        if (msSince(begin) > timeoutMs)
            return false;
        sleepStep();
    }
    return true;
}

// --- /proc ------------------------------------------------------------------

// CPU time of the process's threads so far, in ns (the scheduler's own
// accounting, finer than the clock ticks of /proc/<pid>/stat): all of them,
// or only the main (GUI) thread, whose thread id is the process id.
double cpuNs(pid_t pid, bool mainThreadOnly = false)
{
    double total = 0;
    std::error_code ec;
    for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        if (mainThreadOnly && task.path().filename() != std::to_string(pid))
            continue;
        std::ifstream stat(task.path() / "schedstat");
        double ns = 0;
        if (stat >> ns)
            total += ns;
    }
    return total;
}

// utime + stime of /proc/<pid>/stat in clock ticks, as a cross-check.
double cpuTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')'); // the command name may hold spaces
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stod(field);
        if (i == 15)
            stime = std::stod(field);
    }
    return utime + stime;
}

// A "Vm...:" line of /proc/<pid>/status, in KiB.
double statusKb(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stod(line.substr(field.size() + 1));
    }
    return 0;
}

double vmHwmKb(pid_t pid)
{
    return statusKb(pid, "VmHWM");
}

// --- what is measured -------------------------------------------------------

struct Paths {
    std::string tavrel, minimal;
    fs::path tmp;
};

const Env offscreen = {{"QT_QPA_PLATFORM", "offscreen"}};

Env with(Env env, const Env &more)
{
    env.insert(env.end(), more.begin(), more.end());
    return env;
}

// The simulated bridge attached, or not (set but empty), with instant pacing.
const Env bridge = {{"TAVREL_SIM_DEVICES", "Sim Bridge"}, {"TAVREL_SIM_USB", "instant"}};
const Env noBridge = {{"TAVREL_SIM_DEVICES", ""}, {"TAVREL_SIM_USB", "instant"}};

struct StartUp {
    std::vector<double> tavrelMs, openToFrameMs, minimalMs, labelMs;
};

StartUp measureStartUp(const Paths &p, int runs)
{
    StartUp result;
    // One untimed run of each first, so that no figure holds cold caches.
    for (int run = -1; run < runs; ++run) {
        const std::string tracePath = (p.tmp / ("startup-" + std::to_string(run + 1) + ".trace")).string();
        fs::remove(tracePath);
        TraceFollower trace(tracePath);
        Child tavrel = spawn({p.tavrel}, with(with(offscreen, bridge), {{"TAVREL_SIM_TRACE", tracePath}}), false,
                             (p.tmp / "tavrel-startup.log").string());
        uint64_t frameUs = 0, openUs = 0;
        const bool framed = waitTrace(trace, "frame", startTimeoutMs, &frameUs);
        const double tavrelMs = msSince(tavrel.spawned);
        trace.seen("open", &openUs);
        terminate(tavrel);

        Child minimal = spawn({p.minimal}, offscreen, true, "");
        bool ready = waitReady(minimal, startTimeoutMs);
        const double minimalMs = msSince(minimal.spawned);
        terminate(minimal);

        Child label = spawn({p.minimal, "--label"}, offscreen, true, "");
        ready = waitReady(label, startTimeoutMs) && ready;
        const double labelMs = msSince(label.spawned);
        terminate(label);

        if (!framed || !ready) {
            std::fprintf(stderr, "bench_process: start-up run %d: %s\n", run + 1,
                         !framed ? "tavrel sent no frame" : "the minimal program never got ready");
            continue;
        }
        if (run < 0)
            continue;
        result.tavrelMs.push_back(tavrelMs);
        result.openToFrameMs.push_back(double(frameUs - openUs) / 1000);
        result.minimalMs.push_back(minimalMs);
        result.labelMs.push_back(labelMs);
    }
    return result;
}

struct Usage {
    double cpuMs = 0, guiCpuMs = 0, wallMs = 0, ticks = 0, hwmKb = 0, rssGrowthKb = 0;
    double share() const { return wallMs > 0 ? cpuMs / wallMs : 0; }
};

// The three programs side by side for the same window of wall time.
std::vector<Usage> measureUsage(const Paths &p, int seconds)
{
    std::vector<Child> children = {
        spawn({p.tavrel}, with(offscreen, bridge), false, ""),
        spawn({p.tavrel}, with(offscreen, noBridge), false, ""),
        spawn({p.minimal}, offscreen, true, ""),
    };
    waitReady(children[2], startTimeoutMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));

    std::vector<Usage> usage(children.size());
    std::vector<double> cpu0, gui0, ticks0, rss0;
    const Clock::time_point begin = Clock::now();
    for (const Child &c : children) {
        cpu0.push_back(cpuNs(c.pid));
        gui0.push_back(cpuNs(c.pid, true));
        ticks0.push_back(cpuTicks(c.pid));
        rss0.push_back(statusKb(c.pid, "VmRSS"));
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wallMs = msSince(begin);
    for (size_t i = 0; i < children.size(); ++i) {
        usage[i].cpuMs = (cpuNs(children[i].pid) - cpu0[i]) / 1e6;
        usage[i].guiCpuMs = (cpuNs(children[i].pid, true) - gui0[i]) / 1e6;
        usage[i].rssGrowthKb = statusKb(children[i].pid, "VmRSS") - rss0[i];
        usage[i].ticks = cpuTicks(children[i].pid) - ticks0[i];
        usage[i].wallMs = wallMs;
        usage[i].hwmKb = vmHwmKb(children[i].pid);
    }
    for (Child &c : children)
        terminate(c);
    return usage;
}

#ifdef TAVREL_BENCH_HAVE_X11

int ignoreXErrors(Display *, XErrorEvent *)
{
    return 0; // a window may go between listing it and asking about it
}

// The viewable top-level window of `pid` titled `title`, or 0.
Window findWindow(Display *dpy, pid_t pid, const char *title)
{
    const Atom pidAtom = XInternAtom(dpy, "_NET_WM_PID", False);
    Window root, parent, *children = nullptr, found = 0;
    unsigned int count = 0;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(dpy, children[i], &attributes) || attributes.map_state != IsViewable)
            continue;
        char *name = nullptr;
        const bool titled = XFetchName(dpy, children[i], &name) && name && std::strcmp(name, title) == 0;
        if (name)
            XFree(name);
        if (!titled)
            continue;
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(dpy, children[i], pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                               &data) == Success && data && items == 1) {
            if (pid_t(*reinterpret_cast<unsigned long *>(data)) == pid)
                found = children[i];
        }
        if (data)
            XFree(data);
    }
    if (children)
        XFree(children);
    return found;
}

// What a window manager sends when the user clicks the close button.
void sendDeleteWindow(Display *dpy, Window window)
{
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, window, False, NoEventMask, &event);
    XFlush(dpy);
}

struct Close {
    std::vector<double> connectedMs, noBridgeMs, minimalMs, labelMs;
    std::vector<double> tavrelWindowMs, minimalWindowMs; // spawn to window viewable
    double tavrelHwmKb = 0, minimalHwmKb = 0;
    int failures = 0;
    std::string skipped; // why, when not measured
};

Close measureClose(const Paths &p, int runs)
{
    Close result;
    int displayPipe[2];
    if (pipe(displayPipe) != 0) {
        result.skipped = "no pipe for Xvfb";
        return result;
    }
    // Xvfb picks a free display and writes its number to the descriptor we name.
    Child xvfb;
    xvfb.pid = fork();
    if (xvfb.pid == 0) {
        close(displayPipe[0]);
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        const std::string fd = std::to_string(displayPipe[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(displayPipe[1]);
    fcntl(displayPipe[0], F_SETFL, O_NONBLOCK);
    std::string number;
    const Clock::time_point begin = Clock::now();
    while (number.find('\n') == std::string::npos && msSince(begin) < displayTimeoutMs) {
        char buffer[32];
        const ssize_t n = read(displayPipe[0], buffer, sizeof buffer);
        if (n > 0)
            number.append(buffer, size_t(n));
        else if (n == 0)
            break; // Xvfb closed it: it did not start
        else
            sleepStep();
    }
    close(displayPipe[0]);
    if (number.find('\n') == std::string::npos) {
        terminate(xvfb);
        result.skipped = "Xvfb did not start (Debian package xvfb)";
        return result;
    }
    const std::string display = ":" + number.substr(0, number.find('\n'));
    Display *dpy = XOpenDisplay(display.c_str());
    if (!dpy) {
        terminate(xvfb);
        result.skipped = "cannot open the Xvfb display";
        return result;
    }
    XSetErrorHandler(ignoreXErrors);
    const Env x11 = {{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", display}};

    std::mt19937 random(20240601); // fixed seed: the same moments on every run
    std::uniform_int_distribution<int> delayMs(0, maxCloseDelayMs - 1);
    enum Kind { Connected, NoBridge, Minimal, MinimalLabel };
    for (int run = 0; run < runs; ++run) {
        for (Kind kind : {Connected, NoBridge, Minimal, MinimalLabel}) {
            const bool isTavrel = kind == Connected || kind == NoBridge;
            const std::string tracePath = (p.tmp / "close.trace").string();
            fs::remove(tracePath);
            TraceFollower trace(tracePath);
            Env env = x11;
            if (kind == Connected)
                env = with(with(env, bridge), {{"TAVREL_SIM_TRACE", tracePath}});
            else if (kind == NoBridge)
                env = with(env, noBridge);
            std::vector<std::string> command = {isTavrel ? p.tavrel : p.minimal};
            if (kind == MinimalLabel)
                command.push_back("--label");
            Child child = spawn(command, env, !isTavrel, (p.tmp / "close-child.log").string());
            Window window = 0;
            while (!(window = findWindow(dpy, child.pid, isTavrel ? "Tavrel" : "Minimal"))
                   && msSince(child.spawned) < startTimeoutMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const double windowMs = msSince(child.spawned);
            if (!window || (kind == Connected && !waitTrace(trace, "frame", startTimeoutMs))) {
                std::fprintf(stderr, "bench_process: close run %d: no %s\n", run + 1,
                             window ? "frame" : "window");
                ++result.failures;
                terminate(child);
                continue;
            }
            if (kind == Connected)
                result.tavrelWindowMs.push_back(windowMs);
            if (kind == Minimal)
                result.minimalWindowMs.push_back(windowMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
            if (kind == Connected)
                result.tavrelHwmKb = std::max(result.tavrelHwmKb, vmHwmKb(child.pid));
            if (kind == Minimal)
                result.minimalHwmKb = std::max(result.minimalHwmKb, vmHwmKb(child.pid));

            const Clock::time_point closed = Clock::now();
            sendDeleteWindow(dpy, window);
            int status = -1;
            const bool ended = reap(child, exitTimeoutMs, &status);
            const double ms = msSince(closed);
            if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                std::fprintf(stderr, "bench_process: close run %d: %s\n", run + 1,
                             ended ? "did not exit with status 0" : "still running after the close request");
                ++result.failures;
                terminate(child);
                continue;
            }
            std::vector<double> *samples[] = {&result.connectedMs, &result.noBridgeMs, &result.minimalMs,
                                              &result.labelMs};
            samples[kind]->push_back(ms);
        }
    }
    XCloseDisplay(dpy);
    terminate(xvfb);
    return result;
}

#endif // TAVREL_BENCH_HAVE_X11

std::string ratio(double a, double b)
{
    return b > 0 ? bench::fixed(a / b, 2) + "×" : "–";
}

// A row of timings with its median beside the medians of the references
// (none given: the row is itself a reference or a part of another row).
std::vector<std::string> timingRow(const std::string &what, const std::vector<double> &ms,
                                   const std::vector<double> &referenceP50s)
{
    const bench::Summary s = bench::summarize(ms);
    std::vector<std::string> row = {what, std::to_string(s.count), bench::fixed(s.min, 1), bench::fixed(s.p50, 1),
                                    bench::fixed(s.max, 1)};
    for (double reference : referenceP50s)
        row.push_back(ratio(s.p50, reference));
    return row;
}

std::vector<std::string> timingRow(const std::string &what, const std::vector<double> &ms)
{
    return timingRow(what, ms, {});
}

} // namespace

int main(int argc, char **argv)
{
    Paths paths;
    paths.tavrel = bench::option(argc, argv, "tavrel", TAVREL_BENCH_TAVREL);
    paths.minimal = bench::option(argc, argv, "minimal", TAVREL_BENCH_MINIMAL);
    const int runs = std::stoi(bench::option(argc, argv, "runs", "10"));
    const int closeRuns = std::stoi(bench::option(argc, argv, "close-runs", "10"));
    const int cpuSeconds = std::stoi(bench::option(argc, argv, "cpu-seconds", "10"));
    const std::string markdown = bench::option(argc, argv, "markdown", "");
    for (const std::string &program : {paths.tavrel, paths.minimal}) {
        if (access(program.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "bench_process: no program at %s\n", program.c_str());
            return 1;
        }
    }
    char tmpTemplate[] = "/tmp/tavrel-bench.XXXXXX";
    if (!mkdtemp(tmpTemplate)) {
        std::perror("bench_process: mkdtemp");
        return 1;
    }
    paths.tmp = tmpTemplate;
    // Qt wants a private runtime directory; every child inherits this one.
    const fs::path runtime = paths.tmp / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);

    bench::Markdown md;

    std::fprintf(stderr, "bench_process: start-up, %d runs each...\n", runs);
    const StartUp startUp = measureStartUp(paths, runs);
    const std::vector<double> startReferences = {bench::summarize(startUp.minimalMs).p50,
                                                 bench::summarize(startUp.labelMs).p50};
    md.heading("Start-up");
    md.paragraph("From spawning the process (offscreen platform) to the first frame on the simulated "
                 "device (first `frame` line of its trace); for the minimal program (empty, and with one "
                 "text label), to its event loop running. One untimed run of each first. The trace's own "
                 "clock gives the part from opening the bridge to the first frame.");
    md.table({"what", "runs", "min ms", "p50 ms", "max ms", "p50 vs minimal", "vs minimal with label"},
             {timingRow("`tavrel`: spawn → first frame on the device", startUp.tavrelMs, startReferences),
              timingRow("… of which: bridge opened → first frame (trace clock)", startUp.openToFrameMs),
              timingRow("minimal Qt program: spawn → event loop running", startUp.minimalMs),
              timingRow("minimal with one label: spawn → event loop running", startUp.labelMs)});

    std::fprintf(stderr, "bench_process: CPU and memory over %d s...\n", cpuSeconds);
    const std::vector<Usage> usage = measureUsage(paths, cpuSeconds);
    md.heading("CPU use and peak memory");
    md.paragraph("The three programs side by side for the same " + std::to_string(cpuSeconds) +
                 " s of wall time (offscreen platform, no trace), starting " +
                 std::to_string(settleMs) + " ms after spawning. CPU from the scheduler's per-thread "
                 "accounting (`/proc/<pid>/task/*/schedstat`), as a share of one core, and the part of it "
                 "spent on the GUI (main) thread; the clock ticks of `/proc/<pid>/stat` (utime + stime) "
                 "beside it. Peak memory: `VmHWM` at the end; RSS growth: `VmRSS` at the end less at "
                 "the start of the window.");
    const char *names[] = {"`tavrel`, connected (instant pacing)", "`tavrel`, no bridge attached",
                           "minimal Qt program"};
    std::vector<std::vector<std::string>> usageRows;
    for (size_t i = 0; i < usage.size(); ++i) {
        usageRows.push_back({names[i], bench::fixed(usage[i].cpuMs, 1), bench::fixed(usage[i].guiCpuMs, 1),
                             bench::fixed(usage[i].ticks, 0), bench::fixed(100 * usage[i].share(), 3),
                             bench::fixed(usage[i].hwmKb / 1024, 1), ratio(usage[i].hwmKb, usage[2].hwmKb),
                             bench::fixed(usage[i].rssGrowthKb * 1000 / usage[i].wallMs, 1)});
    }
    md.table({"program", "CPU ms", "of which GUI thread ms", "ticks", "% of one core", "peak MiB (VmHWM)",
              "peak vs minimal", "RSS growth KiB/s"},
             usageRows);

#ifdef TAVREL_BENCH_HAVE_X11
    std::fprintf(stderr, "bench_process: close to exit under Xvfb, %d runs each...\n", closeRuns);
    const Close close = measureClose(paths, closeRuns);
    md.heading("Close to exit");
    if (!close.skipped.empty()) {
        md.paragraph("Not measured: " + close.skipped + ".");
    } else {
        const std::vector<double> closeReferences = {bench::summarize(close.minimalMs).p50,
                                                     bench::summarize(close.labelMs).p50};
        md.paragraph("On a private X server (Xvfb, xcb platform): the window manager's close request "
                     "(WM_DELETE_WINDOW, sent through Xlib by the driver) at a moment drawn evenly from "
                     "0–1 s after the window is up (and, connected, after the first frame), to the "
                     "process's end (exit status 0). Failed runs: " + std::to_string(close.failures) + ". "
                     "The empty window never draws text, so Qt loads its font configuration during its "
                     "teardown, inside this figure; `tavrel` and the labelled window do that at start-up. "
                     "The labelled window is the fair yardstick here.");
        md.table({"what", "runs", "min ms", "p50 ms", "max ms", "p50 vs minimal", "vs minimal with label"},
                 {timingRow("`tavrel`, connected", close.connectedMs, closeReferences),
                  timingRow("`tavrel`, no bridge attached", close.noBridgeMs, closeReferences),
                  timingRow("minimal Qt program", close.minimalMs),
                  timingRow("minimal with one label", close.labelMs)});
        const std::vector<double> minimalWindowP50 = {bench::summarize(close.minimalWindowMs).p50};
        md.paragraph("By-products of the same runs (xcb): spawn → window viewable, and peak memory "
                     "(`VmHWM`) just before the close request.");
        md.table({"what", "runs", "min ms", "p50 ms", "max ms", "p50 vs minimal"},
                 {timingRow("`tavrel`: spawn → window viewable", close.tavrelWindowMs, minimalWindowP50),
                  timingRow("minimal Qt program: spawn → window viewable", close.minimalWindowMs)});
        md.table({"program", "peak MiB (VmHWM, xcb)", "vs minimal"},
                 {{"`tavrel`, connected", bench::fixed(close.tavrelHwmKb / 1024, 1),
                   ratio(close.tavrelHwmKb, close.minimalHwmKb)},
                  {"minimal Qt program", bench::fixed(close.minimalHwmKb / 1024, 1), "1×"}});
    }
#else
    md.heading("Close to exit");
    md.paragraph("Not measured: built without the X11 development files (Debian package libx11-dev).");
#endif

    std::error_code ec;
    fs::remove_all(paths.tmp, ec);
    if (!md.save(markdown)) {
        std::fprintf(stderr, "bench_process: cannot write %s\n", markdown.c_str());
        return 1;
    }
    return 0;
}
