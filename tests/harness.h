// End-to-end test harness: real peers for the test build of the bridge.
//
// Each test process (gtest_discover_tests runs one per case) gets its own
// network namespace from e2e_main.cpp, so the fixed port 18883 is free in
// every test. The pieces:
//   WorkDir      a temporary folder; the bridge's working directory
//   certs()      CA, broker and client certificates (scripts/make-certs.sh)
//   Broker       a mosquitto broker on 127.0.0.1:18883 (mutual TLS, refusing,
//                or plain)
//   Pty          the serial device: a raw pty pair, slave at DIR/ttyATH0
//   FakeIfconfig a busybox-style ifconfig first on the bridge's PATH
//                (scripts/peer-files.sh, as the broker's configuration)
//   Bridge       the bridge process, stdout and stderr captured in files
//   RemoteClient a libmosquitto client that records what it receives
//   E2E          a fixture holding all of the above, the broker running
//
// Every wait takes a timeout. Helpers that check something return
// ::testing::AssertionResult, so a test writes
// EXPECT_TRUE(bridge.wait_for_stderr("Connect failed\n", 5s)) and a failure
// shows what was seen instead.
#ifndef BRIDGE_TESTS_HARNESS_H
#define BRIDGE_TESTS_HARNESS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

struct mosquitto;
struct mosquitto_message;

namespace e2e {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;

constexpr int kPort = 18883;
// The address that the default fake ifconfig reports.
constexpr const char *kMac = "02:FC:00:00:00:01";
// busybox ifconfig output for one interface that is up: what the fake
// ifconfig prints until set_output (scripts/peer-files.sh).
constexpr const char *kBusyboxIfconfig =
    "eth0      Link encap:Ethernet  HWaddr 02:FC:00:00:00:01  \n"
    "          inet addr:192.168.1.1  Bcast:192.168.1.255  Mask:255.255.255.0\n";

// Gives this process a network namespace of its own with its loopback up,
// so that the fixed port never meets another test's broker. Call before any
// thread starts. Without the privilege for that it goes on in the host's
// network; TAKE_LOCK then makes it wait for a host-wide lock file so that
// such processes take turns.
void isolate_network(bool take_lock);

// Every wait's timeout is multiplied by the integer in the environment
// variable E2E_TIMEOUT_SCALE (default 1), for runs under a slow wrapper.
// Observation periods (read_all_for, expect_silence) are not scaled.
Duration scaled(Duration timeout);

// Polls PRED every 10 ms until it holds or TIMEOUT (scaled) has passed; one
// last look after the deadline.
template <class Pred> bool eventually(Duration timeout, Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

// How often NEEDLE occurs in TEXT.
int count(const std::string &text, const std::string &needle);

// A figure of a scenario: printed as "FIGURE name=value" and recorded as a
// test property, so a run shows what was survived, not only that it passed.
void figure(const std::string &name, long value);

// The 55-byte login payload the bridge publishes for ID; an ID shorter than
// 17 characters leaves zero bytes at the end.
std::string login_payload(const std::string &id);

// Bytes shown with C escapes, for failure messages.
using simfw::escape;

std::string read_file(const std::string &path); // empty when the file is missing
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
void copy_file(const std::string &from, const std::string &to, mode_t mode = 0644);

// Certificates made by scripts/make-certs.sh (EC P-256, valid for two days)
// once into the build tree, for every test process. All files are
// world-readable: the broker reads them after dropping to its own user.
struct Certs {
    std::string dir;
    std::string ca, ca_key;                          // the CA the bridge trusts
    std::string broker_cert, broker_key;             // SAN DNS:localhost,IP:127.0.0.1, serverAuth
    std::string client_cert, client_key;             // clientAuth, signed by ca
    std::string other_ca, other_ca_key;              // an unrelated CA
    std::string other_broker_cert, other_broker_key; // SAN localhost, signed by other_ca
    std::string other_client_cert, other_client_key; // clientAuth, signed by other_ca
    std::string elsewhere_cert, elsewhere_key;       // signed by ca, SAN DNS:elsewhere.invalid only
};
// Throws std::runtime_error with the script's output when generation fails.
const Certs &certs();

// Copies ca, client_cert and client_key into DIR under the names the test
// build reads: crt.ca.qx.pem, tls-cert.pem, tls-key.pem.
void install_bridge_certs(const std::string &dir);

// A temporary folder (mode 0755, so the broker can read it after dropping
// root), removed with its contents on destruction unless keep() was called.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    const std::string &path() const {
        return path_;
    }
    std::string file(const std::string &name) const {
        return path_ + "/" + name;
    }
    void keep() {
        keep_ = true;
    }

