// bridge-bench: the bridge end to end, as a process, against a real mosquitto
// broker (mutual TLS on 127.0.0.1:18883, in a network namespace of its own
// when the kernel lets us) and the simulated firmware on a pty.
//
// --poll-ms N runs the test build made with BRIDGE_POLL_INTERVAL_MS N
// (default 100: the default test build) and scales the simulated firmware to
// it: report 1.5 intervals after its "#", a fifth of an interval of quiet
// ending a command. --event runs the event-driven build
// (mqtt-serial-bridge-test-event, BRIDGE_POLL_INTERVAL_MS 0, its report gap
// given by --gap-ms, default 10) with a firmware that answers at once: the
// report right after the "#", 1 ms of quiet ending a command, so that the
// bridge sets the pace. --report-delay-ms overrides the firmware's report
// delay. --curve runs only the phases of the interval's curve (idle,
// singles, info, throughput) and --curve-data appends its line; --idle-only
// runs the idle phase alone. BRIDGE_EXE, when set, is the bridge run (the
// MIPS one under qemu, say) whatever the interval: it must be built with it.
//
// The simulated firmware writes each answer with one write() and the pty
// carries it at once: nothing paces the bytes at the line's rate. The event
// mode's limit is therefore taken from what the firmware does, the quiet
// that ends a command plus the bridge's gap per exchange; the limit of a
// real 115200-baud line (the exchange's bytes on the wire plus the gap) is
// printed beside it.
//
// Phases, in order (--smoke shortens every one of them):
//   idle       CPU time and memory of the connected bridge doing nothing
//   singles    one command at a time: remote publish -> first byte at the
//              device
//   info       information reports written at random moments: last byte at
//              the device -> receipt by a remote subscriber
//   pairs      a list sent to an empty queue, and a second list sent while the
//              first is being worked through
//   throughput one long list: commands per second against the protocol limit
//   slow       (not in the smoke run) the same with a device whose report
//              comes too late for the next poll cycle
//   intake     a very long list: publish -> first command at the device, and
//              the bridge's memory once it holds the whole list
// (pairs, slow and intake are left out of a --curve run).
//
// Every phase checks what it saw (each command reached the device once and
// in order, each report reached the subscriber, no byte was refused by
// either side); a failed check ends the run with exit status 1, so the smoke
// run catches a broken harness. Targets are reported, never enforced.
//
// Output: a human summary on stdout, table rows appended to --results, and
// the latency samples as CDF files in --data for the plot.
#include <mosquitto.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <random>
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

// Thrown by a failed check; main() reports it after the scene is torn down
// (bridge and broker killed, work dir kept).
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &what) {
    throw Failure(what);
}

