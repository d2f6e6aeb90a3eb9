#include "ftunitl.h"

#include "hostbus.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cstring>

namespace {

// Latency timer of the bridge in ms: how long it holds bytes for the host
// before sending a short packet.
constexpr UCHAR LatencyTimerMs = 16;
// FT_SetBitMode modes: 0 resets the port (command processor held in reset),
// 8 starts MCU host-bus emulation. No pins are driven as bit-bang outputs.
constexpr UCHAR BitModeReset = 0x00;
constexpr UCHAR BitModeMcuHost = 0x08;
constexpr UCHAR BitMaskNone = 0x00;

// How long each synchronisation exchange waits for an answer. The bridge sends
// held bytes after at most one latency period, so this leaves ample room while
// keeping a bridge that never answers from holding the worker.
constexpr qint64 SyncWaitMs = 100;
// Pause between the passes of the first exchange, each of which resends 0xAA.
constexpr unsigned long SyncPassPauseMs = 1;

// Most portions of BufferSize bytes one drain reads: 2 MiB, twice the most a
// driver queues for the host, so a drain always ends.
constexpr int MaxDrainPortions = 64;

// Pause between queue-status polls of a register read.
constexpr unsigned long ReadPollPauseMs = 1;
// waitForData: polls and their spacing, together about one second.
constexpr int DataWaitPolls = 100;
constexpr unsigned long DataWaitPauseMs = 10;

} // namespace

FtUnitl::FtUnitl(QObject *parent)
    : QObject(parent)
    , m_ft(d2xx::installed())
    , m_handle(nullptr)
    , m_rxBytes(0)
    , m_receiveBuffer(new quint8[BufferSize])
    , m_stagingBuffer(new quint8[BufferSize])
    , m_stagedCount(0)
    , m_receivedCount(0)
    , m_linkOpen(false)
    , m_handleHeld(false)
{
    std::memset(m_descriptionBuffer, 0, sizeof m_descriptionBuffer);
}

FtUnitl::~FtUnitl()
{
    if (m_linkOpen)
        closeDevice();
    else
        releaseStaleHandle();
    delete[] m_stagingBuffer;
    delete[] m_receiveBuffer;
}

bool FtUnitl::isOpen() const
{
    return m_linkOpen;
}

QString FtUnitl::openDevice()
{
    // A device whose link died is still open in the driver until we give its
    // handle back; opening it again would fail for as long as we hold it.
    releaseStaleHandle();

    const QStringList portA = listDevices();
    if (portA.isEmpty())
        return QString();
    if (openByDescription(portA.first()) != FT_OK)
        return QString();
    qDebug("open device success!");
    if (queueStatus() != FT_OK)
        return QString();
    m_linkOpen = true;
    return portA.first();
}

QStringList FtUnitl::listDevices()
{
    QStringList portA;
    m_allDescriptions.clear();
    m_allDescriptionBytes.clear();

    DWORD count = 0;
    m_ft.listDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);

    for (DWORD index = 0; index < count; ++index) {
        // An entry that could not be read is left out rather than mistaken
        // for the one before it.
        if (readDescription(static_cast<int>(index)) != FT_OK)
            continue;
        qDebug("device %s", m_currentDescription.toLocal8Bit().constData());
        m_allDescriptions.append(m_currentDescription);
        m_allDescriptionBytes.append(QByteArray(m_descriptionBuffer));
        if (isPortA(m_currentDescription)) {
            portA.append(m_currentDescription);
            qDebug("find A %s ", m_currentDescription.toLocal8Bit().constData());
        }
    }
    qDebug("device number %d", static_cast<int>(count));
    return portA;
}

