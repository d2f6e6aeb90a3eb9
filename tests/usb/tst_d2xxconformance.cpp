// D2XX sessions the model and (TAVREL_CONFORMANCE_BRIDGE=usb) the USB driver answer alike, on two
// parts of the identity TAVREL_CONFORMANCE_PARTS names: 2232h (default), 2232d or noserial.
#include "d2xxcalls.h"
#include "simcontrol.h"
#include "usbd2xx.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>
#include <functional>
#include <future>
#include <map>

namespace {

const char *const Products[] = {"Dual RS232-HS", "Tavrel Second Bridge Whose Product String Is Longer Than Listed"};
constexpr int PartCount = 2;
constexpr int PortsPerPart = 2;
// Fills buffers before a call, to see what it wrote.
constexpr char Canary = 0x5A;
constexpr int SettleMs = 5000;
// A queue-status call that waited for the bus would take up to the latency timer (255 ms).
constexpr qint64 PromptMs = 50;
// The receive queue bound; read commands that fill it and both buffers of the part.
constexpr DWORD QueueBound = 1u << 20;
constexpr int FloodReads = 1100000;
constexpr int FloodMs = 15000;
const QByteArray Identity = qgetenv("TAVREL_CONFORMANCE_PARTS");
const bool Serials = Identity != "noserial";

// Hex bytes, "<hex>*<n>" standing for n of them.
QByteArray bytesOf(const QByteArray &text)
{
    QByteArray bytes;
    for (const QByteArray &group : text.simplified().split(' '))
        bytes += QByteArray::fromHex(group.split('*')[0]).repeated(group.split('*').value(1, "1").toInt());
    return bytes;
}

const QMap<FT_STATUS, QByteArray> StatusNames = {{FT_OK, "ok"}, {FT_INVALID_HANDLE, "invalid handle"},
    {FT_DEVICE_NOT_FOUND, "not found"}, {FT_DEVICE_NOT_OPENED, "not opened"}, {FT_IO_ERROR, "io error"},
    {FT_INVALID_PARAMETER, "invalid parameter"}, {FT_NOT_SUPPORTED, "not supported"}};

const D2xxCalls SimCalls = {FT_ListDevices, FT_OpenEx, FT_SetLatencyTimer, FT_SetBitMode,
                            FT_GetQueueStatus, FT_Read, FT_Write, FT_Close};

DWORD listedCount(const D2xxCalls &d2xx)
{
    DWORD n = 0;
    return d2xx.listDevices(&n, nullptr, FT_LIST_NUMBER_ONLY) == FT_OK ? n : DWORD(-1);
}

} // namespace

class TestD2xxConformance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void session_data();
    void session();
    void cleanup();

private:
    QByteArrayList play(const QByteArray &script);
    bool plugPart(int part, bool attach);

    const bool m_usb = qgetenv("TAVREL_CONFORMANCE_BRIDGE") == "usb";
    const D2xxCalls *m_d2xx = m_usb ? &usb::calls() : &SimCalls;
    std::vector<FT_HANDLE> m_opened;
    std::future<QByteArray> m_reading;
    bool m_attached[PartCount] = {true, true};
};

// Unplugs or re-plugs part 1 or 2; true when the listing shows it.
bool TestD2xxConformance::plugPart(int part, bool attach)
{
    bool done = true;
    m_attached[part - 1] = attach;
    if (!m_usb) {
        for (const char *port : {" A", " B"}) { // as listed: cut to 63 bytes
            const std::string description = (Products[part - 1] + std::string(port)).substr(0, 63);
            done &= attach ? sim::plug(description) : sim::unplug(description);
        }
    } else {
        const int fd = ::open(qgetenv("TAVREL_EMU_CONTROL").constData(), O_WRONLY | O_NONBLOCK);
        const QByteArray command = (attach ? "plug " : "unplug ") + QByteArray::number(part) + '\n';
        done = fd >= 0 && ::write(fd, command.constData(), size_t(command.size())) == command.size();
        if (fd >= 0)
            ::close(fd);
    }
    const DWORD expected = DWORD(std::count(m_attached, m_attached + PartCount, true) * PortsPerPart);
    return done && QTest::qWaitFor([&] { return listedCount(*m_d2xx) == expected; }, SettleMs);
}

