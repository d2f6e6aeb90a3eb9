// tavrel-bridge-emu: serves emulated bridges (FT2232H, FT2232D, FT4232H)
// through umockdev to a command it starts, so that an unchanged libftdi,
// libusb or D2XX program finds them as real USB devices. Each port is the
// model's own (drivers/sim part.h: buffers both ways, release rules); port A
// of a dual part runs the host-bus command processor and model peripheral.
//
// How it works (checked with umockdev 0.17.16, libusb 1.0.26, libftdi1 1.5):
// - Preload. umockdev fakes /sys and /dev through its preload library. This
//   program re-executes itself with libumockdev-preload.so.0 added to
//   LD_PRELOAD (LD_PRELOAD is checked, not umockdev_in_mock_environment(),
//   which caches its first answer), because the uevents it sends must see the
//   testbed's sysfs. The command inherits that LD_PRELOAD and UMOCKDEV_DIR and
//   so sees the same testbed. ASAN_OPTIONS gets verify_asan_link_order=0: a
//   GCC AddressSanitizer build refuses to start when the preload comes first.
// - Plug. A part becomes: the ioctl handler attached to /dev/bus/usb/001/DDD,
//   then that node created (as a FIFO, below), then its sysfs record added
//   (busnum, devnum, bConfigurationValue, speed, descriptors), which sends the
//   "add" uevent; the record has no "N:" line, so umockdev leaves our node
//   alone. A re-plug does the same with a new device number.
// - Unplug, in this order: unlink the node; send the "remove" uevent while the
//   sysfs entry still exists; remove the device; detach the ioctl handler (open
//   files stay connected); end the URBs in flight with -ESHUTDOWN. From then on
//   every ioctl on an old file but reaping gets ENODEV, as from the kernel.
// - URBs. libusb sends control transfers as URBs too. Every SUBMITURB returns at
//   once: control transfers are done there; bulk OUT transfers are taken as the
//   part has room (held, as NAKed, while it has none, until taken or
//   discarded); bulk IN requests queue per port and fill as the part sends
//   packets (a full one as soon as a packet's data waits, a short one on
//   send-immediate or when the latency timer runs out). An IN request with
//   less room left than the packet due gets -EOVERFLOW. An ioctl is never
//   answered late: umockdev's preload serialises all ioctls of a file behind
//   one lock.
// - The kernel's serial driver (ftdi_sio) is bound to every interface at plug,
//   with a tty node (/dev/ttyUSBn, plain file) and sysfs records; a disconnect
//   or disconnecting claim unbinds it, a connect binds it again.
// - Wake-up FIFO. libusb polls the device file for POLLOUT to learn that a URB
//   can be reaped; a regular file is always ready, and libusb would spin. Each
//   node is therefore a FIFO which the emulator keeps full while none of that
//   node's URBs is done, and from which it reads one page while one is. A timer
//   on umockdev's handler thread wakes it at the next latency deadline, so an
//   idle read costs one round trip per latency period.
// - Dead clients. umockdev 0.17 does not reliably tell when a client is gone;
//   the timer looks every 100 ms and drops the URBs and claims of the dead, so
//   that a dead client's IN request cannot take the next client's answers.
// - End. When the command ends, serving goes on until no client has a node
//   open (at most a few seconds): freeing the testbed under an open file makes
//   that client abort. The exit status is the command's (128 + signal if killed).
#include "usbdevice.h"

#include <glib-unix.h>
#include <glib/gstdio.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char Name[] = "tavrel-bridge-emu";
const char PreloadLibrary[] = "libumockdev-preload.so.0";

// After the command ends: serve at least this long (a client may be connecting
// still), then until every client has closed, but no longer than the maximum.
constexpr int LingerMinMs = 100;
constexpr int LingerMaxMs = 3000;
constexpr int LingerStepMs = 10;
constexpr int ControlReadsPerWake = 64; // bound of one drain of the control FIFO
constexpr size_t ControlLineLimit = 4096; // a longer line without newline is dropped

const char Usage[] =
    "Usage: tavrel-bridge-emu [options] -- COMMAND [ARGS...]\n"
    "Serves emulated USB bridges to COMMAND through umockdev, until COMMAND ends;\n"
    "exits with its status (2 for a usage error).\n"
    "  --device PRODUCT[,SERIAL[,CHIP]]  one part per option; CHIP is 2232h (the default:\n"
    "                             0403:6010, high speed), 2232d (0403:6010, full speed) or\n"
    "                             4232h (0403:6011, four ports, no MCU host-bus mode); an\n"
    "                             empty SERIAL is a part without one. Without --device: one\n"
    "                             FT2232H without EEPROM (maker FTDI, \"Dual RS232-HS\", no serial)\n"
    "  --control PATH             FIFO taking control lines (below); exported to COMMAND\n"
    "                             as TAVREL_EMU_CONTROL\n"
    "  --trace FILE               trace of bus events (default: $TAVREL_SIM_TRACE)\n"
    "  --verbose                  one line on stderr per control line done\n"
    "  --help                     this text\n"
    "Control lines (N: a part, counted from 1; PORT: a letter, A for the first port):\n"
    "  unplug N / plug N          take the part off the bus / put it back (new device number)\n"
    "  hold N PORT / free N PORT  a helper process opens / closes the port's tty, as a terminal\n"
    "                             program would (the tty exists while ftdi_sio is bound)\n"
    "  stall N PORT               the port's IN endpoint halts until the host clears the halt\n"
    "  nak N PORT MS              the port's OUT endpoint refuses everything for MS ms\n"
    "  fail N REQUEST             the part's next vendor request REQUEST (a number) stalls\n"
    "  silent N PORT / speak N PORT  the command processor stops / resumes answering\n";

