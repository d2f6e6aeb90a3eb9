// The device worker against the simulated bridge: what reaches the bus, when,
// and what the worker emits. Expected bus traffic is written out as tables of
// cycles; a mismatch prints both sides in hex.
#include "fttask.h"
#include "simcontrol.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>

namespace {

// Bounds of the waits on the worker (generous: sanitizer builds are slow).
constexpr int connectTimeoutMs = 15000;
constexpr int cycleTimeoutMs = 15000;
constexpr int mendRunTimeoutMs = 90000;

const std::string portA = "Sim Bridge A";

// Status values the model answers with unless a test pins others.
constexpr quint8 pinnedSpeed = 0x3C;
constexpr quint8 pinnedDirect = 0xC3;

// Bus addresses: 0/1 image bytes (read: direction/speed), 2/3 frame brackets, 4 indicator.
constexpr quint16 indicatorAddress = 4;

// One bus cycle as the tables state it.
struct Cycle {
    bool write;
    quint16 address;
    quint8 data;
    bool wide;
    bool operator==(const Cycle &o) const
    {
        return write == o.write && address == o.address && data == o.data && wide == o.wide;
    }
};
using Traffic = QVector<Cycle>;

Cycle W(quint16 address, quint8 data) { return {true, address, data, false}; }
Cycle R(quint16 address, quint8 data) { return {false, address, data, false}; }

Traffic busTraffic()
{
    Traffic t;
    for (const sim::BusCycle &c : sim::busCycles())
        t.append({c.write, c.address, c.data, c.wide});
    return t;
}

// Register reset: 0 to address 0 once, then 0 to address 1 thirty times.
Traffic resetTraffic()
{
    Traffic t{W(0, 0)};
    for (int i = 0; i < 30; ++i)
        t << W(1, 0);
    return t;
}

// Frame: 0 to address 2, byte 0 to address 0, bytes 1..29 to address 1, 0 to address 3.
Traffic frameTraffic(const QByteArray &image)
{
    Traffic t{W(2, 0), W(0, quint8(image.at(0)))};
    for (int i = 1; i < FtTask::ImageSize; ++i)
        t << W(1, quint8(image.at(i)));
    return t << W(3, 0);
}

// The end of every connected cycle: speed read, direction read, indicator write.
Traffic cycleTail(quint8 indicator)
{
    return {R(1, pinnedSpeed), R(0, pinnedDirect), W(indicatorAddress, indicator)};
}

// The walking bit after `bit`; 0 stands for "none written yet".
quint8 nextBit(quint8 bit)
{
    return (bit == 0 || bit == 0x80) ? quint8(0x01) : quint8(bit << 1);
}

QString describe(const Traffic &t)
{
    QStringList parts;
    for (const Cycle &c : t)
        parts << QString::asprintf(c.wide ? "%c%04X=%02X" : "%c%02X=%02X",
                                   c.write ? 'W' : 'R', unsigned(c.address), unsigned(c.data));
    return parts.join(' ');
}

bool sameTraffic(const Traffic &actual, const Traffic &expected)
{
    if (actual == expected)
        return true;
    int first = 0;
    while (first < actual.size() && first < expected.size() && actual[first] == expected[first])
        ++first;
    qInfo("bus traffic differs at cycle %d (actual %d cycles, expected %d)", first,
          int(actual.size()), int(expected.size()));
    qInfo("actual:   %s", qPrintable(describe(actual)));
    qInfo("expected: %s", qPrintable(describe(expected)));
    return false;
}

#define COMPARE_TRAFFIC(actual, expected) \
    QVERIFY2(sameTraffic((actual), (expected)), "bus traffic differs (both sides printed above)")

int indicatorWrites(const Traffic &t)
{
    return int(std::count_if(t.begin(), t.end(), [](const Cycle &c) {
        return c.write && c.address == indicatorAddress;
    }));
}

int countCalls(sim::Call call, const std::function<bool(const sim::CallRecord &)> &pred = {})
{
    int n = 0;
    for (const sim::CallRecord &r : sim::calls())
        if (r.call == call && (!pred || pred(r)))
            ++n;
    return n;
}

bool isCountQuery(const sim::CallRecord &r)
{
    return r.call == sim::Call::ListDevices && (r.flags & FT_LIST_NUMBER_ONLY);
}

QByteArray patternImage()
{
    QByteArray image(FtTask::ImageSize, 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(0x40 + i);
    return image;
}

void loadImage(FtTask &task, const QByteArray &image)
{
    for (int i = 0; i < image.size(); ++i)
        task.setData(i, quint8(image.at(i)));
}

// Debug lines from every thread, kept for the tests; warnings go on to Qt Test.
struct CapturedLog {
    std::mutex mutex; // guards lines and warnings
    QStringList lines;
    int warnings = 0;
};
CapturedLog capturedLog;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        std::lock_guard<std::mutex> locker(capturedLog.mutex);
        if (type == QtDebugMsg) {
            capturedLog.lines << text;
            return;
        }
        if (type != QtInfoMsg)
            ++capturedLog.warnings;
    }
    previousHandler(type, context, text);
}

