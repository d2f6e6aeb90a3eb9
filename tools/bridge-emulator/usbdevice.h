// The emulated parts on a umockdev testbed, at the level of Linux usbfs that
// libusb drives: each plugged part is a sysfs record plus a device node whose
// ioctls are answered here, on umockdev's handler thread, with URBs kept per
// client, bulk IN requests filled by the part's packet rules and bulk OUT
// transfers held while the part has no room.
#ifndef TAVREL_EMU_USBDEVICE_H
#define TAVREL_EMU_USBDEVICE_H

#include "emulatedpart.h"

#include <umockdev.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

struct DataUnref {
    void operator()(UMockdevIoctlData *data) const { g_object_unref(data); }
};
// Client memory copied into this process; written back when the ioctl completes.
using DataPtr = std::unique_ptr<UMockdevIoctlData, DataUnref>;

struct Client;

// A submitted URB, kept until its client reaps it.
struct Urb {
    DataPtr urb;    // the client's struct usbdevfs_urb
    DataPtr buffer; // its transfer buffer; null when the buffer is empty
    Client *client = nullptr;
    int64_t submittedUs = 0;
};

// The kernel's serial driver on one interface: bound, its tty node, and the
// helper process that holds the tty open (a terminal program).
struct SerialDriver {
    bool bound = false;
    int tty = -1;           // n of /dev/ttyUSBn while bound
    std::string ttySysPath;
    int holder = 0;         // pid of the helper holding the tty, or 0
};

// One appearance of a part on the bus: a device number and its node. It stays
// alive while a client still has its file open, also after an unplug.
struct Node {
    int part = 0;           // index into UsbDevices' parts
    int devnum = 0;
    std::string devPath;    // /dev/bus/usb/BBB/DDD
    std::string sysPath;    // /sys/devices/...
    int fifo = -1;          // our end of the FIFO that stands in for the device node
    bool awake = false;     // the FIFO has room: clients polling the node see POLLOUT
    bool unplugged = false;
    std::deque<Urb *> inQueue[MaxPorts];  // bulk IN requests waiting for packets, oldest first
    std::deque<Urb *> outQueue[MaxPorts]; // bulk OUT transfers the part has not taken whole (NAK)
    bool halted[MaxPorts] = {};           // the IN endpoint stalls until its halt is cleared
    int64_t nakUntil[MaxPorts] = {};      // the OUT endpoint refuses everything until then
    Client *claimedBy[MaxPorts] = {};
    SerialDriver serial[MaxPorts];
    size_t finished = 0;    // URBs of this node's clients that are done but not reaped
    ~Node();
};

// One open file of a node, in some client process.
struct Client {
    UMockdevIoctlClient *ioctl = nullptr; // referenced until the client is dropped
    std::shared_ptr<Node> node;           // null when the node was gone at connection
    std::vector<std::unique_ptr<Urb>> urbs; // submitted, not yet reaped
    std::deque<Urb *> finished;             // done, in the order they will be reaped
    ~Client();
};

class UsbDevices
{
public:
    UsbDevices(const std::vector<sim::PartItem> &parts, EventTrace &trace);
    UsbDevices(const UsbDevices &) = delete;
    UsbDevices &operator=(const UsbDevices &) = delete;

    // Creates the testbed (it exports UMOCKDEV_DIR) and plugs every part.
    bool start(std::string &message);
    // Parts count from 1. `message` says what was done, or why nothing was.
    bool plug(int number, std::string &message);
    bool unplug(int number, std::string &message);
    // A fault or a terminal program, by control line (part and port checked):
    // "hold"/"free" the port's tty, "stall" its IN endpoint, "nak" its OUT
    // endpoint for `value` ms, "fail" the next vendor request `value`,
    // "silent"/"speak" its command processor.
    bool inject(const std::string &verb, int number, int port, long value, std::string &message);
    // No client has a node open any more.
    bool clientsGone();
    // Removes the testbed; ioctls still arriving get ENODEV. The object must
    // stay alive until the process ends: umockdev's thread may still call it.
    void stop();

private:
    static gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer self);
    static void onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer self);
    static gboolean onTimer(gpointer self);

    // Everything below expects m_mutex held.
    long handle(Client &client, int &error);
    long submit(Client &client, UMockdevIoctlData *arg, int &error);
    long reap(Client &client, UMockdevIoctlData *arg, int &error);
    long discard(Client &client, UMockdevIoctlData *arg, int &error);
    long claim(Client &client, UMockdevIoctlData *arg, bool take, int &error);
    int control(Node &node, uint8_t *buffer, size_t size, int &actual, int64_t nowUs);
    bool standardRequest(Node &node, const uint8_t *setup, std::vector<uint8_t> &answer);
    long kernelDriver(Client &client, unsigned long request, UMockdevIoctlData *arg, int &error);
    void bind(Node &node, int port, bool bound);
    void hold(Node &node, int port, bool held);
    void offer(Node &node, int port, int64_t nowUs);
    void finish(Client &client, Urb *urb);
    void release(Node &node, int port);
    void drop(Client &client);
    void sweep(int64_t nowUs); // drops the clients that have gone
    void settle(int64_t nowUs);
    static void wake(Node &node);
    std::string record(const Node &node) const;
    std::vector<uint8_t> descriptors(const EmulatedPart &part) const;

    // Guards every member below, the parts, nodes, clients and URBs, and the
    // trace file. Taken by umockdev's thread for each ioctl, connection and
    // timer, and by the main thread to plug, unplug and stop. Never held while
    // completing an ioctl or removing the testbed.
    std::mutex m_mutex;
    EventTrace &m_trace;
    std::vector<std::unique_ptr<EmulatedPart>> m_parts;
    std::vector<std::shared_ptr<Node>> m_live; // per part; null while unplugged
    std::map<UMockdevIoctlClient *, std::unique_ptr<Client>> m_clients;
    UMockdevTestbed *m_testbed = nullptr;
    UMockdevIoctlBase *m_handler = nullptr;
    std::string m_root;     // the testbed's directory
    GSource *m_timer = nullptr; // on umockdev's thread: next latency deadline or client check
    int64_t m_lastSweepUs = 0;
    int m_nextDevnum = 2;   // device 1 on the bus is its root hub
    std::vector<bool> m_ttys; // /dev/ttyUSBn numbers in use
    bool m_stopped = false;
};

} // namespace emu

#endif
