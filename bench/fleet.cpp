// fleet-driver: many bridges at once against one broker or a cluster, run by
// scripts/fleet.sh, which starts the broker(s) first and stops them after.
//
// Each unit is the test build of the bridge as a process in a folder of its
// own (its client certificate, a stand-in ifconfig that gives it its MAC,
// ./ttyATH0 linked to a pty) and the simulated firmware on that pty, here in
// this process. Every status report names its unit ("OK u007 <cmd>"), and
// so does every information report, so the remote party can count per unit.
// The remote (the harness's RemoteClient, persistent session, QoS 1) is on
// the port given: mosquitto itself, or one node of the cluster that the
// outage leaves alone.
//
// Phases, each printing its figures; a failed check is listed at the end and
// makes the exit status 1, a missed target never does:
//   1 cold start    all bridges started at once: start -> login at the remote
//   2 commands      one list of K commands on "commands", which every unit
//                   takes: N*K device commands, N*K reports, each once
//   2b login->list  M bridges restarted; a client publishes a list naming the
//                   unit on receipt of its login: the unit's device must get it
//   3 outage        information reports from every device once a second while
//                   the broker is SIGKILLed and restarted (mosquitto) or the
//                   node holding most sessions is SIGKILLed (cluster): time
//                   until every unit that lost its session has logged in again,
//                   reports lost and duplicated, connection attempts per
//                   second; then a list must reach every device again
//   4 resources     per-unit RSS, PSS and CPU from /proc; broker memory per
//                   session (taken at the end of phase 2)
// --storm runs phases 1 and 3 only, for the reconnection storm's timeline.
// --addressed runs the units' build with topics under units/<MAC>/ and
// availability, each unit logged in by its certificate's CN (its MAC) and
// held to its own topics by the broker: phases 1 and 2b, then
//   A1 lists        a list of its own to each unit on units/<MAC>/commands:
//                   each device gets its own list and nothing else
//   A2 isolation    with one unit's certificate, a publish into another
//                   unit's commands and a subscription to its status_update:
//                   the broker refuses both, the other device gets nothing
//   A3 availability a unit SIGKILLed shows offline (the will), online after
//                   its restart; a unit SIGTERMed shows offline by its own
//                   publish before a clean DISCONNECT
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "harness.h"
#include "sim_firmware.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double secs(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A report as the device wrote it, without the zeros that pad its payload
// and without its line end.
std::string text_of(const std::string &payload) {
    std::string t = payload.substr(0, payload.find('\0'));
    if (!t.empty() && t.back() == '\n')
        t.pop_back();
    return t;
}

struct Config {
    int units = 10;
    std::string broker = "mosquitto"; // or cluster
    std::string work, certs, broker_dir, pids;
    int remote_port = e2e::kPort;
    std::vector<int> node_ports; // cluster: the nodes' MQTT ports, in node order
    int commands = 5;            // K of phase 2
    int probes = 10;             // M of phase 2b
    int outage_s = 5;            // mosquitto: how long the broker stays dead
    bool storm = false;          // phases 1 and 3 only
    std::string timeline;        // attempts per second of phase 3, written here
    std::string haproxy_sock;    // set: attempts counted at haproxy's frontend
    bool addressed = false;      // the units' build, each on its own topics
};

std::vector<std::string> failures;

void check(bool ok, const std::string &what) {
    printf("  check: %s: %s\n", what.c_str(), ok ? "ok" : "FAILED");
    if (!ok)
        failures.push_back(what);
}

std::string unit_name(int i) {
    char b[16];
    snprintf(b, sizeof b, "u%03d", i + 1);
    return b;
}

std::string unit_mac(int i) {
    char b[32];
    snprintf(b, sizeof b, "02:FC:00:00:%02X:%02X", ((i + 1) >> 8) & 0xff, (i + 1) & 0xff);
    return b;
}

pid_t read_pid(const std::string &path) {
    std::ifstream in(path);
    pid_t pid = -1;
    in >> pid;
    return pid;
}

struct Unit {
    int index;
    std::string name, mac, dir;
    e2e::Pty pty;
    std::unique_ptr<e2e::FakeIfconfig> ifconfig;
    std::unique_ptr<simfw::SimFirmware> sim;
    std::unique_ptr<e2e::Bridge> bridge;
    Clock::time_point started;

    Unit(int i, const Config &cfg) : index(i), name(unit_name(i)), mac(unit_mac(i)) {
        dir = cfg.work + "/" + name;
        std::filesystem::create_directories(dir);
        e2e::copy_file(cfg.certs + "/ca.pem", dir + "/crt.ca.qx.pem");
        e2e::copy_file(cfg.certs + "/" + name + ".pem", dir + "/tls-cert.pem");
        e2e::copy_file(cfg.certs + "/" + name + ".key", dir + "/tls-key.pem", 0600);
        ifconfig = std::make_unique<e2e::FakeIfconfig>(dir);
        ifconfig->set_output("eth0      Link encap:Ethernet  HWaddr " + mac +
                             "  \n          inet addr:192.168.1.1  Bcast:192.168.1.255  "
                             "Mask:255.255.255.0\n");
        pty.link(dir + "/ttyATH0");
        simfw::Options o;
        o.report_format = "OK " + name + " {cmd}\n";
        sim = std::make_unique<simfw::SimFirmware>(pty.master(), o);
        bridge = std::make_unique<e2e::Bridge>(dir, ifconfig->bin_dir());
        addressed = cfg.addressed;
        if (addressed)
            bridge->use_build("mqtt-serial-bridge-test-units");
    }
    // The unit's topic NAME: under units/<MAC>/ when addressed.
    std::string topic(const std::string &name) const {
        return addressed ? "units/" + mac + "/" + name : name;
    }
    bool addressed = false;
    void start(const std::string &pids) {
        started = Clock::now();
        bridge->start();
        // For fleet.sh to stop by PID should this driver die first.
        e2e::write_file(pids + "/bridge-" + name + ".pid", std::to_string(bridge->pid()) + "\n");
    }
    size_t stdout_size() const {
        return bridge->stdout_text().size();
    }
    size_t stderr_size() const {
        return bridge->stderr_text().size();
    }
    // How often the device has received TEXT.
    int got(const std::string &text) const {
        auto all = sim->command_texts();
        return static_cast<int>(std::count(all.begin(), all.end(), text));
    }
};

