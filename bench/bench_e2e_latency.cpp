// bridge-bench's phases of single commands and reports: idle, singles,
// information reports at random moments, and pairs of lists.
#include <stdio.h>

#include <algorithm>
#include <thread>

#include "bench_e2e.h"

namespace bench_e2e {

void phase_idle(Scene &s, CurvePoint &point) {
    pid_t pid = s.bridge.pid();
    std::this_thread::sleep_for(1s); // past the connection's own traffic
    double c0 = bench::cpu_seconds(pid), f0 = bench::cpu_seconds_fine(pid);
    long long w0 = bench::voluntary_switches(pid);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(s.cfg.idle_s));
    double c1 = bench::cpu_seconds(pid), f1 = bench::cpu_seconds_fine(pid);
    long long w1 = bench::voluntary_switches(pid);
    double wall = ms(Clock::now() - t0) / 1000.0;
    double pct = (c1 - c0) / wall * 100.0;
    double pct_fine = (f1 - f0) / wall * 100.0;
    check(w0 >= 0 && w1 >= w0, "idle: the bridge's threads could not be read");
    double wakeups = (w1 - w0) / wall;
    point.wakeups = wakeups;
    printf("idle wake-ups: %lld voluntary context switches in %.0f s = %.2f/s\n", w1 - w0, wall,
           wakeups);
    double wake_limit = target(s.cfg, NAN, NAN, 2.0);
    s.table.row(s.label("idle wake-ups (voluntary context switches, all threads)"),
                bench::Table::fmt("%.2f/s", wakeups), wake_limit == wake_limit ? "<= 2/s" : "",
                wakeups / wake_limit, wakeups <= wake_limit);
    auto kib = [&](const char *key) { return bench::proc_kib(pid, "status", key); };
    long hwm = kib("VmHWM"), rss = kib("VmRSS"), anon = kib("RssAnon"), file = kib("RssFile");
    long pss = bench::proc_kib(pid, "smaps_rollup", "Pss");
    printf("idle %.0f s: CPU %.3f s by /proc/stat (%.4f %% of a core), %.6f s by schedstat "
           "(%.4f %%); VmHWM %ld KiB, VmRSS %ld KiB = RssAnon %ld + RssFile %ld (+ shmem)\n",
           wall, c1 - c0, pct, f1 - f0, pct_fine, hwm, rss, anon, file);
    std::string figure = bench::Table::fmt("%.4f %%", pct);
    if (pct_fine == pct_fine)
        figure += bench::Table::fmt(" (schedstat %.4f %%)", pct_fine);
    // Under an emulator (--idle-only runs the MIPS build under qemu) CPU
    // time is the emulator's: the native targets do not apply.
    double limit = s.cfg.idle_only ? NAN : target(s.cfg, 0.2, 0.5);
    s.table.row(s.label("idle CPU over " + std::to_string(s.cfg.idle_s) + " s (utime+stime)"),
                figure, limit == limit ? bench::Table::fmt("< %g %%", limit) : "", pct / limit,
                pct < limit);
    point.idle_cpu = pct_fine == pct_fine ? pct_fine : pct;
    if (s.cfg.curve || s.cfg.idle_only)
        return;
    s.table.row("peak RSS at idle (VmHWM)",
                std::to_string(hwm) + " KiB (now: anon " + std::to_string(anon) + " + file " +
                    std::to_string(file) + "; Pss " + std::to_string(pss) + ")",
                "< 6144 KiB", hwm / 6144.0, hwm < 6144);
}

void phase_singles(Scene &s, std::vector<double> &cmd_idle, CurvePoint &point) {
    std::uniform_int_distribution<int> gap(10, 100);
    std::vector<double> status;
    for (const auto &cmd : names("s", s.cfg.singles)) {
        auto t = s.send_list({cmd});
        s.wait_settled(5s, "single " + cmd);
        cmd_idle.push_back(ms(s.device_command(s.sim->commands(), cmd).first_byte - t));
        status.push_back(ms(s.received_at(s.received("status_update"), report_for(cmd)) -
                            s.device_report(s.sim->reports(), report_for(cmd)).last_byte));
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(s.rng)));
    }
    s.check_bridge_logs("singles");
    point.cmd =
        s.report("command latency idle (publish -> first byte at the device)", cmd_idle, "ms", 5.0);
    s.report("status report latency after a single command", status);
}

