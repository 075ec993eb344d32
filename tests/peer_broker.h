// The broker: mosquitto with mutual TLS (or refusing, or plain), and what
// its log shows of the bridge's sessions.
#ifndef BRIDGE_TESTS_PEER_BROKER_H
#define BRIDGE_TESTS_PEER_BROKER_H

#include <regex>
#include <string>
#include <vector>

#include "peer_basics.h"
#include "peer_process.h"

namespace e2e {

struct BrokerConfig {
    enum class Listener {
        MutualTls, // cafile/certfile/keyfile, require_certificate, anonymous allowed
        RefuseAll, // as MutualTls, but every CONNECT is refused (CONNACK 5)
        Plain,     // no TLS at all
    };
    Listener listener = Listener::MutualTls;
    // Another port leaves kPort to something standing in front of the broker.
    int port = kPort;
    // Empty: certs().broker_cert, broker_key.
    std::string certfile, keyfile;
    std::string extra; // more configuration lines

    static BrokerConfig refusing() {
        BrokerConfig c;
        c.listener = Listener::RefuseAll;
        return c;
    }
    static BrokerConfig plain() {
        BrokerConfig c;
        c.listener = Listener::Plain;
        return c;
    }
    // Mutual TLS, presenting CERT/KEY as the broker's certificate.
    static BrokerConfig serving(const std::string &cert, const std::string &key) {
        BrokerConfig c;
        c.certfile = cert;
        c.keyfile = key;
        return c;
    }
};

// A mutual-TLS broker whose state is written to DIR/persist/ after every
// change (a subscription, a message queued for a client), so that a
// persistent session and the messages queued for it survive a SIGKILL.
BrokerConfig persistent_broker(const std::string &dir);

// The broker's log lines for any client's connection, and for the bridge's
// connection, login publish and subscription.
inline const std::regex kAnyClient("New client connected");
inline const std::regex kBridgeSession(R"(New client connected from .* as 02:FC:00:00:00:01 )");
inline const std::regex
    kLogin(R"(Received PUBLISH from 02:FC:00:00:00:01 \(d0, q1, r0, m\d+, 'login')");
inline const std::regex kSubscribed(R"(02:FC:00:00:00:01 1 commands)");

// For each session of the bridge in LOG, in order, the topic of the first
// publish the broker received from it ("" when none came in that session):
// with RESENDS, whatever came first, DUP flag or not; without, the first
// without the DUP flag.
std::vector<std::string> first_publishes(const std::string &log, bool resends = true);
inline std::vector<std::string> first_new_publishes(const std::string &log) {
    return first_publishes(log, false);
}

// mosquitto on 127.0.0.1:kPort (or config.port). Files in DIR: mosquitto.conf, mosquitto.log
// (its log, kept across restarts), mosquitto.out (its stdout and stderr).
class Broker {
  public:
    explicit Broker(std::string dir) : dir_(std::move(dir)) {}
    // Writes the configuration, starts the broker and waits until the port
    // accepts connections.
    Outcome start(const BrokerConfig &config = {}, Duration timeout = 5s);
    void stop(Duration timeout = 5s) {
        process_.stop(timeout);
    }
    void kill() {
        process_.kill();
    }
    Outcome restart(Duration timeout = 5s); // stop, start with the same config
    Outcome restart(const BrokerConfig &config, Duration timeout = 5s);
    bool running() {
        return process_.running();
    }
    // SIGSTOP and SIGCONT pause it with its connections open.
    void signal(int sig) {
        process_.signal(sig);
    }
    std::string log() const;
    std::string output() const;                     // stdout and stderr: start-up errors land there
    int log_count(const std::regex &pattern) const; // lines matching PATTERN (regex_search)
    // Waits until COUNT lines of the log match PATTERN.
    Outcome wait_for_log(const std::regex &pattern, Duration timeout, int count = 1) const;

  private:
    std::string dir_;
    BrokerConfig config_;
    Process process_;
};

} // namespace e2e

#endif