  private:
    std::string path_;
    bool keep_ = false;
};

// A child process in its own process group, stdin from /dev/null. Killed
// (SIGKILL to its group) and reaped on destruction.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    // argv[0] is looked up in PATH when it has no '/'. ENV empty: inherit.
    // Throws when it cannot be started.
    void start(const std::vector<std::string> &argv, const std::string &cwd,
               const std::string &out_path, const std::string &err_path,
               const std::vector<std::string> &env = {});
    pid_t pid() const {
        return pid_;
    }
    bool running();
    // Exit status (128 + signal number when killed by a signal), or nothing
    // when still running after TIMEOUT.
    std::optional<int> wait(Duration timeout);
    void signal(int sig); // to the process itself, if running
    void kill();          // SIGKILL to the group, then reap
    // SIGTERM, then kill() when still running after TIMEOUT.
    void stop(Duration timeout);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs ARGV to completion (cwd CWD) and returns its exit status; its output
// goes to OUTPUT. Throws when it runs longer than TIMEOUT.
int run_command(const std::vector<std::string> &argv, const std::string &cwd, std::string *output,
                Duration timeout = 30s);

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

// The broker's log line for any client's connection.
inline const std::regex kAnyClient("New client connected");

// mosquitto on 127.0.0.1:kPort (or config.port). Files in DIR: mosquitto.conf, mosquitto.log
// (its log, kept across restarts), mosquitto.out (its stdout and stderr).
class Broker {
  public:
    explicit Broker(std::string dir) : dir_(std::move(dir)) {}
    // Writes the configuration, starts the broker and waits until the port
    // accepts connections.
    ::testing::AssertionResult start(const BrokerConfig &config = {}, Duration timeout = 5s);
    void stop(Duration timeout = 5s) {
        process_.stop(timeout);
    }
    void kill() {
        process_.kill();
    }
    ::testing::AssertionResult restart(Duration timeout = 5s); // stop, start with the same config
    ::testing::AssertionResult restart(const BrokerConfig &config, Duration timeout = 5s);
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
    ::testing::AssertionResult wait_for_log(const std::regex &pattern, Duration timeout,
                                            int count = 1) const;

  private:
    std::string dir_;
    BrokerConfig config_;
    Process process_;
};

// The serial line: a raw pty pair (pty_line.h). The test plays the device on
// the master side.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    const std::string &slave_path() const {
        return pair_.slave_path;
    }
    int master() const {
        return pair_.master;
    }
    // Symlinks PATH (DIR/ttyATH0 for the bridge) to the slave.
    void link(const std::string &path);
    void write(const std::string &bytes);
    // Up to N bytes: returns early once N have come, or what came within
    // TIMEOUT.
    std::string read_bytes(size_t n, Duration timeout);
    // Reads exactly as many bytes as EXPECTED has and compares.
    ::testing::AssertionResult expect_bytes(const std::string &expected, Duration timeout);
    // Everything that arrives during D.
    std::string read_all_for(Duration d);
    // Success when nothing arrives during D.
    ::testing::AssertionResult expect_silence(Duration d);

  private:
    simfw::PtyPair pair_;
    std::string link_;
};

// DIR/bin/ifconfig: a script that prints a text file, busybox output by
// default.
class FakeIfconfig {
  public:
    explicit FakeIfconfig(const std::string &dir);
    const std::string &bin_dir() const {
        return bin_dir_;
    }
    void set_output(const std::string &text); // "" prints nothing

  private:
    std::string bin_dir_;
};

