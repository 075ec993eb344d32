// bridge-bench: the bridge end to end, as a process, against a real mosquitto
// broker (mutual TLS on 127.0.0.1:18883, in a network namespace of its own
// when the kernel lets us) and the simulated firmware on a pty.
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
//   slow       (full run only) the same with a device whose report comes too
//              late for the next poll cycle
//   intake     a very long list: publish -> first command at the device, and
//              the bridge's memory once it holds the whole list
//
// Every phase checks what it saw (each command reached the device once and
// in order, each report reached the subscriber, no byte was refused by
// either side); a failed check ends the run with exit status 1, so the smoke
// run catches a broken harness. Targets are reported, never enforced.
//
// Output: a human summary on stdout, table rows appended to --results, and
// the latency samples as CDF files in --data for the plot.
#include <errno.h>
#include <mosquitto.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
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

// The bridge's poll interval, which sets the protocol limit.
constexpr double kPollMs = 100.0;

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

// A remote party that time-stamps every message it receives.
class Remote {
  public:
    struct Received {
        std::string topic, text;
        Clock::time_point at;
    };

    Remote() {
        m_ = mosquitto_new("bench-remote", true, this);
        check(m_ != nullptr, "mosquitto_new");
        const e2e::Certs &c = e2e::certs();
        check(mosquitto_tls_set(m_, c.ca.c_str(), nullptr, c.client_cert.c_str(),
                                c.client_key.c_str(), nullptr) == MOSQ_ERR_SUCCESS,
              "mosquitto_tls_set");
        mosquitto_connect_callback_set(m_, on_connect);
        mosquitto_subscribe_callback_set(m_, on_subscribe);
        mosquitto_message_callback_set(m_, on_message);
    }
    ~Remote() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }

    void connect() {
        check(mosquitto_connect(m_, "localhost", e2e::kPort, 60) == MOSQ_ERR_SUCCESS,
              "remote: mosquitto_connect");
        check(mosquitto_loop_start(m_) == MOSQ_ERR_SUCCESS, "remote: mosquitto_loop_start");
        std::unique_lock<std::mutex> lock(mu_);
        check(cv_.wait_for(lock, 10s, [&] { return connected_; }), "remote: no CONNACK");
    }
    void subscribe(const char *topic) {
        int mid = 0;
        check(mosquitto_subscribe(m_, &mid, topic, 1) == MOSQ_ERR_SUCCESS, "remote: subscribe");
        std::unique_lock<std::mutex> lock(mu_);
        check(cv_.wait_for(lock, 10s, [&] { return subacks_.count(mid) > 0; }),
              std::string("remote: no SUBACK for ") + topic);
    }
    // The moment just before the message was handed to the library.
    Clock::time_point publish(const std::string &topic, const std::string &payload) {
        auto t = Clock::now();
        check(mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), 1, false) == MOSQ_ERR_SUCCESS,
              "remote: publish on " + topic);
        return t;
    }
    size_t count(const std::string &topic) const {
        std::lock_guard<std::mutex> lock(mu_);
        return count_locked(topic);
    }
    // Waits until N messages on TOPIC have come in all told.
    bool wait_count(const std::string &topic, size_t n, Clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, timeout, [&] { return count_locked(topic) >= n; });
    }
    std::vector<Received> on(const std::string &topic) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<Received> out;
        for (const auto &r : received_)
            if (r.topic == topic)
                out.push_back(r);
        return out;
    }

  private:
    size_t count_locked(const std::string &topic) const {
        return static_cast<size_t>(
            std::count_if(received_.begin(), received_.end(),
                          [&](const Received &r) { return r.topic == topic; }));
    }
    static void on_connect(struct mosquitto *, void *obj, int rc) {
        auto *self = static_cast<Remote *>(obj);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->connected_ = rc == 0;
        self->cv_.notify_all();
    }
    static void on_subscribe(struct mosquitto *, void *obj, int mid, int, const int *) {
        auto *self = static_cast<Remote *>(obj);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->subacks_.insert(mid);
        self->cv_.notify_all();
    }
    static void on_message(struct mosquitto *, void *obj, const struct mosquitto_message *msg) {
        auto at = Clock::now();
        auto *self = static_cast<Remote *>(obj);
        std::string payload;
        if (msg->payload && msg->payloadlen > 0)
            payload.assign(static_cast<const char *>(msg->payload), msg->payloadlen);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->received_.push_back({msg->topic, text_of(payload), at});
        self->cv_.notify_all();
    }

    struct mosquitto *m_ = nullptr;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool connected_ = false;
    std::set<int> subacks_;
    std::vector<Received> received_;
};

