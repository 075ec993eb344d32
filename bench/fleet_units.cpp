// The fleet's units, its bare clients, and the steps its phases share.
#include <mosquitto.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "fleet.h"

namespace fleet {

namespace {

std::string unit_name(int i) {
    char b[16];
    snprintf(b, sizeof b, "u%03d", i + 1);
    return b;
}

// The MAC of unit I, as scripts/fleet.sh names its certificate's CN.
std::string unit_mac(int i) {
    char b[32];
    snprintf(b, sizeof b, "02:FC:00:00:%02X:%02X", ((i + 1) >> 8) & 0xff, (i + 1) & 0xff);
    return b;
}

// The MAC a login payload names; empty when it names none.
std::string login_mac(const std::string &payload) {
    auto at = payload.find("\"ID\":\"");
    return at == std::string::npos ? "" : payload.substr(at + 6, 17);
}

} // namespace

pid_t read_pid(const std::string &path) {
    std::ifstream in(path);
    pid_t pid = -1;
    in >> pid;
    return pid;
}

Unit::Unit(int i, const Config &cfg)
    : name(unit_name(i)), mac(unit_mac(i)), dir(cfg.work + "/" + name), addressed(cfg.addressed) {
    std::filesystem::create_directories(dir);
    e2e::install_bridge_certs(dir, cfg.certs + "/ca.pem", cfg.certs + "/" + name + ".pem",
                              cfg.certs + "/" + name + ".key");
    ifconfig = std::make_unique<e2e::FakeIfconfig>(dir, mac);
    pty.link(dir + "/ttyATH0");
    simfw::Options o;
    o.report_format = "OK " + name + " {cmd}\n";
    sim = std::make_unique<simfw::SimFirmware>(pty.master(), o);
    bridge = std::make_unique<e2e::Bridge>(dir, ifconfig->bin_dir());
    if (addressed)
        bridge->use_build("mqtt-serial-bridge-test-units");
}

void Unit::start(const std::string &pids) {
    started = Clock::now();
    bridge->start();
    // For fleet.sh to stop by PID should this driver die first.
    e2e::write_file(pids + "/bridge-" + name + ".pid", std::to_string(bridge->pid()) + "\n");
}

int Unit::got(const std::string &text) const {
    auto all = sim->command_texts();
    return static_cast<int>(std::count(all.begin(), all.end(), text));
}

Peer::Peer(const Config &cfg, const std::string &id, const std::string &cert, Hook on_message,
           std::string resubscribe)
    : on_message_(std::move(on_message)), resubscribe_(std::move(resubscribe)) {
    mosq_ = mosquitto_new(id.c_str(), true, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_tls_set(mosq_, (cfg.certs + "/ca.pem").c_str(), nullptr,
                      (cfg.certs + "/" + cert + ".pem").c_str(),
                      (cfg.certs + "/" + cert + ".key").c_str(), nullptr);
    mosquitto_connect_callback_set(mosq_, [](mosquitto *, void *obj, int rc) {
        auto *self = static_cast<Peer *>(obj);
        self->connack = rc;
        if (rc == 0 && !self->resubscribe_.empty())
            self->subscribe(self->resubscribe_);
    });
    mosquitto_disconnect_callback_set(
        mosq_, [](mosquitto *, void *obj, int) { static_cast<Peer *>(obj)->dropped = true; });
    mosquitto_subscribe_callback_set(
        mosq_, [](mosquitto *, void *obj, int, int n, const int *granted) {
            static_cast<Peer *>(obj)->granted = n > 0 ? granted[0] : -2;
        });
    mosquitto_publish_callback_set(
        mosq_, [](mosquitto *, void *obj, int) { static_cast<Peer *>(obj)->puback = true; });
    mosquitto_message_callback_set(mosq_, [](mosquitto *, void *obj, const mosquitto_message *msg) {
        auto *self = static_cast<Peer *>(obj);
        self->received++;
        if (self->on_message_)
            self->on_message_(*msg);
    });
    mosquitto_connect(mosq_, "localhost", cfg.remote_port, 60);
    mosquitto_loop_start(mosq_);
}

Peer::~Peer() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
}

bool Peer::connected(e2e::Duration timeout) const {
    return e2e::eventually(timeout, [&] { return connack.load() == 0; });
}

void Peer::subscribe(const std::string &topic) {
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1);
}

void Peer::publish(const std::string &topic, const std::string &payload) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, false);
}

void Fleet::answer_login(const mosquitto_message &msg) {
    std::string list, mac = login_mac(std::string(static_cast<const char *>(msg.payload),
                                                  static_cast<size_t>(msg.payloadlen)));
    {
        std::lock_guard<std::mutex> lock(answers_mutex_);
        auto it = answers_.find(mac);
        if (it == answers_.end())
            return;
        list = it->second;
    }
    responder_->publish(cfg_.addressed ? "units/" + mac + "/commands" : "commands", list);
    answered_++;
}

