#include "usbdevice.h"

#include <glib/gstdio.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the _IO macros usbdevice_fs.h uses
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

namespace {

constexpr int BusNumber = 1;
const char Manufacturer[] = "FTDI"; // what a part without an EEPROM reports
const char SerialDriverName[] = "ftdi_sio";
constexpr int HolderReadyMs = 2000; // bound of the wait for a helper to open its tty

// Standard control requests and descriptor types (USB 2.0, chapter 9).
enum StandardRequest : uint8_t {
    GetStatus = 0x00, ClearFeature = 0x01, SetFeature = 0x03, GetDescriptor = 0x06,
    GetConfiguration = 0x08, SetConfiguration = 0x09, GetInterface = 0x0A, SetInterface = 0x0B,
};
constexpr uint8_t DeviceType = 1, ConfigurationType = 2, StringType = 3, QualifierType = 6;
constexpr uint16_t EndpointHalt = 0;  // feature selector of an endpoint
constexpr uint8_t RecipientMask = 0x1F, ToDevice = 0, ToInterface = 1, ToEndpoint = 2;
constexpr uint8_t TypeMask = 0x60, VendorRequest = 0x40;
constexpr uint8_t DirectionIn = 0x80; // in bmRequestType and in endpoint addresses
constexpr size_t SetupSize = 8;       // the setup packet at the start of a control URB's buffer
constexpr uint16_t EnglishUs = 0x0409; // the one language of the strings
constexpr size_t MaxStringChars = 126; // a string descriptor is at most 255 bytes
constexpr uint8_t ControlPacket = 64;  // bMaxPacketSize0

// What usbfs of a current kernel reports; scatter-gather lets libusb send a
// transfer of any length as one URB.
constexpr uint32_t Capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
    | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

constexpr int64_t SweepIntervalUs = 100000; // how often dead clients are looked for
// The wake-up FIFO is filled and drained in whole pipe pages: a non-blocking write
// of one page is all or nothing, and reading one page back frees a pipe slot.
constexpr size_t PipePage = 4096;
constexpr int MaxPipePages = 1024; // bound of the fill loop (a pipe holds 16 pages unless enlarged)

// Port of a bulk endpoint, or -1: port n has IN 0x81 + 2n and OUT 0x02 + 2n.
int portOfEndpoint(uint8_t endpoint, int ports)
{
    const int number = endpoint & 0x7F;
    const bool in = endpoint & DirectionIn;
    const int port = in ? (number - 1) / 2 : number / 2 - 1;
    const bool matches = number > 0 && (number % 2 == 1) == in && port < ports;
    return matches ? port : -1;
}

uint8_t low(unsigned value) { return uint8_t(value); }
uint8_t high(unsigned value) { return uint8_t(value >> 8); }

long fail(int code, int &error)
{
    error = code;
    return -1;
}

DataPtr resolve(UMockdevIoctlData *parent, size_t offset, size_t size)
{
    return DataPtr(umockdev_ioctl_data_resolve(parent, offset, size, nullptr));
}

usbdevfs_urb &urbOf(const Urb &urb)
{
    return *reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
}

std::vector<uint8_t> stringDescriptor(const std::string &text)
{
    std::vector<uint8_t> descriptor{0, StringType};
    gchar *valid = g_utf8_make_valid(text.c_str(), -1); // a stray byte becomes U+FFFD
    glong count = 0;
    gunichar2 *units = g_utf8_to_utf16(valid, -1, nullptr, &count, nullptr);
    for (glong i = 0; units && i < count && size_t(i) < MaxStringChars; ++i) {
        descriptor.push_back(uint8_t(units[i]));
        descriptor.push_back(uint8_t(units[i] >> 8));
    }
    g_free(units);
    g_free(valid);
    descriptor[0] = uint8_t(descriptor.size());
    return descriptor;
}

void fillFifo(int fd)
{
    static const char page[PipePage] = {};
    for (int i = 0; i < MaxPipePages && write(fd, page, sizeof page) == ssize_t(sizeof page); ++i) {
    }
}

gboolean dispatchTimer(GSource *, GSourceFunc callback, gpointer data)
{
    return callback(data);
}

// A port's bulk IN requests, oldest first, as the part's packets fill them.
class UrbSink : public sim::PacketSink
{
public:
    UrbSink(std::deque<Urb *> &queue, bool halted, int64_t startUs, std::function<void(Urb *)> done)
        : m_queue(queue), m_halted(halted), m_startUs(startUs), m_done(std::move(done)) {}
    uint64_t openedUs() const override
    {
        return m_queue.empty() ? 0 : uint64_t(std::max<int64_t>(m_queue.front()->submittedUs - m_startUs, 0));
    }
    bool reading() const override { return !m_queue.empty() && !m_halted; }
    bool holdsData() const override { return reading() && urbOf(*m_queue.front()).actual_length > 0; }
    bool wantsEmpty() const override { return reading(); }
    bool packet(const uint8_t *data, size_t count, bool isShort, uint64_t) override
    {
        while (reading()) {
            Urb *urb = m_queue.front();
            usbdevfs_urb &u = urbOf(*urb);
            const size_t room = size_t(u.buffer_length - u.actual_length);
            if (sim::StatusBytes + count > room) {
                // More than the request has room for: the host controller reports
                // babble, and the part, never acknowledged, keeps the packet.
                u.status = -EOVERFLOW;
                m_queue.pop_front();
                m_done(urb);
                continue;
            }
            uint8_t *out = urb->buffer->data + u.actual_length;
            std::copy(ModemStatus, ModemStatus + sim::StatusBytes, out);
            std::copy_n(data, count, out + sim::StatusBytes);
            u.actual_length += int(sim::StatusBytes + count);
            if (isShort || u.actual_length == u.buffer_length) { // a short packet or a full request ends it
                m_queue.pop_front();
                m_done(urb);
            }
            return true;
        }
        return false;
    }

private:
    std::deque<Urb *> &m_queue;
    bool m_halted;
    int64_t m_startUs; // the part's clock starts here
    std::function<void(Urb *)> m_done;
};

} // namespace

