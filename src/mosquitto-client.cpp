#include "mosquitto-client.h"

#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge.h"
#include "exchange.h"
#include "topics.h"

void my_log_callback(struct mosquitto *m, void *obj, int level, const char *text) {
    (void)m;
    (void)obj;
    (void)level;
    printf("%s\n", text);
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

static void batch_line(LineBatch *b, const char *prefix, const char *text) {
    size_t lp = strlen(prefix), lt = strlen(text);
    if (lp + lt + 1 > sizeof(b->buf) - b->used)
        batch_flush(b);
    if (lp + lt + 1 > sizeof(b->buf)) {
        printf("%s%s\n", prefix, text);
        return;
    }
    memcpy(b->buf + b->used, prefix, lp);
    memcpy(b->buf + b->used + lp, text, lt);
    b->buf[b->used + lp + lt] = '\n';
    b->used += lp + lt + 1;
}

void tokenize_and_store_in_queue(char *text) {
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
        queue.push(&queue, copy);
    }
    batch_flush(&log);
}

// Queues a command list; its first command goes out at once if the exchange
// is free for it. Commands that arrive while one is outstanding wait their
// turn: the report path sends them, so the device never gets a command
// twice and a report being awaited is not mistaken for noise.
static void take_command_list(char *text) {
    pthread_mutex_lock(&bridge_lock);
    tokenize_and_store_in_queue(text);
    send_next_or_go_idle();
    pthread_mutex_unlock(&bridge_lock);
    exchange_wake(); // a deadline to watch, or a command to send once the line is quiet
}

void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg) {
    (void)m;
    (void)obj;
    if (msg->payloadlen && msg->payload) {
        printf("%s %s\n", msg->topic, (char *)msg->payload);
        if (strcmp(msg->topic, topic_commands) == 0)
            take_command_list((char *)msg->payload);
    } else {
        printf("%s (null)\n", msg->topic);
    }
    fflush(stdout);
}