// The test build of the bridge, run in DIR with BIN_DIR first on PATH.
// stdout and stderr go to DIR/bridge.stdout and DIR/bridge.stderr, emptied at
// each start. BRIDGE_EXE, when set, names the executable to run instead of
// the test build. The environment variable BRIDGE_WRAPPER, when set, is a command
// prefix split on spaces; it must keep its own output off stderr, e.g.
// "valgrind --log-file=valgrind.%p --error-exitcode=99" (relative to DIR).
// Under a wrapper the fixture ends the bridge with stop(), so that the
// wrapper sees a fatal signal it can report on rather than a SIGKILL, and
// copies DIR/valgrind.* into the folder named by E2E_ARTIFACTS, if set.
class Bridge {
  public:
    Bridge(std::string dir, std::string bin_dir)
        : dir_(std::move(dir)), bin_dir_(std::move(bin_dir)) {}
    // Runs the test build NAME (made by bridge_add_test_build, beside the
    // default one) at the next start, instead of the default test build.
    void use_build(const std::string &name);
    void start();
    bool running() {
        return process_.running();
    }
    pid_t pid() const {
        return process_.pid();
    }
    std::optional<int> wait_exit(Duration timeout) {
        return process_.wait(timeout);
    }
    void signal(int sig) {
        process_.signal(sig);
    }
    void kill() {
        process_.kill();
    }
    void stop(Duration timeout) {
        process_.stop(timeout);
    }
    std::string stdout_text() const;
    std::string stderr_text() const;
    ::testing::AssertionResult wait_for_stdout(const std::string &text, Duration timeout) const;
    ::testing::AssertionResult wait_for_stderr(const std::string &text, Duration timeout) const;

  private:
    std::string dir_, bin_dir_;
    std::string exe_; // empty: BRIDGE_EXE or the default test build
    Process process_;
};

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
    };
    RemoteClient() : RemoteClient(Options()) {}
    explicit RemoteClient(const std::string &id) : RemoteClient(with_id(id)) {}
    explicit RemoteClient(Options options);
    ~RemoteClient();
    RemoteClient(const RemoteClient &) = delete;
    RemoteClient &operator=(const RemoteClient &) = delete;

    // Connects to localhost on its port and waits for the broker's acceptance.
    // Once per client; after that the loop thread reconnects by itself.
    ::testing::AssertionResult connect(Duration timeout = 5s);
    // Waits for the SUBACK.
    ::testing::AssertionResult subscribe(const std::string &topic, int qos = 2,
                                         Duration timeout = 5s);
    // Waits until the broker has the message (PUBACK/PUBCOMP; at QoS 0 until
    // it is written).
    ::testing::AssertionResult publish(const std::string &topic, const std::string &payload,
                                       int qos = 1, Duration timeout = 5s);
    // The first message on TOPIC.
    std::optional<Message> wait_for_message(const std::string &topic, Duration timeout);
    // The messages on TOPIC once there are N of them, or those that came
    // within TIMEOUT.
    std::vector<Message> wait_for_count(const std::string &topic, size_t n, Duration timeout);
    std::vector<Message> messages(const std::string &topic) const;
    std::string log() const; // the library's log lines

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
    ::testing::AssertionResult acknowledged(const char *call, int rc, int mid,
                                            const std::string &what, Duration timeout);
    void run_loop();

    Options options_;
    struct mosquitto *mosq_ = nullptr;
    std::thread loop_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<int> connack_; // result of the last CONNACK
    bool dropped_ = false;       // connection lost or never made since connect()
    std::set<int> acked_;        // mids of SUBACKs and completed publishes
    std::vector<std::pair<std::string, int>> subscriptions_;
    std::vector<Message> messages_;
    std::string log_;
};

// The usual scene: work dir with the bridge's certificates, busybox ifconfig,
// pty at DIR/ttyATH0, and a mutual-TLS broker running. The bridge is not
// started. On failure the bridge's and broker's output is printed and the
// work dir kept.
class E2E : public ::testing::Test {
  protected:
    E2E();
    void SetUp() override;
    void TearDown() override;

    WorkDir dir;
    FakeIfconfig ifconfig;
    Pty pty;
    Broker broker;
    Bridge bridge;
};

} // namespace e2e

#endif
