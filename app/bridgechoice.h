#ifndef TAVREL_BRIDGECHOICE_H
#define TAVREL_BRIDGECHOICE_H

#include "d2xxcalls.h"

#include <QString>

// What the command line asked of the program before Qt sees it.
struct CommandLine
{
    QString bridge;      // --bridge NAME, else TAVREL_BRIDGE, else the build's default
    bool help = false;
    bool version = false;
    QString error;       // one line for the user; empty when the line was good
};

// Takes our own options (--bridge NAME, --bridge=NAME, --help, --version) out
// of argv, leaving Qt's standard ones for the application object.
CommandLine parseCommandLine(int &argc, char **argv);

// "usb" where the build has the USB driver, "sim" otherwise.
QString defaultBridge();

// The eight calls of the implementation `name` names: "usb", "sim", or the path
// of a shared library that exports them (loaded now, for the whole run). False,
// with one line for the user in `error`, when it cannot be had.
bool chooseBridge(const QString &name, D2xxCalls &calls, QString &error);

#endif
