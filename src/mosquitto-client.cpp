#include "mosquitto-client.h"

#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge.h"
#include "bridge_config.h"
#include "exchange.h"
#include "log_text.h"
#include "topics.h"

void my_log_callback(struct mosquitto *m, void *obj, int level, const char *text) {
    (void)m;
    (void)obj;
    (void)level;
    // A received PUBLISH's line carries its topic, which the remote chose.
    print_escaped_line("", text);
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
    if (n > BRIDGE_QUEUED_COMMANDS_MAX - queue.count)
        room = NO_ROOM_FOR_COUNT;
    else if (bytes > (size_t)BRIDGE_QUEUED_BYTES_MAX - queue.bytes)
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
        if (strcmp(msg->topic, topic_commands) == 0)
            take_command_list((char *)msg->payload);
    } else {
        print_escaped(msg->topic);
        printf(" (null)\n");
        funlockfile(stdout);
    }
    fflush(stdout);
}
