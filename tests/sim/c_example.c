/* The simulated bridge from plain C, through our D2XX declarations only:
 * find port A, open it, switch to MCU host-bus emulation, synchronise with
 * the bad-command echo, then write a register and read it back.
 * Exits non-zero at the first thing that differs. */
#include "d2xx.h"

#include <stdio.h>
#include <string.h>

static int fail(const char *what, FT_STATUS status)
{
    fprintf(stderr, "c_example: %s (status %u)\n", what, (unsigned)status);
    return 1;
}

int main(void)
{
    const char wanted[] = "Sim Bridge A";
    char description[FT_DESCRIPTION_BUFFER_SIZE];
    DWORD count = 0, done = 0, i;
    FT_HANDLE handle = NULL;
    FT_STATUS status;
    int found = 0;
    UCHAR echoProbe[] = {0xAA};                 /* not a command: answered 0xFA 0xAA */
    UCHAR writeReg[] = {0x92, 0x21, 0x5C};      /* write 0x5C to address 0x21 */
    UCHAR readReg[] = {0x90, 0x21, 0x87};       /* read address 0x21, send immediate */
    UCHAR answer[2] = {0, 0};

    if ((status = FT_ListDevices(&count, NULL, FT_LIST_NUMBER_ONLY)) != FT_OK)
        return fail("count", status);
    for (i = 0; i < count && !found; ++i) {
        status = FT_ListDevices((void *)(uintptr_t)i, description, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION);
        found = status == FT_OK && strcmp(description, wanted) == 0;
    }
    if (!found)
        return fail("Sim Bridge A not listed", status);

    if ((status = FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle)) != FT_OK)
        return fail("open", status);
    if ((status = FT_SetLatencyTimer(handle, 16)) != FT_OK)
        return fail("latency", status);
    if ((status = FT_SetBitMode(handle, 0, 0)) != FT_OK) /* reset */
        return fail("bit mode 0", status);
    if ((status = FT_SetBitMode(handle, 0, 8)) != FT_OK) /* MCU host-bus emulation */
        return fail("bit mode 8", status);

    /* Without 0x87 the echo comes when the latency timer runs out; the read waits for it. */
    if ((status = FT_Write(handle, echoProbe, sizeof echoProbe, &done)) != FT_OK || done != sizeof echoProbe)
        return fail("write 0xAA", status);
    if ((status = FT_Read(handle, answer, 2, &done)) != FT_OK || done != 2 || answer[0] != 0xFA || answer[1] != 0xAA)
        return fail("echo 0xFA 0xAA", status);

    if ((status = FT_Write(handle, writeReg, sizeof writeReg, &done)) != FT_OK || done != sizeof writeReg)
        return fail("write register", status);
    if ((status = FT_Write(handle, readReg, sizeof readReg, &done)) != FT_OK || done != sizeof readReg)
        return fail("read request", status);
    if ((status = FT_Read(handle, answer, 1, &done)) != FT_OK || done != 1 || answer[0] != 0x5C)
        return fail("register read back", status);

    if ((status = FT_Close(handle)) != FT_OK)
        return fail("close", status);
    printf("c_example: ok\n");
    return 0;
}
