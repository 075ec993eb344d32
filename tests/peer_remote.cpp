#include "peer_remote.h"

#include <errno.h>
#include <mosquitto.h>
#include <string.h>

#include <stdexcept>

#include "peer_certs.h"

namespace e2e {

RemoteClient::RemoteClient(Options options) : options_(std::move(options)) {
    mosq_ = mosquitto_new(options_.id.c_str(), options_.clean_session, this);
    if (!mosq_)
        throw std::runtime_error(std::string("mosquitto_new: ") + strerror(errno));
    // The test thread subscribes and publishes while the loop thread runs.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_connect_callback_set(mosq_, on_connect);
    mosquitto_disconnect_callback_set(mosq_, on_disconnect);
    mosquitto_subscribe_callback_set(mosq_, on_subscribe);
    mosquitto_publish_callback_set(mosq_, on_publish);
    mosquitto_message_callback_set(mosq_, on_message);
    mosquitto_log_callback_set(mosq_, on_log);
    // Without Nagle's algorithm: a publish soon after this client's PUBACK
    // would otherwise wait for the broker's delayed ACK (40 ms and more),
    // a delay of the remote party's own that a test or benchmark would
    // blame on the bridge.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (options_.tls) {
        const Certs &c = certs();
        int rc = mosquitto_tls_set(
            mosq_, (options_.cafile.empty() ? c.ca : options_.cafile).c_str(), nullptr,
            (options_.certfile.empty() ? c.client_cert : options_.certfile).c_str(),
            (options_.keyfile.empty() ? c.client_key : options_.keyfile).c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            throw std::runtime_error(std::string("mosquitto_tls_set: ") + mosquitto_strerror(rc));
    }
}

RemoteClient::~RemoteClient() {
    if (loop_.joinable()) {
        // The loop thread sends the DISCONNECT, then stops.
        if (mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS)
            wait_until(1s, [&] { return dropped_; });
        stopping_ = true;
        loop_.join();
    }
    mosquitto_destroy(mosq_);
}

template <class Pred> bool RemoteClient::wait_until(Duration timeout, Pred pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, scaled(timeout), pred);
}

Outcome RemoteClient::connect(Duration timeout) {
    if (loop_.joinable())
        return Outcome::failure("connect() called twice");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connack_.reset();
        dropped_ = false;
    }
    int rc = mosquitto_connect(mosq_, "localhost", options_.port, 60);
    if (rc != MOSQ_ERR_SUCCESS)
        return Outcome::failure("mosquitto_connect: ", mosquitto_strerror(rc), "\n", log());
    loop_ = std::thread([this] { run_loop(); });
    wait_until(timeout, [&] { return connack_.has_value() || dropped_; });
    std::optional<int> connack;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connack = connack_;
    }
    if (!connack)
        return Outcome::failure("no CONNACK (link failed, or none within ", timeout.count(),
                                " ms); client log:\n", log());
    if (*connack != 0)
        return Outcome::failure("connection refused: ", mosquitto_connack_string(*connack));
    return Outcome::success();
}

Outcome RemoteClient::subscribe(const std::string &topic, int qos, Duration timeout) {
    int mid = 0;
    {
        // Recorded first, so a reconnection renews this topic too.
        std::lock_guard<std::mutex> lock(mutex_);
        subscriptions_.emplace_back(topic, qos);
    }
    int rc = mosquitto_subscribe(mosq_, &mid, topic.c_str(), qos);
    Outcome acked =
        acknowledged("mosquitto_subscribe", rc, mid, "subscription to " + topic, timeout);
    std::lock_guard<std::mutex> lock(mutex_);
    if (acked && acked_.at(mid) == 0x80)
        return Outcome::failure("subscription to ", topic, " refused (SUBACK 0x80)");
    return acked;
}

Outcome RemoteClient::publish(const std::string &topic, const std::string &payload, int qos,
                              Duration timeout) {
    int mid = 0;
    int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), qos, false);
    return acknowledged("mosquitto_publish", rc, mid, "publish on " + topic, timeout);
}

