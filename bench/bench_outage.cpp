// bridge-bench-outage: the bridge's memory through a long outage. No broker
// listens (the bridge keeps retrying), and the simulated firmware sends
// information reports as fast as the bridge answers them, past the bound of
// held reports several times. The bridge's VmRSS and VmHWM are sampled the
// whole time; under qemu-user (BRIDGE_EXE a wrapper that execs qemu) they
// are the emulator's, whose growth is the guest's heap once the emulator's
// own start-up is over.
//
//   bridge-bench-outage --bound N [--passes K] [--build NAME] [--samples FILE]
//                       [--results FILE] [--label TEXT]
//
// N must be the build's BRIDGE_HELD_REPORTS_MAX: the run checks that the
// first drop is logged with report N+1 and not before. The per-report cost
// is the growth of VmRSS between WARM held reports and N, with the feed
// paused at both points; after that the figure must stay flat.
#include <stdio.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "harness.h"
#include "sim_firmware.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWarm = 100; // held reports before the baseline: the code paths are warm

struct Config {
    int bound = 0;
    int passes = 3;
    std::string build; // empty: BRIDGE_EXE or the default test build
    std::string samples, results;
    std::string label; // before every row's name
};

struct Sample {
    double t;
    long acked, rss, hwm, anon;
};

class Run {
  public:
    explicit Run(const Config &c) : cfg_(c) {}

    void go() {
        e2e::install_bridge_certs(dir_.path());
        pty_.link(dir_.file("ttyATH0"));
        simfw::Options o;
        o.quiet_gap = 1ms;
        sim_ = std::make_unique<simfw::SimFirmware>(pty_.master(), o);
        if (!cfg_.build.empty())
            bridge_.use_build(cfg_.build);
        bridge_.start();
        pid_ = bridge_.pid();
        t0_ = Clock::now();
        printf("bridge pid %d, work dir %s; no broker: every connection attempt fails\n", pid_,
               dir_.path().c_str());
        // A report written before the bridge has opened the line is flushed
        // unanswered (the firmware gives up on it after a second): the first
        // one answered shows the bridge is reading.
        for (int tries = 0; sim_->acks() == 0; tries++) {
            bench::require(tries < 30 && bridge_.running(), "the bridge never answered a report");
            sim_->send_info("!outage-first\n");
            sim_->wait_for_acks(1, 2s);
        }
        sent_ = static_cast<long>(sim_->acks());
        feed_to(kWarm);
        settle_and_sample();
        Sample warm = samples_.back();
        feed_to(cfg_.bound);
        bench::require(bridge_.stdout_text().find("DROPPED") == std::string::npos,
                       "a report was dropped before the bound: is the build's bound " +
                           std::to_string(cfg_.bound) + "?");
        settle_and_sample();
        Sample full = samples_.back();
        feed_to(cfg_.bound + 1);
        bench::require(bridge_.wait_for_stdout("DROPPED 1 HELD REPORTS\n", 10s),
                       "no drop logged past the bound");
        long total = static_cast<long>(cfg_.bound) * cfg_.passes;
        feed_to(total);
        settle_and_sample();
        bench::require(bridge_.running(), "the bridge is no longer running");

        // Anonymous memory carries the held reports; VmRSS also counts the
        // executable's and the libraries' pages as they are first touched
        // (a new code path, such as the first drop, faults in up to 64 KiB).
        long rss_max = 0, anon_max = 0;
        for (const auto &s : samples_)
            if (s.acked > full.acked) {
                rss_max = std::max(rss_max, s.rss);
                anon_max = std::max(anon_max, s.anon);
            }
        double per_report = (full.anon - warm.anon) * 1024.0 / (cfg_.bound - kWarm);
        double seconds = std::chrono::duration<double>(Clock::now() - t0_).count();
        const Sample &end = samples_.back();
        printf("%ld reports in %.0f s (%.0f/s), the bound %d passed %d times\n", total, seconds,
               total / seconds, cfg_.bound, cfg_.passes);
        printf("RssAnon: %ld KiB at %d held, %ld KiB at %d held (the bound), at most %ld KiB "
               "afterwards\n",
               warm.anon, kWarm, full.anon, cfg_.bound, anon_max);
        printf("VmRSS: %ld KiB at %d held, %ld at the bound, at most %ld afterwards; VmHWM %ld "
               "KiB at the end\n",
               warm.rss, kWarm, full.rss, rss_max, end.hwm);
        printf("per held report: %.1f bytes (RssAnon growth from %d to %d held)\n", per_report,
               kWarm, cfg_.bound);

        bench::Table table(cfg_.results);
        std::string b = cfg_.label + "bound " + std::to_string(cfg_.bound) + ": ";
        table.row(b + "RssAnon at " + std::to_string(kWarm) + " held / at the bound / most after",
                  std::to_string(warm.anon) + " / " + std::to_string(full.anon) + " / " +
                      std::to_string(anon_max) + " KiB");
        table.row(b + "VmRSS at the bound / most after / VmHWM at the end",
                  std::to_string(full.rss) + " / " + std::to_string(rss_max) + " / " +
                      std::to_string(end.hwm) + " KiB");
        table.row(b + "per held report (RssAnon growth / reports)",
                  bench::Table::fmt("%.1f B", per_report));
        // Flat: past the bound the anonymous memory may grow by a few pages
        // at most (stack, stdio, the emulator's translations of new paths).
        long growth = anon_max - full.anon;
        table.row(b + "RssAnon growth after the bound, " + std::to_string(cfg_.passes - 1) +
                      " more passes",
                  std::to_string(growth) + " KiB", "<= 64 KiB", growth / 64.0, growth <= 64);
        table.save();
        if (!cfg_.samples.empty()) {
            std::ofstream out(cfg_.samples, std::ios::trunc);
            out << "# seconds reports_answered held VmRSS_KiB VmHWM_KiB RssAnon_KiB\n";
            for (const auto &s : samples_)
                out << s.t << " " << s.acked << " " << std::min<long>(s.acked, cfg_.bound) << " "
                    << s.rss << " " << s.hwm << " " << s.anon << "\n";
        }
        bridge_.kill();
    }

