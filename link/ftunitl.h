#ifndef TAVREL_FTUNITL_H
#define TAVREL_FTUNITL_H

#include "d2xx.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

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
    // ... implementation fields: descriptionBuffer, currentDescription,
    // allDescriptions, handle, rxBytes, receiveBuffer, stagingBuffer,
    // stagedCount, receivedCount, linkOpen (declaration order as listed).
};

#endif