int loggedLines(const QString &text)
{
    std::lock_guard<std::mutex> locker(capturedLog.mutex);
    return int(capturedLog.lines.count(text));
}

} // namespace

class TestFtTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void neverStartedWorkerCallsNoDriver();
    void imagePositions_data();
    void imagePositions();
    void stopBeforeRunBeginsIsKept();
    void noDeviceRetriesOncePerSecondAndWritesNothing();
    void failedInitialisationRetriesAtOnce();
    void connectedRunAndStop();
    void requestedFrame_data();
    void requestedFrame();
    void requestsWhileDisconnectedGiveOneFrame();
    void reconnectionResendsImageAndContinuesIndicator();
    void statusSignals_data();
    void statusSignals();
    void unansweredReadEmitsNothing();

private:
    // Last walking bit seen on the bus in any test: the counter is program-wide.
    quint8 m_lastIndicator = 0;
};

void TestFtTask::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureMessage);
}

void TestFtTask::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestFtTask::init()
{
    sim::reset();
    sim::setReadValue(1, pinnedSpeed);
    sim::setReadValue(0, pinnedDirect);
    std::lock_guard<std::mutex> locker(capturedLog.mutex);
    capturedLog.lines.clear();
    capturedLog.warnings = 0;
}

void TestFtTask::cleanup()
{
    for (const Cycle &c : busTraffic())
        if (c.write && c.address == indicatorAddress)
            m_lastIndicator = c.data;
    std::lock_guard<std::mutex> locker(capturedLog.mutex);
    QCOMPARE(capturedLog.warnings, 0);
}

void TestFtTask::neverStartedWorkerCallsNoDriver()
{
    {
        FtTask task;
        task.setData(3, 0x33);
        task.requestSend();
    }
    QCOMPARE(int(sim::calls().size()), 0);
}

void TestFtTask::imagePositions_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<bool>("stored");
    QTest::newRow("-1 ignored") << -1 << false;
    QTest::newRow("first") << 0 << true;
    QTest::newRow("last") << 29 << true;
    QTest::newRow("30 ignored") << 30 << false;
    QTest::newRow("INT_MIN ignored") << std::numeric_limits<int>::min() << false;
}

void TestFtTask::imagePositions()
{
    QFETCH(int, position);
    QFETCH(bool, stored);
    FtTask task;
    task.setData(position, 0xA5);
    for (int i = 0; i < FtTask::ImageSize; ++i)
        QCOMPARE(task.data(i), quint8(stored && i == position ? 0xA5 : 0));
    QCOMPARE(task.data(position), quint8(stored ? 0xA5 : 0));
    task.clearData();
    QCOMPARE(task.data(position), quint8(0));
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
    if (!runner->wait(mendRunTimeoutMs)) {
        // Left running on purpose: destroying a running QThread aborts.
        QFAIL(qPrintable(QStringLiteral("destroying a just-started worker hung after %1 rounds")
                             .arg(done->load())));
    }
    delete runner;
    QCOMPARE(done->load(), rounds);
    QCOMPARE(sim::openHandles(), 0);
}

