// Every D2XX call the program makes, made to fail at every point where the
// running worker makes it: what is logged, whether the link is reopened, and
// that the device ends up showing the operator's latest image.
//
// The --wrap wrappers at the bottom fire the fault right before the n-th call
// whose signature begins with a target, counted after an anchor: a point
// "<target>[#n][><anchor>]". Signatures: "Lc" count query, "Li<index>" by-index
// query, "O" open, "T" latency, "B<mode>" bit mode, "Q" queue status, "R" read,
// "C" close, "W <hex bytes>" write. Actions: f<s> the call fails with status s;
// d<s> so does the link's probe; s<k>[/<s>] a write takes only k bytes; g
// unplugged for that call only; u until the worker's listing has missed it;
// c<s> the next close fails. Expected lines: W/Q/R/C<s> "error FT_Write/.../
// FT_Close , status <s>", I "init device fail!", "*n" repeats, "/" separates
// outcomes decided by timing.
#include "fttask.h"
#include "simcontrol.h"

#include <QtTest>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int timeoutMs = 20000; // bound of the waits (generous: sanitizer builds are slower)
constexpr int knownFaultTimeoutMs = 3000; // two retry periods show where the program cannot recover

const std::string portA = "Sim Bridge A";
const QByteArray portB = "Sim Bridge B";

using Image = std::array<quint8, FtTask::ImageSize>;

Image pattern(int seed)
{
    Image image;
    for (int i = 0; i < FtTask::ImageSize; ++i)
        image[size_t(i)] = quint8(0x81 + seed * 37 + i * 13) | 1; // never 0: bytes stay recognisable
    return image;
}

void sendImage(FtTask &task, const Image &image)
{
    for (int i = 0; i < FtTask::ImageSize; ++i)
        task.setData(i, image[size_t(i)]);
    task.requestSend();
}

// Every frame the device showed arrived whole: after its begin (address 2),
// byte 0 once (address 0), 29 bytes (address 1), then its end (address 3).
// Lost, doubled or mis-parsed command bytes break this. Empty when whole.
QString brokenFrame()
{
    QString addresses; // of the writes to the frame's registers (0 to 3)
    for (const sim::BusCycle &c : sim::busCycles()) {
        if (c.write && c.address <= 3)
            addresses += QChar('0' + c.address);
    }
    const QStringList frames = addresses.split('3');
    for (int i = 0; i + 1 < frames.size(); ++i) {
        if (!frames[i].contains('2') || frames[i].section('2', -1) != "0" + QString(FtTask::ImageSize - 1, '1'))
            return QStringLiteral("frame %1 ended after addresses %2").arg(i).arg(frames[i]);
    }
    return QString();
}

// The armed fault: one point's actions, and what recovery is judged by.
struct Fault {
    QByteArray target, anchor;
    int ordinal = 1, seen = 0;
    QStringList actions;
    std::function<void()> onFire;
    bool anchored = false, fired = false;
    bool glitch = false;  // plug back after the firing call
    bool holding = false; // plug back once a listing has missed port A
    int framesAtFire = -1; // frames the device had shown when the point was reached
    int opensAfterFire = 0, indicatorWrites = 0;
};

// Guards the three below: written by the worker thread (in the wrapped calls
// and its log), read and armed by the test thread.
std::mutex stateMutex;
Fault fault;
std::vector<std::string> caseLog; // the worker's log of the case
std::vector<std::string> qtWarnings;

template <typename Use>
auto locked(Use use)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return use();
}

