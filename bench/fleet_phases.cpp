// The fleet's phases around the outage: cold start, lists to every unit,
// lists on receipt of a login, and the resources taken.
#include <stdio.h>

#include <set>
#include <thread>

#include "fleet.h"

namespace fleet {

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
        lat.push_back(bench::ms(kv.second - units_[kv.first]->started));
        last = std::max(last, secs(kv.second - t0));
    }
    printf("  started in %.2f s; start -> login: %s; all %zu in %.2f s\n", spawn,
           bench::format_summary(bench::summarize(lat)).c_str(), first.size(), last);
    if (cfg_.cluster()) {
        printf("  sessions per node:");
        for (int p : cfg_.node_ports)
            printf(" %d", bench::sessions_on(p));
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
    lists_to_units("phase 2", false, [&](const Unit &) { return cmds; });
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
    {
        std::lock_guard<std::mutex> lock(answers_mutex_);
        answers_ = targets;
    }
    for (int i = 0; i < m; i++)
        units_[i]->bridge->kill();
    for (int i = 0; i < m; i++)
        units_[i]->start(cfg_.pids);
    auto probes_got = [&](int times) {
        int n = 0;
        for (int i = 0; i < m; i++)
            n += units_[i]->got("PROBE-" + units_[i]->name) == times;
        return n;
    };
    e2e::eventually(30s, [&] { return answered_.load() >= m; });
    e2e::eventually(20s, [&] { return probes_got(0) == 0; });
    // Any that came late would have come by now; the others' lists keep the
    // devices busy a while longer.
    std::this_thread::sleep_for(2s);
    int once = probes_got(1);
    printf("  lists published on login: %d; reached their unit's device once: %d; lost: %d\n",
           answered_.load(), once, m - once);
    check(answered_.load() == m, "phase 2b: every restarted unit's login seen");
    check(once == m, "phase 2b: a list published on receipt of a login reaches that device");
    check(devices_idle(e2e::Duration(30000 + 1000L * m)), "phase 2b: every device idle again");
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
    auto dist = [](const std::vector<double> &v, const char *unit) {
        return bench::format_summary(bench::summarize(v), unit);
    };
    printf("  per unit: RSS %s; PSS %s; CPU %s over its life\n", dist(rss, "KiB").c_str(),
           dist(pss, "KiB").c_str(), dist(cpu, "%").c_str());
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

} // namespace fleet