// Also covers a stop while disconnected: nothing but listing, ever.
void TestFtTask::noDeviceRetriesOncePerSecondAndWritesNothing()
{
    sim::setParts({});
    auto task = std::make_unique<FtTask>();
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::ListDevices, isCountQuery) >= 3,
                             connectTimeoutMs);
    task.reset();

    QVector<quint64> attempts;
    for (const sim::CallRecord &r : sim::calls()) {
        QVERIFY2(isCountQuery(r), sim::callName(r.call));
        attempts << r.timeUs;
    }
    // A lower bound only: the pause may be longer on a loaded machine, never shorter.
    for (int i = 1; i < attempts.size(); ++i)
        QVERIFY2(attempts[i] - attempts[i - 1] >= 990000,
                 qPrintable(QStringLiteral("attempts %1 us apart").arg(attempts[i] - attempts[i - 1])));
    QVERIFY(busTraffic().isEmpty());
}

void TestFtTask::failedInitialisationRetriesAtOnce()
{
    sim::setSilent(true); // opens, but never echoes: synchronisation fails
    auto task = std::make_unique<FtTask>();
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::Close) >= 3, connectTimeoutMs);
    task.reset();

    const int opened = countCalls(sim::Call::OpenEx,
                                  [](const sim::CallRecord &r) { return r.status == FT_OK; });
    QCOMPARE(countCalls(sim::Call::Close), opened);
    QCOMPARE(loggedLines(QStringLiteral("init device fail!")), opened);
    QCOMPARE(sim::openHandles(), 0);
    QVERIFY(busTraffic().isEmpty()); // no register reset, no frame
    QCOMPARE(sim::framesShown(), 0);

    // With a 1 s pause after each failure every gap below would be >= 1 s;
    // without one, at least one of them is far shorter.
    quint64 shortestGap = std::numeric_limits<quint64>::max();
    quint64 closedAt = 0;
    for (const sim::CallRecord &r : sim::calls()) {
        if (r.call == sim::Call::Close) {
            closedAt = r.timeUs;
        } else if (closedAt && isCountQuery(r)) {
            shortestGap = std::min(shortestGap, r.timeUs - closedAt);
            closedAt = 0;
        }
    }
    QVERIFY(shortestGap < 1000000);
}

// First connection, a full turn of the walking bit, and the stop: the whole
// bus log of the run as one table.
void TestFtTask::connectedRunAndStop()
{
    const QByteArray image = patternImage();
    auto task = std::make_unique<FtTask>();
    loadImage(*task, image);
    std::atomic<int> closesWhenFinished{-1};
    connect(task.get(), &QThread::finished, task.get(),
            [&closesWhenFinished] { closesWhenFinished = countCalls(sim::Call::Close); },
            Qt::DirectConnection);
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 9, cycleTimeoutMs);
    QCOMPARE(countCalls(sim::Call::Close), 0);
    task.reset();

    QCOMPARE(closesWhenFinished.load(), 0); // the thread ended with the device still open
    QCOMPARE(countCalls(sim::Call::Close), 1);
    const Traffic actual = busTraffic();
    Traffic expected = resetTraffic() + frameTraffic(image);
    quint8 bit = m_lastIndicator;
    for (int i = indicatorWrites(actual); i > 0; --i)
        expected += cycleTail(bit = nextBit(bit));
    expected << W(0, 0); // once, after the last complete cycle
    COMPARE_TRAFFIC(actual, expected);
    QCOMPARE(sim::framesShown(), 1);
}