void beforeCall(const QByteArray &signature)
{
    std::function<void()> onFire;
    QStringList actions;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (fault.fired || !fault.anchored || !signature.startsWith(fault.target) || ++fault.seen != fault.ordinal)
            return;
        fault.fired = true;
        fault.framesAtFire = sim::framesShown();
        onFire = fault.onFire;
        actions = fault.actions;
    }
    if (onFire)
        onFire();
    static const QHash<char, sim::Call> calls{{'L', sim::Call::ListDevices}, {'O', sim::Call::OpenEx},
        {'T', sim::Call::SetLatencyTimer}, {'B', sim::Call::SetBitMode}, {'Q', sim::Call::GetQueueStatus},
        {'R', sim::Call::Read}, {'W', sim::Call::Write}, {'C', sim::Call::Close}};
    const sim::Call call = calls.value(signature.at(0));
    for (const QString &a : qAsConst(actions)) {
        const auto status = FT_STATUS(a.mid(1).section('/', 0, 0).toInt());
        const char kind = a.at(0).toLatin1();
        if (kind == 'f' || kind == 'd') // the probe of 'd' is the next queue-status query
            sim::failNext(call, kind == 'd' && call == sim::Call::GetQueueStatus ? 2 : 1, status);
        if (kind == 'd' && call != sim::Call::GetQueueStatus)
            sim::failNext(sim::Call::GetQueueStatus, 1, status);
        if (kind == 's')
            sim::shortWrites(1, uint32_t(status), FT_STATUS(a.section('/', 1).toInt()));
        if (kind == 'c')
            sim::failNext(sim::Call::Close, 1, status);
        if (kind == 'g' || kind == 'u') {
            sim::unplug(portA);
            std::lock_guard<std::mutex> lock(stateMutex);
            (kind == 'g' ? fault.glitch : fault.holding) = true;
        }
    }
}

// `listed`: the text a by-index query returned, else null.
void afterCall(const QByteArray &signature, FT_STATUS status, const char *listed)
{
    std::unique_lock<std::mutex> lock(stateMutex);
    const bool plug = fault.glitch || (fault.holding && listed && signature == "Li0" && portB == listed);
    if (plug)
        fault.glitch = fault.holding = false;
    if (status == FT_OK) {
        fault.anchored = fault.anchored || signature.startsWith(fault.anchor);
        fault.opensAfterFire += fault.fired && signature == "O";
        fault.indicatorWrites += signature.startsWith("W 92 04");
    }
    lock.unlock();
    if (plug)
        sim::plug(portA);
}

QtMessageHandler previousHandler = nullptr;

QStringList copied(const std::vector<std::string> &lines, bool failuresOnly = false)
{
    QStringList list;
    for (const std::string &line : locked([&] { return lines; })) {
        if (!failuresOnly || line.rfind("error ", 0) == 0 || line == "init device fail!")
            list << QString::fromStdString(line);
    }
    return list;
}

void captureMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtInfoMsg)
        locked([&] { (type == QtDebugMsg ? caseLog : qtWarnings).push_back(text.toStdString()); });
    if (type != QtDebugMsg)
        previousHandler(type, context, text);
}

QStringList expandLines(const QString &notation)
{
    static const QHash<QChar, QString> names{{'W', "FT_Write"}, {'Q', "FT_GetQueueStatus"},
                                             {'R', "FT_Read"}, {'C', "FT_Close"}};
    QStringList lines;
    for (const QString &token : notation.split(' ', Qt::SkipEmptyParts)) {
        const QString line = token.at(0) == 'I'
            ? QStringLiteral("init device fail!")
            : QStringLiteral("error %1 , status %2").arg(names.value(token.at(0)), token.mid(1).section('*', 0, 0));
        for (int i = token.contains('*') ? token.section('*', 1).toInt() : 1; i > 0; --i)
            lines << line;
    }
    return lines;
}

} // namespace

class tst_FaultMatrix : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(captureMessages); }
    void cleanupTestCase();
    void cleanup();
    void faults_data();
    void faults();

private:
    std::unique_ptr<FtTask> m_task;
    int m_run = 0, m_survived = 0, m_known = 0;
};