// Plays "<verb> <arguments> = <result>" steps, giving back each with the result it had. Calls act
// on the handle of the last "open", or the n-th after "use <n>".
QByteArrayList TestD2xxConformance::play(const QByteArray &script)
{
    const D2xxCalls &d2xx = *m_d2xx;
    FT_HANDLE h = nullptr;
    QByteArray arg, result;
    DWORD n = 0;
    FT_STATUS status = FT_OK;
    const std::map<QByteArray, std::function<void()>> verbs = {
        {"list", [&] { // by index, none past 64 bytes
             QByteArrayList entries;
             status = d2xx.listDevices(&n, nullptr, FT_LIST_NUMBER_ONLY);
             const DWORD by = arg == "serials" ? FT_OPEN_BY_SERIAL_NUMBER : FT_OPEN_BY_DESCRIPTION;
             for (uintptr_t i = 0; i < n; ++i) {
                 QByteArray text(FT_DESCRIPTION_BUFFER_SIZE + 1, Canary);
                 const bool failed = d2xx.listDevices(reinterpret_cast<void *>(i), text.data(), FT_LIST_BY_INDEX | by);
                 entries << (failed ? "index failed" : text.endsWith(Canary) ? text.constData() : "overrun");
             }
             result = entries.isEmpty() ? QByteArray("none") : entries.join(", ");
         }},
        {"index", [&] {
             char buffer[FT_DESCRIPTION_BUFFER_SIZE] = {};
             void *index = reinterpret_cast<void *>(arg.toULongLong());
             status = d2xx.listDevices(index, buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
         }},
        {"open", [&] {
             const bool serial = arg.startsWith("serial ");
             QByteArray text = arg.mid(serial ? 7 : 0);
             status = d2xx.openEx(text.data(), serial ? FT_OPEN_BY_SERIAL_NUMBER : FT_OPEN_BY_DESCRIPTION, &h);
             m_opened.push_back(status == FT_OK ? h : nullptr);
         }},
        {"use", [&] { h = m_opened.at(size_t(arg.toInt() - 1)); }},
        {"close", [&] { status = d2xx.close(h); }},
        {"latency", [&] { status = d2xx.setLatencyTimer(h, UCHAR(arg.toInt())); }},
        {"mode", [&] { status = d2xx.setBitMode(h, 0, UCHAR(arg.toUInt(nullptr, 16))); }},
        {"write", [&] {
             QByteArray bytes = bytesOf(arg);
             status = d2xx.write(h, bytes.data(), DWORD(bytes.size()), &n);
             if (n != DWORD(bytes.size()) && status == FT_OK)
                 result = QByteArray::number(uint(n)) + " written";
         }},
        {"queued", [&] {
             QElapsedTimer timer;
             timer.start();
             status = d2xx.getQueueStatus(h, &n);
             result = timer.elapsed() > PromptMs ? "waited" : QByteArray::number(uint(n));
         }},
        {"await", [&] {
             const bool settled = QTest::qWaitFor(
                 [&] { return (status = d2xx.getQueueStatus(h, &n)) != FT_OK || n >= arg.toUInt(); }, SettleMs);
             result = QByteArray::number(uint(n)) + (settled ? "" : " by the time-out");
         }},
        {"read", [&] {
             QByteArray buffer(arg.toInt() + 1, Canary);
             status = d2xx.read(h, buffer.data(), DWORD(arg.toInt()), &n);
             const QByteArray got = buffer.left(int(n));
             result = !buffer.endsWith(Canary) ? "overrun" : !n ? "none" : n > 4 && got.count(got[0]) == int(n)
                 ? got.left(1).toHex() + "*" + QByteArray::number(uint(n)) : got.toHex(' ');
         }},
        {"reader", [&] {
             m_reading = std::async(std::launch::async, [&d2xx, h, count = arg.toUInt()] {
                 QByteArray buffer(int(count), 0);
                 DWORD got = 0;
                 return StatusNames.value(d2xx.read(h, buffer.data(), count, &got), "other");
             });
         }},
        {"joined", [&] { result = m_reading.get(); }},
        {"flood", [&] { // nobody reads: the write stalls
             QByteArray bytes = bytesOf("9021*" + QByteArray::number(FloodReads) + " 87"), buffer(int(QueueBound), 0);
             status = d2xx.write(h, bytes.data(), DWORD(bytes.size()), &n);
             const DWORD taken = n;
             DWORD answers = 0, queued = 0, most = 0;
             const auto drain = [&](DWORD expected) { // counts only answers that are all 0x5c
                 return QTest::qWaitFor([&] {
                     if (d2xx.getQueueStatus(h, &queued) == FT_OK && queued) {
                         most = std::max(most, queued);
                         d2xx.read(h, buffer.data(), std::min(queued, QueueBound), &n);
                         answers += QByteArray::fromRawData(buffer.data(), int(n)).count('\x5c') == int(n) ? n : 0;
                     }
                     return answers >= expected;
                 }, FloodMs);
             };
             bool drained = drain(taken / 2);
             if (status == FT_OK && taken < DWORD(bytes.size()))
                 status = d2xx.write(h, bytes.data() + taken, DWORD(bytes.size()) - taken, &n);
             drained &= drain(FloodReads);
             result = (taken < DWORD(bytes.size()) ? "stalled, " : "not stalled, ")
                 + QByteArray(most <= QueueBound ? "queue within bound, " : "queue past its bound, ")
                 + QByteArray::number(uint(answers)) + (drained ? " answers" : " answers by the time-out");
         }},
        {"unplug", [&] { result = plugPart(arg.toInt(), false) ? "ok" : "still listed"; }},
        {"plug", [&] { result = plugPart(arg.toInt(), true) ? "ok" : "not listed"; }},
    };
    QByteArrayList done;
    for (QByteArray step : script.split(';')) {
        const QByteArray action = step.trimmed().split('=').first().trimmed();
        const QByteArray name = action.split(' ').first();
        const auto verb = verbs.find(name);
        arg = action.mid(name.size() + 1);
        result = verb == verbs.end() ? "unknown step" : QByteArray();
        status = FT_OK;
        n = 0;
        if (verb != verbs.end())
            verb->second();
        if (status != FT_OK)
            result = StatusNames.value(status, QByteArray::number(uint(status)));
        done << (name == "use" ? action : action + " = " + (result.isEmpty() ? "ok" : result));
    }
    return done;
}

void TestD2xxConformance::initTestCase()
{
    QVERIFY2(!m_usb || !qEnvironmentVariableIsEmpty("TAVREL_EMU_CONTROL"), "run under tavrel-bridge-emu --control");
    if (!m_usb) {
        sim::reset();
        const std::string chip = Identity == "2232d" ? ",2232d" : "";
        sim::setParts({std::string(Products[0]) + (Serials ? ",SIM001" : ",") + chip,
                       std::string(Products[1]) + (Serials ? ",SIM002" : ",") + chip});
    }
    QTRY_COMPARE_WITH_TIMEOUT(listedCount(*m_d2xx), DWORD(PartCount * PortsPerPart), SettleMs);
}

void TestD2xxConformance::cleanup()
{
    for (FT_HANDLE h : m_opened)
        m_d2xx->close(h);
    m_opened.clear();
    for (int part = 1; part <= PartCount; ++part)
        QVERIFY(m_attached[part - 1] || plugPart(part, true));
}

void TestD2xxConformance::session_data()
{
    QTest::addColumn<QByteArray>("transcript");
    const QByteArray openA = "open Dual RS232-HS A = ok; mode 00 = ok; mode 08 = ok; ", second = Products[1];
    const QByteArray both = "Dual RS232-HS A, Dual RS232-HS B, " + second + ", " + second;
    QTest::newRow("listing: ports A and B of several parts, a text longer than 63 bytes cut")
        << "list = " + both + "; list serials = " + (Serials ? "SIM001A, SIM001B, SIM002A, SIM002B" : ", , , ")
           + "; index 4 = not found";
    QTest::newRow("listing: one part, none")
        << QByteArray("unplug 2 = ok; list = Dual RS232-HS A, Dual RS232-HS B; unplug 1 = ok; list = none; "
                      "index 0 = not found");
    QTest::newRow("open: unknown")
        << QByteArray("open No Such Bridge A = not found; open Dual RS232-HS = not found; "
                      "open serial SIM009A = not found");
    if (Serials)
        QTest::newRow("open: already open, by description or serial")
            << QByteArray("open Dual RS232-HS A = ok; open Dual RS232-HS A = not opened; "
                          "open serial SIM001A = not opened; open serial SIM001B = ok; close = ok; use 1; "
                          "close = ok; close = invalid handle; open Dual RS232-HS A = ok");
    QTest::newRow("latency range")
        << QByteArray("open Dual RS232-HS B = ok; latency 0 = invalid parameter; latency 1 = invalid parameter; "
                      "latency 2 = ok; latency 255 = ok; latency 16 = ok");
    QTest::newRow("bit modes")
        << openA + "mode 03 = invalid parameter; mode 80 = invalid parameter; mode 01 = ok; mode 00 = ok";
    QTest::newRow("synchronisation echo") << openA + "write aa = ok; read 2 = fa aa; queued = 0";
    QTest::newRow("8-bit register write, read back")
        << openA + "write 92 21 5c = ok; write 90 21 87 = ok; read 1 = 5c; write 92 21 c5 90 21 87 = ok; read 1 = c5";
    QTest::newRow("16-bit register write, read back")
        << openA + "write 93 12 34 a5 = ok; write 91 12 34 87 = ok; read 1 = a5; write 91 00 34 87 = ok; read 1 = 00";
    QTest::newRow("queue status does not wait for the bus")
        << openA + "latency 255 = ok; write 92 40 77 90 40 = ok; queued = 0; await 1 = 1; queued = 1; read 1 = 77";
    QTest::newRow("read served from the queue")
        << openA + "write 92 30 11 92 31 22 92 32 33 90 30 90 31 90 32 87 = ok; await 3 = 3; "
                   "read 2 = 11 22; queued = 1; read 1 = 33; read 0 = none; queued = 0";
    QTest::newRow("an answer longer than one packet")
        << openA + "write 92 21 5c 9021*600 87 = ok; await 600 = 600; read 600 = 5c*600; queued = 0";
    QTest::newRow("a client that never reads")
        << openA + "write 92 21 5c = ok; flood = stalled, queue within bound, 1100000 answers";
    QTest::newRow("a read cut short by an unplug")
        << openA + "latency 255 = ok; write 92 21 5c 90 21 87 = ok; reader 5 = ok; unplug 1 = ok; joined = io error";
    QTest::newRow("unplug in the middle")
        << openA + "write 92 21 5c 90 21 87 = ok; await 1 = 1; unplug 1 = ok; await 2 = io error; "
                   "queued = io error; read 1 = io error; write aa = io error; latency 16 = io error; "
                   "mode 00 = io error; close = io error; close = invalid handle; "
                   "list = " + second + ", " + second + "; open Dual RS232-HS A = not found";
    QTest::newRow("re-plug and reopen")
        << openA + "unplug 1 = ok; close = io error; plug 1 = ok; list = " + both + "; "
                   "open Dual RS232-HS A = ok; latency 2 = ok; mode 08 = ok; write aa 87 = ok; read 2 = fa aa";
}

void TestD2xxConformance::session()
{
    QFETCH(QByteArray, transcript);
    QCOMPARE(play(transcript).join("; "), transcript);
}

QTEST_GUILESS_MAIN(TestD2xxConformance)
#include "tst_d2xxconformance.moc"