std::vector<std::pair<int, Clock::time_point>> Fleet::logins() const {
    std::vector<std::pair<int, Clock::time_point>> out;
    std::set<std::string> topics;
    for (const auto &u : units_)
        topics.insert(u->topic("login"));
    for (const auto &t : topics) {
        for (const auto &m : remote_->messages(t)) {
            auto it = by_mac_.find(login_mac(m.payload));
            if (it != by_mac_.end())
                out.emplace_back(it->second, m.received);
        }
    }
    return out;
}

std::vector<pid_t> Fleet::broker_pids() const {
    if (!cfg_.cluster())
        return {read_pid(cfg_.pids + "/mosquitto.pid")};
    std::vector<pid_t> out;
    for (size_t k = 1; k <= cfg_.node_ports.size(); k++)
        out.push_back(read_pid(cfg_.pids + "/rabbit" + std::to_string(k) + ".pid"));
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

// The haproxy frontend's session count when haproxy is in front, or every
// TCP connect() in this network namespace (mosquitto alone: fleet.sh gives
// the run a namespace of its own, where only the bridges and the remote
// connect; refused attempts count too).
long Fleet::attempts() const {
    return cfg_.haproxy_sock.empty() ? bench::tcp_active_opens()
                                     : bench::haproxy_sessions(cfg_.haproxy_sock, "mqtt");
}

std::vector<std::string> Fleet::states_of(int i) const {
    std::vector<std::string> out;
    for (const auto &m : remote_->messages(units_[i]->topic("availability")))
        out.push_back(m.payload);
    return out;
}

std::map<std::string, int> Fleet::seen_on(const std::string &topic) const {
    std::map<std::string, int> seen;
    for (const auto &m : remote_->messages(topic))
        seen[bench::line_of(m.payload)]++;
    return seen;
}

std::pair<long, long> Fleet::missing(const std::map<std::string, int> &seen,
                                     const std::vector<std::string> &want) {
    long lost = 0, dup = 0;
    for (const auto &w : want) {
        auto it = seen.find(w);
        lost += it == seen.end();
        dup += it == seen.end() ? 0 : it->second - 1;
    }
    return {lost, dup};
}

std::vector<std::string> Fleet::written() const {
    std::vector<std::string> all;
    for (auto &u : units_)
        for (const auto &r : u->sim->reports())
            if (r.kind == simfw::ReportKind::info)
                all.push_back(bench::line_of(r.text));
    return all;
}

void Fleet::list_to_all(const std::vector<std::string> &cmds, const std::string &phase) {
    std::string list;
    std::vector<std::string> want;
    for (size_t i = 0; i < cmds.size(); i++)
        list += (i ? ";" : "") + cmds[i];
    for (auto &u : units_)
        for (const auto &c : cmds)
            want.push_back("OK " + u->name + " " + c);
    auto t0 = Clock::now();
    check(remote_->publish("commands", list, 1, 30s), phase + ": the remote's list accepted");
    // About three poll cycles and the device's 150 ms per command; generous
    // for a loaded machine and a cluster that is taking a node back.
    e2e::eventually(e2e::Duration(90000 + 2000 * static_cast<long>(cmds.size())),
                    [&] { return missing(seen_on("status_update"), want).first == 0; });
    double took = secs(Clock::now() - t0);
    long wrong = 0;
    for (auto &u : units_) {
        for (const auto &c : cmds) {
            int n = u->got(c);
            if (n == 1)
                continue;
            wrong++;
            // Where it stopped: at the broker, in the bridge's queue, or on
            // the line.
            std::string out = u->bridge->stdout_text();
            auto logged = [&](const char *what) {
                return out.find(what + c + "\n") != std::string::npos;
            };
            printf("  %s: %d times at the device; the bridge %s it and %s it to the line\n",
                   u->name.c_str(), n, logged("TOKENIZED COMMAND: ") ? "queued" : "never queued",
                   logged("SENDING TO ARDUINO: ") ? "wrote" : "never wrote");
        }
    }
    auto [lost, dup] = missing(seen_on("status_update"), want);
    lost_ += lost;
    dup_ += dup;
    printf("  %zu units x %zu commands: %ld device commands not received exactly once, "
           "%ld reports lost, %ld duplicated; settled in %.1f s\n",
           units_.size(), cmds.size(), wrong, lost, dup, took);
    check(wrong == 0, phase + ": every command reached every device once");
    check(lost == 0, phase + ": every report reached the remote");
    check(dup == 0, phase + ": no report reached the remote twice");
}

} // namespace fleet
