#include "bridgechoice.h"

#include "simcontrol.h"
#ifdef TAVREL_HAVE_USB
#include "usbd2xx.h"
#include <ftdi.h>
#endif

#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#ifdef Q_OS_WIN
#include <QLibrary>
#else
#include <dlfcn.h>
#endif

namespace {

const char *const symbols[8] = {"FT_ListDevices", "FT_OpenEx", "FT_SetLatencyTimer", "FT_SetBitMode",
                                "FT_GetQueueStatus", "FT_Read", "FT_Write", "FT_Close"};

bool isLibraryName(const QString &name)
{
    static const QRegularExpression soName(QStringLiteral("\\.so(\\.[0-9]+)*$"));
    return name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))
        || name.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive) || soName.match(name).hasMatch();
}

QString quoted(const QString &name)
{
    return QLatin1Char('\'') + name + QLatin1Char('\'');
}

// Loads the library exactly as named: no prefix or suffix is tried (a loader that
// guesses reports a failure under a name the user never typed). Stays loaded for
// the whole run. Fills `resolved` in the order of `symbols`.
bool loadLibrary(const QString &name, QFunctionPointer (&resolved)[8], QString &loaded, QString &error)
{
#ifdef Q_OS_WIN
    QLibrary library(name);
    if (!library.load()) {
        error = QStringLiteral("cannot load D2XX library %1: %2").arg(quoted(name), library.errorString());
        return false;
    }
    for (int i = 0; i < 8; ++i)
        resolved[i] = library.resolve(symbols[i]);
    loaded = library.fileName();
#else
    void *handle = dlopen(QFile::encodeName(name).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = QStringLiteral("cannot load D2XX library %1: %2")
                    .arg(quoted(name), QString::fromLocal8Bit(dlerror()));
        return false;
    }
    for (int i = 0; i < 8; ++i)
        resolved[i] = reinterpret_cast<QFunctionPointer>(dlsym(handle, symbols[i]));
    // The file the dynamic linker chose, for a bare name found on its search path.
    Dl_info info = {};
    loaded = resolved[0] && dladdr(reinterpret_cast<void *>(resolved[0]), &info) && info.dli_fname
        ? QFileInfo(QFile::decodeName(info.dli_fname)).absoluteFilePath() : name;
#endif
    for (int i = 0; i < 8; ++i) {
        if (!resolved[i]) {
            error = QStringLiteral("%1 is not a D2XX library: it does not export %2")
                        .arg(quoted(name), QLatin1String(symbols[i]));
            return false;
        }
    }
    return true;
}

} // namespace

bool choosePart(const QString &name, const QString &serial, const QString &location, QString &error)
{
    if (name == QLatin1String("sim")) {
        sim::choosePart(serial.toStdString(), location.toStdString());
        return true;
    }
#ifdef TAVREL_HAVE_USB
    if (name == QLatin1String("usb")) {
        usb::choosePart(serial.toStdString(), location.toStdString());
        return true;
    }
#endif
    error = QStringLiteral("--serial and --location choose among the parts of --bridge usb or sim; "
                           "a D2XX library lists its own");
    return false;
}

