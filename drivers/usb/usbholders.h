// Who else has a port of a bridge: a program holding its tty open, or one
// that claimed its interface through libusb. Found the way the kernel shows
// it, through /sys and /proc, so a port is never taken from under them.
#ifndef TAVREL_USB_USBHOLDERS_H
#define TAVREL_USB_USBHOLDERS_H

#include "usblisting.h"

#include <string>

namespace usb {

// The part's USB topology path as sysfs names it ("1-2.3"), or "" if sysfs
// does not show it.
std::string sysfsLocation(const BusPlace &place);

// The processes that hold the port's tty (/dev/ttyUSBn of the serial driver
// bound to its interface) open, as "PID n (name) on /dev/ttyUSBm"; "" when
// the driver is not bound or nobody holds the tty. Files are compared by
// device and inode, which also holds where paths are redirected.
std::string ttyHolder(const std::string &location, int port);

// The other processes that have the part's USB device node open (one of them
// claimed the interface): "PID n (name)", or "another program" when none can
// be seen (a process of another user).
std::string nodeHolder(const BusPlace &place);

// What `tavrel --list` says of a listed port: "ok", "no access", or
// "in use by PID n (name)" (its tty open, or its interface claimed).
std::string portState(const ListedPort &listed);

// One stderr line per change of who holds the port: `holder` "" means the
// port was had, and the next refusal is said again.
void sayHolder(const BusPlace &place, int port, const std::string &line, const std::string &holder);

} // namespace usb

#endif