Node::~Node()
{
    if (fifo >= 0)
        close(fifo);
}

Client::~Client()
{
    g_object_unref(ioctl);
}

UsbDevices::UsbDevices(const std::vector<sim::PartItem> &parts, EventTrace &trace)
    : m_trace(trace)
{
    for (const sim::PartItem &item : parts)
        m_parts.push_back(std::make_unique<EmulatedPart>(item, trace));
    m_live.resize(parts.size());
}

bool UsbDevices::start(std::string &message)
{
    m_testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = root;
    g_free(root);
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(m_handler, "client-connected", G_CALLBACK(onConnected), this);
    for (size_t i = 0; i < m_parts.size(); ++i) {
        if (!plug(int(i) + 1, message))
            return false;
    }
    return true;
}

// Device descriptor, then the configuration with one interface per port.
std::vector<uint8_t> UsbDevices::descriptors(const EmulatedPart &part) const
{
    const sim::ChipInfo &chip = part.chip();
    const unsigned packet = unsigned(chip.packetSize);
    const unsigned total = 9 + unsigned(chip.ports) * (9 + 7 + 7);
    // device: USB 2.0, class per interface, vendor 0x0403, the chip's product and
    // release (libftdi reads the chip type from it), strings 1 2 3 (maker, product,
    // serial; 0 for none), one configuration
    std::vector<uint8_t> d = {18, DeviceType, 0x00, 0x02, 0, 0, 0, ControlPacket, 0x03, 0x04,
                              low(chip.productId), high(chip.productId), low(chip.bcdDevice), high(chip.bcdDevice),
                              1, 2, uint8_t(part.identity().serial.empty() ? 0 : 3), 1};
    // configuration 1: one interface per port, bus powered, 100 mA (in 2 mA units)
    d.insert(d.end(), {9, ConfigurationType, low(total), high(total), uint8_t(chip.ports), 1, 0, 0x80, 50});
    for (int port = 0; port < chip.ports; ++port) {
        // interface: two bulk endpoints, vendor-specific, named by the product string
        d.insert(d.end(), {9, 4, uint8_t(port), 0, 2, 0xFF, 0xFF, 0xFF, 2});
        d.insert(d.end(), {7, 5, uint8_t(0x81 + 2 * port), 2, low(packet), high(packet), 0});
        d.insert(d.end(), {7, 5, uint8_t(0x02 + 2 * port), 2, low(packet), high(packet), 0});
    }
    return d;
}

