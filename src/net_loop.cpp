#include "net_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge.h"
#include "bridge_config.h"
#include "exchange.h"
#include "mosquitto-client.h"
#include "outbox.h"

#define LOGIN_LENGTH 55 // the login text with a 17-character ID, without its NUL

// How long a stop waits for the broker to acknowledge what is held: procd
// sends SIGKILL 5 s after its SIGTERM.
#define STOP_DRAIN_MS 3000
// How long a stop waits for the DISCONNECT to go out.
#define STOP_DISCONNECT_MS 1000

struct mosquitto *mosq;
int (*bridge_publish)(struct mosquitto *m, int *mid, const char *topic, int len,
                      const void *payload, int qos, bool retain) = mosquitto_publish;

// A line that a failure prints once per change of reason rather than at
// every retry: the router's log ring is small. Main thread only.
struct RepeatedLine {
    const char *text;  // printed on stderr, before the reason when there is one
    char reason[128];  // empty when nothing is being counted
    char printed[160]; // the line as printed for that reason
    int repeats;
};
static RepeatedLine loop_stops = {"Network loop stopped", "", "", 0};
static RepeatedLine connect_failures = {"Connect failed", "", "", 0};

// Everything below is the main thread's.

// Attempts since the last session, for the growing retry wait.
static unsigned int reconnect_attempts;
static unsigned int jitter_seed;

// Mid of this connection's SUBSCRIBE to "commands"; its SUBACK releases the
// login.
static int subscribe_mid;
// The broker's answer to this attempt's CONNECT; -1 before it.
static int connack_result;
// Why the library closed this attempt's socket, from the disconnect handler.
static int disconnect_rc;

// Result of the last mosquitto_tls_set, so that a retry that keeps failing
// the same way prints its message once.
static int tls_last_rc = MOSQ_ERR_SUCCESS;

// The first client, made at start-up.
static struct mosquitto *first_client;

// Wakes the loop's poll: a report to write, a stop to make. Written from
// the exchange thread and from the signal handler.
static int wake_pipe[2] = {-1, -1};
static volatile sig_atomic_t stop_requested;

static void net_wake(void) {
    if (wake_pipe[1] >= 0) {
        char b = 1;
        ssize_t n = write(wake_pipe[1], &b, 1); // a full pipe already wakes it
        (void)n;
    }
}

static void drain_wake_pipe(void) {
    char drain[64];
    while (read(wake_pipe[0], drain, sizeof(drain)) > 0) {
    }
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

// The library's text for RC, but for a keep-alive that went unanswered,
// which older versions call "Unknown error.".
static const char *end_reason(int rc) {
    if (rc == MOSQ_ERR_KEEPALIVE)
        return "No answer within the keep-alive";
    return mosquitto_strerror(rc);
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
    connack_result = result;
    if (result != 0) {
        char reason[16];
        snprintf(reason, sizeof(reason), "%d", result);
        note_repeat(&connect_failures, reason, NULL);
        return;
    }
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

void my_disconnect_callback(struct mosquitto *m, void *obj, int rc) {
    (void)m;
    (void)obj;
    disconnect_rc = rc;
    // The library logs nothing when a connection is lost.
    if (rc != 0)
        printf("Connection lost: %s\n", end_reason(rc));
}

void bridge_session_lost(void) {
    pthread_mutex_lock(&bridge_lock);
    outbox_client_gone();
    pthread_mutex_unlock(&bridge_lock);
}

int net_publish_report(const char *topic, const unsigned char *payload, int *mid) {
    // The session is up only while mosq is set: the outbox hands nothing
    // over between clients.
    int rc = bridge_publish(mosq, mid, topic, REPORT_SIZE, payload, 1, false);
    net_wake();
    return rc;
}

// Applies the TLS settings to M; true when the library accepted them. A
// rejected call leaves the client without a CA: it must not connect.
static bool apply_tls(struct mosquitto *m) {
    int rc = mosquitto_tls_set(m, BRIDGE_CA_FILE, NULL, BRIDGE_CERT_FILE, BRIDGE_KEY_FILE, NULL);
    if (rc != tls_last_rc) {
        if (rc == MOSQ_ERR_INVAL)
            printf("TLS input parameters are invalid.\n");
        else if (rc == MOSQ_ERR_NOMEM)
            printf("Out of memory.\n");
    }
    tls_last_rc = rc;
    return rc == MOSQ_ERR_SUCCESS;
}

// A client with every setting of an attempt; NULL when it can't be made.
// The TLS settings are checked here, so that no attempt goes without them.
static struct mosquitto *client_new(void) {
    struct mosquitto *m = mosquitto_new(ID, true, NULL);
    if (m == NULL)
        return NULL;
    // The exchange thread publishes: the library then only queues, and the
    // loop here writes.
    mosquitto_threaded_set(m, true);
#if LIBMOSQUITTO_VERSION_NUMBER >= 2000000
    // Without Nagle's algorithm: the first report after a command list would
    // otherwise wait for the broker's delayed ACK of the list's PUBACK.
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
#endif
    mosquitto_log_callback_set(m, my_log_callback);
    mosquitto_connect_callback_set(m, my_connect_callback);
    mosquitto_message_callback_set(m, my_message_callback);
    mosquitto_disconnect_callback_set(m, my_disconnect_callback);
    mosquitto_publish_callback_set(m, my_publish_callback);
    mosquitto_subscribe_callback_set(m, my_subscribe_callback);
    return m;
}

// The client is done with: its unacknowledged reports go back to the
// outbox, and the exchange thread no longer publishes through it.
static void client_destroy(struct mosquitto *m) {
    pthread_mutex_lock(&bridge_lock);
    if (mosq == m)
        mosq = NULL;
    outbox_client_gone();
    pthread_mutex_unlock(&bridge_lock);
    mosquitto_destroy(m);
}

// The attempt or session ended for REASON: logged once per change.
static void attempt_ended(const char *reason) {
    note_repeat(&loop_stops, reason, reason);
}

// A login was acknowledged: the quiet-log counts end and the retry schedule
// starts again.
static void session_began(void) {
    end_repeats(&connect_failures);
    end_repeats(&loop_stops);
    reconnect_attempts = 0;
}

static bool session_up(void) {
    pthread_mutex_lock(&bridge_lock);
    bool up = outbox_session_up();
    pthread_mutex_unlock(&bridge_lock);
    return up;
}

// True once the stop may go on: nothing held or in flight is left to
// deliver. Hands over what the window allows meanwhile.
static bool delivered_all(void) {
    pthread_mutex_lock(&bridge_lock);
    outbox_hand_over();
    bool done = outbox_held() == 0 && outbox_in_flight() == 0;
    pthread_mutex_unlock(&bridge_lock);
    return done;
}

// The reason a socket failed, from its pending error.
static const char *socket_error(int fd) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err == 0)
        return mosquitto_strerror(MOSQ_ERR_CONN_LOST);
    return strerror(err);
}