// A client that publishes a list naming a unit as soon as it receives that
// unit's login: from the message callback, as a server reacting to logins
// would, with no polling delay that would give the bridge time to subscribe.
class LoginResponder {
  public:
    explicit LoginResponder(const Config &cfg) : addressed_(cfg.addressed) {
        mosq_ = mosquitto_new("fleet-responder", true, this);
        mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_tls_set(mosq_, (cfg.certs + "/ca.pem").c_str(), nullptr,
                          (cfg.certs + "/responder.pem").c_str(),
                          (cfg.certs + "/responder.key").c_str(), nullptr);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *m, void *obj, int rc) {
            auto *self = static_cast<LoginResponder *>(obj);
            if (rc == 0)
                mosquitto_subscribe(m, &self->sub_mid_,
                                    self->addressed_ ? "units/+/login" : "login", 1);
        });
        mosquitto_subscribe_callback_set(mosq_,
                                         [](mosquitto *, void *obj, int mid, int, const int *) {
                                             auto *self = static_cast<LoginResponder *>(obj);
                                             if (mid == self->sub_mid_)
                                                 self->subscribed_ = true;
                                         });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto *m, void *obj, const mosquitto_message *msg) {
                auto *self = static_cast<LoginResponder *>(obj);
                std::string p(static_cast<const char *>(msg->payload), msg->payloadlen);
                auto at = p.find("\"ID\":\"");
                if (at == std::string::npos)
                    return;
                std::string list, mac = p.substr(at + 6, 17);
                {
                    std::lock_guard<std::mutex> lock(self->mutex_);
                    auto it = self->targets_.find(mac);
                    if (it == self->targets_.end())
                        return;
                    list = it->second;
                }
                std::string to = self->addressed_ ? "units/" + mac + "/commands" : "commands";
                mosquitto_publish(m, nullptr, to.c_str(), static_cast<int>(list.size()),
                                  list.data(), 1, false);
                self->sent_++;
            });
        mosquitto_connect(mosq_, "localhost", cfg.remote_port, 60);
        mosquitto_loop_start(mosq_);
    }
    ~LoginResponder() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    // From now on, a login of one of TARGETS (MAC -> list) is answered.
    void answer(std::map<std::string, std::string> targets) {
        std::lock_guard<std::mutex> lock(mutex_);
        targets_ = std::move(targets);
    }
    bool wait_subscribed(e2e::Duration timeout) {
        return e2e::eventually(timeout, [&] { return subscribed_.load(); });
    }
    int sent() const {
        return sent_;
    }

  private:
    bool addressed_;
    mosquitto *mosq_;
    std::mutex mutex_;
    std::map<std::string, std::string> targets_; // MAC -> list
    int sub_mid_ = -1;
    std::atomic<bool> subscribed_{false};
    std::atomic<int> sent_{0};
};

// Connection attempts at the broker's door: the haproxy frontend's session
// count when haproxy is in front, or every TCP connect() in this network
// namespace (mosquitto alone: fleet.sh gives the run a namespace of its own,
// where only the bridges and the remote connect; refused attempts count
// too).
long attempts_counter(const Config &cfg) {
    if (!cfg.haproxy_sock.empty()) {
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", cfg.haproxy_sock.c_str());
        long n = -1;
        if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            const char cmd[] = "show stat\n";
            if (write(s, cmd, sizeof cmd - 1) == static_cast<ssize_t>(sizeof cmd - 1)) {
                std::string out;
                char buf[4096];
                ssize_t r;
                while ((r = read(s, buf, sizeof buf)) > 0)
                    out.append(buf, r);
                std::istringstream lines(out);
                std::string line;
                while (std::getline(lines, line)) {
                    if (line.rfind("mqtt,FRONTEND,", 0) != 0)
                        continue;
                    std::istringstream f(line);
                    std::string field;
                    for (int i = 0; i <= 7 && std::getline(f, field, ','); i++)
                        if (i == 7)
                            n = std::atol(field.c_str());
                }
            }
        }
        close(s);
        return n;
    }
    std::ifstream in("/proc/net/snmp");
    std::string head, values;
    while (std::getline(in, head) && std::getline(in, values)) {
        if (head.rfind("Tcp:", 0) != 0)
            continue;
        std::istringstream h(head), v(values);
        std::string name, value;
        while (h >> name && v >> value)
            if (name == "ActiveOpens")
                return std::atol(value.c_str());
    }
    return -1;
}

bool port_open(int port) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// Established connections whose local port is PORT (the broker side).
int sessions_on(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    int n = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st;
        f >> sl >> local >> remote >> st;
        auto colon = local.find(':');
        if (st == "01" && colon != std::string::npos &&
            std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            n++;
    }
    return n;
}

class Fleet {
  public:
    explicit Fleet(const Config &cfg) : cfg_(cfg) {}

    int run();

  private:
    void cold_start();
    void commands();
    void login_then_list();
    void outage();
    void resources();
    void addressed_lists();
    void isolation();
    void availability();
    // The availability payloads of unit I the remote has received.
    std::vector<std::string> states_of(int i) const;

