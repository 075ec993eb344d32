// Faults end to end: a broker that dies or is not there, TLS that must not
// come up, a device that babbles or falls silent, and odd MQTT input, each
// against the real bridge process, a real broker and the simulated firmware.
//
// Each test prints its figures as "FIGURE name=value" lines (and records them
// as test properties), so a run shows what was survived, not only that it
// passed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>

#include "broker_faults.h"

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

// ------------------------------------------------------------------ broker

using BrokerFaults = E2E;

// With no broker at all the serial side does its whole job: information
// reports are read and answered, and their publishes wait in the MQTT
// library until the broker appears. The remote's persistent session is made
// first and saved by a regular shutdown, so the broker holds the reports for
// the remote whichever of the two reconnects first.
TEST_F(BrokerFaults, AbsentForTenSecondsThenReportsReadMeanwhileAreDelivered) {
    const BrokerConfig config = persistent_broker(dir.path());
    ASSERT_TRUE(broker.restart(config));
    RemoteClient remote(persistent_remote("e2e-faults-remote"));
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("info", 1));
    broker.stop();

    simfw::SimFirmware device(pty.master());
    bridge.start();
    auto broker_due = Clock::now() + 10s;
    ASSERT_TRUE(wait_for_line_open(bridge, pty));
    Strings sent;
    for (int i = 0; i < 3; i++) {
        sent.push_back(report_payload("!offline " + std::to_string(i) + "\n"));
        device.send_info("!offline " + std::to_string(i) + "\n");
        ASSERT_TRUE(device.wait_for_acks(i + 1, scaled(3s))) << "report " << i << " not answered";
    }
    EXPECT_LT(Clock::now(), broker_due)
        << "the reports were not all read while the broker was away";
    std::this_thread::sleep_until(broker_due);
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(count(bridge.stdout_text(), "received CONNACK"), 0);

    ASSERT_TRUE(broker.start(config));
    EXPECT_TRUE(broker.wait_for_log(kLogin, 10s));
    Strings got;
    for (const Message &m : remote.wait_for_count("info", 3, 10s))
        got.push_back(m.payload);
    EXPECT_EQ(got, sent);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(remote.messages("info").size(), 3u) << "a report queued while offline sent twice";
    // Held by the bridge, not by the library: they follow the login as new
    // publishes, not as re-sends ahead of it.
    EXPECT_EQ(first_new_publishes(broker.log()), Strings{"login"});
    EXPECT_EQ(broker.log_count(std::regex(R"(from 02:FC:00:00:00:01 \(d0, q1, r0, m\d+, 'info')")),
              3);
    EXPECT_TRUE(bridge.wait_for_stdout("PUBLISHING 3 REPORTS HELD WHILE OFFLINE\n", 1s));
    figure("reports_read_offline", (long)device.acks());
    figure("reports_delivered", (long)remote.messages("info").size());
}

// ------------------------------------------------------------------ TLS

// Stands on 127.0.0.1:kPort where the bridge looks for its broker. Counts the
// connections made to it and records every byte the clients send; passes the
// traffic on to a broker on UPSTREAM, or, with 0, passes nothing and answers
// nothing, as a plaintext broker would while it waits for a CONNECT.
class TcpTap {
  public:
    explicit TcpTap(int upstream = 0) : upstream_(upstream) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr = loopback(kPort);
        if (bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(listen_, 16) != 0 || pipe2(stop_, O_CLOEXEC) != 0)
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
    static sockaddr_in loopback(int port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return addr;
    }

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
    EXPECT_EQ(broker.log_count("New client connected"), 0);
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

    std::string out = bridge.stdout_text();
    int stops = count(out, "sending CONNECT") - count(out, "received CONNACK");
    ASSERT_GE(stops, 1);
    std::string expected = "Network loop stopped: A TLS error occurred.\n";
    if (stops > 1) {
        expected += "Network loop stopped: A TLS error occurred. (repeated " +
                    std::to_string(stops - 1) + " times)\n";
        EXPECT_TRUE(bridge.wait_for_stderr(" times)\n", 1s));
    }
    EXPECT_EQ(bridge.stderr_text(), expected);
    figure("loop_stops", stops);
    figure("handshakes_failed", count(out, "certificate verify failed"));
}

