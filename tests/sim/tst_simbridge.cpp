// The simulated bridge through the eight D2XX calls and the control API, as
// scripted sessions; the answer path's release rules also on a synthetic clock.
#include "d2xx.h"
#include "simcontrol.h"
#include "simmodel.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

namespace {

const char PortA[] = "Sim Bridge A";
// What buffers hold before a call, to see what the call wrote.
constexpr char Canary = 0x5A;

// Short names of the statuses the model gives.
const QMap<FT_STATUS, QByteArray> StatusNames = {{FT_OK, "ok"}, {FT_INVALID_HANDLE, "invalid handle"},
    {FT_DEVICE_NOT_FOUND, "not found"}, {FT_DEVICE_NOT_OPENED, "not opened"}, {FT_IO_ERROR, "io error"},
    {FT_INVALID_PARAMETER, "invalid parameter"}, {FT_NOT_SUPPORTED, "not supported"}, {FT_OTHER_ERROR, "other error"}};

// A script's steps: separated by ';', blanks around them dropped.
QByteArrayList steps(const QByteArray &script)
{
    QByteArrayList list = script.split(';');
    for (QByteArray &step : list)
        step = step.trimmed();
    return list;
}

// Plays a session: steps "<verb> <arguments>" (" = <result>" for those with one); gives back each step with
// the result it had. Verbs: the table below. D2XX calls act on the current handle: the one the last "open"
// left, or the one the n-th "open" left after "use <n>" (0: null). "at" drives a port A on a synthetic clock.
QByteArrayList play(const QByteArray &script)
{
    std::vector<FT_HANDLE> opened = {nullptr};
    FT_HANDLE h = nullptr;
    QTemporaryDir dir; // for a trace
    sim::Model &m = sim::model();
    sim::Device part; // for "at": a port A in MCU host-bus mode, its last transfer at time 0
    part.portA = true;
    part.mode = sim::ModeMcuHost;
    part.peripheral = std::make_unique<sim::Peripheral>();
    QByteArray arg, result;
    DWORD n = 0;
    FT_STATUS status = FT_OK; // of a call that gives a value
    const auto joined = [](const QByteArrayList &list) { return list.isEmpty() ? "none" : list.join(", "); };
    const auto word = [&arg](int i) { return arg.split(' ').value(i); };
    const auto hex = [&word](int i) { return word(i).toUInt(nullptr, 16); };
    const auto raw = [](const uint8_t *data, size_t size) {
        return QByteArray(reinterpret_cast<const char *>(data), int(size)).toHex(' ');
    };
    const auto fault = [&arg] { return StatusNames.key(arg.mid(arg.indexOf(" with ") + 6)); };
    const std::map<QByteArray, std::function<void()>> verbs = {
        {"open", [&] { // open <description>, or open serial <serial number>
             const bool serial = arg.startsWith("serial ");
             const DWORD flags = serial ? FT_OPEN_BY_SERIAL_NUMBER : FT_OPEN_BY_DESCRIPTION;
             result = StatusNames.value(FT_OpenEx(arg.mid(serial ? 7 : 0).data(), flags, &h));
             opened.push_back(h);
         }},
        {"use", [&] { h = opened.at(size_t(arg.toInt())); }},
        {"close", [&] { result = StatusNames.value(FT_Close(h)); }},
        {"latency", [&] { result = StatusNames.value(FT_SetLatencyTimer(h, UCHAR(arg.toInt()))); }},
        {"mode", [&] { result = StatusNames.value(FT_SetBitMode(h, 0xFF, UCHAR(hex(0)))); }}, // mask: every pin
        {"write", [&] { // ", <n> written" when that is not what the status implies
             QByteArray bytes = QByteArray::fromHex(arg);
             result = StatusNames.value(FT_Write(h, bytes.data(), DWORD(bytes.size()), &n));
             if (n != (result == "ok" ? DWORD(bytes.size()) : 0))
                 result += ", " + QByteArray::number(uint(n)) + " written";
         }},
        {"queued", [&] {
             status = FT_GetQueueStatus(h, &n);
             result = QByteArray::number(uint(n));
         }},
        {"read", [&] { // into a byte more, to see the read keep to its count
             QByteArray buffer(arg.toInt() + 1, Canary);
             status = FT_Read(h, buffer.data(), DWORD(arg.toInt()), &n);
             result = !buffer.endsWith(Canary) ? "overrun" : n ? buffer.left(int(n)).toHex(' ') : "none";
         }},
        {"list", [&] { // descriptions (or "list serials"), by index, seeing that none goes past 64 bytes
             const DWORD what = arg == "serials" ? FT_OPEN_BY_SERIAL_NUMBER : FT_OPEN_BY_DESCRIPTION;
             QByteArrayList entries;
             status = FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
             for (DWORD i = 0; i < n; ++i) {
                 char buffer[FT_DESCRIPTION_BUFFER_SIZE + 1];
                 std::memset(buffer, Canary, sizeof buffer);
                 void *index = reinterpret_cast<void *>(uintptr_t(i));
                 const bool failed = FT_ListDevices(index, buffer, FT_LIST_BY_INDEX | what) != FT_OK;
                 const QByteArray text(buffer, int(qstrnlen(buffer, FT_DESCRIPTION_BUFFER_SIZE)));
                 entries << (failed ? "index failed" : buffer[FT_DESCRIPTION_BUFFER_SIZE] != Canary ? "overrun" : text);
             }
             result = joined(entries);
         }},
        {"index", [&] {
             char buffer[FT_DESCRIPTION_BUFFER_SIZE] = {};
             void *index = reinterpret_cast<void *>(arg.toLongLong());
             status = FT_ListDevices(index, buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
             result = buffer;
         }},
        {"parts", [&] { sim::setParts(sim::parseProductList(arg.replace(',', ';').constData())); }},
        {"reset", [&] { sim::reset(); }},
        {"unplug", [&] { result = sim::unplug(arg.toStdString()) ? "yes" : "no"; }},
        {"plug", [&] { result = sim::plug(arg.toStdString()) ? "yes" : "no"; }},
        {"state", [&] { // latency and bit mode of Sim Bridge A
             result = QString::asprintf("%d ms, mode %02x", sim::latencyMs(PortA), sim::bitMode(PortA)).toLatin1();
         }},
        {"bus", [&] { // the cycles since the last "bus"
             QByteArrayList cycles;
             for (const sim::BusCycle &c : sim::busCycles()) {
                 const char *kind = c.write ? (c.wide ? "W" : "w") : (c.wide ? "R" : "r");
                 cycles << QString::asprintf("%s %0*x %02x", kind, c.wide ? 4 : 2, c.address, c.data).toLatin1();
             }
             result = joined(cycles);
             sim::clearLogs();
         }},
        {"frame", [&] { result = raw(sim::shownFrame().data(), sim::Peripheral::FrameSize); }},
        {"indicator", [&] { result = QByteArray::number(sim::indicator(), 16); }},
        {"handles", [&] { result = QByteArray::number(sim::openHandles()); }},
        {"logged", [&] { // the last call: its function, its status and the bytes it moved
             const sim::CallRecord last = sim::calls().back();
             const QByteArray bytes = raw(last.bytes.data(), last.bytes.size());
             result = (sim::callName(last.call) + (" " + StatusNames.value(last.status)) + " " + bytes).trimmed();
         }},
        {"loglimit", [&] { sim::setLogLimit(arg.toUInt()); }},
        {"calls", [&] { result = QByteArray::number(int(sim::calls().size())); }},
        {"trace", [&] { // "trace on", then "trace": the events traced since, without their times
             sim::setTraceFile(arg == "on" ? dir.filePath("trace").toStdString() : std::string());
             QFile file(dir.filePath("trace"));
             QByteArrayList events;
             for (const QByteArray &line : (file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : "").split('\n'))
                 events << line.mid(line.indexOf(' ') + 1);
             result = arg == "on" ? QByteArray() : joined(events);
         }},
        // fail <sim::Call> <times> with <status>; short <writes> <bytes> with <status>; failindex <index> with <status>
        {"fail", [&] { sim::failNext(sim::Call(word(0).toInt()), word(1).toInt(), fault()); }},
        {"short", [&] { sim::shortWrites(word(0).toInt(), word(1).toUInt(), fault()); }},
        {"failindex", [&] { sim::failListIndex(word(0).toInt(), fault()); }},
        {"junk", [&] {
             const QByteArray bytes = QByteArray::fromHex(arg);
             sim::injectJunk(PortA, std::vector<uint8_t>(bytes.begin(), bytes.end()));
         }},
        {"pin", [&] { sim::setReadValue(uint16_t(hex(0)), uint8_t(hex(1))); }},
        {"unpin", [&] { sim::clearReadValue(uint16_t(hex(0))); }},
        {"silent", [&] { sim::setSilent(arg == "on"); }},
        {"delay", [&] { sim::setAnswerDelayUs(arg.toULongLong()); }},
        {"usb", [&] { sim::setUsbPacing(arg == "hs" ? sim::UsbPacing::HighSpeed : sim::UsbPacing::FullSpeed); }},
        {"period", [&] { part.latencyMs = uint8_t(arg.toUInt()); }},
        {"at", [&] { // at <us> [<hex bytes>] = what the host sees of the synthetic part then, after those
             const uint64_t time = word(0).toULongLong();
             const QByteArray bytes = QByteArray::fromHex(arg.mid(word(0).size()));
             std::lock_guard<std::mutex> lock(m.mutex);
             m.advance(part, time);
             m.execute(part, reinterpret_cast<const uint8_t *>(bytes.data()), size_t(bytes.size()), time);
             m.advance(part, time);
             result = QByteArray::number(uint(m.visible(part, time)));
         }},
    };
    QByteArrayList done;
    for (const QByteArray &step : steps(script)) {
        const QByteArray action = step.contains(" = ") ? step.left(step.indexOf(" = ")) : step;
        const QByteArray name = action.split(' ').first();
        const auto verb = verbs.find(name);
        arg = action.mid(name.size() + 1);
        result = verb == verbs.end() ? "unknown step" : QByteArray();
        status = FT_OK;
        n = 0;
        if (verb != verbs.end())
            verb->second();
        if (status != FT_OK)
            result = StatusNames.value(status);
        done << (result.isEmpty() ? action : action + " = " + result);
    }
    return done;
}

} // namespace

class TestSimBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void startupEnvironment();
    void session_data();
    void session();
    void badInput();
    void threads();
};

