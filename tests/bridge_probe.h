// Driving the bridge core in process, shared by the in-process tests, the
// fuzz targets and the in-process benchmark: the serial line on a pty, publishes recorded instead
// of sent, messages delivered the way libmosquitto delivers them, and the queue read out.
#ifndef BRIDGE_TESTS_PROBE_H
#define BRIDGE_TESTS_PROBE_H

#include <mosquitto.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bridge.h"
#include "exchange.h"
#include "mosquitto-client.h"
#include "net_loop.h"
#include "outbox.h"
#include "pty_line.h"
#include "serial.h"
#include "session.h"

// Opens the bridge's serial port on the slave of a fresh pty, by its path as
// the bridge opens /dev/ttyATH0, and returns the master, where the test
// plays the device. serial_begin sleeps to let the line settle.
inline int line_open(void) {
    simfw::PtyPair pty = simfw::PtyPair::open();
    serial_begin(pty.slave_path.c_str(), 115200);
    int master = pty.master;
    pty.master = -1; // the bridge keeps its own descriptor of the slave
    return master;
}

// The device writes N bytes to MASTER; true once the bridge's side sees them
// all, within 2 s (the pty hands them over asynchronously).
inline bool device_writes(int master, const void *bytes, size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int before = serial_available();
    if (!simfw::write_all(master, (const char *)bytes, n, std::chrono::seconds(2)))
        return false;
    while (serial_available() < before + (int)n) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(50);
    }
    return true;
}

struct Published {
    std::string topic;
    std::string payload;
    int len;
    int qos;
    bool retain;
};

// What bridge_publish was asked to send, once it points at record_publish.
inline std::vector<Published> published;
inline int last_mid;                       // message id given to the last recorded publish
inline std::vector<int> reports_in_flight; // mids of recorded reports not yet acknowledged

inline int record_publish(struct mosquitto *, int *mid, const char *topic, int len,
                          const void *payload, int qos, bool retain) {
    published.push_back(
        {topic, std::string((const char *)payload, len > 0 ? len : 0), len, qos, retain});
    if (mid)
        *mid = ++last_mid;
    if (strcmp(topic, "login") != 0)
        reports_in_flight.push_back(last_mid);
    return MOSQ_ERR_SUCCESS;
}

// The broker acknowledges every recorded report, as a live one does between
// two poll cycles: the outbox's window opens again.
inline void acknowledge_publishes(void) {
    for (int mid : reports_in_flight)
        my_publish_callback(NULL, NULL, mid);
    reports_in_flight.clear();
}

// An accepted connection as the library reports it: the connect handler
// publishes the login (without a client to subscribe with, at once), then
// its PUBACK arrives.
inline void session_up(void) {
    outbox_set_publisher(net_publish_report);
    my_connect_callback(NULL, NULL, 0);
    my_publish_callback(NULL, NULL, last_mid);
}

// Delivers a message as libmosquitto does: the topic as a C string, the
// payload in a buffer of exactly its length plus a trailing NUL, or a null
// payload when it is empty. Heap buffers of exact size let ASan catch any
// read past them. MID is the packet id the broker gave it.
inline void deliver(const std::string &topic, const unsigned char *payload, size_t len,
                    int mid = 0) {
    char *t = strdup(topic.c_str());
    char *p = NULL;
    if (len > 0) {
        p = (char *)malloc(len + 1);
        memcpy(p, payload, len);
        p[len] = '\0';
    }
    struct mosquitto_message msg;
    memset(&msg, 0, sizeof(msg));
    msg.topic = t;
    msg.payload = p;
    msg.payloadlen = (int)len;
    msg.qos = 1;
    msg.mid = mid;
    my_message_callback(NULL, NULL, &msg);
    free(p);
    free(t);
}

// The queued command texts, head first.
inline std::vector<std::string> queued(void) {
    std::vector<std::string> out;
    for (Node *n = queue.head; n; n = n->next)
        out.push_back(n->data);
    return out;
}

#endif