std::string UsbDevices::record(const Node &node) const
{
    const EmulatedPart &part = *m_parts[size_t(node.part)];
    std::string hex;
    for (uint8_t byte : descriptors(part)) {
        static const char digits[] = "0123456789ABCDEF";
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    // No "N:" line: the node exists already (add_from_string would make a plain file).
    // Attribute values end in an escaped newline, as sysfs shows them.
    return "P: " + node.sysPath.substr(std::strlen("/sys")) + "\n"
        + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + node.devPath + "\n"
        + "A: busnum=" + std::to_string(BusNumber) + "\\n\n"
        + "A: devnum=" + std::to_string(node.devnum) + "\\n\n"
        + "A: bConfigurationValue=1\\n\nA: speed=" + (part.chip().highSpeed ? "480" : "12") + "\\n\n"
        + "H: descriptors=" + hex + "\n";
}

bool UsbDevices::plug(int number, std::string &message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (number < 1 || number > int(m_parts.size()) || m_live[size_t(number - 1)] || m_stopped) {
        message = "no unplugged part " + std::to_string(number);
        return false;
    }
    auto node = std::make_shared<Node>();
    node->part = number - 1;
    node->devnum = m_nextDevnum++; // a new device number at every plug, as the kernel gives
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", BusNumber, node->devnum);
    node->devPath = path;
    node->sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(number);
    const int64_t now = g_get_monotonic_time();
    m_parts[size_t(node->part)]->powerUp(now);

    // The handler first, then the node, then the record: adding the record
    // announces the device, and a client may open it at once.
    GError *error = nullptr;
    const std::string file = m_root + node->devPath;
    gchar *folder = g_path_get_dirname(file.c_str());
    g_mkdir_with_parents(folder, 0755);
    g_free(folder);
    if (!umockdev_testbed_attach_ioctl(m_testbed, path, m_handler, &error)
        || mkfifo(file.c_str(), 0666) != 0
        || (node->fifo = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        message = "cannot create " + file + ": " + (error ? error->message : std::strerror(errno));
        g_clear_error(&error);
        return false;
    }
    fillFifo(node->fifo);
    m_live[size_t(node->part)] = node;
    if (!umockdev_testbed_add_from_string(m_testbed, record(*node).c_str(), &error)) {
        message = std::string("cannot add the device: ") + error->message;
        g_clear_error(&error);
        return false;
    }
    // The kernel's serial driver takes every interface at once.
    for (int port = 0; port < m_parts[size_t(node->part)]->portCount(); ++port)
        bind(*node, port, true);
    m_trace.line(now, "plug \"" + m_parts[size_t(node->part)]->identity().product + "\"");
    message = "plugged part " + std::to_string(number) + " as " + node->devPath;
    return true;
}

bool UsbDevices::unplug(int number, std::string &message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (number < 1 || number > int(m_parts.size()) || !m_live[size_t(number - 1)] || m_stopped) {
        message = "no plugged part " + std::to_string(number);
        return false;
    }
    std::shared_ptr<Node> node = std::move(m_live[size_t(number - 1)]);
    for (int port = 0; port < MaxPorts; ++port)
        bind(*node, port, false); // the ttys and interfaces first: they hang under the device
    // The order matters: clients must find no node once they hear of the
    // removal, and the "remove" uevent reads the sysfs entry it announces.
    unlink((m_root + node->devPath).c_str());
    umockdev_testbed_uevent(m_testbed, node->sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, node->sysPath.c_str());
    GError *error = nullptr;
    if (!umockdev_testbed_detach_ioctl(m_testbed, node->devPath.c_str(), &error))
        g_clear_error(&error); // already detached: nothing more to undo
    // Files still open stay connected: requests in flight end as on a removed
    // device, everything later but reaping gets ENODEV.
    node->unplugged = true;
    for (int port = 0; port < MaxPorts; ++port) {
        for (auto *queue : {&node->inQueue[port], &node->outQueue[port]}) {
            for (Urb *urb : *queue) {
                urbOf(*urb).status = -ESHUTDOWN;
                finish(*urb->client, urb);
            }
            queue->clear();
        }
    }
    wake(*node);
    m_trace.line(g_get_monotonic_time(), "unplug \"" + m_parts[size_t(node->part)]->identity().product + "\"");
    message = "unplugged part " + std::to_string(number) + " from " + node->devPath;
    return true;
}

bool UsbDevices::clientsGone()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clients.empty();
}

void UsbDevices::stop()
{
    UMockdevTestbed *testbed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        testbed = m_testbed;
        m_testbed = nullptr;
    }
    if (testbed)
        g_object_unref(testbed); // removes its directory
}

