/* Drives tavrel-bridge-emu's bridge through the real libftdi1 and libusb. Arguments: the products
 * expected (default one "Dual RS232-HS", EMU00001), or "unplug" to also unplug and re-plug part 1.
 * Port A's context lists the devices: an asynchronous read runs only the events of that context. */
#include <ftdi.h>
#include <libusb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define EXPECT(ok, what, value) \
    do { if (!(ok)) { fprintf(stderr, "ftdi_probe: %s failed (%d)\n", what, value); exit(1); } } while (0)

/* Each empty read lasts one latency period (16 ms): 100 of them bound the wait. */
static int readBytes(struct ftdi_context *c, unsigned char *buf, int want)
{
    int got = 0, r = 0;
    for (int i = 0; i < 100 && got < want && (r = ftdi_read_data(c, buf + got, want - got)) >= 0; ++i)
        got += r;
    return r < 0 ? r : got;
}

/* Waits (at most 2 s) until the listing shows `parts` parts. */
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

int main(int argc, char **argv)
{
    const int named = argc > 1 && strcmp(argv[1], "unplug") != 0, parts = named ? argc - 1 : 1;
    struct ftdi_context *a = ftdi_new(), *b = ftdi_new(), *again = ftdi_new();
    struct ftdi_device_list *devs = listing(a, parts);
    struct libusb_config_descriptor *config;
    int interfaces = 0, r = 0;
    unsigned char byte = 0;
    for (struct ftdi_device_list *d = devs; d; d = d->next, libusb_free_config_descriptor(config)) {
        char product[64], serial[64];
        EXPECT((r = ftdi_usb_get_strings2(a, d->dev, NULL, 0, product, 64, serial, 64)) == 0, "strings", r);
        EXPECT(libusb_get_active_config_descriptor(d->dev, &config) == 0 && (interfaces += config->bNumInterfaces),
               "configuration", 0);
        int known = !named && !strcmp(product, "Dual RS232-HS") && !strcmp(serial, "EMU00001");
        for (int i = 1; named && i < argc; ++i) known |= !strcmp(product, argv[i]);
        EXPECT(known, product, 0);
    }
    EXPECT(interfaces == 2 * parts, "two interfaces per part", interfaces);
    ftdi_set_interface(a, INTERFACE_A), ftdi_set_interface(b, INTERFACE_B);
    openPortA(a, devs);
    EXPECT((r = ftdi_usb_open_dev(again, devs->dev)) < 0, "second open of port A refused", r);
    EXPECT((r = ftdi_usb_open_dev(b, devs->dev)) == 0 && (r = ftdi_write_data(b, &byte, 1)) == 1, "port B", r);
    if (argc > 1 && !named && getenv("TAVREL_EMU_CONTROL")) {
        struct ftdi_transfer_control *pending = ftdi_read_data_submit(a, &byte, 1); /* in flight at the unplug */
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