    // The MAC -> unit index of every login on the remote, with its time.
    std::vector<std::pair<int, Clock::time_point>> logins() const;
    std::vector<pid_t> broker_pids() const;
    long broker_rss_kib() const;
    bool devices_idle(e2e::Duration timeout);
    // Publishes LIST once and checks that each device got each of its
    // commands once and each report reached the remote once; adds to
    // lost_ and dup_.
    void list_to_all(const std::vector<std::string> &cmds, const std::string &phase);

    Config cfg_;
    std::vector<std::unique_ptr<Unit>> units_;
    std::map<std::string, int> by_mac_;
    std::unique_ptr<e2e::RemoteClient> remote_;
    std::unique_ptr<LoginResponder> responder_;
    std::unique_ptr<e2e::Process> restarted_; // a broker or node this driver brought back
    long lost_ = 0, dup_ = 0;
    int refusals_ = 0, refusals_held_ = 0; // isolation checks made and passed
    double all_back_s_ = NAN;
    long broker_baseline_kib_ = -1, broker_loaded_kib_ = -1;
    Clock::time_point t_start_;
};

std::vector<std::pair<int, Clock::time_point>> Fleet::logins() const {
    std::vector<std::pair<int, Clock::time_point>> out;
    std::vector<std::string> topics{"login"};
    if (cfg_.addressed) {
        topics.clear();
        for (const auto &u : units_)
            topics.push_back(u->topic("login"));
    }
    for (const auto &t : topics) {
        for (const auto &m : remote_->messages(t)) {
            auto at = m.payload.find("\"ID\":\"");
            if (at == std::string::npos)
                continue;
            auto it = by_mac_.find(m.payload.substr(at + 6, 17));
            if (it != by_mac_.end())
                out.emplace_back(it->second, m.received);
        }
    }
    return out;
}

std::vector<pid_t> Fleet::broker_pids() const {
    std::vector<pid_t> out;
    if (cfg_.broker == "cluster") {
        for (size_t k = 1; k <= cfg_.node_ports.size(); k++)
            out.push_back(read_pid(cfg_.pids + "/rabbit" + std::to_string(k) + ".pid"));
    } else {
        out.push_back(read_pid(cfg_.pids + "/mosquitto.pid"));
    }
    return out;
}

long Fleet::broker_rss_kib() const {
    long sum = 0;
    for (pid_t p : broker_pids()) {
        long k = bench::proc_kib(p, "status", "VmRSS");
        if (k < 0)
            return -1;
        sum += k;
    }
    return sum;
}

bool Fleet::devices_idle(e2e::Duration timeout) {
    for (auto &u : units_)
        if (!u->sim->wait_idle(timeout))
            return false;
    return true;
}

void Fleet::list_to_all(const std::vector<std::string> &cmds, const std::string &phase) {
    std::string list;
    for (size_t i = 0; i < cmds.size(); i++)
        list += (i ? ";" : "") + cmds[i];
    auto reports_of = [&] {
        std::map<std::string, int> seen;
        for (const auto &m : remote_->messages("status_update"))
            seen[text_of(m.payload)]++;
        return seen;
    };
    const size_t want = units_.size() * cmds.size();
    auto t0 = Clock::now();
    check(remote_->publish("commands", list, 1, 30s), phase + ": the remote's list accepted");
    // About three poll cycles and the device's 150 ms per command; generous
    // for a loaded machine and a cluster that is taking a node back.
    auto limit = e2e::Duration(90000 + 2000 * static_cast<long>(cmds.size()));
    e2e::eventually(limit, [&] {
        size_t n = 0;
        for (const auto &kv : reports_of()) {
            for (const auto &c : cmds)
                if (kv.first.size() > c.size() &&
                    kv.first.compare(kv.first.size() - c.size(), c.size(), c) == 0 &&
                    kv.first[kv.first.size() - c.size() - 1] == ' ')
                    n += 1;
        }
        return n >= want;
    });
    double took = secs(Clock::now() - t0);
    auto seen = reports_of();
    long lost = 0, dup = 0, wrong = 0;
    for (auto &u : units_) {
        auto texts = u->sim->command_texts();
        for (const auto &c : cmds) {
            if (std::count(texts.begin(), texts.end(), c) != 1) {
                wrong++;
                // Where it stopped: at the broker, in the bridge's queue, or
                // on the line.
                std::string out = u->bridge->stdout_text();
                printf("  %s: %d times at the device; the bridge %s it and %s it to the line\n",
                       u->name.c_str(), static_cast<int>(std::count(texts.begin(), texts.end(), c)),
                       out.find("TOKENIZED COMMAND: " + c + "\n") != std::string::npos
                           ? "queued"
                           : "never queued",
                       out.find("SENDING TO ARDUINO: " + c + "\n") != std::string::npos
                           ? "wrote"
                           : "never wrote");
            }
            int n = seen["OK " + u->name + " " + c];
            if (n == 0)
                lost++;
            else
                dup += n - 1;
        }
    }
    printf("  %zu units x %zu commands: %ld device commands not received exactly once, "
           "%ld reports lost, %ld duplicated; settled in %.1f s\n",
           units_.size(), cmds.size(), wrong, lost, dup, took);
    check(wrong == 0, phase + ": every command reached every device once");
    check(lost == 0, phase + ": every report reached the remote");
    check(dup == 0, phase + ": no report reached the remote twice");
    lost_ += lost;
    dup_ += dup;
}

