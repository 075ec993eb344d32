#include "mosquitto-client.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
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
#include "outbox.h"
#include "serial.h"

#define LOGIN_LENGTH 55 // the login text with a 17-character ID, without its NUL

// Without a poll interval the exchange thread waits on the line instead: a
// report ends when the line has been quiet for BRIDGE_REPORT_GAP_MS.
#define EVENT_DRIVEN (BRIDGE_POLL_INTERVAL_MS == 0)

pthread_mutex_t bridge_lock = PTHREAD_MUTEX_INITIALIZER;
int IDLE = 1;
bool head_written;
Queue queue;
struct mosquitto *mosq;
char ID[18];
int (*bridge_publish)(struct mosquitto *m, int *mid, const char *topic, int len,
                      const void *payload, int qos, bool retain) = mosquitto_publish;

// The report being read. Cleared after each report so that no byte of one
// report reaches the payload of the next. Guarded by bridge_lock; only the
// exchange thread changes it.
static unsigned char report[REPORT_SIZE];
static int report_count;
static int report_dropped; // bytes beyond REPORT_SIZE

// Set when the queue held LONG_QUEUE commands or more since it was last
// empty. Guarded by bridge_lock.
#define LONG_QUEUE 1024
static bool queue_was_long;

// When the head of queue was written to the line (monotonic, ms), while
// head_written: the command deadline counts from there. Guarded by
// bridge_lock.
static long long command_sent_at;

// Until the line has been quiet for a while, no command is written and what
// arrives is dropped: after a command was given up (its answer may still be
// on its way and must not be taken for the next command's), and, without a
// poll interval, after a report that filled its 100 bytes (its tail is not
// an answer either). Guarded by bridge_lock.
enum Settle { SETTLED, AFTER_TIMEOUT, AFTER_FULL_REPORT };
static Settle settling;
// Last byte read, or when settling began (monotonic, ms). Exchange thread.
static long long line_active_at;

// A line that a failure prints once per change of reason rather than at
// every retry: the router's log ring is small. Main (network) thread only.
struct RepeatedLine {
    const char *text;  // printed on stderr, before the reason when there is one
    char reason[128];  // empty when nothing is being counted
    char printed[160]; // the line as printed for that reason
    int repeats;
};
static RepeatedLine loop_stops = {"Network loop stopped", "", "", 0};
static RepeatedLine connect_failures = {"Connect failed", "", "", 0};

// Reconnection attempts since the last session, for the backoff between
// them. Main (network) thread only.
static unsigned int reconnect_attempts;

// Mid of this connection's SUBSCRIBE to "commands"; its SUBACK releases the
// login. Network thread only.
static int subscribe_mid;

// Read end and write end of the pipe that wakes the exchange thread in the
// event-driven mode; -1 otherwise.
static int wake_pipe[2] = {-1, -1};

static long long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// Wakes the exchange thread when it waits on the line; any thread.
static void exchange_wake(void) {
    if (wake_pipe[1] >= 0) {
        char b = 1;
        ssize_t n = write(wake_pipe[1], &b, 1); // a full pipe already wakes it
        (void)n;
    }
}

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

// Prints how often the counted reason repeated, if it did, and forgets it.
static void end_repeats(RepeatedLine *l) {
    if (l->repeats > 0)
        fprintf(stderr, "%s (repeated %d times)\n", l->printed, l->repeats);
    l->reason[0] = '\0';
    l->repeats = 0;
}

// Prints L's line when REASON differs from the one being counted (with
// DETAIL after the text when given), otherwise counts a repeat.
static void note_repeat(RepeatedLine *l, const char *reason, const char *detail) {
    if (l->reason[0] != '\0' && strcmp(reason, l->reason) == 0) {
        l->repeats++;
        return;
    }
    end_repeats(l);
    snprintf(l->reason, sizeof(l->reason), "%s", reason);
    if (detail)
        snprintf(l->printed, sizeof(l->printed), "%s: %s", l->text, detail);
    else
        snprintf(l->printed, sizeof(l->printed), "%s", l->text);
    fprintf(stderr, "%s\n", l->printed);
}

static void publish_login(struct mosquitto *m) {
    // Zero-filled so that a short ID sends zeros, not stack bytes, in the
    // fixed 55-byte payload.
    char login[LOGIN_LENGTH + 1];
    memset(login, 0, sizeof(login));
    snprintf(login, sizeof(login), "{\"ID\":\"%s\",\"login\":\"test\",\"pass\":\"vmzq\"}", ID);
    int mid = 0;
    int rc = bridge_publish(m, &mid, "login", LOGIN_LENGTH, login, 1, false);
    pthread_mutex_lock(&bridge_lock);
    outbox_login_published(rc, mid);
    pthread_mutex_unlock(&bridge_lock);
}