// One wait on M's socket and the wake-up pipe, at most TIMEOUT_MS, then the
// library's read, write and housekeeping steps. Returns NULL while the
// client goes on, or the reason it ended.
static const char *client_step(struct mosquitto *m, int timeout_ms) {
    int fd = mosquitto_socket(m);
    if (fd < 0)
        return end_reason(disconnect_rc ? disconnect_rc : MOSQ_ERR_CONN_LOST);
    // Under the lock: the exchange thread queues publishes on this client.
    pthread_mutex_lock(&bridge_lock);
    short events = POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0);
    pthread_mutex_unlock(&bridge_lock);
    struct pollfd fds[2] = {{fd, events, 0}, {wake_pipe[0], POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR)
        return strerror(errno);
    if (fds[1].revents & POLLIN)
        drain_wake_pipe();
    short failed = fds[0].revents & (POLLERR | POLLHUP | POLLNVAL);
    // What the peer sent before it failed is still the library's to read (a
    // refusal's CONNACK, say); then the attempt ends, whatever the library
    // makes of the socket: some versions spin on a reset handshake.
    if (failed && !(fds[0].revents & POLLIN))
        return socket_error(fd);
    const char *why = failed ? socket_error(fd) : NULL;
    errno = 0;
    int rc = mosquitto_loop(m, 0, 1);
    if (why)
        return why;
    if (rc != MOSQ_ERR_SUCCESS)
        return end_reason(disconnect_rc ? disconnect_rc : rc);
    if (mosquitto_socket(m) < 0)
        return end_reason(disconnect_rc ? disconnect_rc : MOSQ_ERR_CONN_LOST);
    return NULL;
}

static int ms_until(long long due, long long now, int cap) {
    long long left = due - now;
    if (left < 0)
        return 0;
    return left < cap ? (int)left : cap;
}

