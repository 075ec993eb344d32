#include "net_peers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace e2e {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool accepting_on_loopback(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(port);
    bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    if (s >= 0)
        close(s);
    return ok;
}

int listen_on_loopback(int port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(fd, backlog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

void close_with_reset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

namespace {

// A new namespace has a loopback interface, but it is down.
bool bring_loopback_up() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    int saved = errno;
    close(s);
    errno = saved;
    return ok;
}

// Without a namespace of its own (no CAP_SYS_ADMIN) a test process shares the
// host's port 18883 with every other test process; a lock file makes them
// take turns instead of failing on each other's broker.
void take_host_port_lock() {
    const char *path = "/tmp/mqtt-serial-bridge-e2e.lock";
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0666); // flock needs no write access
    if (fd < 0) {
        fprintf(stderr, "e2e: cannot open %s: %s; running unlocked\n", path, strerror(errno));
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            fprintf(stderr, "e2e: %s still locked after 5 minutes; running unlocked\n", path);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The descriptor stays open: the lock is released when the process ends.
}

} // namespace

void isolate_network(bool take_lock) {
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "e2e: no private network namespace (unshare: %s); using the host's\n",
                strerror(errno));
        if (take_lock)
            take_host_port_lock();
        return;
    }
    if (!bring_loopback_up())
        fprintf(stderr, "e2e: cannot bring up lo in the new namespace: %s\n", strerror(errno));
}

// ---------------------------------------------------------------- FakePeer

struct FakePeer::Link {
    int fd = -1;
    size_t index = 0; // into connections_
    SSL *ssl = nullptr;
    bool handshaken = false;
    bool want_write = false; // the handshake waits to write
    std::string in;          // MQTT bytes not yet parsed
};

namespace {

std::string openssl_errors() {
    std::string out;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof(buf));
        out += out.empty() ? "" : "; ";
        out += buf;
    }
    return out.empty() ? "no OpenSSL error queued" : out;
}

SSL_CTX *server_context(const FakePeer::Tls &tls) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        throw std::runtime_error("fake peer: SSL_CTX_new: " + openssl_errors());
    bool ok = SSL_CTX_use_certificate_chain_file(ctx, tls.cert.c_str()) == 1 &&
              SSL_CTX_use_PrivateKey_file(ctx, tls.key.c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1 &&
              SSL_CTX_load_verify_locations(ctx, tls.ca.c_str(), nullptr) == 1;
    if (ok) {
        // As the real broker is configured: no session without a client
        // certificate of the CA.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        if (STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(tls.ca.c_str()))
            SSL_CTX_set_client_CA_list(ctx, names);
    }
    if (!ok) {
        std::string why = openssl_errors();
        SSL_CTX_free(ctx);
        throw std::runtime_error("fake peer: TLS files " + tls.cert + ", " + tls.key + ", " +
                                 tls.ca + ": " + why);
    }
    return ctx;
}

} // namespace

FakePeer::FakePeer(int port, Mode mode, const Tls &tls) : mode_(mode) {
    if (mode_ == Mode::ConnackThenSilent) {
        ctx_ = server_context(tls);
        // The CONNACK goes to a client that may have gone already; OpenSSL
        // writes with write(), which would raise SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
    }
    listen_ = listen_on_loopback(port);
    if (listen_ < 0 || pipe2(stop_, O_CLOEXEC) != 0) {
        std::string why = strerror(errno);
        if (listen_ >= 0)
            close(listen_);
        SSL_CTX_free(ctx_);
        throw std::runtime_error("fake peer on port " + std::to_string(port) + ": " + why);
    }
    thread_ = std::thread([this] { run(); });
}

FakePeer::~FakePeer() {
    if (::write(stop_[1], "x", 1) != 1)
        perror("fake peer stop");
    thread_.join();
    close(listen_);
    close(stop_[0]);
    close(stop_[1]);
    SSL_CTX_free(ctx_);
}

int FakePeer::accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(connections_.size());
}

std::vector<FakePeer::Connection> FakePeer::connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

std::string FakePeer::tls_errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tls_errors_;
}

