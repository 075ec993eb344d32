// bridge-bench-queue: command intake and queue memory, in-process.
//
// A long command list can't be drained through the real bridge in a
// benchmark: every command costs two 100 ms poll cycles, so 100,000 of them
// take more than five hours. Here the bridge library runs in this process,
// its message handler is called with the list, and the exchange loop is
// driven one cycle at a time (serial_reads_cycle, the loop body without its
// sleep) while this thread plays a device that answers at once on a pty. The
// code on the path is the bridge's own; only the sleeping and the broker are
// left out (reports go to a counting publish hook).
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
#include <errno.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <mosquitto.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench_common.h"
#include "mosquitto-client.h"
#include "serial.h"
#include "sim_firmware.h"

namespace {

using Clock = std::chrono::steady_clock;

int published_status = 0;
int published_other = 0;

int last_mid = 0;

int count_publish(struct mosquitto *, int *mid, const char *topic, int len, const void *, int,
                  bool) {
    if (mid)
        *mid = ++last_mid;
    if (strcmp(topic, "status_update") == 0 && len == 100)
        published_status++;
    else
        published_other++;
    return MOSQ_ERR_SUCCESS;
}

[[noreturn]] void fail(const std::string &what) {
    fprintf(stderr, "bridge-bench-queue: FAILED: %s\n", what.c_str());
    exit(1);
}

// Waits until the bridge's end of the line has at least N bytes waiting.
void wait_line(size_t n) {
    auto give_up = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        int waiting = 0;
        if (ioctl(sd, FIONREAD, &waiting) == 0 && static_cast<size_t>(waiting) >= n)
            return;
        if (Clock::now() > give_up)
            fail("bytes written by the device never reached the bridge's end of the line");
        pollfd p{sd, POLLIN, 0};
        poll(&p, 1, 10);
    }
}

// Reads exactly EXPECTED's length from the device end and compares.
void expect_from_bridge(int master, const std::string &expected) {
    std::string got;
    auto give_up = Clock::now() + std::chrono::seconds(5);
    while (got.size() < expected.size() && Clock::now() < give_up) {
        char buf[256];
        ssize_t n = read(master, buf, std::min(sizeof buf, expected.size() - got.size()));
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
            continue;
        }
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 10);
    }
    if (got != expected)
        fail("the device expected \"" + expected + "\" and got \"" + got + "\"");
}

void write_device(int master, const char *bytes) {
    size_t len = strlen(bytes);
    if (write(master, bytes, len) != static_cast<ssize_t>(len))
        fail(std::string("write to the pty: ") + strerror(errno));
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

    simfw::PtyPair pty = simfw::PtyPair::open();
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    serial_begin(pty.slave_path.c_str(), 115200);
    serial_flush();
    queue = createQueue();
    bridge_publish = count_publish;
    // A session whose login was acknowledged, so that reports go out at once.
    my_connect_callback(nullptr, nullptr, 0);
    my_publish_callback(nullptr, nullptr, last_mid);
    published_other = 0;

    // The list as the MQTT library delivers it: NUL after the last byte.
    std::string list;
    list.reserve(static_cast<size_t>(n) * 8);
    for (int i = 1; i <= n; i++) {
        list += command_text(i);
        if (i < n)
            list += ';';
    }
    std::vector<char> payload(list.begin(), list.end());
    payload.push_back('\0');
    char topic[] = "commands";
    struct mosquitto_message msg;
    memset(&msg, 0, sizeof msg);
    msg.mid = 1;
    msg.topic = topic;
    msg.payload = payload.data();
    msg.payloadlen = static_cast<int>(list.size());
    msg.qos = 1;
    pid_t self = getpid();

    long rss_before = bench::proc_kib(self, "status", "VmRSS");
    long anon_before = bench::anon_resident_kib();
    auto t0 = Clock::now();
    my_message_callback(nullptr, nullptr, &msg);
    double intake_ms = ms_since(t0);
    long rss_intake = bench::proc_kib(self, "status", "VmRSS");
    long anon_intake = bench::anon_resident_kib();
    if (queue.count != n)
        fail("queue holds " + std::to_string(queue.count) + " commands, not " + std::to_string(n));
    if (IDLE != 0)
        fail("the handler left the exchange idle with commands queued");

    // Drain: the head went out with the handler; after that each command
    // comes right behind the acknowledgement of the previous report.
    auto t1 = Clock::now();
    for (int i = 1; i <= n; i++) {
        expect_from_bridge(pty.master, (i == 1 ? "" : "#\n") + command_text(i));
        write_device(pty.master, "#");
        wait_line(1);
        serial_reads_cycle();
        if (IDLE == 0)
            fail("the acknowledgement of " + command_text(i) + " was not taken");
        write_device(pty.master, "OK\n");
        wait_line(3);
        serial_reads_cycle();
        my_publish_callback(nullptr, nullptr, last_mid); // the broker's PUBACK
        if (published_status != i)
            fail("the report for " + command_text(i) + " was not published");
    }
    expect_from_bridge(pty.master, "#\n");
    double drain_ms = ms_since(t1);
    if (queue.count != 0 || IDLE == 0 || published_other != 0)
        fail("after the drain: " + std::to_string(queue.count) + " queued, IDLE " +
             std::to_string(IDLE) + ", " + std::to_string(published_other) + " other publishes");

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