void Fleet::cold_start() {
    printf("== phase 1: cold start of %zu bridges\n", units_.size());
    auto t0 = Clock::now();
    for (auto &u : units_)
        u->start(cfg_.pids);
    double spawn = secs(Clock::now() - t0);
    const size_t n = units_.size();
    e2e::eventually(e2e::Duration(60000 + 500 * static_cast<long>(n)), [&] {
        std::set<int> in;
        for (auto &l : logins())
            in.insert(l.first);
        return in.size() >= n;
    });
    std::map<int, Clock::time_point> first;
    for (auto &l : logins())
        first.emplace(l.first, l.second);
    std::vector<double> lat;
    double last = 0;
    for (auto &kv : first) {
        lat.push_back(secs(kv.second - units_[kv.first]->started) * 1000);
        last = std::max(last, secs(kv.second - t0));
    }
    printf("  started in %.2f s; start -> login: %s; all %zu in %.2f s\n", spawn,
           bench::format_summary(bench::summarize(lat)).c_str(), first.size(), last);
    if (cfg_.broker == "cluster") {
        printf("  sessions per node:");
        for (int p : cfg_.node_ports)
            printf(" %d", sessions_on(p));
        printf(" (the remote's included on the last)\n");
    }
    check(first.size() == n, "phase 1: every unit logged in (" + std::to_string(first.size()) +
                                 " of " + std::to_string(n) + ")");
    // Every bridge subscribes right after its login; the lists of phase 2
    // must find the subscriptions in place.
    e2e::eventually(30s, [&] {
        for (auto &u : units_)
            if (u->bridge->stdout_text().find("received SUBACK") == std::string::npos)
                return false;
        return true;
    });
}

void Fleet::commands() {
    printf("== phase 2: one list of %d commands on \"commands\", taken by every unit\n",
           cfg_.commands);
    std::vector<std::string> cmds;
    for (int i = 1; i <= cfg_.commands; i++)
        cmds.push_back("P2-" + std::to_string(i));
    list_to_all(cmds, "phase 2");
    check(devices_idle(30s), "phase 2: every device idle again");
    broker_loaded_kib_ = broker_rss_kib();
}

void Fleet::login_then_list() {
    const int m = std::min<int>(cfg_.probes, static_cast<int>(units_.size()));
    printf("== phase 2b: %d bridges restarted; on receipt of each login a list naming the unit "
           "is published\n",
           m);
    std::map<std::string, std::string> targets;
    for (int i = 0; i < m; i++)
        targets[units_[i]->mac] = "PROBE-" + units_[i]->name;
    LoginResponder &responder = *responder_;
    responder.answer(targets);
    for (int i = 0; i < m; i++)
        units_[i]->bridge->kill();
    for (int i = 0; i < m; i++)
        units_[i]->start(cfg_.pids);
    e2e::eventually(30s, [&] { return responder.sent() >= m; });
    e2e::eventually(20s, [&] {
        for (int i = 0; i < m; i++)
            if (units_[i]->got("PROBE-" + units_[i]->name) == 0)
                return false;
        return true;
    });
    // Any that came late would have come by now; the others' lists keep the
    // devices busy a while longer.
    std::this_thread::sleep_for(2s);
    int missed = 0;
    for (int i = 0; i < m; i++)
        if (units_[i]->got("PROBE-" + units_[i]->name) != 1)
            missed++;
    printf("  lists published on login: %d; reached their unit's device once: %d; lost: %d\n",
           responder.sent(), m - missed, missed);
    check(responder.sent() == m, "phase 2b: every restarted unit's login seen");
    check(missed == 0, "phase 2b: a list published on receipt of a login reaches that device");
    check(devices_idle(e2e::Duration(30000 + 1000L * m)), "phase 2b: every device idle again");
}