void TestSimBridge::init()
{
    if (QTest::currentTestFunction() != QLatin1String("startupEnvironment"))
        sim::reset(); // that one looks at the model as the environment set it up
}

// Run by the extra CTest entries that start this program with a given
// environment and say, in TAVREL_SIM_TEST_EXPECT, what it must list.
void TestSimBridge::startupEnvironment()
{
    if (!qEnvironmentVariableIsSet("TAVREL_SIM_TEST_EXPECT"))
        QSKIP("run by the start-up CTest entries only");
    QByteArrayList expected = qgetenv("TAVREL_SIM_TEST_EXPECT").split('|');
    expected.removeAll(QByteArray());
    sim::setLogLimit(100); // the logs may be off until a reset, which would undo the environment's set-up
    QFile trace(qEnvironmentVariable("TAVREL_SIM_TRACE"));
    const qint64 traceStart = trace.size(); // appended to by earlier runs
    QByteArray script = "list = " + (expected.isEmpty() ? "none" : expected.join(", "));
    if (!expected.isEmpty())
        script += "; open " + expected[0] + " = ok; mode 08 = ok; write 90 10 87 = ok; read 1 = 00";
    QCOMPARE(play(script), steps(script));
    if (expected.isEmpty())
        return;
    // At full speed the part acts at the next 1 ms frame, and the write returns after it, before the read.
    const std::vector<sim::CallRecord> calls = sim::calls();
    const uint64_t acted = sim::busCycles().at(0).timeUs;
    if (qgetenv("TAVREL_SIM_USB") == "fs")
        QVERIFY(acted % 1000 == 0 && calls.at(calls.size() - 2).timeUs < acted && acted <= calls.back().timeUs);
    if (!trace.fileName().isEmpty()) {
        QVERIFY(trace.open(QIODevice::ReadOnly) && trace.seek(traceStart));
        const QByteArray added = trace.readAll();
        QVERIFY2(added.contains(" open \"" + expected[0] + "\"\n") && added.contains(" busr 10 00\n"), added.data());
    }
}

