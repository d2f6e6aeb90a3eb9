// The simulated bridge through its eight D2XX calls and its control API, as scripted sessions.
#include "simmodel.h"

#include <QtTest>

#include <functional>
#include <future>

const QMap<FT_STATUS, QByteArray> Names = {{FT_OK, "ok"}, {FT_INVALID_HANDLE, "invalid handle"},
    {FT_DEVICE_NOT_FOUND, "not found"}, {FT_DEVICE_NOT_OPENED, "not opened"}, {FT_IO_ERROR, "io error"},
    {FT_INVALID_PARAMETER, "invalid parameter"}, {FT_OTHER_ERROR, "other error"}};

// Hex bytes, "<hex>*<n>" for n of them; and back.
static QByteArray bytesOf(const QByteArray &text)
{
    QByteArray bytes;
    for (const QByteArray &group : text.simplified().split(' '))
        bytes += QByteArray::fromHex(group.split('*')[0]).repeated(group.split('*').value(1, "1").toInt());
    return bytes;
}

static QByteArray hexOf(const QByteArray &bytes)
{
    QByteArrayList groups;
    for (int i = 0, n = 1; i < bytes.size(); i += n, n = 1) {
        while (i + n < bytes.size() && bytes[i + n] == bytes[i])
            ++n;
        groups << (n > 2 ? bytes.mid(i, 1).toHex() + "*" + QByteArray::number(n) : bytes.mid(i, n).toHex(' '));
    }
    return groups.isEmpty() ? "none" : groups.join(' ');
}

// Plays "<verb> <argument>[ = <result>]" steps. Calls act on the handle of the last "open", or the n-th after
// "use <n>" (0: null). "at" drives a port A on a synthetic clock.
static void play(const QByteArray &script)
{
    std::vector<FT_HANDLE> opened = {nullptr};
    FT_HANDLE h = nullptr;
    sim::Model m;
    std::unique_ptr<sim::Device> part;
    const auto fresh = [&](sim::Chip chip) {
        part = m.makeDevice("A", "", chip, true), part->port->reset(0), part->port->setBitMode(0, sim::ModeMcuHost, 0);
    };
    fresh(sim::Chip::FT2232H);
    std::future<QByteArray> reading;
    QTemporaryDir dir;
    QFile trace(qEnvironmentVariable("TAVREL_SIM_TRACE", dir.filePath("trace")));
    const qint64 traceFrom = trace.size();
    QByteArray arg, result;
    DWORD n = 0;
    const auto number = [&arg](int i) { return arg.split(' ').value(i).toULongLong(); };
    const auto status = [&result](FT_STATUS s) { return result = Names.value(s, QByteArray::number(s)), !s; };
    const auto joined = [](const QByteArrayList &items) { return items.isEmpty() ? "none" : items.join(", "); };
    const std::map<QByteArray, std::function<void()>> verbs = {
        {"open", [&] { h = nullptr, status(FT_OpenEx(arg.data(), FT_OPEN_BY_DESCRIPTION, &h)), opened.push_back(h); }},
        {"use", [&] { h = opened.at(number(0)); }},
        {"close", [&] { status(FT_Close(h)); }},
        {"latency", [&] { status(FT_SetLatencyTimer(h, UCHAR(number(0)))); }},
        {"mode", [&] { status(FT_SetBitMode(h, 0xFF, UCHAR(arg.toUInt(nullptr, 16)))); }},
        {"write", [&] {
             QByteArray bytes = bytesOf(arg);
             if (status(FT_Write(h, bytes.data(), DWORD(bytes.size()), &n)) && int(n) < bytes.size())
                 result += ", " + QByteArray::number(uint(n)) + " written";
         }},
        {"queued", [&] { if (status(FT_GetQueueStatus(h, &n))) result.setNum(uint(n)); }},
        {"read", [&] {
             QByteArray bytes(int(number(0)), 0);
             if (status(FT_Read(h, bytes.data(), DWORD(bytes.size()), &n)))
                 result = hexOf(bytes.left(int(n)));
         }},
        {"reader", [&] {
             reading = std::async(std::launch::async, [h, bytes = QByteArray(int(number(0)), 0)]() mutable {
                 DWORD got = 0;
                 return FT_Read(h, bytes.data(), DWORD(bytes.size()), &got), bytes.left(int(got));
             });
         }},
        {"joined", [&] { result = hexOf(reading.get()); }},
        {"list", [&] {
             QByteArrayList names;
             for (uintptr_t i = 0; FT_ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY) == FT_OK && i < n; ++i) {
                 QByteArray text(FT_DESCRIPTION_BUFFER_SIZE + 1, '?');
                 FT_ListDevices(reinterpret_cast<void *>(i), text.data(), FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
                 names << (text.endsWith('?') ? text.constData() : "overrun");
             }
             result = joined(names);
         }},
        {"parts", [&] {
             std::vector<std::string> items;
             for (const QByteArray &item : arg.split('|'))
                 if (!item.isEmpty()) items.push_back(item.toStdString());
             std::string error;
             sim::setParts(items, &error), result = error.c_str();
         }},
        {"unplug", [&] { result = sim::unplug(arg.toStdString()) ? "yes" : "no"; }},
        {"handles", [&] { result.setNum(sim::openHandles()); }},
        {"fail", [&] { sim::failNext(sim::Call(number(0)), int(number(1)), Names.key(arg.mid(4))); }},
        {"limit", [&] { sim::setHostQueueLimit(number(0)); }},
        {"faults", [&] { QByteArrayList f; for (auto &s : sim::clientFaults()) f << s.c_str(); result = joined(f); }},
        {"bus", [&] {
             QByteArrayList list;
             for (const sim::BusCycle &c : sim::busCycles())
                 list << QString::asprintf("%c %0*x %02x", "rw"[c.write], c.wide ? 4 : 2, c.address, c.data).toLatin1();
             result = joined(list), sim::clearLogs();
         }},
        {"logs", [&] { sim::setLogLimit(number(0)), sim::setLogByteLimit(number(1)); }},
        {"logged", [&] { result = QByteArray::number(int(sim::calls().size())) + " calls"; }},
        {"trace", [&] {
             sim::setTraceFile(arg == "on" ? trace.fileName().toStdString() : std::string());
             if (arg != "on" && trace.open(QIODevice::ReadOnly) && trace.seek(traceFrom))
                 result = QString(trace.readAll().trimmed()).replace(QRegularExpression("(^|\n)\\d+ "), ", ")
                              .mid(2).toUtf8();
         }},
        {"usb", [&] { m.pacing = arg == "hs" ? sim::UsbPacing::HighSpeed : sim::UsbPacing::FullSpeed; }},
        {"chip", [&] { fresh(arg == "2232d" ? sim::Chip::FT2232D : sim::Chip::FT2232H); }},
        {"period", [&] { part->port->setLatency(uint8_t(number(0))); }},
        {"at", [&] { // at <us> [<bytes>] = what the host can read then
             const QByteArray bytes = bytesOf(arg.split(' ').mid(1).join(' '));
             const auto *data = reinterpret_cast<const uint8_t *>(bytes.data());
             for (size_t done = 0, pass = 0; pass < 1000 && (pass == 0 || done < size_t(bytes.size())); ++pass)
                 m.advance(*part, number(0)), done += part->port->write(data + done, bytes.size() - done, number(0));
             m.advance(*part, number(0));
             result.setNum(uint(m.visible(*part, number(0))));
         }},
    };
    for (QByteArray step : script.split(';')) {
        step = step.trimmed();
        const QByteArray action = step.contains(" = ") ? step.left(step.indexOf(" = ")) : step;
        const QByteArray name = action.split(' ').first();
        arg = action.mid(name.size() + 1);
        result.clear();
        verbs.count(name) ? verbs.at(name)() : void(result = "unknown step");
        QCOMPARE(result.isEmpty() ? action : action + " = " + result, step);
    }
}

