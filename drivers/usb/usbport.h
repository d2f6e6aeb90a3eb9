// One open port of a bridge: its own libftdi context, and a receive queue that
// a reader thread keeps filling from the port's bulk IN endpoint, so that the
// queue status is a count of what has arrived and never waits for the bus.
#ifndef TAVREL_USB_USBPORT_H
#define TAVREL_USB_USBPORT_H

#include "d2xx.h"
#include "usblisting.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

struct ftdi_context;
struct libusb_device_handle;

namespace usb {

class Port
{
public:
    // Opens the listed port: FT_OK and `port` set, FT_DEVICE_NOT_FOUND when the
    // part has gone since it was listed, FT_DEVICE_NOT_OPENED when the port is
    // in use (by another process too) or access is refused.
    static FT_STATUS open(const ListedPort &listed, std::unique_ptr<Port> &port);
    ~Port();

    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    // The D2XX calls on this port, arguments already checked for null. Each
    // gives FT_IO_ERROR once the part has gone, FT_INVALID_HANDLE after close().
    FT_STATUS setLatencyTimer(UCHAR ms);
    FT_STATUS setBitMode(UCHAR mask, UCHAR mode);
    FT_STATUS queueStatus(DWORD &rxBytes);
    FT_STATUS read(uint8_t *buffer, DWORD count, DWORD &bytesRead);
    FT_STATUS write(const uint8_t *buffer, DWORD count, DWORD &bytesWritten);
    // Resets the bit mode (unless the part has gone), stops the reader, releases
    // the port and frees the context. FT_IO_ERROR if the part had gone.
    FT_STATUS close();

private:
    Port(ftdi_context *ftdi, unsigned packetSize, const ListedPort &listed);
    // Port B of a dual part, claimed while port A is in MCU host-bus mode (it
    // drives the bus control lines on B's pins). Both expect m_ftdiMutex held.
    FT_STATUS holdPortB();
    void releasePortB();
    void readLoop();
    bool pause(unsigned ms);
    void deliver(const uint8_t *data, int length);
    bool gone();
    void markGone();
    // Asks the part for its status: true only if the answer is that it has gone.
    bool unplugged();
    // After a failed call: was it because the part has gone? Marks it if so.
    void checkGone();

    // Serialises every use of m_ftdi (a libftdi context is not thread-safe)
    // and guards the pointer itself, which close() clears.
    std::mutex m_ftdiMutex;
    ftdi_context *m_ftdi;

    // Set at open, read-only after: the reader uses the handle through libusb
    // only (thread-safe), never through the context.
    libusb_device_handle *const m_usb;
    const unsigned char m_endpointIn;
    const unsigned char m_endpointOut;
    const unsigned m_packetSize;
    const ListedPort m_listed;
    ftdi_context *m_portB = nullptr; // guarded by m_ftdiMutex

    // Guards m_queue, m_gone and m_stopping; the two conditions wait on it.
    std::mutex m_queueMutex;
    std::condition_variable m_dataArrived; // readers waiting for bytes
    std::condition_variable m_spaceFreed;  // the reader thread waiting for room in a full queue
    std::deque<uint8_t> m_queue;
    bool m_gone = false;     // the part was unplugged (or stopped answering reads)
    bool m_stopping = false; // close() has begun: the reader stops, waiting reads end

    std::thread m_reader;
};

} // namespace usb

#endif
