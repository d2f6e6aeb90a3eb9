#include "usblisting.h"

#include "d2xx.h"
#include "usbholders.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <time.h>
#include <tuple>

namespace usb {

namespace {

// Product ids of parts with more than one port: dual (2232) and quad (4232).
constexpr uint16_t ProductDual = 0x6010;
constexpr uint16_t ProductQuad = 0x6011;
// Longest listed text: the caller's buffer holds 63 bytes and the NUL.
constexpr size_t TextLimit = FT_DESCRIPTION_BUFFER_SIZE - 1;
// A USB string descriptor carries at most 126 characters.
constexpr int StringBufferSize = 128;
// Deepest hub chain USB allows below a root port.
constexpr int MaxPortDepth = 7;

struct PartStrings {
    std::string product;
    std::string serial;
};

struct Listing {
    // Guards everything below: the listing context is not thread-safe, and
    // the string cache and the hint set are shared by every caller.
    std::mutex mutex;
    ftdi_context *ftdi = nullptr;          // for listing and strings only, never for a port
    std::map<BusPlace, PartStrings> named; // strings of parts still at their address
    std::map<BusPlace, std::string> located; // locations of parts still at their address
    std::string chosenSerial;              // choosePart(); empty: any
    std::string chosenLocation;
};

Listing &listing()
{
    // Never destroyed: a call from a thread still running at exit stays safe.
    static Listing *instance = new Listing;
    return *instance;
}

struct Hints {
    // Guards `given`: hints come from listings and from opens on any thread.
    std::mutex mutex;
    std::set<BusPlace> given; // parts already told about
};

Hints &hints()
{
    // Never destroyed, like the listing.
    static Hints *instance = new Hints;
    return *instance;
}

BusPlace placeOf(libusb_device *device)
{
    return {libusb_get_bus_number(device), libusb_get_device_address(device)};
}

// The part's product and serial strings, through the listing context (which
// opens the part and closes it again). False when they cannot be read; an
// open refused for lack of rights also gives the hint.
bool readStrings(ftdi_context *ftdi, libusb_device *device, const libusb_device_descriptor &descriptor,
                 PartStrings &strings)
{
    char product[StringBufferSize] = {};
    char serial[StringBufferSize] = {};
    // A string index of 0 means the part has no such string; asking for it fails.
    const int rc = ftdi_usb_get_strings2(ftdi, device, nullptr, 0,
                                         descriptor.iProduct ? product : nullptr, sizeof product,
                                         descriptor.iSerialNumber ? serial : nullptr, sizeof serial);
    if (rc == 0) {
        strings = {product, serial};
        return true;
    }
    // The strings failed at the open (-4); find out whether it was refused.
    libusb_device_handle *probe = nullptr;
    const int open = libusb_open(device, &probe);
    if (open == 0)
        libusb_close(probe);
    if (rc == -4 && open == LIBUSB_ERROR_ACCESS)
        hintAccess(placeOf(device));
    return false;
}

// The chip, from the product id and the release number (bcdDevice) libftdi
// also reads it from: release 7.00 is the high-speed dual part (2232H), an
// older one the full-speed 2232C/D; product 6014 is the single high-speed
// 232H, 6015 the X series; on product 6001, release 6.00 and later is the 232R.
std::string chipName(uint16_t productId, uint16_t release)
{
    switch (productId) {
    case ProductDual:
        return release == 0x0700 ? "FT2232H" : "FT2232D";
    case ProductQuad:
        return "FT4232H";
    case 0x6014:
        return "FT232H";
    case 0x6015:
        return "FT-X";
    default:
        return release >= 0x0600 ? "FT232R" : "FT232B";
    }
}

// Where the rule may be installed: the system's folders, then the admin's.
const char *const RuleFiles[] = {"/etc/udev/rules.d/60-tavrel.rules", "/lib/udev/rules.d/60-tavrel.rules",
                                 "/usr/lib/udev/rules.d/60-tavrel.rules"};
// A part plugged in less than this long ago gets no hint yet: udev may still
// be applying the rule to it.
constexpr time_t SettleSeconds = 2;

std::string accessHint(const BusPlace &place)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned(place.bus), unsigned(place.address));
    struct stat device;
    if (stat(node, &device) != 0)
        return {};
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec - device.st_ctime < SettleSeconds)
        return {};
    struct stat rule;
    const char *installed = nullptr;
    for (const char *file : RuleFiles) {
        if (!installed && stat(file, &rule) == 0)
            installed = file;
    }
    const std::string where = std::string("no access to the USB bridge at ") + node + ": ";
    if (!installed)
        return where + "install packaging/60-tavrel.rules into /etc/udev/rules.d, run 'sudo udevadm control "
                       "--reload-rules && sudo udevadm trigger', then re-plug the bridge";
    // The node's last change: when udev last applied the rules to it.
    if (rule.st_mtime > device.st_ctime)
        return where + "the part was plugged in before " + installed
            + " was installed: re-plug it or run 'sudo udevadm trigger'";
    return where + "the rule gives access to the user at the machine's seat only; in a remote session or "
                   "without a seat, join the plugdev group ('sudo usermod -aG plugdev $USER', then log in again)";
}

