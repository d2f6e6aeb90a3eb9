#include "ftunitl.h"
#include "simcontrol.h"

#include <QtTest>

#include <functional>

using Step = std::function<void(FtUnitl &)>;
Q_DECLARE_METATYPE(Step)

namespace {

const std::string PortA = "Sim Bridge A";
const QString QueryError = "error FT_GetQueueStatus , status 4";
const QString WriteError = "error FT_Write , status 4";

// Every debug line, as logged; the hook acts at the moment a line is logged,
// i.e. in the middle of a link operation.
QStringList g_lines;
bool g_contextSeen = false;
std::function<void(const QString &)> g_onLine;
QtMessageHandler g_previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        return g_previousHandler(type, context, message);
    g_lines << message;
    g_contextSeen = g_contextSeen || context.file || context.line || context.function;
    if (g_onLine)
        g_onLine(message);
}

QByteArray hex(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())).toHex();
}

std::vector<sim::CallRecord> callsOf(sim::Call call)
{
    std::vector<sim::CallRecord> picked;
    for (const sim::CallRecord &record : sim::calls())
        if (record.call == call)
            picked.push_back(record);
    return picked;
}

// What each FT_Write took, in hex; and the bus cycles as "w|r address data".
QByteArrayList writesTaken()
{
    QByteArrayList taken;
    for (const sim::CallRecord &record : callsOf(sim::Call::Write))
        taken << hex(record.bytes);
    return taken;
}

QStringList busTraffic()
{
    QStringList cycles;
    for (const sim::BusCycle &c : sim::busCycles())
        cycles << QString::asprintf(c.wide ? "%c %04x %02x" : "%c %02x %02x", c.write ? 'w' : 'r', c.address, c.data);
    return cycles;
}

// Opens, initialises and synchronises the default part, then forgets the traffic.
void openLink(FtUnitl &link)
{
    QCOMPARE(link.openDevice(), QString::fromStdString(PortA));
    QVERIFY(link.initDevice());
    sim::clearLogs();
    g_lines.clear();
}

} // namespace

class TstFtUnitl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { g_previousHandler = qInstallMessageHandler(captureMessage); }
    void init()
    {
        sim::reset();
        g_onLine = nullptr;
        g_lines.clear();
    }
    void cleanup() { QVERIFY(!g_contextSeen); }

    void listing_data();
    void listing();
    void sync_data();
    void sync();
    void syncResendsUntilAnswered();
    void reportedFailure_data();
    void reportedFailure();
    void destructorClosesOnlyOpenLink();
    void commands_data();
    void commands();
    void stagingOverflowDropsWholeCommand();
    void readReg8_data();
    void readReg8();
    void waitForData();
    void readsAtMostOneBuffer();
};

void TstFtUnitl::listing_data()
{
    QTest::addColumn<QByteArrayList>("devices");
    QTest::addColumn<int>("failingIndex");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("opened"); // what FT_OpenEx gets; empty: no open

    const QString opened = "open device success!";
    const QByteArray longName(63, 'L');
    QTest::newRow("no device") << QByteArrayList{} << -1 << QStringList{"device number 0"} << QByteArray();
    QTest::newRow("B and A") << QByteArrayList{"Dev B", "Dev A"} << -1
        << QStringList{"device Dev B", "device Dev A", "find A Dev A ", "device number 2", opened} << QByteArray("Dev A");
    QTest::newRow("two port-A") << QByteArrayList{"One A", "Two A"} << -1
        << QStringList{"device One A", "find A One A ", "device Two A", "find A Two A ", "device number 2", opened}
        << QByteArray("One A");
    QTest::newRow("not port-A") << QByteArrayList{" A", "Dev a", "DevA"} << -1
        << QStringList{"device  A", "device Dev a", "device DevA", "device number 3"} << QByteArray();
    QTest::newRow("cut at 49") << QByteArrayList{longName} << -1
        << QStringList{"device " + QString(longName.left(49)), "device number 1"} << QByteArray();
    QTest::newRow("shorter after longer") << QByteArrayList{"Short A", "A longer description B"} << -1
        << QStringList{"device Short A", "find A Short A ", "device A longer description B", "device number 2", opened}
        << QByteArray("Short A");
    QTest::newRow("failing entry skipped") << QByteArrayList{"P A", "Q A"} << 1
        << QStringList{"device P A", "find A P A ", "device number 2", opened} << QByteArray("P A");
    QTest::newRow("UTF-8") << QByteArrayList{"Br\xC3\xBC" "cke A"} << -1
        << QStringList{"device Brücke A", "find A Brücke A ", "device number 1", opened}
        << QByteArray("Br\xC3\xBC" "cke A");
    QTest::newRow("Latin-1 byte") << QByteArrayList{"Caf\xE9 A"} << -1
        << QStringList{"device Caf\uFFFD A", "find A Caf\uFFFD A ", "device number 1", opened}
        << QByteArray("Caf\xE9 A");
}

