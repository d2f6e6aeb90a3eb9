#include "signalstop.h"

#include <QSocketNotifier>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];

// Shared with the handler, which may run on any thread: only lock-free atomics.
std::atomic<int> writeFd{-1};
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free counter");

// Async-signal-safe: an atomic, write(2), sigaction(2) and raise(3) only.
extern "C" void onStopSignal(int signo)
{
    if (received.fetch_add(1) == 0) {
        const int savedErrno = errno;
        const char byte = char(signo);
        const ssize_t written = write(writeFd.load(), &byte, 1);
        (void)written; // nothing a handler could do about a full or closed socket
        errno = savedErrno;
        return;
    }
    // A stop is already under way: this one ends the process. The signal is blocked
    // while its handler runs, so the raised one arrives, with the default action,
    // as the handler returns.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signo, &fallback, nullptr);
    raise(signo);
}

} // namespace

SignalStop::SignalStop(QObject *parent)
    : QObject(parent)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        qWarning("tavrel: no stop on signals (socketpair: %s)", qPrintable(qt_error_string(errno)));
        return;
    }
    writeFd.store(m_fds[1]);
    received.store(0);
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalStop::onNotified);

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : stopSignals) // one handler at a time per thread
        sigaddset(&action.sa_mask, signo);
    for (int i = 0; i < 3; ++i) {
        // A signal ignored by whoever started us (nohup, for SIGHUP) stays ignored.
        sigaction(stopSignals[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            sigaction(stopSignals[i], &action, nullptr);
    }
}

SignalStop::~SignalStop()
{
    if (!m_notifier)
        return;
    for (int i = 0; i < 3; ++i)
        sigaction(stopSignals[i], &previous[i], nullptr);
    writeFd.store(-1);
    delete m_notifier;
    close(m_fds[0]);
    close(m_fds[1]);
}

void SignalStop::onNotified()
{
    // Only the first signal writes, one byte; later ones never come back here.
    char byte;
    const ssize_t got = read(m_fds[0], &byte, 1);
    Q_UNUSED(got)
    m_notifier->setEnabled(false);
    emit stopRequested();
}

#else

SignalStop::SignalStop(QObject *parent)
    : QObject(parent)
{
    Q_UNUSED(m_fds)
}

SignalStop::~SignalStop() = default;

void SignalStop::onNotified() {}

#endif