void UsbDevices::onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer self)
{
    auto *devices = static_cast<UsbDevices *>(self);
    std::lock_guard<std::mutex> lock(devices->m_mutex);
    if (devices->m_stopped)
        return;
    if (!devices->m_timer) {
        // Runs on umockdev's thread, whose context is the thread default here.
        static GSourceFuncs funcs;
        funcs.dispatch = dispatchTimer;
        devices->m_timer = g_source_new(&funcs, sizeof(GSource));
        g_source_set_callback(devices->m_timer, onTimer, devices, nullptr);
        g_source_attach(devices->m_timer, g_main_context_get_thread_default());
    }
    auto client = std::make_unique<Client>();
    client->ioctl = UMOCKDEV_IOCTL_CLIENT(g_object_ref(ioctl));
    const char *devnode = umockdev_ioctl_client_get_devnode(ioctl);
    for (const auto &node : devices->m_live) {
        if (node && devnode && node->devPath == devnode)
            client->node = node;
    }
    devices->m_clients[ioctl] = std::move(client);
    devices->settle(g_get_monotonic_time());
}

gboolean UsbDevices::onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *ioctl, gpointer self)
{
    auto *devices = static_cast<UsbDevices *>(self);
    int error = 0;
    long result;
    {
        std::lock_guard<std::mutex> lock(devices->m_mutex);
        const auto it = devices->m_clients.find(ioctl);
        if (devices->m_stopped || it == devices->m_clients.end()) {
            result = fail(ENODEV, error);
        } else {
            result = devices->handle(*it->second, error);
            devices->settle(g_get_monotonic_time());
            if (it->second->node)
                wake(*it->second->node);
        }
    }
    umockdev_ioctl_client_complete(ioctl, result, error);
    return TRUE;
}

gboolean UsbDevices::onTimer(gpointer self)
{
    auto *devices = static_cast<UsbDevices *>(self);
    std::lock_guard<std::mutex> lock(devices->m_mutex);
    if (devices->m_stopped)
        return G_SOURCE_REMOVE;
    const int64_t now = g_get_monotonic_time();
    if (now - devices->m_lastSweepUs >= SweepIntervalUs)
        devices->sweep(now);
    devices->settle(now);
    return G_SOURCE_CONTINUE;
}

void UsbDevices::sweep(int64_t nowUs)
{
    // umockdev 0.17 tells of a vanished client unreliably: look.
    m_lastSweepUs = nowUs;
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if (umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
            continue;
        }
        drop(*it->second);
        it = m_clients.erase(it);
    }
}

long UsbDevices::handle(Client &client, int &error)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client.ioctl);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client.ioctl);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB)
        return reap(client, arg, error); // never waits: reaping blocks nobody here
    if (!client.node || client.node->unplugged)
        return fail(ENODEV, error);
    switch (request) {
    case USBDEVFS_SUBMITURB:
        return submit(client, arg, error);
    case USBDEVFS_DISCARDURB:
        return discard(client, arg, error);
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        return kernelDriver(client, request, arg, error);
    case USBDEVFS_RELEASEINTERFACE:
        return claim(client, arg, false, error);
    case USBDEVFS_GET_CAPABILITIES: {
        DataPtr caps = resolve(arg, 0, sizeof Capabilities);
        if (!caps)
            return fail(EFAULT, error);
        std::memcpy(caps->data, &Capabilities, sizeof Capabilities);
        return 0;
    }
    case USBDEVFS_CLEAR_HALT: {
        DataPtr value = resolve(arg, 0, sizeof(unsigned int));
        if (!value)
            return fail(EFAULT, error);
        unsigned int endpoint = 0;
        std::memcpy(&endpoint, value->data, sizeof endpoint);
        const int port = portOfEndpoint(uint8_t(endpoint), m_parts[size_t(client.node->part)]->portCount());
        if (port < 0)
            return fail(ENOENT, error);
        if (endpoint & DirectionIn)
            client.node->halted[port] = false;
        return 0;
    }
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        return 0;
    default:
        return fail(ENOTTY, error);
    }
}

