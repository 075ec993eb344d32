// Pieces shared by the scenarios that kill, stop and restart the broker under
// the bridge: what the broker's log shows of the bridge's sessions, and a
// broker and a remote party whose state survives a SIGKILL.
#ifndef BRIDGE_TESTS_BROKER_FAULTS_H
#define BRIDGE_TESTS_BROKER_FAULTS_H

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exchange_e2e.h"
#include "net_peers.h"

namespace e2e {

using Clock = std::chrono::steady_clock;

inline const std::regex
    kLogin(R"(Received PUBLISH from 02:FC:00:00:00:01 \(d0, q1, r0, m\d+, 'login')");
inline const std::regex kSubscribed(R"(02:FC:00:00:00:01 1 commands)");
inline const std::regex kBridgeSession(R"(New client connected from .* as 02:FC:00:00:00:01 )");

// A mutual-TLS broker whose state is written to DIR/persist/ after every
// change (a subscription, a message queued for a client), so that a
// persistent session and the messages queued for it survive a SIGKILL.
inline BrokerConfig persistent_broker(const std::string &dir) {
    std::string store = dir + "/persist/";
    mkdir(store.c_str(), 0755);
    // The broker drops to its own user before it writes there.
    if (struct passwd *pw = getpwnam("mosquitto"))
        if (chown(store.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("chown " + store + ": " + strerror(errno));
    BrokerConfig c;
    c.extra = "persistence true\n"
              "persistence_location " +
              store +
              "\n"
              "autosave_on_changes true\n"
              "autosave_interval 1\n";
    return c;
}

// A remote party with a persistent session: the broker queues the QoS 1
// reports for it while it is away, a broker restart included (see
// persistent_broker).
inline RemoteClient::Options persistent_remote(const std::string &id) {
    RemoteClient::Options o;
    o.id = id;
    o.clean_session = false;
    return o;
}

// True once the bridge process has the serial line open, plus a moment for
// the discard of stale input that follows the open: bytes the device writes
// after that are read.
inline ::testing::AssertionResult wait_for_line_open(const Bridge &bridge, const Pty &pty) {
    std::string fd_dir = "/proc/" + std::to_string(bridge.pid()) + "/fd/";
    bool open = eventually(5s, [&] {
        for (int fd = 0; fd < 64; fd++) {
            char target[PATH_MAX];
            ssize_t n = readlink((fd_dir + std::to_string(fd)).c_str(), target, sizeof(target));
            if (n > 0 && std::string(target, n) == pty.slave_path())
                return true;
        }
        return false;
    });
    if (!open)
        return ::testing::AssertionFailure() << "the bridge never opened " << pty.slave_path();
    std::this_thread::sleep_for(scaled(300ms));
    return ::testing::AssertionSuccess();
}

// For each session of the bridge in the broker's log, in order, the topic of
// the first publish the broker received from it ("" when none came in that
// session): with RESENDS, whatever came first, DUP flag or not; without, the
// first without the DUP flag.
inline std::vector<std::string> first_publishes(const std::string &log, bool resends = true) {
    static const std::regex any_publish(
        R"(Received PUBLISH from 02:FC:00:00:00:01 \(d([01]), q\d, r\d, m\d+, '([^']*)')");
    std::vector<std::string> firsts;
    bool open = false;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(at, end - at);
        at = end + 1;
        std::smatch m;
        if (std::regex_search(line, kBridgeSession)) {
            firsts.emplace_back();
            open = true;
        } else if (open && std::regex_search(line, m, any_publish) && (resends || m[1] == "0")) {
            firsts.back() = m[2];
            open = false;
        }
    }
    return firsts;
}

inline std::vector<std::string> first_new_publishes(const std::string &log) {
    return first_publishes(log, false);
}

} // namespace e2e

#endif