    void keep_dir() {
        dir_.keep();
        fprintf(stderr, "work dir kept: %s\n", dir_.path().c_str());
    }

  private:
    // Sends reports until the bridge has answered N in all, never more than
    // two ahead of it, sampling every half second on the way.
    void feed_to(long n) {
        while (sent_ < n) {
            if (Clock::now() >= next_sample_)
                sample();
            char text[32];
            snprintf(text, sizeof text, "!outage%08ld\n", ++sent_);
            sim_->send_info(text);
            if (sent_ > 2)
                bench::require(sim_->wait_for_acks(sent_ - 2, 10s),
                               "the bridge stopped answering at report " +
                                   std::to_string(sent_ - 2));
        }
        bench::require(sim_->wait_for_acks(n, 10s),
                       "report " + std::to_string(n) + " was not answered");
    }
    void sample() {
        next_sample_ = Clock::now() + 500ms;
        samples_.push_back(
            {std::chrono::duration<double>(Clock::now() - t0_).count(),
             static_cast<long>(sim_->acks()), bench::proc_kib(pid_, "status", "VmRSS"),
             bench::proc_kib(pid_, "status", "VmHWM"), bench::proc_kib(pid_, "status", "RssAnon")});
    }
    void settle_and_sample() {
        std::this_thread::sleep_for(300ms);
        sample();
    }

    Config cfg_;
    e2e::WorkDir dir_;
    e2e::FakeIfconfig ifconfig_{dir_.path()};
    e2e::Pty pty_;
    e2e::Bridge bridge_{dir_.path(), ifconfig_.bin_dir()};
    std::unique_ptr<simfw::SimFirmware> sim_;
    pid_t pid_ = 0;
    Clock::time_point t0_, next_sample_;
    long sent_ = 0;
    std::vector<Sample> samples_;
};

} // namespace

int main(int argc, char **argv) {
    Config cfg;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--bound" && i + 1 < argc)
            cfg.bound = atoi(argv[++i]);
        else if (a == "--passes" && i + 1 < argc)
            cfg.passes = atoi(argv[++i]);
        else if (a == "--build" && i + 1 < argc)
            cfg.build = argv[++i];
        else if (a == "--samples" && i + 1 < argc)
            cfg.samples = argv[++i];
        else if (a == "--results" && i + 1 < argc)
            cfg.results = argv[++i];
        else if (a == "--label" && i + 1 < argc)
            cfg.label = std::string(argv[++i]) + ", ";
        else
            cfg.bound = -1;
    }
    if (cfg.bound <= kWarm || cfg.passes < 2) {
        fprintf(stderr,
                "usage: %s --bound N [--passes K] [--build NAME] [--samples FILE] [--results "
                "FILE] [--label TEXT]\n  N: the build's BRIDGE_HELD_REPORTS_MAX, above %d; K at "
                "least 2\n",
                argv[0], kWarm);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Its own network namespace: whatever listens on the test port of the
    // host (another run's broker) is out of reach.
    e2e::isolate_network(false);
    Run run(cfg);
    try {
        run.go();
    } catch (const std::exception &e) {
        run.keep_dir();
        fprintf(stderr, "bridge-bench-outage: FAILED: %s\n", e.what());
        return 1;
    }
    return 0;
}
