// The MQTT side of the bridge's work: command lists in, the library's log
// out. The session itself (connection, login, acknowledgements) is
// session.h's; the loop that runs it is net_loop.h's.
#ifndef BRIDGE_MOSQUITTO_CLIENT_H
#define BRIDGE_MOSQUITTO_CLIENT_H

#include "queue.h"

struct mosquitto;
struct mosquitto_message;

// Network thread: prints every message (topic and payload escaped, one
// line), and queues the commands of a list on "commands" and wakes the
// exchange, or drops the list whole when the queue has no room for it
// (BRIDGE_QUEUED_COMMANDS_MAX commands, BRIDGE_QUEUED_BYTES_MAX bytes of
// text), or drops it when the broker delivers again, flagged DUP under the
// same mid, a list taken in an earlier connection of this session (its
// PUBACK was lost). Never writes to the line. Takes bridge_lock for the
// queue, briefly.
void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg);

// Either thread (the library logs on whichever thread calls into it):
// prints the library's line. On the network thread it also notes the DUP
// flag of the PUBLISH about to be handed to my_message_callback.
void my_log_callback(struct mosquitto *m, void *obj, int level, const char *text);

// Network thread, from the connect handler of an accepted connection: the
// broker kept this unit's session (SESSION_PRESENT) or began a new one, which
// forgets the lists remembered against re-delivery.
void intake_connection_began(bool session_present);

// Splits TEXT in place on ";" and appends a heap copy of each command to TO,
// logging each. Caller holds bridge_lock when TO is the shared queue.
void tokenize_and_store_in_queue(char *text, Queue *to);

#endif
