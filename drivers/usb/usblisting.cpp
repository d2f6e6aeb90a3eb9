#include "usblisting.h"

#include "d2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
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

std::string cut(std::string text)
{
    if (text.size() > TextLimit)
        text.resize(TextLimit);
    return text;
}

} // namespace

int portCount(uint16_t productId)
{
    return productId == ProductDual ? 2 : productId == ProductQuad ? 4 : 1;
}

void hintAccess(const BusPlace &place)
{
    Hints &h = hints();
    std::lock_guard<std::mutex> lock(h.mutex);
    if (!h.given.insert(place).second)
        return;
    std::fprintf(stderr,
                 "tavrel: no access to the USB bridge at bus %03u device %03u: install packaging/60-tavrel.rules "
                 "into /etc/udev/rules.d or /lib/udev/rules.d, run 'udevadm control --reload-rules && udevadm "
                 "trigger', then re-plug the bridge\n",
                 unsigned(place.bus), unsigned(place.address));
}

std::vector<ListedPort> listPorts()
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
        for (int port = 0; port < count; ++port) {
            ListedPort listed;
            listed.place = place;
            listed.port = port;
            listed.named = named;
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
    return ports;
}

} // namespace usb
