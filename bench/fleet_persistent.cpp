// The persistent fleet's phase: a list to every unit while all are away, the
// broker restarted (mosquitto) or the node holding their queues killed
// (cluster) meanwhile, then the units back: each device must get its list
// once (with the clean session's build the lists are counted as lost).
#include <signal.h>
#include <stdio.h>

#include <thread>

#include "fleet.h"

namespace fleet {

namespace {

// Waits until PID has gone (a zombie has no VmRSS either).
bool gone(pid_t pid, e2e::Duration timeout) {
    return e2e::eventually(timeout, [&] { return bench::proc_kib(pid, "status", "VmRSS") < 0; });
}

} // namespace

// The node most units are on, the remote's left alone; 0 when none is.
int Fleet::busiest_node() const {
    int best = -1, node = 0;
    for (size_t k = 0; k < cfg_.node_ports.size(); k++) {
        int s = bench::sessions_on(cfg_.node_ports[k]);
        if (cfg_.node_ports[k] != cfg_.remote_port && s > best) {
            best = s;
            node = static_cast<int>(k) + 1;
        }
    }
    return node;
}

void Fleet::absent() {
    const std::string list = "ABSENT-1";
    const size_t n = units_.size();
    printf("== phase P: a list to every unit while all are away (%s session)\n",
           cfg_.clean_units ? "clean" : "persistent");
    int node = cfg_.cluster() ? busiest_node() : 0;
    long connected_kib = broker_rss_kib();
    for (auto &u : units_)
        u->bridge->kill();
    // The broker must have seen every unit go before the list is queued.
    std::this_thread::sleep_for(3s);
    long away_kib = broker_rss_kib();
    check(remote_->publish("commands", list, 1, 30s), "phase P: the remote's list accepted");
    std::this_thread::sleep_for(2s);
    long queued_kib = broker_rss_kib();
    auto per_unit = [&](long from, long to) {
        return from < 0 || to < 0 ? NAN : static_cast<double>(to - from) / static_cast<double>(n);
    };
    printf("  broker RSS: %ld KiB before the units, %ld with them connected, %ld with them away "
           "(%+.1f KiB per absent session), %ld with a list queued for each (%+.1f KiB per list)\n",
           broker_baseline_kib_, connected_kib, away_kib, per_unit(broker_baseline_kib_, away_kib),
           queued_kib, per_unit(away_kib, queued_kib));

    if (cfg_.cluster()) {
        pid_t pid = read_pid(cfg_.pids + "/rabbit" + std::to_string(node) + ".pid");
        printf("  SIGKILL to node %d (pid %d), which most units were on\n", node, pid);
        kill(pid, SIGKILL);
        check(gone(pid, 10s), "phase P: node " + std::to_string(node) + " gone");
    } else {
        // SIGTERM: mosquitto saves its sessions and their queued lists.
        pid_t pid = read_pid(cfg_.pids + "/mosquitto.pid");
        printf("  mosquitto (pid %d) stopped with SIGTERM and started again\n", pid);
        kill(pid, SIGTERM);
        check(gone(pid, 10s), "phase P: mosquitto stopped");
        restart(cfg_.broker_dir, "restart.out", "mosquitto");
        e2e::eventually(10s, [&] { return e2e::accepting_on_loopback(cfg_.remote_port); });
    }

    for (auto &u : units_)
        u->start(cfg_.pids);
    std::vector<Clock::time_point> arrived(n);
    std::vector<bool> got(n, false);
    e2e::eventually(e2e::Duration(30000 + 200 * static_cast<long>(n)), [&] {
        size_t have = 0;
        for (size_t i = 0; i < n; i++) {
            if (!got[i] && units_[i]->got(list) > 0) {
                got[i] = true;
                arrived[i] = Clock::now();
            }
            have += got[i];
        }
        return have == n;
    });
    // Time for a list delivered again to run a second time.
    std::this_thread::sleep_for(3s);
    std::vector<double> lat;
    absent_lists_ = static_cast<int>(n);
    absent_once_ = 0;
    int twice = 0;
    for (size_t i = 0; i < n; i++) {
        int runs = units_[i]->got(list);
        absent_once_ += runs == 1;
        twice += runs > 1;
        if (got[i])
            lat.push_back(bench::ms(arrived[i] - units_[i]->started));
    }
    absent_return_ = bench::summarize(lat);
    all_back_s_ = absent_return_.max / 1000;
    printf("  %d of %d lists ran once, %d more than once, %zu lost; return -> list at the "
           "device: %s\n",
           absent_once_, absent_lists_, twice, n - lat.size(),
           lat.empty() ? "none" : bench::format_summary(absent_return_).c_str());
    if (cfg_.clean_units)
        return; // the clean session's figure: nothing to hold it to
    check(absent_once_ == absent_lists_, "phase P: every device got its list once");
}

} // namespace fleet