void tst_FaultMatrix::faults_data()
{
    QTest::addColumn<QString>("point");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("lines");

    // Per point, its cases "<action>:<expected lines>" separated by '|'. "$": the rest of a
    // cycle once the device has gone (both polls, the indicator, the stale handle's close).
    const char *const rows[][3] = {
        // Listing, open and its confirmation.
        {"count query", "Lc", "f4: | f18: | g:"},
        {"index query", "Li0", "f2: | g:"},
        {"open", "O", "f3: | f4: | g:"},
        {"confirm", "Q>O", "f4:Q4 | f18:Q18 | g:Q4 C4 | u:Q4 C4 | f4 c4:Q4 C4"},
        // Initialisation: unreported, seen only through the synchronisation.
        {"latency", "T", "f4: | g:Q4 I C4"},
        {"mode reset", "B0", "f4: | g:Q4 I C4"},
        {"mode host bus", "B8", "f4:I | f18:I | g:Q4 I C4 | f4 c18:I C18"},
        // Synchronisation.
        {"sync first query", "Q>B8", "f4:Q4 I | f18:Q18 I | d4:Q4 I | g:Q4 I C4"},
        {"sync write AA", "W aa", "f4:W4 | f18:W18 | s0: | d4:W4 | g:W4 Q4 I C4 | u:W4 Q4 I C4"},
        {"sync query AA", "Q>W aa", "f4:Q4 I | g:Q4 I C4"},
        {"sync read AA", "R>W aa", "f4:R4 I | f18:R18 I | g:R4 W4 Q4 I C4"},
        // The 0xAA echo of the last first-exchange pass usually still comes,
        // and counts; only if the latency timer ran out right after that pass
        // does the second exchange wait in vain.
        {"sync write AB", "W ab", "f4:W4/W4 I | s0:/I | g:W4 Q4 I C4"},
        {"sync query AB", "Q>W ab", "f4:Q4 I | g:Q4 I C4"},
        // The first echo was found, so the register reset goes out on a dead link.
        {"sync read AB", "R>W ab", "f4:R4 | f18:R18 | g:R4 W4*31 C4"},
        // Register reset: address 0 once, address 1 thirty times.
        {"reset address 0", "W 92 00 00>W ab", "f4:W4 | s1: | g:W4*31 C4"},
        {"reset first address 1", "W 92 01#1>W ab", "f4:W4 | f18:W18 | s1: | s2/4:W4 | d4:W4 | g:W4*30 C4"},
        {"reset last address 1", "W 92 01#30>W ab", "f4:W4 | s2: | g:W4 C4"},
        // The frame: begin, byte 0, bytes 1..29, end (32 writes).
        {"frame begin", "W 92 02", "f4:W4 | s1: | g:W4*32 $"},
        {"frame byte 0", "W 92 00>W 92 02", "f4:W4 | s2: | g:W4*31 $"},
        {"frame byte 14", "W 92 01#14>W 92 02",
         "f4:W4 | f18:W18 | s1: | s1/18:W18 | d4:W4 | g:W4*17 $ | u:W4*17 $"},
        {"frame byte 29", "W 92 01#29>W 92 02", "f4:W4 | g:W4*2 $"},
        {"frame end", "W 92 03", "f4:W4 | s1: | g:W4 $"},
        // Status polls: drain query, request, poll query, one-byte read.
        {"speed drain query", "Q>W 92 03", "f4:Q4 | f18:Q18 | d4:Q4 | g:$"},
        {"speed request", "W 90 01", "f4:W4 | f18:W18 | s1: | g:W4 Q4 Q4 W4 Q4 W4 C4"},
        {"speed query", "Q>W 90 01", "f4:Q4 | d4:Q4 | g:Q4 Q4 W4 Q4 W4 C4"},
        {"speed read", "R>W 90 01", "f4:R4 | f18:R18 | g:R4 Q4 W4 Q4 W4 C4"},
        {"direction request", "W 90 00", "f4:W4 | g:W4 Q4 W4 C4"},
        {"direction query", "Q>W 90 00", "f4:Q4 | g:Q4 W4 C4"},
        {"direction read", "R>W 90 00", "f4:R4 | g:R4 W4 C4"},
        {"indicator", "W 92 04", "f4:W4 | f18:W18 | s1: | d4:W4 | g:W4 C4 | u:W4 C4"},
        // Stop: the final write to address 0, then the close in the destructor.
        {"stop write", "W 92 00 00>stop", "f4:W4 | f18:W18 | g:W4 C4"},
        {"stop close", "C>stop", "f4:C4 | f18:C18 | g:C4"},
    };
    for (const auto &row : rows) {
        for (const QString &c : QString(row[2]).split('|')) {
            const QString action = c.section(':', 0, 0).trimmed();
            QTest::addRow("%s %s", row[0], qPrintable(action))
                << QString(row[1]) << action << c.section(':', 1).replace("$", "Q4 W4 Q4 Q4 W4 Q4 W4 C4");
        }
    }
}

