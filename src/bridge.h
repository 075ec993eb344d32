// The state the two threads share, and its one lock.
//
// Threads: the main thread runs the MQTT network loop and with it every
// my_*_callback (session.h, mosquitto-client.h); the exchange thread runs
// serial_reads (exchange.h). The library calls the log handler on whichever
// thread calls into it.
#ifndef BRIDGE_BRIDGE_H
#define BRIDGE_BRIDGE_H

#include <pthread.h>
#include <stdbool.h>

#include "queue.h"

// The one lock of the bridge. It guards IDLE, queue, the exchange's state
// (exchange.h), the current MQTT client and the outbox (outbox.h). Only
// the exchange thread writes to the serial line, holding it, and lets it go
// while a write waits for the line to drain (serial_write). A handler holds
// it for its work on that state; the exchange loop for the work of one
// cycle, never across its wait. It is never held across a wait on the
// network or on the line. No other lock is taken while it is held except
// libmosquitto's own inside mosquitto_publish; the library calls the
// handlers holding only its callback lock, which mosquitto_publish does not
// take, so the two orders cannot meet in a deadlock.
extern pthread_mutex_t bridge_lock;

extern int IDLE;    // exchange mode: non-zero idle, 0 awaiting the device's "#"
extern Queue queue; // commands waiting or outstanding, head first
extern char ID[18]; // client id: the board's MAC address, at most 17 characters

// Monotonic clock in ms; any thread.
long long now_ms(void);

#endif
