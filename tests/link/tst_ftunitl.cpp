#include "ftunitl.h"
#include "simcontrol.h"

#include <QtTest>

#include <functional>
#include <memory>

using Step = std::function<void(FtUnitl &)>;
using Names = std::vector<std::string>;
Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Names)

namespace {

const std::string PortA = "Sim Bridge A";
const QString QueryError = "error FT_GetQueueStatus , status 4";
const QString WriteError = "error FT_Write , status 4";
const Step none = [](FtUnitl &) {};

// Every debug line, as logged; the hook acts at the moment a line is logged,
// i.e. in the middle of a link operation.
QStringList g_lines;
std::function<void(const QString &)> g_onLine;
QtMessageHandler g_previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg)
        return g_previousHandler(type, context, message);
    g_lines << message;
    if (g_onLine)
        g_onLine(message);
}

// What each FT_Write took, in hex.
QByteArrayList writesTaken()
{
    QByteArrayList taken;
    for (const sim::CallRecord &record : sim::calls())
        if (record.call == sim::Call::Write)
            taken << QByteArray(reinterpret_cast<const char *>(record.bytes.data()), int(record.bytes.size())).toHex();
    return taken;
}

} // namespace

class TstFtUnitl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { g_previousHandler = qInstallMessageHandler(captureMessage); }
    void init();
    void cleanup();

    void listing_data();
    void listing();
    void sync_data();
    void sync();
    void operations_data();
    void operations();

private:
    std::unique_ptr<FtUnitl> m_link;
};

void TstFtUnitl::init()
{
    sim::reset();
    g_onLine = nullptr;
    m_link.reset(new FtUnitl);
    // Every test but the listing's starts from the default part opened,
    // initialised and synchronised, with the traffic of that forgotten.
    if (QTest::currentTestFunction() != QByteArray("listing")) {
        QCOMPARE(m_link->openDevice(), QString::fromStdString(PortA));
        QVERIFY(m_link->initDevice());
        sim::clearLogs();
    }
    g_lines.clear();
}

// However a test leaves the link, destroying it gives back the handle it holds (a
// closed or never opened one calls nothing); no call went to a handle given back.
void TstFtUnitl::cleanup()
{
    m_link.reset();
    QCOMPARE(sim::openHandles(), 0);
    for (const sim::CallRecord &record : sim::calls())
        QVERIFY2(record.status != FT_INVALID_HANDLE, sim::callName(record.call));
}

void TstFtUnitl::listing_data()
{
    QTest::addColumn<Names>("devices");
    QTest::addColumn<int>("failingIndex"); // whose by-index query fails; -1: none
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("opened"); // the description opened, as listed; empty: none

    const QString opened = "open device success!";
    QTest::newRow("no device") << Names{} << -1 << QStringList{"device number 0"} << QByteArray();
    QTest::newRow("shorter A after longer B") << Names{"A longer description B", "Short A"} << -1
        << QStringList{"device A longer description B", "device Short A", "find A Short A ", "device number 2", opened}
        << QByteArray("Short A");
    QTest::newRow("not port-A") << Names{" A", "Dev a", "DevA"} << -1
        << QStringList{"device  A", "device Dev a", "device DevA", "device number 3"} << QByteArray();
    QTest::newRow("cut at 49") << Names{std::string(63, 'L')} << -1
        << QStringList{"device " + QString(49, 'L'), "device number 1"} << QByteArray();
    QTest::newRow("failing entry skipped, first A opened") << Names{"P A", "Q B", "R A"} << 1
        << QStringList{"device P A", "find A P A ", "device R A", "find A R A ", "device number 3", opened}
        << QByteArray("P A");
    QTest::newRow("UTF-8") << Names{"Br\xC3\xBC" "cke A"} << -1
        << QStringList{"device Brücke A", "find A Brücke A ", "device number 1", opened}
        << QByteArray("Br\xC3\xBC" "cke A");
    QTest::newRow("Latin-1 byte") << Names{"Caf\xE9 A"} << -1
        << QStringList{"device Caf\uFFFD A", "find A Caf\uFFFD A ", "device number 1", opened}
        << QByteArray("Caf\xE9 A");
}

void TstFtUnitl::listing()
{
    QFETCH(Names, devices);
    QFETCH(int, failingIndex);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, opened);

    sim::setDevices(devices);
    if (failingIndex >= 0)
        sim::failListIndex(failingIndex);

    QCOMPARE(m_link->openDevice(), QString::fromUtf8(opened));
    QCOMPARE(g_lines, lines);
    QByteArray openedBytes; // what FT_OpenEx got
    for (const sim::CallRecord &record : sim::calls())
        if (record.call == sim::Call::OpenEx)
            openedBytes += QByteArray::fromStdString(record.text).toHex(' ');
    QCOMPARE(openedBytes, opened.toHex(' '));
}

