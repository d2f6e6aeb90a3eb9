/* The emulated bridge through libftdi1 and libusb. Arguments: the products expected (default one
 * "Dual RS232-HS" without a serial), "unplug" (part 1 unplugged, re-plugged) or "strict". */
#include <ftdi.h>
#include <libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <dirent.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define EXPECT(ok, what, value) \
    do { if (!(ok)) { fprintf(stderr, "ftdi_probe: %s failed (%d)\n", what, value); exit(1); } } while (0)

/* 100 empty reads of a latency period (16 ms) each. */
static int readBytes(struct ftdi_context *c, unsigned char *buf, int want)
{
    int got = 0, r = 0;
    for (int i = 0; i < 100 && got < want && (r = ftdi_read_data(c, buf + got, want - got)) >= 0; ++i)
        got += r;
    return r < 0 ? r : got;
}

static struct ftdi_device_list *listing(struct ftdi_context *c, int parts)
{
    struct ftdi_device_list *devs = NULL; int r = -1;
    for (int i = 0; i < 200 && (r = ftdi_usb_find_all(c, &devs, 0, 0)) != parts; ++i, usleep(10000))
        ftdi_list_free(&devs);
    EXPECT(r == parts, "listing", r);
    return devs;
}

static void openPortA(struct ftdi_context *a, struct ftdi_device_list *devs)
{
    unsigned char bad = 0xAA, busWrite[] = {0x92, 0x05, 0x5A}, busRead[] = {0x90, 0x05, 0x87}, in[2];
    int r;
    EXPECT((r = ftdi_usb_open_dev(a, devs->dev)) == 0 && (r = ftdi_set_latency_timer(a, 16)) == 0, "open port A", r);
    EXPECT((r = ftdi_set_bitmode(a, 0, 0)) == 0 && (r = ftdi_set_bitmode(a, 0, BITMODE_MCU)) == 0, "bit mode", r);
    EXPECT(ftdi_write_data(a, &bad, 1) == 1 && (r = readBytes(a, in, 2)) == 2 && in[0] == 0xFA && in[1] == 0xAA,
           "echo", r);
    EXPECT(ftdi_write_data(a, busWrite, 3) == 3 && ftdi_write_data(a, busRead, 3) == 3, "bus commands", 0);
    EXPECT((r = readBytes(a, in, 1)) == 1 && in[0] == 0x5A, "bus read-back", r);
}

/* A control line, then a barrier: a stall of port B's IN endpoint, seen and cleared. */
static void control(struct ftdi_context *c, const char *line)
{
    unsigned char status[2] = {0, 0};
    FILE *f = fopen(getenv("TAVREL_EMU_CONTROL"), "w");
    EXPECT(f && fprintf(f, "%s\nstall 1 B\n", line) > 0 && !fclose(f), line, 0);
    for (int i = 0; i < 500 && !status[0]; ++i, usleep(10000)) /* GET_STATUS of endpoint 0x83 */
        libusb_control_transfer(c->usb_dev, 0x82, 0, 0, 0x83, status, 2, 1000);
    EXPECT(status[0] == 1 && libusb_clear_halt(c->usb_dev, 0x83) == 0, line, status[0]);
}

/* Whether some process has this file open. */
static int held(const char *path)
{
    struct stat want, have;
    char fd[300];
    int found = 0;
    DIR *procs = opendir("/proc"), *fds;
    for (struct dirent *p, *e; stat(path, &want) == 0 && procs && (p = readdir(procs));) {
        snprintf(fd, sizeof fd, "/proc/%.20s/fd", p->d_name);
        for (fds = opendir(fd); fds && (e = readdir(fds));) {
            snprintf(fd, sizeof fd, "/proc/%.20s/fd/%.20s", p->d_name, e->d_name);
            found |= stat(fd, &have) == 0 && have.st_dev == want.st_dev && have.st_ino == want.st_ino;
        }
        if (fds)
            closedir(fds);
    }
    if (procs)
        closedir(procs);
    return found;
}