// The kernel's serial driver on an interface: asked for (GETDRIVER), let go
// (DISCONNECT, or a claim that disconnects it), taken back (CONNECT). A plain
// claim of an interface the driver holds is refused, as by the kernel.
long UsbDevices::kernelDriver(Client &client, unsigned long request, UMockdevIoctlData *arg, int &error)
{
    Node &node = *client.node;
    const int ports = m_parts[size_t(node.part)]->portCount();
    const size_t size = request == USBDEVFS_IOCTL ? sizeof(usbdevfs_ioctl)
        : request == USBDEVFS_GETDRIVER ? sizeof(usbdevfs_getdriver) : sizeof(unsigned int);
    DataPtr data = resolve(arg, 0, size);
    if (!data)
        return fail(EFAULT, error);
    int interface = 0;
    std::memcpy(&interface, data->data, sizeof interface); // each of these structs starts with it
    if (interface < 0 || interface >= ports)
        return fail(EINVAL, error);
    SerialDriver &driver = node.serial[interface];
    switch (request) {
    case USBDEVFS_GETDRIVER: {
        if (!driver.bound)
            return fail(ENODATA, error);
        auto *answer = reinterpret_cast<usbdevfs_getdriver *>(data->data);
        std::snprintf(answer->driver, sizeof answer->driver, "%s", SerialDriverName);
        return 0;
    }
    case USBDEVFS_IOCTL: {
        const auto *command = reinterpret_cast<const usbdevfs_ioctl *>(data->data);
        if (command->ioctl_code == int(USBDEVFS_DISCONNECT)) {
            if (!driver.bound)
                return fail(ENODATA, error);
            bind(node, interface, false);
            return 0;
        }
        if (command->ioctl_code == int(USBDEVFS_CONNECT)) {
            if (node.claimedBy[interface])
                return fail(EBUSY, error);
            bind(node, interface, true);
            return 0;
        }
        return fail(ENOTTY, error);
    }
    case USBDEVFS_DISCONNECT_CLAIM:
        if (node.claimedBy[interface] && node.claimedBy[interface] != &client)
            return fail(EBUSY, error);
        bind(node, interface, false);
        return claim(client, arg, true, error);
    default: // USBDEVFS_CLAIMINTERFACE
        if (driver.bound)
            return fail(EBUSY, error);
        return claim(client, arg, true, error);
    }
}