std::string cut(std::string text)
{
    if (text.size() > TextLimit)
        text.resize(TextLimit);
    return text;
}

std::vector<ListedPort> list(bool all);

} // namespace

int portCount(uint16_t productId)
{
    return productId == ProductDual ? 2 : productId == ProductQuad ? 4 : 1;
}

void hintAccess(const BusPlace &place)
{
    Hints &h = hints();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (h.given.count(place))
        return;
    // Not yet while the part settles: the next listing looks again.
    const std::string hint = accessHint(place);
    if (hint.empty())
        return;
    h.given.insert(place);
    std::fprintf(stderr, "tavrel: %s\n", hint.c_str());
}

void choosePart(const std::string &serial, const std::string &location)
{
    Listing &l = listing();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.chosenSerial = serial;
    l.chosenLocation = location;
}

std::vector<ListedPort> listAllPorts()
{
    return list(true);
}

std::vector<ListedPort> listPorts()
{
    return list(false);
}

namespace {

std::vector<ListedPort> list(bool all)
{
    Listing &l = listing();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (!l.ftdi && !(l.ftdi = ftdi_new()))
        return {};

    // Vendor and product 0: every supported part; reads no strings, so it
    // needs no access rights.
    ftdi_device_list *found = nullptr;
    if (ftdi_usb_find_all(l.ftdi, &found, 0, 0) < 0)
        return {};

    struct Part {
        std::tuple<uint8_t, std::vector<uint8_t>, uint8_t> order; // bus, hub ports, address
        libusb_device *device;
    };
    std::vector<Part> parts;
    for (ftdi_device_list *entry = found; entry; entry = entry->next) {
        uint8_t path[MaxPortDepth];
        const int depth = libusb_get_port_numbers(entry->dev, path, MaxPortDepth);
        const BusPlace place = placeOf(entry->dev);
        parts.push_back({{place.bus, std::vector<uint8_t>(path, path + std::max(depth, 0)), place.address},
                         entry->dev});
    }
    // By physical position, so a part re-plugged into the same socket keeps
    // its place in the listing though its address changes.
    std::sort(parts.begin(), parts.end(), [](const Part &a, const Part &b) { return a.order < b.order; });

    std::vector<ListedPort> ports;
    std::map<BusPlace, PartStrings> stillHere;
    std::map<BusPlace, std::string> stillThere;
    for (const Part &part : parts) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(part.device, &descriptor) != 0)
            continue;
        const BusPlace place = placeOf(part.device);
        PartStrings strings;
        auto known = l.named.find(place);
        bool named = known != l.named.end();
        if (named)
            strings = known->second;
        else
            named = readStrings(l.ftdi, part.device, descriptor, strings);
        if (named)
            stillHere[place] = strings;

        const int count = portCount(descriptor.idProduct);
        // Looked up in sysfs once while the part stays at its address.
        const auto knownPlace = l.located.find(place);
        std::string location = knownPlace != l.located.end() ? knownPlace->second : sysfsLocation(place);
        stillThere[place] = location;
        if (location.empty()) { // as sysfs would name it: bus, then the hub ports
            location = std::to_string(place.bus) + '-';
            for (size_t i = 0; i < std::get<1>(part.order).size(); ++i)
                location += (i ? "." : "") + std::to_string(std::get<1>(part.order)[i]);
        }
        bool chosen = all || (l.chosenSerial.empty() && l.chosenLocation.empty())
            || (!l.chosenLocation.empty() && l.chosenLocation == location);
        for (int port = 0; named && !chosen && !l.chosenSerial.empty() && port < count; ++port) {
            const bool lettered = count > 1 && !strings.serial.empty();
            chosen = l.chosenSerial == strings.serial
                || (lettered && l.chosenSerial == strings.serial + char('A' + port));
        }
        for (int port = 0; chosen && port < count; ++port) {
            ListedPort listed;
            listed.place = place;
            listed.port = port;
            listed.named = named;
            listed.location = location;
            listed.chip = chipName(descriptor.idProduct, descriptor.bcdDevice);
            listed.ports = count;
            if (named) {
                const char letter = char('A' + port);
                listed.description = cut(count > 1 ? strings.product + ' ' + letter : strings.product);
                // A part without a serial number (no EEPROM) lists none on any port.
                const bool lettered = count > 1 && !strings.serial.empty();
                listed.serial = cut(lettered ? strings.serial + letter : strings.serial);
            }
            ports.push_back(listed);
        }
    }
    ftdi_list_free(&found);
    l.named.swap(stillHere);
    l.located.swap(stillThere);
    return ports;
}

} // namespace

} // namespace usb