// ------------------------------------------------------------------ device

// Random bytes, all 256 values or all but NOOK, from a fixed seed.
std::string noise(size_t n, int nook = -1) {
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
        int b = byte(gen);
        if (b != nook)
            out += static_cast<char>(b);
    }
    return out;
}

// Plays the device's part by hand: BYTES written in pieces, each piece
// allowed the pty write's own timeout. With GAP, the bytes go out in bursts
// of 1 to 32 KiB with GAP of quiet after each, so the bridge's poll cycles
// find them as many separate runs rather than one stream.
void feed(Pty &pty, const std::string &bytes, Duration gap = 0ms) {
    std::mt19937 gen(99);
    std::uniform_int_distribution<size_t> burst(1, 32 * 1024);
    for (size_t at = 0; at < bytes.size();) {
        size_t end = gap.count() ? std::min(bytes.size(), at + burst(gen)) : bytes.size();
        for (; at < end; at += std::min<size_t>(4096, end - at))
            pty.write(bytes.substr(at, std::min<size_t>(4096, end - at)));
        std::this_thread::sleep_for(gap);
    }
}

// Waits until the bridge's stdout has not grown for QUIET: done with what the
// device sent.
::testing::AssertionResult wait_until_quiet(const std::string &out_path, Duration quiet,
                                            Duration timeout) {
    auto size = [&] {
        struct stat st;
        return stat(out_path.c_str(), &st) == 0 ? st.st_size : -1;
    };
    off_t last = size();
    auto since = Clock::now();
    bool ok = eventually(timeout, [&] {
        off_t now = size();
        if (now != last) {
            last = now;
            since = Clock::now();
        }
        return Clock::now() - since >= quiet;
    });
    if (ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the bridge kept logging for " << timeout.count() << " ms";
}

class DeviceFaults : public Road {
  protected:
    // The device records commands from now on but answers none.
    void go_silent() {
        simfw::Faults silent;
        silent.silent = true;
        device->set_faults(silent);
    }

    // Every report the bridge published is bytes the device sent, in order,
    // zeros after them, on the topic its first byte calls for; and each was
    // answered with "#\n" once.
    void expect_reports_are(const std::string &sent) {
        std::vector<Message> reports;
        {
            std::vector<Message> s = remote.messages("status_update"), i = remote.messages("info");
            reports.insert(reports.end(), s.begin(), s.end());
            reports.insert(reports.end(), i.begin(), i.end());
        }
        EXPECT_EQ(device->acks(), reports.size()) << "reports published vs answered";
        for (const char *topic : {"status_update", "info"}) {
            size_t at = 0; // each topic in its own order
            for (const Message &m : remote.messages(topic)) {
                ASSERT_EQ(m.payload.size(), 100u);
                EXPECT_EQ(m.payload[0] == '!', topic == std::string("info")) << escape(m.payload);
                std::string bytes = m.payload.substr(0, m.payload.find_last_not_of('\0') + 1);
                if (bytes.empty())
                    continue;
                size_t found = sent.find(bytes, at);
                ASSERT_NE(found, std::string::npos)
                    << "not sent by the device, or out of order: " << escape(m.payload);
                at = found + 1;
            }
        }
        figure("reports_published", (long)reports.size());
    }

    // The device answers by hand for a command it let hang: "#" and, once
    // the poll cycle that takes it is over, REPORT.
    void answer_by_hand(const std::string &report) {
        device->send_raw("#");
        ASSERT_TRUE(bridge.wait_for_stdout("RECEIVED SERIAL_ACK\n", 5s));
        std::this_thread::sleep_for(50ms);
        device->send_raw(report);
    }
};

const size_t kMiB = 1 << 20;

// While idle, whatever is waiting is a report: a mebibyte of noise in bursts
// is read as reports of up to 100 bytes with the rest dropped, each answered
// and published; then the next list goes through as if nothing had happened.
TEST_F(DeviceFaults, MebibyteOfNoiseWhileIdle) {
    const std::string sent = noise(kMiB);
    feed(pty, sent, 150ms);
    ASSERT_TRUE(wait_until_quiet(dir.file("bridge.stdout"), 1s, 60s));
    EXPECT_TRUE(bridge.running());
    expect_reports_are(sent);

    size_t before = remote.messages("status_update").size();
    ASSERT_TRUE(remote.publish("commands", "after;noise"));
    std::vector<Message> got = remote.wait_for_count("status_update", before + 2, 10s);
    ASSERT_EQ(got.size(), before + 2);
    EXPECT_EQ(got[before].payload, report_payload("OK after\n"));
    EXPECT_EQ(got[before + 1].payload, report_payload("OK noise\n"));
    EXPECT_EQ(device->command_texts(), (Strings{"after", "noise"}));
    figure("bytes_dropped_lines", count(bridge.stdout_text(), "DROPPED "));
}

// Noise while a command waits for its "#": any "#" in it passes for the
// acknowledgement and what follows for reports, so where the exchange stands
// afterwards depends on how the bytes fell. One report from the device
// settles it either way (it answers the command, or is one that answers
// nothing), and the next command is sent once and answered.
TEST_F(DeviceFaults, MebibyteOfNoiseWhileAwaitingTheAcknowledgement) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "stuck"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));

    const std::string sent = noise(kMiB);
    feed(pty, sent, 150ms);
    ASSERT_TRUE(wait_until_quiet(dir.file("bridge.stdout"), 1s, 60s));
    EXPECT_TRUE(bridge.running());
    EXPECT_TRUE(bridge.wait_for_stdout("RECEIVED SERIAL_ACK\n", 0ms));
    expect_reports_are(sent);

    device->set_faults({});
    size_t before = remote.messages("status_update").size();
    device->send_raw("late\n");
    ASSERT_EQ(remote.wait_for_count("status_update", before + 1, 5s).size(), before + 1);
    ASSERT_TRUE(remote.publish("commands", "next"));
    std::vector<Message> got = remote.wait_for_count("status_update", before + 2, 10s);
    ASSERT_EQ(got.size(), before + 2);
    EXPECT_EQ(got.back().payload, report_payload("OK next\n"));
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
}