static void writeRead(struct ftdi_context *a, const char *what, unsigned char *out, int n, int want)
{
    unsigned char in[4];
    int r = 0;
    EXPECT(ftdi_write_data(a, out, n) == n && (r = readBytes(a, in, want)) == want, what, r);
    EXPECT(want < 2 || (in[0] == 0xFA && in[1] == 0xAA), what, in[0]);
}

static void strict(struct ftdi_context *a)
{
    libusb_device_handle *h = a->usb_dev;
    unsigned char s[1300], echo[] = {0xAA, 0x87}, stall[] = {0x89, 0x90, 0x05, 0x87}, held5[] = {0x90, 0x05};
    int r = 0, n = 0;
    struct timespec t0, t1;
    EXPECT(libusb_control_transfer(h, 0x80, 0, 0, 0, s, 2, 1000) == 2 && !s[0] && !s[1], "device status", 0);
    EXPECT(libusb_control_transfer(h, 0x81, 0, 0, 1, s, 2, 1000) == 2, "interface status", 0);
    EXPECT(libusb_control_transfer(h, 0x81, 0, 0, 7, s, 2, 1000) == LIBUSB_ERROR_PIPE, "no interface 7", 0);
    EXPECT(libusb_control_transfer(h, 0x80, 8, 0, 0, s, 1, 1000) == 1 && s[0] == 1, "configuration", 0);
    EXPECT(libusb_control_transfer(h, 0x81, 10, 0, 0, s, 1, 1000) == 1 && s[0] == 0, "alternate setting", 0);
    EXPECT(libusb_get_descriptor(h, 6, 0, s, 10) == 10 && s[1] == 6, "device qualifier", 0);
    /* Value 2: what waits for the host; value 1: what the host sent (held behind a stalled 0x89). */
    EXPECT(ftdi_write_data(a, held5, 2) == 2 && !ftdi_tciflush(a), "purge for the host", 0);
    writeRead(a, "answer purged", echo + 1, 1, 0);
    EXPECT(ftdi_read_data(a, s, 1) == 0 && ftdi_write_data(a, stall, 4) == 4 && !ftdi_tcoflush(a), "purge", 0);
    EXPECT(!ftdi_set_bitmode(a, 0, 0) && !ftdi_set_bitmode(a, 0, BITMODE_MCU), "mode after purge", 0);
    writeRead(a, "commands purged", echo, 2, 2);
    for (int i = 0; i < 600; ++i)
        s[2 * i] = 0x90, s[2 * i + 1] = 0x05;
    s[1200] = 0x87;
    EXPECT(ftdi_write_data(a, s, 1201) == 1201, "600 reads", 0);
    EXPECT((r = libusb_bulk_transfer(h, 0x81, s, 64, &n, 1000)) == LIBUSB_ERROR_OVERFLOW, "overflow", r);
    EXPECT((r = readBytes(a, s, 600)) == 600 && s[0] == 0x5A && s[599] == 0x5A, "600 answers kept", r);
    EXPECT(libusb_kernel_driver_active(h, 0) == 0 && libusb_kernel_driver_active(h, 1) == 1, "ftdi_sio", 0);
    EXPECT(access("/dev/ttyUSB0", F_OK) != 0 && !held("/dev/ttyUSB1"), "ttys", 0);
    control(a, "hold 1 B");
    EXPECT(held("/dev/ttyUSB1"), "tty held", 0);
    control(a, "free 1 b");
    EXPECT(!held("/dev/ttyUSB1"), "tty freed", 0);
    control(a, "stall 1 A");
    EXPECT(ftdi_read_data(a, s, 1) < 0 && !libusb_clear_halt(h, 0x81), "stall", 0);
    writeRead(a, "after the stall", echo, 2, 2);
    control(a, "fail 1 9");
    EXPECT(ftdi_set_latency_timer(a, 16) < 0 && !ftdi_set_latency_timer(a, 16), "failed vendor request", 0);
    control(a, "silent 1 A");
    writeRead(a, "silent", echo, 2, 0);
    control(a, "speak 1 A");
    writeRead(a, "speaks", echo, 2, 2);
    clock_gettime(CLOCK_MONOTONIC, &t0);
    control(a, "nak 1 A 300");
    writeRead(a, "after NAKs", echo, 2, 2);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT(t1.tv_sec - t0.tv_sec + (t1.tv_nsec - t0.tv_nsec) / 1e9 >= 0.3, "NAKed for 300 ms", 0);
}

