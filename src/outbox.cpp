#include "outbox.h"

#include <mosquitto.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "settings.h"

// Everything below is guarded by bridge_lock.

struct Report {
    const char *topic;
    unsigned char payload[REPORT_SIZE];
    int mid; // while in flight: its message id
    Report *next;
};

// A first-in, first-out list of reports.
struct ReportList {
    Report *head, *tail;
    int count;
};

static ReportList held;      // waiting to be handed over, oldest first
static ReportList in_flight; // handed over, awaiting their PUBACK, in the order handed over

static outbox_publisher publisher;

// Reports dropped for newer ones since the last "DROPPED" line, and whether
// the first drop of this loss has been logged already.
static int dropped;
static bool drop_logged;

// The session counts as up only once the broker has acknowledged this
// connection's login: a report handed over earlier could go ahead of it.
static bool session_up;
static int login_mid;      // mid of the login whose PUBACK opens the session; 0 when none
static bool announce_held; // the session just came up with reports held

static void list_append(ReportList *l, Report *r) {
    r->next = NULL;
    if (l->tail)
        l->tail->next = r;
    else
        l->head = r;
    l->tail = r;
    l->count++;
}

static Report *list_take_head(ReportList *l) {
    Report *r = l->head;
    l->head = r->next;
    if (l->head == NULL)
        l->tail = NULL;
    l->count--;
    return r;
}

static void log_drops(void) {
    if (dropped > 0)
        printf("DROPPED %d HELD REPORTS\n", dropped);
    dropped = 0;
}

// Drops the oldest held report, counting it; returns its node for reuse.
static Report *drop_oldest(void) {
    Report *r = list_take_head(&held);
    dropped++;
    if (!drop_logged) {
        log_drops(); // shows in the log when the loss began
        drop_logged = true;
    }
    return r;
}

void outbox_set_publisher(outbox_publisher publish) {
    publisher = publish;
}

void outbox_add(const char *topic, const unsigned char *payload) {
    Report *r;
    if (held.count >= settings.held_reports_max) {
        r = drop_oldest(); // full: its node carries the new report
    } else {
        r = (Report *)malloc(sizeof(Report));
        if (r == NULL) {
            printf("Out of memory, report dropped.\n");
            return;
        }
    }
    r->topic = topic;
    memcpy(r->payload, payload, REPORT_SIZE);
    r->mid = 0;
    list_append(&held, r);
    outbox_hand_over();
}

bool outbox_can_hand_over(void) {
    return session_up && held.head != NULL && in_flight.count < OUTBOX_WINDOW;
}

void outbox_hand_over(void) {
    if (!outbox_can_hand_over())
        return;
    if (announce_held) {
        printf("PUBLISHING %d REPORTS HELD WHILE OFFLINE\n", held.count);
        log_drops();
        announce_held = false;
    }
    while (outbox_can_hand_over()) {
        Report *r = held.head;
        int mid = 0;
        int rc = publisher(r->topic, r->payload, &mid);
        // NO_CONN: the library has queued it, and the link is going; the
        // report stays in flight and comes back when the client is torn
        // down. Anything else it refused stays held for the next cycle.
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
            return;
        list_take_head(&held);
        r->mid = mid;
        list_append(&in_flight, r);
    }
    if (held.head == NULL) {
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
        announce_held = held.head != NULL;
    }
}

// Removes the in-flight report MID (acknowledgements may come out of order);
// true when there was one.
static bool settle_in_flight(int mid) {
    Report *prev = NULL;
    for (Report *r = in_flight.head; r; prev = r, r = r->next) {
        if (r->mid != mid)
            continue;
        if (prev)
            prev->next = r->next;
        else
            in_flight.head = r->next;
        if (in_flight.tail == r)
            in_flight.tail = prev;
        in_flight.count--;
        free(r);
        return true;
    }
    return false;
}

bool outbox_acknowledged(int mid) {
    if (login_mid != 0 && mid == login_mid) {
        session_up = true;
        login_mid = 0;
        announce_held = held.head != NULL;
        return outbox_can_hand_over();
    }
    if (mid != 0 && settle_in_flight(mid))
        return outbox_can_hand_over();
    return false;
}

void outbox_client_gone(void) {
    session_up = false;
    login_mid = 0;
    if (in_flight.head == NULL)
        return;
    // Back to the head, in the order they were handed over: they were read
    // before everything still held.
    in_flight.tail->next = held.head;
    if (held.head == NULL)
        held.tail = in_flight.tail;
    held.head = in_flight.head;
    held.count += in_flight.count;
    in_flight.head = in_flight.tail = NULL;
    in_flight.count = 0;
    while (held.count > settings.held_reports_max)
        free(drop_oldest());
}

bool outbox_session_up(void) {
    return session_up;
}

int outbox_held(void) {
    return held.count;
}

int outbox_in_flight(void) {
    return in_flight.count;
}
