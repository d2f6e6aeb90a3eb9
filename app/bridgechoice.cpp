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
