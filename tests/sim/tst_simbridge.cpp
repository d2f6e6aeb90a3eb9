// The simulated bridge through the eight D2XX calls and the control API, plus
// the release rules of the answer path replayed on a synthetic clock.
#include "d2xx.h"
#include "simcontrol.h"
#include "simmodel.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

const char PortA[] = "Sim Bridge A";
const char PortB[] = "Sim Bridge B";
// Bound for anything the model releases on its own clock (latency periods of
// at most a few hundred ms); generous so that a loaded machine never fails it.
constexpr int WaitMs = 3000;
// Byte the listing tests fill buffers with, to see what was written.
constexpr char Canary = 0x5A;

QByteArray hexBytes(const char *text)
{
    return QByteArray::fromHex(text);
}

FT_HANDLE openDevice(const char *description)
{
    FT_HANDLE handle = nullptr;
    const FT_STATUS status = FT_OpenEx(const_cast<char *>(description), FT_OPEN_BY_DESCRIPTION, &handle);
    return status == FT_OK ? handle : nullptr;
}

// Opened, reset and switched into MCU host-bus emulation, as the program does.
FT_HANDLE openMcu(const char *description = PortA)
{
    FT_HANDLE handle = openDevice(description);
    if (handle && (FT_SetBitMode(handle, 0, 0) != FT_OK || FT_SetBitMode(handle, 0, 8) != FT_OK))
        return nullptr;
    return handle;
}

FT_STATUS writeBytes(FT_HANDLE handle, const QByteArray &bytes, DWORD *written = nullptr)
{
    DWORD count = 0;
    QByteArray copy = bytes;
    const FT_STATUS status = FT_Write(handle, copy.data(), DWORD(copy.size()), &count);
    if (written)
        *written = count;
    return status;
}

DWORD queued(FT_HANDLE handle)
{
    DWORD count = 0;
    return FT_GetQueueStatus(handle, &count) == FT_OK ? count : 0;
}

// Waits (bounded) until `count` bytes are queued, then reads what is queued.
QByteArray readQueued(FT_HANDLE handle, DWORD count)
{
    QDeadlineTimer deadline(WaitMs);
    while (queued(handle) < count && !deadline.hasExpired())
        QThread::msleep(1);
    QByteArray bytes(int(queued(handle)), '\0');
    DWORD got = 0;
    if (FT_Read(handle, bytes.data(), DWORD(bytes.size()), &got) != FT_OK)
        return "read failed";
    bytes.resize(int(got));
    return bytes;
}

QByteArrayList listedDescriptions()
{
    QByteArrayList result;
    DWORD count = 0;
    if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK)
        return {"count failed"};
    for (DWORD i = 0; i < count; ++i) {
        char buffer[FT_DESCRIPTION_BUFFER_SIZE] = {};
        if (FT_ListDevices(reinterpret_cast<void *>(uintptr_t(i)), buffer,
                           FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) != FT_OK)
            return {"index failed"};
        result << QByteArray(buffer);
    }
    return result;
}

// Bus cycles as text: "w 10 5a" / "W 1234 56" writes, "r 10 5a" / "R 1234 56" reads.
QString describe(const std::vector<sim::BusCycle> &cycles)
{
    QStringList text;
    for (const sim::BusCycle &c : cycles) {
        const QString address = c.wide ? QString::asprintf("%04x", c.address) : QString::asprintf("%02x", c.address);
        text << QString(c.write ? (c.wide ? "W" : "w") : (c.wide ? "R" : "r")) + " " + address
                    + QString::asprintf(" %02x", c.data);
    }
    return text.join("; ");
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

} // namespace

class TestSimBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void startupEnvironment();
    void parseProductList_data();
    void parseProductList();
    void listing_data();
    void listing();
    void listingSerialsAndAll();
    void longDescriptionIsCut();
    void open_data();
    void open();
    void openTwiceAndAgain();
    void invalidHandles_data();
    void invalidHandles();
    void badInput();
    void bitModes_data();
    void bitModes();
    void resetHoldsProcessor();
    void mcuModeOnlyOnPortA();
    void badCommandEcho_data();
    void badCommandEcho();
    void commandSplitOverWrites();
    void busTraffic_data();
    void busTraffic();
    void peripheralFrame();
    void pinnedReads();
    void answerAtOnceAfterSendImmediate();
    void answerAfterLatencyWithout();
    void releaseRules_data();
    void releaseRules();
    void latencyRange_data();
    void latencyRange();
    void unplugAndPlug();
    void failNext_data();
    void failNext();
    void shortWrites();
    void failListIndex();
    void silentProcessor();
    void answerDelay();
    void junk();
    void readIsBounded();
    void usbPacing_data();
    void usbPacing();
    void trace();
    void logLimit();
    void threads();
};

void TestSimBridge::init()
{
    // startupEnvironment looks at the model as the environment set it up.
    if (QTest::currentTestFunction() != QLatin1String("startupEnvironment"))
        sim::reset();
}