struct Options {
    std::vector<sim::PartItem> parts;
    std::string control;
    std::string trace;
    bool verbose = false;
    char **command = nullptr;
};

int usageError(const std::string &what)
{
    std::fprintf(stderr, "%s: %s (see --help)\n", Name, what.c_str());
    return 2;
}

// 0: run; 1: done (help shown); 2: usage error, said in one line naming what is wrong.
int parse(int argc, char **argv, Options &options)
{
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--device" || arg == "--control" || arg == "--trace";
        if (takesValue && i + 1 >= argc)
            return usageError("option " + arg + " needs a value");
        if (arg == "--help") {
            std::fputs(Usage, stdout);
            return 1;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--device") {
            sim::PartItem part;
            std::string error;
            if (!sim::parsePartItem(argv[++i], part, error))
                return usageError("--device " + error);
            options.parts.push_back(part);
        } else if (arg == "--control") {
            options.control = argv[++i];
        } else if (arg == "--trace") {
            options.trace = argv[++i];
        } else {
            return usageError("unknown option " + arg);
        }
    }
    if (i + 1 >= argc)
        return usageError("missing -- COMMAND");
    options.command = argv + i + 1;
    if (options.parts.empty()) // a new part out of the bag: no EEPROM
        options.parts.push_back({sim::chipInfo(sim::Chip::FT2232H).defaultProduct, "", sim::Chip::FT2232H});
    return 0;
}

void appendEnv(const char *name, const std::string &item, char separator)
{
    const char *old = std::getenv(name);
    setenv(name, old && *old ? (std::string(old) + separator + item).c_str() : item.c_str(), 1);
}

// Runs this program again with umockdev's preload library; returns only on failure.
int reexecUnderPreload(char **argv)
{
    appendEnv("LD_PRELOAD", PreloadLibrary, ':');
    const char *asan = std::getenv("ASAN_OPTIONS");
    if (!asan || !std::strstr(asan, "verify_asan_link_order"))
        appendEnv("ASAN_OPTIONS", "verify_asan_link_order=0", ':');
    char *self = realpath("/proc/self/exe", nullptr);
    execv(self ? self : "/proc/self/exe", argv);
    std::fprintf(stderr, "%s: cannot re-execute under %s: %s\n", Name, PreloadLibrary, std::strerror(errno));
    return 127;
}

struct Session {
    GMainLoop *loop = nullptr;
    emu::UsbDevices *devices = nullptr;
    GPid child = 0;
    int status = 0;
    std::string pending; // control input after the last newline
    bool verbose = false;
};

// One control line; a line that is not one says so on stderr and changes nothing.
void controlLine(Session &session, const std::string &line)
{
    char verb[16], port = 0, extra = 0;
    int number = 0;
    long value = 0;
    std::string message;
    const int fields = std::sscanf(line.c_str(), "%15s %d %c %ld %c", verb, &number, &port, &value, &extra);
    port = char(std::toupper(static_cast<unsigned char>(port)));
    const std::string v = fields > 0 ? verb : "";
    bool done = false;
    if ((v == "plug" || v == "unplug") && fields == 2) {
        done = v == "plug" ? session.devices->plug(number, message) : session.devices->unplug(number, message);
    } else if (v == "fail" && std::sscanf(line.c_str(), "%*s %d %li %c", &number, &value, &extra) == 2
               && value >= 0 && value <= 0xFF) {
        done = session.devices->inject(v, number, 0, value, message);
    } else if ((v == "hold" || v == "free" || v == "stall" || v == "silent" || v == "speak" || v == "nak")
               && fields == (v == "nak" ? 4 : 3) && port >= 'A' && port <= 'Z' && value >= 0) {
        done = session.devices->inject(v, number, port - 'A', value, message);
    } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
        std::fprintf(stderr, "%s: bad control line \"%s\" (see --help)\n", Name, line.c_str());
        return;
    } else {
        return;
    }
    if (!done || session.verbose)
        std::fprintf(stderr, "%s: %s%s\n", Name, done ? "" : ("control line \"" + line + "\": ").c_str(),
                     message.c_str());
}

