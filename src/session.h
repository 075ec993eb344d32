// The MQTT session: the client each connection attempt gets, the session's
// handlers, the login, and the lines that say why attempts end.
//
// Threads: the main thread only (net_loop.h runs the library's steps, which
// call the handlers), except where a declaration says otherwise.
#ifndef BRIDGE_SESSION_H
#define BRIDGE_SESSION_H

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

// A client with the bridge's handlers and options, TLS not yet applied;
// NULL when it can't be made.
struct mosquitto *session_client_new(void);

// Applies the TLS settings to M; true when the library accepted them. A
// rejected call leaves the client without a CA: it must not connect.
bool session_apply_tls(struct mosquitto *m);

// A new attempt starts: what the handlers noted of the last one is forgotten.
void session_attempt_began(void);

// True when the broker refused this attempt's CONNECT (already logged).
bool session_refused(void);

// Why the library closed this attempt's connection, from the disconnect
// handler; 0 when it did not say.
int session_disconnect_rc(void);

// The library's text for RC, but for a keep-alive that went unanswered,
// which older versions call "Unknown error.".
const char *session_end_reason(int rc);

// The attempt or session ended for REASON: "Network loop stopped: REASON"
// on stderr, once per change of reason.
void session_ended(const char *reason);

// A login was acknowledged: the once-per-change lines print their counts.
void session_began(void);

// With BRIDGE_AVAILABILITY: publishes "online" or "offline" on the
// availability topic, QoS 1, retained, on M (after the login's
// acknowledgement; before the DISCONNECT of a clean stop). Otherwise
// nothing.
void session_announce(struct mosquitto *m, bool online);

// True once the broker acknowledged the "offline" of session_announce, or
// when there is none to wait for.
bool session_offline_delivered(void);

// Session handlers, main thread (inside the library's read and write
// steps). Accepted connection: subscribes to the commands topic; refused: "Connect
// failed" on stderr, once per change of the broker's answer. The library calls
// it through a handler that first tells the intake whether the broker kept
// the session.
void my_connect_callback(struct mosquitto *m, void *obj, int result);
// The SUBACK of that subscription: the login is published.
void my_subscribe_callback(struct mosquitto *m, void *obj, int mid, int qos_count,
                           const int *granted_qos);
void my_disconnect_callback(struct mosquitto *m, void *obj, int rc);
// A PUBACK: the login's opens the session for reports, a report's frees the
// outbox's window, the stop's "offline" lets the DISCONNECT go. Takes
// bridge_lock.
void my_publish_callback(struct mosquitto *m, void *obj, int mid);

#endif
