// The outbox: every report read from the device passes through it on its way
// to the MQTT library.
//
// Guarantees:
// - Order: reports are handed to the library in the order they were read.
// - Login first: no report is handed over from the loss of a link until the
//   broker has acknowledged the next login.
// - Kept until acknowledged: a report handed over stays here until its
//   PUBACK. When the client is torn down, the unacknowledged ones go back to
//   the head of the held reports, in order, and are published again after
//   the next login as new publishes: a report whose PUBACK was lost may reach
//   the remote twice, but none reaches it for the first time after a later
//   one, and nothing the bridge publishes in a session precedes its login.
// - Window: at most OUTBOX_WINDOW reports are handed over and not yet
//   acknowledged; the rest wait here, in order, even while the session is up.
// - Bound: at most BRIDGE_HELD_REPORTS_MAX reports wait here; when full, the
//   oldest is dropped for the new one, and the loss is counted and logged
//   ("DROPPED <n> HELD REPORTS"), never a line per report.
//
// Threads and lock: every function here is called with bridge_lock held. The
// exchange thread adds reports and hands them over; the network thread
// reports the login, acknowledgements and the end of a client, and hands
// over while the bridge stops.
#ifndef BRIDGE_OUTBOX_H
#define BRIDGE_OUTBOX_H

#include <stdbool.h>

#define REPORT_SIZE 100 // every report is published with exactly this many bytes

// libmosquitto keeps 20 QoS 1 messages in flight (its default receive
// maximum); on reconnection whatever is beyond those 20 waits behind them,
// and a login published then would wait behind the whole backlog. With at
// most 10 reports in the library the login always finds room, the library's
// own queue stays bounded, and 10 reports in flight still keep pace with the
// line: the device cannot report faster than the broker acknowledges.
#define OUTBOX_WINDOW 10

// Publishes one report (REPORT_SIZE bytes) on TOPIC with QoS 1, storing its
// message id in *MID; returns the library's result. Given by the network
// side, which owns the client.
typedef int (*outbox_publisher)(const char *topic, const unsigned char *payload, int *mid);

// Start-up, before any thread: where reports are published.
void outbox_set_publisher(outbox_publisher publish);

// Exchange thread: queues a copy of PAYLOAD (REPORT_SIZE bytes) for TOPIC, a
// string that lives as long as the bridge (topics.h), then hands over what
// the session and the window allow.
void outbox_add(const char *topic, const unsigned char *payload);

// Exchange thread, once per cycle: hands held reports to the library, oldest
// first, as far as the window allows, once the session is up. A publish the
// library refuses leaves its report held for the next cycle.
void outbox_hand_over(void);

// True when outbox_hand_over would publish something now.
bool outbox_can_hand_over(void);

// Network thread (connect handler): the login was published with result RC
// and message id MID; its acknowledgement opens the session.
void outbox_login_published(int rc, int mid);

// Network thread (publish handler): the broker acknowledged MID. True when
// that opened the session or freed the window for a held report.
bool outbox_acknowledged(int mid);

// Network thread: the client is gone, or about to be destroyed. Reports wait
// until the next login is acknowledged, and those handed to the client and
// not acknowledged go back to the head of the held ones, in order.
void outbox_client_gone(void);

// True from the acknowledgement of the login until the client is gone.
bool outbox_session_up(void);

// Reports waiting in the outbox, and those handed over and not yet
// acknowledged.
int outbox_held(void);
int outbox_in_flight(void);

#endif