Outcome RemoteClient::acknowledged(const char *call, int rc, int mid, const std::string &what,
                                   Duration timeout) {
    if (rc != MOSQ_ERR_SUCCESS)
        return Outcome::failure(call, ": ", mosquitto_strerror(rc));
    if (timeout == Duration::zero())
        return Outcome::success();
    if (!wait_until(timeout, [&] { return acked_.count(mid) > 0; }))
        return Outcome::failure(what, " not acknowledged within ", timeout.count(), " ms");
    return Outcome::success();
}

std::optional<Message> RemoteClient::wait_for_message(const std::string &topic, Duration timeout) {
    std::vector<Message> got = wait_for_count(topic, 1, timeout);
    if (got.empty())
        return std::nullopt;
    return got.front();
}

std::vector<Message> RemoteClient::wait_for_count(const std::string &topic, size_t n,
                                                  Duration timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, scaled(timeout), [&] { return on_topic(topic).size() >= n; });
    return on_topic(topic);
}

std::vector<Message> RemoteClient::messages(const std::string &topic) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return on_topic(topic);
}

std::vector<Message> RemoteClient::on_topic(const std::string &topic) const {
    std::vector<Message> out;
    for (const auto &m : messages_)
        if (m.topic == topic)
            out.push_back(m);
    return out;
}

bool RemoteClient::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

std::string RemoteClient::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

// The library's own loop_forever() cannot be stopped for sure: its
// reconnection resets the state that mosquitto_disconnect() sets, so a
// client that cannot get its session back (a broker showing another CA's
// certificate) would never let the destructor join.
void RemoteClient::run_loop() {
    while (!stopping_) {
        int rc = mosquitto_loop(mosq_, 100, 1);
        if (rc == MOSQ_ERR_SUCCESS || stopping_)
            continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped_ = true;
            log_ += std::string("network loop ended: ") + mosquitto_strerror(rc) + "\n";
            cv_.notify_all();
        }
        std::this_thread::sleep_for(200ms);
        if (!stopping_)
            mosquitto_reconnect(mosq_);
    }
}

void RemoteClient::on_connect(struct mosquitto *m, void *obj, int rc) {
    auto *self = static_cast<RemoteClient *>(obj);
    std::vector<std::pair<std::string, int>> subscriptions;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->connack_ = rc;
        subscriptions = self->subscriptions_;
        self->cv_.notify_all();
    }
    // A clean session loses its subscriptions with each reconnection. Not
    // under mutex_: the library's log line goes to on_log, which takes it.
    if (rc == 0)
        for (const auto &s : subscriptions)
            mosquitto_subscribe(m, nullptr, s.first.c_str(), s.second);
}

void RemoteClient::on_disconnect(struct mosquitto *, void *obj, int) {
    auto *self = static_cast<RemoteClient *>(obj);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->dropped_ = true;
    self->cv_.notify_all();
}

void RemoteClient::on_subscribe(struct mosquitto *, void *obj, int mid, int n, const int *granted) {
    auto *self = static_cast<RemoteClient *>(obj);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->acked_[mid] = n > 0 ? granted[0] : 0;
    self->cv_.notify_all();
}

void RemoteClient::on_publish(struct mosquitto *, void *obj, int mid) {
    on_subscribe(nullptr, obj, mid, 0, nullptr);
}

void RemoteClient::on_message(struct mosquitto *, void *obj, const struct mosquitto_message *msg) {
    auto *self = static_cast<RemoteClient *>(obj);
    Message m;
    m.received = std::chrono::steady_clock::now();
    m.topic = msg->topic;
    if (msg->payload && msg->payloadlen > 0)
        m.payload.assign(static_cast<const char *>(msg->payload), msg->payloadlen);
    m.qos = msg->qos;
    m.retain = msg->retain;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back(m);
        self->cv_.notify_all();
    }
    if (self->options_.on_message)
        self->options_.on_message(*self, m);
}

void RemoteClient::on_log(struct mosquitto *, void *obj, int, const char *text) {
    auto *self = static_cast<RemoteClient *>(obj);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->log_ += text;
    self->log_ += "\n";
}

} // namespace e2e