// Run by the extra CTest entries that start this program with a given
// environment and say, in TAVREL_SIM_TEST_EXPECT, what it must list.
void TestSimBridge::startupEnvironment()
{
    if (!qEnvironmentVariableIsSet("TAVREL_SIM_TEST_EXPECT"))
        QSKIP("run by the start-up CTest entries only");
    QByteArrayList expected = qgetenv("TAVREL_SIM_TEST_EXPECT").split('|');
    expected.removeAll(QByteArray());
    QCOMPARE(listedDescriptions(), expected);
    if (expected.isEmpty())
        return;

    QFile trace(qEnvironmentVariable("TAVREL_SIM_TRACE"));
    const qint64 traceStart = trace.size(); // appended to by earlier runs
    FT_HANDLE handle = openMcu(expected[0].constData());
    QVERIFY(handle);
    QCOMPARE(writeBytes(handle, hexBytes("90 10 87")), FT_STATUS(FT_OK));
    if (qgetenv("TAVREL_SIM_USB") == "fs")
        QCOMPARE(sim::busCycles().back().timeUs % 1000, uint64_t(0));
    QCOMPARE(FT_Close(handle), FT_STATUS(FT_OK));
    if (!trace.fileName().isEmpty()) {
        QVERIFY(trace.open(QIODevice::ReadOnly));
        QVERIFY(trace.seek(traceStart));
        const QByteArray added = trace.readAll();
        QVERIFY2(added.contains(" open \"" + expected[0] + "\"\n"), added.constData());
        QVERIFY2(added.contains(" busr 10 00\n"), added.constData());
    }
}

void TestSimBridge::parseProductList_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArrayList>("products");
    QTest::newRow("unset") << false << QByteArray() << QByteArrayList{"Sim Bridge"};
    QTest::newRow("set but empty") << true << QByteArray() << QByteArrayList();
    QTest::newRow("one") << true << QByteArray("Bench Rig") << QByteArrayList{"Bench Rig"};
    QTest::newRow("several") << true << QByteArray("Left;Right;Third") << QByteArrayList{"Left", "Right", "Third"};
    QTest::newRow("empty pieces") << true << QByteArray(";X;;Y;") << QByteArrayList{"X", "Y"};
}

void TestSimBridge::parseProductList()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, value);
    QFETCH(QByteArrayList, products);
    QByteArrayList parsed;
    for (const std::string &p : sim::parseProductList(set ? value.constData() : nullptr))
        parsed << QByteArray::fromStdString(p);
    QCOMPARE(parsed, products);
}

void TestSimBridge::listing_data()
{
    QTest::addColumn<QByteArrayList>("products");
    QTest::addColumn<QByteArrayList>("descriptions");
    const QByteArray longest(61, 'L');
    QTest::newRow("default") << QByteArrayList{"Sim Bridge"} << QByteArrayList{PortA, PortB};
    QTest::newRow("two parts") << QByteArrayList{"Left", "Right"}
                               << QByteArrayList{"Left A", "Left B", "Right A", "Right B"};
    QTest::newRow("none") << QByteArrayList() << QByteArrayList();
    QTest::newRow("non-ASCII") << QByteArrayList{"Br\xc3\xbc\xff"}
                               << QByteArrayList{"Br\xc3\xbc\xff A", "Br\xc3\xbc\xff B"};
    QTest::newRow("63 bytes") << QByteArrayList{longest} << QByteArrayList{longest + " A", longest + " B"};
}

