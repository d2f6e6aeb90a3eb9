// The link on the simulated bridge: listing and opening, synchronisation, and each operation's
// bytes, log lines and link state, with the driver failing where it can.
#include "ftunitl.h"
#include "simtest.h"

#include <QtTest>

using simtest::portA;
using simtest::within;
using Step = std::function<void(FtUnitl &)>;
using Names = std::vector<std::string>;
Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(Names)

namespace {

const QString queryError = "error FT_GetQueueStatus , status 4", writeError = "error FT_Write , status 4";

// What each call of `call` gave the bridge, in hex: the bytes a write took, the description opened.
QByteArrayList sent(sim::Call call)
{
    QByteArrayList got;
    for (const sim::CallRecord &r : sim::calls()) {
        const std::string bytes = call == sim::Call::OpenEx ? r.text : std::string(r.bytes.begin(), r.bytes.end());
        if (r.call == call)
            got << QByteArray::fromStdString(bytes).toHex();
    }
    return got;
}

} // namespace

class TstFtUnitl : public QObject
{
    Q_OBJECT
    std::unique_ptr<FtUnitl> m_link;

private slots:
    // Every test but the listing starts on the part opened, initialised (latency 16 ms, bit mode
    // reset, then MCU host-bus emulation) and synchronised, that traffic forgotten.
    void init()
    {
        simtest::begin();
        m_link.reset(new FtUnitl);
        if (QTest::currentTestFunction() == QByteArray("listing"))
            return;
        QCOMPARE(m_link->openDevice(), QString::fromStdString(portA));
        QVERIFY(m_link->initDevice());
        QString setup;
        for (const sim::CallRecord &r : sim::calls())
            if (r.call == sim::Call::SetLatencyTimer || r.call == sim::Call::SetBitMode)
                setup += QString::number(r.mode) + ' ';
        QCOMPARE(setup, QStringLiteral("16 0 8 "));
        sim::clearLogs();
        simtest::lines.clear();
    }

    void cleanup()
    {
        m_link.reset();
        QCOMPARE(sim::openHandles(), 0);
        for (const sim::CallRecord &r : sim::calls())
            QVERIFY2(r.status != FT_INVALID_HANDLE, sim::callName(r.call)); // on a handle given back
        simtest::end();
    }

    void listing_data()
    {
        QTest::addColumn<Names>("devices");
        QTest::addColumn<int>("failing"); // the entry whose query fails; -2: the confirming query; -1: none
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("opened"); // empty: none

        const QString ok = "open device success!";
        QTest::newRow("no device") << Names{} << -1 << QStringList{"device number 0"} << QByteArray();
        QTest::newRow("shorter A after longer B") << Names{"A longer one B", "Short A"} << -1
            << QStringList{"device A longer one B", "device Short A", "find A Short A ", "device number 2", ok}
            << QByteArray("Short A");
        QTest::newRow("not port-A") << Names{" A", "Dev a", "DevA"} << -1
            << QStringList{"device  A", "device Dev a", "device DevA", "device number 3"} << QByteArray();
        QTest::newRow("cut at 49") << Names{std::string(63, 'L')} << -1
            << QStringList{"device " + QString(49, 'L'), "device number 1"} << QByteArray();
        QTest::newRow("failing entry skipped, first A opened") << Names{"P A", "Q B", "R A"} << 1
            << QStringList{"device P A", "find A P A ", "device R A", "find A R A ", "device number 3", ok}
            << QByteArray("P A");
        QTest::newRow("Latin-1 byte") << Names{"Caf\xE9 A"} << -1
            << QStringList{"device Caf\uFFFD A", "find A Caf\uFFFD A ", "device number 1", ok}
            << QByteArray("Caf\xE9 A");
        QTest::newRow("confirmation fails: reported after the success") << Names{"Dev A"} << -2
            << QStringList{"device Dev A", "find A Dev A ", "device number 1", ok, queryError} << QByteArray("Dev A");
    }

