#include "peer_relay.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "net_peers.h"

namespace e2e {

Relay::Relay(int upstream, int port) : upstream_(upstream), port_(port) {
    listen_ = listen_on_loopback(port_);
    if (listen_ < 0)
        throw std::runtime_error(std::string("relay: ") + strerror(errno));
    thread_ = std::thread([this] { run(); });
}

Relay::~Relay() {
    stop_ = true;
    thread_.join();
    close_links(false);
    if (listen_ >= 0)
        close(listen_);
}

std::string Relay::client_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

void Relay::close_links(bool reset) {
    for (Link &l : links_)
        for (int fd : {l.client, l.server})
            if (fd >= 0)
                reset ? close_with_reset(fd) : (void)close(fd);
    links_.clear();
}

void Relay::accept_link() {
    int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    connections_++;
    if (dead_) {
        links_.push_back({client, -1, true, false});
        return;
    }
    int server = -1;
    if (upstream_) {
        server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback(upstream_);
        if (connect(server, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            close_with_reset(client);
            close(server);
            return;
        }
    }
    links_.push_back({client, server, false, false});
}

bool Relay::pass(const Link &l, bool from_client) {
    char buf[16384];
    ssize_t n = read(from_client ? l.client : l.server, buf, sizeof(buf));
    if (n <= 0)
        return false;
    if (from_client) {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.append(buf, n);
    }
    int to = from_client ? l.server : l.client;
    return to < 0 || simfw::write_all(to, buf, (size_t)n, std::chrono::seconds(2));
}

void Relay::run() {
    int freezes_seen = 0, holds_seen = 0;
    while (!stop_) {
        if (freezes_ != freezes_seen) {
            freezes_seen = freezes_;
            for (Link &l : links_)
                l.frozen = true;
        }
        if (holds_ != holds_seen) {
            holds_seen = holds_;
            for (Link &l : links_)
                l.held = true;
        }
        // Cut: the links reset and the port closed, as when the way to the
        // broker is gone (a reset link is noticed at once).
        if (cut_ && listen_ >= 0) {
            close_links(true);
            close(listen_);
            listen_ = -1;
        } else if (!cut_ && listen_ < 0) {
            listen_ = listen_on_loopback(port_);
        }
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        std::vector<std::pair<size_t, bool>> owner; // link, from the client
        for (size_t i = 0; i < links_.size(); i++) {
            if (links_[i].frozen)
                continue;
            if (!links_[i].held) {
                fds.push_back({links_[i].client, POLLIN, 0});
                owner.emplace_back(i, true);
            }
            if (links_[i].server >= 0) {
                fds.push_back({links_[i].server, POLLIN, 0});
                owner.emplace_back(i, false);
            }
        }
        if (poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        if (listen_ >= 0 && (fds[0].revents & POLLIN))
            accept_link();
        std::vector<bool> ended(links_.size(), false);
        for (size_t k = 1; k < fds.size(); k++) {
            auto [i, from_client] = owner[k - 1];
            if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) && !ended[i] &&
                !pass(links_[i], from_client))
                ended[i] = true;
        }
        for (size_t i = ended.size(); i-- > 0;) {
            if (!ended[i])
                continue;
            close(links_[i].client);
            if (links_[i].server >= 0)
                close(links_[i].server);
            links_.erase(links_.begin() + i);
        }
    }
}

} // namespace e2e
