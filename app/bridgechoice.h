#ifndef TAVREL_BRIDGECHOICE_H
#define TAVREL_BRIDGECHOICE_H

#include "d2xxcalls.h"

#include <QString>
#include <QVector>

// The eight calls of the implementation `name` names: "usb", "sim", or a shared
// library that exports them (loaded now, for the whole run). A name with a path
// separator is that file; a bare file name with a shared-library suffix (.so,
// .so.N, .dll) is looked up where the dynamic linker looks. On success `inUse`
// says in one line what answers the calls (for a library, the file loaded);
// otherwise `error` says, quoting `name` as given, why it cannot be had.
bool chooseBridge(const QString &name, D2xxCalls &calls, QString &inUse, QString &error);

// Only the part with this serial or at this location is listed from now on
// (usb and sim; `name` as given to chooseBridge). False, with `error`, for a
// D2XX library, which has no such choice.
bool choosePart(const QString &name, const QString &serial, const QString &location, QString &error);

// One listed port as `tavrel --list` prints it.
struct PortLine
{
    QString description, serial, location, chip, state;
};

// Every port the implementation `name` lists now, whatever part is chosen.
// `withState` asks who holds each (usb: looks at ttys and claims; slower).
QVector<PortLine> listPortLines(const QString &name, const D2xxCalls &calls, bool withState);

// What start-up says about the parts found, in one line, or "" when nothing
// needs saying: with a choice that matches nothing, what it looked for and what
// it found; with no choice and several parts with a port A, which is taken
// (the first listed, as the link's rule takes it), the others, how to choose.
QString sayChoice(const QVector<PortLine> &all, const QString &serial, const QString &location);

#endif
