// Helpers shared by the benchmarks: checks, distributions, /proc readings
// of a process and of the network, and the rows of the results table.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bench {

// A run's checks. check() records a failure and the run carries on, so that
// one broken figure does not hide the others; require() is for what the rest
// of the run stands on and throws Stop. Failures are printed at once and
// listed again by finish_checks(), before the run's last line.
struct Stop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CheckLog {
    std::mutex mutex;
    std::vector<std::string> failed;
    bool print_passes = false; // also "  check: WHAT: ok"
};

inline CheckLog &checks() {
    static CheckLog log;
    return log;
}

inline bool check(bool ok, const std::string &what) {
    CheckLog &log = checks();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (!ok)
        log.failed.push_back(what);
    if (!ok || log.print_passes)
        printf("  check: %s: %s\n", what.c_str(), ok ? "ok" : "FAILED");
    return ok;
}

inline void require(bool ok, const std::string &what) {
    if (!check(ok, what))
        throw Stop(what);
}

// Lists the failures as "PROGRAM: FAILED: WHAT" on TO; the exit status.
inline int finish_checks(FILE *to, const char *program) {
    CheckLog &log = checks();
    std::lock_guard<std::mutex> lock(log.mutex);
    for (const auto &f : log.failed)
        fprintf(to, "%s: FAILED: %s\n", program, f.c_str());
    return log.failed.empty() ? 0 : 1;
}

inline double secs(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

inline double ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A payload as text: up to the first NUL (reports are padded with zeros).
inline std::string text_of(const std::string &payload) {
    return payload.substr(0, payload.find('\0'));
}

// The same without its line end: the report as the device's line.
inline std::string line_of(const std::string &payload) {
    std::string t = text_of(payload);
    if (!t.empty() && t.back() == '\n')
        t.pop_back();
    return t;
}

// Nearest-rank percentile of SAMPLES (P in 0..100); NaN when empty.
inline double percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return NAN;
    std::sort(samples.begin(), samples.end());
    double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    size_t i = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return samples[std::min(i, samples.size() - 1)];
}

struct Summary {
    size_t n = 0;
    double min = NAN, p50 = NAN, p99 = NAN, max = NAN;
};

inline Summary summarize(const std::vector<double> &samples) {
    Summary s;
    s.n = samples.size();
    if (samples.empty())
        return s;
    s.min = *std::min_element(samples.begin(), samples.end());
    s.max = *std::max_element(samples.begin(), samples.end());
    s.p50 = percentile(samples, 50);
    s.p99 = percentile(samples, 99);
    return s;
}

inline std::string format_summary(const Summary &s, const char *unit = "ms") {
    char buf[160];
    snprintf(buf, sizeof buf, "p50 %.2f / p99 %.2f / max %.2f %s (n=%zu)", s.p50, s.p99, s.max,
             unit, s.n);
    return buf;
}

// CPU time of every thread of PID in seconds, from utime+stime in
// /proc/PID/stat (clock-tick resolution, usually 10 ms).
inline double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    // The command name in parentheses may hold spaces: count fields after it.
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return NAN;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Field 3 (state) is the first after the name; utime is 14, stime 15.
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time of every thread of PID in seconds at nanosecond resolution, from
// the first field of /proc/PID/task/*/schedstat; NaN when the kernel has no
// schedstat. Threads that have ended are not counted.
inline double cpu_seconds_fine(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return NAN;
    unsigned long long total = 0;
    bool any = false;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(dir + "/" + e->d_name + "/schedstat");
        unsigned long long ns = 0;
        if (in >> ns) {
            total += ns;
            any = true;
        }
    }
    closedir(d);
    return any ? static_cast<double>(total) / 1e9 : NAN;
}

// Voluntary context switches of every thread of PID, from
// /proc/PID/task/*/status: each is one sleep the thread woke from (a poll
// cycle, a timeout of the network loop, a byte on the line). -1 when PID is
// gone. Threads that have ended are not counted.
inline long long voluntary_switches(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return -1;
    long long total = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(dir + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
                total += std::strtoll(line.c_str() + 24, nullptr, 10);
    }
    closedir(d);
    return total;
}

// A "Key:" figure in KiB of /proc/PID/FILE: "status" (VmHWM, VmRSS,
// RssAnon, ...) or "smaps_rollup" (Pss, ...; Pss shares each page among the
// processes that map it, so shared library pages count only in part); -1
// when missing.
inline long proc_kib(pid_t pid, const std::string &file, const std::string &key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    }
    return -1;
}

