#include "hostbus.h"

namespace hostbus {

Command writeReg8(quint8 address, quint8 data)
{
    return Command{{WriteShort, address, data, 0}, 3};
}

Command writeReg16(quint8 addressHigh, quint8 addressLow, quint8 data)
{
    return Command{{WriteExtended, addressHigh, addressLow, data}, 4};
}

Command requestReg8(quint8 address)
{
    return Command{{ReadShort, address, SendImmediate, 0}, 3};
}

Command requestReg16(quint8 addressHigh, quint8 addressLow)
{
    return Command{{ReadExtended, addressHigh, addressLow, SendImmediate}, 4};
}

bool containsEcho(const quint8 *bytes, int count, quint8 command)
{
    // A prompt bridge answers with exactly the two echo bytes, so the marker
    // may well be the second-to-last byte read.
    for (int i = 0; i + 1 < count; ++i) {
        if (bytes[i] == BadCommandMarker && bytes[i + 1] == command)
            return true;
    }
    return false;
}

} // namespace hostbus
