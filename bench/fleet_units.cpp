// The fleet's units and the steps its phases share.
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
    else if (cfg.persistent && !cfg.clean_units)
        bridge->use_build("mqtt-serial-bridge-test-persistent");
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

void Fleet::answer_login(e2e::RemoteClient &responder, const e2e::Message &login) {
    std::string list, mac = login_mac(login.payload);
    {
        std::lock_guard<std::mutex> lock(answers_mutex_);
        auto it = answers_.find(mac);
        if (it == answers_.end())
            return;
        list = it->second;
    }
    responder.publish(cfg_.addressed ? "units/" + mac + "/commands" : "commands", list, 1, 0ms);
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

void Fleet::lists_to_units(const std::string &phase, bool own,
                           const std::function<std::vector<std::string>(const Unit &)> &list_of) {
    auto joined = [](const std::vector<std::string> &cmds) {
        std::string list;
        for (const auto &c : cmds)
            list += (list.empty() ? "" : ";") + c;
        return list;
    };
    const size_t n = units_.size();
    std::vector<size_t> before(n);
    std::vector<std::vector<std::string>> lists(n), want(n);
    for (size_t i = 0; i < n; i++) {
        before[i] = units_[i]->sim->command_texts().size();
        lists[i] = list_of(*units_[i]);
        for (const auto &c : lists[i])
            want[i].push_back("OK " + units_[i]->name + " " + c);
    }
    auto t0 = Clock::now();
    std::vector<Clock::time_point> sent(n, t0);
    for (size_t i = 0; i < (own ? n : 1); i++) {
        sent[i] = Clock::now();
        check(remote_->publish(units_[i]->topic("commands"), joined(lists[i]), 1, 30s),
              phase + ": the list" + (own ? " to " + units_[i]->name : "") + " accepted");
    }
    auto missing_of = [&](size_t i) {
        return missing(seen_on(units_[i]->topic("status_update")), want[i]);
    };
    // About three poll cycles and the device's 150 ms per command; generous
    // for a loaded machine and a cluster that is taking a node back.
    e2e::eventually(e2e::Duration(90000 + 2000 * static_cast<long>(want[0].size())), [&] {
        for (size_t i = 0; i < n; i++)
            if (missing_of(i).first)
                return false;
        return true;
    });
    double took = secs(Clock::now() - t0);
    std::vector<double> lat;
    long wrong = 0, lost = 0, dup = 0;
    for (size_t i = 0; i < n; i++) {
        Unit &u = *units_[i];
        auto [l, d] = missing_of(i);
        lost += l;
        dup += d;
        for (const auto &m : remote_->messages(u.topic("status_update")))
            if (m.received >= sent[i] && bench::line_of(m.payload) == want[i][0]) {
                lat.push_back(bench::ms(m.received - sent[i]));
                break;
            }
        auto texts = u.sim->command_texts();
        std::vector<std::string> got(texts.begin() + before[i], texts.end());
        if (got == lists[i])
            continue;
        wrong++;
        // What the device got, and where the rest stopped: at the broker, in
        // the bridge's queue, or on the line.
        std::string out = u.bridge->stdout_text();
        auto logged = [&](const char *what, const std::string &c) {
            return out.find(what + c + "\n") != std::string::npos;
        };
        printf("  %s's device got:", u.name.c_str());
        for (const auto &t : got)
            printf(" %s", t.c_str());
        for (const auto &c : lists[i])
            if (std::count(got.begin(), got.end(), c) != 1)
                printf("; %s %s, %s", c.c_str(),
                       logged("TOKENIZED COMMAND: ", c) ? "queued" : "never queued",
                       logged("SENDING TO ARDUINO: ", c) ? "written" : "never written");
        printf("\n");
    }
    lost_ += lost;
    dup_ += dup;
    printf("  %zu units x %zu commands: list -> first report %s; devices with other than their "
           "list: %ld; reports lost %ld, duplicated %ld; settled in %.1f s\n",
           n, want[0].size(), bench::format_summary(bench::summarize(lat)).c_str(), wrong, lost,
           dup, took);
    check(wrong == 0, phase + ": every device got its list once and nothing else");
    check(lost == 0, phase + ": every report reached the remote");
    check(dup == 0, phase + ": no report reached the remote twice");
    check(devices_idle(30s), phase + ": every device idle again");
}

} // namespace fleet