void Fleet::outage() {
    const size_t n = units_.size();
    printf("== phase 3: information reports every second from each device while %s\n",
           cfg_.broker == "cluster" ? "the node holding most sessions is SIGKILLed"
                                    : "the broker is SIGKILLed and restarted");
    std::atomic<bool> reporting{true};
    std::vector<int> sent(n, 0);
    std::thread reporter([&] {
        auto next = Clock::now();
        int seq = 0;
        while (reporting) {
            seq++;
            for (size_t i = 0; i < n && reporting; i++) {
                units_[i]->sim->send_info("!" + units_[i]->name + " " + std::to_string(seq) + "\n");
                sent[i] = seq;
                next += 1000ms / n;
                std::this_thread::sleep_until(next);
            }
        }
    });
    // Attempts per second, sampled from the start of the phase.
    std::atomic<bool> sampling{true};
    std::mutex tl_mutex;
    std::vector<std::pair<Clock::time_point, long>> timeline;
    std::thread sampler([&] {
        auto next = Clock::now();
        while (sampling) {
            long v = attempts_counter(cfg_);
            {
                std::lock_guard<std::mutex> lock(tl_mutex);
                timeline.emplace_back(Clock::now(), v);
            }
            next += 1s;
            std::this_thread::sleep_until(next);
        }
    });
    std::this_thread::sleep_for(5s);

    std::vector<size_t> out_at(n), err_at(n);
    for (size_t i = 0; i < n; i++) {
        out_at[i] = units_[i]->stdout_size();
        err_at[i] = units_[i]->stderr_size();
    }
    auto t_kill = Clock::now();
    Clock::time_point t_restart = t_kill;
    int killed_node = 0;
    if (cfg_.broker == "cluster") {
        // The busiest node but the remote's.
        int best = -1;
        for (size_t k = 0; k < cfg_.node_ports.size(); k++) {
            if (cfg_.node_ports[k] == cfg_.remote_port)
                continue;
            int s = sessions_on(cfg_.node_ports[k]);
            if (best < 0 || s > best) {
                best = s;
                killed_node = static_cast<int>(k) + 1;
            }
        }
        pid_t pid = read_pid(cfg_.pids + "/rabbit" + std::to_string(killed_node) + ".pid");
        printf("  SIGKILL to node %d (pid %d), %d sessions on it\n", killed_node, pid, best);
        t_kill = Clock::now();
        kill(pid, SIGKILL);
    } else {
        pid_t pid = read_pid(cfg_.pids + "/mosquitto.pid");
        printf("  SIGKILL to mosquitto (pid %d); restarted %d s later\n", pid, cfg_.outage_s);
        t_kill = Clock::now();
        kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::seconds(cfg_.outage_s));
        restarted_ = std::make_unique<e2e::Process>();
        restarted_->start({cfg_.broker_dir + "/start.sh"}, cfg_.broker_dir,
                          cfg_.broker_dir + "/restart.out", cfg_.broker_dir + "/restart.out");
        t_restart = Clock::now();
        e2e::write_file(cfg_.pids + "/mosquitto.pid", std::to_string(restarted_->pid()) + "\n");
    }
    // Who lost the session: a lost connection or a stopped loop logged since.
    std::this_thread::sleep_for(3s);
    std::vector<size_t> affected;
    for (size_t i = 0; i < n; i++) {
        std::string out = units_[i]->bridge->stdout_text().substr(out_at[i]);
        std::string err = units_[i]->bridge->stderr_text().substr(err_at[i]);
        if (out.find("Connection lost") != std::string::npos ||
            err.find("Network loop stopped") != std::string::npos)
            affected.push_back(i);
    }
    // Back: a login after the kill, and a subscription the broker took (a
    // cluster node that cannot reach the unit's old queue drops the
    // connection at its SUBSCRIBE, after the login went through).
    auto back_at = [&] {
        std::map<int, Clock::time_point> back;
        for (auto &l : logins())
            if (l.second > t_kill && units_[l.first]->bridge->stdout_text().find(
                                         "received SUBACK", out_at[l.first]) != std::string::npos)
                back.emplace(l.first, l.second);
        return back;
    };
    e2e::eventually(e2e::Duration(60000 + 500 * static_cast<long>(n)), [&] {
        auto back = back_at();
        for (size_t i : affected)
            if (!back.count(static_cast<int>(i)))
                return false;
        return true;
    });
    auto back = back_at();
    std::vector<double> downtime;
    size_t came_back = 0;
    Clock::time_point last = t_restart;
    for (size_t i : affected) {
        auto it = back.find(static_cast<int>(i));
        if (it == back.end())
            continue;
        came_back++;
        downtime.push_back(secs(it->second - t_restart) * 1000);
        last = std::max(last, it->second);
    }
    // Not a time at all when some never came back.
    all_back_s_ = came_back == affected.size() ? secs(last - t_restart) : NAN;
    printf("  %zu of %zu units lost their session; %zu logged in again; %s -> login: %s; "
           "all back %.2f s after the %s\n",
           affected.size(), n, came_back, cfg_.broker == "cluster" ? "kill" : "restart",
           bench::format_summary(bench::summarize(downtime)).c_str(), all_back_s_,
           cfg_.broker == "cluster" ? "kill" : "restart");
    check(!affected.empty(), "phase 3: the outage cost sessions");
    check(came_back == affected.size(),
          "phase 3: every unit that lost its session logged in again");

    std::this_thread::sleep_for(5s);
    reporting = false;
    reporter.join();
    // Every report the devices wrote must reach the remote.
    auto tally = [&] {
        std::map<std::string, int> seen;
        for (const auto &m : remote_->messages("info"))
            seen[text_of(m.payload)]++;
        return seen;
    };
    auto written = [&] {
        std::vector<std::string> all;
        for (auto &u : units_)
            for (const auto &r : u->sim->reports())
                if (r.kind == simfw::ReportKind::info)
                    all.push_back(text_of(r.text));
        return all;
    };
    auto delivered = [&] {
        auto seen = tally();
        for (const auto &t : written())
            if (!seen.count(t))
                return false;
        return true;
    };
    auto undelivered = [&] {
        auto seen = tally();
        long n = 0;
        for (const auto &t : written())
            n += seen.count(t) ? 0 : 1;
        return n;
    };
    if (cfg_.broker == "cluster") {
        // What waits for the dead node, then the node back in the cluster.
        e2e::eventually(20s, delivered);
        printf("  information reports not delivered while node %d is down: %ld\n", killed_node,
               undelivered());
        printf("  node %d restarted\n", killed_node);
        restarted_ = std::make_unique<e2e::Process>();
        std::string dir = cfg_.broker_dir + "/node" + std::to_string(killed_node);
        restarted_->start({dir + "/start.sh"}, dir, dir + "/out.log", dir + "/out.log");
        e2e::write_file(cfg_.pids + "/rabbit" + std::to_string(killed_node) + ".pid",
                        std::to_string(restarted_->pid()) + "\n");
        auto t_node = Clock::now();
        bool up =
            e2e::eventually(120s, [&] { return port_open(cfg_.node_ports[killed_node - 1]); });
        printf("  node %d accepting again after %.1f s\n", killed_node,
               secs(Clock::now() - t_node));
        check(up, "phase 3: the killed node came back");
    }
    e2e::eventually(e2e::Duration(cfg_.broker == "cluster" ? 120000 : 60000), delivered);
    sampling = false;
    sampler.join();
    auto seen = tally();
    long lost = 0, dup = 0, total = 0;
    for (const auto &t : written()) {
        total++;
        auto it = seen.find(t);
        if (it == seen.end())
            lost++;
        else
            dup += it->second - 1;
    }
    long queued = 0;
    for (size_t i = 0; i < n; i++)
        queued += sent[i];
    printf("  information reports: %ld queued at the devices, %ld written, %ld lost, %ld "
           "duplicated\n",
           queued, total, lost, dup);
    check(lost == 0, "phase 3: no information report lost");
    lost_ += lost;
    dup_ += dup;

    // Connection attempts per second, and the data of the storm's plot.
    long peak = 0;
    std::ofstream tl;
    if (!cfg_.timeline.empty())
        tl.open(cfg_.timeline, std::ios::trunc);
    if (tl)
        tl << "# seconds since the kill, connection attempts in the second before\n";
    for (size_t i = 1; i < timeline.size(); i++) {
        long d = timeline[i].second - timeline[i - 1].second;
        peak = std::max(peak, d);
        if (tl)
            tl << secs(timeline[i].first - t_kill) << " " << d << "\n";
    }
    printf("  connection attempts at the %s: peak %ld/s\n",
           cfg_.haproxy_sock.empty() ? "broker's port" : "proxy", peak);

    check(devices_idle(30s), "phase 3: every device idle again");
    if (!cfg_.storm) {
        printf("  after the outage, a list to every unit:\n");
        list_to_all({"P3-AFTER"}, "phase 3");
    }
}

