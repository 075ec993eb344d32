// mqtt-serial-bridge: start-up, one step a line.
#include <ctype.h>
#include <mosquitto.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "bridge.h"
#include "exchange.h"
#include "net_loop.h"
#include "serial.h"
#include "settings.h"
#include "topics.h"

// True when ADDRESS (its line end cut) is six colon-separated bytes, as an
// Ethernet or wireless interface shows it. A tun interface's is sixteen
// dash-separated bytes, all zero: the same on every board with a VPN up.
static bool is_mac_address(const char *address) {
    if (strcspn(address, "\r\n") != 17)
        return false;
    for (int i = 0; i < 17; i++) {
        bool ok = i % 3 == 2 ? address[i] == ':' : isxdigit((unsigned char)address[i]) != 0;
        if (!ok)
            return false;
    }
    return true;
}

// Fills ID from the last hardware address that the interface listing shows
// as a MAC address; without one, from the last address of any form.
static void get_MAC(void) {
    char line[1034];
    bool found = false;
    FILE *fp = popen("ifconfig | grep HWaddr | awk '{print $5;}'", "r");
    if (fp == NULL) {
        // ID stays empty, which the MQTT library refuses as a client id.
        printf("Failed to run command\n");
        return;
    }
    while (fgets(line, sizeof(line), fp) != NULL) {
        bool mac = is_mac_address(line);
        if (found && !mac)
            continue;
        found = found || mac;
        line[17] = '\0';
        line[strcspn(line, "\r\n")] = '\0';
        strcpy(ID, line);
    }
    pclose(fp);
}

static void on_stop_signal(int sig) {
    (void)sig;
    net_request_stop();
}

// A write to a socket the broker has closed must fail with EPIPE, not end the
// process: libmosquitto 2.0.11 set this in mosquitto_new, later versions
// leave it to the program.
static void ignore_broken_pipes(void) {
    signal(SIGPIPE, SIG_IGN);
}

static void stop_signals(sigset_t *set) {
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
}

// Blocked while the exchange thread is made, which keeps them blocked: they
// reach the main thread, whose poll they interrupt.
static void block_stop_signals(void) {
    sigset_t set;
    stop_signals(&set);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
}

// SIGTERM (procd's stop, a sysupgrade) and SIGINT end the bridge cleanly:
// what is held is delivered first.
static void stop_on_signals(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigset_t set;
    stop_signals(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, NULL);
}

int main(int argc, char *argv[]) {
    (void)argc;
    (void)argv;
    setvbuf(stdout, NULL, _IOLBF, 0);

    if (!serial_begin(settings.serial_device, settings.serial_baud))
        return 1;
    // A line that fails already here is the exchange thread's to handle,
    // as later on.
    serial_flush();
    queue = createQueue();
    get_MAC();
    if (!topics_init(ID)) {
        fprintf(stderr, "Error: the topics with prefix \"%s\" do not fit for client id %s.\n",
                settings.topic_prefix, ID);
        return 1;
    }
    mosquitto_lib_init();
    ignore_broken_pipes();
    if (!net_init()) {
        fprintf(stderr, "Error: Out of memory.\n");
        return 1;
    }
    block_stop_signals();
    if (!exchange_start(net_request_stop)) {
        fprintf(stderr, "Unable to start the serial thread.\n");
        return 1;
    }
    stop_on_signals();
    net_run();
    mosquitto_lib_cleanup();
    // A device that went away: procd starts the bridge again.
    return exchange_line_lost() ? 255 : 0;
}
