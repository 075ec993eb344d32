#include "net_loop.h"

#include <errno.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bridge.h"
#include "exchange.h"
#include "outbox.h"
#include "session.h"
#include "settings.h"
#include "wake.h"

// How long a stop waits for the broker to acknowledge what is held: procd
// sends SIGKILL 5 s after its SIGTERM.
#define STOP_DRAIN_MS 3000
// How long a stop waits for the broker to acknowledge the unit's "offline".
#define STOP_OFFLINE_MS 500
// How long a stop waits for the DISCONNECT to go out: with the drain, the
// "offline" and the exchange thread's last cycle, still within procd's 5 s.
#define STOP_DISCONNECT_MS 500

// Everything below is the main thread's.

// Attempts since the last session, for the growing retry wait.
static unsigned int reconnect_attempts;
static unsigned int jitter_seed;

// The first client, made at start-up.
static struct mosquitto *first_client;

// Wakes the loop's poll: a report to write, a stop to make. Written from
// the exchange thread and from the signal handler.
static struct Wake wake = WAKE_INIT;
static volatile sig_atomic_t stop_requested;

static void net_wake(void) {
    wake_signal(&wake);
}

int net_publish_report(const char *topic, const unsigned char *payload, int *mid) {
    // The session is up only while mosq is set: the outbox hands nothing
    // over between clients.
    int rc = bridge_publish(mosq, mid, topic, REPORT_SIZE, payload, 1, false);
    net_wake();
    return rc;
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

// A stop has begun: the device gets no new command.
static void hold_commands(void) {
    pthread_mutex_lock(&bridge_lock);
    exchange_hold_commands();
    pthread_mutex_unlock(&bridge_lock);
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
        return session_end_reason(session_disconnect_rc() ? session_disconnect_rc()
                                                          : MOSQ_ERR_CONN_LOST);
    // Under the lock: the exchange thread queues publishes on this client.
    pthread_mutex_lock(&bridge_lock);
    short events = POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0);
    pthread_mutex_unlock(&bridge_lock);
    struct pollfd fds[2] = {{fd, events, 0}, {wake.fds[0], POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR)
        return strerror(errno);
    if (fds[1].revents & POLLIN)
        wake_take(&wake);
    short failed = fds[0].revents & (POLLERR | POLLHUP | POLLNVAL);
    // What the peer sent before it failed is still the library's to read (a
    // refusal's CONNACK, say); then the attempt ends, whatever the library
    // makes of the socket: some versions spin on a reset handshake.
    if (failed && !(fds[0].revents & POLLIN))
        return socket_error(fd);
    const char *why = failed ? socket_error(fd) : NULL;
    errno = 0;
    int rc = mosquitto_loop(m, 0, 1);
    // The library's reason, when it has one, says more than the socket's
    // (a TLS alert ahead of the reset, say).
    if (why && rc == MOSQ_ERR_SUCCESS)
        return why;
    if (rc != MOSQ_ERR_SUCCESS)
        return session_end_reason(session_disconnect_rc() ? session_disconnect_rc() : rc);
    if (mosquitto_socket(m) < 0)
        return session_end_reason(session_disconnect_rc() ? session_disconnect_rc()
                                                          : MOSQ_ERR_CONN_LOST);
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
    session_attempt_began();
    pthread_mutex_lock(&bridge_lock);
    mosq = m;
    pthread_mutex_unlock(&bridge_lock);

    long long started = now_ms();
    int rc =
        mosquitto_connect_async(m, settings.broker_host, settings.broker_port, settings.keepalive);
    if (rc != MOSQ_ERR_SUCCESS) {
        session_ended(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
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
            session_announce(m, true);
            reconnect_attempts = 0;
        }
        int wait = 1000; // the library's keep-alive is checked at least this often
        if (stop_requested) {
            if (!up)
                return;
            if (stop_by == 0) {
                stop_by = now + STOP_DRAIN_MS;
                hold_commands();
            }
            if (delivered_all() || now >= stop_by)
                return;
            wait = ms_until(stop_by, now, wait);
        } else if (!had_session) {
            long long deadline = started + settings.connect_timeout_s * 1000LL;
            if (now >= deadline) {
                session_ended("Connection setup timed out");
                return;
            }
            wait = ms_until(deadline, now, wait);
        }
        const char *why = client_step(m, wait);
        if (why) {
            // A refused CONNECT has its own line already.
            if (!session_refused())
                session_ended(why);
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
    if (settings.reconnect_delay_max_s > 0) {
        long long n = reconnect_attempts + 1;
        s = n * n < settings.reconnect_delay_max_s ? n * n : settings.reconnect_delay_max_s;
        if (n * n < settings.reconnect_delay_max_s)
            reconnect_attempts++;
    }
    long long ms = s * 500 + rand_r(&jitter_seed) % (s * 500 + 1);
    long long until = now_ms() + ms;
    for (long long now = now_ms(); now < until && !stop_requested; now = now_ms()) {
        struct pollfd fd = {wake.fds[0], POLLIN, 0};
        if (poll(&fd, 1, (int)(until - now)) > 0)
            wake_take(&wake);
    }
}

// Publishes the unit's "offline" and pumps M until the broker acknowledged
// it or STOP_OFFLINE_MS have passed: the clean DISCONNECT that follows
// suppresses the will.
static void announce_offline(struct mosquitto *m) {
    session_announce(m, false);
    long long until = now_ms() + STOP_OFFLINE_MS;
    for (long long now = now_ms(); !session_offline_delivered() && now < until; now = now_ms()) {
        if (client_step(m, ms_until(until, now, 100)))
            return;
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

// The stop: no more commands, the exchange thread ends, the unit's
// "offline" and a DISCONNECT when a session is up, and the counts of the
// commands never sent and the reports the broker never acknowledged.
static void stop_cleanly(struct mosquitto *m) {
    hold_commands();
    exchange_stop();
    if (m && session_up()) {
        announce_offline(m);
        disconnect_cleanly(m);
    }
    pthread_mutex_lock(&bridge_lock);
    int undelivered = outbox_held() + outbox_in_flight();
    int not_sent = exchange_commands_not_sent();
    pthread_mutex_unlock(&bridge_lock);
    printf("STOPPING: %d COMMANDS NOT SENT\n", not_sent);
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
    wake_open(&wake);
    seed_jitter();
    outbox_set_publisher(net_publish_report);
    first_client = session_client_new();
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
            m = session_client_new();
        if (m && session_apply_tls(m)) {
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
