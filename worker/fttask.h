#ifndef TAVREL_FTTASK_H
#define TAVREL_FTTASK_H

#include "ftunitl.h"

#include <QMutex>
#include <QThread>

#include <atomic>

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
    // stop flag, link, image, send request, mutex (declaration order).
};

#endif