struct Config {
    bool smoke = false;
    int idle_s = 60;
    int singles = 200;
    int infos = 200;
    int pairs = 10;
    int throughput = 1000;
    int slow = 30;
    int slow_report_delay_ms = 250;
    int intake = 100000;
    std::string data, results;
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
    std::unique_ptr<Remote> remote;
    bench::Table table{""};
    std::mt19937 rng{20240601}; // fixed seed: the same schedule every run
    size_t commands_sent = 0;   // commands the device should have by now
    size_t status_seen = 0;     // status reports the remote should have by now

    explicit Scene(const Config &c) : cfg(c), table(c.results) {}

    void start_sim(std::chrono::milliseconds report_delay) {
        simfw::Options o;
        o.report_delay = report_delay;
        sim = std::make_unique<simfw::SimFirmware>(pty.master(), o);
    }

    // Publishes the commands as one list and returns the publish time.
    Clock::time_point send_list(const std::vector<std::string> &cmds) {
        std::string list;
        for (size_t i = 0; i < cmds.size(); i++)
            list += (i ? ";" : "") + cmds[i];
        commands_sent += cmds.size();
        return remote->publish("commands", list);
    }

    // Waits for every command so far to have reached the device and been
    // reported to the remote.
    void wait_settled(Clock::duration timeout, const std::string &phase) {
        status_seen = commands_sent;
        check(remote->wait_count("status_update", status_seen, timeout),
              phase + ": " + std::to_string(remote->count("status_update")) + " of " +
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

    Clock::time_point received_at(const std::string &topic, const std::string &text) {
        for (const auto &r : remote->on(topic))
            if (r.text == text)
                return r.at;
        fail("the remote never received \"" + text + "\" on " + topic);
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

void phase_idle(Scene &s) {
    pid_t pid = s.bridge.pid();
    std::this_thread::sleep_for(1s); // past the connection's own traffic
    double c0 = bench::cpu_seconds(pid), f0 = bench::cpu_seconds_fine(pid);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(s.cfg.idle_s));
    double c1 = bench::cpu_seconds(pid), f1 = bench::cpu_seconds_fine(pid);
    double wall = ms(Clock::now() - t0) / 1000.0;
    double pct = (c1 - c0) / wall * 100.0;
    double pct_fine = (f1 - f0) / wall * 100.0;
    long hwm = bench::status_kib(pid, "VmHWM"), rss = bench::status_kib(pid, "VmRSS");
    long anon = bench::status_kib(pid, "RssAnon"), file = bench::status_kib(pid, "RssFile");
    long pss = bench::rollup_kib(pid, "Pss");
    printf("idle %.0f s: CPU %.3f s by /proc/stat (%.4f %% of a core), %.6f s by schedstat "
           "(%.4f %%); VmHWM %ld KiB, VmRSS %ld KiB = RssAnon %ld + RssFile %ld (+ shmem)\n",
           wall, c1 - c0, pct, f1 - f0, pct_fine, hwm, rss, anon, file);
    std::string figure = bench::Table::fmt("%.4f %%", pct);
    if (pct_fine == pct_fine)
        figure += bench::Table::fmt(" (schedstat %.4f %%)", pct_fine);
    s.table.row("idle CPU over " + std::to_string(s.cfg.idle_s) + " s (utime+stime)", figure,
                "< 0.2 %", pct / 0.2, pct < 0.2);
    s.table.row("peak RSS at idle (VmHWM)",
                std::to_string(hwm) + " KiB (now: anon " + std::to_string(anon) + " + file " +
                    std::to_string(file) + "; Pss " + std::to_string(pss) + ")",
                "< 6144 KiB", hwm / 6144.0, hwm < 6144);
}

void phase_singles(Scene &s, std::vector<double> &cmd_idle) {
    std::uniform_int_distribution<int> gap(10, 100);
    for (const auto &cmd : names("s", s.cfg.singles)) {
        auto t = s.send_list({cmd});
        s.wait_settled(5s, "single " + cmd);
        auto all = s.sim->commands();
        cmd_idle.push_back(ms(s.device_command(all, cmd).first_byte - t));
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(s.rng)));
    }
    s.check_bridge_logs("singles");
    auto sum = bench::summarize(cmd_idle);
    printf("command latency, idle (publish -> first byte at the device): %s\n",
           bench::format_summary(sum).c_str());
    s.table.row("command latency idle, p50/p99/max",
                bench::Table::fmt("%.2f", sum.p50) + bench::Table::fmt(" / %.2f", sum.p99) +
                    bench::Table::fmt(" / %.2f ms", sum.max),
                "p99 <= 5 ms", sum.p99 / 5.0, sum.p99 <= 5.0);
}

void phase_info(Scene &s, std::vector<double> &report_info) {
    std::uniform_int_distribution<int> phase(0, 99);
    size_t before = s.remote->count("info");
    int i = 0;
    for (const auto &name : names("!info", s.cfg.infos)) {
        check(s.sim->wait_idle(2s), "info: the device did not come back to idle");
        // A random moment within the poll period.
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(s.rng)));
        std::string text = name + "\n";
        s.sim->send_info(text);
        check(s.remote->wait_count("info", before + ++i, 5s),
              "info: report " + name + " never reached the remote");
        auto sent = s.device_report(s.sim->reports(), text).last_byte;
        report_info.push_back(ms(s.received_at("info", text) - sent));
    }
    check(s.sim->wait_idle(2s), "info: the device did not come back to idle");
    check(s.sim->acks() >= static_cast<size_t>(s.cfg.infos),
          "info: not every information report was acknowledged");
    s.check_bridge_logs("info");
    auto sum = bench::summarize(report_info);
    printf("report latency, information reports at random moments (last byte at the device -> "
           "remote): %s\n",
           bench::format_summary(sum).c_str());
    s.table.row("report latency (random phase), p50/p99/max",
                bench::Table::fmt("%.2f", sum.p50) + bench::Table::fmt(" / %.2f", sum.p99) +
                    bench::Table::fmt(" / %.2f ms", sum.max),
                "p99 <= 110 ms", sum.p99 / 110.0, sum.p99 <= 110.0);
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