// Resident anonymous memory of this process in KiB: its private mappings
// with no file behind them ([heap] and what malloc maps; not the stack),
// counted page by page with mincore. Under qemu-user VmRSS is the
// emulator's, while /proc/self/maps is emulated for the guest and mincore
// is passed through, so this figure is the guest program's own.
inline long anon_resident_kib() {
    std::ifstream in("/proc/self/maps");
    std::string line;
    long page = sysconf(_SC_PAGESIZE), pages = 0;
    std::vector<unsigned char> resident;
    while (std::getline(in, line)) {
        unsigned long lo = 0, hi = 0, inode = 0;
        char perms[8] = "", name[64] = "";
        if (sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %lu %63s", &lo, &hi, perms, &inode, name) < 4)
            continue;
        if (inode != 0 || perms[0] != 'r' || perms[1] != 'w' ||
            (name[0] == '[' && strcmp(name, "[heap]") != 0) || (name[0] && name[0] != '['))
            continue;
        resident.assign((hi - lo + page - 1) / page, 0);
        if (mincore(reinterpret_cast<void *>(lo), hi - lo, resident.data()) == 0)
            for (unsigned char r : resident)
                pages += r & 1;
    }
    return pages * page / 1024;
}

// One row of the results table: "what|figure|target|ratio to target|verdict".
// The verdict is informational: the benchmark fails only when its own
// checks fail, never on a missed target.
class Table {
  public:
    explicit Table(const std::string &path) : path_(path) {}
    void row(const std::string &what, const std::string &figure, const std::string &target = "",
             double ratio = NAN, bool met = true) {
        std::string r = ratio == ratio ? fmt("%.3f", ratio) : std::string("-");
        std::string v = target.empty() ? "-" : (met ? "met" : "MISSED");
        rows_.push_back(what + "|" + figure + "|" + (target.empty() ? "-" : target) + "|" + r +
                        "|" + v);
    }
    void save() const {
        if (path_.empty())
            return;
        std::ofstream out(path_, std::ios::app);
        for (const auto &r : rows_)
            out << r << "\n";
    }
    // A distribution: "p50 / p99 / max UNIT", checked against LIMIT on its
    // p99 when LIMIT is a number.
    void dist(const std::string &what, const Summary &s, const std::string &unit = "ms",
              double limit = NAN) {
        std::string figure = fmt("%.2f", s.p50) + fmt(" / %.2f", s.p99) + fmt(" / %.2f ", s.max) +
                             unit + " (n=" + std::to_string(s.n) + ")";
        if (limit == limit)
            row(what + ", p50/p99/max", figure, fmt("p99 <= %g ", limit) + unit, s.p99 / limit,
                s.p99 <= limit);
        else
            row(what + ", p50/p99/max", figure);
    }
    static std::string fmt(const char *f, double v) {
        char buf[64];
        snprintf(buf, sizeof buf, f, v);
        return buf;
    }

  private:
    std::string path_;
    std::vector<std::string> rows_;
};

// Established TCP connections in this network namespace whose local port is
// PORT: a server's sessions, from /proc/net/tcp.
inline int sessions_on(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    int n = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st;
        f >> sl >> local >> remote >> st;
        auto colon = local.find(':');
        if (st == "01" && colon != std::string::npos &&
            std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            n++;
    }
    return n;
}

// TCP connect() calls made in this network namespace, refused ones included
// (Tcp ActiveOpens of /proc/net/snmp); -1 when unreadable.
inline long tcp_active_opens() {
    std::ifstream in("/proc/net/snmp");
    std::string head, values;
    while (std::getline(in, head) && std::getline(in, values)) {
        if (head.rfind("Tcp:", 0) != 0)
            continue;
        std::istringstream h(head), v(values);
        std::string name, value;
        while (h >> name && v >> value)
            if (name == "ActiveOpens")
                return std::atol(value.c_str());
    }
    return -1;
}

// Sessions a haproxy frontend has taken in all (the "stot" column of "show
// stat" on the stats socket SOCK_PATH); -1 when it cannot be read.
inline long haproxy_sessions(const std::string &sock_path, const std::string &frontend) {
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof a.sun_path, "%s", sock_path.c_str());
    const char cmd[] = "show stat\n";
    std::string out;
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        write(s, cmd, sizeof cmd - 1) == static_cast<ssize_t>(sizeof cmd - 1)) {
        char buf[4096];
        ssize_t r;
        while ((r = read(s, buf, sizeof buf)) > 0)
            out.append(buf, r);
    }
    close(s);
    std::istringstream lines(out);
    std::string line, field;
    while (std::getline(lines, line)) {
        if (line.rfind(frontend + ",FRONTEND,", 0) != 0)
            continue;
        std::istringstream f(line);
        for (int i = 0; i <= 7 && std::getline(f, field, ','); i++)
            if (i == 7)
                return std::atol(field.c_str());
    }
    return -1;
}

inline void write_samples(const std::string &path, const std::vector<double> &samples) {
    if (path.empty())
        return;
    std::ofstream out(path, std::ios::trunc);
    for (double s : samples)
        out << s << "\n";
}

} // namespace bench
