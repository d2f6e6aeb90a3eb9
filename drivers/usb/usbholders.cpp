#include "usbholders.h"

#include <libusb.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>

namespace usb {

namespace {

const char UsbDevices[] = "/sys/bus/usb/devices";
// Processes looked at per search: a bound, far above any desktop's count.
constexpr int MaxProcesses = 100000;

std::string firstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Entries of a folder, "." and ".." left out; empty if it cannot be read.
template <typename Visit>
void forEachEntry(const std::string &folder, Visit visit)
{
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 && !visit(entry->d_name))
            break;
    }
    closedir(dir);
}

// The processes with the file `node` open: "PID n (name)" each, joined by ", ".
std::string holdersOf(const struct stat &node, bool skipSelf)
{
    std::string found;
    const std::string self = std::to_string(getpid());
    int looked = 0;
    forEachEntry("/proc", [&](const char *pid) {
        if (pid[0] < '0' || pid[0] > '9' || (skipSelf && self == pid))
            return true;
        const std::string fds = std::string("/proc/") + pid + "/fd";
        bool holds = false;
        forEachEntry(fds, [&](const char *fd) {
            struct stat info;
            holds = stat((fds + '/' + fd).c_str(), &info) == 0 && info.st_dev == node.st_dev
                && info.st_ino == node.st_ino;
            return !holds;
        });
        if (holds)
            found += (found.empty() ? "" : ", ") + std::string("PID ") + pid + " ("
                + firstLine(std::string("/proc/") + pid + "/comm") + ")";
        return ++looked < MaxProcesses;
    });
    return found;
}

struct Said {
    // Guards `last`: ports are opened from any thread.
    std::mutex mutex;
    std::map<std::pair<BusPlace, int>, std::string> last; // per port: the holder said last
};

Said &said()
{
    // Never destroyed: a call from a thread still running at exit stays safe.
    static Said *instance = new Said;
    return *instance;
}

} // namespace

std::string sysfsLocation(const BusPlace &place)
{
    std::string location;
    forEachEntry(UsbDevices, [&](const char *name) {
        // Interfaces ("1-2:1.0") and root hubs ("usb1") are not parts.
        if (std::strchr(name, ':') || !std::strchr(name, '-'))
            return true;
        const std::string folder = std::string(UsbDevices) + '/' + name;
        if (std::atoi(firstLine(folder + "/busnum").c_str()) == place.bus
            && std::atoi(firstLine(folder + "/devnum").c_str()) == place.address)
            location = name;
        return location.empty();
    });
    return location;
}

std::string ttyHolder(const std::string &location, int port)
{
    if (location.empty())
        return {};
    // The interface folder: "<location>:<configuration>.<interface>".
    const std::string suffix = "." + std::to_string(port);
    std::string tty;
    forEachEntry(UsbDevices, [&](const char *name) {
        const std::string entry = name;
        if (entry.compare(0, location.size() + 1, location + ':') != 0 || entry.size() < suffix.size()
            || entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0)
            return true;
        forEachEntry(std::string(UsbDevices) + '/' + entry, [&](const char *child) {
            if (std::strncmp(child, "ttyUSB", 6) == 0)
                tty = std::string("/dev/") + child;
            return tty.empty();
        });
        return tty.empty();
    });
    struct stat node;
    if (tty.empty() || stat(tty.c_str(), &node) != 0)
        return {};
    const std::string holders = holdersOf(node, false);
    return holders.empty() ? holders : holders + " on " + tty;
}

std::string nodeHolder(const BusPlace &place)
{
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", unsigned(place.bus), unsigned(place.address));
    struct stat node;
    const std::string holders = stat(path, &node) == 0 ? holdersOf(node, true) : std::string();
    return holders.empty() ? "another program" : holders;
}

std::string portState(const ListedPort &listed)
{
    if (!listed.named)
        return "no access";
    const std::string tty = ttyHolder(listed.location, listed.port);
    if (!tty.empty())
        return "in use by " + tty;
    // No tty: unbound, perhaps by a program that claimed the interface. A
    // claim and release at once tells, and takes nothing from anyone.
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return "ok";
    std::string state = "ok";
    libusb_device **devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_handle *handle = nullptr;
        if (libusb_get_bus_number(devices[i]) != listed.place.bus
            || libusb_get_device_address(devices[i]) != listed.place.address || libusb_open(devices[i], &handle) != 0)
            continue;
        if (libusb_kernel_driver_active(handle, listed.port) == 0) {
            const int claimed = libusb_claim_interface(handle, listed.port);
            if (claimed == 0)
                libusb_release_interface(handle, listed.port);
            else if (claimed == LIBUSB_ERROR_BUSY)
                state = "in use by " + nodeHolder(listed.place);
        }
        libusb_close(handle);
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);
    libusb_exit(context);
    return state;
}

void sayHolder(const BusPlace &place, int port, const std::string &line, const std::string &holder)
{
    Said &s = said();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::string &last = s.last[{place, port}];
    if (last != holder && !holder.empty())
        std::fprintf(stderr, "tavrel: %s\n", line.c_str());
    last = holder;
}

} // namespace usb
