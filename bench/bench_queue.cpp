// bridge-bench-queue: command intake and queue memory, in-process.
//
// A long command list can't be drained through the real bridge in a
// benchmark: every command costs two 100 ms poll cycles, so 100,000 of them
// take more than five hours. Here the bridge library runs in this process,
// its message handler is called with the list, and the exchange loop is
// driven one cycle at a time (serial_reads_cycle, the loop body without its
// sleep) while this thread plays a device that answers at once on a pty. The
// code on the path is the bridge's own; only the sleeping and the broker are
// left out (the tests' probe, tests/bridge_probe.h, opens the line, delivers
// the list and records the publishes).
//
// Measured: time the handler takes for the list, resident memory before and
// after intake and after the queue drained (with and without handing freed
// heap back through malloc_trim where the C library has it), and the
// in-process exchange rate. Resident anonymous memory is read beside VmRSS:
// run under qemu-user (the musl build) only that figure is the program's.
//
// The bridge's log goes to this process's stdout, line-buffered as the bridge
// sets it; run with stdout redirected to a file. Results go to --results and
// a summary to stderr. Exits non-zero when the exchange went wrong (a command
// missing, out of order, or a report not published).
#include <stdio.h> // first: it defines __GLIBC__ where that is the C library
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <chrono>
#include <string>

#include "bench_common.h"
#include "bridge_probe.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what) {
    fprintf(stderr, "bridge-bench-queue: FAILED: %s\n", what.c_str());
    exit(1);
}

// Reads exactly EXPECTED's length from the device end and compares.
void expect_from_bridge(int master, const std::string &expected) {
    std::string got = simfw::read_bytes(master, expected.size(), std::chrono::seconds(5));
    if (got != expected)
        fail("the device expected \"" + expected + "\" and got \"" + simfw::escape(got) + "\"");
}

// The device writes BYTES; returns once the bridge's end of the line has them.
void device_says(int master, const std::string &bytes) {
    if (!device_writes(master, bytes.data(), bytes.size()))
        fail("bytes written by the device never reached the bridge's end of the line");
}

std::string command_text(int i) {
    char buf[16];
    snprintf(buf, sizeof buf, "c%06d", i);
    return buf;
}

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

} // namespace

int main(int argc, char **argv) {
    int n = 100000;
    std::string results;
    bool full_buffering = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--commands" && i + 1 < argc)
            n = atoi(argv[++i]);
        else if (a == "--results" && i + 1 < argc)
            results = argv[++i];
        else if (a == "--stdout-fully-buffered")
            full_buffering = true;
        else {
            fprintf(stderr, "usage: %s [--commands N] [--results FILE] [--stdout-fully-buffered]\n",
                    argv[0]);
            return 2;
        }
    }
    if (n < 1)
        fail("--commands must be at least 1");

    // Line-buffered as the bridge's main() sets it: one write per log line.
    // Fully buffered (the handler still flushes at its end) shows what the
    // per-line writes cost.
    setvbuf(stdout, NULL, full_buffering ? _IOFBF : _IOLBF, full_buffering ? 1 << 16 : 0);
    const char *mode = full_buffering ? "fully buffered" : "line-buffered";

    int master = line_open();
    serial_flush();
    queue = createQueue();
    bridge_publish = record_publish;
    // A session whose login was acknowledged, so that reports go out at once.
    session_up();
    published.clear();

    std::string list;
    list.reserve(static_cast<size_t>(n) * 8);
    for (int i = 1; i <= n; i++) {
        list += command_text(i);
        if (i < n)
            list += ';';
    }
    pid_t self = getpid();

    long rss_before = bench::proc_kib(self, "status", "VmRSS");
    long anon_before = bench::anon_resident_kib();
    auto t0 = Clock::now();
    deliver("commands", reinterpret_cast<const unsigned char *>(list.data()), list.size());
    double intake_ms = ms_since(t0);
    serial_reads_cycle(); // the exchange writes the head, as woken by the handler
    long rss_intake = bench::proc_kib(self, "status", "VmRSS");
    long anon_intake = bench::anon_resident_kib();
    if (queue.count != n)
        fail("queue holds " + std::to_string(queue.count) + " commands, not " + std::to_string(n));
    if (IDLE != 0)
        fail("the exchange stayed idle with commands queued");

    // Drain: the head went out with that cycle; after that each command
    // comes right behind the acknowledgement of the previous report.
    auto t1 = Clock::now();
    for (int i = 1; i <= n; i++) {
        expect_from_bridge(master, (i == 1 ? "" : "#\n") + command_text(i));
        device_says(master, "#");
        serial_reads_cycle();
        if (IDLE == 0)
            fail("the acknowledgement of " + command_text(i) + " was not taken");
        device_says(master, "OK\n");
        serial_reads_cycle();
        acknowledge_publishes(); // the broker's PUBACK frees the outbox's window
        // One report, cleared at once: the record must not grow with the run.
        if (published.size() != 1 || published[0].topic != "status_update" ||
            published[0].len != 100)
            fail("the report for " + command_text(i) + " was not published alone");
        published.clear();
    }
    expect_from_bridge(master, "#\n");
    double drain_ms = ms_since(t1);
    if (queue.count != 0 || IDLE == 0)
        fail("after the drain: " + std::to_string(queue.count) + " queued, IDLE " +
             std::to_string(IDLE));

    long rss_drained = bench::proc_kib(self, "status", "VmRSS");
    long anon_drained = bench::anon_resident_kib();
    // musl has no malloc_trim: it hands freed memory back by itself.
