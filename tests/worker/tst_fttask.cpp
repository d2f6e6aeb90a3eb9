// The device worker against the simulated bridge: what reaches the bus, when, and what
// the worker emits. Expected bus traffic is a table of cycles; mismatches print both sides.
#include "fttask.h"
#include "simcontrol.h"

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>

namespace {

// Bounds of the waits on the worker (generous: sanitizer builds are slow).
constexpr int timeoutMs = 15000;
constexpr int mendRunTimeoutMs = 90000;

const std::string portA = "Sim Bridge A";

// Status values the model answers with: a zero, and one with its high bit set.
constexpr quint8 pinnedSpeed = 0x00;
constexpr quint8 pinnedDirect = 0xC3;

// A bus cycle as the tables state it: "W02=00", "R01=3C" (16-bit addresses: four digits).
QString cycle(char kind, unsigned address, unsigned data, bool wide = false)
{
    return QString::asprintf(wide ? "%c%04X=%02X" : "%c%02X=%02X", kind, address, data);
}

QStringList busTraffic()
{
    QStringList traffic;
    for (const sim::BusCycle &c : sim::busCycles())
        traffic << cycle(c.write ? 'W' : 'R', c.address, c.data, c.wide);
    return traffic;
}

// Writes to address 4, the indicator: one per connected cycle.
int indicatorWrites(const QStringList &traffic)
{
    return traffic.filter(QStringLiteral("W04=")).size();
}

// The walking bit after `bit`; 0 stands for "none written yet".
quint8 nextBit(quint8 bit)
{
    return (bit == 0 || bit == 0x80) ? quint8(0x01) : quint8(bit << 1);
}

// A connection: register reset (0 to address 0, then 0 to address 1 thirty times); frame (0 to 2,
// byte 0 to 0, bytes 1..29 to 1, 0 to 3); `cycles` connected cycles (speed read, direction read,
// the walking bit after `bit`); the stop's 0 to address 0.
QStringList connectionTraffic(const QByteArray &image, int cycles, quint8 bit)
{
    QStringList traffic{cycle('W', 0, 0)};
    for (int i = 0; i < 30; ++i)
        traffic << cycle('W', 1, 0);
    traffic << cycle('W', 2, 0) << cycle('W', 0, quint8(image.at(0)));
    for (int i = 1; i < FtTask::ImageSize; ++i)
        traffic << cycle('W', 1, quint8(image.at(i)));
    traffic << cycle('W', 3, 0);
    for (int i = 0; i < cycles; ++i) {
        bit = nextBit(bit);
        traffic << cycle('R', 1, pinnedSpeed) << cycle('R', 0, pinnedDirect) << cycle('W', 4, bit);
    }
    return traffic << cycle('W', 0, 0);
}

bool sameTraffic(const QStringList &actual, const QStringList &expected)
{
    if (actual == expected)
        return true;
    qInfo("actual:   %s", qPrintable(actual.join(' ')));
    qInfo("expected: %s", qPrintable(expected.join(' ')));
    return false;
}

// Calls of `call` with all of `flags` set (FT_LIST_NUMBER_ONLY: the count
// query that begins every connection attempt).
int countCalls(sim::Call call, DWORD flags = 0)
{
    int n = 0;
    for (const sim::CallRecord &r : sim::calls())
        n += r.call == call && (r.flags & flags) == flags;
    return n;
}

// Gives the worker an image with a different byte at every position.
QByteArray patternImage(FtTask &task)
{
    QByteArray image(FtTask::ImageSize, 0);
    for (int i = 0; i < image.size(); ++i) {
        image[i] = char(0x40 + i);
        task.setData(i, quint8(image.at(i)));
    }
    return image;
}

// The first argument of every emission, in order.
QList<int> emitted(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &args : spy)
        values << args.at(0).toInt();
    return values;
}

