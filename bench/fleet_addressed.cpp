// The addressed fleet's phases: a list of its own to each unit, spare units'
// certificates on another's topics and with another's client id, and
// availability through a kill and a stop.
#include <signal.h>
#include <stdio.h>

#include <algorithm>
#include <thread>

#include "fleet.h"

namespace fleet {

void Fleet::addressed_lists() {
    printf("== phase A1: a list of its own to each unit on units/<MAC>/commands\n");
    lists_to_units("phase A1", true, [](const Unit &u) {
        return std::vector<std::string>{"L-" + u.name + "-1", "L-" + u.name + "-2"};
    });
}

void Fleet::isolation() {
    if (units_.size() < 2)
        return;
    Unit &other = *units_[1];
    printf("== phase A2: spare units' certificates on %s's topics\n", other.name.c_str());
    // Two clients: a refused publish may cost the writer its connection, and
    // with it (clean session) the reader's subscription. Two certificates of
    // units that do not run: at mosquitto a certificate's CN is its client's
    // id, so two clients on one would end each other's sessions, and one on
    // a running unit's would end that unit's.
    auto reader = client("intruder-reader", "spare1");
    auto writer = client("intruder-writer", "spare2");
    if (!reader || !writer)
        return;
    e2e::Outcome subscribed = reader->subscribe(other.topic("status_update"), 1);
    bool dropped_by_subscribe = reader->dropped();
    bool puback = writer->publish(other.topic("commands"), "INTRUDE", 1, 5s);
    bool dropped = writer->dropped();
    // The other unit reports: the intruder must not see it.
    check(remote_->publish(other.topic("commands"), "ISO-" + other.name, 1, 30s),
          "phase A2: the remote's list to " + other.name + " accepted");
    e2e::eventually(20s, [&] { return other.got("ISO-" + other.name) == 1; });
    std::this_thread::sleep_for(2s);
    printf("  subscription to %s: %s; publish into its commands: %s\n",
           other.topic("status_update").c_str(),
           dropped_by_subscribe ? "connection closed"
           : subscribed         ? "granted"
                                : subscribed.message(),
           dropped  ? "connection closed"
           : puback ? "acknowledged (PUBACK)"
                    : "no answer");
    auto refusal = [&](bool held, const std::string &what) {
        refusals_++;
        refusals_held_ += check(held, "phase A2: " + what);
    };
    refusal(other.got("INTRUDE") == 0, "another unit's commands: its device got nothing");
    // Meaningful only while the reader's subscription stood: a reader the
    // broker disconnected at its SUBSCRIBE has refused it too.
    refusal(other.got("ISO-" + other.name) == 1 &&
                reader->messages(other.topic("status_update")).empty() &&
                (dropped_by_subscribe || !reader->dropped()),
            "another unit's status_update: its report reached the remote, not the intruder");
}

size_t Fleet::session_events(const std::string &id) const {
    std::vector<std::string> logs{cfg_.broker_dir + "/mosquitto.log"};
    std::string mark = " as " + id + " (";
    if (cfg_.cluster()) {
        logs.clear();
        for (size_t k = 1; k <= cfg_.node_ports.size(); k++)
            logs.push_back(cfg_.broker_dir + "/node" + std::to_string(k) + "/log/fleet" +
                           std::to_string(k) + "@localhost.log");
        mark = "duplicate id '" + id + "'";
    }
    size_t n = 0;
    for (const auto &f : logs) {
        std::string text = e2e::read_file(f);
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
            n++;
    }
    return n;
}

void Fleet::takeover() {
    if (units_.size() < 2)
        return;
    Unit &victim = *units_[1];
    printf("== phase A2: the spare unit's certificate connecting as %s\n", victim.mac.c_str());
    auto shown = [&](const char *state) {
        auto v = states_of(1);
        return std::count(v.begin(), v.end(), state);
    };
    size_t events0 = session_events(victim.mac);
    auto off0 = shown("offline"), on0 = shown("online");
    e2e::RemoteClient::Options o;
    o.id = victim.mac;
    o.cafile = cfg_.certs + "/ca.pem";
    o.certfile = cfg_.certs + "/spare1.pem";
    o.keyfile = cfg_.certs + "/spare1.key";
    o.port = cfg_.remote_port;
    auto intruder = std::make_unique<e2e::RemoteClient>(o);
    e2e::Outcome up = intruder->connect(10s);
    // Long enough for the broker to end the victim's session and publish its
    // will, short enough that the intruder, which reconnects by itself, does
    // not fight the victim's reconnections for long.
    std::this_thread::sleep_for(2s);
    intruder.reset();
    std::this_thread::sleep_for(1s);
    size_t events = session_events(victim.mac) - events0;
    auto offs = shown("offline") - off0;
    bool refused = events == 0 && offs == 0;
    takeovers_++;
    takeovers_refused_ += refused;
    printf("  the intruder's CONNECT: %s; %s's sessions started or ended at the broker: %zu; "
           "its offline at the remote: %ld\n",
           up ? "accepted" : up.message(), victim.name.c_str(), events, static_cast<long>(offs));
    if (!cfg_.cluster())
        check(refused, "phase A2: a unit's certificate cannot take another unit's id");
    // Where the broker lets the id go, the victim must come back by itself.
    check(refused || e2e::eventually(30s, [&] { return shown("online") > on0; }),
          "phase A2: " + victim.name + " online again after the takeover attempt");
}

void Fleet::availability() {
    auto count_of = [&](int i, const char *s) {
        auto v = states_of(i);
        return static_cast<size_t>(std::count(v.begin(), v.end(), s));
    };
    // Waits until unit I has shown STATE once more than BEFORE; false when
    // it has not within TIMEOUT.
    auto shows = [&](int i, const char *state, size_t before, e2e::Duration timeout) {
        return e2e::eventually(timeout, [&] { return count_of(i, state) > before; });
    };
    Unit &k = *units_[0];
    printf("== phase A3: availability; %s SIGKILLed and restarted\n", k.name.c_str());
    size_t off0 = count_of(0, "offline"), on0 = count_of(0, "online");
    auto t0 = Clock::now();
    k.bridge->kill();
    bool off = shows(0, "offline", off0, 10s);
    double t_off = secs(Clock::now() - t0);
    k.start(cfg_.pids);
    auto t1 = Clock::now();
    bool on = shows(0, "online", on0, 30s);
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
    off = shows(1, "offline", off1, 10s);
    double t_term = secs(Clock::now() - t0);
    auto status = t.bridge->wait_exit(6s);
    std::this_thread::sleep_for(1s);
    bool once = count_of(1, "offline") == off1 + 1;
    std::string log = e2e::read_file(cfg_.broker_dir + "/mosquitto.log");
    bool clean =
        cfg_.cluster() || log.find("Client " + t.mac + " disconnected.") != std::string::npos;
    printf("  SIGTERM -> offline: %.3f s; exit status %d; offline received %zu time(s)%s\n", t_term,
           status ? *status : -1, count_of(1, "offline") - off1,
           cfg_.cluster() ? "" : (clean ? "; the broker logged a DISCONNECT" : ""));
    check(off && status && *status == 0, "phase A3: a unit stopped shows offline and exits 0");
    check(once && clean, "phase A3: offline by its own publish, then a clean DISCONNECT (no will)");
    size_t on1 = count_of(1, "online");
    t.start(cfg_.pids);
    check(shows(1, "online", on1, 30s),
          "phase A3: the stopped unit online again after its restart");
}

} // namespace fleet