#ifdef __GLIBC__
    malloc_trim(0);
#endif
    long rss_trimmed = bench::proc_kib(self, "status", "VmRSS");
    long anon_trimmed = bench::anon_resident_kib();

    double per_cmd = static_cast<double>(rss_intake - rss_before) * 1024.0 / n;
    fprintf(stderr,
            "in-process, stdout %s, %d commands:\n"
            "  intake (message handler)     %.1f ms\n"
            "  VmRSS before intake          %ld KiB\n"
            "  VmRSS after intake           %ld KiB  (+%.0f bytes per queued command)\n"
            "  VmRSS after the drain        %ld KiB\n"
            "  VmRSS after malloc_trim(0)   %ld KiB\n"
            "  anonymous resident memory before / after intake / drained / trimmed: "
            "%ld / %ld / %ld / %ld KiB\n"
            "  drain, no poll sleep         %.0f ms  (%.0f commands/s)\n",
            mode, n, intake_ms, rss_before, rss_intake, per_cmd, rss_drained, rss_trimmed,
            anon_before, anon_intake, anon_drained, anon_trimmed, drain_ms,
            n / (drain_ms / 1000.0));

    bench::Table t(results);
    std::string label = std::to_string(n) + "-command list";
    if (full_buffering) {
        // Not the bridge as built: the figure for the proposed change only.
        t.row("intake of a " + label + ", in-process, stdout fully buffered (what-if)",
              bench::Table::fmt("%.1f ms", intake_ms));
        t.save();
        return 0;
    }
    t.row("intake of a " + label + ", in-process handler (stdout line-buffered)",
          bench::Table::fmt("%.1f ms", intake_ms), n == 100000 ? "< 100 ms" : "", intake_ms / 100.0,
          intake_ms < 100.0);
    t.row("queue memory, in-process (VmRSS growth per command)",
          bench::Table::fmt("%.0f B", per_cmd));
    t.row("VmRSS in-process: before / after intake / drained / after malloc_trim",
          std::to_string(rss_before) + " / " + std::to_string(rss_intake) + " / " +
              std::to_string(rss_drained) + " / " + std::to_string(rss_trimmed) + " KiB");
    t.row("anonymous resident memory in-process: before / after intake / drained / after "
          "malloc_trim",
          std::to_string(anon_before) + " / " + std::to_string(anon_intake) + " / " +
              std::to_string(anon_drained) + " / " + std::to_string(anon_trimmed) + " KiB");
    t.row("exchange rate in-process without the poll sleep",
          bench::Table::fmt("%.0f commands/s", n / (drain_ms / 1000.0)));
    t.save();
    return 0;
}