void TstFtUnitl::listing()
{
    QFETCH(QByteArrayList, devices);
    QFETCH(int, failingIndex);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, opened);

    std::vector<std::string> descriptions;
    for (const QByteArray &device : devices)
        descriptions.push_back(device.toStdString());
    sim::setDevices(descriptions);
    if (failingIndex >= 0)
        sim::failListIndex(failingIndex);

    FtUnitl link;
    QCOMPARE(link.openDevice(), QString::fromUtf8(opened));
    QCOMPARE(g_lines, lines);
    QCOMPARE(link.isOpen(), !opened.isEmpty());
    const std::vector<sim::CallRecord> opens = callsOf(sim::Call::OpenEx);
    QCOMPARE(opens.size(), size_t(opened.isEmpty() ? 0 : 1));
    if (!opened.isEmpty())
        QCOMPARE(QByteArray::fromStdString(opens.front().text).toHex(' '), opened.toHex(' '));
}

void TstFtUnitl::sync_data()
{
    // Each answer is put in the receive queue when a failed FT_Write is logged,
    // so the exchange whose byte did not go out reads exactly it.
    QTest::addColumn<QByteArrayList>("answers");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("synchronised");

    const auto bytes = [](const char *hexText) { return QByteArray::fromHex(hexText); };
    QTest::newRow("bridge answers") << QByteArrayList{} << false << true;
    QTest::newRow("exactly FA AA") << QByteArrayList{bytes("faaa"), bytes("00")} << false << true;
    QTest::newRow("FA AA and more") << QByteArrayList{bytes("faaa00"), bytes("00")} << false << true;
    QTest::newRow("only the AB echo") << QByteArrayList{bytes("00")} << false << true;
    QTest::newRow("neither echo") << QByteArrayList{bytes("0001"), bytes("faac")} << false << false;
    QTest::newRow("silent bridge") << QByteArrayList{} << true << false;
    QTest::newRow("second exchange unanswered") << QByteArrayList{bytes("faaa")} << true << false;
}

void TstFtUnitl::sync()
{
    QFETCH(QByteArrayList, answers);
    QFETCH(bool, silent);
    QFETCH(bool, synchronised);

    FtUnitl link;
    openLink(link);
    sim::setSilent(silent);
    const int failures = answers.size();
    if (failures > 0)
        sim::failNext(sim::Call::Write, failures, FT_IO_ERROR);
    g_onLine = [&answers](const QString &line) {
        if (line == WriteError && !answers.isEmpty()) {
            const QByteArray bytes = answers.takeFirst();
            sim::injectJunk(PortA, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
    };

    QCOMPARE(link.syncDevice(), synchronised);
    QCOMPARE(g_lines, QVector<QString>(failures, WriteError).toList());
    QVERIFY(link.isOpen());
    QVERIFY(callsOf(sim::Call::Write).size() <= 102); // one 0xAA per 1 ms pass, for 100 ms at most
}

void TstFtUnitl::syncResendsUntilAnswered()
{
    FtUnitl link;
    openLink(link);
    sim::setAnswerDelayUs(5000);
    QVERIFY(link.syncDevice());

    // Each 0xAA goes alone, at least 1 ms after the one before, and is followed
    // by its pass's queue query; only the last query finds the answer waiting.
    const std::vector<sim::CallRecord> records = sim::calls();
    std::vector<size_t> passes;
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].call == sim::Call::Write && hex(records[i].bytes) == "aa")
            passes.push_back(i);
    QVERIFY(passes.size() >= 2);
    for (size_t p = 0; p < passes.size(); ++p) {
        const sim::CallRecord &query = records.at(passes[p] + 1);
        QCOMPARE(query.call, sim::Call::GetQueueStatus);
        QCOMPARE(query.result > 0, p + 1 == passes.size());
        QVERIFY(p == 0 || records[passes[p]].timeUs - records[passes[p - 1]].timeUs >= 1000);
    }
}