void TestSimBridge::listing()
{
    QFETCH(QByteArrayList, products);
    QFETCH(QByteArrayList, descriptions);
    std::vector<std::string> parts;
    for (const QByteArray &p : products)
        parts.push_back(p.toStdString());
    sim::setParts(parts);

    DWORD count = 99;
    QCOMPARE(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_STATUS(FT_OK));
    QCOMPARE(int(count), descriptions.size());
    for (int i = 0; i <= descriptions.size(); ++i) {
        char buffer[FT_DESCRIPTION_BUFFER_SIZE + 16];
        std::memset(buffer, Canary, sizeof buffer);
        const FT_STATUS status = FT_ListDevices(reinterpret_cast<void *>(uintptr_t(i)), buffer,
                                                FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        if (i == descriptions.size()) {
            QCOMPARE(status, FT_STATUS(FT_DEVICE_NOT_FOUND));
        } else {
            QCOMPARE(status, FT_STATUS(FT_OK));
            QCOMPARE(QByteArray(buffer), descriptions[i]);
        }
        QCOMPARE(QByteArray(buffer + FT_DESCRIPTION_BUFFER_SIZE, 16), QByteArray(16, Canary));
    }
    char buffer[FT_DESCRIPTION_BUFFER_SIZE];
    QCOMPARE(FT_ListDevices(reinterpret_cast<void *>(uintptr_t(-1)), buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
             FT_STATUS(FT_DEVICE_NOT_FOUND));
}

void TestSimBridge::listingSerialsAndAll()
{
    sim::setParts({"Left", "Right"});
    char buffers[4][FT_DESCRIPTION_BUFFER_SIZE] = {};
    char *pointers[5] = {buffers[0], buffers[1], buffers[2], buffers[3], nullptr};
    DWORD count = 0;
    QCOMPARE(FT_ListDevices(pointers, &count, FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION), FT_STATUS(FT_OK));
    QCOMPARE(count, DWORD(4));
    QCOMPARE(QByteArray(buffers[3]), QByteArray("Right B"));

    QCOMPARE(FT_ListDevices(pointers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_STATUS(FT_OK));
    QSet<QByteArray> serials;
    for (const auto &b : buffers)
        serials.insert(QByteArray(b));
    QCOMPARE(serials.size(), 4);
    QVERIFY(!serials.contains(QByteArray()));

    char serial[FT_DESCRIPTION_BUFFER_SIZE] = {};
    QCOMPARE(FT_ListDevices(reinterpret_cast<void *>(uintptr_t(2)), serial, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
             FT_STATUS(FT_OK));
    QCOMPARE(QByteArray(serial), QByteArray(buffers[2]));
    FT_HANDLE handle = nullptr;
    QCOMPARE(FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &handle), FT_STATUS(FT_OK));
    QCOMPARE(openDevice("Right A"), FT_HANDLE(nullptr)); // the same device, already open
    QCOMPARE(FT_Close(handle), FT_STATUS(FT_OK));
}

void TestSimBridge::longDescriptionIsCut()
{
    const std::string longer(80, 'x');
    sim::setDevices({longer, "Short A"});
    QCOMPARE(listedDescriptions(), (QByteArrayList{QByteArray(63, 'x'), "Short A"}));
    QVERIFY(openDevice(std::string(63, 'x').c_str()));
}

void TestSimBridge::open_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<uint>("status");
    QTest::newRow("port A") << QByteArray(PortA) << uint(FT_OPEN_BY_DESCRIPTION) << uint(FT_OK);
    QTest::newRow("port B") << QByteArray(PortB) << uint(FT_OPEN_BY_DESCRIPTION) << uint(FT_OK);
    QTest::newRow("product only") << QByteArray("Sim Bridge") << uint(FT_OPEN_BY_DESCRIPTION) << uint(FT_DEVICE_NOT_FOUND);
    QTest::newRow("other case") << QByteArray("sim bridge a") << uint(FT_OPEN_BY_DESCRIPTION) << uint(FT_DEVICE_NOT_FOUND);
    QTest::newRow("trailing blank") << QByteArray("Sim Bridge A ") << uint(FT_OPEN_BY_DESCRIPTION) << uint(FT_DEVICE_NOT_FOUND);
    QTest::newRow("empty") << QByteArray("") << uint(FT_OPEN_BY_DESCRIPTION) << uint(FT_DEVICE_NOT_FOUND);
    QTest::newRow("serial") << QByteArray("SIM001A") << uint(FT_OPEN_BY_SERIAL_NUMBER) << uint(FT_OK);
    QTest::newRow("description as serial") << QByteArray(PortA) << uint(FT_OPEN_BY_SERIAL_NUMBER) << uint(FT_DEVICE_NOT_FOUND);
    QTest::newRow("by location") << QByteArray("\1\0\0\0", 4) << uint(FT_OPEN_BY_LOCATION) << uint(FT_NOT_SUPPORTED);
}

void TestSimBridge::open()
{
    QFETCH(QByteArray, text);
    QFETCH(uint, flags);
    QFETCH(uint, status);
    FT_HANDLE handle = nullptr;
    QCOMPARE(FT_OpenEx(text.data(), flags, &handle), FT_STATUS(status));
    QCOMPARE(sim::openHandles(), status == FT_OK ? 1 : 0);
    if (status == FT_OK) {
        QVERIFY(handle);
        QCOMPARE(FT_Close(handle), FT_STATUS(FT_OK));
        QCOMPARE(sim::openHandles(), 0);
    }
}

void TestSimBridge::openTwiceAndAgain()
{
    FT_HANDLE first = openDevice(PortA);
    QVERIFY(first);
    FT_HANDLE second = nullptr;
    QCOMPARE(FT_OpenEx(const_cast<char *>(PortA), FT_OPEN_BY_DESCRIPTION, &second), FT_STATUS(FT_DEVICE_NOT_OPENED));
    FT_HANDLE portB = openDevice(PortB); // the other port is its own device
    QVERIFY(portB);
    QCOMPARE(sim::openHandles(), 2);
    QCOMPARE(FT_Close(first), FT_STATUS(FT_OK));
    FT_HANDLE again = openDevice(PortA);
    QVERIFY(again);
    QVERIFY(again != first); // handle values are never reused
    QCOMPARE(FT_Close(again), FT_STATUS(FT_OK));
    QCOMPARE(FT_Close(portB), FT_STATUS(FT_OK));
}

void TestSimBridge::invalidHandles_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("null") << 0;
    QTest::newRow("garbage") << 1;
    QTest::newRow("closed") << 2;
    QTest::newRow("from before reset") << 3;
}

void TestSimBridge::invalidHandles()
{
    QFETCH(int, kind);
    FT_HANDLE handle = nullptr;
    if (kind == 1)
        handle = reinterpret_cast<FT_HANDLE>(uintptr_t(0xdeadbeef));
    if (kind >= 2) {
        handle = openDevice(PortA);
        QVERIFY(handle);
        if (kind == 2)
            QCOMPARE(FT_Close(handle), FT_STATUS(FT_OK));
        else
            sim::reset();
    }
    char buffer[4] = {};
    DWORD count = 0;
    QCOMPARE(FT_SetLatencyTimer(handle, 16), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_SetBitMode(handle, 0, 8), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_GetQueueStatus(handle, &count), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_Read(handle, buffer, 1, &count), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_Write(handle, buffer, 1, &count), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_Close(handle), FT_STATUS(FT_INVALID_HANDLE));
}

void TestSimBridge::badInput()
{
    DWORD count = 0;
    char buffer[FT_DESCRIPTION_BUFFER_SIZE];
    FT_HANDLE handle = nullptr;
    const FT_STATUS invalid = FT_INVALID_PARAMETER;
    QCOMPARE(FT_ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), invalid);
    QCOMPARE(FT_ListDevices(nullptr, nullptr, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), invalid);
    QCOMPARE(FT_ListDevices(nullptr, &count, FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION), invalid);
    QCOMPARE(FT_ListDevices(&count, buffer, 0), invalid);
    QCOMPARE(FT_ListDevices(&count, buffer, FT_LIST_NUMBER_ONLY | FT_LIST_BY_INDEX), invalid);
    QCOMPARE(FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, &handle), invalid);
    QCOMPARE(FT_OpenEx(const_cast<char *>(PortA), FT_OPEN_BY_DESCRIPTION, nullptr), invalid);
    QCOMPARE(FT_OpenEx(const_cast<char *>(PortA), 0x10, &handle), invalid);
    // A text without a NUL in its 64 bytes: read no further, match nothing.
    std::memset(buffer, 'x', sizeof buffer);
    QCOMPARE(FT_OpenEx(buffer, FT_OPEN_BY_DESCRIPTION, &handle), FT_STATUS(FT_DEVICE_NOT_FOUND));

    handle = openDevice(PortA);
    QVERIFY(handle);
    QCOMPARE(FT_GetQueueStatus(handle, nullptr), invalid);
    QCOMPARE(FT_Read(handle, nullptr, 1, &count), invalid);
    QCOMPARE(FT_Read(handle, buffer, 1, nullptr), invalid);
    QCOMPARE(FT_Write(handle, nullptr, 1, &count), invalid);
    QCOMPARE(FT_Write(handle, buffer, 1, nullptr), invalid);
    QCOMPARE(FT_Write(handle, nullptr, 0, &count), FT_STATUS(FT_OK));
    QCOMPARE(FT_Read(handle, nullptr, 0, &count), FT_STATUS(FT_OK));
    QCOMPARE(FT_Close(handle), FT_STATUS(FT_OK));
}

