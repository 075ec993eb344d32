// Phase 3: information reports from every device while the broker, or the
// cluster node holding most sessions, is SIGKILLed; who lost the session,
// who came back and when, what was delivered, and the connection attempts
// per second.
#include <signal.h>
#include <stdio.h>

#include <fstream>
#include <mutex>
#include <thread>

#include "fleet.h"

namespace fleet {

struct Fleet::Outage {
    // What each unit's bridge had logged before the kill.
    std::vector<size_t> out_at, err_at;
    Clock::time_point t_kill, t_restart; // the cluster's "restart" is the kill
    int killed_node = 0;                 // cluster: 1-based
    std::vector<size_t> affected;        // units that lost their session
    std::vector<int> sent;               // the last report's number per unit
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, long>> timeline; // attempts so far
};

void Fleet::outage() {
    const size_t n = units_.size();
    printf("== phase 3: information reports every second from each device while %s\n",
           cfg_.cluster() ? "the node holding most sessions is SIGKILLed"
                          : "the broker is SIGKILLed and restarted");
    Outage o;
    o.sent.assign(n, 0);
    std::thread reporter([&] {
        auto next = Clock::now();
        for (int seq = 1; o.running; seq++) {
            for (size_t i = 0; i < n && o.running; i++) {
                units_[i]->sim->send_info("!" + units_[i]->name + " " + std::to_string(seq) + "\n");
                o.sent[i] = seq;
                next += 1000ms / n;
                std::this_thread::sleep_until(next);
            }
        }
    });
    // Attempts per second, sampled from the start of the phase until the
    // tally is done.
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        for (auto next = Clock::now(); sampling; std::this_thread::sleep_until(next += 1s)) {
            long v = attempts();
            std::lock_guard<std::mutex> lock(o.mutex);
            o.timeline.emplace_back(Clock::now(), v);
        }
    });
    std::this_thread::sleep_for(5s);

    kill_broker(o);
    who_lost(o);
    who_came_back(o);
    std::this_thread::sleep_for(5s);
    o.running = false;
    reporter.join();
    if (cfg_.cluster())
        restart_node(o);
    delivered_tally(o);
    sampling = false;
    sampler.join();
    attempts_timeline(o);

    check(devices_idle(30s), "phase 3: every device idle again");
    if (!cfg_.storm) {
        printf("  after the outage, a list to every unit:\n");
        lists_to_units("phase 3", false,
                       [](const Unit &) { return std::vector<std::string>{"P3-AFTER"}; });
    }
}

// SIGKILL to mosquitto, restarted after the outage, or to the busiest
// cluster node but the remote's.
void Fleet::kill_broker(Outage &o) {
    for (auto &u : units_) {
        o.out_at.push_back(u->bridge->stdout_text().size());
        o.err_at.push_back(u->bridge->stderr_text().size());
    }
    if (cfg_.cluster()) {
        int best = -1;
        for (size_t k = 0; k < cfg_.node_ports.size(); k++) {
            int s = bench::sessions_on(cfg_.node_ports[k]);
            if (cfg_.node_ports[k] != cfg_.remote_port && (best < 0 || s > best)) {
                best = s;
                o.killed_node = static_cast<int>(k) + 1;
            }
        }
        pid_t pid = read_pid(cfg_.pids + "/rabbit" + std::to_string(o.killed_node) + ".pid");
        printf("  SIGKILL to node %d (pid %d), %d sessions on it\n", o.killed_node, pid, best);
        o.t_kill = o.t_restart = Clock::now();
        kill(pid, SIGKILL);
        return;
    }
    pid_t pid = read_pid(cfg_.pids + "/mosquitto.pid");
    printf("  SIGKILL to mosquitto (pid %d); restarted %d s later\n", pid, cfg_.outage_s);
    o.t_kill = Clock::now();
    kill(pid, SIGKILL);
    std::this_thread::sleep_for(std::chrono::seconds(cfg_.outage_s));
    restart(cfg_.broker_dir, "restart.out", "mosquitto");
    o.t_restart = Clock::now();
}

void Fleet::restart(const std::string &dir, const std::string &out, const std::string &name) {
    restarted_ = std::make_unique<e2e::Process>();
    restarted_->start({dir + "/start.sh"}, dir, dir + "/" + out, dir + "/" + out);
    // For fleet.sh to stop it by PID at the end.
    e2e::write_file(cfg_.pids + "/" + name + ".pid", std::to_string(restarted_->pid()) + "\n");
}

