#ifndef TAVREL_BRIDGECHOICE_H
#define TAVREL_BRIDGECHOICE_H

#include "d2xxcalls.h"

#include <QString>

// The eight calls of the implementation `name` names: "usb", "sim", or a shared
// library that exports them (loaded now, for the whole run). A name with a path
// separator is that file; a bare file name with a shared-library suffix (.so,
// .so.N, .dll) is looked up where the dynamic linker looks. On success `inUse`
// says in one line what answers the calls (for a library, the file loaded);
// otherwise `error` says, quoting `name` as given, why it cannot be had.
bool chooseBridge(const QString &name, D2xxCalls &calls, QString &inUse, QString &error);

#endif