// A session (see play) as it must go, step by step.
void TestSimBridge::session_data()
{
    QTest::addColumn<QByteArray>("script");
    const QByteArray mcu = "open Sim Bridge A = ok; mode 08 = ok; ";
    const QByteArray both = "Sim Bridge A, Sim Bridge B";
    const QByteArray cut(63, 'x');
    // Every call on the current handle, closing last, each giving S.
    const QByteArray every = "latency 16 = S; mode 08 = S; queued = S; read 1 = S; write 87 = S; close = S";
    const QByteArray invalid = QByteArray(every).replace("S", "invalid handle");

    QTest::newRow("listing") << QByteArray("parts ,Left,,Right,; list = Left A, Left B, Right A, Right B; "
                                           "list serials = SIM001A, SIM001B, SIM002A, SIM002B; "
                                           "index 4 = not found; index -1 = not found; parts; list = none");
    QTest::newRow("non-ASCII, cut at 63 bytes")
        << "parts Br\xc3\xbc\xff," + cut + "xxxxxxx; list = Br\xc3\xbc\xff A, Br\xc3\xbc\xff B, " + cut + ", " + cut
               + "; open Br\xc3\xbc\xff A = ok; open " + cut + " = ok";

    QTest::newRow("open") << QByteArray("open Sim Bridge A = ok; open Sim Bridge A = not opened; "
                                        "open serial SIM001A = not opened; open Sim Bridge B = ok; handles = 2; "
                                        "close = ok; handles = 1; open serial SIM001B = ok");
    QTest::newRow("open what is not listed")
        << QByteArray("open Sim Bridge = not found; open sim bridge a = not found; open Sim Bridge A  = not found; "
                      "open  = not found; open serial Sim Bridge A = not found; handles = 0");
    QTest::newRow("null handle; closed handle, never reused; handle from before reset")
        << "use 0; " + invalid + "; open Sim Bridge A = ok; close = ok; open Sim Bridge A = ok; use 1; " + invalid
               + "; open Sim Bridge B = ok; reset; " + invalid;
    QTest::newRow("unplugged") << "open Sim Bridge A = ok; unplug Sim Bridge A = yes; unplug Sim Bridge A = no; "
                                  "unplug No Such = no; list = Sim Bridge B; open Sim Bridge A = not found; use 1; "
                                      + QByteArray(every).replace("S", "io error")
                                      + "; close = invalid handle; handles = 0";
    QTest::newRow("plugged again")
        << mcu + "write 92 40 11 92 02 00 92 00 77 92 03 00 = ok; latency 40 = ok; unplug Sim Bridge A = yes; "
                 "plug Sim Bridge A = yes; plug Sim Bridge A = no; list = " + both + "; "
                 "state = 16 ms, mode 00; queued = io error; open Sim Bridge A = ok; handles = 2; "
                 "use 1; close = io error; use 2; mode 08 = ok; write 90 40 87 = ok; read 1 = 11; "
                 "frame = 77" + QByteArray(" 00").repeated(29);

    QTest::newRow("refused latencies and modes change nothing; only mode 8 runs the command processor")
        << mcu + "latency 0 = invalid parameter; latency 1 = invalid parameter; mode 03 = invalid parameter; "
                 "mode 09 = invalid parameter; mode 80 = invalid parameter; mode ff = invalid parameter; "
                 "state = 16 ms, mode 08; latency 2 = ok; latency 255 = ok; mode 00 = ok; mode 02 = ok; "
                 "mode 04 = ok; mode 10 = ok; mode 20 = ok; mode 40 = ok; mode 01 = ok; write aa 87 = ok; "
                 "queued = 0; state = 255 ms, mode 01";

    QTest::newRow("bus addresses, 16-bit high byte first")
        << mcu + "write 92 10 5a 90 10 93 12 34 56 93 34 12 65 91 12 34 93 00 20 77 90 20 93 ff ff 81 91 ff ff 87"
                 " = ok; bus = w 10 5a, r 10 5a, W 1234 56, W 3412 65, R 1234 56, W 0020 77, r 20 77, W ffff 81, "
                 "R ffff 81; read 4 = 5a 56 77 81";
    QTest::newRow("bad commands") << mcu + "write aa ab 00 fa ff 87 = ok; read 10 = fa aa fa ab fa 00 fa fa fa ff";
    QTest::newRow("command split over writes")
        << mcu + "write 93 12 = ok; bus = none; write 34 56 = ok; bus = W 1234 56; write 92 20 = ok; "
                 "write aa 87 = ok; bus = w 20 aa; queued = 0";
    QTest::newRow("mode 0 holds the processor, mode 8 starts it empty; port B has none")
        << mcu + "write 92 04 = ok; mode 00 = ok; write aa 92 04 01 87 = ok; mode 08 = ok; write aa 87 = ok; "
                 "bus = none; read 2 = fa aa; open Sim Bridge B = ok; mode 08 = ok; write aa 92 04 01 87 = ok; "
                 "queued = 0; bus = none";
    QTest::newRow("silent, then talking") << mcu + "silent on; write aa 92 10 01 90 10 87 = ok; bus = w 10 01, "
                                                   "r 10 01; queued = 0; silent off; write 90 10 87 = ok; read 1 = 01";
    QTest::newRow("pinned reads") << mcu + "pin 0000 03; pin 0001 c8; pin 1234 42; "
                                           "write 93 12 34 10 90 00 90 01 91 12 34 = ok; unpin 1234; "
                                           "write 91 12 34 87 = ok; read 4 = 03 c8 42 10";
    QTest::newRow("frame: begin, byte 0, 30 at the next positions (the last past the end), end; indicator")
        << mcu + "write 92 02 00 92 00 a0 92 01 a1 92 01 a2 92 01 a3 92 01 a4 92 01 a5 92 01 a6 92 01 a7 92 01 a8 "
                 "92 01 a9 92 01 aa 92 01 ab 92 01 ac 92 01 ad 92 01 ae 92 01 af 92 01 b0 92 01 b1 92 01 b2 "
                 "92 01 b3 92 01 b4 92 01 b5 92 01 b6 92 01 b7 92 01 b8 92 01 b9 92 01 ba 92 01 bb 92 01 bc "
                 "92 01 bd 92 01 be 92 03 00 92 04 80 = ok; indicator = 80; frame = a0 a1 a2 a3 a4 a5 a6 a7 a8 "
                 "a9 aa ab ac ad ae af b0 b1 b2 b3 b4 b5 b6 b7 b8 b9 ba bb bc bd";

    // Without a time-out a read waits for its count, or gives up with less after a bounded wait. Then a long
    // latency period, and a transfer just before, so that "not yet" has a wide margin.
    QTest::newRow("reading; answers at once with 0x87, else at the latency timer")
        << mcu + "junk 12 fa 34; queued = 3; write aa 87 = ok; read 2 = 12 fa; read 4 = 34 fa aa; latency 200 = ok; "
                 "write ab 87 = ok; queued = 2; write 90 10 = ok; queued = 2; read 3 = fa ab 00; write aa = ok; "
                 "queued = 0; read 2 = fa aa; delay 150000; write ab 87 = ok; queued = 0; read 2 = fa ab";
    // The release rules, to the microsecond, from a transfer at time 0 (latency 16 ms unless a period is given).
    QTest::newRow("held to the next period boundary") << QByteArray("at 40000 90 10 = 0; at 47999 = 0; at 48000 = 1");
    QTest::newRow("a transfer restarts the timer")
        << QByteArray("at 5000 90 10 87 = 1; at 6000 90 11 = 1; at 20999 = 1; at 21000 = 2");
    QTest::newRow("an empty 0x87 is no transfer") << QByteArray("at 1000 87 = 0; at 2000 90 10 = 0; at 15999 = 0; "
                                                                "at 16000 = 1");
    QTest::newRow("period 2 ms") << QByteArray("period 2; at 1000 90 10 = 0; at 1999 = 0; at 2000 = 1");
    QTest::newRow("one short of a packet")
        << "at 1000 " + QByteArray("aa ").repeated(254) + "90 10 = 0; at 16000 = 509";
    QTest::newRow("a full packet at once")
        << "at 1000 " + QByteArray("aa ").repeated(256) + "= 510; at 16999 = 510; at 17000 = 512";
    QTest::newRow("high-speed frame") << QByteArray("usb hs; at 1000 90 10 87 = 0; at 1124 = 0; at 1125 = 1");
    QTest::newRow("full-speed after latency") << QByteArray("usb fs; at 1000 90 10 = 0; at 16999 = 0; at 17000 = 1");

    // Each call (by its number) failing twice, logged as it failed, then working again.
    const QByteArrayList calls = {"list = " + both, "open Sim Bridge B = ok", "latency 16 = ok", "mode 08 = ok",
                                  "queued = 0", "read 0 = none", "write 87 = ok", "close = ok"};
    for (int i = 0; i < calls.size(); ++i) {
        const QByteArray name = sim::callName(sim::Call(i)), call = calls[i].left(calls[i].indexOf(" = "));
        const QByteArray failed = call + " = other error; ";
        QTest::newRow(name) << mcu + "fail " + QByteArray::number(i) + " 2 with other error; " + failed + "logged = "
                                   + name + " other error; " + failed + calls[i];
    }
    QTest::newRow("short writes")
        << mcu + "short 1 2 with ok; write 92 04 80 = ok, 2 written; logged = FT_Write ok 92 04; write 80 = ok; "
                 "short 2 0 with io error; write 92 04 01 = io error; write 92 04 01 = io error; "
                 "write 92 04 02 = ok; bus = w 04 80, w 04 02";
    QTest::newRow("failing listing query")
        << "failindex 0 with other error; index 0 = other error; index 0 = other error; index 1 = Sim Bridge B; "
           "list = index failed, Sim Bridge B; reset; list = " + both;

    QTest::newRow("log limit, the oldest going first")
        << "loglimit 10; " + mcu + "write 92 20 00 92 20 01 92 20 02 92 20 03 92 20 04 92 20 05 92 20 06 92 20 07 "
                                   "92 20 08 92 20 09 92 20 0a 92 20 0b = ok; list = " + both + "; list = " + both
               + "; list = " + both + "; calls = 10; bus = w 20 02, w 20 03, w 20 04, w 20 05, w 20 06, w 20 07, "
                                      "w 20 08, w 20 09, w 20 0a, w 20 0b";
    QTest::newRow("trace")
        << "trace on; open Sim Bridge A = ok; latency 16 = ok; mode 08 = ok; write 92 02 00 93 00 00 a5 92 03 00 = ok; "
           "write 90 10 87 = ok; close = ok; unplug Sim Bridge B = yes; plug Sim Bridge B = yes; trace = "
           "open \"Sim Bridge A\", latency 16, bitmode ff 08, write 92 02 00 93 00 00 a5 92 03 00, busw 02 00, "
           "busw 0000 a5, busw 03 00, frame a5" + QByteArray(58, '0') + ", write 90 10 87, busr 10 00, close, "
           "unplug \"Sim Bridge B\", plug \"Sim Bridge B\"";
}