void phase_pairs(Scene &s, std::vector<double> &heads, std::vector<double> &later,
                 std::vector<double> &waits) {
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
    auto h = bench::summarize(heads), l = bench::summarize(later), w = bench::summarize(waits);
    printf("command latency, head of a list on an empty queue: %s\n",
           bench::format_summary(h).c_str());
    printf("command turnaround, later commands (previous report at the device -> command at the "
           "device): %s\n",
           bench::format_summary(l).c_str());
    printf("queue wait, later commands (their list's publish -> command at the device): %s\n",
           bench::format_summary(w).c_str());
    s.table.row("command latency, head of a list (empty queue), p50/p99/max",
                bench::Table::fmt("%.2f", h.p50) + bench::Table::fmt(" / %.2f", h.p99) +
                    bench::Table::fmt(" / %.2f ms", h.max),
                "p99 <= 5 ms", h.p99 / 5.0, h.p99 <= 5.0);
}

// Runs one list of N commands; returns the commands per second between the
// first and the last command's arrival at the device.
double run_list(Scene &s, const char *prefix, int n, std::vector<double> *later,
                std::vector<double> *status_latency, std::vector<double> *cycles_per_cmd,
                double *cpu_s) {
    auto cmds = names(prefix, n);
    size_t have = s.sim->commands().size();
    pid_t pid = s.bridge.pid();
    double c0 = bench::cpu_seconds(pid), f0 = bench::cpu_seconds_fine(pid);
    s.send_list(cmds);
    s.wait_settled(std::chrono::milliseconds(n * 600 + 10000), prefix);
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
        for (const auto &c : cmds)
            status_latency->push_back(ms(s.received_at("status_update", report_for(c)) -
                                         s.device_report(reports, report_for(c)).last_byte));
    }
    for (int i = 1; i < n && cycles_per_cmd; i++)
        cycles_per_cmd->push_back(ms(all[have + i].first_byte - all[have + i - 1].first_byte) /
                                  kPollMs);
    s.check_bridge_logs(prefix);
    // From the second command on: the head goes out from the message
    // handler at once, every later one from a poll cycle, so only those
    // show the loop's own pace.
    if (n < 3)
        return NAN;
    double span = ms(all[have + n - 1].first_byte - all[have + 1].first_byte) / 1000.0;
    return (n - 2) / span;
}

void phase_throughput(Scene &s, std::vector<double> &later, std::vector<double> &status_latency) {
    int n = s.cfg.throughput;
    std::vector<double> intervals;
    double cpu = 0;
    double rate = run_list(s, "t", n, &later, &status_latency, &intervals, &cpu);
    double limit = 1000.0 / (2 * kPollMs);
    auto iv = bench::summarize(intervals);
    auto l = bench::summarize(later), st = bench::summarize(status_latency);
    printf("throughput over %d commands: %.3f commands/s = %.2f %% of the protocol limit "
           "%.1f/s; command spacing %s of %.0f ms\n",
           n, rate, rate / limit * 100, limit, bench::format_summary(iv, "x").c_str(), kPollMs);
    printf("  CPU of the bridge: %.2f s for %d commands (%.3f s per 1,000)\n", cpu, n,
           cpu / n * 1000);
    printf("  turnaround of later commands: %s\n", bench::format_summary(l).c_str());
    printf("  status report latency (phase-locked to the poll by the device's 150 ms delay): "
           "%s\n",
           bench::format_summary(st).c_str());
    s.table.row("throughput over " + std::to_string(n) + " commands",
                bench::Table::fmt("%.3f/s", rate) +
                    bench::Table::fmt(" (%.2f %% of 5/s)", rate / limit * 100),
                ">= 98 % of 5/s", rate / (0.98 * limit), rate >= 0.98 * limit);
    s.table.row("command spacing in poll periods, p50/p99/max",
                bench::Table::fmt("%.3f", iv.p50) + bench::Table::fmt(" / %.3f", iv.p99) +
                    bench::Table::fmt(" / %.3f", iv.max));
    s.table.row("turnaround of later commands (report -> next command), p50/p99/max",
                bench::Table::fmt("%.2f", l.p50) + bench::Table::fmt(" / %.2f", l.p99) +
                    bench::Table::fmt(" / %.2f ms", l.max));
    s.table.row("status report latency (poll-locked), p50/p99/max",
                bench::Table::fmt("%.2f", st.p50) + bench::Table::fmt(" / %.2f", st.p99) +
                    bench::Table::fmt(" / %.2f ms", st.max),
                "p99 <= 110 ms", st.p99 / 110.0, st.p99 <= 110.0);
    s.table.row("bridge CPU per 1,000 commands", bench::Table::fmt("%.3f s", cpu / n * 1000));
}