void TstFtUnitl::reportedFailure_data()
{
    QTest::addColumn<int>("failingCall"); // a sim::Call, or -1: the device is unplugged
    QTest::addColumn<int>("times");
    QTest::addColumn<Step>("operation");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("stillOpen");

    const Step query = [](FtUnitl &link) { QCOMPARE(link.queueStatus(), FT_STATUS(FT_IO_ERROR)); };
    const Step write = [](FtUnitl &link) { link.writeReg8(4, 0x80); };
    const Step read = [](FtUnitl &link) { QCOMPARE(link.readReg8(0, 100), -1); };
    const Step close = [](FtUnitl &link) { QCOMPARE(link.closeDevice(), FT_STATUS(FT_IO_ERROR)); };
    const int queueCall = int(sim::Call::GetQueueStatus);

    QTest::newRow("query, probe answers") << queueCall << 1 << query << QStringList{QueryError} << true;
    QTest::newRow("query, probe fails") << queueCall << 2 << query << QStringList{QueryError} << false;
    QTest::newRow("write") << int(sim::Call::Write) << 1 << write << QStringList{WriteError} << true;
    QTest::newRow("write, unplugged") << -1 << 0 << write << QStringList{WriteError} << false;
    QTest::newRow("read") << int(sim::Call::Read) << 1 << read << QStringList{"error FT_Read , status 4"} << true;
    QTest::newRow("read, unplugged") << -1 << 0 << read << QStringList{QueryError, WriteError, QueryError} << false;
    QTest::newRow("close") << int(sim::Call::Close) << 1 << close << QStringList{"error FT_Close , status 4"} << false;
}

void TstFtUnitl::reportedFailure()
{
    QFETCH(int, failingCall);
    QFETCH(int, times);
    QFETCH(Step, operation);
    QFETCH(QStringList, lines);
    QFETCH(bool, stillOpen);

    FtUnitl link;
    openLink(link);
    if (failingCall < 0)
        QVERIFY(sim::unplug(PortA));
    else
        sim::failNext(sim::Call(failingCall), times, FT_IO_ERROR);
    operation(link);
    QCOMPARE(g_lines, lines);
    QCOMPARE(link.isOpen(), stillOpen);

    // A link found dead leaves its handle open; it is given back before the
    // next attempt, so the device (back again if it was unplugged) opens.
    if (!stillOpen && failingCall != int(sim::Call::Close)) {
        if (failingCall < 0)
            QVERIFY(sim::plug(PortA));
        QCOMPARE(link.openDevice(), QString::fromStdString(PortA));
        QCOMPARE(sim::openHandles(), 1);
    }
}

void TstFtUnitl::destructorClosesOnlyOpenLink()
{
    {
        FtUnitl link;
        openLink(link);
    }
    QCOMPARE(callsOf(sim::Call::Close).size(), size_t(1));
    QCOMPARE(sim::calls().size(), size_t(1));
    {
        FtUnitl link;
        openLink(link);
        QCOMPARE(link.closeDevice(), FT_STATUS(FT_OK));
        sim::clearLogs();
    }
    { FtUnitl neverOpened; }
    QVERIFY(sim::calls().empty());
    QCOMPARE(sim::openHandles(), 0);
    QVERIFY(g_lines.isEmpty());
}

void TstFtUnitl::commands_data()
{
    QTest::addColumn<Step>("operation");
    QTest::addColumn<QByteArrayList>("writes"); // what each FT_Write took
    QTest::addColumn<QStringList>("bus");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("writeReg8") << Step([](FtUnitl &l) { l.writeReg8(0x04, 0x80); })
        << QByteArrayList{"920480"} << QStringList{"w 04 80"} << QStringList();
    QTest::newRow("writeReg16") << Step([](FtUnitl &l) { l.writeReg16(0x12, 0x34, 0x56); })
        << QByteArrayList{"93123456"} << QStringList{"w 1234 56"} << QStringList();
    QTest::newRow("requestReg8") << Step([](FtUnitl &l) { l.requestReg8(0x10); })
        << QByteArrayList{"901087"} << QStringList{"r 10 00"} << QStringList();
    QTest::newRow("requestReg16") << Step([](FtUnitl &l) { l.requestReg16(0x12, 0x34); })
        << QByteArrayList{"91123487"} << QStringList{"r 1234 00"} << QStringList();
    QTest::newRow("after a failed write") << Step([](FtUnitl &l) {
        sim::failNext(sim::Call::Write, 1, FT_IO_ERROR);
        l.writeReg8(0x01, 0x02);
        l.writeReg8(0x04, 0x80);
    }) << QByteArrayList{"", "920102920480"} << QStringList{"w 01 02", "w 04 80"} << QStringList{WriteError};
    QTest::newRow("after a partial write") << Step([](FtUnitl &l) {
        sim::shortWrites(1, 2);
        l.writeReg8(0x04, 0x80);
        l.writeReg8(0x05, 0x11);
    }) << QByteArrayList{"9204", "80920511"} << QStringList{"w 04 80", "w 05 11"} << QStringList();
}

