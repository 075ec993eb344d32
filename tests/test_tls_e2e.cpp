// TLS end to end: certificates that must not lead to a session, TLS files
// missing at start or gone later, and a broker that keeps failing the
// handshake. A TCP tap in front of the broker sees every connection and every
// byte the bridge sends, so that "no session" also means "nothing in the
// clear".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "broker_faults.h"

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

// Stands on 127.0.0.1:kPort where the bridge looks for its broker. Counts the
// connections made to it and records every byte the clients send; passes the
// traffic on to a broker on UPSTREAM, or, with 0, passes nothing and answers
// nothing, as a plaintext broker would while it waits for a CONNECT.
class TcpTap {
  public:
    explicit TcpTap(int upstream = 0) : upstream_(upstream) {
        listen_ = listen_on_loopback(kPort);
        if (listen_ < 0 || pipe2(stop_, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("tap: ") + strerror(errno));
        thread_ = std::thread([this] { run(); });
    }
    ~TcpTap() {
        if (::write(stop_[1], "x", 1) != 1)
            perror("tap stop");
        thread_.join();
        close(listen_);
        close(stop_[0]);
        close(stop_[1]);
    }
    int connections() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }
    std::string client_bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

  private:
    struct Link {
        int client, server; // server -1: nothing passed on
    };

    void run() {
        std::vector<Link> links;
        for (;;) {
            std::vector<pollfd> fds{{stop_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
            std::vector<std::pair<size_t, bool>> owner; // link, from the client
            for (size_t i = 0; i < links.size(); i++) {
                fds.push_back({links[i].client, POLLIN, 0});
                owner.emplace_back(i, true);
                if (links[i].server >= 0) {
                    fds.push_back({links[i].server, POLLIN, 0});
                    owner.emplace_back(i, false);
                }
            }
            if (poll(fds.data(), fds.size(), 1000) < 0)
                continue;
            if (fds[0].revents)
                break;
            if (fds[1].revents & POLLIN)
                accept_one(links);
            std::vector<bool> closed(links.size(), false);
            for (size_t f = 2; f < fds.size(); f++) {
                if (!fds[f].revents)
                    continue;
                auto [i, from_client] = owner[f - 2];
                char buf[4096];
                ssize_t n = read(fds[f].fd, buf, sizeof(buf));
                if (n <= 0) {
                    closed[i] = true;
                    continue;
                }
                if (from_client) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    bytes_.append(buf, n);
                }
                int to = from_client ? links[i].server : links[i].client;
                if (to >= 0 && write(to, buf, n) != n)
                    closed[i] = true;
            }
            for (size_t i = links.size(); i-- > 0;)
                if (closed[i]) {
                    close(links[i].client);
                    if (links[i].server >= 0)
                        close(links[i].server);
                    links.erase(links.begin() + i);
                }
        }
        for (const Link &l : links) {
            close(l.client);
            if (l.server >= 0)
                close(l.server);
        }
    }

    void accept_one(std::vector<Link> &links) {
        int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            connections_++;
        }
        int server = -1;
        if (upstream_) {
            server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr = loopback(upstream_);
            if (connect(server, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
                close(server);
                close(client);
                return;
            }
        }
        links.push_back({client, server});
    }

    const int upstream_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    int connections_ = 0;
    std::string bytes_;
};

// The bytes of the login (and of any CONNECT: the client id is in it) that
// must never cross the network in the clear.
::testing::AssertionResult no_plaintext_login(const std::string &bytes) {
    for (const char *secret : {"vmzq", "\"login\"", kMac, "MQTT"})
        if (bytes.find(secret) != std::string::npos)
            return ::testing::AssertionFailure() << "\"" << secret << "\" sent in the clear";
    return ::testing::AssertionSuccess();
}

using TlsFaults = E2E;

// The tap's own check: a plaintext client is seen, CONNECT and all.
TEST_F(TlsFaults, TapSeesAPlaintextConnect) {
    broker.stop();
    TcpTap tap;
    RemoteClient::Options plain;
    plain.id = std::string("probe-") + kMac;
    plain.tls = false;
    EXPECT_FALSE(RemoteClient(plain).connect(1s));
    EXPECT_EQ(tap.connections(), 1);
    EXPECT_FALSE(no_plaintext_login(tap.client_bytes()));
}

struct TlsCase {
    const char *name;
    std::string Certs::*broker_cert; // what the broker presents
    std::string Certs::*broker_key;
    std::string Certs::*bridge_cert; // what the bridge presents
    std::string Certs::*bridge_key;
    const char *bridge_says; // in the bridge's log
};

void PrintTo(const TlsCase &c, std::ostream *os) {
    *os << c.name;
}

class TlsRefused : public E2E, public ::testing::WithParamInterface<TlsCase> {};

// The broker listens behind the tap, which sees the bytes the bridge sends.
TEST_P(TlsRefused, NoSessionNoPlaintextAndTheBridgeKeepsTrying) {
    const TlsCase &c = GetParam();
    BrokerConfig config = BrokerConfig::serving(certs().*c.broker_cert, certs().*c.broker_key);
    config.port = kPort + 1;
    ASSERT_TRUE(broker.restart(config));
    copy_file(certs().*c.bridge_cert, dir.file("tls-cert.pem"));
    copy_file(certs().*c.bridge_key, dir.file("tls-key.pem"), 0600);
    TcpTap tap(kPort + 1);
    bridge.start();

    EXPECT_TRUE(eventually(10s, [&] { return tap.connections() >= 4; }))
        << tap.connections() << " connection attempts";
    EXPECT_TRUE(bridge.running());
    EXPECT_TRUE(no_plaintext_login(tap.client_bytes()));
    EXPECT_EQ(broker.log_count(kAnyClient), 0);
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "received CONNACK"), 0);
    EXPECT_NE(out.find(c.bridge_says), std::string::npos) << out;
    figure("connection_attempts", tap.connections());
    figure("bytes_from_bridge", (long)tap.client_bytes().size());
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsRefused,
                         ::testing::Values(TlsCase{"BrokerFromAnotherCa", &Certs::other_broker_cert,
                                                   &Certs::other_broker_key, &Certs::client_cert,
                                                   &Certs::client_key, "certificate verify failed"},
                                           TlsCase{"BrokerForAnotherHost", &Certs::elsewhere_cert,
                                                   &Certs::elsewhere_key, &Certs::client_cert,
                                                   &Certs::client_key,
                                                   "host name verification failed"},
                                           TlsCase{"BridgeFromAnotherCa", &Certs::broker_cert,
                                                   &Certs::broker_key, &Certs::other_client_cert,
                                                   &Certs::other_client_key, "alert unknown ca"}),
                         [](const auto &info) { return std::string(info.param.name); });

