/*
 * bare_reader: the smallest libusb program that drives the arcade stick the way Joyrelay does.
 *
 * It finds the first device with vendor 0x2DC8 and device class 0xFF (hotplug with ENUMERATE when
 * libusb supports it, one enumeration otherwise), opens it, lets libusb detach a kernel driver,
 * claims interface 0, reads the product string, writes the power-on packet 05 20 00 01 00 to the
 * first interrupt OUT endpoint and then keeps exactly one interrupt IN transfer outstanding.
 * Every completed IN transfer becomes one stdout line:
 *     <milliseconds since start, 3 decimals> <hex byte> <hex byte> ...
 * and the transfer is resubmitted at once. Progress and errors go to stderr, one line each.
 *
 * It is the baseline for the USB latency benchmark and the program under test of the fakestick
 * harness's own tests, so it stays plain C with no dependency but libusb.
 *
 * Usage: bare_reader [--no-detach] [WAIT_MS]
 *        WAIT_MS: how long to wait for the stick (default: forever)
 *        --no-detach: claim without libusb's kernel-driver auto-detach (plain USBDEVFS_CLAIMINTERFACE)
 * Exit:  0 the stick went away (LIBUSB_TRANSFER_NO_DEVICE) or SIGTERM/SIGINT
 *        1 libusb init failed or no stick within WAIT_MS   2 open failed   3 claim failed
 *        4 the power-on packet or an IN transfer failed
 */
#include <libusb.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define STICK_VENDOR 0x2DC8
#define STICK_CLASS 0xFF

static volatile sig_atomic_t g_stop = 0;
static struct timespec g_start;
static libusb_device *g_found = NULL; /* set by the hotplug callback, referenced */

enum reader_state { RUNNING, GONE, FAILED, CANCELLED };
static enum reader_state g_state = RUNNING;

static void on_signal(int sig)
{
    (void)sig;
    g_stop = 1;
}

static double ms_since_start(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - g_start.tv_sec) * 1e3 + (double)(now.tv_nsec - g_start.tv_nsec) / 1e6;
}

static int is_stick(libusb_device *dev)
{
    struct libusb_device_descriptor d;
    return libusb_get_device_descriptor(dev, &d) == 0 && d.idVendor == STICK_VENDOR &&
           d.bDeviceClass == STICK_CLASS;
}

static int LIBUSB_CALL on_hotplug(libusb_context *ctx, libusb_device *dev, libusb_hotplug_event event,
                                  void *user)
{
    (void)ctx;
    (void)user;
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED && !g_found && is_stick(dev))
        g_found = libusb_ref_device(dev);
    else if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)
        fprintf(stderr, "hotplug: device left bus %u dev %u\n", libusb_get_bus_number(dev),
                libusb_get_device_address(dev));
    return 0;
}

/* Waits for a stick: hotplug (arrivals and, with ENUMERATE, what is already there) or one scan. */
static libusb_device *find_stick(libusb_context *ctx, long wait_ms)
{
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        libusb_hotplug_callback_handle cb;
        int rc = libusb_hotplug_register_callback(
            ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_ENUMERATE,
            STICK_VENDOR, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, NULL, &cb);
        if (rc != LIBUSB_SUCCESS) {
            fprintf(stderr, "hotplug registration failed: %s\n", libusb_error_name(rc));
            return NULL;
        }
        fprintf(stderr, "waiting for stick\n");
        while (!g_found && !g_stop && (wait_ms < 0 || ms_since_start() < (double)wait_ms)) {
            struct timeval tv = {0, 100000};
            libusb_handle_events_timeout_completed(ctx, &tv, NULL);
        }
        /* The callback stays registered so that a departure is reported on stderr. */
        return g_found;
    }
    libusb_device **list;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n && !g_found; ++i)
        if (is_stick(list[i]))
            g_found = libusb_ref_device(list[i]);
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return g_found;
}

