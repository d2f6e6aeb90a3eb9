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

namespace usb {

// The calls, safe to use from several threads at once: one listing at a
// time, and on each open handle one call into libftdi at a time.
const D2xxCalls &calls();

} // namespace usb

#endif
