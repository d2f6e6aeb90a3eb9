#include "commandline.h"

#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <iterator>

QString defaultBridge()
{
#ifdef TAVREL_HAVE_USB
    return QStringLiteral("usb");
#else
    return QStringLiteral("sim");
#endif
}

namespace {

// One of our options, named without its dashes. A new option is one more row.
struct Option
{
    const char *name;
    bool takesValue;
    void (*apply)(CommandLine &line, const QString &value);
};

const Option ownOptions[] = {
    {"bridge", true, [](CommandLine &line, const QString &value) { line.bridge = value; }},
    {"trace", true, [](CommandLine &line, const QString &value) { line.trace = value; }},
    {"serial", true, [](CommandLine &line, const QString &value) { line.serial = value; }},
    {"location", true, [](CommandLine &line, const QString &value) { line.location = value; }},
    {"list", false, [](CommandLine &line, const QString &) { line.list = true; }},
    {"help", false, [](CommandLine &line, const QString &) { line.help = true; }},
    {"h", false, [](CommandLine &line, const QString &) { line.help = true; }},
    {"version", false, [](CommandLine &line, const QString &) { line.version = true; }},
    {"v", false, [](CommandLine &line, const QString &) { line.version = true; }},
};

// The options QApplication and the platform plugins take off the command line
// (Qt 5.15: QCoreApplication, QGuiApplication, QApplication, xcb), so that they
// are not mistaken for typing errors. `value`: the next argument is its value;
// `inlineValue`: Qt also takes the value after '=' in the same argument.
struct QtOption
{
    const char *name;
    bool value;
    bool inlineValue;
};

const QtOption qtOptions[] = {
    {"platform", true, false},      {"platformpluginpath", true, false}, {"platformtheme", true, false},
    {"plugin", true, false},        {"qwindowgeometry", true, false},    {"geometry", true, false},
    {"qwindowtitle", true, false},  {"title", true, false},              {"qwindowicon", true, false},
    {"icon", true, false},          {"session", true, true},             {"style", true, true},
    {"stylesheet", true, true},     {"qmljsdebugger", true, true},       {"display", true, false},
    {"name", true, false},          {"visual", true, false},             {"reverse", false, false},
    {"testability", false, false},  {"nograb", false, false},            {"dograb", false, false},
    {"sync", false, false},         {"widgetcount", false, false},       {"qdevel", false, false},
    {"qdebug", false, false},
};

QString quoted(const char *arg)
{
    return QLatin1Char('\'') + QString::fromLocal8Bit(arg) + QLatin1Char('\'');
}

QString seeHelp()
{
    return QStringLiteral("; tavrel --help lists the options");
}

// Longest serial a part lists: 63 bytes (the D2XX listing's buffer less its NUL).
constexpr int SerialLimit = 63;

// What the part choice allows through: a serial of printable ASCII, a location
// as sysfs names it (bus, a dash, hub ports joined by dots, at most 7 deep).
QString checkChoice(const CommandLine &line)
{
    static const QRegularExpression location(
        QStringLiteral("^[1-9][0-9]{0,2}-[1-9][0-9]{0,2}(\\.[1-9][0-9]{0,2}){0,6}$"));
    static const QRegularExpression printable(QStringLiteral("^[\\x21-\\x7e]+$"));
    if (!line.serial.isEmpty() && !line.location.isEmpty())
        return QStringLiteral("choose the part by --serial or by --location, not both");
    if (!line.serial.isEmpty() && (line.serial.size() > SerialLimit || !printable.match(line.serial).hasMatch()))
        return QStringLiteral("serial %1 is not one a part can have: up to %2 printable ASCII characters, no blank")
            .arg(QLatin1Char('\'') + line.serial + QLatin1Char('\''))
            .arg(SerialLimit);
    if (!line.location.isEmpty() && !location.match(line.location).hasMatch())
        return QStringLiteral("malformed location '%1': a USB topology path as sysfs names it, such as 1-2.3 "
                              "(tavrel --list shows them)").arg(line.location);
    return {};
}

} // namespace

CommandLine parseCommandLine(int &argc, char **argv)
{
    CommandLine line;
    line.bridge = qEnvironmentVariable("TAVREL_BRIDGE");
    line.trace = qEnvironmentVariable("TAVREL_TRACE");
    line.serial = qEnvironmentVariable("TAVREL_SERIAL");
    line.location = qEnvironmentVariable("TAVREL_LOCATION");
    bool chosenHere = false; // the command line's choice of part replaces the environment's
    int kept = 1;
    for (int i = 1; i < argc && line.error.isEmpty(); ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-' || arg[1] == '\0') {
            line.error = QStringLiteral("unexpected argument %1").arg(quoted(arg)) + seeHelp();
            break;
        }
        const char *name = arg + (arg[1] == '-' ? 2 : 1);
        const char *equals = std::strchr(name, '=');
        const size_t nameLength = equals ? size_t(equals - name) : std::strlen(name);
        const auto is = [&](const char *candidate) {
            return std::strlen(candidate) == nameLength && !std::strncmp(candidate, name, nameLength);
        };

        const auto own = std::find_if(std::begin(ownOptions), std::end(ownOptions),
                                      [&](const Option &option) { return is(option.name); });
        if (own != std::end(ownOptions) && (own->takesValue || !equals)) {
            QString value;
            if (equals)
                value = QString::fromLocal8Bit(equals + 1);
            else if (own->takesValue && i + 1 < argc)
                value = QString::fromLocal8Bit(argv[++i]);
            if (own->takesValue && value.isEmpty()) {
                // Named as typed, without an empty "=" after it.
                const QString typed = QString::fromLocal8Bit(arg, int(name - arg + nameLength));
                line.error = QStringLiteral("%1 needs a value").arg(typed) + seeHelp();
                break;
            }
            const bool choice = is("serial") || is("location");
            if (choice && !chosenHere) {
                line.serial.clear();
                line.location.clear();
                chosenHere = true;
            }
            own->apply(line, value);
            continue;
        }

        const auto qt = std::find_if(std::begin(qtOptions), std::end(qtOptions),
                                     [&](const QtOption &option) { return is(option.name); });
        if (qt != std::end(qtOptions) && (!equals || qt->inlineValue)) {
            argv[kept++] = argv[i];
            if (qt->value && !equals && i + 1 < argc)
                argv[kept++] = argv[++i];
            continue;
        }
        line.error = QStringLiteral("unknown option %1").arg(quoted(arg)) + seeHelp();
    }
    argc = kept;
    argv[argc] = nullptr;
    if (line.bridge.isEmpty())
        line.bridge = defaultBridge();
    if (line.error.isEmpty())
        line.error = checkChoice(line);
    return line;
}
