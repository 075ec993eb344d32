#include "outbox.h"

#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "bridge_config.h"
#include "mosquitto-client.h"

// Everything below is guarded by bridge_lock.

struct HeldReport {
    const char *topic;
    unsigned char payload[REPORT_SIZE];
    HeldReport *next;
};
static HeldReport *held_head, *held_tail;
static int held_count;

// Reports dropped for newer ones since the last "DROPPED" line, and whether
// the first drop of this loss has been logged already.
static int dropped;
static bool drop_logged;

// The session counts as up only once the broker has acknowledged this
// connection's login: on reconnection the library re-sends what it already
// held as soon as the broker accepts, and a report handed over before the
// login's acknowledgement could go ahead of the login.
static bool session_up;
static int login_mid;      // mid of the login whose PUBACK opens the session; 0 when none
static bool announce_held; // the session just came up with reports held

static int in_flight[OUTBOX_WINDOW]; // mids handed over and not yet acknowledged
static int in_flight_count;

static void log_drops(void) {
    if (dropped > 0)
        printf("DROPPED %d HELD REPORTS\n", dropped);
    dropped = 0;
}

void outbox_add(const char *topic, const unsigned char *payload) {
    HeldReport *held;
    if (held_count >= BRIDGE_HELD_REPORTS_MAX) {
        // Full: the oldest makes room, and its node carries the new report.
        held = held_head;
        held_head = held->next;
        if (held_head == NULL)
            held_tail = NULL;
        held_count--;
        dropped++;
        if (!drop_logged) {
            log_drops(); // shows in the log when the loss began
            drop_logged = true;
        }
    } else {
        held = (HeldReport *)malloc(sizeof(HeldReport));
        if (held == NULL) {
            printf("Out of memory, report dropped.\n");
            return;
        }
    }
    held->topic = topic;
    memcpy(held->payload, payload, REPORT_SIZE);
    held->next = NULL;
    if (held_tail)
        held_tail->next = held;
    else
        held_head = held;
    held_tail = held;
    held_count++;
    outbox_hand_over();
}

bool outbox_can_hand_over(void) {
    return session_up && held_head != NULL && in_flight_count < OUTBOX_WINDOW;
}

void outbox_hand_over(void) {
    if (!outbox_can_hand_over())
        return;
    if (announce_held) {
        printf("PUBLISHING %d REPORTS HELD WHILE OFFLINE\n", held_count);
        log_drops();
        announce_held = false;
    }
    while (outbox_can_hand_over()) {
        HeldReport *held = held_head;
        int mid = 0;
        int rc = bridge_publish(mosq, &mid, held->topic, REPORT_SIZE, held->payload, 1, false);
        // NO_CONN: the library has queued it and sends it once connected
        // (publishing it again would make a duplicate). Anything else it
        // refused stays here for the next cycle.
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
            return;
        if (mid != 0)
            in_flight[in_flight_count++] = mid;
        held_head = held->next;
        if (held_head == NULL)
            held_tail = NULL;
        held_count--;
        free(held);
    }
    if (held_head == NULL) {
        // Caught up: the loss, if any, is over.
        log_drops();
        drop_logged = false;
    }
}

void outbox_login_published(int rc, int mid) {
    login_mid = mid;
    // A login the library did not take will never be acknowledged; held
    // reports must not wait for that until the next reconnection.
    if (rc != MOSQ_ERR_SUCCESS || mid == 0) {
        session_up = true;
        announce_held = held_head != NULL;
    }
}

bool outbox_acknowledged(int mid) {
    if (login_mid != 0 && mid == login_mid) {
        session_up = true;
        login_mid = 0;
        announce_held = held_head != NULL;
        return outbox_can_hand_over();
    }
    for (int i = 0; i < in_flight_count; i++) {
        if (in_flight[i] == mid) {
            in_flight[i] = in_flight[--in_flight_count];
            return outbox_can_hand_over();
        }
    }
    return false;
}

void outbox_session_lost(void) {
    // The reports in flight stay counted: the library keeps them and re-sends
    // them on reconnection, and their acknowledgements free the window then.
    session_up = false;
    login_mid = 0;
}

int outbox_held(void) {
    return held_count;
}