void TestFtTask::requestedFrame_data()
{
    QTest::addColumn<bool>("clearFirst");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("writeNumber"); // 1-based place in the frame; 0: no edit lands
    QTest::addColumn<int>("writeAddress");
    QTest::newRow("position 7 is the ninth write") << false << 7 << 0xFF << 9 << 1;
    QTest::newRow("position 0 is the second write") << false << 0 << 0x81 << 2 << 0;
    QTest::newRow("position 29 is the 31st write") << false << 29 << 0x01 << 31 << 1;
    QTest::newRow("position 30 ignored") << false << 30 << 0x5A << 0 << 0;
    QTest::newRow("cleared, -1 ignored") << true << -1 << 0x5A << 0 << 0;
}

void TestFtTask::requestedFrame()
{
    QFETCH(bool, clearFirst);
    QFETCH(int, position);
    QFETCH(int, value);
    QFETCH(int, writeNumber);
    QFETCH(int, writeAddress);

    QByteArray image = patternImage();
    auto task = std::make_unique<FtTask>();
    loadImage(*task, image);
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(sim::framesShown() == 1 && indicatorWrites(busTraffic()) >= 1,
                             connectTimeoutMs);
    const int mark = busTraffic().size();
    if (clearFirst) {
        task->clearData();
        image.fill(0);
    }
    task->setData(position, quint8(value));
    if (writeNumber)
        image[position] = char(value);
    task->requestSend();
    QTRY_VERIFY_WITH_TIMEOUT(sim::framesShown() == 2, cycleTimeoutMs);
    task.reset();

    const Traffic after = busTraffic().mid(mark);
    const int begin = after.indexOf(W(2, 0));
    QVERIFY(begin >= 0);
    const Traffic frame = after.mid(begin, 32);
    COMPARE_TRAFFIC(frame, frameTraffic(image));
    if (writeNumber)
        QVERIFY(frame.at(writeNumber - 1) == W(quint16(writeAddress), quint8(value)));
}

// Three requests and the register reset's own, all before the first
// connected cycle: one frame.
void TestFtTask::requestsWhileDisconnectedGiveOneFrame()
{
    QVERIFY(sim::unplug(portA));
    auto task = std::make_unique<FtTask>();
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::ListDevices, isCountQuery) >= 1,
                             connectTimeoutMs);
    QByteArray image(FtTask::ImageSize, 0);
    image[5] = char(0x55);
    task->setData(5, 0x55);
    task->requestSend();
    task->requestSend();
    task->requestSend();
    QVERIFY(sim::plug(portA));
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 3, connectTimeoutMs);
    task.reset();

    const Traffic actual = busTraffic();
    Traffic expected = resetTraffic() + frameTraffic(image);
    quint8 bit = m_lastIndicator;
    for (int i = indicatorWrites(actual); i > 0; --i)
        expected += cycleTail(bit = nextBit(bit));
    expected << W(0, 0);
    COMPARE_TRAFFIC(actual, expected);
    QCOMPARE(sim::framesShown(), 1);
}