class TlsFilesLate : public E2E, public ::testing::WithParamInterface<Strings> {};

// Without any one of its TLS files the bridge must not connect at all (the
// MQTT library would go ahead in plaintext), and keeps running; once they are
// there it connects without being restarted.
TEST_P(TlsFilesLate, NoConnectionWithoutThemThenLoginOnceThere) {
    broker.stop();
    for (const std::string &f : GetParam())
        ASSERT_EQ(rename(dir.file(f).c_str(), dir.file(f + ".later").c_str()), 0) << f;
    {
        TcpTap tap;
        bridge.start();
        ASSERT_TRUE(bridge.wait_for_stdout("TLS input parameters are invalid.\n", 5s));
        std::this_thread::sleep_for(5s);
        EXPECT_EQ(tap.connections(), 0);
        EXPECT_TRUE(no_plaintext_login(tap.client_bytes()));
        EXPECT_TRUE(bridge.running());
    }
    ASSERT_TRUE(broker.start());
    RemoteClient remote;
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("login"));
    auto provided = Clock::now();
    // Each file appears whole.
    for (const std::string &f : GetParam())
        ASSERT_EQ(rename(dir.file(f + ".later").c_str(), dir.file(f).c_str()), 0) << f;

    auto login = remote.wait_for_message("login", 5s);
    ASSERT_TRUE(login) << bridge.stdout_text();
    EXPECT_EQ(login->payload, login_payload(kMac));
    EXPECT_EQ(count(bridge.stdout_text(), "TLS input parameters are invalid.\n"), 1)
        << "said once, not at every retry";
    figure("ms_from_files_to_login",
           (long)std::chrono::duration_cast<Duration>(Clock::now() - provided).count());
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsFilesLate,
                         ::testing::Values(Strings{"crt.ca.qx.pem"}, Strings{"tls-cert.pem"},
                                           Strings{"tls-key.pem"},
                                           Strings{"crt.ca.qx.pem", "tls-cert.pem", "tls-key.pem"}),
                         [](const auto &info) {
                             const Strings &files = info.param;
                             return files.size() > 1             ? std::string("AllThree")
                                    : files[0][0] == 'c'         ? std::string("CaFile")
                                    : files[0] == "tls-cert.pem" ? std::string("CertFile")
                                                                 : std::string("KeyFile");
                         });

