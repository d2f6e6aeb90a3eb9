#include "fttask.h"

#include <QtGlobal>

#if defined(__SANITIZE_THREAD__)
#define TAVREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVREL_TSAN 1
#endif
#endif
#ifdef TAVREL_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace {

// Bus addresses of the attached device, as this program uses them.
constexpr quint8 firstByteAddress = 0; // write: image position 0; read: direction
constexpr quint8 nextByteAddress = 1;  // write: the next image position; read: speed
constexpr quint8 frameBeginAddress = 2; // write 0: a frame follows
constexpr quint8 frameEndAddress = 3;   // write 0: the frame is complete, show it
constexpr quint8 indicatorAddress = 4;  // write: the indicator LEDs (one walking bit)

// The register reset writes address 1 thirty times (one more than a frame's 29).
constexpr int resetNextByteWrites = 30;
// Queue-status polls, about 1 ms apart, before a status read gives up.
constexpr int statusReadTries = 100;
// Pause after each connected cycle; the cycle has no other pacing.
constexpr unsigned long cyclePauseMs = 20;
// Pause after a connection attempt that opened nothing.
constexpr unsigned long retryPauseS = 1;
// Width of the indicator register: the walking bit visits bits 0 to 7.
constexpr quint8 indicatorBits = 8;

// Position of the walking bit, one for the whole program: neither a new
// worker nor a reconnection restarts the sequence. Only the worker thread
// touches it; the program never runs two workers at once.
quint8 walkingBitCounter = 0;

// Holds m_sendMutex for one scope. Qt 5's QMutex does its locking inside the
// Qt library, which ThreadSanitizer builds do not instrument, so there the
// lock's acquire and release are also stated to the sanitizer; elsewhere
// this is a plain lock guard.
class SendRequestLocker
{
public:
    explicit SendRequestLocker(QMutex &mutex)
        : m_mutex(mutex)
    {
        m_mutex.lock();
#ifdef TAVREL_TSAN
        __tsan_acquire(&m_mutex);
#endif
    }
    ~SendRequestLocker()
    {
#ifdef TAVREL_TSAN
        __tsan_release(&m_mutex);
#endif
        m_mutex.unlock();
    }
    Q_DISABLE_COPY(SendRequestLocker)

private:
    QMutex &m_mutex;
};

} // namespace

FtTask::FtTask(QObject *parent)
    : QThread(parent)
    , m_image(new std::atomic<quint8>[ImageSize]())
{
}

FtTask::~FtTask()
{
    m_runState.store(Stopping);
    // run() has no event loop, so quit() changes nothing there; the state
    // above is what ends it.
    quit();
    wait();
    // wait() orders the end of run() before us, but inside Qt, where thread
    // checkers cannot see it; this acquire pairs with run()'s last store and
    // states the same ordering in our own code.
    (void)m_runState.load(std::memory_order_acquire);
    m_image.reset();
    // The mutex goes next, then the link, whose destructor closes an open
    // device: both only now that the worker thread has ended.
}

void FtTask::setData(int position, quint8 value)
{
    if (position < 0 || position >= ImageSize)
        return;
    // Relaxed: a frame is ordered after this store by the send request,
    // which is set under m_sendMutex after the change.
    m_image[position].store(value, std::memory_order_relaxed);
}

void FtTask::clearData()
{
    for (int i = 0; i < ImageSize; ++i)
        m_image[i].store(0, std::memory_order_relaxed);
}

void FtTask::requestSend()
{
    setSendPending(true);
}

void FtTask::setSendPending(bool pending)
{
    SendRequestLocker locker(m_sendMutex);
    m_sendPending = pending;
}

quint8 FtTask::data(int position) const
{
    if (position < 0 || position >= ImageSize)
        return 0;
    return m_image[position].load(std::memory_order_relaxed);
}

// Read and clear the request in one locked step; the only place it is cleared.
bool FtTask::takeSendRequest()
{
    SendRequestLocker locker(m_sendMutex);
    const bool pending = m_sendPending;
    m_sendPending = false;
    return pending;
}

void FtTask::sendFrame()
{
    // No copy and no lock: each byte is read as it goes out. A frame that
    // overlaps an edit may mix old and new bytes; the request that follows
    // the edit sends the whole image again.
    m_link.writeReg8(frameBeginAddress, 0);
    m_link.writeReg8(firstByteAddress, m_image[0].load(std::memory_order_relaxed));
    for (int i = 1; i < ImageSize; ++i)
        m_link.writeReg8(nextByteAddress, m_image[i].load(std::memory_order_relaxed));
    m_link.writeReg8(frameEndAddress, 0);
}

void FtTask::resetRegisters()
{
    m_link.writeReg8(firstByteAddress, 0);
    for (int i = 0; i < resetNextByteWrites; ++i)
        m_link.writeReg8(nextByteAddress, 0);
    // The freshly cleared device gets the current image in the next cycle.
    requestSend();
}

void FtTask::pollSpeed()
{
    const int value = m_link.readReg8(nextByteAddress, statusReadTries);
    if (value >= 0)
        emit mouseSpeed(value & 0xFF);
}

void FtTask::pollDirect()
{
    const int value = m_link.readReg8(firstByteAddress, statusReadTries);
    if (value >= 0)
        emit mouseDirect(value & 0xFF);
}

void FtTask::stepIndicator()
{
    if (walkingBitCounter >= indicatorBits)
        walkingBitCounter = 0;
    m_link.writeReg8(indicatorAddress, quint8(1u << walkingBitCounter));
    // Advances whether or not the write reached the device.
    ++walkingBitCounter;
}

void FtTask::connectedCycle()
{
    // A link that closes part-way still gets the rest of this cycle; the
    // next cycle is then a connection attempt.
    if (takeSendRequest())
        sendFrame();
    pollSpeed();
    pollDirect();
    stepIndicator();
    QThread::msleep(cyclePauseMs);
}

void FtTask::connectionAttempt()
{
    m_link.openDevice();
    if (m_link.isOpen()) {
        if (m_link.initDevice()) {
            resetRegisters();
        } else {
            qDebug("init device fail!");
            m_link.closeDevice();
        }
        // Either way the next cycle follows at once.
        return;
    }
    // One plain sleep: the stop is only looked at between cycles, so a stop
    // raised now waits for the rest of this second.
    QThread::sleep(retryPauseS);
}

void FtTask::run()
{
    RunState expected = Idle;
    if (m_runState.compare_exchange_strong(expected, Running)) {
        while (m_runState.load() == Running) {
            if (m_link.isOpen())
                connectedCycle();
            else
                connectionAttempt();
        }
    }
    // Leave the device's first register at 0 behind us. The link itself
    // stays open until the destructor.
    if (m_link.isOpen())
        m_link.writeReg8(firstByteAddress, 0);
    m_runState.store(Finished, std::memory_order_release);
}