// A client on one unit's certificate trying another unit's topics; records
// what the broker answers.
class Intruder {
  public:
    Intruder(const Config &cfg, const std::string &cert_name, const std::string &role) {
        mosq_ = mosquitto_new(("intruder-" + role + "-" + cert_name).c_str(), true, this);
        mosquitto_tls_set(mosq_, (cfg.certs + "/ca.pem").c_str(), nullptr,
                          (cfg.certs + "/" + cert_name + ".pem").c_str(),
                          (cfg.certs + "/" + cert_name + ".key").c_str(), nullptr);
        mosquitto_connect_callback_set(mosq_, [](mosquitto *, void *obj, int rc) {
            static_cast<Intruder *>(obj)->connack_ = rc;
        });
        mosquitto_disconnect_callback_set(mosq_, [](mosquitto *, void *obj, int) {
            static_cast<Intruder *>(obj)->dropped_ = true;
        });
        mosquitto_subscribe_callback_set(
            mosq_, [](mosquitto *, void *obj, int, int n, const int *granted) {
                static_cast<Intruder *>(obj)->granted_ = n > 0 ? granted[0] : -2;
            });
        mosquitto_publish_callback_set(mosq_, [](mosquitto *, void *obj, int) {
            static_cast<Intruder *>(obj)->puback_ = true;
        });
        mosquitto_message_callback_set(mosq_,
                                       [](mosquitto *, void *obj, const mosquitto_message *) {
                                           static_cast<Intruder *>(obj)->received_++;
                                       });
        mosquitto_connect(mosq_, "localhost", cfg.remote_port, 60);
        mosquitto_loop_start(mosq_);
    }
    ~Intruder() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    bool connected(e2e::Duration timeout) {
        return e2e::eventually(timeout, [&] { return connack_.load() == 0; });
    }
    mosquitto *mosq_;
    std::atomic<int> connack_{-1}, granted_{-1}, received_{0};
    std::atomic<bool> dropped_{false}, puback_{false};
};

std::vector<std::string> Fleet::states_of(int i) const {
    std::vector<std::string> out;
    for (const auto &m : remote_->messages(units_[i]->topic("availability")))
        out.push_back(m.payload);
    return out;
}

void Fleet::addressed_lists() {
    printf("== phase A1: a list of its own to each unit on units/<MAC>/commands\n");
    std::vector<Clock::time_point> sent(units_.size());
    for (size_t i = 0; i < units_.size(); i++) {
        auto &u = *units_[i];
        sent[i] = Clock::now();
        check(
            remote_->publish(u.topic("commands"), "L-" + u.name + "-1;L-" + u.name + "-2", 1, 30s),
            "phase A1: the list to " + u.name + " accepted");
    }
    e2e::eventually(e2e::Duration(60000 + 200L * units_.size()), [&] {
        for (size_t i = 0; i < units_.size(); i++)
            if (remote_->messages(units_[i]->topic("status_update")).size() < 2)
                return false;
        return true;
    });
    std::vector<double> lat;
    long wrong = 0, lost = 0, dup = 0;
    for (size_t i = 0; i < units_.size(); i++) {
        auto &u = *units_[i];
        auto reports = remote_->messages(u.topic("status_update"));
        if (!reports.empty())
            lat.push_back(secs(reports[0].received - sent[i]) * 1000);
        std::vector<std::string> own{"L-" + u.name + "-1", "L-" + u.name + "-2"};
        if (u.sim->command_texts() != own) {
            wrong++;
            printf("  %s's device got:", u.name.c_str());
            for (const auto &t : u.sim->command_texts())
                printf(" %s", t.c_str());
            printf("\n");
        }
        std::map<std::string, int> seen;
        for (const auto &m : remote_->messages(u.topic("status_update")))
            seen[text_of(m.payload)]++;
        for (const auto &c : own) {
            int n = seen["OK " + u.name + " " + c];
            lost += n == 0;
            dup += n > 1 ? n - 1 : 0;
        }
    }
    printf("  list -> first report: %s; devices with other than their own list: %ld; reports "
           "lost %ld, duplicated %ld\n",
           bench::format_summary(bench::summarize(lat)).c_str(), wrong, lost, dup);
    check(wrong == 0, "phase A1: every device got its own list and nothing else");
    check(lost == 0 && dup == 0, "phase A1: every report reached the remote once");
    lost_ += lost;
    dup_ += dup;
    check(devices_idle(30s), "phase A1: every device idle again");
}

