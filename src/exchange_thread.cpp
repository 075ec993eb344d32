// The exchange thread itself: its start and stop, and its waits between
// cycles (exchange.h). The exchange's work is exchange.cpp's.
#include "exchange.h"

#include <atomic>
#include <poll.h>
#include <stdio.h>

#include "bridge.h"
#include "serial.h"
#include "settings.h"
#include "wake.h"

// Set by exchange_stop; the thread ends after its current cycle.
static std::atomic<bool> exchange_ending;
static pthread_t exchange_thread;

// Wakes the exchange thread; when it could not be made, the thread only
// sleeps.
static struct Wake wake = WAKE_INIT;

void exchange_wake(void) {
    wake_signal(&wake);
}

// Event-driven mode: sleeps until a byte arrives, another thread wakes the
// loop, or the cycle's wait runs out. A line that failed or is closed is
// not waited on: it would wake the loop at once, for good.
static void wait_for_line(int wait_ms) {
    bool line_up = sd >= 0 && !serial_line_failed();
    struct pollfd fds[2] = {{line_up ? sd : -1, POLLIN, 0}, {wake.fds[0], POLLIN, 0}};
    if (poll(fds, 2, wait_ms) <= 0)
        return;
    if (fds[1].revents & POLLIN)
        wake_take(&wake);
    // Hung up (an adapter unplugged): readable without data, for good.
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN))
        serial_hung_up();
}

// Poll modes: sleeps for the poll interval. A wake-up only writes a list's
// first command when the exchange is free for it (send_list_if_idle);
// the line is read at the interval's end as always, so a report written in
// pieces is still taken whole, whatever woke the thread (a list, an
// acknowledgement from the broker).
static void sleep_poll_interval(void) {
    long long end = now_ms() + settings.poll_interval_ms;
    for (long long left; !exchange_ending && (left = end - now_ms()) > 0;) {
        struct pollfd fd = {wake.fds[0], POLLIN, 0};
        if (poll(&fd, 1, (int)left) > 0 && wake_take(&wake)) {
            pthread_mutex_lock(&bridge_lock);
            send_list_if_idle();
            pthread_mutex_unlock(&bridge_lock);
        }
    }
}

void *serial_reads(void *arg) {
    (void)arg;
    while (!exchange_ending) {
        int wait_ms = serial_reads_cycle();
        if (event_driven())
            wait_for_line(wait_ms);
        else
            sleep_poll_interval();
    }
    return NULL;
}

bool exchange_start(void (*stop)(void)) {
    exchange_on_line_lost(stop);
    // The thread sleeps on the line and on this pipe, or on the pipe alone.
    wake_open(&wake);
    return pthread_create(&exchange_thread, NULL, serial_reads, NULL) == 0;
}

void exchange_stop(void) {
    exchange_ending = true;
    exchange_wake();
    pthread_join(exchange_thread, NULL);
}