class SilentDevice : public DeviceFaults, public ::testing::WithParamInterface<size_t> {};

// A device that takes a command and says nothing: the bridge waits for the
// "#" as long as it takes, with no timeout and no second sending, whatever
// else (here: noise with no "#" in it) the line carries meanwhile; a list
// that comes in meanwhile waits its turn. Each stray byte is logged and
// dropped. When the device answers at last, the exchange completes and the
// queued list follows.
TEST_P(SilentDevice, CommandWaitsUntilTheDeviceAnswers) {
    const size_t noise_size = GetParam();
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "stuck"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));
    ASSERT_TRUE(remote.publish("commands", "next"));
    feed(pty, noise(noise_size, '#'));
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(wait_until_quiet(dir.file("bridge.stdout"), 1s, 60s));

    std::string out = bridge.stdout_text();
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(count(out, "] INSTEAD OF ACK\n"), (int)noise_size) << "each stray byte, once";
    EXPECT_EQ(count(out, "RECEIVED SERIAL_ACK"), 0);
    EXPECT_EQ(count(out, "SENDING TO ARDUINO: stuck\n"), 1);
    EXPECT_EQ(device->command_texts(), Strings{"stuck"}) << "sent while one was outstanding";
    EXPECT_TRUE(remote.messages("status_update").empty());
    figure("stray_bytes_logged", count(out, "] INSTEAD OF ACK\n"));

    device->set_faults({});
    answer_by_hand("OK stuck, late\n");
    EXPECT_EQ(payloads("status_update", 2, 10s),
              (Strings{report_payload("OK stuck, late\n"), report_payload("OK next\n")}));
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
}

