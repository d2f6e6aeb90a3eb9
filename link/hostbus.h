#ifndef TAVREL_HOSTBUS_H
#define TAVREL_HOSTBUS_H

#include <QtGlobal>

// The bridge's MCU host-bus emulation commands as byte sequences, and the scan
// for its bad-command echo. Pure logic: nothing here touches a device, so the
// encodings can be checked against tables on their own.
namespace hostbus {

// Read cycle at an 8-bit address; operand: address. The bridge answers one data byte.
constexpr quint8 ReadShort = 0x90;
// Read cycle at a 16-bit address; operands: address high, address low. Answers one data byte.
constexpr quint8 ReadExtended = 0x91;
// Write cycle at an 8-bit address; operands: address, data. No answer.
constexpr quint8 WriteShort = 0x92;
// Write cycle at a 16-bit address; operands: address high, address low, data. No answer.
constexpr quint8 WriteExtended = 0x93;
// Send immediate: hand what the bridge holds for the host to USB now instead of
// when its latency timer runs out. Follows every read so the answer is prompt.
constexpr quint8 SendImmediate = 0x87;

// Marker that opens the bridge's answer to a byte it does not know as a command:
// 0xFA followed by the offending byte.
constexpr quint8 BadCommandMarker = 0xFA;
// Invalid opcodes sent on purpose: their echoes show that the command processor
// takes our next byte as an opcode, i.e. that it is in step with us.
// First synchronisation byte, resent until the bridge answers.
constexpr quint8 SyncFirst = 0xAA;
// Second synchronisation byte, sent once.
constexpr quint8 SyncSecond = 0xAB;

// The longest command we send: 0x93 with its three operands, or 0x91 with its
// two and the trailing send-immediate.
constexpr int MaxCommandLength = 4;

// One command ready to stage; always sent whole in a single write.
struct Command
{
    quint8 bytes[MaxCommandLength];
    int length;
};

Command writeReg8(quint8 address, quint8 data);
Command writeReg16(quint8 addressHigh, quint8 addressLow, quint8 data);
Command requestReg8(quint8 address);
Command requestReg16(quint8 addressHigh, quint8 addressLow);

// True when `bytes` holds the echo of `command`: the marker immediately
// followed by the command byte, anywhere, including as the last two bytes.
bool containsEcho(const quint8 *bytes, int count, quint8 command);

} // namespace hostbus

#endif