/* First interrupt endpoints of interface 0, alternate setting 0. */
static int find_endpoints(libusb_device *dev, unsigned char *in_ep, int *in_size, unsigned char *out_ep)
{
    struct libusb_config_descriptor *cfg;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0)
        return -1;
    *in_ep = *out_ep = 0;
    if (cfg->bNumInterfaces > 0 && cfg->interface[0].num_altsetting > 0) {
        const struct libusb_interface_descriptor *alt = &cfg->interface[0].altsetting[0];
        for (int i = 0; i < alt->bNumEndpoints; ++i) {
            const struct libusb_endpoint_descriptor *ep = &alt->endpoint[i];
            if ((ep->bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_INTERRUPT)
                continue;
            if ((ep->bEndpointAddress & LIBUSB_ENDPOINT_IN) && !*in_ep) {
                *in_ep = ep->bEndpointAddress;
                *in_size = ep->wMaxPacketSize;
            } else if (!(ep->bEndpointAddress & LIBUSB_ENDPOINT_IN) && !*out_ep) {
                *out_ep = ep->bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(cfg);
    return (*in_ep && *out_ep) ? 0 : -1;
}

static void LIBUSB_CALL on_in(struct libusb_transfer *t)
{
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED: {
        printf("%.3f", ms_since_start());
        for (int i = 0; i < t->actual_length; ++i)
            printf(" %02x", t->buffer[i]);
        printf("\n");
        int rc = libusb_submit_transfer(t);
        if (rc == LIBUSB_ERROR_NO_DEVICE) {
            fprintf(stderr, "resubmit: no device\n");
            g_state = GONE;
        } else if (rc != 0) {
            fprintf(stderr, "resubmit failed: %s\n", libusb_error_name(rc));
            g_state = FAILED;
        }
        return;
    }
    case LIBUSB_TRANSFER_NO_DEVICE:
        fprintf(stderr, "in transfer: no device\n");
        g_state = GONE;
        return;
    case LIBUSB_TRANSFER_CANCELLED:
        g_state = CANCELLED;
        return;
    default:
        fprintf(stderr, "in transfer failed: status %d\n", (int)t->status);
        g_state = FAILED;
        return;
    }
}

int main(int argc, char **argv)
{
    long wait_ms = -1;
    int auto_detach = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no-detach") == 0)
            auto_detach = 0;
        else
            wait_ms = strtol(argv[i], NULL, 10);
    }
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    setvbuf(stdout, NULL, _IOLBF, 0);
    setvbuf(stderr, NULL, _IOLBF, 0);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    libusb_context *ctx = NULL;
    int rc = libusb_init(&ctx);
    if (rc != 0) {
        fprintf(stderr, "libusb_init failed: %s\n", libusb_error_name(rc));
        return 1;
    }
    int exit_code = 0;
    libusb_device_handle *h = NULL;
    struct libusb_transfer *in = NULL;
    int claimed = 0;

    libusb_device *dev = find_stick(ctx, wait_ms);
    if (!dev) {
        fprintf(stderr, "no stick found\n");
        exit_code = g_stop ? 0 : 1;
        goto out;
    }
    struct libusb_device_descriptor desc;
    libusb_get_device_descriptor(dev, &desc);
    fprintf(stderr, "found %04x:%04x bus %u dev %u\n", desc.idVendor, desc.idProduct,
            libusb_get_bus_number(dev), libusb_get_device_address(dev));

    rc = libusb_open(dev, &h);
    if (rc != 0) {
        fprintf(stderr, "open failed: %s\n", libusb_error_name(rc));
        exit_code = 2;
        goto out;
    }
    libusb_set_auto_detach_kernel_driver(h, auto_detach);
    rc = libusb_claim_interface(h, 0);
    if (rc != 0) {
        fprintf(stderr, "claim failed: %s\n", libusb_error_name(rc));
        exit_code = 3;
        goto out;
    }
    claimed = 1;
    fprintf(stderr, "claimed interface 0\n");

    unsigned char name[128];
    rc = desc.iProduct ? libusb_get_string_descriptor_ascii(h, desc.iProduct, name, sizeof name)
                       : LIBUSB_ERROR_NOT_FOUND;
    if (rc >= 0)
        fprintf(stderr, "product: %s\n", (const char *)name);
    else
        fprintf(stderr, "product: none (%s)\n", libusb_error_name(rc));

    unsigned char in_ep, out_ep;
    int in_size = 0;
    if (find_endpoints(dev, &in_ep, &in_size, &out_ep) != 0) {
        fprintf(stderr, "no interrupt endpoints on interface 0\n");
        exit_code = 4;
        goto out;
    }

    unsigned char power_on[] = {0x05, 0x20, 0x00, 0x01, 0x00};
    int sent = 0;
    rc = libusb_interrupt_transfer(h, out_ep, power_on, sizeof power_on, &sent, 1000);
    if (rc != 0 || sent != (int)sizeof power_on) {
        fprintf(stderr, "power-on write failed: %s (%d bytes)\n", libusb_error_name(rc), sent);
        exit_code = rc == LIBUSB_ERROR_NO_DEVICE ? 0 : 4;
        goto out;
    }
    fprintf(stderr, "power-on sent\n");

    static unsigned char buf[1024];
    in = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(in, h, in_ep, buf, in_size > (int)sizeof buf ? (int)sizeof buf : in_size,
                                   on_in, NULL, 0);
    rc = libusb_submit_transfer(in);
    if (rc != 0) {
        fprintf(stderr, "submit failed: %s\n", libusb_error_name(rc));
        exit_code = rc == LIBUSB_ERROR_NO_DEVICE ? 0 : 4;
        libusb_free_transfer(in);
        in = NULL;
        goto out;
    }
    fprintf(stderr, "reading\n");

    int cancel_sent = 0;
    while (g_state == RUNNING) {
        if (g_stop && !cancel_sent) {
            libusb_cancel_transfer(in);
            cancel_sent = 1;
        }
        struct timeval tv = {0, 100000};
        libusb_handle_events_timeout_completed(ctx, &tv, NULL);
    }
    exit_code = g_state == FAILED ? 4 : 0;
    fprintf(stderr, "stopping: %s\n", g_state == GONE ? "device gone" : g_state == CANCELLED ? "signal" : "error");

out:
    if (in)
        libusb_free_transfer(in);
    if (claimed)
        libusb_release_interface(h, 0);
    if (h)
        libusb_close(h);
    if (g_found)
        libusb_unref_device(g_found);
    libusb_exit(ctx);
    return exit_code;
}
