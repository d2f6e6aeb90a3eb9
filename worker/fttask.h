#ifndef TAVREL_FTTASK_H
#define TAVREL_FTTASK_H

#include "ftunitl.h"

#include <QMutex>
#include <QThread>

#include <atomic>
#include <memory>

// The device worker: owns the link and the 30-byte register image, connects
// (retrying once a second), and while connected sends the image on request,
// polls the two status registers and steps the indicator, every ~20 ms.
class FtTask : public QThread
{
    Q_OBJECT

public:
    static constexpr int ImageSize = 30;

    explicit FtTask(QObject *parent = nullptr);
    ~FtTask() override;

    // GUI thread.
    void setData(int position, quint8 value);
    void clearData();
    void requestSend();
    void setSendPending(bool pending);
    quint8 data(int position) const;

    // Worker thread (called by run()).
    void sendFrame();
    void resetRegisters();
    void pollSpeed();
    void pollDirect();
    void stepIndicator();

signals:
    void mouseSpeed(int speed);
    void mouseDirect(int direct);

protected:
    void run() override;

private:
    // The stop flag as a run state: everything but Running means "stop".
    // run() goes on only if it moves Idle -> Running itself, so a stop raised
    // before the thread got that far (Idle -> Stopping) is kept and the
    // destructor's wait() always returns. run() leaves Finished behind.
    enum RunState : int { Idle, Running, Stopping, Finished };

    bool takeSendRequest();
    void connectedCycle();
    void connectionAttempt();

    std::atomic<RunState> m_runState{Idle};
    FtUnitl m_link;
    // ImageSize cells; written by the GUI thread, read by the worker, each
    // byte atomic on its own. Released in the destructor after wait().
    std::unique_ptr<std::atomic<quint8>[]> m_image;
    bool m_sendPending = false;
    // Guards m_sendPending only. Never held during bus traffic or a sleep.
    QMutex m_sendMutex;
};

#endif
