// The network loop: a fresh client for every connection attempt (session.h),
// poll() on its socket and a wake-up pipe around the library's read, write
// and housekeeping steps, the setup deadline, the retry schedule and the
// clean stop.
//
// Threads: the main thread runs net_run, and with it every MQTT handler; the
// exchange thread publishes reports through net_publish_report.
#ifndef BRIDGE_NET_LOOP_H
#define BRIDGE_NET_LOOP_H

#include <stdbool.h>

// Main thread, at start-up after get_MAC: the wake-up pipe, the retry
// jitter's seed, the outbox's publisher and the first client. False when
// the client can't be made.
bool net_init(void);

// Main thread: connection attempts and sessions until a stop is requested,
// then the clean stop (the exchange thread is stopped too). Returns when the
// bridge may exit.
void net_run(void);

// Any thread, and async-signal-safe: asks net_run to stop cleanly (SIGTERM,
// SIGINT, a failed serial line).
void net_request_stop(void);

// The outbox's publisher: one report with QoS 1 on the current client, and
// a wake-up of the network loop so that it goes out. Caller holds
// bridge_lock (the exchange thread, or the main thread while stopping).
int net_publish_report(const char *topic, const unsigned char *payload, int *mid);

#endif