void Fleet::isolation() {
    if (units_.size() < 2)
        return;
    Unit &own = *units_[0], &other = *units_[1];
    printf("== phase A2: %s's certificate on %s's topics\n", own.name.c_str(), other.name.c_str());
    // Two clients: a refused publish may cost the writer its connection, and
    // with it (clean session) the reader's subscription.
    Intruder reader(cfg_, own.name, "reader"), writer(cfg_, own.name, "writer");
    check(reader.connected(10s) && writer.connected(10s),
          "phase A2: the intruders connected on " + own.name + "'s certificate");
    mosquitto_subscribe(reader.mosq_, nullptr, other.topic("status_update").c_str(), 1);
    e2e::eventually(5s, [&] { return reader.granted_.load() != -1 || reader.dropped_.load(); });
    int granted = reader.granted_.load();
    bool dropped_by_subscribe = reader.dropped_.load();
    mosquitto_publish(writer.mosq_, nullptr, other.topic("commands").c_str(), 7, "INTRUDE", 1,
                      false);
    e2e::eventually(5s, [&] { return writer.puback_.load() || writer.dropped_.load(); });
    bool puback = writer.puback_.load(), dropped = writer.dropped_.load();
    // The other unit reports: the intruder must not see it.
    check(remote_->publish(other.topic("commands"), "ISO-" + other.name, 1, 30s),
          "phase A2: the remote's list to " + other.name + " accepted");
    e2e::eventually(20s, [&] { return other.got("ISO-" + other.name) == 1; });
    std::this_thread::sleep_for(2s);
    printf("  subscription to %s: %s; publish into its commands: %s\n",
           other.topic("status_update").c_str(),
           dropped_by_subscribe ? "connection closed"
           : granted == 0x80    ? "refused (SUBACK 0x80)"
                                : ("granted QoS " + std::to_string(granted)).c_str(),
           dropped  ? "connection closed"
           : puback ? "acknowledged (PUBACK)"
                    : "no answer");
    auto refusal = [&](bool held, const std::string &what) {
        refusals_++;
        refusals_held_ += held;
        check(held, "phase A2: " + what);
    };
    refusal(other.got("INTRUDE") == 0, "another unit's commands: its device got nothing");
    // Meaningful only while the reader's subscription stood: a reader the
    // broker disconnected at its SUBSCRIBE has refused it too.
    refusal(other.got("ISO-" + other.name) == 1 && reader.received_.load() == 0 &&
                (dropped_by_subscribe || !reader.dropped_.load()),
            "another unit's status_update: its report reached the remote, not the intruder");
}

void Fleet::availability() {
    Unit &k = *units_[0];
    printf("== phase A3: availability; %s SIGKILLed and restarted\n", k.name.c_str());
    auto count_of = [&](int i, const char *s) {
        auto v = states_of(i);
        return static_cast<size_t>(std::count(v.begin(), v.end(), s));
    };
    size_t off0 = count_of(0, "offline");
    size_t on0 = count_of(0, "online");
    auto t0 = Clock::now();
    k.bridge->kill();
    bool off = e2e::eventually(10s, [&] { return count_of(0, "offline") > off0; });
    double t_off = secs(Clock::now() - t0);
    k.start(cfg_.pids);
    auto t1 = Clock::now();
    bool on = e2e::eventually(30s, [&] { return count_of(0, "online") > on0; });
    all_back_s_ = secs(Clock::now() - t1);
    printf("  SIGKILL -> offline (the will): %.3f s; restart -> online: %.2f s\n", t_off,
           all_back_s_);
    check(off, "phase A3: a unit killed shows offline");
    check(on, "phase A3: the unit shows online again after its restart");
    if (units_.size() < 2)
        return;
    Unit &t = *units_[1];
    printf("== phase A3: %s stopped with SIGTERM\n", t.name.c_str());
    size_t off1 = count_of(1, "offline");
    t0 = Clock::now();
    ::kill(t.bridge->pid(), SIGTERM);
    off = e2e::eventually(10s, [&] { return count_of(1, "offline") > off1; });
    double t_term = secs(Clock::now() - t0);
    auto status = t.bridge->wait_exit(6s);
    std::this_thread::sleep_for(1s);
    bool once = count_of(1, "offline") == off1 + 1;
    std::string log = e2e::read_file(cfg_.broker_dir + "/mosquitto.log");
    bool clean = cfg_.broker != "mosquitto" ||
                 log.find("Client " + t.mac + " disconnected.") != std::string::npos;
    printf("  SIGTERM -> offline: %.3f s; exit status %d; offline received %zu time(s)%s\n", t_term,
           status ? *status : -1, count_of(1, "offline") - off1,
           cfg_.broker == "mosquitto" ? (clean ? "; the broker logged a DISCONNECT" : "") : "");
    check(off && status && *status == 0, "phase A3: a unit stopped shows offline and exits 0");
    check(once && clean, "phase A3: offline by its own publish, then a clean DISCONNECT (no will)");
    size_t on1 = count_of(1, "online");
    t.start(cfg_.pids);
    check(e2e::eventually(30s, [&] { return count_of(1, "online") > on1; }),
          "phase A3: the stopped unit online again after its restart");
}

void Fleet::resources() {
    printf("== phase 4: resources\n");
    std::vector<double> rss, pss, cpu;
    double cpu_total = 0;
    auto now = Clock::now();
    for (auto &u : units_) {
        pid_t p = u->bridge->pid();
        rss.push_back(bench::proc_kib(p, "status", "VmRSS"));
        pss.push_back(bench::proc_kib(p, "smaps_rollup", "Pss"));
        double c = bench::cpu_seconds(p);
        cpu_total += c;
        cpu.push_back(100.0 * c / secs(now - u->started));
    }
    printf("  per unit: RSS %s; PSS %s; CPU %s over its life\n",
           bench::format_summary(bench::summarize(rss), "KiB").c_str(),
           bench::format_summary(bench::summarize(pss), "KiB").c_str(),
           bench::format_summary(bench::summarize(cpu), "%").c_str());
    printf("  all units: %.1f CPU seconds in %.0f s\n", cpu_total, secs(now - t_start_));
    if (broker_baseline_kib_ > 0 && broker_loaded_kib_ > 0) {
        printf("  broker RSS: %ld KiB with no unit, %ld KiB with %zu sessions: %.1f KiB per "
               "session\n",
               broker_baseline_kib_, broker_loaded_kib_, units_.size(),
               static_cast<double>(broker_loaded_kib_ - broker_baseline_kib_) /
                   static_cast<double>(units_.size()));
    }
    if (!cfg_.haproxy_sock.empty()) {
        pid_t hp = read_pid(cfg_.pids + "/haproxy.pid");
        printf("  haproxy RSS %ld KiB, CPU %.2f s\n", bench::proc_kib(hp, "status", "VmRSS"),
               bench::cpu_seconds(hp));
    }
    long cpu_broker = 0;
    for (pid_t p : broker_pids())
        cpu_broker += static_cast<long>(bench::cpu_seconds(p) * 100);
    printf("  broker CPU (the current processes): %.2f s\n", cpu_broker / 100.0);
}

