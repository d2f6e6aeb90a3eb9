#ifndef TAVREL_COMMANDLINE_H
#define TAVREL_COMMANDLINE_H

#include <QString>

// What the command line asked of the program before Qt sees it.
struct CommandLine
{
    QString bridge;      // --bridge NAME, else TAVREL_BRIDGE, else the build's default
    QString trace;       // --trace FILE, else TAVREL_TRACE; empty: no host-side trace
    QString serial;      // --serial SERIAL, else TAVREL_SERIAL; empty: any part
    QString location;    // --location PATH, else TAVREL_LOCATION; empty: any part
    bool list = false;   // --list: show the ports and exit
    bool help = false;
    bool version = false;
    QString error;       // one line for the user; empty when the line was good
};

// Takes our own options out of argv and leaves Qt's standard ones for the
// application object. Like Qt's, each option may be written with one dash or
// two (--bridge or -bridge), and a value may follow as the next argument or
// after '='. Anything else is an error: an unknown option would otherwise be
// passed over silently and the program start on a bridge nobody asked for.
CommandLine parseCommandLine(int &argc, char **argv);

// "usb" where the build has the USB driver, "sim" otherwise.
QString defaultBridge();

#endif