void tst_FaultMatrix::faults()
{
    QFETCH(QString, point);
    QFETCH(QString, action);
    QFETCH(QString, lines);
    ++m_run;

    sim::reset();
    locked([] { caseLog.clear(); });
    const bool atStop = point.endsWith(">stop");
    const Image before = pattern(0);
    const Image during = pattern(m_run); // what the operator writes as the fault strikes
    m_task.reset(new FtTask);
    FtTask *task = m_task.get();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        fault = Fault();
        const QString counted = point.section('>', 0, 0);
        fault.target = counted.section('#', 0, 0).toLatin1();
        fault.ordinal = counted.contains('#') ? counted.section('#', 1).toInt() : 1;
        fault.anchor = point.section('>', 1).toLatin1();
        fault.anchored = fault.anchor.isEmpty();
        fault.actions = action.split(' ', Qt::SkipEmptyParts);
        if (!atStop)
            fault.onFire = [during, task] { sendImage(*task, during); };
    }
    sendImage(*task, before);
    task->start();
    const int fewestLines = expandLines(lines.section('/', 0, 0)).size(); // the shorter outcome is given first

    if (atStop) {
        QVERIFY(QTest::qWaitFor([&] { return sim::shownFrame() == before; }, timeoutMs));
        locked([] { fault.anchored = true; });
        m_task.reset();
        QVERIFY(locked([] { return fault; }).fired);
    } else {
        QVERIFY2(QTest::qWaitFor([] { return locked([] { return fault; }).fired; }, timeoutMs), "the point was never reached");
        QVERIFY(QTest::qWaitFor([&] { return copied(caseLog, true).size() >= fewestLines; }, timeoutMs));
        // A close made to fail is forgotten: the link cannot reopen the device.
        const bool known = action.contains(" c");
        if (known) {
            ++m_known;
            QEXPECT_FAIL("", "a close that failed is forgotten; the driver still holds the device open", Abort);
        }
        const bool recovered = QTest::qWaitFor([&] {
            return sim::framesShown() > locked([] { return fault; }).framesAtFire && sim::shownFrame() == during;
        }, known ? knownFaultTimeoutMs : timeoutMs);
        QVERIFY2(recovered, qPrintable("shown  " + QByteArray(reinterpret_cast<const char *>(sim::shownFrame().data()),
            FtTask::ImageSize).toHex(' ') + "\nwanted " + QByteArray(reinterpret_cast<const char *>(during.data()),
            FtTask::ImageSize).toHex(' ')));
        // Two more cycles: whatever the recovery logs has been logged.
        const int cycles = locked([] { return fault; }).indicatorWrites;
        QVERIFY(QTest::qWaitFor([&] { return locked([] { return fault; }).indicatorWrites >= cycles + 2; }, timeoutMs));
        QCOMPARE(sim::openHandles(), 1);
        m_task.reset(); // a clean stop adds no line
    }
    const QStringList actual = copied(caseLog, true);
    const int opened = atStop ? 0 : locked([] { return fault; }).opensAfterFire; // not judged at a stop
    bool matched = false;
    QString mismatch = QString::asprintf("log lines or reopening differ\nactual:   %s; %d opens",
                                         qPrintable(actual.join(" | ")), opened);
    // The link reopens when nothing was open yet, when the device went (the
    // probe or the unplug), or when initialisation failed; not otherwise.
    const bool reopening = point.startsWith('L') || point == "O" || point == "Q>O" || QString("dgu").contains(action[0]);
    for (const QString &outcome : lines.split('/')) {
        const QStringList expected = expandLines(outcome);
        const int opens = !atStop && (reopening || expected.contains("init device fail!"));
        matched = matched || (expected == actual && opens == opened);
        mismatch += QString::asprintf("\nexpected: %s; %d opens", qPrintable(expected.join(" | ")), opens);
    }
    QVERIFY2(matched, qPrintable(mismatch));
    const QString broken = brokenFrame();
    QVERIFY2(broken.isEmpty(), qPrintable(broken));
    // A close made to fail leaves its handle open in the driver.
    QCOMPARE(sim::openHandles(), point.startsWith('C') && action.startsWith('f') ? 1 : 0);
    const QStringList warnings = copied(qtWarnings);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
}