void TestFtTask::reconnectionResendsImageAndContinuesIndicator()
{
    QByteArray image = patternImage();
    auto task = std::make_unique<FtTask>();
    loadImage(*task, image);
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 2, connectTimeoutMs);

    // An edit without a request stays in the image only.
    const int editMark = busTraffic().size();
    task->setData(3, 0x33);
    image[3] = char(0x33);
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic().mid(editMark)) >= 3, cycleTimeoutMs);
    QCOMPARE(busTraffic().mid(editMark).indexOf(W(2, 0)), -1);
    QCOMPARE(sim::framesShown(), 1);

    const quint64 unpluggedAt = sim::nowUs();
    QVERIFY(sim::unplug(portA));
    QTRY_VERIFY_WITH_TIMEOUT(countCalls(sim::Call::ListDevices,
                                        [unpluggedAt](const sim::CallRecord &r) {
                                            return isCountQuery(r) && r.timeUs > unpluggedAt;
                                        }) >= 1,
                             cycleTimeoutMs);
    const Traffic before = busTraffic(); // all of it from before the unplug
    quint8 lastBefore = 0;
    for (const Cycle &c : before)
        if (c.write && c.address == indicatorAddress)
            lastBefore = c.data;
    QVERIFY(sim::plug(portA));
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic().mid(before.size())) >= 2,
                             connectTimeoutMs);
    task.reset();

    const Traffic after = busTraffic().mid(before.size());
    Traffic expected = resetTraffic() + frameTraffic(image);
    // The cycle that found the device gone still took its indicator step,
    // which reached no device: the bus shows the step after that one.
    quint8 bit = nextBit(lastBefore);
    for (int i = indicatorWrites(after); i > 0; --i)
        expected += cycleTail(bit = nextBit(bit));
    expected << W(0, 0);
    COMPARE_TRAFFIC(after, expected);
    QCOMPARE(sim::framesShown(), 2);
}

void TestFtTask::statusSignals_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("direct");
    QTest::newRow("zero is a value") << 0x00 << 0x00;
    QTest::newRow("high bit not sign-extended") << 0x80 << 0xFF;
    QTest::newRow("distinct") << 0x01 << 0x7F;
}

void TestFtTask::statusSignals()
{
    QFETCH(int, speed);
    QFETCH(int, direct);
    sim::setReadValue(1, quint8(speed));
    sim::setReadValue(0, quint8(direct));
    auto task = std::make_unique<FtTask>();
    // Appended to on the worker thread; looked at only after it has ended.
    QSignalSpy speedSpy(task.get(), &FtTask::mouseSpeed);
    QSignalSpy directSpy(task.get(), &FtTask::mouseDirect);
    QVERIFY(speedSpy.isValid());
    QVERIFY(directSpy.isValid());
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 3, connectTimeoutMs);
    task.reset();

    int speedReads = 0;
    int directReads = 0;
    for (const Cycle &c : busTraffic()) {
        if (!c.write && c.address == 1)
            ++speedReads;
        else if (!c.write && c.address == 0)
            ++directReads;
    }
    QVERIFY(speedReads >= 3);
    QCOMPARE(speedSpy.count(), speedReads);
    QCOMPARE(directSpy.count(), directReads);
    for (const QList<QVariant> &args : qAsConst(speedSpy))
        QCOMPARE(args.at(0).toInt(), speed);
    for (const QList<QVariant> &args : qAsConst(directSpy))
        QCOMPARE(args.at(0).toInt(), direct);
}

void TestFtTask::unansweredReadEmitsNothing()
{
    auto task = std::make_unique<FtTask>();
    QSignalSpy speedSpy(task.get(), &FtTask::mouseSpeed);
    QSignalSpy directSpy(task.get(), &FtTask::mouseDirect);
    QVERIFY(speedSpy.isValid());
    QVERIFY(directSpy.isValid());
    task->start();
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic()) >= 1, connectTimeoutMs);

    sim::setSilent(true);
    const int mark = busTraffic().size();
    // Once an indicator write after the silence is on the bus, every read
    // still to come goes unanswered, so the spies are quiet from here on
    // (and the bridge's log lock orders the worker's last append before us).
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic().mid(mark)) >= 1, cycleTimeoutMs);
    const int speedSeen = speedSpy.count();
    const int directSeen = directSpy.count();
    QVERIFY(speedSeen >= 1);
    QTRY_VERIFY_WITH_TIMEOUT(indicatorWrites(busTraffic().mid(mark)) >= 3, cycleTimeoutMs);
    task.reset();

    QCOMPARE(speedSpy.count(), speedSeen);
    QCOMPARE(directSpy.count(), directSeen);
}

QTEST_GUILESS_MAIN(TestFtTask)
#include "tst_fttask.moc"
