// sim-firmware: the simulated microcontroller on a pseudo-terminal, for the
// demo. The slave end is published as a symbolic link
// (by default ./ttyATH0, where the test build of the bridge looks for its
// serial device) and every event is printed as one line on standard output.
// SIGINT, SIGTERM and SIGHUP stop it and remove the link; SIGUSR1 sends the
// --info report, for demonstrating information reports on demand. Nothing is
// sent unasked: a report written before the bridge reads the line would go
// unanswered.

#include "sim_firmware.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void usage(const char *argv0) {
    std::fprintf(stderr,
                 "usage: %s [--link PATH] [--info TEXT]\n"
                 "  --link PATH  symbolic link to the device end (default ./ttyATH0);\n"
                 "               an existing link there is replaced\n"
                 "  --info TEXT  send this information report on every SIGUSR1;\n"
                 "               TEXT takes the escapes \\n \\r \\t \\\\ \\xHH\n",
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

// Reports conventionally end in one line end; the event line has its own.
std::string report_line(std::string text) {
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return simfw::escape(text);
}

void print_event(const simfw::Event &e) {
    switch (e.type) {
    case simfw::Event::command:
        std::printf("DEVICE GOT COMMAND: %s\n", simfw::escape(e.text).c_str());
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
        std::printf("DEVICE GOT UNEXPECTED: %s\n", simfw::escape(e.text).c_str());
        break;
    }
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
    std::string info;
    bool have_info = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--link" && i + 1 < argc) {
            link = argv[++i];
        } else if (arg == "--info" && i + 1 < argc) {
            info = unescape(argv[++i]);
            have_info = true;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // Taken by sigwait below; blocked before the device thread starts so
    // that it inherits the mask and never takes them itself.
    sigset_t taken;
    sigemptyset(&taken);
    sigaddset(&taken, SIGINT);
    sigaddset(&taken, SIGTERM);
    sigaddset(&taken, SIGHUP);
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

    simfw::Options options;
    options.on_event = print_event;
    {
        simfw::SimFirmware device(pty.master, options);
        std::printf("DEVICE READY ON %s (%s)\n", link.c_str(), pty.slave_path.c_str());
        int sig = 0;
        while (sigwait(&taken, &sig) == 0 && sig == SIGUSR1)
            if (have_info)
                device.send_info(info);
        std::printf("DEVICE STOPPED AFTER %zu REPORT ACKS\n", device.acks());
    }
    remove_link(pty.slave_path, link);
    return 0;
}
