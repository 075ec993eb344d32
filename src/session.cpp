#include "session.h"

#include <errno.h>
#include <mosquitto.h>
#include <stdio.h>
#include <string.h>

#include "bridge.h"
#include "exchange.h"
#include "mosquitto-client.h"
#include "outbox.h"
#include "settings.h"
#include "topics.h"

#define LOGIN_LENGTH 55 // the login text with a 17-character ID, without its NUL

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

// Mid of this connection's SUBSCRIBE to the commands topic; its SUBACK
// releases the login.
static int subscribe_mid;
// The broker's answer to this attempt's CONNECT; -1 before it.
static int connack_result;
// Why the library closed this attempt's socket, from the disconnect handler.
static int disconnect_rc;

// Mid of the "offline" published at a clean stop, and whether the broker
// acknowledged it.
static int offline_mid;
static bool offline_acknowledged;

// Result of the last mosquitto_tls_set, so that a retry that keeps failing
// the same way prints its message once.
static int tls_last_rc = MOSQ_ERR_SUCCESS;

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
const char *session_end_reason(int rc) {
    if (rc == MOSQ_ERR_KEEPALIVE)
        return "No answer within the keep-alive";
    // Every TLS failure leaves EPROTO; some versions report a failed
    // handshake as that errno rather than as a TLS error, and a reason that
    // flips between the two would print a line per attempt.
    if (rc == MOSQ_ERR_ERRNO && errno == EPROTO)
        rc = MOSQ_ERR_TLS;
    return mosquitto_strerror(rc);
}

static void publish_login(struct mosquitto *m) {
    // Zero-filled so that a short ID sends zeros, not stack bytes, in the
    // fixed 55-byte payload.
    char login[LOGIN_LENGTH + 1];
    memset(login, 0, sizeof(login));
    snprintf(login, sizeof(login), "{\"ID\":\"%s\",\"login\":\"test\",\"pass\":\"vmzq\"}", ID);
    int mid = 0;
    int rc = bridge_publish(m, &mid, topic_login, LOGIN_LENGTH, login, 1, false);
    pthread_mutex_lock(&bridge_lock);
    outbox_login_published(rc, mid);
    pthread_mutex_unlock(&bridge_lock);
}

// The broker's CONNACK flags say whether it kept this unit's session, which
// my_connect_callback does not learn.
static void my_connect_flags_callback(struct mosquitto *m, void *obj, int result, int flags) {
    if (result == 0)
        intake_connection_began(!settings.clean_session && (flags & 1));
    my_connect_callback(m, obj, result);
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
    // A clean session loses its subscriptions with every reconnection; a
    // kept one is subscribed again all the same (the broker may have lost
    // it). The login tells the remote that commands can be sent, so it waits
    // for the broker's SUBACK: a list sent in answer to it must find the
    // subscription in place.
    int mid = 0;
    if (mosquitto_subscribe(m, &mid, topic_commands, 1) == MOSQ_ERR_SUCCESS && mid != 0) {
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
    if (offline_mid != 0 && mid == offline_mid) {
        offline_acknowledged = true;
        return;
    }
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
        printf("Connection lost: %s\n", session_end_reason(rc));
}

bool session_apply_tls(struct mosquitto *m) {
    int rc =
        mosquitto_tls_set(m, settings.ca_file, NULL, settings.cert_file, settings.key_file, NULL);
    if (rc != tls_last_rc) {
        if (rc == MOSQ_ERR_INVAL)
            printf("TLS input parameters are invalid.\n");
        else if (rc == MOSQ_ERR_NOMEM)
            printf("Out of memory.\n");
    }
    tls_last_rc = rc;
    return rc == MOSQ_ERR_SUCCESS;
}

struct mosquitto *session_client_new(void) {
    // Without a clean session the broker keeps the subscription and queues
    // the lists sent while the unit is away, under its fixed id.
    struct mosquitto *m = mosquitto_new(ID, settings.clean_session, NULL);
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
    // Retained, so that whoever subscribes later learns the unit's state; the
    // broker publishes it when the link is lost without a DISCONNECT.
    if (settings.availability &&
        mosquitto_will_set(m, topic_availability, 7, "offline", 1, true) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(m);
        return NULL;
    }
    mosquitto_log_callback_set(m, my_log_callback);
    mosquitto_connect_with_flags_callback_set(m, my_connect_flags_callback);
    mosquitto_message_callback_set(m, my_message_callback);
    mosquitto_disconnect_callback_set(m, my_disconnect_callback);
    mosquitto_publish_callback_set(m, my_publish_callback);
    mosquitto_subscribe_callback_set(m, my_subscribe_callback);
    return m;
}

void session_ended(const char *reason) {
    note_repeat(&loop_stops, reason, reason);
}

void session_began(void) {
    end_repeats(&connect_failures);
    end_repeats(&loop_stops);
}

void session_announce(struct mosquitto *m, bool online) {
    if (!settings.availability)
        return;
    const char *state = online ? "online" : "offline";
    int mid = 0;
    int rc = bridge_publish(m, &mid, topic_availability, (int)strlen(state), state, 1, true);
    if (!online) {
        offline_mid = rc == MOSQ_ERR_SUCCESS ? mid : 0;
        offline_acknowledged = false;
    }
}

bool session_offline_delivered(void) {
    return offline_mid == 0 || offline_acknowledged;
}

void session_attempt_began(void) {
    subscribe_mid = 0;
    offline_mid = 0;
    connack_result = -1;
    disconnect_rc = 0;
}

bool session_refused(void) {
    return connack_result > 0;
}

int session_disconnect_rc(void) {
    return disconnect_rc;
}
