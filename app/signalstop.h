#ifndef TAVREL_SIGNALSTOP_H
#define TAVREL_SIGNALSTOP_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into the signal `stopRequested` on the thread
// that owns this object, so that Ctrl-C, a kill or a closed terminal stop the
// program the way closing its window does. A second of these signals, once a
// stop has begun, ends the process at once (killed by that signal). A signal
// that was ignored when the program started (nohup) stays ignored.
// One instance at a time; it restores the previous handlers when it goes.
// On systems without POSIX signals it does nothing.
class SignalStop : public QObject
{
    Q_OBJECT
public:
    explicit SignalStop(QObject *parent = nullptr);
    ~SignalStop() override;

signals:
    void stopRequested();

private:
    void onNotified();

    int m_fds[2] = {-1, -1}; // a socket pair: the handler writes to [1], the notifier watches [0]
    QSocketNotifier *m_notifier = nullptr;
};

#endif