void TestSimBridge::bitModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<uint>("status");
    for (int mode : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40})
        QTest::addRow("0x%02x", mode) << mode << uint(FT_OK);
    for (int mode : {0x03, 0x09, 0x80, 0xFF})
        QTest::addRow("0x%02x", mode) << mode << uint(FT_INVALID_PARAMETER);
}

void TestSimBridge::bitModes()
{
    QFETCH(int, mode);
    QFETCH(uint, status);
    FT_HANDLE handle = openDevice(PortA);
    QCOMPARE(FT_SetBitMode(handle, 0, 8), FT_STATUS(FT_OK));
    QCOMPARE(FT_SetBitMode(handle, 0xFF, UCHAR(mode)), FT_STATUS(status));
    QCOMPARE(int(sim::bitMode(PortA)), status == FT_OK ? mode : 8);
    // Only MCU host-bus mode runs the command processor.
    QCOMPARE(writeBytes(handle, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 0)), QString(sim::bitMode(PortA) == 8 ? "fa aa" : ""));
    FT_Close(handle);
}

void TestSimBridge::resetHoldsProcessor()
{
    FT_HANDLE handle = openMcu();
    QVERIFY(handle);
    QCOMPARE(writeBytes(handle, hexBytes("92 04")), FT_STATUS(FT_OK)); // half a command
    QCOMPARE(FT_SetBitMode(handle, 0, 0), FT_STATUS(FT_OK));
    QCOMPARE(writeBytes(handle, hexBytes("aa 92 04 01 87")), FT_STATUS(FT_OK));
    QCOMPARE(queued(handle), DWORD(0)); // the 0x87 would have released any answer
    QCOMPARE(describe(sim::busCycles()), QString());
    // Back in mode 8 the processor starts empty: 0xaa is a command again, not an operand.
    QCOMPARE(FT_SetBitMode(handle, 0, 8), FT_STATUS(FT_OK));
    QCOMPARE(writeBytes(handle, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 2)), QString("fa aa"));
    FT_Close(handle);
}

void TestSimBridge::mcuModeOnlyOnPortA()
{
    FT_HANDLE handle = openMcu(PortB);
    QVERIFY(handle);
    QCOMPARE(writeBytes(handle, hexBytes("aa 92 04 01 87")), FT_STATUS(FT_OK));
    QCOMPARE(queued(handle), DWORD(0));
    QCOMPARE(describe(sim::busCycles()), QString());
    FT_Close(handle);
}

void TestSimBridge::badCommandEcho_data()
{
    QTest::addColumn<int>("byte");
    for (int byte : {0xAA, 0xAB, 0x00, 0x7F, 0x98, 0x9E, 0xFA, 0xFF})
        QTest::addRow("0x%02x", byte) << byte;
}

