// Which ports of which bridges are attached now, with their descriptions and
// serial numbers, in a stable order: one listed device per port of a part.
#ifndef TAVREL_USB_USBLISTING_H
#define TAVREL_USB_USBLISTING_H

#include <cstdint>
#include <string>
#include <vector>

namespace usb {

// Where a part sits on the bus now; a re-plugged part gets a new address.
struct BusPlace {
    uint8_t bus = 0;
    uint8_t address = 0;
    bool operator<(const BusPlace &other) const
    {
        return bus != other.bus ? bus < other.bus : address < other.address;
    }
    bool operator==(const BusPlace &other) const { return bus == other.bus && address == other.address; }
};

// One listed device: one port of a part.
struct ListedPort {
    BusPlace place;
    int port = 0;          // 0 = A, 1 = B, ...
    bool named = false;    // false: the part's strings could not be read (no access)
    std::string description; // "<product> A" on a part with several ports, else "<product>"
    std::string serial;      // "<serial>A" likewise, else "<serial>"
    std::string location;    // USB topology path as sysfs names it ("1-2.3")
    std::string chip;        // "FT2232H", ... from the product id and release
    int ports = 1;           // how many ports the part has
};

// Lists only the part with this serial (the part's, or one of its ports' as
// listed) or at this location, when either is not empty; both empty: every part.
void choosePart(const std::string &serial, const std::string &location);

// Every port of every supported part attached now, in listing order: parts by
// bus and physical position, ports in order. Reads each part's strings once
// (through a libftdi context of its own, never used for a port) and keeps them
// while the part stays at its address; a part whose strings cannot be read is
// still listed (named false) and reported once on stderr with how to grant access.
std::vector<ListedPort> listPorts();
// The same without the choice of part: everything attached.
std::vector<ListedPort> listAllPorts();

// One line on stderr saying how to grant access to the part at `place`, the
// first time only (per part, not per listing).
void hintAccess(const BusPlace &place);

// How many ports a part with this USB product id has (1 for single-port parts).
int portCount(uint16_t productId);

} // namespace usb

#endif
