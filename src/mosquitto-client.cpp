#include "mosquitto-client.h"

#include <errno.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bridge_config.h"
#include "serial.h"

#define REPORT_SIZE 100 // every report is published with exactly this many bytes
#define LOGIN_LENGTH 55 // the login text with a 17-character ID, without its NUL

pthread_mutex_t bridge_lock = PTHREAD_MUTEX_INITIALIZER;
int IDLE = 1;
bool head_written;
Queue queue;
struct mosquitto *mosq;
char ID[18];
int (*bridge_publish)(struct mosquitto *m, int *mid, const char *topic, int len,
                      const void *payload, int qos, bool retain) = mosquitto_publish;

// The report being read; exchange thread only. Cleared after each report so
// that no byte of one report reaches the payload of the next.
static unsigned char report[REPORT_SIZE];
static int report_count;
static int report_flag;
static int report_dropped; // bytes beyond REPORT_SIZE read in this cycle

static const struct timespec poll_interval = {BRIDGE_POLL_INTERVAL_MS / 1000,
                                              (BRIDGE_POLL_INTERVAL_MS % 1000) * 1000000L};

// Set when the queue held LONG_QUEUE commands or more since it was last
// empty. Guarded by bridge_lock.
#define LONG_QUEUE 1024
static bool queue_was_long;

// When the head of queue was written to the line (on the monotonic clock),
// while head_written: the command deadline counts from there. Guarded by
// bridge_lock.
static struct timespec command_sent_at;

// The reason the network loop last stopped for, and how many times it has
// stopped for that reason again since it was printed. Main thread only:
// run_session and the connect handler.
static char loop_stop_reason[128];
static int loop_stop_repeats;

// The broker session as the exchange thread sees it. Reports are handed to
// the library only while it is up; otherwise they wait in held_reports, in
// the order they were read. Guarded by bridge_lock.
//
// The session counts as up only once the broker has acknowledged this
// connection's login. On an accepted connection the library calls the
// connect handler (which publishes the login) before it re-sends the reports
// it already held, with the DUP flag; a report handed over in between would
// overtake those re-sends. The login's PUBACK is handled after all of that,
// so from then on the held reports, and every later one, go out behind them.
struct HeldReport {
    const char *topic;
    unsigned char payload[REPORT_SIZE];
    HeldReport *next;
};
static HeldReport *held_head, *held_tail;
static bool session_up;
static int login_mid; // mid of the login whose PUBACK opens the session; 0 when none

void get_MAC(void) {
    char line[1034];
    FILE *fp = popen("ifconfig | grep HWaddr | tail -1 | awk '{print $5;}'", "r");
    if (fp == NULL) {
        // ID stays empty, which the MQTT library refuses as a client id.
        printf("Failed to run command\n");
        return;
    }
    while (fgets(line, sizeof(line), fp) != NULL) {
        line[17] = '\0';
        line[strcspn(line, "\r\n")] = '\0';
        strcpy(ID, line);
    }
    pclose(fp);
}

// Prints how often the last reason repeated, if it did, and forgets it.
static void end_loop_stops(void) {
    if (loop_stop_repeats > 0)
        fprintf(stderr, "Network loop stopped: %s (repeated %d times)\n", loop_stop_reason,
                loop_stop_repeats);
    loop_stop_reason[0] = '\0';
    loop_stop_repeats = 0;
}

void my_connect_callback(struct mosquitto *m, void *obj, int result) {
    (void)obj;
    if (result != 0) {
        fprintf(stderr, "Connect failed\n");
        return;
    }
    end_loop_stops();
    // Zero-filled so that a short ID sends zeros, not stack bytes, in the
    // fixed 55-byte payload.
    char login[LOGIN_LENGTH + 1];
    memset(login, 0, sizeof(login));
    snprintf(login, sizeof(login), "{\"ID\":\"%s\",\"login\":\"test\",\"pass\":\"vmzq\"}", ID);
    int mid = 0;
    int rc = bridge_publish(m, &mid, "login", LOGIN_LENGTH, login, 1, false);
    pthread_mutex_lock(&bridge_lock);
    login_mid = mid;
    // A login the library did not take will never be acknowledged; held
    // reports must not wait for that until the next reconnection.
    if (rc != MOSQ_ERR_SUCCESS || mid == 0)
        session_up = true;
    pthread_mutex_unlock(&bridge_lock);
    // A clean session loses its subscriptions with every reconnection.
    mosquitto_subscribe(m, NULL, "commands", 1);
}

