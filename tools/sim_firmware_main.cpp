// sim-firmware: the simulated microcontroller on a pseudo-terminal, for the
// demo and the benchmarks. The slave end is published as a symbolic link
// (by default ./ttyATH0, where the test build of the bridge looks for its
// serial device) and every event is printed as one line on standard output.
// SIGINT, SIGTERM and SIGHUP stop it and remove the link; SIGUSR1 sends the
// --info report again, for demonstrating information reports on demand.

#include "sim_firmware.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void usage(const char *argv0) {
    std::fprintf(stderr,
                 "usage: %s [--link PATH] [--report-delay-ms N] [--ack-delay-ms N]\n"
                 "          [--report-format TEXT] [--info TEXT] [--info-delay-ms N]\n"
                 "          [--count N] [--quiet]\n"
                 "  --link PATH          symbolic link to the device end (default ./ttyATH0);\n"
                 "                       an existing link there is replaced\n"
                 "  --report-delay-ms N  time from \"#\" to the status report (default 150)\n"
                 "  --ack-delay-ms N     time from a complete command to \"#\" (default 0)\n"
                 "  --report-format TEXT status report, {cmd} stands for the command\n"
                 "                       (default \"OK {cmd}\\n\")\n"
                 "  --info TEXT          send this information report once, when idle,\n"
                 "                       and again on every SIGUSR1\n"
                 "  --info-delay-ms N    wait this long after start before the first one\n"
                 "                       (default 0; the bridge discards what the device\n"
                 "                       sent before it opened the line)\n"
                 "  --count N            exit once N reports have been acknowledged\n"
                 "  --quiet              print no event lines\n"
                 "TEXT takes the escapes \\n \\r \\t \\\\ and \\xHH.\n",
                 argv0);
}

std::string unescape(const char *s) {
    std::string out;
    for (; *s; ++s) {
        if (*s != '\\' || s[1] == '\0') {
            out += *s;
            continue;
        }
        ++s;
        switch (*s) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x':
            if (std::isxdigit(static_cast<unsigned char>(s[1])) &&
                std::isxdigit(static_cast<unsigned char>(s[2]))) {
                out += static_cast<char>(std::strtol(std::string(s + 1, 2).c_str(), nullptr, 16));
                s += 2;
            } else {
                out += "\\x";
            }
            break;
        default:
            out += *s;
        }
    }
    return out;
}

// Control bytes are shown as escapes so that each event stays on one line.
std::string printable(const std::string &bytes) {
    std::string out;
    char hex[8];
    for (unsigned char ch : bytes) {
        if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\\') {
            out += "\\\\";
        } else if (ch < 0x20 || ch >= 0x7f) {
            std::snprintf(hex, sizeof hex, "\\x%02x", ch);
            out += hex;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out;
}

// Reports conventionally end in one line end; the event line has its own.
std::string report_line(std::string text) {
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return printable(text);
}

void print_event(const simfw::Event &e) {
    switch (e.type) {
    case simfw::Event::command:
        std::printf("DEVICE GOT COMMAND: %s\n", printable(e.text).c_str());
        break;
    case simfw::Event::ack_sent:
        std::printf("DEVICE SENT ACK\n");
        break;
    case simfw::Event::report:
        std::printf("DEVICE SENT %s: %s\n", e.kind == simfw::ReportKind::info ? "INFO" : "REPORT",
                    report_line(e.text).c_str());
        break;
    case simfw::Event::report_ack:
        std::printf("DEVICE GOT REPORT ACK\n");
        break;
    case simfw::Event::unexpected:
        std::printf("DEVICE GOT UNEXPECTED: %s\n", printable(e.text).c_str());
        break;
    }
}

bool parse_count(const char *s, long &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < 0)
        return false;
    out = v;
    return true;
}

// Puts the link in place atomically, so that a bridge starting at the same
// moment sees either the old target or the new one.
bool make_link(const std::string &target, const std::string &link) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "sim-firmware: %s exists and is not a symbolic link\n", link.c_str());
        return false;
    }
    const std::string tmp = link + ".sim-firmware." + std::to_string(getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "sim-firmware: cannot create %s: %s\n", link.c_str(),
                     std::strerror(errno));
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Leaves the link alone if someone else has replaced it meanwhile.
void remove_link(const std::string &target, const std::string &link) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target)
        ::unlink(link.c_str());
}

} // namespace

int main(int argc, char **argv) {
    std::string link = "./ttyATH0";
    simfw::Options options;
    std::string info;
    bool have_info = false;
    std::chrono::milliseconds info_delay{0};
    long count = -1;
    bool quiet = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        long n = 0;
        if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--link" && has_value) {
            link = argv[++i];
        } else if (arg == "--report-delay-ms" && has_value && parse_count(argv[i + 1], n)) {
            options.report_delay = std::chrono::milliseconds(n);
            ++i;
        } else if (arg == "--ack-delay-ms" && has_value && parse_count(argv[i + 1], n)) {
            options.ack_delay = std::chrono::milliseconds(n);
            ++i;
        } else if (arg == "--report-format" && has_value) {
            options.report_format = unescape(argv[++i]);
        } else if (arg == "--info" && has_value) {
            info = unescape(argv[++i]);
            have_info = true;
        } else if (arg == "--info-delay-ms" && has_value && parse_count(argv[i + 1], n)) {
            info_delay = std::chrono::milliseconds(n);
            ++i;
        } else if (arg == "--count" && has_value && parse_count(argv[i + 1], n)) {
            count = n;
            ++i;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Taken by sigtimedwait below; blocked before the device thread starts
    // so that it inherits the mask and never takes them itself.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigset_t taken = stop_signals;
    sigaddset(&taken, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);

    simfw::PtyPair pty;
    try {
        pty = simfw::PtyPair::open();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "sim-firmware: %s\n", e.what());
        return 1;
    }
    // The slave end stays open here as well, so that the line survives the
    // bridge closing it and starting again.
    if (!make_link(pty.slave_path, link))
        return 1;

    if (!quiet)
        options.on_event = print_event;
    {
        simfw::SimFirmware device(pty.master, options);
        if (!quiet)
            std::printf("DEVICE READY ON %s (%s)\n", link.c_str(), pty.slave_path.c_str());
        const auto info_due = simfw::Clock::now() + info_delay;
        bool info_sent = !have_info;

        const timespec tick{0, 20 * 1000 * 1000};
        for (;;) {
            if (count >= 0 && device.acks() >= static_cast<std::size_t>(count))
                break;
            if (!info_sent && simfw::Clock::now() >= info_due) {
                device.send_info(info);
                info_sent = true;
            }
            const int sig = sigtimedwait(&taken, nullptr, &tick);
            if (sig == SIGUSR1) {
                if (have_info)
                    device.send_info(info);
            } else if (sig > 0) {
                break;
            }
        }
        if (!quiet)
            std::printf("DEVICE STOPPED AFTER %zu REPORT ACKS\n", device.acks());
    }
    remove_link(pty.slave_path, link);
    return 0;
}
