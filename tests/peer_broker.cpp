#include "peer_broker.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "net_peers.h"
#include "peer_certs.h"

namespace e2e {

namespace {

// The broker drops to its own user when started as root: what it writes
// must belong to that user.
bool give_to_broker_user(const std::string &path) {
    if (geteuid() != 0)
        return true;
    if (struct passwd *pw = getpwnam("mosquitto"))
        return chown(path.c_str(), pw->pw_uid, pw->pw_gid) == 0;
    return true;
}

} // namespace

BrokerConfig persistent_broker(const std::string &dir) {
    std::string store = dir + "/persist/";
    mkdir(store.c_str(), 0755);
    if (!give_to_broker_user(store))
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

std::vector<std::string> first_publishes(const std::string &log, bool resends) {
    static const std::regex any_publish(
        R"(Received PUBLISH from 02:FC:00:00:00:01 \(d([01]), q\d, r\d, m\d+, '([^']*)')");
    std::vector<std::string> firsts;
    bool open = false;
    for (const std::string &line : lines_of(log)) {
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

Outcome Broker::start(const BrokerConfig &config, Duration timeout) {
    if (process_.running())
        return Outcome::failure("broker already running");
    config_ = config;
    const Certs &c = certs();
    std::string log_path = dir_ + "/mosquitto.log";
    const char *mode = config.listener == BrokerConfig::Listener::Plain       ? "plain"
                       : config.listener == BrokerConfig::Listener::RefuseAll ? "refuse"
                                                                              : "mutual";
    std::string conf =
        run_script("peer-files.sh",
                   {"broker", std::to_string(config.port), mode, c.ca,
                    config.certfile.empty() ? c.broker_cert : config.certfile,
                    config.keyfile.empty() ? c.broker_key : config.keyfile, log_path},
                   dir_);
    write_file(dir_ + "/mosquitto.conf", conf + config.extra + "\n");

    // It opens its log after dropping root, so the file must exist first.
    int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0)
        close(fd);
    if (!give_to_broker_user(log_path))
        return Outcome::failure("chown ", log_path, ": ", strerror(errno));

    std::string out = dir_ + "/mosquitto.out";
    process_.start({"mosquitto", "-c", dir_ + "/mosquitto.conf"}, dir_, out, out);

    bool ready = eventually(
        timeout, [&] { return !process_.running() || accepting_on_loopback(config.port); });
    if (!process_.running())
        return Outcome::failure("mosquitto exited at start-up:\n", output(), log());
    if (!ready)
        return Outcome::failure("mosquitto not accepting on port ", config.port, " within ",
                                timeout.count(), " ms:\n", output(), log());
    return Outcome::success();
}

Outcome Broker::restart(Duration timeout) {
    return restart(config_, timeout);
}

Outcome Broker::restart(const BrokerConfig &config, Duration timeout) {
    stop(timeout);
    return start(config, timeout);
}

std::string Broker::log() const {
    return read_file(dir_ + "/mosquitto.log");
}

std::string Broker::output() const {
    return read_file(dir_ + "/mosquitto.out");
}

int Broker::log_count(const std::regex &pattern) const {
    int n = 0;
    for (const std::string &line : lines_of(log()))
        if (std::regex_search(line, pattern))
            n++;
    return n;
}

Outcome Broker::wait_for_log(const std::regex &pattern, Duration timeout, int count) const {
    if (eventually(timeout, [&] { return log_count(pattern) >= count; }))
        return Outcome::success();
    return Outcome::failure(log_count(pattern), " of ", count,
                            " matching lines in the broker log within ", timeout.count(), " ms:\n",
                            log());
}

} // namespace e2e
