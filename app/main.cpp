#include "bridgechoice.h"
#include "tavrel.h"

#include <QApplication>

#include <cstdio>

// Exit status for a command line the program cannot run with.
static constexpr int ExitUsage = 2;

static const char Usage[] =
    "Usage: tavrel [--bridge usb|sim|PATH] [Qt options]\n"
    "Drives a peripheral through a USB bridge in MCU host-bus emulation mode.\n"
    "\n"
    "  --bridge NAME  the D2XX implementation: usb (real bridges through libftdi),\n"
    "                 sim (the simulated bridge), or the path of a shared library\n"
    "                 exporting the D2XX calls; default: %s\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Environment: TAVREL_BRIDGE (as --bridge), TAVREL_SIM_DEVICES, TAVREL_SIM_TRACE,\n"
    "TAVREL_SIM_USB (the simulated bridge's parts, trace file and USB timing).\n";

// The choice of bridge is made here, once, before anything builds a link.
int main(int argc, char *argv[])
{
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.help) {
        std::printf(Usage, qPrintable(defaultBridge()));
        return 0;
    }
    if (line.version) {
        std::printf("tavrel %s\n", TAVREL_VERSION);
        return 0;
    }
    D2xxCalls calls = d2xx::noDriver();
    QString error = line.error;
    if (error.isEmpty())
        chooseBridge(line.bridge, calls, error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "tavrel: %s\n", qPrintable(error));
        return ExitUsage;
    }
    d2xx::install(calls);

    QApplication app(argc, argv);
    Tavrel w;
    w.show();
    return app.exec();
}