gboolean onControl(gint fd, GIOCondition, gpointer data)
{
    Session &session = *static_cast<Session *>(data);
    char buffer[512];
    ssize_t count;
    for (int i = 0; i < ControlReadsPerWake && (count = read(fd, buffer, sizeof buffer)) > 0; ++i)
        session.pending.append(buffer, size_t(count));
    for (size_t end; (end = session.pending.find('\n')) != std::string::npos;) {
        const std::string line = session.pending.substr(0, end);
        session.pending.erase(0, end + 1);
        controlLine(session, line);
    }
    if (session.pending.size() > ControlLineLimit)
        session.pending.clear();
    return G_SOURCE_CONTINUE;
}

void onChildExit(GPid, gint status, gpointer data)
{
    Session &session = *static_cast<Session *>(data);
    session.status = status;
    g_main_loop_quit(session.loop);
}

GPid childToSignal = 0; // for the signal sources, which get the signal number as their data

gboolean forwardSignal(gpointer signal)
{
    kill(childToSignal, GPOINTER_TO_INT(signal));
    return G_SOURCE_CONTINUE;
}

// The control FIFO, created unless a FIFO is there already; -1 on failure.
int openControl(const std::string &path, bool &created)
{
    created = !path.empty() && mkfifo(path.c_str(), 0600) == 0;
    struct stat info;
    if (!created && (stat(path.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)))
        return -1;
    // Read and write: it never reports end of file when a writer closes.
    return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

// Runs the command and serves until it ends, then while its clients linger;
// returns its exit status.
int serve(emu::UsbDevices &devices, const Options &options, int controlFd)
{
    if (options.verbose)
        std::fprintf(stderr, "%s: %zu part(s) served in %s; control FIFO %s\n", Name, options.parts.size(),
                     std::getenv("UMOCKDEV_DIR"), std::getenv("TAVREL_EMU_CONTROL"));
    Session session;
    session.devices = &devices;
    session.verbose = options.verbose;
    const int spawned = posix_spawnp(&session.child, options.command[0], nullptr, nullptr, options.command, environ);
    if (spawned != 0) {
        std::fprintf(stderr, "%s: cannot start %s: %s\n", Name, options.command[0], std::strerror(spawned));
        return 127; // as shells report a command that cannot start
    }
    session.loop = g_main_loop_new(nullptr, FALSE);
    g_child_watch_add(session.child, onChildExit, &session);
    const guint control = g_unix_fd_add(controlFd, G_IO_IN, onControl, &session);
    childToSignal = session.child;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) // passed on to the command, which decides
        g_unix_signal_add(signal, forwardSignal, GINT_TO_POINTER(signal));
    g_main_loop_run(session.loop);
    g_main_loop_unref(session.loop);
    g_source_remove(control);
    for (int waited = 0; waited < LingerMaxMs; waited += LingerStepMs) {
        if (waited >= LingerMinMs && devices.clientsGone())
            break;
        g_usleep(LingerStepMs * 1000);
    }
    return WIFEXITED(session.status) ? WEXITSTATUS(session.status)
         : WIFSIGNALED(session.status) ? 128 + WTERMSIG(session.status) : 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (const int result = parse(argc, argv, options))
        return result == 1 ? 0 : 2;
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload.so"))
        return reexecUnderPreload(argv);

    // Both kept until the process ends: umockdev's thread may call the devices up to the last moment.
    static emu::EventTrace trace;
    trace.startUs = g_get_monotonic_time();
    const char *tracePath = options.trace.empty() ? std::getenv("TAVREL_SIM_TRACE") : options.trace.c_str();
    if (tracePath && *tracePath && !trace.file.open(tracePath)) {
        std::fprintf(stderr, "%s: %s %s: cannot open it\n", Name, options.trace.empty() ? "TAVREL_SIM_TRACE" : "--trace",
                     tracePath);
        return 2;
    }

    std::string privateDir;
    std::string controlPath = options.control;
    if (controlPath.empty()) {
        gchar *dir = g_dir_make_tmp("tavrel-emu-XXXXXX", nullptr);
        privateDir = dir ? dir : "";
        g_free(dir);
        controlPath = privateDir.empty() ? std::string() : privateDir + "/control";
    }
    bool createdControl = false;
    const int controlFd = openControl(controlPath, createdControl);
    if (controlFd < 0) {
        std::fprintf(stderr, "%s: %s %s: cannot make a FIFO there: %s\n", Name,
                     options.control.empty() ? "control FIFO" : "--control", controlPath.c_str(), std::strerror(errno));
        if (!privateDir.empty())
            g_rmdir(privateDir.c_str());
        return 2;
    }
    setenv("TAVREL_EMU_CONTROL", controlPath.c_str(), 1);

    static auto *devices = new emu::UsbDevices(options.parts, trace);
    std::string message;
    int status = 2;
    if (!devices->start(message))
        std::fprintf(stderr, "%s: %s\n", Name, message.c_str());
    else
        status = serve(*devices, options, controlFd);

    devices->stop();
    close(controlFd);
    if (createdControl)
        unlink(controlPath.c_str());
    if (!privateDir.empty())
        g_rmdir(privateDir.c_str());
    return status;
}