// Binding makes the interface's tty appear (its node and sysfs records,
// announced); unbinding takes it away, after the helper holding it, if any.
void UsbDevices::bind(Node &node, int port, bool bound)
{
    SerialDriver &driver = node.serial[port];
    if (driver.bound == bound)
        return;
    driver.bound = bound;
    if (!bound) {
        hold(node, port, false);
        if (m_testbed) { // the tty first, then the interface record it hangs under
            umockdev_testbed_uevent(m_testbed, driver.ttySysPath.c_str(), "remove");
            umockdev_testbed_remove_device(m_testbed, driver.ttySysPath.c_str());
            const std::string interface = driver.ttySysPath.substr(0, driver.ttySysPath.find("/ttyUSB"));
            umockdev_testbed_remove_device(m_testbed, interface.c_str());
        }
        unlink((m_root + "/dev/ttyUSB" + std::to_string(driver.tty)).c_str());
        m_ttys[size_t(driver.tty)] = false;
        driver.tty = -1;
        return;
    }
    const auto free = std::find(m_ttys.begin(), m_ttys.end(), false); // the lowest free number, as the kernel's
    driver.tty = int(free - m_ttys.begin());
    if (free == m_ttys.end())
        m_ttys.push_back(true);
    else
        *free = true;
    const std::string name = "ttyUSB" + std::to_string(driver.tty);
    const std::string interface = node.sysPath + "/" + node.sysPath.substr(node.sysPath.rfind('/') + 1)
        + ":1." + std::to_string(port);
    driver.ttySysPath = interface + "/" + name + "/tty/" + name;
    // The node first (a plain file), then the records: the tty, then the
    // interface its driver is bound to.
    const int fd = open((m_root + "/dev/" + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0)
        close(fd);
    const std::string records = "P: " + driver.ttySysPath.substr(std::strlen("/sys")) + "\n"
        + "E: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name + "\n\n"
        + "P: " + interface.substr(std::strlen("/sys")) + "\n"
        + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=" + SerialDriverName + "\n"
        + "A: bInterfaceNumber=0" + std::to_string(port) + "\\n\n";
    GError *error = nullptr;
    if (m_testbed && !umockdev_testbed_add_from_string(m_testbed, records.c_str(), &error)) {
        std::fprintf(stderr, "tavrel-bridge-emu: cannot add %s: %s\n", name.c_str(), error->message);
        g_clear_error(&error);
    }
}

// A helper process opens the port's tty and keeps it open, as a terminal
// program would, until freed (or until this process ends).
void UsbDevices::hold(Node &node, int port, bool held)
{
    SerialDriver &driver = node.serial[port];
    if (!held && driver.holder) {
        kill(driver.holder, SIGKILL);
        waitpid(driver.holder, nullptr, 0);
        driver.holder = 0;
    }
    if (!held || driver.holder || !driver.bound)
        return;
    const std::string path = m_root + "/dev/ttyUSB" + std::to_string(driver.tty);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return;
    const pid_t pid = fork();
    if (pid == 0) {
        // Only raw system calls here: this process has other threads, and the
        // preload library wraps open, read and write.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const long fd = syscall(SYS_openat, AT_FDCWD, path.c_str(), O_RDWR | O_NOCTTY);
        const char byte = fd >= 0 ? 1 : 0;
        syscall(SYS_write, ready[1], &byte, 1);
        for (;;)
            pause();
    }
    syscall(SYS_close, ready[1]);
    char byte = 0;
    pollfd wait = {ready[0], POLLIN, 0};
    const bool opened = pid > 0 && poll(&wait, 1, HolderReadyMs) == 1
        && syscall(SYS_read, ready[0], &byte, 1) == 1 && byte == 1;
    syscall(SYS_close, ready[0]);
    if (pid > 0 && !opened) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    driver.holder = opened ? pid : 0;
}

bool UsbDevices::inject(const std::string &verb, int number, int port, long value, std::string &message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::shared_ptr<Node> node = number >= 1 && number <= int(m_parts.size()) ? m_live[size_t(number - 1)]
                                                                                   : nullptr;
    EmulatedPart *part = node ? m_parts[size_t(number - 1)].get() : nullptr;
    if (!part || m_stopped) {
        message = "no plugged part " + std::to_string(number);
        return false;
    }
    if (verb != "fail" && port >= part->portCount()) {
        message = "part " + std::to_string(number) + " has no port " + char('A' + port);
        return false;
    }
    const int64_t now = g_get_monotonic_time();
    if (verb == "hold" || verb == "free") {
        hold(*node, port, verb == "hold");
        if (verb == "hold" && !node->serial[port].holder) {
            message = node->serial[port].bound ? "could not hold the tty" : "no tty: the serial driver is not bound";
            return false;
        }
    } else if (verb == "stall") {
        node->halted[port] = true;
        for (Urb *urb : node->inQueue[port]) { // requests in flight end with the stall
            urbOf(*urb).status = -EPIPE;
            finish(*urb->client, urb);
        }
        node->inQueue[port].clear();
    } else if (verb == "nak") {
        node->nakUntil[port] = now + int64_t(value) * 1000;
    } else if (verb == "fail") {
        part->failNext(uint8_t(value));
    } else {
        part->setSilent(port, verb == "silent");
    }
    settle(now);
    message = verb + " on part " + std::to_string(number);
    return true;
}

long UsbDevices::submit(Client &client, UMockdevIoctlData *arg, int &error)
{
    auto owned = std::make_unique<Urb>();
    owned->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!owned->urb)
        return fail(EFAULT, error);
    usbdevfs_urb &u = urbOf(*owned);
    Node &node = *client.node;
    const int port = portOfEndpoint(u.endpoint, m_parts[size_t(node.part)]->portCount());
    const bool control = u.type == USBDEVFS_URB_TYPE_CONTROL;
    if (u.buffer_length < 0 || (control && size_t(u.buffer_length) < SetupSize))
        return fail(EINVAL, error);
    if (!control && (u.type != USBDEVFS_URB_TYPE_BULK || port < 0))
        return fail(ENOENT, error); // no such endpoint
    owned->buffer = resolve(owned->urb.get(), offsetof(usbdevfs_urb, buffer), size_t(u.buffer_length));
    if (u.buffer_length > 0 && !owned->buffer)
        return fail(EFAULT, error);
    owned->client = &client;
    owned->submittedUs = g_get_monotonic_time();
    Urb *urb = owned.get();
    client.urbs.push_back(std::move(owned));

    u.status = 0;
    u.actual_length = 0;
    if (control) {
        u.status = this->control(node, urb->buffer->data, size_t(u.buffer_length), u.actual_length,
                                 g_get_monotonic_time());
        finish(client, urb);
    } else if (!(u.endpoint & DirectionIn)) {
        node.outQueue[port].push_back(urb); // taken by settle() as the part has room
    } else if (node.halted[port]) {
        u.status = -EPIPE; // the endpoint stalls until its halt is cleared
        finish(client, urb);
    } else {
        node.inQueue[port].push_back(urb); // filled by settle()
    }
    return 0;
}

