#include "mosquitto-client.h"

#include <mosquitto.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge.h"
#include "exchange.h"
#include "log_text.h"
#include "settings.h"
#include "topics.h"

// A list taken in this session, remembered so that the broker's re-delivery
// of it (its PUBACK lost with the link) is not run again.
struct TakenList {
    int mid;
    unsigned connection; // the connection it came in
    int length;
    uint64_t hash; // of its payload: a new list under a reused mid is taken
};

// More than a broker has in flight to one client at a time (mosquitto's
// max_inflight_messages defaults to 20, RabbitMQ's MQTT prefetch to 10):
// only those can come again.
#define TAKEN_LISTS_REMEMBERED 32

// Main thread only, like the handlers that use them.
static TakenList taken_lists[TAKEN_LISTS_REMEMBERED];
static int taken_count, taken_next;
static unsigned connection_count;
// The mid of the PUBLISH that the library last logged as received with the
// DUP flag; -1 when the last one had no DUP. The library logs a PUBLISH
// before it hands it to the message handler, and passes the flag no other way.
static int dup_mid = -1;

void my_log_callback(struct mosquitto *m, void *obj, int level, const char *text) {
    (void)m;
    (void)obj;
    (void)level;
    // A received PUBLISH's line carries its topic, which the remote chose.
    print_escaped_line("", text);
    const char *p = strstr(text, " received PUBLISH (d");
    int dup = 0, qos = 0, retain = 0, mid = 0;
    if (p && sscanf(p, " received PUBLISH (d%d, q%d, r%d, m%d,", &dup, &qos, &retain, &mid) == 4)
        dup_mid = dup ? mid : -1;
}

static uint64_t payload_hash(const void *payload, int length) {
    // FNV-1a, 64 bits: no two lists in one broker's flight share it by chance.
    uint64_t h = 14695981039346656037ull;
    for (int i = 0; i < length; i++)
        h = (h ^ ((const unsigned char *)payload)[i]) * 1099511628211ull;
    return h;
}

void intake_connection_began(bool session_present) {
    connection_count++;
    if (!session_present)
        taken_count = taken_next = 0;
    dup_mid = -1;
}

// True when MSG is a list already taken in an earlier connection of this
// session and delivered again: the broker resends what it holds
// unacknowledged, with DUP set and its mid kept, only at a new connection.
// Otherwise remembers it, in place of a list taken under the same mid (the
// broker had its PUBACK, or it could not have reused the mid).
static bool list_delivered_again(const struct mosquitto_message *msg) {
    uint64_t hash = payload_hash(msg->payload, msg->payloadlen);
    bool dup = msg->mid == dup_mid;
    TakenList *slot = NULL;
    for (int i = 0; i < taken_count && !slot; i++)
        if (taken_lists[i].mid == msg->mid)
            slot = &taken_lists[i];
    if (slot && dup && slot->connection != connection_count && slot->length == msg->payloadlen &&
        slot->hash == hash) {
        slot->connection = connection_count;
        return true;
    }
    if (!slot) {
        slot = &taken_lists[taken_next];
        taken_next = (taken_next + 1) % TAKEN_LISTS_REMEMBERED;
        if (taken_count < TAKEN_LISTS_REMEMBERED)
            taken_count++;
    }
    *slot = {msg->mid, connection_count, msg->payloadlen, hash};
    return false;
}

// Log lines of one handler call, written out in a few large writes instead
// of one write per line: a 100,000-command list would otherwise spend most
// of its intake time in write(). Every line is out when the call returns.
struct LineBatch {
    char buf[4096];
    size_t used;
};

static void batch_flush(LineBatch *b) {
    if (b->used > 0)
        fwrite(b->buf, 1, b->used, stdout);
    b->used = 0;
}

