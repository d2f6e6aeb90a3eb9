// The USB driver where the part stops keeping up, under tavrel-bridge-emu --control.
#include "usbd2xx.h"

#include <QtTest>

#include <future>

namespace {

const D2xxCalls &ft = usb::calls();
constexpr int SettleMs = 5000;

// Reads of 0x20 (holds 0).
QByteArray reads(int count)
{
    return QByteArray("\x90\x20", 2).repeated(count);
}

bool control(const QByteArray &line)
{
    QFile fifo(qgetenv("TAVREL_EMU_CONTROL"));
    return fifo.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && fifo.write(line + '\n') == line.size() + 1;
}

FT_STATUS send(FT_HANDLE h, QByteArray bytes)
{
    DWORD n = 0;
    const FT_STATUS status = ft.write(h, bytes.data(), DWORD(bytes.size()), &n);
    return status == FT_OK && n != DWORD(bytes.size()) ? FT_STATUS(FT_OTHER_ERROR) : status;
}

} // namespace

class TestUsbDriver : public QObject
{
    Q_OBJECT

    FT_HANDLE m_h = nullptr;

private slots:
    void init()
    {
        char description[] = "Dual RS232-HS A";
        QVERIFY(QTest::qWaitFor([&] { return ft.openEx(description, FT_OPEN_BY_DESCRIPTION, &m_h) == FT_OK; },
                                SettleMs));
        QCOMPARE(ft.setBitMode(m_h, 0, 0x08), FT_OK);
    }
    void cleanup() { ft.close(m_h); }
    void linkFaultPasses_data();
    void linkFaultPasses();
    void fullQueue(); // last: it unplugs
};

// A read past the 1 MiB queue completes; an unplug with the queue full is noticed.
void TestUsbDriver::fullQueue()
{
    const int count = (1 << 20) + (1 << 16);
    auto written = std::async(std::launch::async, [&] { return send(m_h, reads(count)); });
    QByteArray answers(count, '\xff');
    DWORD n = 0;
    QCOMPARE(ft.read(m_h, answers.data(), DWORD(count), &n), FT_OK);
    QCOMPARE(n, DWORD(count));
    QCOMPARE(written.get(), FT_OK);
    QCOMPARE(answers.count('\0'), count);
    // Fills the queue, not past the part's buffer: the write completes.
    QCOMPARE(send(m_h, reads(1 << 20)), FT_OK);
    QVERIFY(QTest::qWaitFor([&] { return ft.getQueueStatus(m_h, &n) == FT_OK && n >= (1 << 20) - 4096; }, SettleMs));
    QVERIFY(control("unplug 1"));
    QTRY_COMPARE_WITH_TIMEOUT(ft.getQueueStatus(m_h, &n), FT_STATUS(FT_IO_ERROR), SettleMs);
    QVERIFY(control("plug 1"));
}

void TestUsbDriver::linkFaultPasses_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::newRow("IN endpoint halted") << QByteArray("stall 1 A");
    QTest::newRow("OUT refused for 300 ms") << QByteArray("nak 1 A 300");
}

// The port goes on without a reopen.
void TestUsbDriver::linkFaultPasses()
{
    QFETCH(QByteArray, fault);
    char answer = 0;
    DWORD n = 0;
    for (const char *sent : {"\x11", "\x22"}) {
        QVERIFY(sent[0] == 0x11 || control(fault));
        QCOMPARE(send(m_h, QByteArray::fromHex("9221") + sent + QByteArray::fromHex("902187")), FT_OK);
        QCOMPARE(ft.read(m_h, &answer, 1, &n), FT_OK);
        QCOMPARE(QByteArray(&answer, int(n)), QByteArray(sent));
    }
}

QTEST_GUILESS_MAIN(TestUsbDriver)
#include "tst_usbdriver.moc"