void TstFtUnitl::commands()
{
    QFETCH(Step, operation);
    QFETCH(QByteArrayList, writes);
    QFETCH(QStringList, bus);
    QFETCH(QStringList, lines);

    FtUnitl link;
    openLink(link);
    operation(link);
    QCOMPARE(writesTaken(), writes);
    QCOMPARE(busTraffic(), bus);
    QCOMPARE(link.stagedCount(), 0);
    QCOMPARE(g_lines, lines);
}

void TstFtUnitl::stagingOverflowDropsWholeCommand()
{
    FtUnitl link;
    openLink(link);
    // The bridge takes nothing, without failing, so every command stays staged.
    const int fitting = FtUnitl::BufferSize / 3;
    sim::shortWrites(fitting + 1, 0);
    QByteArray staged;
    for (int i = 0; i < fitting; ++i) {
        link.writeReg8(quint8(i), quint8(i >> 8));
        staged.append(char(0x92)).append(char(quint8(i))).append(char(quint8(i >> 8)));
    }
    QCOMPARE(link.stagedCount(), fitting * 3);
    link.writeReg16(0x12, 0x34, 0x56); // no room for its four bytes, nor for part of them
    QCOMPARE(link.stagedCount(), fitting * 3);

    // Once the bridge takes bytes again the staged commands go out whole and in
    // order; the two that did not fit never reach the bus.
    link.writeReg8(0x04, 0x80);
    QCOMPARE(link.stagedCount(), 0);
    QCOMPARE(writesTaken().last(), staged.toHex());
    QCOMPARE(int(sim::busCycles().size()), fitting);
    QVERIFY(g_lines.isEmpty());
}

void TstFtUnitl::readReg8_data()
{
    QTest::addColumn<Step>("before");
    QTest::addColumn<int>("tries");
    QTest::addColumn<int>("value"); // read from address 0x20

    QTest::newRow("0xFF") << Step([](FtUnitl &l) { l.writeReg8(0x20, 0xFF); }) << 100 << 255;
    QTest::newRow("0x80") << Step([](FtUnitl &) { sim::setReadValue(0x20, 0x80); }) << 100 << 128;
    QTest::newRow("stale bytes waiting") << Step([](FtUnitl &) {
        sim::injectJunk(PortA, {0x55, 0x66});
        sim::setReadValue(0x20, 0x33);
    }) << 100 << 0x33;
    QTest::newRow("late answer of an earlier read") << Step([](FtUnitl &l) {
        sim::setReadValue(0x21, 0x44);
        QCOMPARE(l.readReg8(0x21, 0), -1);
        QCOMPARE(callsOf(sim::Call::GetQueueStatus).size(), size_t(1)); // its drain's: no poll
        sim::setReadValue(0x20, 0x33);
    }) << 100 << 0x33;
    QTest::newRow("answer later than the tries") << Step([](FtUnitl &) { sim::setAnswerDelayUs(1000000); })
        << 3 << -1;
}

void TstFtUnitl::readReg8()
{
    QFETCH(Step, before);
    QFETCH(int, tries);
    QFETCH(int, value);

    FtUnitl link;
    openLink(link);
    before(link);
    QCOMPARE(link.readReg8(0x20, tries), value);
    QVERIFY(link.receivedData().isEmpty());
    QVERIFY(g_lines.isEmpty());
}

void TstFtUnitl::waitForData()
{
    FtUnitl link;
    openLink(link);
    QCOMPARE(link.waitForData(), 0);
    QCOMPARE(callsOf(sim::Call::GetQueueStatus).size(), size_t(100));
    QVERIFY(link.receivedData().isEmpty());

    sim::setReadValue(0x30, 0x5A);
    link.requestReg8(0x30);
    QCOMPARE(link.waitForData(), 1);
    QCOMPARE(link.receivedData(), QByteArray("\x5A"));
}

void TstFtUnitl::readsAtMostOneBuffer()
{
    FtUnitl link;
    openLink(link);
    sim::injectJunk(PortA, std::vector<uint8_t>(FtUnitl::BufferSize + 1000, 0x55));
    link.drain();
    QCOMPARE(link.receivedData().size(), FtUnitl::BufferSize);
    link.drain(); // the rest stayed queued
    QCOMPARE(link.receivedData().size(), 1000);
}

QTEST_GUILESS_MAIN(TstFtUnitl)
#include "tst_ftunitl.moc"
