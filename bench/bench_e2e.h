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
// either side); a failed check makes the exit status 1, so the smoke run
// catches a broken harness, and one that leaves nothing to measure ends the
// run there. Targets are reported, never enforced.
//
// Output: a human summary on stdout, table rows appended to --results, and
// the latency samples as CDF files in --data for the plot.
//
// bench_e2e.cpp sets the scene up and runs the phases; bench_e2e_latency.cpp
// holds idle, singles, info and pairs, bench_e2e_lists.cpp the long lists.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "harness.h"
#include "sim_firmware.h"

namespace bench_e2e {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::check;
using bench::ms;
using bench::require;
using bench::text_of;

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
        require(remote->publish("commands", list, 1, 30s), "remote: publish of a command list");
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
        require(all, phase + ": " + std::to_string(count("status_update")) + " of " +
                         std::to_string(status_seen) + " status reports reached the remote");
        require(sim->wait_idle(std::chrono::duration_cast<std::chrono::milliseconds>(timeout)),
                phase + ": the device did not come back to idle");
    }

    const simfw::ReceivedCommand &device_command(const std::vector<simfw::ReceivedCommand> &all,
                                                 const std::string &text) {
        auto it = std::find_if(all.begin(), all.end(),
                               [&](const simfw::ReceivedCommand &c) { return c.text == text; });
        require(it != all.end(), "the device never received " + text);
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
        require(it != all.end(), "the device never sent the report " + text);
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
        require(it != at.end(), "the remote never received \"" + text + "\"");
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
        require(bridge.running(), phase + ": the bridge is no longer running");
        check(sim->unexpected().empty(), phase + ": the device got bytes it had no use for");
    }
};

// N names PREFIX000001, PREFIX000002, ...
std::vector<std::string> names(const char *prefix, int n);

inline std::string report_for(const std::string &cmd) {
    return "OK " + cmd + "\n";
}

// The curve's figures of one interval.
struct CurvePoint {
    double idle_cpu = NAN, rate = NAN, limit = NAN, wakeups = NAN;
    bench::Summary cmd, report;
};

// Targets of the 100 ms default, of a 10 ms build and of the event-driven
// build; NaN: none.
inline double target(const Config &c, double at100, double at10, double event = NAN) {
    return c.event ? event : c.poll_ms == 100 ? at100 : c.poll_ms == 10 ? at10 : NAN;
}

void phase_idle(Scene &s, CurvePoint &point);
void phase_singles(Scene &s, std::vector<double> &cmd_idle, CurvePoint &point);
void phase_info(Scene &s, std::vector<double> &report_info, CurvePoint &point);
void phase_pairs(Scene &s, std::vector<double> &heads, std::vector<double> &later);
void phase_throughput(Scene &s, std::vector<double> &later, std::vector<double> &status_latency,
                      CurvePoint &point);
void phase_slow(Scene &s);
void phase_intake(Scene &s);
// The turnaround of each of CMDS after the first: the previous report's last
// byte at the device -> this command's first byte there.
void turnarounds(Scene &s, const std::vector<std::string> &cmds, std::vector<double> &out);

} // namespace bench_e2e