void FakePeer::run() {
    std::vector<Link> links;
    for (;;) {
        std::vector<pollfd> fds{{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        for (const Link &l : links)
            fds.push_back({l.fd, static_cast<short>(l.want_write ? POLLOUT : POLLIN), 0});
        if (poll(fds.data(), fds.size(), 1000) < 0)
            continue;
        if (fds[0].revents)
            break;
        // Served before a new one is taken: links and fds stay in step.
        for (size_t i = links.size(); i-- > 0;) {
            if (!fds[i + 2].revents || serve(links[i]))
                continue;
            SSL_free(links[i].ssl);
            if (links[i].fd >= 0)
                close(links[i].fd);
            links.erase(links.begin() + i);
        }
        if (fds[1].revents & POLLIN)
            accept_one(links);
    }
    for (const Link &l : links) {
        SSL_free(l.ssl);
        close(l.fd);
    }
}

void FakePeer::accept_one(std::vector<Link> &links) {
    int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    size_t index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = connections_.size();
        connections_.push_back({Clock::now(), std::nullopt, std::nullopt, {}, 0});
    }
    if (mode_ == Mode::ResetAtOnce) {
        close_with_reset(fd);
        return;
    }
    Link l;
    l.fd = fd;
    l.index = index;
    if (mode_ == Mode::ConnackThenSilent) {
        l.ssl = SSL_new(ctx_);
        SSL_set_fd(l.ssl, fd);
    }
    links.push_back(std::move(l));
}

void FakePeer::record_close(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[index].closed_by_client = Clock::now();
}

bool FakePeer::serve(Link &l) {
    if (mode_ == Mode::ConnackThenSilent)
        return serve_tls(l);
    for (;;) {
        char buf[4096];
        ssize_t n = read(l.fd, buf, sizeof(buf));
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n <= 0) {
            record_close(l.index);
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connections_[l.index].bytes += n;
        }
        if (mode_ == Mode::ResetAfterHello) {
            close_with_reset(l.fd);
            l.fd = -1;
            return false;
        }
    }
}

bool FakePeer::serve_tls(Link &l) {
    if (!l.handshaken) {
        ERR_clear_error();
        int r = SSL_accept(l.ssl);
        if (r != 1) {
            int e = SSL_get_error(l.ssl, r);
            l.want_write = e == SSL_ERROR_WANT_WRITE;
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
                return true;
            std::string why = openssl_errors();
            std::lock_guard<std::mutex> lock(mutex_);
            tls_errors_ += "connection " + std::to_string(l.index) + ": " + why + "\n";
            connections_[l.index].closed_by_client = Clock::now();
            return false;
        }
        l.handshaken = true;
        l.want_write = false;
    }
    for (;;) {
        char buf[4096];
        ERR_clear_error();
        int n = SSL_read(l.ssl, buf, sizeof(buf));
        if (n > 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connections_[l.index].bytes += n;
            }
            l.in.append(buf, n);
            take_packets(l);
            continue;
        }
        int e = SSL_get_error(l.ssl, n);
        if (e == SSL_ERROR_WANT_READ)
            return true;
        record_close(l.index); // close_notify, FIN or reset
        return false;
    }
}

// Takes the whole MQTT packets in L's input; a CONNECT is answered.
void FakePeer::take_packets(Link &l) {
    for (;;) {
        // Fixed header: type byte, then the remaining length in 1-4 bytes of
        // 7 bits each, low first.
        size_t length = 0, at = 1;
        bool whole = false;
        for (int shift = 0; at < l.in.size() && at <= 4; shift += 7) {
            unsigned char b = l.in[at++];
            length |= static_cast<size_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) {
                whole = true;
                break;
            }
        }
        if (!whole || l.in.size() < at + length)
            return;
        unsigned char type = l.in[0];
        l.in.erase(0, at + length);
        bool first_connect;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Connection &c = connections_[l.index];
            c.packets.push_back(type);
            first_connect = (type & 0xf0) == 0x10 && !c.connect;
            if (first_connect)
                c.connect = Clock::now();
        }
        if (first_connect) {
            static const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
            SSL_write(l.ssl, connack, sizeof(connack));
        }
    }
}

} // namespace e2e