void phase_slow(Scene &s) {
    s.sim.reset();
    s.start_sim(std::chrono::milliseconds(s.cfg.slow_report_delay_ms));
    std::vector<double> spacing;
    double rate = run_list(s, "w", s.cfg.slow, nullptr, nullptr, &spacing, nullptr);
    auto sp = bench::summarize(spacing);
    printf("device with a %d ms report delay, %d commands: %.3f commands/s, spacing %s poll "
           "periods\n",
           s.cfg.slow_report_delay_ms, s.cfg.slow, rate, bench::format_summary(sp, "x").c_str());
    s.table.row("throughput, device report delay " + std::to_string(s.cfg.slow_report_delay_ms) +
                    " ms (" + std::to_string(s.cfg.slow) + " commands)",
                bench::Table::fmt("%.3f/s", rate) +
                    bench::Table::fmt(" (spacing p50 %.2f polls)", sp.p50));
    s.sim.reset();
    s.start_sim(150ms);
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
    long hwm = bench::status_kib(pid, "VmHWM"), rss = bench::status_kib(pid, "VmRSS");
    long anon = bench::status_kib(pid, "RssAnon");
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
            cfg.idle_s = 5;
            cfg.singles = 10;
            cfg.infos = 10;
            cfg.pairs = 2;
            cfg.throughput = 20;
            cfg.slow = 0;
            cfg.intake = 10000;
        } else if (a == "--idle-s" && i + 1 < argc) {
            cfg.idle_s = atoi(argv[++i]);
        } else if (a == "--singles" && i + 1 < argc) {
            cfg.singles = atoi(argv[++i]);
        } else if (a == "--data" && i + 1 < argc) {
            cfg.data = argv[++i];
        } else if (a == "--results" && i + 1 < argc) {
            cfg.results = argv[++i];
        } else {
            fprintf(
                stderr,
                "usage: %s [--smoke] [--idle-s N] [--singles N] [--data DIR] [--results FILE]\n",
                argv[0]);
            return 2;
        }
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
    s.start_sim(150ms);
    check(s.broker.start(), "the broker did not start:\n" + s.broker.output());
    s.remote = std::make_unique<Remote>();
    s.remote->connect();
    for (const char *topic : {"login", "status_update", "info"})
        s.remote->subscribe(topic);
    s.bridge.start();
    check(s.remote->wait_count("login", 1, 15s), "the bridge never logged in");
    check(s.bridge.wait_for_stdout("received SUBACK", 10s), "the bridge never subscribed");
    printf("bridge pid %d, work dir %s, stdout to bridge.stdout there\n", s.bridge.pid(),
           s.dir.path().c_str());
    printf("load average at start: %s", e2e::read_file("/proc/loadavg").c_str());

    std::vector<double> cmd_idle, report_info, heads, later, waits, status_latency;
    phase_idle(s);
    phase_singles(s, cmd_idle);
    phase_info(s, report_info);
    phase_pairs(s, heads, later, waits);
    phase_throughput(s, later, status_latency);
    if (cfg.slow > 0)
        phase_slow(s);
    phase_intake(s);

    s.write_cdf("cmd_idle.cdf", cmd_idle);
    s.write_cdf("cmd_head.cdf", heads);
    s.write_cdf("turnaround.cdf", later);
    s.write_cdf("report_info.cdf", report_info);
    s.write_cdf("report_status.cdf", status_latency);
    s.table.save();
    printf("load average at the end: %s", e2e::read_file("/proc/loadavg").c_str());

    s.bridge.kill();
    s.sim.reset();
    s.broker.stop();
    s.remote.reset();
}

} // namespace