// Debug lines and warnings from every thread, kept for the tests; information
// (the traffic printed on a mismatch) goes on to Qt Test.
std::mutex logMutex; // guards loggedLines
QStringList loggedLines;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtInfoMsg)
        return previousHandler(type, context, text);
    std::lock_guard<std::mutex> locker(logMutex);
    loggedLines << (type == QtDebugMsg ? text : QStringLiteral("warning: ") + text);
}

} // namespace

class TestFtTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(captureMessage); }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }
    void init();
    void cleanup();

    void stopBeforeRunBeginsIsKept();
    void failedAttempts_data();
    void failedAttempts();
    void editsAndReconnection();
    void firstConnectionAndStop(); // after another worker has stepped the walking bit
    void unansweredReadsEmitNothing();

private:
    // Last walking bit seen on the bus in any test: the counter is program-wide.
    quint8 m_lastIndicator = 0;
};

void TestFtTask::init()
{
    sim::reset();
    sim::setReadValue(1, pinnedSpeed);
    sim::setReadValue(0, pinnedDirect);
    std::lock_guard<std::mutex> locker(logMutex);
    loggedLines.clear();
}

void TestFtTask::cleanup()
{
    if (sim::indicator() != 0)
        m_lastIndicator = sim::indicator();
    std::lock_guard<std::mutex> locker(logMutex);
    const QStringList warnings = loggedLines.filter(QStringLiteral("warning: "));
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
}

// Start and destroy at once, many times: the stop usually comes before the
// thread has reached run(), and must still end it.
void TestFtTask::stopBeforeRunBeginsIsKept()
{
    constexpr int rounds = 200;
    // Shared with the runner, which may outlive this function if it hangs.
    auto done = std::make_shared<std::atomic<int>>(0);
    QThread *runner = QThread::create([done] {
        for (int i = 0; i < rounds; ++i) {
            FtTask task;
            task.start();
            ++*done;
        }
    });
    runner->start();
    // Left running on failure, on purpose: destroying a running QThread aborts.
    QVERIFY2(runner->wait(mendRunTimeoutMs), qPrintable(QString("hung after %1 rounds").arg(done->load())));
    delete runner;
    QCOMPARE(sim::openHandles(), 0);
}

void TestFtTask::failedAttempts_data()
{
    QTest::addColumn<bool>("attached"); // false: no device; true: one that opens but never answers
    QTest::newRow("nothing found: retried a second later") << false;
    QTest::newRow("initialisation fails: retried at once") << true;
}

// Also a stop while disconnected. Whatever was opened is closed again, each
// failed initialisation is logged, and nothing reaches the bus.
void TestFtTask::failedAttempts()
{
    QFETCH(bool, attached);
    if (attached)
        sim::setSilent(true);
    else
        sim::setParts({});
    auto task = std::make_unique<FtTask>();
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::ListDevices, FT_LIST_NUMBER_ONLY) >= 3, timeoutMs);
    task.reset();

    const int opened = countCalls(sim::Call::OpenEx);
    QCOMPARE(opened > 0, attached);
    QCOMPARE(countCalls(sim::Call::Close), opened);
    {
        std::lock_guard<std::mutex> locker(logMutex);
        QCOMPARE(int(loggedLines.count("init device fail!")), opened);
    }
    QVERIFY(busTraffic().isEmpty());

    // Pauses are lower bounds only: a loaded machine makes them longer, never shorter.
    QVector<quint64> attempts;
    for (const sim::CallRecord &r : sim::calls())
        if (r.call == sim::Call::ListDevices && (r.flags & FT_LIST_NUMBER_ONLY))
            attempts << r.timeUs;
    int promptRetries = 0;
    for (int i = 1; i < attempts.size(); ++i)
        promptRetries += attempts[i] - attempts[i - 1] < 990000;
    QCOMPARE(promptRetries > 0, attached);
}

