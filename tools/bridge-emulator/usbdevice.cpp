#include "usbdevice.h"

#include <glib/gstdio.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h> // the _IO macros usbdevice_fs.h uses
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

namespace {

constexpr int BusNumber = 1;
const char Manufacturer[] = "Tavrel Emulated";

// Descriptors of a dual high-speed part, device first, then its one configuration.
constexpr size_t DeviceDescriptorSize = 18;
const uint8_t Descriptors[] = {
    // device: USB 2.0, class per interface, 64-byte control endpoint, vendor 0x0403,
    // product 0x6010 (dual port), release 0x0700 (libftdi reads the chip type from it),
    // strings 1 2 3 (maker, product, serial), one configuration
    18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x03, 0x04, 0x10, 0x60, 0x00, 0x07, 1, 2, 3, 1,
    // configuration 1: 55 bytes in all, two interfaces, bus powered, 100 mA (in 2 mA units)
    9, 2, 55, 0, 2, 1, 0, 0x80, 50,
    // interface 0 (port A): two endpoints, vendor-specific, named by the product string
    9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
    7, 5, 0x81, 2, 0x00, 0x02, 0, // bulk IN 0x81, 512-byte packets
    7, 5, 0x02, 2, 0x00, 0x02, 0, // bulk OUT 0x02
    // interface 1 (port B)
    9, 4, 1, 0, 2, 0xFF, 0xFF, 0xFF, 2,
    7, 5, 0x83, 2, 0x00, 0x02, 0, // bulk IN 0x83
    7, 5, 0x04, 2, 0x00, 0x02, 0, // bulk OUT 0x04
};

// The one standard control request libusb sends through usbfs, and its descriptor types (USB 2.0, chapter 9).
constexpr uint8_t GetDescriptor = 0x06;
constexpr uint8_t DeviceType = 1, ConfigurationType = 2, StringType = 3;
constexpr uint8_t StandardIn = 0x80;  // bmRequestType: device-to-host, standard, device
constexpr uint8_t TypeMask = 0x60, VendorRequest = 0x40;
constexpr uint8_t DirectionIn = 0x80; // in bmRequestType and in endpoint addresses
constexpr size_t SetupSize = 8;       // the setup packet at the start of a control URB's buffer
constexpr uint16_t EnglishUs = 0x0409; // the one language of the strings
constexpr size_t MaxStringChars = 126; // a string descriptor is at most 255 bytes

// What usbfs of a current kernel reports; scatter-gather lets libusb send a
// transfer of any length as one URB.
constexpr uint32_t Capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION
    | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

constexpr int64_t SweepIntervalUs = 100000; // how often dead clients are looked for
// The wake-up FIFO is filled and drained in whole pipe pages: a non-blocking write
// of one page is all or nothing, and reading one page back frees a pipe slot.
constexpr size_t PipePage = 4096;
constexpr int MaxPipePages = 1024; // bound of the fill loop (a pipe holds 16 pages unless enlarged)

// Port of a bulk endpoint, or -1.
int portOfEndpoint(uint8_t endpoint)
{
    switch (endpoint) {
    case 0x81: case 0x02: return 0;
    case 0x83: case 0x04: return 1;
    default: return -1;
    }
}

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

bool standardRequest(const EmulatedPart &part, uint8_t type, uint8_t request, uint16_t value,
                     std::vector<uint8_t> &answer)
{
    if (type != StandardIn)
        return (type & DirectionIn) == 0; // set configuration, features: nothing to do
    if (request != GetDescriptor)
        return false;
    const uint8_t index = uint8_t(value);
    switch (value >> 8) {
    case DeviceType:
        answer.assign(Descriptors, Descriptors + DeviceDescriptorSize);
        return true;
    case ConfigurationType:
        answer.assign(Descriptors + DeviceDescriptorSize, std::end(Descriptors));
        return index == 0;
    case StringType:
        switch (index) {
        case 0: answer = {4, StringType, uint8_t(EnglishUs), uint8_t(EnglishUs >> 8)}; return true;
        case 1: answer = stringDescriptor(Manufacturer); return true;
        case 2: answer = stringDescriptor(part.product()); return true;
        case 3: answer = stringDescriptor(part.serial()); return true;
        default: return false;
        }
    default:
        return false;
    }
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

UsbDevices::UsbDevices(const std::vector<PartStrings> &parts, EventTrace &trace)
    : m_trace(trace)
{
    for (const PartStrings &strings : parts)
        m_parts.push_back(std::make_unique<EmulatedPart>(strings.product, strings.serial, trace));
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

std::string UsbDevices::record(const Node &node) const
{
    std::string hex;
    for (uint8_t byte : Descriptors) {
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
        + "A: bConfigurationValue=1\\n\nA: speed=480\\n\n"
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
    m_trace.line(now, "plug \"" + m_parts[size_t(node->part)]->product() + "\"");
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
    for (auto &queue : node->inQueue) {
        for (Urb *urb : queue) {
            urbOf(*urb).status = -ESHUTDOWN;
            finish(*urb->client, urb);
        }
        queue.clear();
    }
    wake(*node);
    m_trace.line(g_get_monotonic_time(), "unplug \"" + m_parts[size_t(node->part)]->product() + "\"");
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
    case USBDEVFS_DISCONNECT_CLAIM: // its argument starts with the interface number too
        return claim(client, arg, true, error);
    case USBDEVFS_RELEASEINTERFACE:
        return claim(client, arg, false, error);
    case USBDEVFS_GET_CAPABILITIES: {
        DataPtr caps = resolve(arg, 0, sizeof Capabilities);
        if (!caps)
            return fail(EFAULT, error);
        std::memcpy(caps->data, &Capabilities, sizeof Capabilities);
        return 0;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        return fail(ENODATA, error); // no kernel driver is bound to detach
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_CLEAR_HALT:
        return 0;
    default:
        return fail(ENOTTY, error);
    }
}

long UsbDevices::submit(Client &client, UMockdevIoctlData *arg, int &error)
{
    auto owned = std::make_unique<Urb>();
    owned->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!owned->urb)
        return fail(EFAULT, error);
    usbdevfs_urb &u = urbOf(*owned);
    const int port = portOfEndpoint(u.endpoint);
    const bool control = u.type == USBDEVFS_URB_TYPE_CONTROL;
    if (u.buffer_length < 0 || (control && size_t(u.buffer_length) < SetupSize))
        return fail(EINVAL, error);
    if (!control && (u.type != USBDEVFS_URB_TYPE_BULK || port < 0))
        return fail(ENOENT, error); // no such endpoint
    owned->buffer = resolve(owned->urb.get(), offsetof(usbdevfs_urb, buffer), size_t(u.buffer_length));
    if (u.buffer_length > 0 && !owned->buffer)
        return fail(EFAULT, error);
    owned->client = &client;
    Urb *urb = owned.get();
    client.urbs.push_back(std::move(owned));

    Node &node = *client.node;
    EmulatedPart &part = *m_parts[size_t(node.part)];
    const int64_t now = g_get_monotonic_time();
    uint8_t *bytes = urb->buffer ? urb->buffer->data : nullptr;
    u.status = 0;
    u.actual_length = 0;
    if (control) {
        u.status = this->control(part, bytes, size_t(u.buffer_length), u.actual_length, now);
        finish(client, urb);
    } else if (u.endpoint & DirectionIn) {
        node.inQueue[port].push_back(urb); // filled by settle()
    } else {
        part.write(port, bytes, size_t(u.buffer_length), now);
        u.actual_length = u.buffer_length;
        finish(client, urb);
    }
    return 0;
}

int UsbDevices::control(EmulatedPart &part, uint8_t *buffer, size_t size, int &actual, int64_t nowUs)
{
    const uint8_t type = buffer[0];
    const uint8_t request = buffer[1];
    const uint16_t value = uint16_t(buffer[2] | buffer[3] << 8);
    const uint16_t index = uint16_t(buffer[4] | buffer[5] << 8);
    const size_t length = std::min<size_t>(uint16_t(buffer[6] | buffer[7] << 8), size - SetupSize);
    std::vector<uint8_t> answer;
    bool known;
    if ((type & TypeMask) == VendorRequest) {
        uint8_t bytes[MaxVendorAnswer];
        size_t count = 0;
        known = part.vendorRequest(request, value, index, bytes, count, nowUs);
        answer.assign(bytes, bytes + count);
    } else {
        known = standardRequest(part, type, request, value, answer);
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
    for (auto &queue : client.node->inQueue) {
        const auto it = std::find_if(queue.begin(), queue.end(), [&](Urb *urb) {
            return urb->client == &client && urb->urb->client_addr == address;
        });
        if (it != queue.end()) {
            Urb *urb = *it;
            queue.erase(it);
            urbOf(*urb).status = -ENOENT; // cancelled
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
    if (interface >= unsigned(PortCount))
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
        m_trace.line(g_get_monotonic_time(),
                     "open \"" + m_parts[size_t(node.part)]->product() + (interface == 0 ? " A" : " B") + "\"");
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
        for (int port = 0; port < PortCount; ++port) {
            auto &queue = node->inQueue[port];
            queue.erase(std::remove_if(queue.begin(), queue.end(),
                                       [&client](Urb *urb) { return urb->client == &client; }),
                        queue.end());
            if (node->claimedBy[port] == &client)
                release(*node, port);
        }
        node->finished -= client.finished.size();
        wake(*node);
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
        for (int port = 0; port < PortCount; ++port) {
            auto &queue = node->inQueue[port];
            while (!queue.empty()) {
                Urb *urb = queue.front();
                usbdevfs_urb &u = urbOf(*urb);
                bool complete = false;
                const size_t room = size_t(u.buffer_length - u.actual_length);
                uint8_t *out = urb->buffer ? urb->buffer->data + u.actual_length : nullptr;
                u.actual_length += int(part.send(port, out, room, nowUs, complete));
                if (!complete)
                    break;
                queue.pop_front();
                finish(*urb->client, urb);
            }
            if (!queue.empty())
                earliest(part.deadline(port));
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
