#include "bridgechoice.h"

#include "simcontrol.h"
#ifdef TAVREL_HAVE_USB
#include "usbd2xx.h"
#endif

#include <QLibrary>

#include <cstring>

QString defaultBridge()
{
#ifdef TAVREL_HAVE_USB
    return QStringLiteral("usb");
#else
    return QStringLiteral("sim");
#endif
}

CommandLine parseCommandLine(int &argc, char **argv)
{
    CommandLine line;
    line.bridge = qEnvironmentVariable("TAVREL_BRIDGE");
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            line.help = true;
        } else if (!std::strcmp(arg, "--version") || !std::strcmp(arg, "-v")) {
            line.version = true;
        } else if (!std::strncmp(arg, "--bridge=", 9)) {
            line.bridge = QString::fromLocal8Bit(arg + 9);
        } else if (!std::strcmp(arg, "--bridge")) {
            if (i + 1 == argc) {
                line.error = QStringLiteral("--bridge needs a value: usb, sim or the path of a D2XX library");
                break;
            }
            line.bridge = QString::fromLocal8Bit(argv[++i]);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    if (line.bridge.isEmpty())
        line.bridge = defaultBridge();
    return line;
}

bool chooseBridge(const QString &name, D2xxCalls &calls, QString &error)
{
    if (name == QLatin1String("sim")) {
        calls = sim::d2xxCalls();
        return true;
    }
    if (name == QLatin1String("usb")) {
#ifdef TAVREL_HAVE_USB
        calls = usb::calls();
        return true;
#else
        error = QStringLiteral("this build has no USB driver; use --bridge sim or the path of a D2XX library");
        return false;
#endif
    }
    if (!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))) {
        error = QStringLiteral("unknown bridge '%1': choose usb, sim or the path of a D2XX library").arg(name);
        return false;
    }

    // Loaded for the whole run: the QLibrary object goes, the library stays.
    QLibrary library(name);
    if (!library.load()) {
        error = QStringLiteral("cannot load D2XX library %1: %2").arg(name, library.errorString());
        return false;
    }
    struct Entry {
        const char *symbol;
        QFunctionPointer *slot;
    };
    QFunctionPointer resolved[8] = {};
    const Entry entries[8] = {{"FT_ListDevices", &resolved[0]}, {"FT_OpenEx", &resolved[1]},
                              {"FT_SetLatencyTimer", &resolved[2]}, {"FT_SetBitMode", &resolved[3]},
                              {"FT_GetQueueStatus", &resolved[4]}, {"FT_Read", &resolved[5]},
                              {"FT_Write", &resolved[6]}, {"FT_Close", &resolved[7]}};
    for (const Entry &entry : entries) {
        *entry.slot = library.resolve(entry.symbol);
        if (!*entry.slot) {
            error = QStringLiteral("%1 is not a D2XX library: it does not export %2")
                        .arg(name, QLatin1String(entry.symbol));
            return false;
        }
    }
    calls.listDevices = reinterpret_cast<decltype(calls.listDevices)>(resolved[0]);
    calls.openEx = reinterpret_cast<decltype(calls.openEx)>(resolved[1]);
    calls.setLatencyTimer = reinterpret_cast<decltype(calls.setLatencyTimer)>(resolved[2]);
    calls.setBitMode = reinterpret_cast<decltype(calls.setBitMode)>(resolved[3]);
    calls.getQueueStatus = reinterpret_cast<decltype(calls.getQueueStatus)>(resolved[4]);
    calls.read = reinterpret_cast<decltype(calls.read)>(resolved[5]);
    calls.write = reinterpret_cast<decltype(calls.write)>(resolved[6]);
    calls.close = reinterpret_cast<decltype(calls.close)>(resolved[7]);
    return true;
}