INSTANTIATE_TEST_SUITE_P(Device, SilentDevice, ::testing::Values(0, kMiB), [](const auto &info) {
    return info.param ? std::string("UnderNoise") : std::string("Quiet");
});

// The test builds with a command deadline of 2 s: polling, and event-driven.
class CommandDeadline : public DeviceFaults, public ::testing::WithParamInterface<const char *> {
  protected:
    void SetUp() override {
        bridge.use_build(GetParam());
        DeviceFaults::SetUp();
    }

    // From the device's receipt of command I to that of command I + 1.
    long ms_between_commands(size_t i) {
        std::vector<simfw::ReceivedCommand> c = device->commands();
        return (long)std::chrono::duration_cast<Duration>(c.at(i + 1).first_byte -
                                                          c.at(i).first_byte)
            .count();
    }
};

// A device that acknowledges and never reports: each command is dropped at
// its deadline, the next is sent once, and after the last the bridge is idle
// (an information report is taken as such).
TEST_P(CommandDeadline, AcknowledgedButNeverReported) {
    simfw::Faults no_report;
    no_report.no_report = true;
    device->set_faults(no_report);
    ASSERT_TRUE(remote.publish("commands", "stuck;next"));
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: next\n", 6s));
    std::string out = bridge.stdout_text();
    EXPECT_LT(out.find("COMMAND TIMED OUT: stuck\n"), out.find("SENDING TO ARDUINO: next\n"));
    EXPECT_EQ(count(out, "RECEIVED SERIAL_ACK\n"), 2);
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
    EXPECT_GE(ms_between_commands(0), 1950) << "dropped before its deadline";
    EXPECT_LT(ms_between_commands(0), scaled(3s).count());

    // What comes within a poll cycle of the deadline may be a late answer
    // and is dropped; after that the line is the device's again.
    std::this_thread::sleep_for(scaled(300ms));
    device->send_info("!idle\n");
    EXPECT_EQ(payloads("info", 1, 5s), Strings{report_payload("!idle\n")});
    EXPECT_TRUE(remote.messages("status_update").empty());
    EXPECT_EQ(count(bridge.stdout_text(), "COMMAND TIMED OUT: "), 2);
    figure("ms_from_command_to_next", ms_between_commands(0));
}

// A silent device: the command is dropped at its deadline and the next is
// sent once. The report for the dropped command, coming late while the next
// awaits its "#", is stray bytes, not the next command's answer; the next
// command's own report is published, and the deadline does not fire for it.
TEST_P(CommandDeadline, SilentDeviceAndALateReport) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "stuck;next"));
    ASSERT_TRUE(device->wait_for_commands(2, 5s));
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: stuck\n", 0ms));
    device->send_raw("OK stuck, late\n");
    ASSERT_TRUE(bridge.wait_for_stdout("[\n] INSTEAD OF ACK\n", 2s));
    device->set_faults({});
    answer_by_hand("OK next\n");
    EXPECT_EQ(payloads("status_update", 1, 5s), Strings{report_payload("OK next\n")});

    std::this_thread::sleep_for(2500ms); // past the deadline the answered command had
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "] INSTEAD OF ACK\n"), (int)strlen("OK stuck, late\n"));
    EXPECT_EQ(count(out, "COMMAND TIMED OUT: "), 1);
    EXPECT_EQ(count(out, "SENDING TO ARDUINO: next\n"), 1);
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
    EXPECT_EQ(remote.messages("status_update").size(), 1u);
    EXPECT_GE(ms_between_commands(0), 1950);
    EXPECT_TRUE(bridge.running());
}