void TestSimBridge::session()
{
    QFETCH(QByteArray, script);
    QCOMPARE(play(script), steps(script));
}

void TestSimBridge::badInput()
{
    DWORD count = 0;
    char buffer[FT_DESCRIPTION_BUFFER_SIZE];
    char *portA = const_cast<char *>(PortA);
    FT_HANDLE handle = nullptr;
    const FT_STATUS invalid = FT_INVALID_PARAMETER;
    QCOMPARE(FT_ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), invalid);
    QCOMPARE(FT_ListDevices(nullptr, nullptr, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), invalid);
    QCOMPARE(FT_ListDevices(nullptr, &count, FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION), invalid);
    QCOMPARE(FT_ListDevices(&count, buffer, 0), invalid);
    QCOMPARE(FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, &handle), invalid);
    QCOMPARE(FT_OpenEx(portA, FT_OPEN_BY_DESCRIPTION, nullptr), invalid);
    QCOMPARE(FT_OpenEx(portA, 0x10, &handle), invalid); // 0x10: no open-by flag
    QCOMPARE(FT_OpenEx(portA, FT_OPEN_BY_LOCATION, &handle), FT_STATUS(FT_NOT_SUPPORTED));
    // A text without a NUL in its 64 bytes: read no further, match nothing.
    std::memset(buffer, 'x', sizeof buffer);
    QCOMPARE(FT_OpenEx(buffer, FT_OPEN_BY_DESCRIPTION, &handle), FT_STATUS(FT_DEVICE_NOT_FOUND));

    QCOMPARE(FT_OpenEx(portA, FT_OPEN_BY_DESCRIPTION, &handle), FT_STATUS(FT_OK));
    QCOMPARE(FT_GetQueueStatus(handle, nullptr), invalid);
    QCOMPARE(FT_Read(handle, nullptr, 1, &count), invalid);
    QCOMPARE(FT_Read(handle, buffer, 1, nullptr), invalid);
    QCOMPARE(FT_Write(handle, nullptr, 1, &count), invalid);
    QCOMPARE(FT_Write(handle, buffer, 1, nullptr), invalid);
    QCOMPARE(FT_Write(handle, nullptr, 0, &count), FT_STATUS(FT_OK));
    QCOMPARE(FT_Read(handle, nullptr, 0, &count), FT_STATUS(FT_OK));
}

// A worker thread talks to the bridge while this thread controls and observes
// it; run under TSan this checks the model's locking.
void TestSimBridge::threads()
{
    const QByteArray script = "open Sim Bridge A = ok; mode 08 = ok; pin 0040 11; "
                              + QByteArray("write 90 40 87 = ok; read 1 = 11; ").repeated(200) + "close = ok";
    QByteArrayList played;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        played = play(script);
        done = true;
    });
    for (QDeadlineTimer deadline(30000); !done && !deadline.hasExpired();) {
        sim::setReadValue(0x40, 0x11);
        sim::calls();
        sim::busCycles();
    }
    worker.join();
    QCOMPARE(played, steps(script));
}

QTEST_GUILESS_MAIN(TestSimBridge)
#include "tst_simbridge.moc"
