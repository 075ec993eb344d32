#include "harness.h"

#include "net_peers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#if !defined(E2E_BRIDGE_PATH) || !defined(E2E_SCRIPTS_DIR) || !defined(E2E_CERT_DIR)
#error "E2E_BRIDGE_PATH, E2E_SCRIPTS_DIR and E2E_CERT_DIR must be defined"
#endif

extern char **environ;

namespace e2e {

// ---------------------------------------------------------------- network

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

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_errno(const std::string &what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

// Runs one of the shared scripts (scripts/NAME) with ARGS in DIR; throws with
// its output when it fails.
std::string run_script(const std::string &name, std::vector<std::string> args,
                       const std::string &dir) {
    args.insert(args.begin(), {"sh", std::string(E2E_SCRIPTS_DIR) + "/" + name});
    std::string output;
    if (run_command(args, dir, &output) != 0)
        throw std::runtime_error("scripts/" + name + " failed:\n" + output);
    return output;
}

int decode_status(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

std::string make_temp_dir(const char *prefix) {
    std::string templ = std::string("/tmp/") + prefix + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw_errno("mkdtemp");
    chmod(buf.data(), 0755);
    return buf.data();
}

int count_matching_lines(const std::string &text, const std::regex &pattern) {
    std::stringstream lines(text);
    std::string line;
    int n = 0;
    while (std::getline(lines, line))
        if (std::regex_search(line, pattern))
            n++;
    return n;
}

::testing::AssertionResult wait_for_file_text(const std::string &path, const std::string &text,
                                              Duration timeout, const char *what) {
    if (eventually(timeout, [&] { return read_file(path).find(text) != std::string::npos; }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << escape(text) << "\" not on " << what
                                         << " within " << timeout.count() << " ms; it holds:\n"
                                         << read_file(path);
}

} // namespace

Duration scaled(Duration timeout) {
    static const int scale = [] {
        const char *s = getenv("E2E_TIMEOUT_SCALE");
        int n = s ? atoi(s) : 1;
        return n > 0 ? n : 1;
    }();
    return timeout * scale;
}

std::string login_payload(const std::string &id) {
    std::string text = "{\"ID\":\"" + id + "\",\"login\":\"test\",\"pass\":\"vmzq\"}";
    text.resize(55, '\0');
    return text;
}

int count(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        n++;
    return n;
}

void figure(const std::string &name, long value) {
    ::testing::Test::RecordProperty(name, std::to_string(value));
    printf("FIGURE %s=%ld\n", name.c_str(), value);
    fflush(stdout);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw_errno("open " + path);
        out << content;
        if (!out)
            throw_errno("write " + path);
    }
    chmod(path.c_str(), mode);
}

void copy_file(const std::string &from, const std::string &to, mode_t mode) {
    std::ifstream probe(from, std::ios::binary);
    if (!probe)
        throw_errno("open " + from);
    write_file(to, read_file(from), mode);
}

// ---------------------------------------------------------------- processes

Process::~Process() {
    kill();
}

void Process::start(const std::vector<std::string> &argv, const std::string &cwd,
                    const std::string &out_path, const std::string &err_path,
                    const std::vector<std::string> &env) {
    if (running())
        throw std::runtime_error("process " + argv.at(0) + " is already running");
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addchdir_np(&files, cwd.c_str());
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
#ifdef __GLIBC__
    // No descriptor of the test (pty master, sockets) leaks into the peer;
    // elsewhere the harness's own are close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
#endif
    // Its own process group, so that kill() reaches what it starts. The test
    // process ignores SIGPIPE (e2e_main.cpp) and may block
    // signals; the program must start with the defaults.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t set;
    sigemptyset(&set);
    posix_spawnattr_setsigmask(&attr, &set);
    sigaddset(&set, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &set);

    pid_t pid;
    int rc = posix_spawnp(&pid, argv.at(0).c_str(), &files, &attr, args.data(),
                          env.empty() ? environ : envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv.at(0) + " in " + cwd + ": " + strerror(rc));
    pid_ = pid;
    status_.reset();
}

bool Process::running() {
    if (pid_ <= 0 || status_)
        return false;
    int raw;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        status_ = decode_status(raw);
        return false;
    }
    return r == 0;
}

std::optional<int> Process::wait(Duration timeout) {
    if (pid_ <= 0)
        return std::nullopt;
    eventually(timeout, [&] { return !running(); });
    return status_;
}

void Process::signal(int sig) {
    if (running())
        ::kill(pid_, sig);
}

void Process::stop(Duration timeout) {
    signal(SIGTERM);
    if (!wait(timeout))
        kill();
}

void Process::kill() {
    if (running()) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int raw;
        if (waitpid(pid_, &raw, 0) == pid_)
            status_ = decode_status(raw);
    }
}

int run_command(const std::vector<std::string> &argv, const std::string &cwd, std::string *output,
                Duration timeout) {
    std::string out_path = cwd + "/.command-output";
    unlink(out_path.c_str());
    Process p;
    p.start(argv, cwd, out_path, out_path);
    std::optional<int> status = p.wait(timeout);
    if (output)
        *output = read_file(out_path);
    unlink(out_path.c_str());
    if (!status) {
        p.kill();
        throw std::runtime_error(argv.at(0) + " did not finish within " +
                                 std::to_string(timeout.count()) + " ms");
    }
    return *status;
}

// ---------------------------------------------------------------- certificates

namespace {

// Made by scripts/make-certs.sh into the build tree once, shared by every
// test process; a lock lets one of them make them while the others wait.
// Remade after a day, as they are valid for two.
Certs generate_certs() {
    Certs c;
    c.dir = E2E_CERT_DIR;
    std::filesystem::create_directories(c.dir);
    chmod(c.dir.c_str(), 0755);
    int lock = open((c.dir + "/.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        throw_errno("lock " + c.dir);
    std::string done = c.dir + "/.complete";
    struct stat st;
    if (stat(done.c_str(), &st) != 0 || time(nullptr) - st.st_mtime > 24 * 3600) {
        unlink(done.c_str());
        run_script("make-certs.sh", {c.dir, "client"}, c.dir);
        write_file(done, "");
    }
    close(lock);
    auto pair = [&](const char *name, std::string *cert, std::string *key) {
        *cert = c.dir + "/" + name + ".pem";
        *key = c.dir + "/" + name + ".key";
    };
    pair("ca", &c.ca, &c.ca_key);
    pair("broker", &c.broker_cert, &c.broker_key);
    pair("client", &c.client_cert, &c.client_key);
    pair("other-ca", &c.other_ca, &c.other_ca_key);
    pair("other-broker", &c.other_broker_cert, &c.other_broker_key);
    pair("other-client", &c.other_client_cert, &c.other_client_key);
    pair("elsewhere", &c.elsewhere_cert, &c.elsewhere_key);
    return c;
}

} // namespace

const Certs &certs() {
    static const Certs c = generate_certs();
    return c;
}

void install_bridge_certs(const std::string &dir) {
    const Certs &c = certs();
    copy_file(c.ca, dir + "/crt.ca.qx.pem");
    copy_file(c.client_cert, dir + "/tls-cert.pem");
    copy_file(c.client_key, dir + "/tls-key.pem", 0600);
}

// ---------------------------------------------------------------- work dir

WorkDir::WorkDir() : path_(make_temp_dir("mqtt-serial-bridge-e2e")) {}

WorkDir::~WorkDir() {
    std::error_code ignored;
    if (!keep_)
        std::filesystem::remove_all(path_, ignored);
}

// ---------------------------------------------------------------- broker

::testing::AssertionResult Broker::start(const BrokerConfig &config, Duration timeout) {
    if (process_.running())
        return ::testing::AssertionFailure() << "broker already running";
    config_ = config;
    const Certs &c = certs();
    std::string log_path = dir_ + "/mosquitto.log";
    const char *mode = config.listener == BrokerConfig::Listener::Plain       ? "plain"
                       : config.listener == BrokerConfig::Listener::RefuseAll ? "refuse"
                                                                              : "mutual";
    std::string conf =
        run_script("peer-files.sh",
                   {"broker", std::to_string(config.port), mode, c.ca,
                    config.certfile.empty() ? c.broker_cert : config.certfile,
                    config.keyfile.empty() ? c.broker_key : config.keyfile, log_path},
                   dir_);
    write_file(dir_ + "/mosquitto.conf", conf + config.extra + "\n");

    // Started as root the broker drops to its own user before it opens the
    // log, so the file must exist and belong to that user.
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0)
        close(fd);
    if (geteuid() == 0)
        if (struct passwd *pw = getpwnam("mosquitto"))
            if (chown(log_path.c_str(), pw->pw_uid, pw->pw_gid) != 0)
                return ::testing::AssertionFailure()
                       << "chown " << log_path << ": " << strerror(errno);

    std::string out = dir_ + "/mosquitto.out";
    process_.start({"mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_, out, out);

    sockaddr_in addr = loopback(config.port);
    bool ready = eventually(timeout, [&] {
        if (!process_.running())
            return true;
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
        close(s);
        return ok;
    });
    if (!process_.running())
        return ::testing::AssertionFailure() << "mosquitto exited at start-up:\n"
                                             << output() << log();
    if (!ready)
        return ::testing::AssertionFailure() << "mosquitto not accepting on port " << config.port
                                             << " within " << timeout.count() << " ms:\n"
                                             << output() << log();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Broker::restart(Duration timeout) {
    return restart(config_, timeout);
}

::testing::AssertionResult Broker::restart(const BrokerConfig &config, Duration timeout) {
    stop(timeout);
    return start(config, timeout);
}

std::string Broker::log() const {
    return read_file(dir_ + "/mosquitto.log");
}

std::string Broker::output() const {
    return read_file(dir_ + "/mosquitto.out");
}

int Broker::log_count(const std::regex &pattern) const {
    return count_matching_lines(log(), pattern);
}

::testing::AssertionResult Broker::wait_for_log(const std::regex &pattern, Duration timeout,
                                                int count) const {
    if (eventually(timeout, [&] { return log_count(pattern) >= count; }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << log_count(pattern) << " of " << count << " matching lines in the broker log within "
           << timeout.count() << " ms:\n"
           << log();
}

// ---------------------------------------------------------------- pty

Pty::Pty() : pair_(simfw::PtyPair::open()) {
    // Writes time out rather than block when nothing reads the line. The
    // slave stays open here so the line survives the bridge closing or
    // dying.
    fcntl(pair_.master, F_SETFL, fcntl(pair_.master, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
    if (!link_.empty())
        unlink(link_.c_str());
}

void Pty::link(const std::string &path) {
    unlink(path.c_str());
    if (symlink(pair_.slave_path.c_str(), path.c_str()) != 0)
        throw_errno("symlink " + path);
    link_ = path;
}

void Pty::write(const std::string &bytes) {
    if (!simfw::write_all(pair_.master, bytes, 5s))
        throw std::runtime_error("pty write failed or blocked: the line is not being read");
}

std::string Pty::read_bytes(size_t n, Duration timeout) {
    return simfw::read_bytes(pair_.master, n, timeout);
}

::testing::AssertionResult Pty::expect_bytes(const std::string &expected, Duration timeout) {
    std::string got = read_bytes(expected.size(), scaled(timeout));
    if (got == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "serial line: expected \"" << escape(expected) << "\" within " << timeout.count()
           << " ms, got \"" << escape(got) << "\"";
}

std::string Pty::read_all_for(Duration d) {
    return read_bytes(static_cast<size_t>(-1), d);
}

::testing::AssertionResult Pty::expect_silence(Duration d) {
    std::string got = read_all_for(d);
    if (got.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "serial line: expected silence, got \"" << escape(got) << "\"";
}

// ---------------------------------------------------------------- ifconfig

FakeIfconfig::FakeIfconfig(const std::string &dir) : bin_dir_(dir + "/bin") {
    run_script("peer-files.sh", {"ifconfig", bin_dir_}, dir);
}

void FakeIfconfig::set_output(const std::string &text) {
    write_file(bin_dir_ + "/ifconfig.out", text);
}

// ---------------------------------------------------------------- bridge

void Bridge::use_build(const std::string &name) {
    std::string path = E2E_BRIDGE_PATH;
    exe_ = path.substr(0, path.rfind('/') + 1) + name;
}

void Bridge::start() {
    std::vector<std::string> argv;
    if (const char *wrapper = getenv("BRIDGE_WRAPPER")) {
        std::stringstream words(wrapper);
        std::string w;
        while (words >> w)
            argv.push_back(w);
    }
    // BRIDGE_EXE runs another build of the bridge (the MIPS one under qemu).
    const char *exe = getenv("BRIDGE_EXE");
    if (!exe_.empty())
        argv.push_back(exe_);
    else
        argv.push_back(exe && *exe ? exe : E2E_BRIDGE_PATH);

    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "PATH=", 5) != 0)
            env.push_back(*e);
    const char *path = getenv("PATH");
    env.push_back("PATH=" + bin_dir_ + ":" + (path ? path : "/usr/bin:/bin"));

    write_file(dir_ + "/bridge.stdout", "");
    write_file(dir_ + "/bridge.stderr", "");
    process_.start(argv, dir_, dir_ + "/bridge.stdout", dir_ + "/bridge.stderr", env);
}

std::string Bridge::stdout_text() const {
    return read_file(dir_ + "/bridge.stdout");
}

std::string Bridge::stderr_text() const {
    return read_file(dir_ + "/bridge.stderr");
}

::testing::AssertionResult Bridge::wait_for_stdout(const std::string &text,
                                                   Duration timeout) const {
    return wait_for_file_text(dir_ + "/bridge.stdout", text, timeout, "the bridge's stdout");
}

::testing::AssertionResult Bridge::wait_for_stderr(const std::string &text,
                                                   Duration timeout) const {
    return wait_for_file_text(dir_ + "/bridge.stderr", text, timeout, "the bridge's stderr");
}

// ---------------------------------------------------------------- remote client

RemoteClient::RemoteClient(Options options) : options_(std::move(options)) {
    mosq_ = mosquitto_new(options_.id.c_str(), options_.clean_session, this);
    if (!mosq_)
        throw_errno("mosquitto_new");
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
        stopping_ = true;
        // The loop ends once the client is disconnecting; a reconnection
        // wait in progress ends within the library's 1 s delay.
        mosquitto_disconnect(mosq_);
        loop_.join();
    }
    mosquitto_destroy(mosq_);
}

template <class Pred> bool RemoteClient::wait_until(Duration timeout, Pred pred) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, scaled(timeout), pred);
}

::testing::AssertionResult RemoteClient::connect(Duration timeout) {
    if (loop_.joinable())
        return ::testing::AssertionFailure() << "connect() called twice";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connack_.reset();
        dropped_ = false;
    }
    int rc = mosquitto_connect(mosq_, "localhost", options_.port, 60);
    if (rc != MOSQ_ERR_SUCCESS)
        return ::testing::AssertionFailure()
               << "mosquitto_connect: " << mosquitto_strerror(rc) << "\n"
               << log();
    loop_ = std::thread([this] { run_loop(); });
    wait_until(timeout, [&] { return connack_.has_value() || dropped_; });
    std::optional<int> connack;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connack = connack_;
    }
    if (!connack)
        return ::testing::AssertionFailure() << "no CONNACK (link failed, or none within "
                                             << timeout.count() << " ms); client log:\n"
                                             << log();
    if (*connack != 0)
        return ::testing::AssertionFailure()
               << "connection refused: " << mosquitto_connack_string(*connack);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult RemoteClient::subscribe(const std::string &topic, int qos,
                                                   Duration timeout) {
    int mid = 0;
    {
        // Recorded first, so a reconnection renews this topic too.
        std::lock_guard<std::mutex> lock(mutex_);
        subscriptions_.emplace_back(topic, qos);
    }
    int rc = mosquitto_subscribe(mosq_, &mid, topic.c_str(), qos);
    return acknowledged("mosquitto_subscribe", rc, mid, "subscription to " + topic, timeout);
}

::testing::AssertionResult RemoteClient::publish(const std::string &topic,
                                                 const std::string &payload, int qos,
                                                 Duration timeout) {
    int mid = 0;
    int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), qos, false);
    return acknowledged("mosquitto_publish", rc, mid, "publish on " + topic, timeout);
}

::testing::AssertionResult RemoteClient::acknowledged(const char *call, int rc, int mid,
                                                      const std::string &what, Duration timeout) {
    if (rc != MOSQ_ERR_SUCCESS)
        return ::testing::AssertionFailure() << call << ": " << mosquitto_strerror(rc);
    if (!wait_until(timeout, [&] { return acked_.count(mid) > 0; }))
        return ::testing::AssertionFailure()
               << what << " not acknowledged within " << timeout.count() << " ms";
    return ::testing::AssertionSuccess();
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

std::string RemoteClient::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void RemoteClient::run_loop() {
    while (!stopping_) {
        errno = 0; // a stale EPROTO makes the loop give up at once
        int rc = mosquitto_loop_forever(mosq_, 100, 1);
        if (stopping_)
            break;
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

void RemoteClient::on_subscribe(struct mosquitto *, void *obj, int mid, int, const int *) {
    auto *self = static_cast<RemoteClient *>(obj);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->acked_.insert(mid);
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
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->messages_.push_back(std::move(m));
    self->cv_.notify_all();
}

void RemoteClient::on_log(struct mosquitto *, void *obj, int, const char *text) {
    auto *self = static_cast<RemoteClient *>(obj);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->log_ += text;
    self->log_ += "\n";
}

// ---------------------------------------------------------------- fixture

E2E::E2E() : ifconfig(dir.path()), broker(dir.path()), bridge(dir.path(), ifconfig.bin_dir()) {}

void E2E::SetUp() {
    install_bridge_certs(dir.path());
    pty.link(dir.file("ttyATH0"));
    ASSERT_TRUE(broker.start());
}

namespace {

// Copies DIR/valgrind.* (a wrapper's reports) into $E2E_ARTIFACTS, named
// after the current test, so that they outlive the work dir.
void collect_artifacts(const std::string &dir) {
    const char *to = getenv("E2E_ARTIFACTS");
    if (!to || !*to)
        return;
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string prefix = test ? std::string(test->test_suite_name()) + "." + test->name() : "e2e";
    for (char &ch : prefix)
        if (ch == '/')
            ch = '_';
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename();
        if (name.rfind("valgrind.", 0) == 0)
            copy_file(e.path().string(), std::string(to) + "/" + prefix + "." + name);
    }
}

} // namespace

void E2E::TearDown() {
    // Taken before the kill: whether the bridge ended by itself.
    std::optional<int> ended = bridge.running() ? std::nullopt : bridge.wait_exit(0ms);
    if (getenv("BRIDGE_WRAPPER"))
        bridge.stop(scaled(5s));
    else
        bridge.kill();
    collect_artifacts(dir.path());
    broker.stop();
    if (!HasFailure())
        return;
    dir.keep();
    std::string out = bridge.stdout_text(), err = bridge.stderr_text();
    printf("---- work dir (kept): %s\n", dir.path().c_str());
    if (ended)
        printf("---- bridge exited by itself, status %d\n", *ended);
    printf("---- bridge stdout:\n%s", out.c_str());
    printf("---- bridge stderr:\n%s", err.c_str());
    printf("---- broker output:\n%s", broker.output().c_str());
    printf("---- broker log:\n%s", broker.log().c_str());
    printf("----\n");
    fflush(stdout);
}

} // namespace e2e