// Runs M from its connection attempt to the end of its session. Returns
// when the attempt or session ended (logged), or, once a stop is requested,
// when what was held is delivered or the stop's wait is over.
static void run_client(struct mosquitto *m) {
    connack_result = -1;
    disconnect_rc = 0;
    subscribe_mid = 0;
    pthread_mutex_lock(&bridge_lock);
    mosq = m;
    pthread_mutex_unlock(&bridge_lock);

    long long started = now_ms();
    int rc = mosquitto_connect_async(m, BRIDGE_BROKER_HOST, BRIDGE_BROKER_PORT, BRIDGE_KEEPALIVE);
    if (rc != MOSQ_ERR_SUCCESS) {
        attempt_ended(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
        return;
    }
    bool had_session = false;
    long long stop_by = 0;
    for (;;) {
        long long now = now_ms();
        bool up = session_up();
        if (up && !had_session) {
            had_session = true;
            session_began();
        }
        int wait = 1000; // the library's keep-alive is checked at least this often
        if (stop_requested) {
            if (!up)
                return;
            if (stop_by == 0)
                stop_by = now + STOP_DRAIN_MS;
            if (delivered_all() || now >= stop_by)
                return;
            wait = ms_until(stop_by, now, wait);
        } else if (!had_session) {
            long long deadline = started + BRIDGE_CONNECT_TIMEOUT_S * 1000LL;
            if (now >= deadline) {
                attempt_ended("Connection setup timed out");
                return;
            }
            wait = ms_until(deadline, now, wait);
        }
        const char *why = client_step(m, wait);
        if (why) {
            // A refused CONNECT has its own line already.
            if (connack_result <= 0)
                attempt_ended(why);
            return;
        }
    }
}

// Waits before the next attempt: a second, or with a maximum compiled in
// the growing schedule (1, 4, 9, ... s up to the maximum), each wait drawn
// between its half and its whole so that a fleet that lost its broker at
// one instant does not come back in lockstep. A stop ends the wait.
static void retry_wait(void) {
    long long s = 1;
    if (BRIDGE_RECONNECT_DELAY_MAX_S > 0) {
        long long n = reconnect_attempts + 1;
        s = n * n < BRIDGE_RECONNECT_DELAY_MAX_S ? n * n : BRIDGE_RECONNECT_DELAY_MAX_S;
        if (n * n < BRIDGE_RECONNECT_DELAY_MAX_S)
            reconnect_attempts++;
    }
    long long ms = s * 500 + rand_r(&jitter_seed) % (s * 500 + 1);
    long long until = now_ms() + ms;
    for (long long now = now_ms(); now < until && !stop_requested; now = now_ms()) {
        struct pollfd fd = {wake_pipe[0], POLLIN, 0};
        if (poll(&fd, 1, (int)(until - now)) > 0)
            drain_wake_pipe();
    }
}

// Pumps M until its DISCONNECT is out and the library has closed the socket,
// or STOP_DISCONNECT_MS have passed.
static void disconnect_cleanly(struct mosquitto *m) {
    if (mosquitto_disconnect(m) != MOSQ_ERR_SUCCESS)
        return;
    long long until = now_ms() + STOP_DISCONNECT_MS;
    for (long long now = now_ms(); now < until; now = now_ms()) {
        if (client_step(m, ms_until(until, now, 100)))
            return;
    }
}

// The stop: no more commands, the exchange thread ends, a DISCONNECT when a
// session is up, and the count of reports the broker never acknowledged.
static void stop_cleanly(struct mosquitto *m) {
    pthread_mutex_lock(&bridge_lock);
    exchange_hold_commands();
    pthread_mutex_unlock(&bridge_lock);
    exchange_stop();
    if (m && session_up())
        disconnect_cleanly(m);
    pthread_mutex_lock(&bridge_lock);
    int undelivered = outbox_held() + outbox_in_flight();
    pthread_mutex_unlock(&bridge_lock);
    printf("STOPPING: %d REPORTS UNDELIVERED\n", undelivered);
    if (m)
        client_destroy(m);
}

// Units started together share their clock: the seed takes in the client id
// and the process id too.
static void seed_jitter(void) {
    unsigned int seed = (unsigned int)getpid() ^ (unsigned int)now_ms();
    for (const char *p = ID; *p; p++)
        seed = seed * 31 + (unsigned char)*p;
    jitter_seed = seed;
}

bool net_init(void) {
    if (pipe(wake_pipe) == 0) {
        fcntl(wake_pipe[0], F_SETFL, O_NONBLOCK);
        fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK);
    }
    seed_jitter();
    outbox_set_publisher(net_publish_report);
    first_client = client_new();
    return first_client != NULL;
}

void net_request_stop(void) {
    stop_requested = 1;
    net_wake();
}

void net_run(void) {
    struct mosquitto *m = first_client;
    first_client = NULL;
    while (!stop_requested) {
        if (m == NULL)
            m = client_new();
        if (m && apply_tls(m)) {
            run_client(m);
            if (stop_requested)
                break;
        }
        if (m)
            client_destroy(m);
        m = NULL;
        retry_wait();
    }
    stop_cleanly(m);
}