bool UsbDevices::standardRequest(Node &node, const uint8_t *setup, std::vector<uint8_t> &answer)
{
    const EmulatedPart &part = *m_parts[size_t(node.part)];
    const uint8_t type = setup[0], request = setup[1];
    const uint16_t value = uint16_t(setup[2] | setup[3] << 8), index = uint16_t(setup[4] | setup[5] << 8);
    const uint8_t recipient = type & RecipientMask;
    const bool in = type & DirectionIn;
    // The recipient must exist: the device, one of its interfaces, endpoint 0 or a bulk endpoint.
    const int port = portOfEndpoint(uint8_t(index), part.portCount());
    if ((recipient == ToInterface && index >= part.portCount())
        || (recipient == ToEndpoint && (index & 0x7F) != 0 && port < 0) || recipient > ToEndpoint)
        return false;
    const bool bulkIn = recipient == ToEndpoint && port >= 0 && (index & DirectionIn);
    switch (request) {
    case GetStatus: // bus powered, no remote wake-up; an endpoint's halt bit
        answer = {uint8_t(bulkIn && node.halted[port] ? 1 : 0), 0};
        return in;
    case ClearFeature:
    case SetFeature:
        if (in || recipient == ToInterface || (recipient == ToEndpoint && value != EndpointHalt))
            return false;
        if (bulkIn)
            node.halted[port] = request == SetFeature;
        return true;
    case GetConfiguration:
        answer = {1};
        return in && recipient == ToDevice;
    case GetInterface:
        answer = {0};
        return in && recipient == ToInterface;
    case SetConfiguration:
        return !in && recipient == ToDevice && value <= 1;
    case SetInterface:
        return !in && recipient == ToInterface && value == 0;
    case GetDescriptor:
        break;
    default:
        return false;
    }
    if (!in || recipient != ToDevice)
        return false;
    const uint8_t number = uint8_t(value);
    const std::vector<uint8_t> all = descriptors(part);
    switch (value >> 8) {
    case DeviceType:
        answer.assign(all.begin(), all.begin() + all[0]);
        return true;
    case ConfigurationType:
        answer.assign(all.begin() + all[0], all.end());
        return number == 0;
    case QualifierType: // the part at its other speed; a full-speed-only part has none
        answer = {10, QualifierType, 0x00, 0x02, 0, 0, 0, ControlPacket, 1, 0};
        return part.chip().highSpeed;
    case StringType:
        switch (number) {
        case 0: answer = {4, StringType, low(EnglishUs), high(EnglishUs)}; return true;
        case 1: answer = stringDescriptor(Manufacturer); return true;
        case 2: answer = stringDescriptor(part.identity().product); return true;
        case 3: answer = stringDescriptor(part.identity().serial); return !part.identity().serial.empty();
        default: return false;
        }
    default:
        return false;
    }
}

int UsbDevices::control(Node &node, uint8_t *buffer, size_t size, int &actual, int64_t nowUs)
{
    const uint8_t type = buffer[0];
    const size_t length = std::min<size_t>(uint16_t(buffer[6] | buffer[7] << 8), size - SetupSize);
    std::vector<uint8_t> answer;
    bool known;
    if ((type & TypeMask) == VendorRequest) {
        uint8_t bytes[MaxVendorAnswer];
        size_t count = 0;
        known = m_parts[size_t(node.part)]->vendorRequest(buffer[1], uint16_t(buffer[2] | buffer[3] << 8),
                                                          uint16_t(buffer[4] | buffer[5] << 8), bytes, count, nowUs);
        answer.assign(bytes, bytes + count);
    } else {
        known = (type & TypeMask) == 0 && standardRequest(node, buffer, answer);
    }
    if (!known)
        return -EPIPE; // the host sees a stall
    if (type & DirectionIn) {
        const size_t count = std::min(answer.size(), length);
        std::copy_n(answer.begin(), count, buffer + SetupSize);
        actual = int(count);
    } else {
        actual = int(length);
    }
    return 0;
}

long UsbDevices::reap(Client &client, UMockdevIoctlData *arg, int &error)
{
    if (client.finished.empty())
        return fail(client.node && !client.node->unplugged ? EAGAIN : ENODEV, error);
    DataPtr slot = resolve(arg, 0, sizeof(void *));
    if (!slot)
        return fail(EFAULT, error);
    Urb *urb = client.finished.front();
    client.finished.pop_front();
    --client.node->finished;
    // Points the client's pointer at its own URB and writes the URB and its
    // buffer back when the ioctl completes (the slot keeps them referenced).
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb->urb.get());
    client.urbs.erase(std::find_if(client.urbs.begin(), client.urbs.end(),
                                   [urb](const std::unique_ptr<Urb> &u) { return u.get() == urb; }));
    return 0;
}

long UsbDevices::discard(Client &client, UMockdevIoctlData *arg, int &error)
{
    unsigned long address = 0; // the argument is the client's URB pointer itself
    std::memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
    for (int i = 0; i < 2 * MaxPorts; ++i) {
        auto &queue = i < MaxPorts ? client.node->inQueue[i] : client.node->outQueue[i - MaxPorts];
        const auto it = std::find_if(queue.begin(), queue.end(), [&](Urb *urb) {
            return urb->client == &client && urb->urb->client_addr == address;
        });
        if (it != queue.end()) {
            Urb *urb = *it;
            queue.erase(it);
            urbOf(*urb).status = -ENOENT; // cancelled; an OUT transfer keeps the count the part took
            finish(client, urb);
            return 0;
        }
    }
    return fail(EINVAL, error); // done already, or never submitted
}