void my_publish_callback(struct mosquitto *m, void *obj, int mid) {
    (void)m;
    (void)obj;
    pthread_mutex_lock(&bridge_lock);
    if (login_mid != 0 && mid == login_mid) {
        session_up = true;
        login_mid = 0;
    }
    pthread_mutex_unlock(&bridge_lock);
}

void bridge_session_lost(void) {
    pthread_mutex_lock(&bridge_lock);
    session_up = false;
    login_mid = 0;
    pthread_mutex_unlock(&bridge_lock);
}

void my_log_callback(struct mosquitto *m, void *obj, int level, const char *text) {
    (void)m;
    (void)obj;
    (void)level;
    printf("%s\n", text);
}

void my_disconnect_callback(struct mosquitto *m, void *obj, int rc) {
    (void)m;
    (void)obj;
    bridge_session_lost();
    // The library logs nothing when a connection is lost.
    if (rc != 0)
        printf("Connection lost: %s\n", mosquitto_strerror(rc));
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

void send_command(void) {
    char *cmd = queue.peek(&queue);
    if (cmd == NULL)
        return;
    printf("SENDING TO ARDUINO: %s\n", cmd);
    serial_print_string(cmd);
    // From the end of the write: a long command takes a while to go out.
    clock_gettime(CLOCK_MONOTONIC, &command_sent_at);
    head_written = true;
    printf("WAITING FOR A SERIAL ACK !\n");
}

// Queues a command list and, when no command was outstanding, sends its first
// command. Commands that arrive while one is outstanding wait their turn: the
// report path sends them, so the device never gets a command twice and a
// report being awaited is not mistaken for noise. Bytes already waiting on an
// idle line are a report the exchange loop has not taken yet: the head is then
// left for the loop to send after that report, which would otherwise be read
// as noise in place of the acknowledgement.
static void take_command_list(char *text) {
    pthread_mutex_lock(&bridge_lock);
    tokenize_and_store_in_queue(text);
    if (queue.count >= LONG_QUEUE)
        queue_was_long = true;
    if (!head_written && queue.count > 0 && serial_available() == 0) {
        IDLE = 0;
        send_command();
    }
    pthread_mutex_unlock(&bridge_lock);
}

void my_message_callback(struct mosquitto *m, void *obj, const struct mosquitto_message *msg) {
    (void)m;
    (void)obj;
    if (msg->payloadlen && msg->payload) {
        printf("%s %s\n", msg->topic, (char *)msg->payload);
        if (strcmp(msg->topic, "commands") == 0)
            take_command_list((char *)msg->payload);
    } else {
        printf("%s (null)\n", msg->topic);
    }
    fflush(stdout);
}

// Hands the heap that a long command list used back to the system once the
// queue is empty. glibc keeps freed small blocks for reuse, so a router that
// once took a 100,000-command list would otherwise carry its peak for good.
// Only after a long queue: a short one leaves nothing worth a heap walk in
// the poll loop. Caller holds bridge_lock.
static void release_free_memory(void) {
#ifdef __GLIBC__
    if (queue_was_long)
        malloc_trim(0);
#endif
    queue_was_long = false;
}

// Publishes the report just read, or holds it while the session is down or
// earlier reports are still held. Caller holds bridge_lock.
static void publish_report(const char *topic) {
    if (session_up && held_head == NULL) {
        bridge_publish(mosq, NULL, topic, REPORT_SIZE, report, 1, false);
        return;
    }
    HeldReport *held = (HeldReport *)malloc(sizeof(HeldReport));
    if (held == NULL) {
        printf("Out of memory, report dropped.\n");
        return;
    }
    held->topic = topic;
    memcpy(held->payload, report, REPORT_SIZE);
    held->next = NULL;
    if (held_tail)
        held_tail->next = held;
    else
        held_head = held;
    held_tail = held;
}

// Hands the held reports to the library, oldest first, once the session is
// up. Caller holds bridge_lock; the library takes only its own locks inside
// the publish and calls no handler from it, so this cannot wait on a handler
// that waits for bridge_lock.
static void release_held_reports(void) {
    if (!session_up || held_head == NULL)
        return;
    int n = 0;
    for (HeldReport *held = held_head; held; held = held->next)
        n++;
    printf("PUBLISHING %d REPORTS HELD WHILE OFFLINE\n", n);
    while (held_head) {
        HeldReport *held = held_head;
        bridge_publish(mosq, NULL, held->topic, REPORT_SIZE, held->payload, 1, false);
        held_head = held->next;
        free(held);
    }
    held_tail = NULL;
}

// After the head has been answered or given up: the next queued command goes
// out and its "#" is awaited, or the exchange is idle. Caller holds
// bridge_lock.
static void send_next_or_go_idle(void) {
    if (queue.count > 0) {
        IDLE = 0;
        send_command();
    } else {
        IDLE = 1;
        release_free_memory();
    }
}

// Idle: whatever is waiting is one report. Caller holds bridge_lock.
static void take_report(void) {
    while (serial_available()) {
        int byte = serial_read_byte();
        if (report_count < REPORT_SIZE)
            report[report_count++] = (unsigned char)byte;
        else
            report_dropped++;
        report_flag = 1;
        IDLE = 0;
    }
    if (!report_flag)
        return;

    if (report_dropped)
        printf("DROPPED %d BYTES BEYOND A 100-BYTE REPORT\n", report_dropped);
    if (report[0] == '!') {
        publish_report("info");
        IDLE = 1;
        serial_print_string("#\n");
        // A list that came while this report was waiting.
        if (!head_written && queue.count > 0) {
            IDLE = 0;
            send_command();
        }
    } else {
        serial_print_string("#\n");
        printf("RECEIVED STATUS UPDATE FROM ARDUINO.\n");
        publish_report("status_update");
        // A report that answers no command is still passed on, but there is
        // nothing to remove.
        if (head_written) {
            queue.pop(&queue);
            head_written = false;
        }
        send_next_or_go_idle();
    }
    memset(report, 0, sizeof(report));
    report_count = 0;
    report_flag = 0;
    report_dropped = 0;
}

// Awaiting acknowledgement: drain the line, taking a "#" as the
// acknowledgement. Caller holds bridge_lock.
static void take_acknowledgement(void) {
    while (serial_available()) {
        int byte = serial_read_byte();
        if (byte == '#') {
            serial_flush();
            printf("RECEIVED SERIAL_ACK\n");
            IDLE = 1;
        } else {
            printf("[%c] INSTEAD OF ACK\n", byte);
        }
    }
}

// With a command deadline set: drops the written command at the head of the
// queue once it has gone unanswered that long, whether the "#" or the report
// is missing, and sends the next. A report already waiting while idle is
// still taken as its answer. Caller holds bridge_lock.
static void expire_command(void) {
    if (BRIDGE_COMMAND_TIMEOUT_S <= 0 || !head_written)
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long waited_ns = (long long)(now.tv_sec - command_sent_at.tv_sec) * 1000000000LL +
                          (now.tv_nsec - command_sent_at.tv_nsec);
    if (waited_ns < BRIDGE_COMMAND_TIMEOUT_S * 1000000000LL)
        return;
    if (IDLE && serial_available())
        return;
    printf("COMMAND TIMED OUT: %s\n", queue.peek(&queue));
    queue.pop(&queue);
    head_written = false;
    send_next_or_go_idle();
}

void serial_reads_cycle(void) {
    pthread_mutex_lock(&bridge_lock);
    expire_command();
    release_held_reports();
    if (IDLE)
        take_report();
    else
        take_acknowledgement();
    pthread_mutex_unlock(&bridge_lock);
}

void *serial_reads(void *arg) {
    (void)arg;
    for (;;) {
        serial_reads_cycle();
        nanosleep(&poll_interval, NULL);
    }
    return NULL;
}

#ifndef BRIDGE_NO_MAIN

// Result of the last mosquitto_tls_set, so that a retry that keeps failing
// the same way prints its message once.
static int tls_last_rc = MOSQ_ERR_SUCCESS;

// Applies the TLS settings; true when the library accepted them. A rejected
// call leaves the client without a CA, so the caller must not connect then.
static bool apply_tls(void) {
    int rc = mosquitto_tls_set(mosq, BRIDGE_CA_FILE, NULL, BRIDGE_CERT_FILE, BRIDGE_KEY_FILE, NULL);
    if (rc != tls_last_rc) {
        if (rc == MOSQ_ERR_INVAL)
            printf("TLS input parameters are invalid.\n");
        else if (rc == MOSQ_ERR_NOMEM)
            printf("Out of memory.\n");
    }
    tls_last_rc = rc;
    return rc == MOSQ_ERR_SUCCESS;
}

static void start_exchange_thread(void) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, serial_reads, NULL) != 0) {
        fprintf(stderr, "Unable to start the serial thread.\n");
        exit(1);
    }
}