void check(bool ok, const std::string &what) {
    if (!ok)
        fail(what);
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The payload as text: up to the first NUL (reports are padded to 100 bytes).
std::string text_of(const std::string &payload) {
    return payload.substr(0, payload.find('\0'));
}

struct Config {
    bool smoke = false;
    bool curve = false;
    bool idle_only = false;
    int poll_ms = 100;        // the bridge's poll interval, which sets the protocol limit
    bool event = false;       // the event-driven build: no poll interval
    int gap_ms = 10;          // its BRIDGE_REPORT_GAP_MS
    int report_delay_ms = -1; // the firmware's "#" -> report; -1: scaled to the mode
    int idle_s = 60;
    int singles = 200;
    int infos = 200;
    int pairs = 10;
    int throughput = 1000;
    int slow = 30;
    int slow_report_delay_ms = 250;
    int intake = 100000;
    std::string data, results, curve_data;
};

// Everything the phases share.
struct Scene {
    Config cfg;
    e2e::WorkDir dir;
    e2e::FakeIfconfig ifconfig{dir.path()};
    e2e::Pty pty;
    e2e::Broker broker{dir.path()};
    e2e::Bridge bridge{dir.path(), ifconfig.bin_dir()};
    std::unique_ptr<simfw::SimFirmware> sim;
    std::unique_ptr<e2e::RemoteClient> remote;
    bench::Table table{""};
    std::mt19937 rng{20240601}; // fixed seed: the same schedule every run
    size_t commands_sent = 0;   // commands the device should have by now
    size_t status_seen = 0;     // status reports the remote should have by now

    explicit Scene(const Config &c) : cfg(c), table(c.results) {}

    void start_sim(std::chrono::milliseconds report_delay) {
        simfw::Options o;
        o.report_delay = report_delay;
        o.quiet_gap = fw_quiet();
        sim = std::make_unique<simfw::SimFirmware>(pty.master(), o);
    }
    std::chrono::milliseconds fw_quiet() const {
        return std::chrono::milliseconds(cfg.event ? 1 : std::max(1, cfg.poll_ms / 5));
    }
    std::chrono::milliseconds report_delay() const {
        if (cfg.report_delay_ms >= 0)
            return std::chrono::milliseconds(cfg.report_delay_ms);
        return std::chrono::milliseconds(cfg.event ? 0 : cfg.poll_ms * 3 / 2);
    }
    // The time unit of the exchange: a poll cycle, or the event mode's gap.
    int period_ms() const {
        return cfg.event ? cfg.gap_ms : cfg.poll_ms;
    }
    std::string mode() const {
        return cfg.event ? "event-driven (gap " + std::to_string(cfg.gap_ms) + " ms)"
                         : "poll " + std::to_string(cfg.poll_ms) + " ms";
    }

    // Row names of a curve run carry the mode.
    std::string label(const std::string &what) const {
        return cfg.curve || cfg.idle_only ? mode() + ": " + what : what;
    }

    // Prints the distribution of SAMPLES and adds its row to the table.
    bench::Summary report(const std::string &what, const std::vector<double> &samples,
                          const std::string &unit = "ms", double limit = NAN) {
        auto sum = bench::summarize(samples);
        printf("%s: %s\n", what.c_str(), bench::format_summary(sum, unit.c_str()).c_str());
        table.dist(label(what), sum, unit, limit);
        return sum;
    }

    // Publishes the commands as one list and returns the moment just before
    // the message was handed to the library.
    Clock::time_point send_list(const std::vector<std::string> &cmds) {
        std::string list;
        for (size_t i = 0; i < cmds.size(); i++)
            list += (i ? ";" : "") + cmds[i];
        commands_sent += cmds.size();
        auto t = Clock::now();
        check(remote->publish("commands", list, 1, 30s), "remote: publish of a command list");
        return t;
    }

    size_t count(const std::string &topic) const {
        return remote->messages(topic).size();
    }
    bool wait_count(const std::string &topic, size_t n, Clock::duration timeout) {
        return remote->wait_for_count(topic, n, std::chrono::duration_cast<e2e::Duration>(timeout))
                   .size() >= n;
    }

    // Waits for every command so far to have reached the device and been
    // reported to the remote.
    void wait_settled(Clock::duration timeout, const std::string &phase) {
        status_seen = commands_sent;
        // The count in the message is taken once the wait is over.
        bool all = wait_count("status_update", status_seen, timeout);
        check(all, phase + ": " + std::to_string(count("status_update")) + " of " +
                       std::to_string(status_seen) + " status reports reached the remote");
        check(sim->wait_idle(std::chrono::duration_cast<std::chrono::milliseconds>(timeout)),
              phase + ": the device did not come back to idle");
    }

    const simfw::ReceivedCommand &device_command(const std::vector<simfw::ReceivedCommand> &all,
                                                 const std::string &text) {
        auto it = std::find_if(all.begin(), all.end(),
                               [&](const simfw::ReceivedCommand &c) { return c.text == text; });
        check(it != all.end(), "the device never received " + text);
        check(std::count_if(all.begin(), all.end(),
                            [&](const simfw::ReceivedCommand &c) { return c.text == text; }) == 1,
              "the device received " + text + " more than once");
        check(!it->while_busy, text + " reached the device while it was busy");
        return *it;
    }

    const simfw::SentReport &device_report(const std::vector<simfw::SentReport> &all,
                                           const std::string &text) {
        auto it = std::find_if(all.begin(), all.end(),
                               [&](const simfw::SentReport &r) { return r.text == text; });
        check(it != all.end(), "the device never sent the report " + text);
        return *it;
    }

    // When the remote received each report on TOPIC, by its text.
    std::map<std::string, Clock::time_point> received(const std::string &topic) const {
        std::map<std::string, Clock::time_point> at;
        for (const auto &m : remote->messages(topic))
            at.emplace(text_of(m.payload), m.received);
        return at;
    }
    Clock::time_point received_at(const std::map<std::string, Clock::time_point> &at,
                                  const std::string &text) const {
        auto it = at.find(text);
        if (it == at.end())
            fail("the remote never received \"" + text + "\"");
        return it->second;
    }

    void write_cdf(const std::string &name, std::vector<double> samples) const {
        if (cfg.data.empty() || samples.empty())
            return;
        bench::write_samples(cfg.data + "/" + name + ".raw", samples); // in run order
        std::sort(samples.begin(), samples.end());
        std::ofstream out(cfg.data + "/" + name, std::ios::trunc);
        for (size_t i = 0; i < samples.size(); i++)
            out << samples[i] << " " << static_cast<double>(i + 1) / samples.size() << "\n";
    }

    void check_bridge_logs(const std::string &phase) {
        std::string out = bridge.stdout_text();
        check(out.find("INSTEAD OF ACK") == std::string::npos,
              phase + ": the bridge dropped bytes while awaiting an acknowledgement");
        std::string err = bridge.stderr_text();
        check(err.empty(), phase + ": the bridge wrote to stderr: " + err);
        check(bridge.running(), phase + ": the bridge is no longer running");
        check(sim->unexpected().empty(), phase + ": the device got bytes it had no use for");
    }
};

std::vector<std::string> names(const char *prefix, int n) {
    std::vector<std::string> out;
    for (int i = 1; i <= n; i++) {
        char buf[32];
        snprintf(buf, sizeof buf, "%s%06d", prefix, i);
        out.push_back(buf);
    }
    return out;
}

std::string report_for(const std::string &cmd) {
    return "OK " + cmd + "\n";
}

// The curve's figures of one interval.
struct CurvePoint {
    double idle_cpu = NAN, rate = NAN, limit = NAN, wakeups = NAN;
    bench::Summary cmd, report;
};

// Targets of the 100 ms default, of a 10 ms build and of the event-driven
// build; NaN: none.
double target(const Config &c, double at100, double at10, double event = NAN) {
    return c.event ? event : c.poll_ms == 100 ? at100 : c.poll_ms == 10 ? at10 : NAN;
}

// Bytes on a real line take 10 bit times each (8N1) at 115200 baud.
double wire_ms(size_t bytes) {
    return bytes * 10 * 1000.0 / 115200;
}

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
        check(s.wait_count("info", before + ++i, 5s),
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
        check(s.sim->wait_for_commands(have + 1, 5s), "pairs: the head of a list never came");
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
            check(all[have + i].text == both[i], "pairs: commands out of order at " + both[i]);
    }
    s.check_bridge_logs("pairs");
    s.report("command latency, head of a list (empty queue)", heads, "ms", 5.0);
    s.report("queue wait of later commands (their list's publish -> command at the device)", waits);
}