void TestSimBridge::badCommandEcho()
{
    QFETCH(int, byte);
    FT_HANDLE handle = openMcu();
    QCOMPARE(writeBytes(handle, QByteArray(1, char(byte)) + hexBytes("87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 2)), hex(QByteArray("\xfa") + char(byte)));
    FT_Close(handle);
}

void TestSimBridge::commandSplitOverWrites()
{
    FT_HANDLE handle = openMcu();
    QCOMPARE(writeBytes(handle, hexBytes("93 12")), FT_STATUS(FT_OK));
    QCOMPARE(describe(sim::busCycles()), QString());
    QCOMPARE(writeBytes(handle, hexBytes("34 56")), FT_STATUS(FT_OK));
    QCOMPARE(describe(sim::busCycles()), QString("W 1234 56"));
    // A half-sent command swallows the next write's bytes as operands.
    QCOMPARE(writeBytes(handle, hexBytes("92 20")), FT_STATUS(FT_OK));
    QCOMPARE(writeBytes(handle, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(describe(sim::busCycles()), QString("W 1234 56; w 20 aa"));
    QCOMPARE(queued(handle), DWORD(0));
    FT_Close(handle);
}

void TestSimBridge::busTraffic_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("cycles");
    QTest::addColumn<QString>("answer");
    QTest::newRow("write then read 8-bit") << "92 10 5a 90 10 87" << "w 10 5a; r 10 5a" << "5a";
    QTest::newRow("16-bit, high byte first") << "93 12 34 56 93 34 12 65 91 12 34 87"
                                             << "W 1234 56; W 3412 65; R 1234 56" << "56";
    QTest::newRow("8-bit address is 0x00nn") << "93 00 20 77 90 20 87" << "W 0020 77; r 20 77" << "77";
    QTest::newRow("high byte matters") << "92 34 99 91 12 34 87" << "w 34 99; R 1234 00" << "00";
    QTest::newRow("value 0xff") << "92 30 ff 90 30 87" << "w 30 ff; r 30 ff" << "ff";
    QTest::newRow("top of memory") << "93 ff ff 81 91 ff ff 87" << "W ffff 81; R ffff 81" << "81";
}

void TestSimBridge::busTraffic()
{
    QFETCH(QString, input);
    QFETCH(QString, cycles);
    QFETCH(QString, answer);
    FT_HANDLE handle = openMcu();
    QCOMPARE(writeBytes(handle, hexBytes(input.toLatin1())), FT_STATUS(FT_OK));
    QCOMPARE(describe(sim::busCycles()), cycles);
    QCOMPARE(hex(readQueued(handle, 1)), answer);
    FT_Close(handle);
}

void TestSimBridge::peripheralFrame()
{
    FT_HANDLE handle = openMcu();
    QByteArray frame = hexBytes("92 02 00 92 00 a0");
    std::array<uint8_t, 30> expected{};
    expected[0] = 0xA0;
    for (int i = 1; i <= 30; ++i) { // one byte more than fits: dropped
        frame += hexBytes("92 01") + char(0xA0 + i);
        if (i < 30)
            expected[size_t(i)] = uint8_t(0xA0 + i);
    }
    frame += hexBytes("92 03 00 92 04 80 92 40 11");
    QCOMPARE(writeBytes(handle, frame), FT_STATUS(FT_OK));
    QCOMPARE(sim::framesShown(), 1);
    QCOMPARE(sim::shownFrame(), expected);
    QCOMPARE(int(sim::indicator()), 0x80);

    // The peripheral keeps its memory and frame over unplug and plug.
    QVERIFY(sim::unplug(PortA));
    QVERIFY(sim::plug(PortA));
    FT_Close(handle);
    handle = openMcu();
    QCOMPARE(sim::shownFrame(), expected);
    QCOMPARE(writeBytes(handle, hexBytes("90 40 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 1)), QString("11"));
    FT_Close(handle);
}

void TestSimBridge::pinnedReads()
{
    FT_HANDLE handle = openMcu();
    sim::setReadValue(0, 0x03);
    sim::setReadValue(1, 0xC8);
    sim::setReadValue(0x1234, 0x42);
    QCOMPARE(writeBytes(handle, hexBytes("93 12 34 10 90 00 90 01 91 12 34 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 3)), QString("03 c8 42"));
    sim::clearReadValue(0x1234); // back to memory
    QCOMPARE(writeBytes(handle, hexBytes("91 12 34 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 1)), QString("10"));
    FT_Close(handle);
}

void TestSimBridge::answerAtOnceAfterSendImmediate()
{
    FT_HANDLE handle = openMcu();
    QCOMPARE(writeBytes(handle, hexBytes("90 10 87")), FT_STATUS(FT_OK));
    QCOMPARE(queued(handle), DWORD(1));
    FT_Close(handle);
}

void TestSimBridge::answerAfterLatencyWithout()
{
    FT_HANDLE handle = openMcu();
    // A long period, and a transfer just before, so that "not yet" has a wide margin.
    QCOMPARE(FT_SetLatencyTimer(handle, 200), FT_STATUS(FT_OK));
    QCOMPARE(writeBytes(handle, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 2)), QString("fa aa"));
    QCOMPARE(writeBytes(handle, hexBytes("90 10")), FT_STATUS(FT_OK));
    QCOMPARE(queued(handle), DWORD(0));
    QTRY_COMPARE_WITH_TIMEOUT(queued(handle), DWORD(1), WaitMs);
    FT_Close(handle);
}

// The answer path on a synthetic clock: a script of "w <us> <hex bytes>"
// (processed at that time; "aa*255" repeats a byte) and "v <us> <count>"
// (bytes visible to the host at that time), from a transfer at time 0.
void TestSimBridge::releaseRules_data()
{
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<int>("delayUs");
    QTest::addColumn<int>("pacing");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("script");
    const int fs = int(sim::UsbPacing::FullSpeed), hs = int(sim::UsbPacing::HighSpeed);
    QTest::newRow("send immediate") << 16 << 0 << 0 << false << "w 1000 90 10 87; v 1000 1";
    QTest::newRow("held one period") << 16 << 0 << 0 << false << "w 1000 90 10; v 15999 0; v 16000 1";
    QTest::newRow("next period boundary") << 16 << 0 << 0 << false << "w 40000 90 10; v 47999 0; v 48000 1";
    QTest::newRow("transfer restarts timer")
        << 16 << 0 << 0 << false << "w 5000 90 10 87; v 5000 1; w 6000 90 11; v 20999 1; v 21000 2";
    QTest::newRow("empty send immediate is no transfer")
        << 16 << 0 << 0 << false << "w 1000 87; w 2000 90 10; v 15999 0; v 16000 1";
    QTest::newRow("latency 2 ms") << 2 << 0 << 0 << false << "w 1000 90 10; v 1999 0; v 2000 1";
    QTest::newRow("bad command waits too") << 16 << 0 << 0 << false << "w 1000 aa; v 15999 0; v 16000 2";
    QTest::newRow("full packet at once") << 16 << 0 << 0 << false << "w 1000 aa*255; v 1000 510";
    QTest::newRow("one short of a packet")
        << 16 << 0 << 0 << false << "w 1000 aa*254 90 10; v 1000 0; v 16000 509";
    QTest::newRow("rest after a packet")
        << 16 << 0 << 0 << false << "w 1000 aa*256; v 1000 510; v 16999 510; v 17000 512";
    QTest::newRow("answer delay") << 16 << 3000 << 0 << false << "w 1000 90 10 87; v 3999 0; v 4000 1";
    QTest::newRow("answer delay, then latency") << 16 << 20000 << 0 << false << "w 1000 90 10; v 31999 0; v 32000 1";
    QTest::newRow("high-speed frame") << 16 << 0 << hs << false << "w 1000 90 10 87; v 1124 0; v 1125 1";
    QTest::newRow("full-speed frame") << 16 << 0 << fs << false << "w 1000 90 10 87; v 1999 0; v 2000 1";
    QTest::newRow("full-speed after latency") << 16 << 0 << fs << false << "w 1000 90 10; v 16999 0; v 17000 1";
    QTest::newRow("silent") << 16 << 0 << 0 << true << "w 1000 aa 90 10 81 87; v 100000 0";
}

void TestSimBridge::releaseRules()
{
    QFETCH(int, latencyMs);
    QFETCH(int, delayUs);
    QFETCH(int, pacing);
    QFETCH(bool, silent);
    QFETCH(QString, script);

    sim::Device device;
    device.portA = true;
    device.peripheral = std::make_unique<sim::Peripheral>();
    device.mode = sim::ModeMcuHost;
    device.latencyMs = uint8_t(latencyMs);
    device.lastTransferUs = 0;

    sim::Model &m = sim::model();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.faults.answerDelayUs = uint64_t(delayUs); // init()'s reset() restores these
    m.faults.silent = silent;
    m.pacing = sim::UsbPacing(pacing);
    for (const QString &step : script.split("; ")) {
        QStringList words = step.split(' ');
        const uint64_t time = words[1].toULongLong();
        if (words[0] == "w") {
            QByteArray bytes;
            for (const QString &word : words.mid(2)) {
                const QStringList repeat = word.split('*');
                bytes += QByteArray(repeat.value(1, "1").toInt(), char(repeat[0].toInt(nullptr, 16)));
            }
            m.advance(device, time);
            m.execute(device, reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), time);
        } else {
            m.advance(device, time);
            QVERIFY2(m.visible(device, time) == words[2].toULongLong(),
                     qPrintable(QString("%1: %2 visible").arg(step).arg(m.visible(device, time))));
        }
    }
}

void TestSimBridge::latencyRange_data()
{
    QTest::addColumn<int>("ms");
    QTest::addColumn<uint>("status");
    QTest::newRow("0") << 0 << uint(FT_INVALID_PARAMETER);
    QTest::newRow("1") << 1 << uint(FT_INVALID_PARAMETER);
    QTest::newRow("2") << 2 << uint(FT_OK);
    QTest::newRow("16") << 16 << uint(FT_OK);
    QTest::newRow("255") << 255 << uint(FT_OK);
}

void TestSimBridge::latencyRange()
{
    QFETCH(int, ms);
    QFETCH(uint, status);
    FT_HANDLE handle = openDevice(PortA);
    QCOMPARE(int(sim::latencyMs(PortA)), 16);
    QCOMPARE(FT_SetLatencyTimer(handle, UCHAR(ms)), FT_STATUS(status));
    QCOMPARE(int(sim::latencyMs(PortA)), status == FT_OK ? ms : 16);
    FT_Close(handle);
}

void TestSimBridge::unplugAndPlug()
{
    FT_HANDLE old = openMcu();
    QCOMPARE(FT_SetLatencyTimer(old, 40), FT_STATUS(FT_OK));
    QVERIFY(sim::unplug(PortA));
    QVERIFY(!sim::unplug(PortA));
    char buffer[4] = {};
    DWORD count = 0;
    QCOMPARE(FT_SetLatencyTimer(old, 16), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(FT_SetBitMode(old, 0, 8), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(FT_GetQueueStatus(old, &count), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(FT_Read(old, buffer, 1, &count), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(FT_Write(old, buffer, 1, &count), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(listedDescriptions(), QByteArrayList{PortB});
    QCOMPARE(openDevice(PortA), FT_HANDLE(nullptr));

    QVERIFY(sim::plug(PortA));
    QVERIFY(!sim::plug(PortA));
    QCOMPARE(listedDescriptions(), (QByteArrayList{PortA, PortB}));
    QCOMPARE(int(sim::latencyMs(PortA)), 16);
    QCOMPARE(int(sim::bitMode(PortA)), 0);
    QCOMPARE(FT_GetQueueStatus(old, &count), FT_STATUS(FT_IO_ERROR)); // still the old plug's handle
    FT_HANDLE fresh = openMcu();
    QVERIFY(fresh);
    QCOMPARE(sim::openHandles(), 2);
    QCOMPARE(FT_Close(old), FT_STATUS(FT_IO_ERROR)); // released all the same
    QCOMPARE(FT_Close(old), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(sim::openHandles(), 1);
    QCOMPARE(writeBytes(fresh, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(fresh, 2)), QString("fa aa"));
    QCOMPARE(FT_Close(fresh), FT_STATUS(FT_OK));
    QVERIFY(!sim::unplug("No Such Device"));
}

void TestSimBridge::failNext_data()
{
    QTest::addColumn<int>("call");
    for (int call = 0; call <= int(sim::Call::Close); ++call)
        QTest::newRow(sim::callName(sim::Call(call))) << call;
}

void TestSimBridge::failNext()
{
    QFETCH(int, call);
    FT_HANDLE handle = openMcu();
    QVERIFY(handle);
    const auto invoke = [handle](sim::Call which) -> FT_STATUS {
        DWORD count = 0;
        char buffer[4] = {char(0x87)};
        switch (which) {
        case sim::Call::ListDevices: return FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
        case sim::Call::OpenEx: {
            FT_HANDLE other = nullptr;
            const FT_STATUS status = FT_OpenEx(const_cast<char *>(PortB), FT_OPEN_BY_DESCRIPTION, &other);
            if (status == FT_OK)
                FT_Close(other);
            return status;
        }
        case sim::Call::SetLatencyTimer: return FT_SetLatencyTimer(handle, 16);
        case sim::Call::SetBitMode: return FT_SetBitMode(handle, 0, 8);
        case sim::Call::GetQueueStatus: return FT_GetQueueStatus(handle, &count);
        case sim::Call::Read: return FT_Read(handle, buffer, 0, &count);
        case sim::Call::Write: return FT_Write(handle, buffer, 1, &count);
        case sim::Call::Close: return FT_Close(handle);
        }
        return FT_OTHER_ERROR;
    };
    sim::failNext(sim::Call(call), 2, FT_OTHER_ERROR);
    QCOMPARE(invoke(sim::Call(call)), FT_STATUS(FT_OTHER_ERROR));
    QCOMPARE(sim::calls().back().status, FT_STATUS(FT_OTHER_ERROR));
    QCOMPARE(int(sim::calls().back().call), call);
    QCOMPARE(invoke(sim::Call(call)), FT_STATUS(FT_OTHER_ERROR));
    QCOMPARE(invoke(sim::Call(call)), FT_STATUS(FT_OK));
    if (sim::Call(call) != sim::Call::Close)
        FT_Close(handle);
    QCOMPARE(sim::openHandles(), 0);
}

void TestSimBridge::shortWrites()
{
    FT_HANDLE handle = openMcu();
    sim::shortWrites(1, 2);
    DWORD written = 0;
    QCOMPARE(writeBytes(handle, hexBytes("92 04 80"), &written), FT_STATUS(FT_OK));
    QCOMPARE(written, DWORD(2));
    QCOMPARE(hex(QByteArray(reinterpret_cast<const char *>(sim::calls().back().bytes.data()), 2)), QString("92 04"));
    QCOMPARE(writeBytes(handle, hexBytes("80"), &written), FT_STATUS(FT_OK)); // completes the command
    QCOMPARE(written, DWORD(1));
    QCOMPARE(int(sim::indicator()), 0x80);

    sim::shortWrites(2, 0, FT_IO_ERROR);
    QCOMPARE(writeBytes(handle, hexBytes("92 04 01"), &written), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(written, DWORD(0));
    QCOMPARE(writeBytes(handle, hexBytes("92 04 01"), &written), FT_STATUS(FT_IO_ERROR));
    QCOMPARE(writeBytes(handle, hexBytes("92 04 02"), &written), FT_STATUS(FT_OK));
    QCOMPARE(written, DWORD(3));
    QCOMPARE(describe(sim::busCycles()), QString("w 04 80; w 04 02"));
    FT_Close(handle);
}

void TestSimBridge::failListIndex()
{
    sim::failListIndex(0, FT_OTHER_ERROR);
    char buffer[FT_DESCRIPTION_BUFFER_SIZE] = "untouched";
    QCOMPARE(FT_ListDevices(nullptr, buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), FT_STATUS(FT_OTHER_ERROR));
    QCOMPARE(QByteArray(buffer), QByteArray("untouched"));
    QCOMPARE(FT_ListDevices(reinterpret_cast<void *>(uintptr_t(1)), buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
             FT_STATUS(FT_OK));
    QCOMPARE(FT_ListDevices(nullptr, buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION), FT_STATUS(FT_OTHER_ERROR));
    sim::reset();
    QCOMPARE(listedDescriptions(), (QByteArrayList{PortA, PortB}));
}

void TestSimBridge::silentProcessor()
{
    FT_HANDLE handle = openMcu();
    sim::setSilent(true);
    QCOMPARE(writeBytes(handle, hexBytes("aa 92 10 01 90 10 87")), FT_STATUS(FT_OK));
    QCOMPARE(describe(sim::busCycles()), QString("w 10 01; r 10 01")); // it still works the bus
    QCOMPARE(queued(handle), DWORD(0));
    sim::setSilent(false);
    QCOMPARE(writeBytes(handle, hexBytes("90 10 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 1)), QString("01"));
    FT_Close(handle);
}

void TestSimBridge::answerDelay()
{
    FT_HANDLE handle = openMcu();
    sim::setAnswerDelayUs(150000);
    QCOMPARE(writeBytes(handle, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(queued(handle), DWORD(0));
    QTRY_COMPARE_WITH_TIMEOUT(queued(handle), DWORD(2), WaitMs);
    FT_Close(handle);
}

void TestSimBridge::junk()
{
    FT_HANDLE handle = openMcu();
    sim::injectJunk(PortA, {0x12, 0xFA, 0x34});
    QCOMPARE(queued(handle), DWORD(3));
    QCOMPARE(writeBytes(handle, hexBytes("aa 87")), FT_STATUS(FT_OK));
    QCOMPARE(hex(readQueued(handle, 5)), QString("12 fa 34 fa aa"));
    FT_Close(handle);
}

void TestSimBridge::readIsBounded()
{
    FT_HANDLE handle = openMcu();
    sim::injectJunk(PortA, {1, 2});
    char buffer[16];
    std::memset(buffer, Canary, sizeof buffer);
    DWORD got = 99;
    QCOMPARE(FT_Read(handle, buffer, 5, &got), FT_STATUS(FT_OK)); // returns with less after a bounded wait
    QCOMPARE(got, DWORD(2));
    QCOMPARE(hex(QByteArray(buffer, 3)), hex(QByteArray("\1\2") + Canary));

    sim::injectJunk(PortA, std::vector<uint8_t>(10, 7));
    QCOMPARE(FT_Read(handle, buffer, 4, &got), FT_STATUS(FT_OK));
    QCOMPARE(got, DWORD(4));
    QCOMPARE(buffer[4], Canary);
    QCOMPARE(queued(handle), DWORD(6));

    // A read of an answer the latency timer releases waits for it.
    QCOMPARE(FT_Read(handle, buffer, 6, &got), FT_STATUS(FT_OK));
    QCOMPARE(writeBytes(handle, hexBytes("aa")), FT_STATUS(FT_OK));
    QCOMPARE(FT_Read(handle, buffer, 2, &got), FT_STATUS(FT_OK));
    QCOMPARE(hex(QByteArray(buffer, int(got))), QString("fa aa"));
    FT_Close(handle);
}

void TestSimBridge::usbPacing_data()
{
    QTest::addColumn<int>("pacing");
    QTest::addColumn<int>("frameUs");
    QTest::newRow("instant") << int(sim::UsbPacing::Instant) << 0;
    QTest::newRow("high speed") << int(sim::UsbPacing::HighSpeed) << 125;
    QTest::newRow("full speed") << int(sim::UsbPacing::FullSpeed) << 1000;
}

void TestSimBridge::usbPacing()
{
    QFETCH(int, pacing);
    QFETCH(int, frameUs);
    FT_HANDLE handle = openMcu();
    sim::setUsbPacing(sim::UsbPacing(pacing));
    sim::clearLogs();
    QCOMPARE(writeBytes(handle, hexBytes("90 10 87")), FT_STATUS(FT_OK));
    const uint64_t returned = sim::nowUs();
    const uint64_t called = sim::calls().front().timeUs;
    const uint64_t acted = sim::busCycles().front().timeUs;
    if (frameUs > 0) {
        // The part acts at the next frame boundary, and the write returns after it.
        QCOMPARE(acted % uint64_t(frameUs), uint64_t(0));
        QVERIFY(acted > called);
        QVERIFY(returned >= acted);
    }
    QTRY_COMPARE_WITH_TIMEOUT(queued(handle), DWORD(1), WaitMs);
    FT_Close(handle);
}

void TestSimBridge::trace()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("trace.txt");
    QVERIFY(sim::setTraceFile(path.toStdString()));
    FT_HANDLE handle = openDevice(PortA);
    FT_SetLatencyTimer(handle, 16);
    FT_SetBitMode(handle, 0, 0);
    FT_SetBitMode(handle, 0, 8);
    writeBytes(handle, hexBytes("92 02 00 93 00 00 a5 92 03 00"));
    writeBytes(handle, hexBytes("90 10 87"));
    FT_Close(handle);
    sim::unplug(PortB);
    sim::plug(PortB);
    QVERIFY(sim::setTraceFile(std::string()));

    const QStringList expected = {
        "open \"Sim Bridge A\"", "latency 16", "bitmode 00 00", "bitmode 00 08",
        "write 92 02 00 93 00 00 a5 92 03 00", "busw 02 00", "busw 0000 a5", "busw 03 00",
        "frame a5" + QString(58, '0'), "write 90 10 87", "busr 10 00", "close",
        "unplug \"Sim Bridge B\"", "plug \"Sim Bridge B\"",
    };
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList events;
    qulonglong last = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const int blank = line.indexOf(' ');
        bool numeric = false;
        const qulonglong time = line.left(blank).toULongLong(&numeric);
        QVERIFY2(numeric && time >= last, line.constData());
        last = time;
        events << QString::fromLatin1(line.mid(blank + 1));
    }
    QCOMPARE(events, expected);
}

void TestSimBridge::logLimit()
{
    sim::setLogLimit(10);
    DWORD count = 0;
    for (int i = 0; i < 25; ++i)
        FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    FT_HANDLE handle = openMcu();
    QByteArray writes;
    for (int i = 0; i < 12; ++i)
        writes += hexBytes("92 20") + char(i);
    writeBytes(handle, writes);
    QCOMPARE(int(sim::calls().size()), 10);
    QCOMPARE(sim::calls().back().call, sim::Call::Write);
    QCOMPARE(int(sim::busCycles().size()), 10);
    FT_Close(handle);
}

// A worker thread talks to the bridge while this thread controls and observes
// it; run under TSan this checks the model's locking.
void TestSimBridge::threads()
{
    FT_HANDLE handle = openMcu();
    sim::setReadValue(0x40, 0x11);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            char command[] = {char(0x90), 0x40, char(0x87)};
            DWORD n = 0;
            char answer = 0;
            if (FT_Write(handle, command, 3, &n) != FT_OK || FT_Read(handle, &answer, 1, &n) != FT_OK || n != 1
                || (answer != 0x11 && answer != 0x22))
                ++failures;
        }
        done = true;
    });
    QDeadlineTimer deadline(30000);
    for (int i = 0; !done && !deadline.hasExpired(); ++i) {
        sim::setReadValue(0x40, i % 2 ? 0x11 : 0x22);
        sim::calls();
        sim::busCycles();
        sim::latencyMs(PortA);
        QThread::usleep(200);
    }
    worker.join();
    QCOMPARE(failures.load(), 0);
    FT_Close(handle);
}

QTEST_GUILESS_MAIN(TestSimBridge)
#include "tst_simbridge.moc"