// First connection attempt. Afterwards the client knows its broker, whether
// or not the attempt succeeded, and mosquitto_reconnect can be used.
static void connect_broker(void) {
    if (mosquitto_connect(mosq, BRIDGE_BROKER_HOST, BRIDGE_BROKER_PORT, BRIDGE_KEEPALIVE) !=
        MOSQ_ERR_SUCCESS)
        mosquitto_reconnect(mosq);
}

// A broker that keeps refusing would otherwise put this line into the
// router's small log ring once a second: it is printed when the reason
// changes, and its repeats are counted until then or until a session comes
// back.
static void log_loop_stop(const char *reason) {
    if (loop_stop_reason[0] != '\0' && strcmp(reason, loop_stop_reason) == 0) {
        loop_stop_repeats++;
        return;
    }
    end_loop_stops();
    snprintf(loop_stop_reason, sizeof(loop_stop_reason), "%s", reason);
    fprintf(stderr, "Network loop stopped: %s\n", reason);
}

// Runs the network loop for the life of the process. The library gives up
// for good on TLS, DNS and protocol errors and on a link lost mid-TLS; a
// field unit must not, so each such return is logged and the session is
// started again a second later, with the TLS settings checked first. While
// they are refused neither the loop nor a connection attempt runs, before
// the first session or after one: the refused call has cleared the CA, and
// the loop's own reconnection would go ahead without it.
static void run_session(bool tls_ok) {
    bool connected_before = tls_ok; // mosquitto_connect has been called
    if (tls_ok)
        connect_broker();
    bool run_loop = tls_ok;
    for (;;) {
        if (run_loop) {
            errno = 0;
            int rc = mosquitto_loop_forever(mosq, 1000, 1);
            if (rc == MOSQ_ERR_SUCCESS)
                return;
            // Not every way out of the loop calls the disconnect handler.
            bridge_session_lost();
            log_loop_stop(mosquitto_strerror(rc));
        }
        sleep(1);
        run_loop = apply_tls();
        if (!run_loop)
            continue;
        errno = 0;
        if (connected_before)
            mosquitto_reconnect(mosq);
        else
            connect_broker();
        connected_before = true;
    }
}

