// Drives the link through listing, open, initialisation, synchronisation and
// register traffic while the driver answers whatever the fuzzer makes up.
#include "ftunitl.h"
#include "scripted_d2xx.h"

#include <QtGlobal>

static void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(dropMessages), true);
    (void)quiet;
    scripted::load(data, size);

    FtUnitl link;
    link.openDevice();
    if (link.isOpen()) {
        link.initDevice();
        link.writeReg8(2, 0);
        link.readReg8(1, 4);
        link.writeReg16(0x12, 0x34, 0x56);
        link.readReg8(0, 4);
        link.drain();
        link.receivedData();
        if (!link.isOpen())
            link.openDevice(); // a dead handle is released before the next open
    }
    return 0;
}
