// A TCP relay where the bridge looks for its broker, to fail the link as the
// field does and to see what crosses it.
#ifndef BRIDGE_TESTS_PEER_RELAY_H
#define BRIDGE_TESTS_PEER_RELAY_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peer_basics.h"

namespace e2e {

// Stands on 127.0.0.1:PORT and passes each connection on to a broker on
// 127.0.0.1:UPSTREAM; with UPSTREAM 0 it passes nothing and answers nothing,
// as a plaintext broker would while it waits for a CONNECT. It counts the
// connections made to it and records every byte the clients send.
//   freeze()    stops passing anything on the links it has, as a link that
//               dies without FIN or RST
//   hold_upstream() stops passing what the clients send on the links it
//               has, while what the broker sends still passes: the client's
//               acknowledgements are lost with the link
//   kill_path() the whole path dead: the links frozen, and new ones accepted
//               but never passed on, until revive()
//   cut()       resets the links and refuses new ones until resume()
class Relay {
  public:
    // Throws std::runtime_error when PORT cannot be had.
    explicit Relay(int upstream, int port = kPort);
    ~Relay();
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    void freeze() {
        freezes_++;
    }
    void hold_upstream() {
        holds_++;
    }
    void kill_path() {
        dead_ = true;
        freeze();
    }
    void revive() {
        dead_ = false;
    }
    void cut() {
        cut_ = true;
    }
    void resume() {
        cut_ = false;
    }
    int connections() const {
        return connections_;
    }
    std::string client_bytes() const;

  private:
    struct Link {
        int client, server; // server -1: nothing passed on
        bool frozen;
        bool held; // nothing from the client passed on
    };

    void run();
    void accept_link();
    void close_links(bool reset);
    // Passes what is waiting on FROM of L on; false when the link is over.
    bool pass(const Link &l, bool from_client);

    const int upstream_, port_;
    int listen_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false}, cut_{false}, dead_{false};
    std::atomic<int> freezes_{0}, holds_{0}, connections_{0};
    std::vector<Link> links_; // relay thread only
    mutable std::mutex mutex_;
    std::string bytes_; // from the clients
};

} // namespace e2e

#endif