// The device's "#" comes just after the deadline gave its command up: it is
// dropped as a stray byte, not taken for the next command's, so every later
// answer still matches its command.
TEST_P(CommandDeadline, LateAcknowledgementIsNotTakenForTheNextCommand) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "k1;k2;k3"));
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: k1\n", 5s));
    device->send_raw("#");
    device->set_faults({});
    EXPECT_EQ(payloads("status_update", 2, 10s),
              (Strings{report_payload("OK k2\n"), report_payload("OK k3\n")}));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(remote.messages("status_update").size(), 2u) << "an answer off by one";
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "[#] INSTEAD OF ACK\n"), 1) << out;
    EXPECT_EQ(count(out, "COMMAND TIMED OUT: "), 1);
    EXPECT_EQ(device->command_texts(), (Strings{"k1", "k2", "k3"}));
}

INSTANTIATE_TEST_SUITE_P(Mode, CommandDeadline,
                         ::testing::Values("mqtt-serial-bridge-test-deadline",
                                           "mqtt-serial-bridge-test-event-deadline"),
                         [](const auto &info) {
                             return std::string(strstr(info.param, "event") ? "EventDriven"
                                                                            : "Poll");
                         });

// Reports longer than 100 bytes: the first 100 are published, the rest
// dropped and counted; nothing of a long report shows in the next one.
TEST_F(DeviceFaults, OversizeReportsAreCutTo100Bytes) {
    const struct {
        size_t size; // 0: the device's usual "OK <cmd>\n"
        int dropped;
    } cases[] = {{150, 50}, {0, 0}, {101, 1}, {100, 0}, {4000, 3900}, {0, 0}};
    int dropped_lines = 0;
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE("report size " + std::to_string(cases[i].size));
        simfw::Faults f;
        f.report_size = cases[i].size;
        device->set_faults(f);
        std::string cmd = "s" + std::to_string(i);
        std::string report = "OK " + cmd + "\n";
        if (cases[i].size)
            report.resize(cases[i].size, '.');
        ASSERT_TRUE(remote.publish("commands", cmd));
        std::vector<std::string> got = payloads("status_update", i + 1, 5s);
        ASSERT_EQ(got.size(), i + 1);
        EXPECT_EQ(escape(got[i]), escape(report_payload(report.substr(0, 100))));
        if (cases[i].dropped) {
            dropped_lines++;
            EXPECT_TRUE(bridge.wait_for_stdout("DROPPED " + std::to_string(cases[i].dropped) +
                                                   " BYTES BEYOND A 100-BYTE REPORT\n",
                                               1s));
        }
        EXPECT_EQ(count(bridge.stdout_text(), "DROPPED "), dropped_lines);
    }
    EXPECT_EQ(device->command_texts().size(), std::size(cases));
}

// A status report that answers no command is passed on and removes nothing:
// the next list is sent whole and in order.
TEST_F(DeviceFaults, ReportWithNoCommandOutstanding) {
    device->send_unsolicited("unasked\n");
    EXPECT_EQ(payloads("status_update", 1, 5s), Strings{report_payload("unasked\n")});
    EXPECT_TRUE(device->wait_for_acks(1, 2s));
    ASSERT_TRUE(remote.publish("commands", "a;b"));
    EXPECT_EQ(
        payloads("status_update", 3, 10s),
        (Strings{report_payload("unasked\n"), report_payload("OK a\n"), report_payload("OK b\n")}));
    EXPECT_EQ(device->command_texts(), (Strings{"a", "b"}));
}

// ------------------------------------------------------------------ MQTT input

using MqttInput = Road;

