// Driving the bridge core in process, shared by the in-process tests and the
// fuzz targets: publishes recorded instead of sent, messages delivered the
// way libmosquitto delivers them, and the queue read out.
#ifndef BRIDGE_TESTS_PROBE_H
#define BRIDGE_TESTS_PROBE_H

#include <mosquitto.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "mosquitto-client.h"

struct Published {
    std::string topic;
    std::string payload;
    int len;
    int qos;
    bool retain;
};

// What bridge_publish was asked to send, once it points at record_publish.
inline std::vector<Published> published;
inline int last_mid; // message id given to the last recorded publish

inline int record_publish(struct mosquitto *, int *mid, const char *topic, int len,
                          const void *payload, int qos, bool retain) {
    published.push_back(
        {topic, std::string((const char *)payload, len > 0 ? len : 0), len, qos, retain});
    if (mid)
        *mid = ++last_mid;
    return MOSQ_ERR_SUCCESS;
}

// An accepted connection as the library reports it: the connect handler
// publishes the login, then its PUBACK arrives. Reports go out from then on.
inline void session_up(void) {
    my_connect_callback(NULL, NULL, 0);
    my_publish_callback(NULL, NULL, last_mid);
}

// Delivers a message as libmosquitto does: the topic as a C string, the
// payload in a buffer of exactly its length plus a trailing NUL, or a null
// payload when it is empty. Heap buffers of exact size let ASan catch any
// read past them.
inline void deliver(const std::string &topic, const unsigned char *payload, size_t len) {
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
