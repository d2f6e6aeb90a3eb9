#ifndef TAVREL_FTUNITL_H
#define TAVREL_FTUNITL_H

#include "d2xxcalls.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace hostbus {
struct Command;
}

// The link to the bridge's port A: discovery, open, initialisation into MCU
// host-bus emulation, synchronisation with the command processor, and the
// register commands built on top. Used by one thread at a time (the worker
// while it runs); it holds no lock of its own.
class FtUnitl : public QObject
{
    Q_OBJECT

public:
    // Size of each transfer buffer, and the longest description text kept.
    static constexpr int BufferSize = 32768;
    static constexpr int MaxDescriptionLength = 49;

    explicit FtUnitl(QObject *parent = nullptr);
    ~FtUnitl() override;

    // Connection.
    bool isOpen() const;
    QString openDevice();
    QStringList listDevices();
    FT_STATUS readDescription(int index);
    QString descriptionText();
    static bool isPortA(const QString &text);
    FT_STATUS openByDescription(const QString &text);
    void setDescription(const QString &text);
    FT_STATUS queueStatus();
    void reportError(const QString &function, FT_STATUS status);
    bool checkLink();
    FT_STATUS closeDevice();
    bool initDevice();
    bool syncDevice();

    // Staging and raw transfer.
    void pushByte(quint8 byte);
    void flush(int count);
    DWORD writeBytes(DWORD count);
    DWORD readBytes(DWORD count);

    // Host-bus commands.
    void writeReg8(quint8 address, quint8 data);
    void writeReg16(quint8 addressHigh, quint8 addressLow, quint8 data);
    void requestReg8(quint8 address);
    void requestReg16(quint8 addressHigh, quint8 addressLow);
    int readReg8(quint8 address, int tries);
    void drain();
    int waitForData();
    QByteArray receivedData() const;

    // What the latest listing saw.
    QString currentDescription() const { return m_currentDescription; }
    QStringList allDescriptions() const { return m_allDescriptions; }
    int stagedCount() const { return m_stagedCount; }

private:
    // A description as the driver lists it, with its NUL; text taken from it is
    // cut at index MaxDescriptionLength.
    static constexpr int DescriptionBufferSize = MaxDescriptionLength + 1;

    // One synchronisation exchange: sends `command` (again on every pass when
    // resendEachPass) until an answer waits or the wait runs out, and reads it.
    // 1: the answer holds the command's echo; 0: it does not; -1: no answer, or
    // a failed queue-status query.
    int syncExchange(quint8 command, bool resendEachPass);
    bool stageCommand(const quint8 *bytes, int length);
    void sendCommand(const hostbus::Command &command);
    void setDescriptionBytes(const QByteArray &bytes);
    void releaseStaleHandle();

    // The D2XX implementation installed when this link was built.
    const D2xxCalls m_ft;
    char m_descriptionBuffer[DescriptionBufferSize];
    QString m_currentDescription;
    QStringList m_allDescriptions;
    FT_HANDLE m_handle;
    DWORD m_rxBytes;
    quint8 *m_receiveBuffer;
    quint8 *m_stagingBuffer;
    int m_stagedCount;
    int m_receivedCount;
    bool m_linkOpen;

    // The driver's own bytes of each entry of m_allDescriptions, so that a
    // description that is not plain ASCII is opened by exactly what was listed.
    QList<QByteArray> m_allDescriptionBytes;
    // A handle from FT_OpenEx that has not been given back with FT_Close. It can
    // outlive m_linkOpen when the link is found dead.
    bool m_handleHeld;
};

#endif