int main(int argc, char **argv)
{
    const int named = argc > 1 && strcmp(argv[1], "unplug") && strcmp(argv[1], "strict"), parts = named ? argc - 1 : 1;
    struct ftdi_context *a = ftdi_new(), *b = ftdi_new(), *again = ftdi_new();
    struct ftdi_device_list *devs = listing(a, parts);
    struct libusb_config_descriptor *config;
    int interfaces = 0, r = 0;
    unsigned char byte = 0;
    for (struct ftdi_device_list *d = devs; d; d = d->next, libusb_free_config_descriptor(config)) {
        char product[64], serial[64] = "";
        struct libusb_device_descriptor desc;
        EXPECT(libusb_get_device_descriptor(d->dev, &desc) == 0, "device descriptor", 0);
        r = ftdi_usb_get_strings2(a, d->dev, NULL, 0, product, 64, desc.iSerialNumber ? serial : NULL, 64);
        EXPECT(r == 0, "strings", r);
        EXPECT(libusb_get_active_config_descriptor(d->dev, &config) == 0 && (interfaces += config->bNumInterfaces),
               "configuration", 0);
        int known = !named && !strcmp(product, "Dual RS232-HS") && !desc.iSerialNumber;
        for (int i = 1; named && i < argc; ++i) known |= !strcmp(product, argv[i]);
        EXPECT(known, product, 0);
    }
    EXPECT(interfaces == 2 * parts, "two interfaces per part", interfaces);
    ftdi_set_interface(a, INTERFACE_A), ftdi_set_interface(b, INTERFACE_B);
    openPortA(a, devs);
    if (argc > 1 && !strcmp(argv[1], "strict"))
        strict(a);
    EXPECT((r = ftdi_usb_open_dev(again, devs->dev)) < 0, "second open of port A refused", r);
    EXPECT((r = ftdi_usb_open_dev(b, devs->dev)) == 0 && (r = ftdi_write_data(b, &byte, 1)) == 1, "port B", r);
    if (argc > 1 && !strcmp(argv[1], "unplug") && getenv("TAVREL_EMU_CONTROL")) {
        /* a long latency period keeps the read in flight */
        struct ftdi_transfer_control *pending = NULL;
        if (ftdi_set_latency_timer(a, 255) == 0)
            pending = ftdi_read_data_submit(a, &byte, 1);
        FILE *f = fopen(getenv("TAVREL_EMU_CONTROL"), "w");
        EXPECT(f && fputs("unplug 1\n", f) >= 0 && !fclose(f), "unplug", 0);
        EXPECT(pending && (r = ftdi_transfer_data_done(pending)) == -1 && ftdi_write_data(a, &byte, 1) < 0,
               "I/O after unplug", r);
        ftdi_list_free(&devs), listing(a, 0), ftdi_usb_close(a);
        EXPECT((f = fopen(getenv("TAVREL_EMU_CONTROL"), "w")) && fputs("plug 1\n", f) >= 0 && !fclose(f), "plug", 0);
        openPortA(a, devs = listing(a, 1));
    }
    ftdi_list_free(&devs), ftdi_free(b), ftdi_free(again), ftdi_free(a); /* a last: its libusb context */
    return puts("ftdi_probe: ok") < 0;
}
