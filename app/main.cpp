#include "bridgechoice.h"
#include "commandline.h"
#include "signalstop.h"
#include "tavrel.h"
#include "tracing.h"

#include <QApplication>

#include <cstdio>

// Exit status for a command line the program cannot run with.
static constexpr int ExitUsage = 2;

static const char Usage[] =
    "Usage: tavrel [--bridge usb|sim|LIBRARY] [--trace FILE] [Qt options]\n"
    "Drives a peripheral through a USB bridge in MCU host-bus emulation mode.\n"
    "\n"
    "  --bridge NAME  the D2XX implementation: usb (real bridges through libftdi),\n"
    "                 sim (the simulated bridge), or a shared library exporting the\n"
    "                 D2XX calls, by path or by file name (libftd2xx.so); default: %s\n"
    "  --trace FILE   write every D2XX call and the bus cycles it carries to FILE,\n"
    "                 one line per event; a FILE ending in .vcd gets a Value Change\n"
    "                 Dump for GTKWave or PulseView\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Options may be written with one dash or two. Ctrl-C, SIGTERM and SIGHUP stop the\n"
    "program as closing its window does.\n"
    "\n"
    "Environment: TAVREL_BRIDGE (as --bridge), TAVREL_TRACE (as --trace),\n"
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
    if (!error.isEmpty()) {
        std::fprintf(stderr, "tavrel: %s\n", qPrintable(error));
        return ExitUsage;
    }
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

    QApplication app(argc, argv);
    // Before the window starts the worker: a signal from here on stops it cleanly.
    SignalStop signalStop;
    QObject::connect(&signalStop, &SignalStop::stopRequested, &app, &QCoreApplication::quit);
    Tavrel w;
    w.show();
    return app.exec();
}