// A mebibyte of short commands: all queued, none lost or doubled at the head
// of the line, and the exchange starts at once.
TEST_F(MqttInput, MebibyteOfShortCommandsIsQueuedWhole) {
    const int n = kMiB / 8; // "c000000;"
    std::string list;
    for (int i = 0; i < n; i++) {
        char cmd[16];
        snprintf(cmd, sizeof(cmd), "c%06d;", i);
        list += cmd;
    }
    ASSERT_EQ(list.size(), kMiB);
    ASSERT_TRUE(remote.publish("commands", list, 1, 10s));
    EXPECT_EQ(payloads("status_update", 3, 10s),
              (Strings{report_payload("OK c000000\n"), report_payload("OK c000001\n"),
                       report_payload("OK c000002\n")}));
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "TOKENIZED COMMAND: c"), n);
    EXPECT_TRUE(bridge.wait_for_stdout("TOKENIZED COMMAND: c131071\n", 0ms));
    Strings head = device->command_texts();
    head.resize(3);
    EXPECT_EQ(head, (Strings{"c000000", "c000001", "c000002"}));
    figure("commands_queued", count(out, "TOKENIZED COMMAND: c"));
}

class BigCommand : public Road {
    simfw::Options device_options() override {
        simfw::Options o;
        o.report_format = "OK\n";
        // The mebibyte crosses the pty in many reads; only a real pause ends
        // the command.
        o.quiet_gap = 200ms;
        return o;
    }
};

// One command of a mebibyte goes to the line byte for byte, in one piece.
TEST_F(BigCommand, MebibyteCommandReachesTheLineExactly) {
    std::string cmd;
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> letter('A', 'z');
    while (cmd.size() < kMiB)
        cmd += static_cast<char>(letter(gen));
    ASSERT_TRUE(remote.publish("commands", cmd, 1, 10s));
    EXPECT_EQ(payloads("status_update", 1, 20s), Strings{report_payload("OK\n")});
    Strings got = device->command_texts();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), cmd.size());
    EXPECT_TRUE(got[0] == cmd) << "the command changed on its way";
}

// Lists that yield nothing, and topics that are nearly "commands". The bridge
// subscribes to "commands" alone, so the broker keeps the near misses from it
// (the handler's own exact match is covered in process by test_intake). After
// each, the bridge must still be idle: an information report goes to "info".
TEST_F(MqttInput, OddListsAndNearMissTopics) {
    const struct {
        const char *name, *topic;
        std::string payload;
        Strings sent;   // what reaches the device
        bool delivered; // to the bridge, which prints "<topic> <payload>"
        const char *printed;
    } cases[] = {
        {"NUL ends the list",
         "commands",
         std::string("a;b\0c;d", 7),
         {"a", "b"},
         true,
         "commands a;b\n"},
        {"separators only", "commands", ";;;", {}, true, "commands ;;;\n"},
        {"empty", "commands", "", {}, true, "commands (null)\n"},
        {"capital", "Commands", "x", {}, false, "Commands x\n"},
        {"sub-topic", "commands/x", "x", {}, false, "commands/x x\n"},
        {"singular", "command", "x", {}, false, "command x\n"},
    };
    Strings sent;
    size_t reports = 0;
    for (size_t i = 0; i < std::size(cases); i++) {
        const auto &c = cases[i];
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(remote.publish(c.topic, c.payload));
        reports += c.sent.size();
        sent.insert(sent.end(), c.sent.begin(), c.sent.end());
        EXPECT_EQ(payloads("status_update", reports, 5s).size(), reports);
        device->send_info("!idle " + std::to_string(i) + "\n");
        std::vector<std::string> info = payloads("info", i + 1, 5s);
        ASSERT_EQ(info.size(), i + 1) << "the report was not taken as information";
        EXPECT_EQ(info.back(), report_payload("!idle " + std::to_string(i) + "\n"));
        EXPECT_EQ(count(bridge.stdout_text(), c.printed), c.delivered ? 1 : 0);
    }
    ASSERT_TRUE(remote.publish("commands", "ok"));
    EXPECT_EQ(payloads("status_update", reports + 1, 5s).back(), report_payload("OK ok\n"));
    sent.push_back("ok");
    EXPECT_EQ(device->command_texts(), sent);
}

} // namespace