// A unit lost its session when its bridge has logged a lost connection or a
// stopped loop since the kill.
void Fleet::who_lost(Outage &o) {
    std::this_thread::sleep_for(3s);
    for (size_t i = 0; i < units_.size(); i++) {
        std::string out = units_[i]->bridge->stdout_text().substr(o.out_at[i]);
        std::string err = units_[i]->bridge->stderr_text().substr(o.err_at[i]);
        if (out.find("Connection lost") != std::string::npos ||
            err.find("Network loop stopped") != std::string::npos)
            o.affected.push_back(i);
    }
}

// Back: a login after the kill, and a subscription the broker took (a
// cluster node that cannot reach the unit's old queue drops the connection
// at its SUBSCRIBE, after the login went through).
void Fleet::who_came_back(Outage &o) {
    auto back_at = [&] {
        std::map<int, Clock::time_point> back;
        for (auto &l : logins())
            if (l.second > o.t_kill &&
                units_[l.first]->bridge->stdout_text().find("received SUBACK", o.out_at[l.first]) !=
                    std::string::npos)
                back.emplace(l.first, l.second);
        return back;
    };
    e2e::eventually(e2e::Duration(60000 + 500 * static_cast<long>(units_.size())), [&] {
        auto back = back_at();
        for (size_t i : o.affected)
            if (!back.count(static_cast<int>(i)))
                return false;
        return true;
    });
    auto back = back_at();
    std::vector<double> downtime;
    size_t came_back = 0;
    Clock::time_point last = o.t_restart;
    for (size_t i : o.affected) {
        auto it = back.find(static_cast<int>(i));
        if (it == back.end())
            continue;
        came_back++;
        downtime.push_back(bench::ms(it->second - o.t_restart));
        last = std::max(last, it->second);
    }
    // Not a time at all when some never came back.
    all_back_s_ = came_back == o.affected.size() ? secs(last - o.t_restart) : NAN;
    const char *from = cfg_.cluster() ? "kill" : "restart";
    printf("  %zu of %zu units lost their session; %zu logged in again; %s -> login: %s; "
           "all back %.2f s after the %s\n",
           o.affected.size(), units_.size(), came_back, from,
           bench::format_summary(bench::summarize(downtime)).c_str(), all_back_s_, from);
    check(!o.affected.empty(), "phase 3: the outage cost sessions");
    check(came_back == o.affected.size(),
          "phase 3: every unit that lost its session logged in again");
}

// Cluster: what waits for the dead node, then the node back in the cluster.
void Fleet::restart_node(Outage &o) {
    auto undelivered = [&] { return missing(seen_on("info"), written()).first; };
    e2e::eventually(20s, [&] { return undelivered() == 0; });
    printf("  information reports not delivered while node %d is down: %ld\n", o.killed_node,
           undelivered());
    printf("  node %d restarted\n", o.killed_node);
    std::string node = std::to_string(o.killed_node);
    restart(cfg_.broker_dir + "/node" + node, "out.log", "rabbit" + node);
    auto t_node = Clock::now();
    bool up = e2e::eventually(
        120s, [&] { return e2e::accepting_on_loopback(cfg_.node_ports[o.killed_node - 1]); });
    printf("  node %d accepting again after %.1f s\n", o.killed_node, secs(Clock::now() - t_node));
    check(up, "phase 3: the killed node came back");
}

// Every report the devices wrote must reach the remote, once.
void Fleet::delivered_tally(Outage &o) {
    e2e::eventually(e2e::Duration(cfg_.cluster() ? 120000 : 60000),
                    [&] { return missing(seen_on("info"), written()).first == 0; });
    auto all = written();
    auto [lost, dup] = missing(seen_on("info"), all);
    lost_ += lost;
    dup_ += dup;
    long queued = 0;
    for (int s : o.sent)
        queued += s;
    printf("  information reports: %ld queued at the devices, %zu written, %ld lost, %ld "
           "duplicated\n",
           queued, all.size(), lost, dup);
    check(lost == 0, "phase 3: no information report lost");
}

// Connection attempts per second, and the data of the storm's plot.
void Fleet::attempts_timeline(Outage &o) {
    long peak = 0;
    std::ofstream tl;
    if (!cfg_.timeline.empty())
        tl.open(cfg_.timeline, std::ios::trunc);
    if (tl)
        tl << "# seconds since the kill, connection attempts in the second before\n";
    for (size_t i = 1; i < o.timeline.size(); i++) {
        long d = o.timeline[i].second - o.timeline[i - 1].second;
        peak = std::max(peak, d);
        if (tl)
            tl << secs(o.timeline[i].first - o.t_kill) << " " << d << "\n";
    }
    printf("  connection attempts at the %s: peak %ld/s\n",
           cfg_.haproxy_sock.empty() ? "broker's port" : "proxy", peak);
}

} // namespace fleet