// One log line, PREFIX then TEXT escaped (log_text.h).
static void batch_line(LineBatch *b, const char *prefix, const char *text) {
    size_t lp = strlen(prefix), lt = escaped_length(text);
    if (lp + lt + 1 > sizeof(b->buf) - b->used)
        batch_flush(b);
    if (lp + lt + 1 > sizeof(b->buf)) {
        print_escaped_line(prefix, text);
        return;
    }
    memcpy(b->buf + b->used, prefix, lp);
    escape_text(b->buf + b->used + lp, text);
    b->buf[b->used + lp + lt] = '\n';
    b->used += lp + lt + 1;
}

void tokenize_and_store_in_queue(char *text, Queue *to) {
    LineBatch log;
    log.used = 0;
    char *save = NULL;
    for (char *cmd = strtok_r(text, ";", &save); cmd; cmd = strtok_r(NULL, ";", &save)) {
        char *copy = strdup(cmd);
        if (copy == NULL) {
            batch_line(&log, "Out of memory, command dropped: ", cmd);
            continue;
        }
        batch_line(&log, "TOKENIZED COMMAND: ", copy);
        to->push(to, copy);
    }
    batch_flush(&log);
}

// The commands of a list: its pieces between ";" that are not empty, as
// tokenize_and_store_in_queue splits it, and the bytes of their text.
static int count_commands(const char *text, size_t *bytes) {
    int n = 0;
    *bytes = 0;
    while (*text) {
        size_t len = strcspn(text, ";");
        n += len > 0;
        *bytes += len;
        text += len;
        if (*text)
            text++;
    }
    return n;
}

enum Room { ROOM, NO_ROOM_FOR_COUNT, NO_ROOM_FOR_BYTES };

// Whether N more commands of BYTES bytes fit in the queue. Only this thread
// adds to the queue, so the answer holds until it does.
static Room queue_room(int n, size_t bytes) {
    pthread_mutex_lock(&bridge_lock);
    Room room = ROOM;
    if (n > settings.queued_commands_max - queue.count)
        room = NO_ROOM_FOR_COUNT;
    else if (bytes > (size_t)settings.queued_bytes_max - queue.bytes)
        room = NO_ROOM_FOR_BYTES;
    pthread_mutex_unlock(&bridge_lock);
    return room;
}

// Queues a command list whole, or drops it whole when the queue has no room
// for all of it, decided before anything is copied. It is split outside the
// lock and joins the queue in one step, so a long list never holds up the
// exchange. The exchange thread writes its first command when the line is
// free for it.
static void take_command_list(char *text) {
    size_t bytes;
    int n = count_commands(text, &bytes);
    if (n == 0)
        return;
    switch (queue_room(n, bytes)) {
    case NO_ROOM_FOR_COUNT:
        printf("DROPPED A LIST OF %d COMMANDS: QUEUE FULL\n", n);
        return;
    case NO_ROOM_FOR_BYTES:
        printf("DROPPED A LIST OF %d COMMANDS (%zu BYTES): QUEUE FULL\n", n, bytes);
        return;
    case ROOM:
        break;
    }
    Queue list = createQueue();
    tokenize_and_store_in_queue(text, &list);
    pthread_mutex_lock(&bridge_lock);
    queue.take_all(&queue, &list);
    pthread_mutex_unlock(&bridge_lock);
    exchange_wake();
}

void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg) {
    (void)m;
    (void)obj;
    flockfile(stdout);
    if (msg->payloadlen && msg->payload) {
        // Topic and payload share the line's room for outside text.
        size_t shown = print_escaped_within(msg->topic, LOG_TEXT_MAX / 2);
        putchar(' ');
        print_escaped_within((char *)msg->payload, LOG_TEXT_MAX - shown);
        putchar('\n');
        funlockfile(stdout);
        bool list = strcmp(msg->topic, topic_commands) == 0;
        if (list && msg->qos > 0 && list_delivered_again(msg))
            printf("DROPPED A LIST DELIVERED AGAIN (MID %d)\n", msg->mid);
        else if (list)
            take_command_list((char *)msg->payload);
    } else {
        print_escaped(msg->topic);
        printf(" (null)\n");
        funlockfile(stdout);
    }
    fflush(stdout);
}