void my_connect_callback(struct mosquitto *m, void *obj, int result) {
    (void)obj;
    if (result != 0) {
        char reason[16];
        snprintf(reason, sizeof(reason), "%d", result);
        note_repeat(&connect_failures, reason, NULL);
        return;
    }
    end_repeats(&connect_failures);
    end_repeats(&loop_stops);
    reconnect_attempts = 0;
    // A clean session loses its subscriptions with every reconnection. The
    // login tells the remote that commands can be sent, so it waits for the
    // broker's SUBACK: a list sent in answer to it must find the
    // subscription in place.
    int mid = 0;
    if (mosquitto_subscribe(m, &mid, "commands", 1) == MOSQ_ERR_SUCCESS && mid != 0) {
        subscribe_mid = mid;
    } else {
        subscribe_mid = 0;
        publish_login(m);
    }
}

void my_subscribe_callback(struct mosquitto *m, void *obj, int mid, int qos_count,
                           const int *granted_qos) {
    (void)obj;
    if (subscribe_mid == 0 || mid != subscribe_mid)
        return;
    subscribe_mid = 0;
    // Refused (0x80): commands will not arrive on this session. The unit
    // still logs in, so that its reports are not held for good.
    if (qos_count < 1 || granted_qos[0] > 2)
        printf("Subscription to commands refused\n");
    publish_login(m);
}

void my_publish_callback(struct mosquitto *m, void *obj, int mid) {
    (void)m;
    (void)obj;
    pthread_mutex_lock(&bridge_lock);
    bool more = outbox_acknowledged(mid);
    pthread_mutex_unlock(&bridge_lock);
    if (more)
        exchange_wake();
}

