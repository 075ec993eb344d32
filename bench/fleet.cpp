// fleet-driver's command line and the order of its phases (fleet.h tells
// what each phase does).
#include <fcntl.h>
#include <mosquitto.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <thread>

#include "fleet.h"

namespace fleet {

std::unique_ptr<e2e::RemoteClient> Fleet::client(const std::string &id, const std::string &cert,
                                                 e2e::RemoteClient::Options o) {
    o.id = id;
    o.cafile = cfg_.certs + "/ca.pem";
    o.certfile = cfg_.certs + "/" + cert + ".pem";
    o.keyfile = cfg_.certs + "/" + cert + ".key";
    o.port = cfg_.remote_port;
    auto c = std::make_unique<e2e::RemoteClient>(o);
    e2e::Outcome up = c->connect(10s);
    if (!up)
        printf("  %s: %s\n", id.c_str(), up.message());
    return check(up, id + " connected") ? std::move(c) : nullptr;
}

bool Fleet::connect_remote() {
    e2e::RemoteClient::Options persistent;
    persistent.clean_session = false;
    remote_ = client("fleet-remote", "remote", persistent);
    if (!remote_)
        return false;
    std::vector<std::string> topics{"login", "status_update", "info"};
    if (cfg_.addressed)
        topics = {"units/+/login", "units/+/status_update", "units/+/info", "units/+/availability"};
    e2e::Outcome up = e2e::Outcome::success();
    for (const auto &t : topics)
        if (up)
            up = remote_->subscribe(t, 1);
    return check(up, "the remote subscribed");
}

int Fleet::run() {
    t_start_ = Clock::now();
    // The clients first: libmosquitto waits on its socket with select(),
    // which takes no descriptor above 1023, and every unit holds a few here.
    if (!connect_remote())
        return bench::finish_checks(stdout, "fleet");
    if (!cfg_.storm) {
        e2e::RemoteClient::Options o;
        o.on_message = [this](e2e::RemoteClient &c, const e2e::Message &m) { answer_login(c, m); };
        responder_ = client("fleet-responder", "responder", o);
        check(responder_ && responder_->subscribe(cfg_.addressed ? "units/+/login" : "login", 1),
              "the responder subscribed to login");
    }
    printf("== %d units against %s; preparing their folders and devices\n", cfg_.units,
           cfg_.broker.c_str());
    // Low descriptors kept free of the units' ptys and pipes, for the
    // clients' sockets when they reconnect (and the files read meanwhile).
    std::vector<int> reserve;
    for (int i = 0; i < 64; i++)
        reserve.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (int i = 0; i < cfg_.units; i++) {
        units_.push_back(std::make_unique<Unit>(i, cfg_));
        by_mac_[units_.back()->mac] = i;
    }
    for (int fd : reserve)
        close(fd);
    // mosquitto saves its sessions once a second: the remote's must be on
    // disk before the broker is killed.
    std::this_thread::sleep_for(1500ms);
    broker_baseline_kib_ = broker_rss_kib();

    cold_start();
    if (cfg_.persistent) {
        absent();
    } else if (cfg_.addressed) {
        addressed_lists();
        login_then_list();
        isolation();
        takeover();
        availability();
    } else {
        if (!cfg_.storm) {
            commands();
            login_then_list();
        }
        outage();
    }
    if (!cfg_.persistent)
        resources();

    // The summary is the last line, after the failures.
    int rc = bench::finish_checks(stdout, "fleet");
    printf("fleet: %zu units, %ld reports lost, %ld duplicates, all back in %.1f s", units_.size(),
           lost_, dup_, all_back_s_);
    if (cfg_.addressed)
        printf(", isolation: %d of %d refusals held, takeovers refused: %d of %d", refusals_held_,
               refusals_, takeovers_refused_, takeovers_);
    if (cfg_.persistent)
        printf(", absent: %d of %d lists ran once, return -> list median %.2f s, max %.2f s",
               absent_once_, absent_lists_, absent_return_.p50 / 1000, absent_return_.max / 1000);
    printf("\n");
    return rc;
}

} // namespace fleet

namespace {

void usage(const char *argv0) {
    fprintf(stderr,
            "usage: %s --work DIR --certs DIR --broker-dir DIR --pids DIR [--units N]\n"
            "          [--broker mosquitto|cluster] [--remote-port P] [--node-ports P,P,P]\n"
            "          [--commands K] [--probes M] [--outage S] [--storm] [--timeline FILE]\n"
            "          [--haproxy-sock PATH] [--addressed] [--persistent [--clean-session]]\n",
            argv0);
}

} // namespace

int main(int argc, char **argv) {
    fleet::Config cfg;
    std::map<std::string, std::string *> texts{{"--broker", &cfg.broker},
                                               {"--work", &cfg.work},
                                               {"--certs", &cfg.certs},
                                               {"--broker-dir", &cfg.broker_dir},
                                               {"--pids", &cfg.pids},
                                               {"--timeline", &cfg.timeline},
                                               {"--haproxy-sock", &cfg.haproxy_sock}};
    std::map<std::string, int *> numbers{{"--units", &cfg.units},
                                         {"--remote-port", &cfg.remote_port},
                                         {"--commands", &cfg.commands},
                                         {"--probes", &cfg.probes},
                                         {"--outage", &cfg.outage_s}};
    std::map<std::string, bool *> flags{{"--storm", &cfg.storm},
                                        {"--addressed", &cfg.addressed},
                                        {"--persistent", &cfg.persistent},
                                        {"--clean-session", &cfg.clean_units}};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (flags.count(a)) {
            *flags[a] = true;
        } else if (texts.count(a) && has_value) {
            *texts[a] = argv[++i];
        } else if (numbers.count(a) && has_value) {
            *numbers[a] = std::atoi(argv[++i]);
        } else if (a == "--node-ports" && has_value) {
            std::stringstream s(argv[++i]);
            for (std::string p; std::getline(s, p, ',');)
                cfg.node_ports.push_back(std::atoi(p.c_str()));
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (cfg.work.empty() || cfg.certs.empty() || cfg.broker_dir.empty() || cfg.pids.empty() ||
        cfg.units < 1 || (cfg.cluster() && cfg.node_ports.empty())) {
        usage(argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bench::checks().print_passes = true;
    // Every unit holds a pty pair and its device's wake pipe here.
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
    mosquitto_lib_init();
    int rc;
    try {
        rc = fleet::Fleet(cfg).run();
    } catch (const std::exception &e) {
        fprintf(stderr, "fleet: FAILED: %s\n", e.what());
        rc = 1;
    }
    mosquitto_lib_cleanup();
    return rc;
}
