// Unplug and re-plug the bridge at random moments while the worker runs and a
// second thread keeps editing the image: after every reconnection the device
// shows the image of that moment, no handle leaks, memory stays flat.
//
// TAVREL_SOAK_CYCLES sets the number of cycles, TAVREL_SOAK_SEED the seed.
#include "fttask.h"
#include "simcontrol.h"

#include <QtTest>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#ifndef TAVREL_SOAK_DEFAULT_CYCLES
#define TAVREL_SOAK_DEFAULT_CYCLES 600
#endif

namespace {

constexpr unsigned defaultSeed = 20240611;
// Bound of every wait on the worker (sanitizer builds are slow; an absence
// that outlasts a listing costs the worker's 1 s retry pause).
constexpr int waitTimeoutMs = 20000;
// Growth of the resident set from warm-up to the end that still counts as flat.
constexpr long rssToleranceKiB = 16 * 1024;

const std::string portA = "Sim Bridge A";
long residentKiB()
{
    QFile statm("/proc/self/statm"); // size and resident set, in pages
    return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

unsigned envNumber(const char *name, unsigned fallback)
{
    bool ok = false;
    const unsigned value = qEnvironmentVariable(name).toUInt(&ok);
    return ok ? value : fallback;
}

const unsigned soakCycles = envNumber("TAVREL_SOAK_CYCLES", TAVREL_SOAK_DEFAULT_CYCLES);

// Counts of the worker's log lines; nothing is printed (thousands of cycles).
std::atomic<int> opens{0}, otherMessages{0};
void countMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg) {
        ++otherMessages;
        std::fputs(qPrintable(text + '\n'), stderr);
    } else if (text == QLatin1String("open device success!")) {
        ++opens;
    }
}

// Held by the writer through one edit and its send request; the test holds it
// to compare the image with the device.
std::mutex editMutex;

// The operator, as fast as a program can be: edits, each followed by a send request.
void writeUntil(const std::atomic<bool> &stop, FtTask &task, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> position(-2, FtTask::ImageSize + 1); // a few outside the image
    while (!stop) {
        {
            std::lock_guard<std::mutex> lock(editMutex);
            const unsigned kind = random() % 20;
            if (kind == 0)
                task.clearData();
            for (unsigned i = 0; kind > 0 && i < (kind >= 16 ? 3u : 1u); ++i)
                task.setData(position(random), quint8(random()));
            task.requestSend();
        }
        // Leaves the cores to the worker and the test now and then.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void unplugCycles();
};

void tst_Soak::unplugCycles()
{
    const unsigned cycles = soakCycles;
    const unsigned seed = envNumber("TAVREL_SOAK_SEED", defaultSeed);
    qInfo("soak: %u cycles, seed %u (TAVREL_SOAK_CYCLES, TAVREL_SOAK_SEED)", cycles, seed);

    sim::reset();
    sim::setLogLimit(1000); // entries the model keeps per log: enough to debug, too few to grow
    const QtMessageHandler previous = qInstallMessageHandler(countMessages);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> beforeUnplugUs(0, 30000); // anywhere in a cycle or a connection
    std::uniform_int_distribution<int> shortAbsenceUs(0, 3000);  // back before the next listing, mostly
    std::uniform_int_distribution<int> longAbsenceUs(20000, 60000); // missed by a listing: a retry pause

    std::unique_ptr<FtTask> task(new FtTask);
    task->start();
    long warmKiB = 0;
    std::atomic<bool> stop{false};
    std::thread writer(writeUntil, std::cref(stop), std::ref(*task), seed + 1);
    auto joinWriter = qScopeGuard([&] {
        stop = true;
        writer.join();
    });
    for (unsigned cycle = 0; cycle < cycles; ++cycle) {
        std::this_thread::sleep_for(std::chrono::microseconds(beforeUnplugUs(random)));
        QVERIFY(sim::unplug(portA));
        const int framesBefore = sim::framesShown();
        const int absenceUs = random() % 64 == 0 ? longAbsenceUs(random) : shortAbsenceUs(random);
        std::this_thread::sleep_for(std::chrono::microseconds(absenceUs));
        QVERIFY(sim::plug(portA));

        std::lock_guard<std::mutex> paused(editMutex);
        std::array<quint8, FtTask::ImageSize> image;
        for (int i = 0; i < FtTask::ImageSize; ++i)
            image[size_t(i)] = task->data(i);
        int mostHandles = 0;
        const QDeadlineTimer deadline(waitTimeoutMs);
        bool shown = false;
        while (!(shown = sim::framesShown() > framesBefore && sim::shownFrame() == image) && !deadline.hasExpired()) {
            mostHandles = qMax(mostHandles, sim::openHandles());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        QVERIFY2(shown, qPrintable(QString::asprintf("cycle %u: the device does not show the image", cycle)));
        QVERIFY2(mostHandles <= 1, qPrintable(QString::asprintf("cycle %u: %d handles open", cycle, mostHandles)));
        QCOMPARE(sim::openHandles(), 1);
        if (cycle + 1 == qMin(cycles, qMax(20u, cycles / 10)))
            warmKiB = residentKiB();
    }
    joinWriter.dismiss();
    stop = true;
    writer.join();
    const long endKiB = residentKiB();
    task.reset();
    qInstallMessageHandler(previous);

    qInfo("soak: %d opens, resident %ld KiB after warm-up, %ld KiB at the end", opens.load(), warmKiB, endKiB);
    QCOMPARE(sim::openHandles(), 0);
    QVERIFY(opens >= int(cycles));
    QCOMPARE(otherMessages.load(), 0);
#ifndef TAVREL_SOAK_NO_MEMORY_CHECK
    QVERIFY2(endKiB - warmKiB <= rssToleranceKiB, "resident memory grew");
#endif
}

int main(int argc, char *argv[])
{
    // Qt Test ends a test function after five minutes; a long soak needs
    // more, about a second per cycle at the very worst.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(300000 + 1000 * qint64(soakCycles)));
    QCoreApplication app(argc, argv);
    tst_Soak test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_soak.moc"