    // The lines logged in order; the description opened as listed, returned unless not confirmed.
    void listing()
    {
        QFETCH(Names, devices);
        QFETCH(int, failing);
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, opened);
        sim::setDevices(devices);
        if (failing >= 0)
            sim::failListIndex(failing);
        if (failing == -2)
            sim::failNext(sim::Call::GetQueueStatus, 1, FT_IO_ERROR);

        const bool confirmed = lines.endsWith("open device success!");
        QCOMPARE(m_link->openDevice(), confirmed ? QString::fromUtf8(opened) : QString());
        QCOMPARE(m_link->isOpen(), confirmed);
        QCOMPARE(simtest::log(), lines);
        QCOMPARE(sent(sim::Call::OpenEx), opened.isEmpty() ? QByteArrayList() : QByteArrayList{opened.toHex()});
    }

    void sync_data()
    {
        // An answer is queued at each failed FT_Write, for the exchange whose byte failed.
        QTest::addColumn<QByteArrayList>("answers"); // in hex
        QTest::addColumn<bool>("silent");
        QTest::addColumn<bool>("synchronised");

        QTest::newRow("exactly FA AA") << QByteArrayList{"faaa", "00"} << false << true;
        QTest::newRow("only the AB echo") << QByteArrayList{"00"} << false << true;
        QTest::newRow("marker twice, then the AB echo") << QByteArrayList{"00", "fafaab"} << false << true;
        QTest::newRow("neither echo") << QByteArrayList{"0001", "faac"} << false << false;
        QTest::newRow("silent bridge") << QByteArrayList{} << true << false;
        QTest::newRow("second exchange unanswered") << QByteArrayList{"faaa"} << true << false;
    }

    void sync()
    {
        QFETCH(QByteArrayList, answers);
        QFETCH(bool, silent);
        QFETCH(bool, synchronised);
        sim::setSilent(silent);
        const int failures = answers.size();
        sim::failNext(sim::Call::Write, failures, FT_IO_ERROR);
        simtest::onLine = [&answers](const QString &line) {
            if (line == writeError && !answers.isEmpty()) {
                const QByteArray bytes = QByteArray::fromHex(answers.takeFirst());
                sim::injectJunk(portA, std::vector<uint8_t>(bytes.begin(), bytes.end()));
            }
        };

        bool synced = !synchronised;
        within("both synchronisation waits are bounded", [&] { synced = m_link->syncDevice(); });
        QCOMPARE(synced, synchronised);
        QCOMPARE(simtest::log(), QVector<QString>(failures, writeError).toList());
        // 0xAA resent once a millisecond, for 100 ms at most.
        QVERIFY(sent(sim::Call::Write).size() <= 102);
    }

    void operations_data()
    {
        QTest::addColumn<Step>("operation");
        QTest::addColumn<QByteArrayList>("writes");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("stillOpen");

        const auto fail = [](sim::Call call, int times) { sim::failNext(call, times, FT_IO_ERROR); };
        const auto read = [](FtUnitl &l, int tries, int value) { QCOMPARE(l.readReg8(0x20, tries), value); };
        const auto twoWrites = [](FtUnitl &l) { l.writeReg8(0x04, 0x80), l.writeReg8(0x05, 0x11); };
        // Writes the bridge takes none of fill the staging buffer; one with no room is dropped whole.
        const int fitting = FtUnitl::BufferSize / 3;
        const QStringList quiet;

        QTest::newRow("16- and 8-bit commands, answers collected, then none") << Step([](FtUnitl &l) {
            l.writeReg16(0x12, 0x34, 0x56), l.requestReg16(0x12, 0x34), l.writeReg8(0x10, 0xA5), l.requestReg8(0x10);
            QCOMPARE(l.waitForData(), 2);
            QCOMPARE(l.receivedData().toHex(), QByteArray("56a5"));
            QCOMPARE(l.waitForData() + l.receivedData().size(), 0);
        }) << QByteArrayList{"93123456", "91123487", "9210a5", "901087"} << quiet << true;
        QTest::newRow("staged bytes go out in the order staged") << Step([](FtUnitl &l) {
            l.pushByte(0x92), l.pushByte(0x04), l.pushByte(0x80), l.flush(2), l.flush(l.stagedCount());
        }) << QByteArrayList{"9204", "80"} << quiet << true;
        // -1 at once; the late answer is set aside by the next read.
        QTest::newRow("0 tries, the late answer set aside; 0xFF is no failure") << Step([=](FtUnitl &l) {
            l.writeReg8(0x20, 0x11), read(l, 0, -1), l.writeReg8(0x20, 0xFF), read(l, 100, 0xFF);
            QCOMPARE(l.receivedData(), QByteArray());
        }) << QByteArrayList{"922011", "902087", "9220ff", "902087"} << quiet << true;
        QTest::newRow("after a failed write") << Step([=](FtUnitl &l) { fail(sim::Call::Write, 1), twoWrites(l); })
            << QByteArrayList{"", "920480920511"} << QStringList{writeError} << true;
        QTest::newRow("after a partial write") << Step([=](FtUnitl &l) { sim::shortWrites(1, 2), twoWrites(l); })
            << QByteArrayList{"9204", "80920511"} << quiet << true;
        QTest::newRow("more than a buffer stale before a read") << Step([=](FtUnitl &l) {
            sim::injectJunk(portA, std::vector<uint8_t>(FtUnitl::BufferSize + 1000, 0x55));
            read(l, 100, 0); // address 0x20 is plain memory, still 0
        }) << QByteArrayList{"902087"} << quiet << true;
        QTest::newRow("stale bytes, drain's query fails") << Step([=](FtUnitl &l) {
            sim::injectJunk(portA, {0x55, 0x66});
            fail(sim::Call::GetQueueStatus, 1);
            read(l, 100, 0);
        }) << QByteArrayList{"902087"} << QStringList{queryError} << true;
        QTest::newRow("staging full") << Step([=](FtUnitl &l) {
            sim::shortWrites(fitting + 1, 0);
            for (int i = 0; i < fitting; ++i)
                l.writeReg8(0x92, 0x92);
            l.writeReg16(0x12, 0x34, 0x56);
            l.writeReg8(0x04, 0x80);
        }) << QVector<QByteArray>(fitting + 1).toList() + QByteArrayList{QByteArray("929292").repeated(fitting)}
           << quiet << true;
        QTest::newRow("write, unplugged") << Step([](FtUnitl &l) { sim::unplug(portA), l.writeReg8(0x04, 0x80); })
            << QByteArrayList{""} << QStringList{writeError} << false;
        QTest::newRow("query, link check fails")
            << Step([=](FtUnitl &l) { fail(sim::Call::GetQueueStatus, 2), l.queueStatus(); })
            << QByteArrayList() << QStringList{queryError} << false;
        QTest::newRow("read fails") << Step([=](FtUnitl &l) { fail(sim::Call::Read, 1), read(l, 100, -1); })
            << QByteArrayList{"902087"} << QStringList{"error FT_Read , status 4"} << true;
        // Closing failed, but the driver took the handle back: nothing may probe it.
        QTest::newRow("close fails") << Step([=](FtUnitl &l) { fail(sim::Call::Close, 1), l.closeDevice(); })
            << QByteArrayList() << QStringList{"error FT_Close , status 4"} << false;
    }

    void operations()
    {
        QFETCH(Step, operation);
        QFETCH(QByteArrayList, writes);
        QFETCH(QStringList, lines);
        QFETCH(bool, stillOpen);
        operation(*m_link);
        QCOMPARE(sent(sim::Call::Write), writes);
        QCOMPARE(simtest::log(), lines);
        QCOMPARE(m_link->isOpen(), stillOpen);
        // A dead link's handle is given back at the next open: the device opens again.
        if (!stillOpen) {
            sim::plug(portA);
            QCOMPARE(m_link->openDevice(), QString::fromStdString(portA));
        }
    }
};

QTEST_GUILESS_MAIN(TstFtUnitl)
#include "tst_ftunitl.moc"