int Fleet::run() {
    t_start_ = Clock::now();
    // The clients first: libmosquitto waits on its socket with select(),
    // which takes no descriptor above 1023, and every unit holds a few here.
    e2e::RemoteClient::Options o;
    o.id = "fleet-remote";
    o.cafile = cfg_.certs + "/ca.pem";
    o.certfile = cfg_.certs + "/remote.pem";
    o.keyfile = cfg_.certs + "/remote.key";
    o.clean_session = false;
    o.port = cfg_.remote_port;
    remote_ = std::make_unique<e2e::RemoteClient>(o);
    e2e::Outcome up = remote_->connect(10s);
    const std::string under = cfg_.addressed ? "units/+/" : "";
    if (up)
        up = remote_->subscribe(under + "login", 1);
    if (up)
        up = remote_->subscribe(under + "status_update", 1);
    if (up)
        up = remote_->subscribe(under + "info", 1);
    if (up && cfg_.addressed)
        up = remote_->subscribe(under + "availability", 1);
    if (!up)
        printf("  %s\n", up.message());
    check(up, "the remote connected and subscribed");
    if (!up)
        return 1;
    if (!cfg_.storm) {
        responder_ = std::make_unique<LoginResponder>(cfg_);
        check(responder_->wait_subscribed(10s), "the responder subscribed to login");
    }
    printf("== %d units against %s; preparing their folders and devices\n", cfg_.units,
           cfg_.broker.c_str());
    // Low descriptors kept free of the units' ptys and pipes, for the
    // clients' sockets when they reconnect (and the files read meanwhile).
    std::vector<int> reserve;
    for (int i = 0; i < 64; i++)
        reserve.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (int i = 0; i < cfg_.units; i++) {
        units_.push_back(std::make_unique<Unit>(i, cfg_));
        by_mac_[units_.back()->mac] = i;
    }
    for (int fd : reserve)
        close(fd);
    // mosquitto saves its sessions once a second: the remote's must be on
    // disk before the broker is killed.
    std::this_thread::sleep_for(1500ms);
    broker_baseline_kib_ = broker_rss_kib();

    cold_start();
    if (cfg_.addressed) {
        addressed_lists();
        login_then_list();
        isolation();
        availability();
    } else {
        if (!cfg_.storm) {
            commands();
            login_then_list();
        }
        outage();
    }
    resources();

    // The summary is the last line, after the failures.
    for (const auto &f : failures)
        printf("fleet: FAILED: %s\n", f.c_str());
    printf("fleet: %zu units, %ld reports lost, %ld duplicates, all back in %.1f s", units_.size(),
           lost_, dup_, all_back_s_);
    if (cfg_.addressed)
        printf(", isolation: %d of %d refusals held", refusals_held_, refusals_);
    printf("\n");
    return failures.empty() ? 0 : 1;
}

void usage(const char *argv0) {
    fprintf(stderr,
            "usage: %s --work DIR --certs DIR --broker-dir DIR --pids DIR [--units N]\n"
            "          [--broker mosquitto|cluster] [--remote-port P] [--node-ports P,P,P]\n"
            "          [--commands K] [--probes M] [--outage S] [--storm] [--timeline FILE]\n"
            "          [--haproxy-sock PATH] [--addressed]\n",
            argv0);
}

} // namespace

int main(int argc, char **argv) {
    Config cfg;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(argv[0]);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--units")
            cfg.units = std::atoi(next().c_str());
        else if (a == "--broker")
            cfg.broker = next();
        else if (a == "--work")
            cfg.work = next();
        else if (a == "--certs")
            cfg.certs = next();
        else if (a == "--broker-dir")
            cfg.broker_dir = next();
        else if (a == "--pids")
            cfg.pids = next();
        else if (a == "--remote-port")
            cfg.remote_port = std::atoi(next().c_str());
        else if (a == "--node-ports") {
            std::stringstream s(next());
            std::string p;
            while (std::getline(s, p, ','))
                cfg.node_ports.push_back(std::atoi(p.c_str()));
        } else if (a == "--commands")
            cfg.commands = std::atoi(next().c_str());
        else if (a == "--probes")
            cfg.probes = std::atoi(next().c_str());
        else if (a == "--outage")
            cfg.outage_s = std::atoi(next().c_str());
        else if (a == "--storm")
            cfg.storm = true;
        else if (a == "--timeline")
            cfg.timeline = next();
        else if (a == "--haproxy-sock")
            cfg.haproxy_sock = next();
        else if (a == "--addressed")
            cfg.addressed = true;
        else {
            usage(argv[0]);
            return 2;
        }
    }
    if (cfg.work.empty() || cfg.certs.empty() || cfg.broker_dir.empty() || cfg.pids.empty() ||
        cfg.units < 1 || (cfg.broker == "cluster" && cfg.node_ports.empty())) {
        usage(argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Every unit holds a pty pair and its device's wake pipe here.
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
    mosquitto_lib_init();
    int rc;
    try {
        rc = Fleet(cfg).run();
    } catch (const std::exception &e) {
        fprintf(stderr, "fleet: FAILED: %s\n", e.what());
        rc = 1;
    }
    mosquitto_lib_cleanup();
    return rc;
}