class TestSimBridge : public QObject
{
    Q_OBJECT

private slots:
    void init() { if (qstrcmp(QTest::currentDataTag(), "start-up")) sim::reset(); } // see below
    void session_data();
    void session() { QFETCH(QByteArray, script); play(script); }
};

void TestSimBridge::session_data()
{
    QTest::addColumn<QByteArray>("script");
    const QByteArray mcu = "open Sim Bridge A = ok; mode 08 = ok; ", cut(63, 'x');
    // For the CTest entries that set the model up by the environment.
    QTest::newRow("start-up") << qEnvironmentVariable("TAVREL_SIM_TEST_SCRIPT", "handles = 0").toUtf8();
    // Each opcode, 0xaa for each operand and one more: a wrong count would not end in one 0xfa 0xaa.
    const QMap<int, int> operands = {{0x80, 2}, {0x81, 0}, {0x82, 2}, {0x83, 0}, {0x84, 0}, {0x85, 0}, {0x86, 2},
        {0x87, 0}, {0x88, 0}, {0x8A, 0}, {0x8B, 0}, {0x8C, 0}, {0x8D, 0}, {0x8E, 1}, {0x8F, 2}, {0x90, 1}, {0x91, 2},
        {0x92, 2}, {0x93, 3}, {0x94, 0}, {0x95, 0}, {0x96, 0}, {0x97, 0}, {0x9C, 2}, {0x9D, 2}};
    const QMap<int, QByteArray> answers = {{0x81, "ff"}, {0x83, "ff"}, {0x90, "00"}, {0x91, "00"}};
    for (int byte = 0; byte < 256; byte += byte == 0x88 ? 2 : 1) {
        const QByteArray hex = QByteArray::number(byte | 0x100, 16).mid(1);
        const QByteArray answer = bytesOf(operands.contains(byte) ? answers.value(byte) : "fa " + hex) + "\xfa\xaa";
        QTest::newRow("0x" + hex) << mcu + "write " + hex + " aa*" + QByteArray::number(operands.value(byte) + 1)
            + " 87 = ok; read " + QByteArray::number(answer.size()) + " = " + hexOf(answer) + "; queued = 0";
    }
    QTest::newRow("commands split over writes; 0x89 stalls, its bytes wait; modes")
        << mcu + "write 93 12 = ok; bus = none; "
        "write 34 78 91 12 34 92 90 87 = ok; bus = w 1234 78, r 1234 78, w 90 87; read 1 = 78; write 89 90 10 87 = ok; "
        "queued = 0; mode 08 = ok; read 1 = 00; "
        "bus = r 10 00; write 92 04 = ok; "
        "mode 00 = ok; write aa 90 04 87 = ok; mode 08 = ok; write aa 87 = ok; bus = none; read 2 = fa aa; "
        "open Sim Bridge B = ok; mode 08 = ok; write aa 87 = ok; queued = 0";
    QTest::newRow("listing: parts, descriptions of any bytes cut to 63") << "parts Left||Right; list = Left A, Left B, "
        "Right A, Right B; parts \xc3\xff|" + cut + "yz; list = \xc3\xff A, \xc3\xff B, " + cut + ", " + cut + "; "
        "open " + cut + " = ok; parts; list = none";
    QTest::newRow("identities: four ports, no host-bus processor; a bad chip named") << QByteArray("parts Q,,4232h; "
        "list = Q A, Q B, Q C, Q D; open Q A = ok; mode 08 = ok; write aa 87 = ok; queued = 0; parts Y,,2232x = "
        "unknown chip \"2232x\" in \"Y,,2232x\" (2232h, 2232d or 4232h); list = Q A, Q B, Q C, Q D");
    QTest::newRow("handles; a failed close gives one back; unplugged") << mcu + "open Sim Bridge A = not opened; "
        "open Sim Bridge B = ok; handles = 2; close = ok; close = invalid handle; use 0; "
        "latency 16 = invalid handle; use 1; fail 7 1 other error; close = other error; handles = 0; open Sim Bridge A "
        "= ok; unplug Sim Bridge A = yes; unplug Sim Bridge A = no; list = Sim Bridge B; use 4; "
        "queued = io error; close = io error; handles = 0";
    // 4080 answers queued, 4096 in the part, a read's opcode taken, 4096 bytes more from the host.
    QTest::newRow("client faults: a read asking for more than comes, a write into a full queue; nothing dropped")
        << mcu + "write 90 10 87 = ok; read 2 = 00; faults = FT_Read asked 2 bytes, 1 were queued; bus = r 10 00; "
        "latency 255 = ok; limit 4080; write 9205 5a 9005*12000 = ok, 20452 written; "
        "faults = FT_Write offered 24003 bytes, the part "
        "took 20452: the rest waits on the part; write 05 = ok, 0 written; read 8176 = 5a*8176; "
        "write 05 9005*20 aa 87 = ok; read 2071 = 5a*2069 fa aa";
    QTest::newRow("a stalled write resumes as the host reads") << mcu + "latency 255 = ok; limit 4080; reader 20002; "
        "write 9205 5a 9005*20000 aa 87 = ok; joined = 5a*20000 fa aa; faults = none";
    QTest::newRow("logs bounded by entries, the oldest first, and by bytes") << mcu + "logs 2 100000; write 922001 "
        "922002 922003 = ok; bus = w 20 02, w 20 03; logs 100 1000; queued = 0; queued = 0; logged = 2 calls; "
        "write 87*2000 = ok; logged = 0 calls";
    QTest::newRow("trace") << "trace on; " + mcu + "write 92 02 00 93 00 00 a5 92 03 00 90 10 87 = ok; close = ok; "
        "trace = open \"Sim Bridge A\", bitmode ff 08, write 92 02 00 93 00 00 a5 92 03 00 90 10 87, busw 02 00, "
        "busw 0000 a5, busw 03 00, frame a5" + QByteArray(58, '0') + ", busr 10 00, close";
    // In microseconds from a transfer at 0: 0x87, the latency timer, a full request; each at the next bus frame.
    QTest::newRow("release rules") << QByteArray("at 5000 90 10 87 = 1; at 6000 90 11 = 1; at 20999 = 1; at 21000 = 2; "
        "at 60000 90 12 = 2; at 68999 = 2; at 69000 = 3; at 70000 87 = 3; at 71000 90 10 = 3; at 84999 = 3; at 85000 = "
        "4; period 2; at 85500 90 10 = 4; at 86999 = 4; at 87000 = 5; period 16; at 88000 9010*510 = 5; at 103999 = 5; "
        "at 104000 = 515; at 105000 9010*4079 = 515; at 105000 9010 = 4595; usb hs; at 120000 90 10 87 = 4595; "
        "at 120124 = 4595; at 120125 = 4596; usb fs; chip 2232d; at 130000 9010*3967 = 0; at 131000 = 0; "
        "at 131001 9010 = 0; at 131999 = 0; at 132000 = 3968");
}

QTEST_GUILESS_MAIN(TestSimBridge)
#include "tst_simbridge.moc"
