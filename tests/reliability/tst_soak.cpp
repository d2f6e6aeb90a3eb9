// Unplug and re-plug the bridge at random moments while the worker runs and a
// second thread keeps editing the image: after every reconnection the device
// shows the image of that moment, no handle leaks, memory stays flat.
//
// TAVREL_SOAK_CYCLES sets the number of cycles, TAVREL_SOAK_SEED the seed.
#include "fttask.h"
#include "simcontrol.h"

#include <QtTest>

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#ifndef TAVREL_SOAK_DEFAULT_CYCLES
#define TAVREL_SOAK_DEFAULT_CYCLES 600
#endif

namespace {

constexpr unsigned defaultSeed = 20240611;
// Bound of every wait on the worker or the writer (sanitizer builds are slow;
// an absence that outlasts a listing costs the worker's 1 s retry pause).
constexpr int waitTimeoutMs = 20000;
// Growth of the resident set from warm-up to the end that still counts as flat.
constexpr long rssToleranceKiB = 16 * 1024;
// Entries the model keeps per log: enough to debug, too few to grow.
constexpr std::size_t modelLogLimit = 1000;

const std::string portA = "Sim Bridge A";
using Image = std::array<quint8, FtTask::ImageSize>;

long residentKiB()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Polls every millisecond until `done` holds or the time is up.
template <typename Done>
bool waitUntil(Done done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

unsigned envNumber(const char *name, unsigned fallback)
{
    bool ok = false;
    const unsigned value = qEnvironmentVariable(name).toUInt(&ok);
    return ok ? value : fallback;
}

unsigned soakCycles()
{
    return envNumber("TAVREL_SOAK_CYCLES", TAVREL_SOAK_DEFAULT_CYCLES);
}

// Counts of the worker's log lines; nothing is printed (thousands of cycles).
std::atomic<int> opens{0}, initFailures{0}, errorLines{0}, otherMessages{0};

void countMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg) {
        ++otherMessages;
        std::fprintf(stderr, "%s\n", qPrintable(text));
    } else if (text == QLatin1String("open device success!")) {
        ++opens;
    } else if (text == QLatin1String("init device fail!")) {
        ++initFailures;
    } else if (text.startsWith(QLatin1String("error "))) {
        ++errorLines;
    }
}

// The operator, as fast as a program can be: edits followed by a send request,
// with a pause on demand so that the image can be compared with the device.
class Writer
{
public:
    Writer(FtTask &task, unsigned seed)
        : m_task(task)
        , m_random(seed)
        , m_thread([this] { run(); })
    {
    }
    ~Writer()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    // True once the writer has stopped after a complete edit and its request.
    bool pause()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_pauseWanted = true;
        return m_changed.wait_for(lock, std::chrono::milliseconds(waitTimeoutMs), [this] { return m_paused; });
    }
    void resume()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pauseWanted = false;
        }
        m_changed.notify_all();
    }
    long edits() const { return m_edits; }

private:
    void run()
    {
        std::uniform_int_distribution<int> position(-2, FtTask::ImageSize + 1); // a few outside the image
        while (true) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_stop)
                    return;
                if (m_pauseWanted) {
                    m_paused = true;
                    m_changed.notify_all();
                    // Bounded, and looked at again: a missed wake-up costs one period.
                    m_changed.wait_for(lock, std::chrono::milliseconds(100), [this] { return !m_pauseWanted || m_stop; });
                    m_paused = m_pauseWanted;
                    continue;
                }
            }
            const unsigned kind = m_random() % 20;
            if (kind == 0)
                m_task.clearData();
            for (unsigned i = 0; kind > 0 && i < (kind >= 16 ? 3u : 1u); ++i)
                m_task.setData(position(m_random), quint8(m_random()));
            m_task.requestSend();
            ++m_edits;
            // Leaves the two cores to the worker now and then.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    FtTask &m_task;
    std::mt19937 m_random; // writer thread only
    std::atomic<long> m_edits{0};
    // Guards m_stop, m_pauseWanted and m_paused; m_changed signals changes of them.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    bool m_pauseWanted = false;
    bool m_paused = false;
    std::thread m_thread; // last: starts once everything above is built
};

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void unplugCycles();
};

void tst_Soak::unplugCycles()
{
    const unsigned cycles = soakCycles();
    const unsigned seed = envNumber("TAVREL_SOAK_SEED", defaultSeed);
    std::printf("soak: %u cycles, seed %u (TAVREL_SOAK_CYCLES, TAVREL_SOAK_SEED)\n", cycles, seed);
    std::fflush(stdout);

    sim::reset();
    sim::setLogLimit(modelLogLimit);
    const QtMessageHandler previous = qInstallMessageHandler(countMessages);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> beforeUnplugUs(0, 30000); // anywhere in a cycle or a connection
    std::uniform_int_distribution<int> shortAbsenceUs(0, 3000);  // back before the next listing, mostly
    std::uniform_int_distribution<int> longAbsenceUs(20000, 60000); // missed by a listing: a retry pause

    std::unique_ptr<FtTask> task(new FtTask);
    task->start();
    long warmKiB = 0;
    int mostHandles = 0;
    const auto started = std::chrono::steady_clock::now();
    {
        Writer writer(*task, seed + 1);
        for (unsigned cycle = 0; cycle < cycles; ++cycle) {
            std::this_thread::sleep_for(std::chrono::microseconds(beforeUnplugUs(random)));
            QVERIFY(sim::unplug(portA));
            const int framesBefore = sim::framesShown();
            const bool longAbsence = random() % 64 == 0;
            std::this_thread::sleep_for(std::chrono::microseconds(longAbsence ? longAbsenceUs(random)
                                                                              : shortAbsenceUs(random)));
            QVERIFY(sim::plug(portA));

            QVERIFY2(writer.pause(), "the writer did not pause");
            Image image;
            for (int i = 0; i < FtTask::ImageSize; ++i)
                image[size_t(i)] = task->data(i);
            const bool shown = waitUntil([&] {
                mostHandles = qMax(mostHandles, sim::openHandles());
                return sim::framesShown() > framesBefore && sim::shownFrame() == image;
            }, waitTimeoutMs);
            QVERIFY2(shown, qPrintable(QString::asprintf("cycle %u: the device does not show the image", cycle)));
            QVERIFY2(mostHandles <= 1, qPrintable(QString::asprintf("cycle %u: %d handles open", cycle, mostHandles)));
            QCOMPARE(sim::openHandles(), 1);
            writer.resume();
            if (cycle + 1 == qMin(cycles, qMax(20u, cycles / 10)))
                warmKiB = residentKiB();
            if ((cycle + 1) % 1000 == 0) {
                std::printf("soak: %u cycles done\n", cycle + 1);
                std::fflush(stdout);
            }
        }
        std::printf("soak: %ld edits by the writer\n", writer.edits());
    }
    const long endKiB = residentKiB();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    task.reset();
    qInstallMessageHandler(previous);

    std::printf("soak: %u cycles in %.1f s, %d opens, %d failed initialisations, %d error lines, "
                "resident %ld KiB after warm-up, %ld KiB at the end\n",
                cycles, seconds, opens.load(), initFailures.load(), errorLines.load(), warmKiB, endKiB);
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
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(300000 + 1000 * qint64(soakCycles())));
    QCoreApplication app(argc, argv);
    tst_Soak test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_soak.moc"