void TstFtUnitl::sync_data()
{
    // Each answer is put in the receive queue when a failed FT_Write is logged,
    // so the exchange whose byte did not go out reads exactly it.
    QTest::addColumn<QByteArrayList>("answers");
    QTest::addColumn<Step>("bridge");
    QTest::addColumn<bool>("synchronised");

    const auto bytes = [](const char *hexText) { return QByteArray::fromHex(hexText); };
    const Step silent = [](FtUnitl &) { sim::setSilent(true); };
    const Step firstTwoLost = [](FtUnitl &) { sim::shortWrites(2, 0); }; // not taken, yet not failed
    QTest::newRow("bridge answers") << QByteArrayList{} << none << true;
    QTest::newRow("first two 0xAA lost") << QByteArrayList{} << firstTwoLost << true;
    QTest::newRow("exactly FA AA") << QByteArrayList{bytes("faaa"), bytes("00")} << none << true;
    QTest::newRow("FA AA and more") << QByteArrayList{bytes("faaa00"), bytes("00")} << none << true;
    QTest::newRow("only the AB echo") << QByteArrayList{bytes("00")} << none << true;
    QTest::newRow("neither echo") << QByteArrayList{bytes("0001"), bytes("faac")} << none << false;
    QTest::newRow("silent bridge") << QByteArrayList{} << silent << false;
    QTest::newRow("second exchange unanswered") << QByteArrayList{bytes("faaa")} << silent << false;
}