QVector<PortLine> listPortLines(const QString &name, const D2xxCalls &calls, bool withState)
{
    const auto text = [](const std::string &value) {
        return value.empty() ? QStringLiteral("-") : QString::fromStdString(value);
    };
    QVector<PortLine> lines;
    if (name == QLatin1String("sim")) {
        for (const sim::ListedPort &p : sim::listedPorts())
            lines.append({text(p.description), text(p.serial), text(p.location), text(p.chip),
                          p.open ? QStringLiteral("in use by this program") : QStringLiteral("ok")});
        return lines;
    }
#ifdef TAVREL_HAVE_USB
    if (name == QLatin1String("usb")) {
        for (const usb::ListedEntry &e : usb::listEntries(withState))
            lines.append({text(e.description), text(e.serial), text(e.location), text(e.chip), text(e.state)});
        return lines;
    }
#endif
    // A library: what the D2XX listing tells, descriptions and serials.
    DWORD count = 0;
    calls.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    for (DWORD i = 0; i < count; ++i) {
        char description[FT_DESCRIPTION_BUFFER_SIZE] = {};
        char serial[FT_DESCRIPTION_BUFFER_SIZE] = {};
        void *index = reinterpret_cast<void *>(uintptr_t(i));
        const bool named = calls.listDevices(index, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) == FT_OK;
        calls.listDevices(index, serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        lines.append({text(description), text(serial), QStringLiteral("-"), QStringLiteral("-"),
                      named ? QStringLiteral("ok") : QStringLiteral("no access")});
    }
    return lines;
}

QString sayChoice(const QVector<PortLine> &all, const QString &serial, const QString &location)
{
    const auto part = [](const PortLine &p) {
        return QStringLiteral("%1 (serial %2, at %3)").arg(p.description, p.serial, p.location);
    };
    if (!serial.isEmpty() || !location.isEmpty()) {
        QStringList found;
        for (const PortLine &p : all) {
            // The part's serial is its ports' less the letter; port A stands for the part.
            const bool matches = location.isEmpty() ? p.serial == serial || p.serial.chopped(1) == serial
                                                    : p.location == location;
            if (matches)
                return {};
            if (p.description.endsWith(QLatin1String(" A")) || !p.description.contains(QLatin1Char(' ')))
                found << part(p);
        }
        return QStringLiteral("no bridge %1; found %2; running as with no bridge")
            .arg(location.isEmpty() ? QStringLiteral("with serial '%1'").arg(serial)
                                    : QStringLiteral("at location %1").arg(location),
                 found.isEmpty() ? QStringLiteral("none") : found.join(QLatin1String(", ")));
    }
    QStringList portsA;
    for (const PortLine &p : all) {
        if (p.description.size() > 2 && p.description.endsWith(QLatin1String(" A")))
            portsA << part(p);
    }
    if (portsA.size() < 2)
        return {};
    const QString taken = portsA.takeFirst();
    return QStringLiteral("%1 bridges with a port A: taking the first listed, %2; not %3; choose another with "
                          "--serial or --location (tavrel --list shows them)")
        .arg(portsA.size() + 1).arg(taken, portsA.join(QLatin1String(", ")));
}

bool chooseBridge(const QString &name, D2xxCalls &calls, QString &inUse, QString &error)
{
    if (name == QLatin1String("sim")) {
        calls = sim::d2xxCalls();
        inUse = QStringLiteral("sim (the simulated bridge)");
        return true;
    }
    if (name == QLatin1String("usb")) {
#ifdef TAVREL_HAVE_USB
        calls = usb::calls();
        inUse = QStringLiteral("usb (real bridges through libftdi %1)")
                    .arg(QLatin1String(ftdi_get_library_version().version_str));
        return true;
#else
        error = QStringLiteral("this build has no USB driver; use --bridge sim or a D2XX library");
        return false;
#endif
    }
    if (!isLibraryName(name)) {
        error = QStringLiteral("unknown bridge %1: choose usb, sim, or a D2XX library "
                               "by path or by file name (such as libftd2xx.so)").arg(quoted(name));
        return false;
    }
    const bool isPath = name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'));
    if (isPath && !QFileInfo::exists(name)) {
        error = QStringLiteral("no such file: %1").arg(name);
        return false;
    }

    QFunctionPointer resolved[8] = {};
    QString loaded;
    if (!loadLibrary(name, resolved, loaded, error))
        return false;
    calls.listDevices = reinterpret_cast<decltype(calls.listDevices)>(resolved[0]);
    calls.openEx = reinterpret_cast<decltype(calls.openEx)>(resolved[1]);
    calls.setLatencyTimer = reinterpret_cast<decltype(calls.setLatencyTimer)>(resolved[2]);
    calls.setBitMode = reinterpret_cast<decltype(calls.setBitMode)>(resolved[3]);
    calls.getQueueStatus = reinterpret_cast<decltype(calls.getQueueStatus)>(resolved[4]);
    calls.read = reinterpret_cast<decltype(calls.read)>(resolved[5]);
    calls.write = reinterpret_cast<decltype(calls.write)>(resolved[6]);
    calls.close = reinterpret_cast<decltype(calls.close)>(resolved[7]);
    inUse = QStringLiteral("%1 (a D2XX library)").arg(QDir::toNativeSeparators(loaded));
    return true;
}
