/* The eight calls from plain C; exit status: the failed step. */
#include "d2xx.h"

#include <string.h>
#include <time.h>

/* At most about a second. */
static FT_STATUS waitQueued(FT_HANDLE handle, DWORD *count)
{
    FT_STATUS status = FT_OK;
    for (int poll = 0; poll < 1000 && (status = FT_GetQueueStatus(handle, count)) == FT_OK && *count == 0; ++poll)
        nanosleep(&(struct timespec){0, 1000000}, NULL);
    return status;
}

int main(void)
{
    char name[FT_DESCRIPTION_BUFFER_SIZE];
    UCHAR request[] = {0x92, 0x21, 0x5C, 0x90, 0x21, 0x87}, answer = 0; /* write 0x5C to 0x21, read it, send now */
    DWORD count = 0, done = 0;
    FT_HANDLE handle = NULL;
    return FT_ListDevices(&count, NULL, FT_LIST_NUMBER_ONLY) != FT_OK || count != 2 ? 1
         : FT_ListDevices(NULL, name, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION) || strcmp(name, "Sim Bridge A") ? 2
         : FT_OpenEx(name, FT_OPEN_BY_DESCRIPTION, &handle) != FT_OK || FT_SetLatencyTimer(handle, 16) != FT_OK ? 3
         : FT_SetBitMode(handle, 0, 0x08) != FT_OK ? 4 /* MCU host-bus emulation */
         : FT_Write(handle, request, sizeof request, &done) != FT_OK || done != sizeof request ? 5
         : waitQueued(handle, &count) != FT_OK || count != 1 ? 6
         : FT_Read(handle, &answer, 1, &done) != FT_OK || done != 1 || answer != 0x5C ? 7
         : FT_Close(handle) != FT_OK ? 8
         : 0;
}