// Runs one list of N commands; returns the commands per second between the
// second and the last command's arrival at the device.
double run_list(Scene &s, const char *prefix, int n, std::vector<double> *later,
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
    check(all.size() == have + cmds.size(), std::string(prefix) + ": the device got " +
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
    check(s.sim->wait_for_commands(have + 1, 60s), "intake: the head of the list never came");
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

void run(Scene &s);

} // namespace

int main(int argc, char **argv) {
    Config cfg;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--smoke") {
            cfg.smoke = true;
            cfg.idle_s = 3;
            cfg.singles = 10;
            cfg.infos = 10;
            cfg.pairs = 2;
            cfg.throughput = 20;
            cfg.slow = 0;
            cfg.intake = 10000;
        } else if (a == "--curve") {
            cfg.curve = true;
        } else if (a == "--idle-only") {
            cfg.idle_only = true;
        } else if (a == "--idle-s" && i + 1 < argc) {
            cfg.idle_s = atoi(argv[++i]);
        } else if (a == "--event") {
            cfg.event = true;
        } else if (a == "--gap-ms" && i + 1 < argc) {
            cfg.gap_ms = atoi(argv[++i]);
        } else if (a == "--report-delay-ms" && i + 1 < argc) {
            cfg.report_delay_ms = atoi(argv[++i]);
        } else if (a == "--poll-ms" && i + 1 < argc) {
            cfg.poll_ms = atoi(argv[++i]);
        } else if (a == "--data" && i + 1 < argc) {
            cfg.data = argv[++i];
        } else if (a == "--results" && i + 1 < argc) {
            cfg.results = argv[++i];
        } else if (a == "--curve-data" && i + 1 < argc) {
            cfg.curve_data = argv[++i];
        } else {
            fprintf(stderr,
                    "usage: %s [--smoke] [--poll-ms N | --event [--gap-ms N]] [--curve | "
                    "--idle-only [--idle-s N]] [--report-delay-ms N] [--data DIR] [--results "
                    "FILE] [--curve-data FILE]\n",
                    argv[0]);
            return 2;
        }
    }
    if (cfg.poll_ms < 1 || cfg.gap_ms < 1 || cfg.idle_s < 1) {
        fprintf(stderr, "bridge-bench: --poll-ms, --gap-ms and --idle-s take a whole number "
                        "above 0\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (getenv("BRIDGE_WRAPPER"))
        fail("BRIDGE_WRAPPER is set: the bench measures the bridge itself");
    e2e::isolate_network(false);
    mosquitto_lib_init();

    Scene s(cfg);
    try {
        run(s);
    } catch (const std::exception &e) {
        s.dir.keep();
        std::string out = s.bridge.stdout_text();
        if (out.size() > 2000)
            out = "..." + out.substr(out.size() - 2000);
        fprintf(stderr, "bridge-bench: FAILED: %s\nwork dir kept: %s\nbridge stdout (tail):\n%s\n",
                e.what(), s.dir.path().c_str(), out.c_str());
        return 1;
    }
    mosquitto_lib_cleanup();
    printf("bench done\n");
    return 0;
}

namespace {

void run(Scene &s) {
    const Config &cfg = s.cfg;
    e2e::install_bridge_certs(s.dir.path());
    s.pty.link(s.dir.file("ttyATH0"));
    s.start_sim(s.report_delay());
    // The broker without Nagle's algorithm, as the remote: what is measured
    // is the bridge, not the peers' TCP.
    e2e::BrokerConfig broker;
    broker.extra = "set_tcp_nodelay true\n";
    check(s.broker.start(broker), "the broker did not start:\n" + s.broker.output());
    s.remote = std::make_unique<e2e::RemoteClient>("bench-remote");
    check(s.remote->connect(), "the remote did not connect");
    for (const char *topic : {"login", "status_update", "info"})
        check(s.remote->subscribe(topic, 1), std::string("remote: no SUBACK for ") + topic);
    const char *exe = getenv("BRIDGE_EXE");
    if (exe && *exe)
        printf("BRIDGE_EXE=%s, taken to be built for the mode below\n", exe);
    else if (cfg.event)
        s.bridge.use_build(cfg.gap_ms == 10
                               ? "mqtt-serial-bridge-test-event"
                               : "mqtt-serial-bridge-test-event-gap" + std::to_string(cfg.gap_ms));
    else if (cfg.poll_ms != 100)
        s.bridge.use_build("mqtt-serial-bridge-test-poll" + std::to_string(cfg.poll_ms));
    s.bridge.start();
    // An emulated bridge takes a while over its TLS handshake.
    check(s.wait_count("login", 1, 60s), "the bridge never logged in");
    check(s.bridge.wait_for_stdout("received SUBACK", 10s), "the bridge never subscribed");
    printf("%s, firmware report delay %lld ms; bridge pid %d, work dir %s, stdout to "
           "bridge.stdout there\n",
           s.mode().c_str(), static_cast<long long>(s.report_delay().count()), s.bridge.pid(),
           s.dir.path().c_str());
    printf("load average at start: %s", e2e::read_file("/proc/loadavg").c_str());

    CurvePoint point;
    std::vector<double> cmd_idle, report_info, heads, later, status_latency;
    phase_idle(s, point);
    if (cfg.idle_only) {
        s.table.save();
        if (!cfg.curve_data.empty()) {
            FILE *f = fopen(cfg.curve_data.c_str(), "a");
            check(f != nullptr, "cannot append to " + cfg.curve_data);
            fprintf(f, "%d %.4f %.2f\n", cfg.event ? 0 : cfg.poll_ms, point.idle_cpu,
                    point.wakeups);
            fclose(f);
        }
        s.bridge.kill();
        s.sim.reset();
        s.broker.stop();
        s.remote.reset();
        return;
    }
    phase_singles(s, cmd_idle, point);
    phase_info(s, report_info, point);
    if (!cfg.curve)
        phase_pairs(s, heads, later);
    phase_throughput(s, later, status_latency, point);
    if (!cfg.curve) {
        if (cfg.slow > 0)
            phase_slow(s);
        phase_intake(s);
        s.write_cdf("cmd_idle.cdf", cmd_idle);
        s.write_cdf("cmd_head.cdf", heads);
        s.write_cdf("turnaround.cdf", later);
        s.write_cdf("report_info.cdf", report_info);
        s.write_cdf("report_status.cdf", status_latency);
    }
    s.table.save();
    if (!cfg.curve_data.empty()) {
        FILE *f = fopen(cfg.curve_data.c_str(), "a");
        check(f != nullptr, "cannot append to " + cfg.curve_data);
        // interval (0: event-driven), commands/s, share of the limit, report
        // p50/p99, command p50/p99 (ms), idle CPU (% of a core), idle
        // wake-ups per second, the limit (commands/s)
        fprintf(f, "%d %.3f %.4f %.2f %.2f %.2f %.2f %.4f %.2f %.2f\n", cfg.event ? 0 : cfg.poll_ms,
                point.rate, point.rate / point.limit, point.report.p50, point.report.p99,
                point.cmd.p50, point.cmd.p99, point.idle_cpu, point.wakeups, point.limit);
        fclose(f);
    }
    printf("load average at the end: %s", e2e::read_file("/proc/loadavg").c_str());

    s.bridge.kill();
    s.sim.reset();
    s.broker.stop();
    s.remote.reset();
}

} // namespace