void phase_info(Scene &s, std::vector<double> &report_info, CurvePoint &point) {
    std::uniform_int_distribution<int> phase(0, s.period_ms() - 1);
    size_t before = s.count("info");
    int i = 0;
    for (const auto &name : names("!info", s.cfg.infos)) {
        check(s.sim->wait_idle(2s), "info: the device did not come back to idle");
        // A random moment within the poll period.
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(s.rng)));
        std::string text = name + "\n";
        s.sim->send_info(text);
        require(s.wait_count("info", before + ++i, 5s),
                "info: report " + name + " never reached the remote");
        auto sent = s.device_report(s.sim->reports(), text).last_byte;
        report_info.push_back(ms(s.received_at(s.received("info"), text) - sent));
    }
    check(s.sim->wait_idle(2s), "info: the device did not come back to idle");
    check(s.sim->acks() >= static_cast<size_t>(s.cfg.infos),
          "info: not every information report was acknowledged");
    s.check_bridge_logs("info");
    // The pty carries a report at once: its wire time on this line is nil,
    // and the event mode's bound is the gap and 3 ms.
    point.report = s.report("report latency, information reports at random moments (last byte "
                            "at the device -> remote)",
                            report_info, "ms", target(s.cfg, 110, 15, s.cfg.gap_ms + 3.0));
}

// Commands after the head of a list go out from the report path of the
// exchange loop: what they wait for is the poll that sees the previous
// report. Returns the turnaround of each (previous report's last byte at the
// device -> this command's first byte there).
void turnarounds(Scene &s, const std::vector<std::string> &cmds, std::vector<double> &out) {
    auto all = s.sim->commands();
    auto reports = s.sim->reports();
    for (size_t i = 1; i < cmds.size(); i++) {
        auto prev = s.device_report(reports, report_for(cmds[i - 1])).last_byte;
        out.push_back(ms(s.device_command(all, cmds[i]).first_byte - prev));
    }
}

void phase_pairs(Scene &s, std::vector<double> &heads, std::vector<double> &later) {
    std::vector<double> waits;
    for (int p = 1; p <= s.cfg.pairs; p++) {
        auto a = names(("a" + std::to_string(p) + "-").c_str(), 4);
        auto b = names(("b" + std::to_string(p) + "-").c_str(), 4);
        size_t have = s.sim->commands().size();
        auto ta = s.send_list(a);
        require(s.sim->wait_for_commands(have + 1, 5s), "pairs: the head of a list never came");
        std::this_thread::sleep_for(50ms);
        auto tb = s.send_list(b); // lands behind a[0], which is outstanding
        s.wait_settled(10s, "pairs " + std::to_string(p));
        auto all = s.sim->commands();
        heads.push_back(ms(s.device_command(all, a[0]).first_byte - ta));
        std::vector<std::string> both(a);
        both.insert(both.end(), b.begin(), b.end());
        for (size_t i = 1; i < both.size(); i++)
            waits.push_back(ms(s.device_command(all, both[i]).first_byte - (i < 4 ? ta : tb)));
        turnarounds(s, both, later);
        // Nothing may come between the lists: b follows a's last command.
        for (size_t i = 0; i < both.size(); i++)
            check(have + i < all.size() && all[have + i].text == both[i],
                  "pairs: commands out of order at " + both[i]);
    }
    s.check_bridge_logs("pairs");
    s.report("command latency, head of a list (empty queue)", heads, "ms", 5.0);
    s.report("queue wait of later commands (their list's publish -> command at the device)", waits);
}

} // namespace bench_e2e
