// The test process's network and stand-ins for what the bridge may meet
// where it looks for its broker:
//   isolate_network() a network namespace of the process's own
//   loopback(), listen_on_loopback(), close_with_reset()
//                the socket helpers of every fake peer and relay
//   FakePeer     a listener on 127.0.0.1 that misbehaves in one of a few
//                ways (resets, never answers, a broker that stops after its
//                CONNACK), recording every connection it was offered
#ifndef BRIDGE_TESTS_NET_PEERS_H
#define BRIDGE_TESTS_NET_PEERS_H

#include <netinet/in.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace e2e {

// Gives this process a network namespace of its own with its loopback up,
// so that the fixed port never meets another test's broker. Call before any
// thread starts. Without the privilege for that it goes on in the host's
// network; TAKE_LOCK then makes it wait for a host-wide lock file so that
// such processes take turns.
void isolate_network(bool take_lock);

// 127.0.0.1:PORT.
sockaddr_in loopback(int port);

// Whether something accepts TCP connections on 127.0.0.1:PORT.
bool accepting_on_loopback(int port);

// A TCP socket listening on 127.0.0.1:PORT (SO_REUSEADDR, close-on-exec);
// -1 with errno set when the port cannot be had.
int listen_on_loopback(int port, int backlog = 16);

// Closes FD with a reset rather than a FIN.
void close_with_reset(int fd);

// A listener on 127.0.0.1:PORT standing where the bridge expects its broker.
// A thread of its own serves every connection as its mode says and records
// what happened to it. Destroying it closes the port and every connection
// still open (with a FIN).
class FakePeer {
  public:
    using Clock = std::chrono::steady_clock;

    enum class Mode {
        ResetAtOnce,     // accepts and resets before reading anything
        ResetAfterHello, // reads the first bytes (a TLS ClientHello), then resets
        Silent,          // accepts, reads what comes, never answers
        // Mutual TLS with the given files (the client must present a
        // certificate of CA); answers the first CONNECT with a CONNACK
        // (accepted) and then nothing: no SUBACK, no PUBACK, no PINGRESP.
        ConnackThenSilent,
    };

    struct Tls {
        std::string ca, cert, key;
    };

    struct Connection {
        Clock::time_point accepted;
        // When the client closed or reset it; Silent and ConnackThenSilent
        // only (the reset modes end their connections themselves).
        std::optional<Clock::time_point> closed_by_client;
        std::optional<Clock::time_point> connect; // its MQTT CONNECT arrived
        std::vector<unsigned char> packets;       // first byte of each MQTT packet received
        size_t bytes = 0;                         // received (after decryption under TLS)
    };

    // Throws std::runtime_error when the port or the TLS files cannot be had.
    FakePeer(int port, Mode mode, const Tls &tls = {});
    ~FakePeer();
    FakePeer(const FakePeer &) = delete;
    FakePeer &operator=(const FakePeer &) = delete;

    int accepted() const;
    std::vector<Connection> connections() const;
    // TLS handshakes that failed, with OpenSSL's reason, one line each.
    std::string tls_errors() const;

  private:
    struct Link;

    void run();
    void accept_one(std::vector<Link> &links);
    // Serves what is ready on L; false when L is over.
    bool serve(Link &l);
    bool serve_tls(Link &l);
    void record_close(size_t index);
    void take_packets(Link &l);

    const Mode mode_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    SSL_CTX *ctx_ = nullptr;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Connection> connections_;
    std::string tls_errors_;
};

} // namespace e2e

#endif