void bridge_session_lost(void) {
    pthread_mutex_lock(&bridge_lock);
    outbox_session_lost();
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
    command_sent_at = now_ms();
    head_written = true;
    printf("WAITING FOR A SERIAL ACK !\n");
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

// The one place that decides whether the next queued command is written:
// only when none is outstanding, the line has settled, and no report is
// waiting or being read (it would be taken for the acknowledgement). When
// nothing is written the exchange is idle and takes the next report. Caller
// holds bridge_lock.
static void send_next_or_go_idle(void) {
    if (head_written || settling != SETTLED)
        return;
    if (queue.count > 0 && report_count == 0 && serial_available() == 0) {
        IDLE = 0;
        send_command();
    } else {
        IDLE = 1;
        if (queue.count == 0)
            release_free_memory();
    }
}

// Queues a command list; its first command goes out at once if the exchange
// is free for it. Commands that arrive while one is outstanding wait their
// turn: the report path sends them, so the device never gets a command
// twice and a report being awaited is not mistaken for noise.
static void take_command_list(char *text) {
    pthread_mutex_lock(&bridge_lock);
    tokenize_and_store_in_queue(text);
    if (queue.count >= LONG_QUEUE)
        queue_was_long = true;
    send_next_or_go_idle();
    pthread_mutex_unlock(&bridge_lock);
    exchange_wake(); // a deadline to watch, or a command to send once the line is quiet
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

// Logs and forgets the bytes dropped beyond the last report's 100. Caller
// holds bridge_lock.
static void log_dropped_bytes(void) {
    if (report_dropped)
        printf("DROPPED %d BYTES BEYOND A 100-BYTE REPORT\n", report_dropped);
    report_dropped = 0;
}

// The report read so far is whole: answer it, pass it on, and write the
// next command or go idle. Caller holds bridge_lock.
static void finish_report(void) {
    // A full report's tail is still coming: counted until the line settles.
    if (settling != AFTER_FULL_REPORT)
        log_dropped_bytes();
    if (report[0] == '!') {
        outbox_add("info", report);
        serial_print_string("#\n");
    } else {
        serial_print_string("#\n");
        printf("RECEIVED STATUS UPDATE FROM ARDUINO.\n");
        outbox_add("status_update", report);
        // A report that answers no command is still passed on, but there is
        // nothing to remove.
        if (head_written) {
            queue.pop(&queue);
            head_written = false;
        }
    }
    memset(report, 0, sizeof(report));
    report_count = 0;
    send_next_or_go_idle();
}

// Takes one byte of a report; beyond 100 bytes, counts it as dropped.
static void report_byte(int byte) {
    if (report_count < REPORT_SIZE)
        report[report_count++] = (unsigned char)byte;
    else
        report_dropped++;
}

// The line has been quiet long enough: commands may go out again. Caller
// holds bridge_lock.
static void end_settling(void) {
    log_dropped_bytes(); // after a timeout nothing was counted
    settling = SETTLED;
    send_next_or_go_idle();
}

// A byte while a command awaits its "#": true when it is the "#". Caller
// holds bridge_lock.
static bool ack_byte(int byte) {
    if (byte != '#') {
        printf("[%c] INSTEAD OF ACK\n", byte);
        return false;
    }
    printf("RECEIVED SERIAL_ACK\n");
    IDLE = 1;
    return true;
}

// A byte that arrived while the line settles. Caller holds bridge_lock.
static void settling_byte(int byte) {
    if (settling == AFTER_TIMEOUT)
        printf("[%c] INSTEAD OF ACK\n", byte);
    else
        report_dropped++;
}

// Event-driven, bytes are read as they come and never wait: a line that
// carried a byte within the last gap is still talking, and what it says may
// be the answer. Caller holds bridge_lock.
static bool line_talking(long long now) {
    return EVENT_DRIVEN && now - line_active_at < BRIDGE_REPORT_GAP_MS;
}

// With a command deadline set: gives up the written command at the head of
// the queue once it has gone unanswered that long, whether the "#" or the
// report is missing. Never while a byte is waiting or a report is being
// read, nor while the line is talking: that may be the answer. The next
// command waits until the line has settled. Caller holds bridge_lock.
static void expire_command(long long now) {
    if (BRIDGE_COMMAND_TIMEOUT_S <= 0 || !head_written)
        return;
    if (now - command_sent_at < BRIDGE_COMMAND_TIMEOUT_S * 1000LL)
        return;
    if (serial_available() > 0 || report_count > 0 || line_talking(now))
        return;
    printf("COMMAND TIMED OUT: %s\n", queue.peek(&queue));
    queue.pop(&queue);
    head_written = false;
    IDLE = 0;
    settling = AFTER_TIMEOUT;
    line_active_at = now;
}

// How long the line must have been quiet to end settling, in ms. After a
// deadline, a whole poll cycle (the default one without a poll interval: a
// late answer may come a good while after the deadline).
static long long settle_ms(void) {
    if (settling == AFTER_TIMEOUT)
        return EVENT_DRIVEN ? 100 : BRIDGE_POLL_INTERVAL_MS;
    return BRIDGE_REPORT_GAP_MS;
}

// One poll cycle's reading. Idle: whatever is waiting is one report.
// Awaiting acknowledgement: a "#" is taken and the rest discarded. Settling:
// a whole cycle without a byte ends it. Caller holds bridge_lock.
static void poll_line(long long now) {
    if (settling != SETTLED) {
        if (serial_available() == 0) {
            if (now - line_active_at >= settle_ms())
                end_settling();
            return;
        }
        line_active_at = now;
        while (serial_available())
            settling_byte(serial_read_byte());
    } else if (IDLE) {
        if (serial_available() == 0)
            return;
        while (serial_available())
            report_byte(serial_read_byte());
        finish_report();
    } else {
        while (serial_available()) {
            if (ack_byte(serial_read_byte()))
                serial_flush();
        }
    }
}

// The event-driven reading: every byte as it comes. The "#" is taken at once
// and what follows it is the start of the report; a report ends when the
// line has been quiet for the gap, or at 100 bytes. Caller holds bridge_lock.
static void read_line_events(long long now) {
    while (serial_available()) {
        int byte = serial_read_byte();
        line_active_at = now;
        if (settling != SETTLED) {
            settling_byte(byte);
        } else if (!IDLE) {
            ack_byte(byte);
        } else {
            report_byte(byte);
            if (report_count == REPORT_SIZE) {
                // Whole at 100 bytes; what follows it without a pause is its
                // tail, dropped, and no command goes out until it has ended.
                settling = AFTER_FULL_REPORT;
                finish_report();
            }
        }
    }
    if (settling != SETTLED && now - line_active_at >= settle_ms())
        end_settling();
    else if (settling == SETTLED && IDLE && report_count > 0 &&
             now - line_active_at >= BRIDGE_REPORT_GAP_MS)
        finish_report();
}

// Event-driven mode: how long the exchange thread may wait for the line or
// a wake-up before it has something to do, in ms; -1 for no limit. Caller
// holds bridge_lock.
static int next_wait_ms(long long now) {
    long long due = -1;
    if (settling != SETTLED)
        due = line_active_at + settle_ms();
    else if (IDLE && report_count > 0)
        due = line_active_at + BRIDGE_REPORT_GAP_MS;
    if (BRIDGE_COMMAND_TIMEOUT_S > 0 && head_written) {
        long long deadline = command_sent_at + BRIDGE_COMMAND_TIMEOUT_S * 1000LL;
        if (deadline < line_active_at + BRIDGE_REPORT_GAP_MS)
            deadline = line_active_at + BRIDGE_REPORT_GAP_MS; // see line_talking
        if (due < 0 || deadline < due)
            due = deadline;
    }
    // A publish the library refused is tried again a poll cycle later.
    if (outbox_can_hand_over() && (due < 0 || due > now + 100))
        due = now + 100;
    if (due < 0)
        return -1;
    return due <= now ? 0 : (int)(due - now);
}

static int exchange_wait_ms = -1; // exchange thread only

void serial_reads_cycle(void) {
    pthread_mutex_lock(&bridge_lock);
    long long now = now_ms();
    expire_command(now);
    outbox_hand_over();
    if (EVENT_DRIVEN) {
        read_line_events(now);
        exchange_wait_ms = next_wait_ms(now);
    } else {
        poll_line(now);
    }
    pthread_mutex_unlock(&bridge_lock);
}

// Event-driven mode: sleeps until a byte arrives, another thread wakes the
// loop, or the cycle's wait runs out.
static void wait_for_line(void) {
    struct pollfd fds[2] = {{sd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    if (poll(fds, 2, exchange_wait_ms) <= 0)
        return;
    if (fds[1].revents & POLLIN) {
        char drain[64];
        ssize_t n = read(wake_pipe[0], drain, sizeof(drain));
        (void)n;
    }
    // A line that hangs up stays readable without data: don't spin on it.
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN))
        usleep(100000);
}

void *serial_reads(void *arg) {
    (void)arg;
    static const struct timespec poll_interval = {BRIDGE_POLL_INTERVAL_MS / 1000,
                                                  (BRIDGE_POLL_INTERVAL_MS % 1000) * 1000000L};
    for (;;) {
        serial_reads_cycle();
        if (EVENT_DRIVEN)
            wait_for_line();
        else
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
    // Without a poll interval the thread sleeps on the line and on this pipe.
    if (EVENT_DRIVEN && pipe(wake_pipe) == 0) {
        fcntl(wake_pipe[0], F_SETFL, O_NONBLOCK);
        fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK);
    }
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

// Waits before the next reconnection attempt of the bridge's own: a second. With a
// maximum compiled in, the library's schedule (1, 4, 9, ... s up to the
// maximum), each wait drawn between its half and its whole so that a fleet
// that lost its broker at one instant does not come back in lockstep.
// Main thread only; the connect handler starts the schedule again.
static unsigned int jitter_seed;

static void retry_wait(void) {
    long long ms = 1000;
    if (BRIDGE_RECONNECT_DELAY_MAX_S > 0) {
        long long n = reconnect_attempts + 1;
        long long s = n * n < BRIDGE_RECONNECT_DELAY_MAX_S ? n * n : BRIDGE_RECONNECT_DELAY_MAX_S;
        if (n * n < BRIDGE_RECONNECT_DELAY_MAX_S)
            reconnect_attempts++;
        ms = s * 500 + rand_r(&jitter_seed) % (s * 500 + 1);
    }
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

// Units started together share their clock: the seed takes in the client id
// and the process id too.
static void seed_jitter(void) {
    unsigned int seed = (unsigned int)getpid() ^ (unsigned int)now_ms();
    for (const char *p = ID; *p; p++)
        seed = seed * 31 + (unsigned char)*p;
    jitter_seed = seed;
}

// Runs the network loop for the life of the process. The library gives up
// for good on TLS, DNS and protocol errors and on a link lost mid-TLS; a
// field unit must not, so each such return is logged and the session is
// started again after retry_wait, with the TLS settings checked first. While
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
            const char *reason = mosquitto_strerror(rc);
            note_repeat(&loop_stops, reason, reason);
        }
        retry_wait();
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
    mosquitto_subscribe_callback_set(mosq, my_subscribe_callback);
#if BRIDGE_RECONNECT_DELAY_MAX_S > 0
    mosquitto_reconnect_delay_set(mosq, 1, BRIDGE_RECONNECT_DELAY_MAX_S, true);
#endif
    seed_jitter();
    bool tls_ok = apply_tls();

    start_exchange_thread();
    run_session(tls_ok);

    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return 0;
}

#endif