// Once a session has existed and the network loop has returned, a refused
// re-application of the TLS settings (the CA file is gone) must keep the
// bridge off the network: the refused call has cleared the CA, so any
// attempt would run without it. The tap stands in front of the broker and
// counts every TCP connection, those while the broker is down included.
TEST_F(TlsFaults, CaFileGoneAfterASessionMeansNoConnectionUntilItIsBack) {
    BrokerConfig config;
    config.port = kPort + 1;
    ASSERT_TRUE(broker.restart(config));
    TcpTap tap(kPort + 1);
    bridge.start();
    ASSERT_TRUE(broker.wait_for_log(kLogin, 10s));
    ASSERT_EQ(rename(dir.file("crt.ca.qx.pem").c_str(), dir.file("ca.later").c_str()), 0);
    broker.kill();
    ASSERT_TRUE(bridge.wait_for_stderr("Network loop stopped: ", 5s)) << "the loop did not return";
    ASSERT_TRUE(broker.start(config));
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(tap.connections(), 1) << "connections made while the CA file was missing";

    auto provided = Clock::now();
    ASSERT_EQ(rename(dir.file("ca.later").c_str(), dir.file("crt.ca.qx.pem").c_str()), 0);
    EXPECT_TRUE(broker.wait_for_log(kLogin, 5s, 2));
    EXPECT_EQ(tap.connections(), 2);
    EXPECT_TRUE(no_plaintext_login(tap.client_bytes()));
    EXPECT_EQ(count(bridge.stdout_text(), "TLS input parameters are invalid.\n"), 1);
    figure("connections_while_ca_missing", tap.connections() - 1);
    figure("ms_from_ca_file_to_login",
           (long)std::chrono::duration_cast<Duration>(Clock::now() - provided).count());
}

// A broker that keeps failing the TLS handshake stops the network loop again
// and again; the bridge says so once, and once more with the count when the
// session comes back. The count is checked against the library's log:
// a handshake that fails after "sending CONNECT" ends the loop, while one
// that fails inside a blocking (re)connect logs no CONNECT and is retried
// by the library without the loop returning.
TEST_F(TlsFaults, RefusedForTenSecondsTheLoopStopIsLoggedOnceWithItsCount) {
    ASSERT_TRUE(
        broker.restart(BrokerConfig::serving(certs().other_broker_cert, certs().other_broker_key)));
    bridge.start();
    std::this_thread::sleep_for(10s);
    ASSERT_TRUE(broker.restart(BrokerConfig()));
    ASSERT_TRUE(broker.wait_for_log(kLogin, 10s));

    // Each attempt ends at its failed handshake, whether or not the library
    // had queued its CONNECT by then.
    int stops = count(bridge.stdout_text(), "certificate verify failed");
    ASSERT_GE(stops, 1);
    const std::string tls = "Network loop stopped: A TLS error occurred.";
    if (stops > 1) {
        EXPECT_TRUE(bridge.wait_for_stderr(" times)\n", 1s));
    }
    std::vector<std::string> lines;
    std::string err = bridge.stderr_text();
    for (size_t at = 0, nl; (nl = err.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(err.substr(at, nl - at));
    // The restart can cut the attempt in progress short: ended by the cut, it
    // counts among the TLS stops, or stands on a line of its own.
    bool cut_alone = lines.size() > 1 && lines.back().find("TLS") == std::string::npos;
    if (cut_alone) {
        EXPECT_EQ(lines.back().rfind("Network loop stopped: ", 0), 0u) << err;
        lines.pop_back();
    }
    ASSERT_TRUE(lines.size() == 1 || lines.size() == 2) << err;
    EXPECT_EQ(lines[0], tls);
    int tls_stops = 1;
    if (lines.size() == 2) {
        int more = 0;
        EXPECT_EQ(sscanf(lines[1].c_str(), (tls + " (repeated %d times)").c_str(), &more), 1)
            << err;
        tls_stops += more;
    }
    EXPECT_TRUE(tls_stops == stops || (!cut_alone && tls_stops == stops + 1))
        << stops << " failed handshakes; " << err;
    figure("loop_stops", stops);
}

} // namespace