long UsbDevices::claim(Client &client, UMockdevIoctlData *arg, bool take, int &error)
{
    DataPtr value = resolve(arg, 0, sizeof(unsigned int));
    if (!value)
        return fail(EFAULT, error);
    unsigned int interface = 0;
    std::memcpy(&interface, value->data, sizeof interface);
    if (interface >= unsigned(m_parts[size_t(client.node->part)]->portCount()))
        return fail(EINVAL, error);
    Node &node = *client.node;
    Client *&owner = node.claimedBy[interface];
    if (!take) {
        if (owner != &client)
            return fail(EINVAL, error);
        release(node, int(interface));
        return 0;
    }
    if (owner && owner != &client)
        sweep(g_get_monotonic_time()); // the owner may have closed its file since the last look
    if (owner && owner != &client)
        return fail(EBUSY, error); // the port is open elsewhere
    if (!owner)
        m_trace.line(g_get_monotonic_time(), "open \"" + m_parts[size_t(node.part)]->portName(int(interface)) + "\"");
    owner = &client;
    return 0;
}

void UsbDevices::release(Node &node, int port)
{
    node.claimedBy[port] = nullptr;
    m_trace.line(g_get_monotonic_time(), "close");
}

void UsbDevices::finish(Client &client, Urb *urb)
{
    client.finished.push_back(urb);
    ++client.node->finished;
}

void UsbDevices::drop(Client &client)
{
    if (Node *node = client.node.get()) {
        for (int port = 0; port < MaxPorts; ++port) {
            for (auto *queue : {&node->inQueue[port], &node->outQueue[port]}) {
                queue->erase(std::remove_if(queue->begin(), queue->end(),
                                            [&client](Urb *urb) { return urb->client == &client; }),
                             queue->end());
            }
            if (node->claimedBy[port] == &client)
                release(*node, port);
        }
        node->finished -= client.finished.size();
        wake(*node);
    }
}

// Offers the port's waiting OUT transfers to the part, oldest first, while
// its OUT endpoint is not refusing everything; a transfer is done once the
// part has taken all of it.
void UsbDevices::offer(Node &node, int port, int64_t nowUs)
{
    auto &queue = node.outQueue[port];
    EmulatedPart &part = *m_parts[size_t(node.part)];
    while (!queue.empty() && nowUs >= node.nakUntil[port]) {
        Urb *urb = queue.front();
        usbdevfs_urb &u = urbOf(*urb);
        const size_t left = size_t(u.buffer_length - u.actual_length);
        const size_t taken = part.write(port, urb->buffer ? urb->buffer->data + u.actual_length : nullptr, left, nowUs);
        u.actual_length += int(taken);
        if (taken < left)
            return;
        queue.pop_front();
        finish(*urb->client, urb);
    }
}

void UsbDevices::settle(int64_t nowUs)
{
    int64_t next = -1;
    const auto earliest = [&next](int64_t t) { next = next < 0 ? t : std::min(next, t); };
    for (const auto &node : m_live) {
        if (!node)
            continue;
        EmulatedPart &part = *m_parts[size_t(node->part)];
        for (int port = 0; port < part.portCount(); ++port) {
            UrbSink sink(node->inQueue[port], node->halted[port], m_trace.startUs,
                         [this](Urb *urb) { finish(*urb->client, urb); });
            // What the host sent runs as far as it can, which may make room for more of it.
            offer(*node, port, nowUs);
            part.advance(port, nowUs, sink);
            offer(*node, port, nowUs);
            if (const int64_t due = part.deadline(port, sink); due >= 0)
                earliest(due);
            if (!node->outQueue[port].empty() && node->nakUntil[port] > nowUs)
                earliest(node->nakUntil[port]);
        }
        wake(*node);
    }
    if (!m_clients.empty())
        earliest(m_lastSweepUs + SweepIntervalUs);
    if (m_timer)
        g_source_set_ready_time(m_timer, next);
}

void UsbDevices::wake(Node &node)
{
    const bool ready = node.finished > 0;
    if (ready == node.awake || node.fifo < 0)
        return;
    if (ready) {
        char page[PipePage];
        if (read(node.fifo, page, sizeof page) < 0)
            return; // nothing to drain: the FIFO has room already
    } else {
        fillFifo(node.fifo);
    }
    node.awake = ready;
}

} // namespace emu
