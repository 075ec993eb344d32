// bridge-bench: the bridge end to end against a real broker and the
// simulated firmware (bench_e2e.h tells the phases and options).
#include <mosquitto.h>
#include <stdio.h>

#include "bench_e2e.h"

namespace bench_e2e {

std::vector<std::string> names(const char *prefix, int n) {
    std::vector<std::string> out;
    for (int i = 1; i <= n; i++) {
        char buf[32];
        snprintf(buf, sizeof buf, "%s%06d", prefix, i);
        out.push_back(buf);
    }
    return out;
}

void run(Scene &s) {
    const Config &cfg = s.cfg;
    e2e::install_bridge_certs(s.dir.path());
    s.pty.link(s.dir.file("ttyATH0"));
    s.start_sim(s.report_delay());
    // The broker without Nagle's algorithm, as the remote: what is measured
    // is the bridge, not the peers' TCP.
    e2e::BrokerConfig broker;
    broker.extra = "set_tcp_nodelay true\n";
    require(s.broker.start(broker), "the broker did not start:\n" + s.broker.output());
    s.remote = std::make_unique<e2e::RemoteClient>("bench-remote");
    require(s.remote->connect(), "the remote did not connect");
    for (const char *topic : {"login", "status_update", "info"})
        require(s.remote->subscribe(topic, 1), std::string("remote: no SUBACK for ") + topic);
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
    require(s.wait_count("login", 1, 60s), "the bridge never logged in");
    require(s.bridge.wait_for_stdout("received SUBACK", 10s), "the bridge never subscribed");
    printf("%s, firmware report delay %lld ms; bridge pid %d, work dir %s, stdout to "
           "bridge.stdout there\n",
           s.mode().c_str(), static_cast<long long>(s.report_delay().count()), s.bridge.pid(),
           s.dir.path().c_str());
    printf("load average at start: %s", e2e::read_file("/proc/loadavg").c_str());

    CurvePoint point;
    std::vector<double> cmd_idle, report_info, heads, later, status_latency;
    phase_idle(s, point);
    if (!cfg.idle_only) {
        phase_singles(s, cmd_idle, point);
        phase_info(s, report_info, point);
        if (!cfg.curve)
            phase_pairs(s, heads, later);
        phase_throughput(s, later, status_latency, point);
    }
    if (!cfg.curve && !cfg.idle_only) {
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
        require(f != nullptr, "cannot append to " + cfg.curve_data);
        // The idle run: interval (0: event-driven), idle CPU (% of a core),
        // idle wake-ups per second. Else: interval, commands/s, share of the
        // limit, report p50/p99, command p50/p99 (ms), idle CPU, idle
        // wake-ups, the limit (commands/s).
        int interval = cfg.event ? 0 : cfg.poll_ms;
        if (cfg.idle_only)
            fprintf(f, "%d %.4f %.2f\n", interval, point.idle_cpu, point.wakeups);
        else
            fprintf(f, "%d %.3f %.4f %.2f %.2f %.2f %.2f %.4f %.2f %.2f\n", interval, point.rate,
                    point.rate / point.limit, point.report.p50, point.report.p99, point.cmd.p50,
                    point.cmd.p99, point.idle_cpu, point.wakeups, point.limit);
        fclose(f);
    }
    if (!cfg.idle_only)
        printf("load average at the end: %s", e2e::read_file("/proc/loadavg").c_str());
    s.bridge.kill();
    s.sim.reset();
    s.broker.stop();
    s.remote.reset();
}

} // namespace bench_e2e

int main(int argc, char **argv) {
    bench_e2e::Config cfg;
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
    if (getenv("BRIDGE_WRAPPER")) {
        fprintf(stderr, "bridge-bench: FAILED: BRIDGE_WRAPPER is set: the bench measures the "
                        "bridge itself\n");
        return 1;
    }
    e2e::isolate_network(false);
    mosquitto_lib_init();

    bench_e2e::Scene s(cfg);
    try {
        bench_e2e::run(s);
    } catch (const bench::Stop &) {
        // Recorded: the run stands on what failed.
    } catch (const std::exception &e) {
        bench::check(false, e.what());
    }
    if (bench::finish_checks(stderr, "bridge-bench") != 0) {
        s.dir.keep();
        std::string out = s.bridge.stdout_text();
        if (out.size() > 2000)
            out = "..." + out.substr(out.size() - 2000);
        fprintf(stderr, "work dir kept: %s\nbridge stdout (tail):\n%s\n", s.dir.path().c_str(),
                out.c_str());
        return 1;
    }
    mosquitto_lib_cleanup();
    printf("bench done\n");
    return 0;
}