int main(int argc, char *argv[]) {
    (void)argc;
    (void)argv;
    setvbuf(stdout, NULL, _IOLBF, 0);

    serial_begin(BRIDGE_SERIAL_DEVICE, BRIDGE_SERIAL_BAUD);
    serial_flush();
    queue = createQueue();
    get_MAC();

    mosquitto_lib_init();
    mosq = mosquitto_new(ID, true, NULL);
    if (mosq == NULL) {
        fprintf(stderr, "Error: Out of memory.\n");
        return 1;
    }
    // The exchange thread publishes while the network loop runs.
    mosquitto_threaded_set(mosq, true);
#if LIBMOSQUITTO_VERSION_NUMBER >= 2000000
    // Without Nagle's algorithm: the first report after a command list would
    // otherwise wait for the broker's delayed ACK of the list's PUBACK (40 ms
    // and more), which a poll interval of 20 ms or less makes likely.
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
#endif
    mosquitto_log_callback_set(mosq, my_log_callback);
    mosquitto_connect_callback_set(mosq, my_connect_callback);
    mosquitto_message_callback_set(mosq, my_message_callback);
    mosquitto_disconnect_callback_set(mosq, my_disconnect_callback);
    mosquitto_publish_callback_set(mosq, my_publish_callback);
    bool tls_ok = apply_tls();

    start_exchange_thread();
    run_session(tls_ok);

    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}

#endif