FT_STATUS FtUnitl::readDescription(int index)
{
    // The driver writes descriptions of its own length (up to its 64-byte
    // buffer), longer than what we keep.
    char scratch[FT_DESCRIPTION_BUFFER_SIZE] = {};
    const FT_STATUS status = m_ft.listDevices(reinterpret_cast<void *>(static_cast<quintptr>(index)),
                                            scratch, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
    if (status == FT_OK) {
        scratch[FT_DESCRIPTION_BUFFER_SIZE - 1] = '\0';
        setDescriptionBytes(QByteArray(scratch));
        m_currentDescription = descriptionText();
    }
    return status;
}

QString FtUnitl::descriptionText()
{
    m_descriptionBuffer[MaxDescriptionLength] = '\0';
    return QString::fromUtf8(m_descriptionBuffer);
}

bool FtUnitl::isPortA(const QString &text)
{
    return text.size() > 2 && text.endsWith(QLatin1String(" A"), Qt::CaseSensitive);
}

FT_STATUS FtUnitl::openByDescription(const QString &text)
{
    // The text was decoded from the driver's bytes; decoding is not reversible
    // for descriptions that are not plain ASCII, so open by the listed bytes.
    const int listed = m_allDescriptions.indexOf(text);
    if (listed >= 0)
        setDescriptionBytes(m_allDescriptionBytes.at(listed));
    else
        setDescription(text);

    FT_HANDLE opened = nullptr;
    const FT_STATUS status = m_ft.openEx(m_descriptionBuffer, FT_OPEN_BY_DESCRIPTION, &opened);
    if (status == FT_OK) {
        m_handle = opened;
        m_handleHeld = true;
    }
    return status;
}

void FtUnitl::setDescription(const QString &text)
{
    setDescriptionBytes(text.toLatin1());
}

void FtUnitl::setDescriptionBytes(const QByteArray &bytes)
{
    // Terminated right after the copy, so nothing of a longer, earlier
    // description survives behind it.
    const int length = qMin(bytes.size(), MaxDescriptionLength);
    std::memcpy(m_descriptionBuffer, bytes.constData(), static_cast<size_t>(length));
    m_descriptionBuffer[length] = '\0';
}

FT_STATUS FtUnitl::queueStatus()
{
    const FT_STATUS status = m_ft.getQueueStatus(m_handle, &m_rxBytes);
    if (status != FT_OK)
        reportError(QStringLiteral("FT_GetQueueStatus"), status);
    return status;
}

void FtUnitl::reportError(const QString &function, FT_STATUS status)
{
    qDebug("error %s , status %d", function.toLocal8Bit().constData(), static_cast<int>(status));
    checkLink();
}

bool FtUnitl::checkLink()
{
    // Probes directly rather than through queueStatus(): a failed probe must
    // neither log nor report again.
    if (m_linkOpen && m_ft.getQueueStatus(m_handle, &m_rxBytes) != FT_OK)
        m_linkOpen = false;
    return m_linkOpen;
}

FT_STATUS FtUnitl::closeDevice()
{
    // The driver releases the handle even when closing reports a failure (for
    // instance on an unplugged device), so it is not held any longer either way.
    // The link is closed before the failure is reported, so the report's link
    // check does not probe a handle the driver has already taken back.
    const FT_STATUS status = m_ft.close(m_handle);
    m_handleHeld = false;
    m_linkOpen = false;
    if (status != FT_OK)
        reportError(QStringLiteral("FT_Close"), status);
    return status;
}

void FtUnitl::releaseStaleHandle()
{
    if (!m_linkOpen && m_handleHeld)
        closeDevice();
}

bool FtUnitl::initDevice()
{
    m_ft.setLatencyTimer(m_handle, LatencyTimerMs);
    m_ft.setBitMode(m_handle, BitMaskNone, BitModeReset);
    m_ft.setBitMode(m_handle, BitMaskNone, BitModeMcuHost);
    return syncDevice();
}

bool FtUnitl::syncDevice()
{
    // Whatever was waiting predates the exchange and is set aside.
    if (queueStatus() != FT_OK)
        return false;
    if (m_rxBytes > 0)
        readBytes(m_rxBytes);

    // First exchange: 0xAA, resent on every pass, until an answer is waiting.
    const int firstEcho = syncExchange(hostbus::SyncFirst, true);
    if (firstEcho < 0)
        return false;
    // Second exchange: 0xAB, sent once, its answer polled for without pause.
    const int secondEcho = syncExchange(hostbus::SyncSecond, false);
    if (secondEcho < 0)
        return false;
    return firstEcho > 0 || secondEcho > 0;
}

int FtUnitl::syncExchange(quint8 command, bool resendEachPass)
{
    QDeadlineTimer deadline(SyncWaitMs);
    for (bool send = true;; send = resendEachPass) {
        if (send) {
            m_stagedCount = 0;
            pushByte(command);
            flush(m_stagedCount);
        }
        if (queueStatus() != FT_OK)
            return -1;
        if (m_rxBytes > 0)
            break;
        if (deadline.hasExpired())
            return -1;
        if (resendEachPass)
            QThread::msleep(SyncPassPauseMs);
    }
    const int read = static_cast<int>(readBytes(m_rxBytes));
    return hostbus::containsEcho(m_receiveBuffer, read, command) ? 1 : 0;
}

void FtUnitl::pushByte(quint8 byte)
{
    if (m_stagedCount < BufferSize)
        m_stagingBuffer[m_stagedCount++] = byte;
}

bool FtUnitl::stageCommand(const quint8 *bytes, int length)
{
    // A command that does not fit is dropped whole: half of one would make the
    // bridge take the next command's bytes as its operands.
    if (length > BufferSize - m_stagedCount)
        return false;
    std::memcpy(m_stagingBuffer + m_stagedCount, bytes, static_cast<size_t>(length));
    m_stagedCount += length;
    return true;
}

void FtUnitl::sendCommand(const hostbus::Command &command)
{
    stageCommand(command.bytes, command.length);
    flush(m_stagedCount);
}

void FtUnitl::flush(int count)
{
    count = qBound(0, count, m_stagedCount);
    const int written = qMin(static_cast<int>(writeBytes(static_cast<DWORD>(count))), count);
    if (written <= 0)
        return;
    // What did not go out stays first in line, in order, so the bridge still
    // receives every command byte exactly once.
    std::memmove(m_stagingBuffer, m_stagingBuffer + written, static_cast<size_t>(m_stagedCount - written));
    m_stagedCount -= written;
}

DWORD FtUnitl::writeBytes(DWORD count)
{
    DWORD written = 0;
    const FT_STATUS status = m_ft.write(m_handle, m_stagingBuffer, qMin<DWORD>(count, BufferSize), &written);
    if (status != FT_OK)
        reportError(QStringLiteral("FT_Write"), status);
    return written;
}

DWORD FtUnitl::readBytes(DWORD count)
{
    // Never more than the receive buffer holds; the rest stays queued.
    DWORD read = 0;
    const FT_STATUS status = m_ft.read(m_handle, m_receiveBuffer, qMin<DWORD>(count, BufferSize), &read);
    if (status != FT_OK)
        reportError(QStringLiteral("FT_Read"), status);
    return qMin<DWORD>(read, BufferSize);
}

void FtUnitl::writeReg8(quint8 address, quint8 data)
{
    sendCommand(hostbus::writeReg8(address, data));
}

void FtUnitl::writeReg16(quint8 addressHigh, quint8 addressLow, quint8 data)
{
    sendCommand(hostbus::writeReg16(addressHigh, addressLow, data));
}

void FtUnitl::requestReg8(quint8 address)
{
    sendCommand(hostbus::requestReg8(address));
}

void FtUnitl::requestReg16(quint8 addressHigh, quint8 addressLow)
{
    sendCommand(hostbus::requestReg16(addressHigh, addressLow));
}

int FtUnitl::readReg8(quint8 address, int tries)
{
    // A stale byte still queued would otherwise be taken for this answer.
    drain();
    requestReg8(address);
    m_receivedCount = 0;

    for (int attempt = 0; attempt < tries; ++attempt) {
        if (queueStatus() != FT_OK)
            return -1;
        if (m_rxBytes > 0) {
            DWORD read = 0;
            const FT_STATUS status = m_ft.read(m_handle, m_receiveBuffer, 1, &read);
            if (status != FT_OK) {
                reportError(QStringLiteral("FT_Read"), status);
                return -1;
            }
            return read == 1 ? int(m_receiveBuffer[0]) : -1;
        }
        QThread::msleep(ReadPollPauseMs);
    }
    return -1;
}

void FtUnitl::drain()
{
    // Everything queued is stale, also beyond one buffer's worth, in portions.
    for (int portion = 0; portion < MaxDrainPortions; ++portion) {
        // A failed query is reported, and the report's link check counts the
        // queue again: while the link stays open, that count is fresh. Once it
        // is closed, rxBytes is an old count, and reading that many would wait
        // for bytes that are not there.
        if (queueStatus() != FT_OK && !m_linkOpen)
            return;
        if (m_rxBytes == 0)
            return;
        m_receivedCount = static_cast<int>(readBytes(m_rxBytes));
        if (m_receivedCount == 0)
            return; // the read failed; asking again would fail the same way
    }
}

int FtUnitl::waitForData()
{
    m_receivedCount = 0;
    for (int poll = 0; poll < DataWaitPolls; ++poll) {
        if (queueStatus() == FT_OK && m_rxBytes > 0) {
            m_receivedCount = static_cast<int>(readBytes(m_rxBytes));
            break;
        }
        QThread::msleep(DataWaitPauseMs);
    }
    return m_receivedCount;
}

QByteArray FtUnitl::receivedData() const
{
    return QByteArray(reinterpret_cast<const char *>(m_receiveBuffer), m_receivedCount);
}
