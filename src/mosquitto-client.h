// The bridge core: start-up, the MQTT session and its handlers, command
// intake and the serial exchange loop.
//
// Threads: the main thread runs the MQTT network loop and with it every
// my_*_callback; the serial exchange thread runs serial_reads. The one
// exception: the library calls the log handler on whichever thread calls
// into it, so a report's publish logs on the exchange thread.
#ifndef BRIDGE_MOSQUITTO_CLIENT_H
#define BRIDGE_MOSQUITTO_CLIENT_H

#include <pthread.h>
#include <stdbool.h>

#include "queue.h"

struct mosquitto;
struct mosquitto_message;

// The one lock of the bridge. It guards IDLE, queue, every write to the
// serial line, the session state and the reports held while the session is
// down (src/outbox.h). The handlers hold it for their work on that state; the exchange loop
// holds it for the work of each poll cycle and releases it before sleeping.
// No other lock is taken while it is held, except libmosquitto's own inside
// mosquitto_publish. The library calls the handlers holding only its
// callback lock, which mosquitto_publish does not take, so the two orders
// (handler: callback lock, bridge_lock; exchange thread: bridge_lock, the
// library's queue locks) cannot meet in a deadlock.
extern pthread_mutex_t bridge_lock;

extern int IDLE;    // exchange mode: non-zero idle, 0 awaiting the device's "#"
extern Queue queue; // commands waiting or outstanding, head first
// True once the head of queue has been written to the line: it is outstanding
// until its status report removes it. A list can be queued with its head not
// yet written, when a report was already waiting on the line.
extern bool head_written;
extern struct mosquitto *mosq; // the MQTT client, set once before the serial thread starts
extern char ID[18];            // client id: the board's MAC address, at most 17 characters

// Publishes the login and the reports. Points at mosquitto_publish; tests and
// fuzzers point it elsewhere to see what is published. Called by the exchange
// thread with bridge_lock held, and by the connect handler without it.
extern int (*bridge_publish)(struct mosquitto *m, int *mid, const char *topic, int len,
                             const void *payload, int qos, bool retain);

// Start-up, before any thread: fills ID from the last hardware address that
// the interface listing shows.
void get_MAC(void);

// MQTT handlers, network thread only (the log handler: either thread), each
// taking bridge_lock itself where it touches shared state.
// Accepted connection: subscribes to "commands". Refused: "Connect failed"
// on stderr, once per change of the broker's answer.
void my_connect_callback(struct mosquitto *m, void *obj, int result);
// The SUBACK of that subscription: the login is published.
void my_subscribe_callback(struct mosquitto *m, void *obj, int mid, int qos_count,
                           const int *granted_qos);
void my_log_callback(struct mosquitto *m, void *obj, int level, const char *text);
void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg);
void my_disconnect_callback(struct mosquitto *m, void *obj, int rc);
// A PUBACK: the login's opens the session for reports, a report's frees
// the outbox's window.
void my_publish_callback(struct mosquitto *m, void *obj, int mid);

// The link is gone: reports read from now on are held until the next login
// is acknowledged. Called by the disconnect handler and when the network
// loop returns; takes bridge_lock.
void bridge_session_lost(void);

// Splits TEXT in place on ";" and appends a heap copy of each command to
// queue. Caller holds bridge_lock.
void tokenize_and_store_in_queue(char *text);

// Writes the head of queue to the serial line without removing it, and
// notes the time for the command deadline; does nothing on an empty queue.
// Caller holds bridge_lock.
void send_command(void);

// One cycle of the exchange loop, without its wait: the command deadline
// (when one is compiled in), then the outbox's hand-over, then the line.
// Takes bridge_lock for the cycle's work. Exchange thread only (tests and
// fuzzers call it directly in place of that thread).
void serial_reads_cycle(void);

// Body of the exchange thread: serial_reads_cycle, then a sleep of
// BRIDGE_POLL_INTERVAL_MS, forever; with an interval of 0, a wait on the
// line and the wake-up pipe until the next byte, a list, an acknowledgement
// or the cycle's own deadline. The argument is ignored.
void *serial_reads(void *arg);

#endif
