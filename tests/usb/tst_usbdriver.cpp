// The USB driver where the part stops keeping up, under tavrel-bridge-emu --control (one part):
// a read larger than the receive queue's bound, an unplug while that queue is full and reading
// paused, a halted IN endpoint, a write the part takes only in part. Answers are counted: one
// byte per two-byte read command (0x90 and an address), so a byte lost or sent twice shows.
#include "usbd2xx.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>
#include <thread>

namespace {

// More answers than the driver's receive queue holds (1 MiB).
constexpr DWORD Flood = (1 << 20) + (1 << 16);
constexpr int SettleMs = 5000;

// Reads of plain memory at 0x20, which holds 0 unless written.
QByteArray readCommands(DWORD count)
{
    return QByteArray("\x90\x20", 2).repeated(int(count));
}

} // namespace

class TestUsbDriver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void readLargerThanQueue();
    void unplugWhileQueueFull();
    void writeIntoStoppedPart();
    void recovers_data();
    void recovers();

private:
    bool control(const QByteArray &line);
    // A byte written to 0x21 and read back: what came first after everything before it was read.
    QByteArray echo(char byte);
    // Writes on a thread of its own, as the part may hold the write while nothing reads.
    void writeAside(const QByteArray &bytes);

    const D2xxCalls &m_d2xx = usb::calls();
    FT_HANDLE m_handle = nullptr;
    std::thread m_writer;
    FT_STATUS m_written = FT_OK;
    DWORD m_writtenCount = 0;
    bool m_unplugged = false;
};

bool TestUsbDriver::control(const QByteArray &line)
{
    const int fd = ::open(qgetenv("TAVREL_EMU_CONTROL").constData(), O_WRONLY | O_NONBLOCK);
    const bool sent = fd >= 0 && ::write(fd, (line + '\n').constData(), size_t(line.size() + 1)) == line.size() + 1;
    if (fd >= 0)
        ::close(fd);
    return sent;
}

QByteArray TestUsbDriver::echo(char byte)
{
    QByteArray command = QByteArray::fromHex("9221") + byte + QByteArray::fromHex("902187");
    DWORD n = 0;
    char answer = 0;
    if (m_d2xx.write(m_handle, command.data(), DWORD(command.size()), &n) != FT_OK || n != DWORD(command.size()))
        return "write failed";
    return m_d2xx.read(m_handle, &answer, 1, &n) == FT_OK && n == 1 ? QByteArray(1, answer) : "no answer";
}

void TestUsbDriver::writeAside(const QByteArray &bytes)
{
    m_writer = std::thread([this, bytes] {
        m_written = m_d2xx.write(m_handle, const_cast<char *>(bytes.constData()), DWORD(bytes.size()), &m_writtenCount);
    });
}

void TestUsbDriver::init()
{
    char description[] = "Dual RS232-HS A";
    // Again until the part is listed (after a re-plug); QTRY_COMPARE would open twice.
    QVERIFY(QTest::qWaitFor([&] { return m_d2xx.openEx(description, FT_OPEN_BY_DESCRIPTION, &m_handle) == FT_OK; },
                            SettleMs));
    QCOMPARE(m_d2xx.setBitMode(m_handle, 0, 0x08), FT_OK);
}

void TestUsbDriver::cleanup()
{
    if (m_writer.joinable())
        m_writer.join();
    m_d2xx.close(m_handle);
    QVERIFY(!m_unplugged || control("plug 1"));
    m_unplugged = false;
    m_written = FT_OK;
    m_writtenCount = 0;
}

void TestUsbDriver::readLargerThanQueue()
{
    writeAside(readCommands(Flood));
    QByteArray answers(int(Flood), '\xff');
    DWORD got = 0;
    QCOMPARE(m_d2xx.read(m_handle, answers.data(), Flood, &got), FT_OK);
    QCOMPARE(got, Flood);
    m_writer.join();
    QCOMPARE(m_written, FT_OK);
    QCOMPARE(answers.count('\xff'), 0);
}

void TestUsbDriver::unplugWhileQueueFull()
{
    // Answers that fill the queue, and the part's buffer no further than it holds: the write completes.
    QByteArray commands = readCommands(1 << 20);
    DWORD written = 0;
    QCOMPARE(m_d2xx.write(m_handle, commands.data(), DWORD(commands.size()), &written), FT_OK);
    DWORD queued = 0;
    auto full = [&] { return m_d2xx.getQueueStatus(m_handle, &queued) == FT_OK && queued >= (1 << 20) - 4096; };
    QVERIFY2(QTest::qWaitFor(full, SettleMs), qPrintable(QString::number(queued)));
    QVERIFY(m_unplugged = control("unplug 1"));
    QTRY_COMPARE_WITH_TIMEOUT(m_d2xx.getQueueStatus(m_handle, &queued), FT_STATUS(FT_IO_ERROR), SettleMs);
}

// Nobody reads: the queue fills, then the part's buffers, and the part refuses more. The write
// ends after its time-out with the count taken; the rest, sent once, brings every answer once.
void TestUsbDriver::writeIntoStoppedPart()
{
    QByteArray flood = readCommands(Flood);
    DWORD written = 0;
    QCOMPARE(m_d2xx.write(m_handle, flood.data(), DWORD(flood.size()), &written), FT_OK);
    QVERIFY2(written < DWORD(flood.size()), "the part never stopped taking bytes");
    writeAside(flood.mid(int(written)));
    QByteArray answers(int(Flood), '\xff');
    DWORD got = 0;
    QCOMPARE(m_d2xx.read(m_handle, answers.data(), Flood, &got), FT_OK);
    QCOMPARE(got, Flood);
    m_writer.join();
    QCOMPARE(m_written, FT_OK);
    QCOMPARE(m_writtenCount, DWORD(flood.size()) - written);
    QCOMPARE(answers.count('\0'), int(Flood));
    QCOMPARE(echo('\x5a'), QByteArray("\x5a"));
}

// A fault of the USB link that passes: the port goes on without being reopened.
void TestUsbDriver::recovers_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::newRow("IN endpoint halted") << QByteArray("stall 1 A");
    QTest::newRow("OUT refused for 300 ms") << QByteArray("nak 1 A 300");
}

void TestUsbDriver::recovers()
{
    QFETCH(QByteArray, fault);
    QCOMPARE(echo('\x11'), QByteArray("\x11"));
    QVERIFY(control(fault));
    QCOMPARE(echo('\x22'), QByteArray("\x22"));
}

QTEST_GUILESS_MAIN(TestUsbDriver)
#include "tst_usbdriver.moc"
