// The MQTT session: a fresh client for every connection attempt, the
// bridge's own network loop around it, the setup deadline, the retry
// schedule, the session's handlers and the clean stop.
//
// Threads: the main thread runs net_run and, inside it, every handler here;
// the exchange thread publishes reports through net_publish_report.
#ifndef BRIDGE_NET_LOOP_H
#define BRIDGE_NET_LOOP_H

#include <stdbool.h>

struct mosquitto;

// The client of the current attempt; NULL between attempts. Set and cleared
// by the main thread with bridge_lock held; the exchange thread reads it
// only with bridge_lock held.
extern struct mosquitto *mosq;

// Publishes the login and the reports. Points at mosquitto_publish; tests and
// fuzzers point it elsewhere to see what is published.
extern int (*bridge_publish)(struct mosquitto *m, int *mid, const char *topic, int len,
                             const void *payload, int qos, bool retain);

// Main thread, at start-up after get_MAC: the wake-up pipe, the retry
// jitter's seed, the outbox's publisher and the first client. False when
// the client can't be made.
bool net_init(void);

// Main thread: connection attempts and sessions until a stop is requested,
// then the clean stop (the exchange thread is stopped too). Returns when the
// bridge may exit.
void net_run(void);

// Any thread, and async-signal-safe: asks net_run to stop cleanly.
void net_request_stop(void);

// The outbox's publisher: one report with QoS 1 on the current client, and
// a wake-up of the network loop so that it goes out. Caller holds
// bridge_lock (the exchange thread, or the main thread while stopping).
int net_publish_report(const char *topic, const unsigned char *payload, int *mid);

// Session handlers, main thread (inside the library's read and write
// steps). Accepted connection: subscribes to "commands"; refused: "Connect
// failed" on stderr, once per change of the broker's answer.
void my_connect_callback(struct mosquitto *m, void *obj, int result);
// The SUBACK of that subscription: the login is published.
void my_subscribe_callback(struct mosquitto *m, void *obj, int mid, int qos_count,
                           const int *granted_qos);
void my_disconnect_callback(struct mosquitto *m, void *obj, int rc);
// A PUBACK: the login's opens the session for reports, a report's frees the
// outbox's window. Takes bridge_lock.
void my_publish_callback(struct mosquitto *m, void *obj, int mid);

// The client is gone: held reports wait for the next login, those in flight
// go back to the held ones. Takes bridge_lock.
void bridge_session_lost(void);

#endif
