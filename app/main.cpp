#include "bridgechoice.h"
#include "commandline.h"
#include "signalstop.h"
#include "tavrel.h"
#include "tracing.h"

#include <QApplication>

#include <algorithm>
#include <cstdio>

// Exit status for a command line the program cannot run with.
static constexpr int ExitUsage = 2;

static const char Usage[] =
    "Usage: tavrel [--bridge usb|sim|LIBRARY] [--serial SERIAL | --location PATH]\n"
    "              [--trace FILE] [Qt options]\n"
    "       tavrel --list [--bridge usb|sim|LIBRARY]\n"
    "Drives a peripheral through a USB bridge in MCU host-bus emulation mode.\n"
    "\n"
    "  --bridge NAME  the D2XX implementation: usb (real bridges through libftdi),\n"
    "                 sim (the simulated bridge), or a shared library exporting the\n"
    "                 D2XX calls, by path or by file name (libftd2xx.so); default: %s\n"
    "  --serial SERIAL  use only the part with this serial (the part's, or one of its\n"
    "                 ports' as --list shows it)\n"
    "  --location PATH  use only the part at this USB topology path, as sysfs names\n"
    "                 it (such as 1-2.3): for parts without a serial\n"
    "  --list         show every port found, one a line (description, serial or -,\n"
    "                 location, chip, state: ok, no access, in use by PID n (name)),\n"
    "                 and exit\n"
    "  --trace FILE   write every D2XX call and the bus cycles it carries to FILE,\n"
    "                 one line per event; a FILE ending in .vcd gets a Value Change\n"
    "                 Dump for GTKWave or PulseView\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Options may be written with one dash or two. Ctrl-C, SIGTERM and SIGHUP stop the\n"
    "program as closing its window does.\n"
    "\n"
    "Without a choice of part the first port A listed is used. Another program's\n"
    "port (its tty open, or its interface claimed) is never taken.\n"
    "\n"
    "Environment: TAVREL_BRIDGE (as --bridge), TAVREL_TRACE (as --trace),\n"
    "TAVREL_SERIAL (as --serial), TAVREL_LOCATION (as --location),\n"
    "TAVREL_SIM_DEVICES, TAVREL_SIM_TRACE, TAVREL_SIM_USB (the simulated bridge's\n"
    "parts, trace file and USB timing).\n";

// The choice of bridge is made here, once, before anything builds a link.
int main(int argc, char *argv[])
{
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.error.isEmpty() && line.help) {
        std::printf(Usage, qPrintable(defaultBridge()));
        return 0;
    }
    if (line.error.isEmpty() && line.version) {
        std::printf("tavrel %s\n", TAVREL_VERSION);
        return 0;
    }
    D2xxCalls calls = d2xx::noDriver();
    QString inUse;
    QString error = line.error;
    if (error.isEmpty())
        chooseBridge(line.bridge, calls, inUse, error);
    const bool choosing = !line.serial.isEmpty() || !line.location.isEmpty();
    if (error.isEmpty() && choosing)
        choosePart(line.bridge, line.serial, line.location, error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "tavrel: %s\n", qPrintable(error));
        return ExitUsage;
    }
    if (line.list) {
        const QVector<PortLine> ports = listPortLines(line.bridge, calls, true);
        // In columns: each as wide as its widest entry.
        int widths[4] = {};
        for (const PortLine &p : ports) {
            const QString columns[4] = {p.description, p.serial, p.location, p.chip};
            for (int i = 0; i < 4; ++i)
                widths[i] = std::max(widths[i], columns[i].size());
        }
        for (const PortLine &p : ports)
            std::printf("%s  %s  %s  %s  %s\n", qPrintable(p.description.leftJustified(widths[0])),
                        qPrintable(p.serial.leftJustified(widths[1])), qPrintable(p.location.leftJustified(widths[2])),
                        qPrintable(p.chip.leftJustified(widths[3])), qPrintable(p.state));
        if (ports.isEmpty())
            std::fprintf(stderr, "tavrel: no bridge found (bridge %s)\n", qPrintable(inUse));
        return 0;
    }
    // A library lists only through its calls, which the trace would show: it is left out.
    const bool listable = line.bridge == QLatin1String("usb") || line.bridge == QLatin1String("sim");
    const QString choice = listable ? sayChoice(listPortLines(line.bridge, calls, false), line.serial, line.location)
                                    : QString();
    // Outlives the window, so the trace holds the worker's last call; off, nothing is wrapped.
    Tracer tracer;
    if (!line.trace.isEmpty()) {
        if (!tracer.open(line.trace, error)) {
            std::fprintf(stderr, "tavrel: %s\n", qPrintable(error));
            return ExitUsage;
        }
        calls = tracer.wrap(calls);
    }
    d2xx::install(calls);
    // Before the worker's first listing, so a log always says which bridge it is about.
    std::fprintf(stderr, "tavrel: bridge %s\n", qPrintable(inUse));
    if (!choice.isEmpty())
        std::fprintf(stderr, "tavrel: %s\n", qPrintable(choice));

    QApplication app(argc, argv);
    // Before the window starts the worker: a signal from here on stops it cleanly.
    SignalStop signalStop;
    QObject::connect(&signalStop, &SignalStop::stopRequested, &app, &QCoreApplication::quit);
    Tavrel w;
    w.show();
    return app.exec();
}
