// The worker on the simulated bridge: each rule of its loop and threads, seen on the bus and in its log.
#include "fttask.h"
#include "simtest.h"

#include <QtTest>

#include <condition_variable>
#include <random>

using namespace simtest;
using Task = std::unique_ptr<FtTask>;
using Scenario = std::function<void(Task &)>;
Q_DECLARE_METATYPE(Scenario)

namespace {

// Status values the model answers with: a zero, and one with its high bit set.
constexpr quint8 pinnedSpeed = 0x00, pinnedDirect = 0xC3;

// Holds the worker in its next write whose bytes (hex) begin with gateAt, until released.
std::mutex gateMutex; // guards the two below
QByteArray gateAt;
bool gateHolding = false;
std::condition_variable gateChanged;

void gateSet(const QByteArray &at, bool holding)
{
    std::lock_guard<std::mutex> lock(gateMutex);
    gateAt = at, gateHolding = holding, gateChanged.notify_all();
}

bool gateWait(bool holding, int ms)
{
    std::unique_lock<std::mutex> lock(gateMutex);
    return gateChanged.wait_for(lock, std::chrono::milliseconds(ms), [=] { return gateHolding == holding; });
}

void holdAt(const QByteArray &hex) { gateSet(hex, false); }
bool held() { return gateWait(true, timeoutMs); }
void release() { gateSet(QByteArray(), false); }

D2xxCalls gated()
{
    D2xxCalls calls = sim::d2xxCalls();
    calls.write = [](FT_HANDLE h, void *bytes, DWORD count, DWORD *written) {
        std::unique_lock<std::mutex> lock(gateMutex);
        const bool hold = !gateAt.isEmpty() && QByteArray((const char *)bytes, int(count)).toHex().startsWith(gateAt);
        lock.unlock();
        if (hold) // longer than within() waits, so a hang behind the gate shows
            gateSet(QByteArray(), true), gateWait(false, 2 * timeoutMs);
        return sim::d2xxCalls().write(h, bytes, count, written);
    };
    return calls;
}

// The bus log: "W<address><data>" or "R..." ("W4080") a cycle; "reset": 0 to address 0, then to 1
// thirty times; "c": speed read at 1, direction at 0, the walking bit to 4; "stop": 0 to 0 alone.
QString busWords()
{
    QString words;
    for (const sim::BusCycle &c : sim::busCycles())
        words += QString::asprintf("%c%X%02X ", c.write ? 'W' : 'R', c.address, c.data);
    words.replace(QRegularExpression("W000 (W100 ){30}"), "reset ");
    words.replace(QRegularExpression("R1.. R0.. W4(..) "), "c\\1 ");
    words.replace(QRegularExpression("W000 (?=reset|$)"), "stop ");
    int bit = 0; // last written; 0: none yet
    for (auto m = QRegularExpression("c(..)").globalMatch(words); m.hasNext();) {
        const int next = m.next().captured(1).toInt(nullptr, 16);
        if (bit && next != (bit == 0x80 ? 1 : bit << 1))
            return words + "(bit out of turn)";
        bit = next;
    }
    return words.trimmed();
}

// A frame in busWords(): 0 to address 2, byte 0 to 0, bytes 1 to 29 to 1, 0 to 3.
QString frameOf(const QByteArray &image)
{
    QString words = "W200 W0" + image.left(1).toHex().toUpper();
    for (char byte : image.mid(1))
        words += QString::asprintf(" W1%02X", quint8(byte));
    return words + " W300";
}

} // namespace

class TestFtTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { d2xx::install(gated()); }
    void init()
    {
        simtest::begin();
        sim::setReadValue(1, pinnedSpeed);
        sim::setReadValue(0, pinnedDirect);
        release();
    }
    void cleanup() { simtest::end(); }

    void stopBeforeRunBeginsIsKept()
    {
        within("a stop raised before run() begins is kept", [] {
            for (int i = 0; i < 200; ++i)
                FtTask().start();
        });
        QCOMPARE(sim::openHandles(), 0);
    }

    void failedAttempts_data()
    {
        QTest::addColumn<bool>("attached"); // a device that opens but never answers
        QTest::addColumn<QStringList>("lines"); // each attempt's
        QTest::newRow("nothing found: retried a second later") << false << QStringList{"device number 0"};
        QTest::newRow("initialisation fails: closed, logged, retried at once") << true
            << QStringList{"device D A", "find A D A ", "device number 1", "open device success!", "init device fail!"};
    }

    void failedAttempts()
    {
        QFETCH(bool, attached);
        QFETCH(QStringList, lines);
        attached ? sim::setDevices({"D A"}) : sim::setParts({});
        sim::setSilent(true);
        auto task = std::make_unique<FtTask>();
        task->start();
        QTRY_VERIFY_WITH_TIMEOUT(simtest::log().size() >= 2 * lines.size(), timeoutMs);
        within("a stop while disconnected ends the worker after the attempt under way", [&] { task.reset(); });
        QStringList expected;
        QVector<quint64> attempts;
        for (const sim::CallRecord &r : sim::calls())
            if (r.call == sim::Call::ListDevices && r.flags == FT_LIST_NUMBER_ONLY)
                attempts << r.timeUs, expected += lines;
        QCOMPARE(simtest::log(), expected);
        QVERIFY(sim::openHandles() == 0 && sim::busCycles().empty());
        // µs: the 1 s pause less the clock's slack; load makes it longer, never shorter.
        QCOMPARE(attempts[1] - attempts[0] < 990000, attached);
    }

    // Unplugged and re-plugged at random moments (TAVREL_SOAK_CYCLES times, default 20; seed
    // TAVREL_SOAK_SEED): each reconnection sends the image again, through one handle.
    void reconnectsAfterUnplugs()
    {
        const int cycles = qEnvironmentVariableIntValue("TAVREL_SOAK_CYCLES");
        const int seed = qEnvironmentVariableIntValue("TAVREL_SOAK_SEED");
        FtTask task;
        task.start();
        std::mt19937 random(unsigned(seed ? seed : 20240611));
        QByteArray image(30, 0);
        for (int i = cycles ? cycles : 20; i > 0; --i) {
            const int at = int(random() % 30);
            task.setData(at, quint8(image[at] = char(random())));
            QThread::usleep(random() % 30000); // µs: anywhere in a cycle or a connection
            QVERIFY(sim::unplug(portA));
            // One time in 16 back only after the next listing.
            QThread::usleep(random() % 16 ? random() % 3000 : 20000 + random() % 40000);
            QVERIFY(sim::plug(portA));
            sim::clearLogs();
            const auto shown = [&] { return busWords().contains(frameOf(image) + " c"); };
            QVERIFY2(QTest::qWaitFor(shown, timeoutMs), "no image sent after a reconnection");
            QCOMPARE(sim::openHandles(), 1);
        }
    }

    // A rule a row: what the test does around a worker; the bus from start to stop (busWords()) as a
    // regular expression, Z a frame of zeros.
    void rules_data()
    {
        QTest::addColumn<Scenario>("scenario");
        QTest::addColumn<QString>("words");

        QByteArray image, edited(30, 0);
        for (int i = 0; i < 30; ++i)
            image += char(0x40 + i);
        edited[7] = char(0xFF);
        // Holds the worker at a cycle's end (its indicator write) while `act` runs.
        const auto atIndicator = [](const std::function<void()> &act) {
            holdAt("9204");
            QVERIFY(held());
            act(), release();
        };
        QTest::newRow("a request with no device: one frame, after the reset") << Scenario([](Task &t) {
            QVERIFY(sim::unplug(portA));
            for (int i = -1; i <= 30; ++i) // -1 and 30 outside the image
                t->setData(i, quint8(0x40 + i));
            QCOMPARE(t->data(-1) + t->data(30), 0);
            t->requestSend(), t->start();
            QVERIFY(sim::plug(portA) && cyclesPass(9)); // past a full turn of the walking bit
        }) << "reset " + frameOf(image) + "( c){9,} stop";
        QTest::newRow("the request is a flag: three give one frame") << Scenario([=](Task &t) {
            t->start(), atIndicator([&] { t->requestSend(), t->requestSend(), t->requestSend(); });
        }) << "reset Z( c)+ Z( c)+ stop";
        QTest::newRow("an edit alone sends nothing; its request does") << Scenario([=](Task &t) {
            t->start(), atIndicator([&] { t->setData(7, 0xFF); });
            QVERIFY(cyclesPass(3));
            atIndicator([&] { t->requestSend(); });
        }) << "reset Z( c){3,} " + frameOf(edited) + "( c)+ stop";
        QTest::newRow("the request's lock is free during bus traffic") << Scenario([](Task &t) {
            holdAt("920300"); // the end of the first frame
            t->start();
            QVERIFY(held());
            within("the send request's lock is held during a frame", [&] { t->requestSend(); });
            release();
        }) << "reset Z c Z( c)+ stop";
        QTest::newRow("a link found dead: the cycle ends, then a connection") << Scenario([](Task &t) {
            t->start();
            QVERIFY(cyclesPass(2));
            sim::failNext(sim::Call::GetQueueStatus, 2, FT_IO_ERROR); // a query and its link check
            QVERIFY(QTest::qWaitFor([] { return sim::framesShown() >= 2; }, timeoutMs));
        }) << "reset Z( c)+ reset Z( c){2,} stop";
        QTest::newRow("a new worker goes on with the walking bit") << Scenario([](Task &t) {
            t->start();
            QVERIFY(cyclesPass(2));
            t = std::make_unique<FtTask>(), t->start();
        }) << "reset Z( c){2,} stop reset Z( c){2,} stop";
        // A signal per byte read, 0 and 0xC3 (zero-extended), on the worker thread.
        QTest::newRow("no answer, no signal; cycles go on") << Scenario([](Task &t) {
            std::atomic<int> right{0}, wrong{0};
            const auto count = [&, worker = t.get()](int pinned) {
                return [&, worker, pinned](int v) {
                    ++(v == pinned && QThread::currentThread() == worker ? right : wrong);
                };
            };
            QObject::connect(t.get(), &FtTask::mouseSpeed, count(pinnedSpeed));
            QObject::connect(t.get(), &FtTask::mouseDirect, count(pinnedDirect));
            t->start();
            QVERIFY(cyclesPass(2));
            sim::setSilent(true);
            const int answered = right;
            QVERIFY(cyclesPass(3));
            t.reset();
            QVERIFY2(wrong == 0 && answered >= 2 && right <= answered + 2, "signals with the wrong value or none");
        }) << "reset Z( c)+ stop";
    }

    void rules()
    {
        QFETCH(Scenario, scenario);
        QFETCH(QString, words);
        auto task = std::make_unique<FtTask>();
        scenario(task);
        QVERIFY(!task || cyclesPass(2));
        within("a stop ends the worker after the cycle under way", [&] { task.reset(); });
        const QString pattern = "^" + words.replace(" c", " c..").replace("Z", frameOf(QByteArray(30, 0))) + "$";
        QVERIFY2(QRegularExpression(pattern).match(busWords()).hasMatch(), qPrintable(busWords()));
    }

    // Held in a frame while destroyed: the image (the frame reads on) and the link (its destructor
    // closes the device) go only after the worker ended.
    void shutdownOrder()
    {
        auto task = std::make_unique<FtTask>();
        holdAt("920200"); // the first frame begins
        task->start();
        QVERIFY(held());
        std::thread owner([&] { task.reset(); });
        const auto closed = [] { return sim::calls().back().call == sim::Call::Close; };
        (void)QTest::qWaitFor(closed, 500); // what goes too early has gone by now
        release();
        owner.join();
        QVERIFY2(closed() && sim::calls().rbegin()[1].bytes == std::vector<uint8_t>({0x92, 0, 0}),
                 "the device closed before the worker's last write");
    }
};

QTEST_GUILESS_MAIN(TestFtTask)
#include "tst_fttask.moc"