void tst_FaultMatrix::cleanup()
{
    locked([] {
        fault = Fault(); // the callback is let go
        fault.fired = true;
    });
    m_task.reset(); // bounded: at most one cycle or one retry pause
    if (QTest::currentTestFailed())
        qInfo("log of the failed case:\n  %s", qPrintable(copied(caseLog).join("\n  ")));
    else
        ++m_survived;
}

void tst_FaultMatrix::cleanupTestCase()
{
    qInfo("fault matrix: %d cases run, %d survived (%d known faults expected to fail recovery)", m_run, m_survived, m_known);
    qInstallMessageHandler(previousHandler);
}

template <typename Call>
static FT_STATUS routed(const QByteArray &signature, Call call, bool listing = false, void *listed = nullptr)
{
    beforeCall(signature);
    const FT_STATUS status = call();
    afterCall(signature, status, listing && status == FT_OK ? static_cast<const char *>(listed) : nullptr);
    return status;
}

// The link's D2XX calls, routed through the injector on their way to the model.

static FT_STATUS FT_API routedListDevices(void *arg1, void *arg2, DWORD flags)
{
    const bool count = flags & FT_LIST_NUMBER_ONLY;
    return routed(count ? "Lc" : "Li" + QByteArray::number(quintptr(arg1)),
                  [&] { return sim::d2xxCalls().listDevices(arg1, arg2, flags); }, !count, arg2);
}
static FT_STATUS FT_API routedOpenEx(void *arg1, DWORD flags, FT_HANDLE *handle)
{
    return routed("O", [&] { return sim::d2xxCalls().openEx(arg1, flags, handle); });
}
static FT_STATUS FT_API routedSetLatencyTimer(FT_HANDLE handle, UCHAR ms)
{
    return routed("T", [&] { return sim::d2xxCalls().setLatencyTimer(handle, ms); });
}
static FT_STATUS FT_API routedSetBitMode(FT_HANDLE handle, UCHAR mask, UCHAR mode)
{
    return routed("B" + QByteArray::number(mode, 16), [&] { return sim::d2xxCalls().setBitMode(handle, mask, mode); });
}
static FT_STATUS FT_API routedGetQueueStatus(FT_HANDLE handle, DWORD *rxBytes)
{
    return routed("Q", [&] { return sim::d2xxCalls().getQueueStatus(handle, rxBytes); });
}
static FT_STATUS FT_API routedRead(FT_HANDLE handle, void *buffer, DWORD count, DWORD *read)
{
    return routed("R", [&] { return sim::d2xxCalls().read(handle, buffer, count, read); });
}
static FT_STATUS FT_API routedWrite(FT_HANDLE handle, void *buffer, DWORD count, DWORD *written)
{
    const QByteArray bytes(static_cast<const char *>(buffer), int(count));
    return routed("W " + bytes.toHex(' '), [&] { return sim::d2xxCalls().write(handle, buffer, count, written); });
}
static FT_STATUS FT_API routedClose(FT_HANDLE handle)
{
    return routed("C", [&] { return sim::d2xxCalls().close(handle); });
}

static const bool s_routedInstalled = (d2xx::install({routedListDevices, routedOpenEx, routedSetLatencyTimer,
    routedSetBitMode, routedGetQueueStatus, routedRead, routedWrite, routedClose}), true);

QTEST_GUILESS_MAIN(tst_FaultMatrix)
#include "tst_faultmatrix.moc"
