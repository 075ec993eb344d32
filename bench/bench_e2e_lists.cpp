// bridge-bench's phases of long lists: throughput, a slow device, and the
// intake of a very long list.
#include <stdio.h>

#include "bench_e2e.h"

namespace bench_e2e {

// Bytes on a real line take 10 bit times each (8N1) at 115200 baud.
static double wire_ms(size_t bytes) {
    return bytes * 10 * 1000.0 / 115200;
}

// Runs one list of N commands; returns the commands per second between the
// second and the last command's arrival at the device.
static double run_list(Scene &s, const char *prefix, int n, std::vector<double> *later,
                       std::vector<double> *status_latency, std::vector<double> *cycles_per_cmd,
                       double *cpu_s) {
    auto cmds = names(prefix, n);
    size_t have = s.sim->commands().size();
    pid_t pid = s.bridge.pid();
    double c0 = bench::cpu_seconds(pid), f0 = bench::cpu_seconds_fine(pid);
    s.send_list(cmds);
    s.wait_settled(std::chrono::milliseconds(n * 6 * s.period_ms() + 10000), prefix);
    if (cpu_s) {
        // schedstat when the kernel has it: clock ticks are too coarse for a
        // short list.
        double f1 = bench::cpu_seconds_fine(pid);
        *cpu_s = f1 == f1 ? f1 - f0 : bench::cpu_seconds(pid) - c0;
    }
    auto all = s.sim->commands();
    require(all.size() == have + cmds.size(), std::string(prefix) + ": the device got " +
                                                  std::to_string(all.size() - have) +
                                                  " commands, not " + std::to_string(n));
    for (int i = 0; i < n; i++)
        check(all[have + i].text == cmds[i] && !all[have + i].while_busy,
              std::string(prefix) + ": command " + cmds[i] + " out of order or while busy");
    if (later)
        turnarounds(s, cmds, *later);
    if (status_latency) {
        auto reports = s.sim->reports();
        auto at = s.received("status_update");
        for (const auto &c : cmds)
            status_latency->push_back(ms(s.received_at(at, report_for(c)) -
                                         s.device_report(reports, report_for(c)).last_byte));
    }
    for (int i = 1; i < n && cycles_per_cmd; i++)
        cycles_per_cmd->push_back(ms(all[have + i].first_byte - all[have + i - 1].first_byte) /
                                  s.period_ms());
    s.check_bridge_logs(prefix);
    // From the second command on: the head goes out from the message
    // handler at once, every later one from a poll cycle, so only those
    // show the loop's own pace.
    if (n < 3)
        return NAN;
    double span = ms(all[have + n - 1].first_byte - all[have + 1].first_byte) / 1000.0;
    return (n - 2) / span;
}

void phase_throughput(Scene &s, std::vector<double> &later, std::vector<double> &status_latency,
                      CurvePoint &point) {
    int n = s.cfg.throughput;
    std::vector<double> spacing;
    double cpu = 0;
    double rate = run_list(s, "t", n, &later, &status_latency, &spacing, &cpu);
    // Poll modes: two cycles per command. Event-driven: per exchange, the
    // firmware's quiet that ends the command, then the gap that ends the
    // report (the pty adds no wire time).
    double limit =
        s.cfg.event ? 1000.0 / (s.fw_quiet().count() + s.cfg.gap_ms) : 1000.0 / (2 * s.cfg.poll_ms);
    printf("throughput over %d commands: %.3f commands/s = %.2f %% of the limit %.1f/s\n", n, rate,
           rate / limit * 100, limit);
    std::string figure = bench::Table::fmt("%.3f/s", rate) +
                         bench::Table::fmt(" (%.2f %% of ", rate / limit * 100) +
                         bench::Table::fmt("%.4g/s", limit);
    if (s.cfg.event) {
        // A whole exchange on a real line: command, "#", report, "#\n".
        std::string cmd = "t000001";
        double line =
            1000.0 / (wire_ms(cmd.size() + 1 + report_for(cmd).size() + 2) + s.cfg.gap_ms);
        printf("on a 115200-baud line the limit would be %.1f/s (%.2f %% of it)\n", line,
               rate / line * 100);
        figure += bench::Table::fmt("; %.2f %% of ", rate / line * 100) +
                  bench::Table::fmt("%.4g/s at 115200 baud", line);
    }
    figure += ")";
    // 98 % of the limit at the default; 45/s at 10 ms; 80 % event-driven.
    double floor = target(s.cfg, 0.98 * limit, 45.0, 0.8 * limit);
    s.table.row(s.label("throughput over " + std::to_string(n) + " commands"), figure,
                floor == floor ? bench::Table::fmt(">= %.3g/s", floor) : "", rate / floor,
                rate >= floor);
    point.rate = rate;
    point.limit = limit;
    s.report(s.cfg.event ? "command spacing in gaps" : "command spacing in poll periods", spacing,
             "x");
    s.report("turnaround of later commands (report -> next command)", later);
    s.report(s.cfg.event ? "status report latency in a long list"
                         : "status report latency in a long list (poll-locked)",
             status_latency, "ms", target(s.cfg, 110, NAN, s.cfg.gap_ms + 3.0));
    printf("CPU of the bridge: %.2f s for %d commands\n", cpu, n);
    s.table.row(s.label("bridge CPU per 1,000 commands"),
                bench::Table::fmt("%.3f s", cpu / n * 1000));
}

void phase_slow(Scene &s) {
    s.sim.reset();
    s.start_sim(std::chrono::milliseconds(s.cfg.slow_report_delay_ms));
    std::vector<double> spacing;
    double rate = run_list(s, "w", s.cfg.slow, nullptr, nullptr, &spacing, nullptr);
    auto sp = bench::summarize(spacing);
    printf("device with a %d ms report delay, %d commands: %.3f commands/s\n",
           s.cfg.slow_report_delay_ms, s.cfg.slow, rate);
    s.table.row("throughput, device report delay " + std::to_string(s.cfg.slow_report_delay_ms) +
                    " ms (" + std::to_string(s.cfg.slow) + " commands)",
                bench::Table::fmt("%.3f/s", rate) +
                    bench::Table::fmt(" (spacing p50 %.2f polls)", sp.p50));
    s.sim.reset();
    s.start_sim(s.report_delay());
}

void phase_intake(Scene &s) {
    int n = s.cfg.intake;
    auto cmds = names("c", n);
    pid_t pid = s.bridge.pid();
    size_t have = s.sim->commands().size();
    auto t = s.send_list(cmds);
    require(s.sim->wait_for_commands(have + 1, 60s), "intake: the head of the list never came");
    double took = ms(s.sim->commands()[have].first_byte - t);
    check(s.sim->commands()[have].text == cmds[0], "intake: the wrong command came first");
    // The head goes out after the whole list is queued; let the log catch up.
    check(s.bridge.wait_for_stdout("TOKENIZED COMMAND: " + cmds.back() + "\n", 30s),
          "intake: the last command was not queued");
    long hwm = bench::proc_kib(pid, "status", "VmHWM"),
         rss = bench::proc_kib(pid, "status", "VmRSS");
    long anon = bench::proc_kib(pid, "status", "RssAnon");
    printf("intake of a %d-command list (%zu-byte payload): publish -> head at the device %.1f "
           "ms; then VmHWM %ld KiB, VmRSS %ld KiB (RssAnon %ld)\n",
           n, n * cmds[0].size() + n - 1, took, hwm, rss, anon);
    bool full = n == 100000;
    s.table.row("intake of a " + std::to_string(n) + "-command list, publish -> head at device",
                bench::Table::fmt("%.1f ms", took), full ? "< 100 ms" : "", took / 100.0,
                took < 100.0);
    s.table.row("peak RSS after a " + std::to_string(n) + "-command list (VmHWM)",
                std::to_string(hwm) + " KiB (now: VmRSS " + std::to_string(rss) + ", anon " +
                    std::to_string(anon) + ")",
                full ? "< 6144 KiB" : "", hwm / 6144.0, hwm < 6144);
}

} // namespace bench_e2e
