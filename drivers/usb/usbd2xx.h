// Real bridges over USB, through libftdi1 and libusb-1.0: the eight D2XX calls
// as a table the program can install (link/d2xxcalls.h).
//
// The calls are reached only through this table: nothing here is exported
// under the FT_* names, so a program may link this driver beside another
// implementation that does export them (the simulated bridge). The shared
// library tavrel_d2xx_usb exports them for unchanged D2XX clients.
#ifndef TAVREL_USB_USBD2XX_H
#define TAVREL_USB_USBD2XX_H

#include "d2xxcalls.h"

#include <string>
#include <vector>

namespace usb {

// One listed port as `tavrel --list` shows it.
struct ListedEntry {
    std::string description; // empty when it cannot be read (no access)
    std::string serial;
    std::string location;    // USB topology path as sysfs names it ("1-2.3")
    std::string chip;
    std::string state;       // "ok", "no access", "in use by PID n (name)..."
};

// Every port attached now, whatever part is chosen; its state if asked for
// (which looks at ttys and claims), else "".
std::vector<ListedEntry> listEntries(bool withState);

// From now on the calls list only the part with this serial (the part's, or
// one of its ports' as listed) or at this location; both empty: every part.
void choosePart(const std::string &serial, const std::string &location);

// The calls, safe to use from several threads at once: one listing at a
// time, and on each open handle one call into libftdi at a time.
const D2xxCalls &calls();

} // namespace usb

#endif
