// The remote party on the broker: a libmosquitto client that records what
// it receives.
#ifndef BRIDGE_TESTS_PEER_REMOTE_H
#define BRIDGE_TESTS_PEER_REMOTE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "peer_basics.h"

struct mosquitto;
struct mosquitto_message;

namespace e2e {

struct Message {
    std::string topic;
    std::string payload; // raw bytes
    int qos = 0;
    bool retain = false;
    std::chrono::steady_clock::time_point received; // on entry to the message callback
};

// A remote party on the broker. Its own thread runs the network loop and,
// unlike the library alone, reconnects after any lost link (a broker killed
// mid-TLS included), renewing its subscriptions. Thread-safe record of every
// message it receives.
class RemoteClient {
  public:
    struct Options {
        std::string id = "e2e-remote";
        bool tls = true;
        // Empty: certs().ca, client_cert, client_key.
        std::string cafile, certfile, keyfile;
        // False: a persistent session, whose subscriptions and queued QoS 1/2
        // messages the broker keeps while the client is away.
        bool clean_session = true;
        int port = kPort; // another: straight to a broker behind a relay
        // Called on the loop thread with each message, once it is recorded,
        // as a server reacting to it would: with no polling delay. It may
        // publish with a zero timeout, never wait.
        std::function<void(RemoteClient &, const Message &)> on_message;
    };
    RemoteClient() : RemoteClient(Options()) {}
    explicit RemoteClient(const std::string &id) : RemoteClient(with_id(id)) {}
    explicit RemoteClient(Options options);
    ~RemoteClient();
    RemoteClient(const RemoteClient &) = delete;
    RemoteClient &operator=(const RemoteClient &) = delete;

    // Connects to localhost on its port and waits for the broker's acceptance.
    // Once per client; after that the loop thread reconnects by itself.
    Outcome connect(Duration timeout = 5s);
    // Waits for the SUBACK; a failure when it refuses the topic (0x80).
    Outcome subscribe(const std::string &topic, int qos = 2, Duration timeout = 5s);
    // Waits until the broker has the message (PUBACK/PUBCOMP; at QoS 0 until
    // it is written). A zero TIMEOUT returns once it is queued.
    Outcome publish(const std::string &topic, const std::string &payload, int qos = 1,
                    Duration timeout = 5s);
    // The first message on TOPIC.
    std::optional<Message> wait_for_message(const std::string &topic, Duration timeout);
    // The messages on TOPIC once there are N of them, or those that came
    // within TIMEOUT.
    std::vector<Message> wait_for_count(const std::string &topic, size_t n, Duration timeout);
    std::vector<Message> messages(const std::string &topic) const;
    std::string log() const; // the library's log lines
    // Whether the link was lost (or never made) since connect(): a broker
    // may close it rather than refuse a publish or a subscription.
    bool dropped() const;

  private:
    static Options with_id(const std::string &id) {
        Options o;
        o.id = id;
        return o;
    }
    static void on_connect(struct mosquitto *, void *obj, int rc);
    static void on_disconnect(struct mosquitto *, void *obj, int rc);
    static void on_subscribe(struct mosquitto *, void *obj, int mid, int, const int *);
    static void on_publish(struct mosquitto *, void *obj, int mid);
    static void on_message(struct mosquitto *, void *obj, const struct mosquitto_message *msg);
    static void on_log(struct mosquitto *, void *obj, int level, const char *text);
    template <class Pred> bool wait_until(Duration timeout, Pred pred);
    // The messages on TOPIC; the caller holds mutex_.
    std::vector<Message> on_topic(const std::string &topic) const;
    // CALL's result RC, then the acknowledgement of packet MID within TIMEOUT.
    Outcome acknowledged(const char *call, int rc, int mid, const std::string &what,
                         Duration timeout);
    void run_loop();

    Options options_;
    struct mosquitto *mosq_ = nullptr;
    std::thread loop_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<int> connack_; // result of the last CONNACK
    bool dropped_ = false;       // connection lost or never made since connect()
    // mid of a SUBACK -> the QoS granted; of a completed publish -> 0.
    std::map<int, int> acked_;
    std::vector<std::pair<std::string, int>> subscriptions_;
    std::vector<Message> messages_;
    std::string log_;
};

// A remote party with a persistent session: the broker queues the QoS 1
// reports for it while it is away, a broker restart included (see
// persistent_broker).
inline RemoteClient::Options persistent_remote(const std::string &id) {
    RemoteClient::Options o;
    o.id = id;
    o.clean_session = false;
    return o;
}

} // namespace e2e

#endif