// An image, edits outside it and three requests while no device is attached; then the first
// connection, a full turn of the walking bit and the stop. One frame (the requests and the
// register reset's own are one), the whole bus log as one table, and a signal per status read.
void TestFtTask::firstConnectionAndStop()
{
    QVERIFY(sim::unplug(portA));
    auto task = std::make_unique<FtTask>();
    QSignalSpy speedSpy(task.get(), &FtTask::mouseSpeed);
    QSignalSpy directSpy(task.get(), &FtTask::mouseDirect);
    QVERIFY(speedSpy.isValid() && directSpy.isValid());
    std::atomic<int> closesWhenFinished{-1};
    connect(task.get(), &QThread::finished, task.get(),
            [&closesWhenFinished] { closesWhenFinished = countCalls(sim::Call::Close); }, Qt::DirectConnection);
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::ListDevices) >= 1, timeoutMs);
    const QByteArray image = patternImage(*task);
    task->setData(-1, 0xEE);
    task->setData(FtTask::ImageSize, 0xEE);
    QCOMPARE(task->data(-1), quint8(0));
    QCOMPARE(task->data(FtTask::ImageSize), quint8(0));
    for (int i = 0; i < 3; ++i)
        task->requestSend();
    QVERIFY(sim::plug(portA));
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 9, timeoutMs);
    task.reset();

    QCOMPARE(closesWhenFinished.load(), 0); // the thread ended with the device still open
    QCOMPARE(countCalls(sim::Call::Close), 1);
    const QStringList actual = busTraffic();
    const int cycles = indicatorWrites(actual);
    QVERIFY(sameTraffic(actual, connectionTraffic(image, cycles, m_lastIndicator)));
    // Appended to on the worker thread, which has ended.
    QCOMPARE(emitted(speedSpy), QVector<int>(cycles, pinnedSpeed).toList());
    QCOMPARE(emitted(directSpy), QVector<int>(cycles, pinnedDirect).toList());
}

// An edit reaches the bus only with a request, as a whole frame. After the device comes back,
// the reconnection sends the whole image again and the walking bit goes on where it was.
void TestFtTask::editsAndReconnection()
{
    auto task = std::make_unique<FtTask>();
    QByteArray image = patternImage(*task);
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 1, timeoutMs);

    task->clearData();
    task->setData(3, 0x33);
    image.fill(0);
    image[3] = char(0x33);
    task->requestSend();
    QTRY_VERIFY_WITH_TIMEOUT(sim::framesShown() == 2, timeoutMs);
    const std::array<uint8_t, FtTask::ImageSize> shown = sim::shownFrame();
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(shown.data()), FtTask::ImageSize).toHex(), image.toHex());

    const int mark = busTraffic().size();
    task->setData(29, 0x29);
    image[29] = char(0x29);
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic().mid(mark)) >= 3, timeoutMs);

    QVERIFY(sim::unplug(portA));
    sim::clearLogs();
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::ListDevices) >= 1, timeoutMs); // the link was found dead
    // The cycle that found the device gone still took its indicator step,
    // which reached no device: the bus shows the step after that one.
    const quint8 lostStep = nextBit(sim::indicator());
    QVERIFY(sim::plug(portA));
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 2, timeoutMs);
    task.reset();

    const QStringList after = busTraffic();
    QVERIFY(sameTraffic(after, connectionTraffic(image, indicatorWrites(after), lostStep)));
    QCOMPARE(sim::framesShown(), 3);
}

// Once the bridge stops answering (from the first direction read on, set on
// the worker thread itself), reads emit nothing.
void TestFtTask::unansweredReadsEmitNothing()
{
    auto task = std::make_unique<FtTask>();
    QSignalSpy speedSpy(task.get(), &FtTask::mouseSpeed);
    QSignalSpy directSpy(task.get(), &FtTask::mouseDirect);
    QVERIFY(speedSpy.isValid() && directSpy.isValid());
    connect(task.get(), &FtTask::mouseDirect, task.get(), [] { sim::setSilent(true); }, Qt::DirectConnection);
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 3, timeoutMs);
    task.reset();

    QCOMPARE(emitted(speedSpy), QList<int>{pinnedSpeed});
    QCOMPARE(emitted(directSpy), QList<int>{pinnedDirect});
}

QTEST_GUILESS_MAIN(TestFtTask)
#include "tst_fttask.moc"