void TstFtUnitl::sync()
{
    QFETCH(QByteArrayList, answers);
    QFETCH(Step, bridge);
    QFETCH(bool, synchronised);

    bridge(*m_link);
    const int failures = answers.size();
    sim::failNext(sim::Call::Write, failures, FT_IO_ERROR);
    g_onLine = [&answers](const QString &line) {
        if (line == WriteError && !answers.isEmpty()) {
            const QByteArray bytes = answers.takeFirst();
            sim::injectJunk(PortA, std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
    };

    QCOMPARE(m_link->syncDevice(), synchronised);
    QCOMPARE(g_lines, QVector<QString>(failures, WriteError).toList());
    QVERIFY(m_link->isOpen());
    // 0xAA is resent on every pass, but only once a millisecond, for 100 ms at most.
    QVERIFY(writesTaken().size() <= 102);
}

void TstFtUnitl::operations_data()
{
    QTest::addColumn<Step>("before");
    QTest::addColumn<Step>("operation");
    QTest::addColumn<QByteArrayList>("writes"); // what each FT_Write took
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("stillOpen");

    const Step unplug = [](FtUnitl &) { QVERIFY(sim::unplug(PortA)); };
    const auto fail = [](sim::Call call, int times) {
        return Step([=](FtUnitl &) { sim::failNext(call, times, FT_IO_ERROR); });
    };
    const Step query = [](FtUnitl &l) { QCOMPARE(l.queueStatus(), FT_STATUS(FT_IO_ERROR)); };
    const Step write = [](FtUnitl &l) { l.writeReg8(0x04, 0x80); };
    const Step twoWrites = [](FtUnitl &l) {
        l.writeReg8(0x04, 0x80);
        l.writeReg8(0x05, 0x11);
    };
    // readReg8 at address 0x20, with this many tries, gives this value.
    const auto read = [](int tries, int value) {
        return Step([=](FtUnitl &l) { QCOMPARE(l.readReg8(0x20, tries), value); });
    };
    // waitForData finds this many bytes (0: none within its bound).
    const auto waitFor = [](int count) { return Step([=](FtUnitl &l) { QCOMPARE(l.waitForData(), count); }); };
    // The driver gives the handle back even when closing fails; the model's
    // injected failure keeps it, so it is forgotten here as the driver would.
    const Step close = [](FtUnitl &l) {
        QCOMPARE(l.closeDevice(), FT_STATUS(FT_IO_ERROR));
        sim::reset();
    };
    // The bridge takes nothing, without failing, while write commands fill the
    // staging buffer; one with no room left is dropped whole, not in part.
    const int fitting = FtUnitl::BufferSize / 3;
    QByteArray staged;
    for (int i = 0; i < fitting; ++i)
        staged += QByteArray::fromHex("92") + char(i) + char(i >> 8);
    const Step fill = [fitting](FtUnitl &l) {
        sim::shortWrites(fitting + 1, 0);
        for (int i = 0; i < fitting; ++i)
            l.writeReg8(quint8(i), quint8(i >> 8));
        l.writeReg16(0x12, 0x34, 0x56);
    };
    const QStringList quiet;

    QTest::newRow("writeReg8") << none << write << QByteArrayList{"920480"} << quiet << true;
    QTest::newRow("writeReg16") << none << Step([](FtUnitl &l) { l.writeReg16(0x12, 0x34, 0x56); })
        << QByteArrayList{"93123456"} << quiet << true;
    QTest::newRow("requestReg8") << Step([](FtUnitl &l) { l.requestReg8(0x10); }) << waitFor(1)
        << QByteArrayList{"901087"} << quiet << true;
    QTest::newRow("requestReg16") << Step([](FtUnitl &l) { l.requestReg16(0x12, 0x34); }) << waitFor(1)
        << QByteArrayList{"91123487"} << quiet << true;
    QTest::newRow("after a failed write") << fail(sim::Call::Write, 1) << twoWrites
        << QByteArrayList{"", "920480920511"} << QStringList{WriteError} << true;
    QTest::newRow("after a partial write") << Step([](FtUnitl &) { sim::shortWrites(1, 2); }) << twoWrites
        << QByteArrayList{"9204", "80920511"} << quiet << true;
    QTest::newRow("0xFF is not a failure") << Step([](FtUnitl &l) { l.writeReg8(0x20, 0xFF); }) << read(100, 0xFF)
        << QByteArrayList{"9220ff", "902087"} << quiet << true;
    QTest::newRow("stale bytes before a read") << Step([](FtUnitl &) {
        sim::injectJunk(PortA, {0x55, 0x66});
        sim::setReadValue(0x20, 0x33);
    }) << read(100, 0x33) << QByteArrayList{"902087"} << quiet << true;
    QTest::newRow("answer later than the tries") << Step([](FtUnitl &) { sim::setAnswerDelayUs(1000000); })
        << read(3, -1) << QByteArrayList{"902087"} << quiet << true;
    QTest::newRow("no answer") << none << waitFor(0) << QByteArrayList() << quiet << true;
    QTest::newRow("more than a buffer stale before a read") << Step([](FtUnitl &) {
        sim::injectJunk(PortA, std::vector<uint8_t>(FtUnitl::BufferSize + 1000, 0x55));
        sim::setReadValue(0x20, 0x33);
    }) << read(100, 0x33) << QByteArrayList{"902087"} << quiet << true;
    QTest::newRow("stale bytes, drain's query fails") << Step([](FtUnitl &) {
        sim::injectJunk(PortA, {0x55, 0x66});
        sim::setReadValue(0x20, 0x33);
        sim::failNext(sim::Call::GetQueueStatus, 1, FT_IO_ERROR);
    }) << read(100, 0x33) << QByteArrayList{"902087"} << QStringList{QueryError} << true;
    QTest::newRow("staging full") << fill << write
        << QVector<QByteArray>(fitting + 1).toList() + QByteArrayList{staged.toHex()} << quiet << true;
    QTest::newRow("write, unplugged") << unplug << write << QByteArrayList{""} << QStringList{WriteError} << false;
    QTest::newRow("query, probe answers") << fail(sim::Call::GetQueueStatus, 1) << query << QByteArrayList()
        << QStringList{QueryError} << true;
    QTest::newRow("query, probe fails") << fail(sim::Call::GetQueueStatus, 2) << query << QByteArrayList()
        << QStringList{QueryError} << false;
    QTest::newRow("read fails") << fail(sim::Call::Read, 1) << read(100, -1) << QByteArrayList{"902087"}
        << QStringList{"error FT_Read , status 4"} << true;
    QTest::newRow("read, unplugged") << unplug << read(100, -1) << QByteArrayList{""}
        << QStringList{QueryError, WriteError, QueryError} << false;
    QTest::newRow("close fails") << fail(sim::Call::Close, 1) << close << QByteArrayList()
        << QStringList{"error FT_Close , status 4"} << false;
    QTest::newRow("close, unplugged") << unplug
        << Step([](FtUnitl &l) { QCOMPARE(l.closeDevice(), FT_STATUS(FT_IO_ERROR)); }) << QByteArrayList()
        << QStringList{"error FT_Close , status 4"} << false;
}

void TstFtUnitl::operations()
{
    QFETCH(Step, before);
    QFETCH(Step, operation);
    QFETCH(QByteArrayList, writes);
    QFETCH(QStringList, lines);
    QFETCH(bool, stillOpen);

    before(*m_link);
    operation(*m_link);
    QCOMPARE(writesTaken(), writes);
    QCOMPARE(g_lines, lines);
    QCOMPARE(m_link->isOpen(), stillOpen);

    // A link found dead keeps its handle until the next attempt gives it back,
    // so the device, back again if it was unplugged, opens once more.
    if (!stillOpen) {
        sim::plug(PortA);
        QCOMPARE(m_link->openDevice(), QString::fromStdString(PortA));
    }
}

QTEST_GUILESS_MAIN(TstFtUnitl)
#include "tst_ftunitl.moc"
