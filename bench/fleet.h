// fleet-driver: many bridges at once against one broker or a cluster, run by
// scripts/fleet.sh, which starts the broker(s) first and stops them after.
//
// Each unit is the test build of the bridge as a process in a folder of its
// own (its client certificate, a stand-in ifconfig that gives it its MAC,
// ./ttyATH0 linked to a pty) and the simulated firmware on that pty, here in
// this process. Every status report names its unit ("OK u007 <cmd>"), and
// so does every information report, so the remote party can count per unit.
// The remote (the harness's RemoteClient, persistent session, QoS 1) is on
// the port given: mosquitto itself, or one node of the cluster that the
// outage leaves alone.
//
// Phases, each printing its figures; a failed check is listed at the end and
// makes the exit status 1, a missed target never does:
//   1 cold start    all bridges started at once: start -> login at the remote
//   2 commands      one list of K commands on "commands", which every unit
//                   takes: N*K device commands, N*K reports, each once
//   2b login->list  M bridges restarted; a client publishes a list naming the
//                   unit on receipt of its login: the unit's device must get it
//   3 outage        information reports from every device once a second while
//                   the broker is SIGKILLed and restarted (mosquitto) or the
//                   node holding most sessions is SIGKILLed (cluster): time
//                   until every unit that lost its session has logged in again,
//                   reports lost and duplicated, connection attempts per
//                   second; then a list must reach every device again
//   4 resources     per-unit RSS, PSS and CPU from /proc; broker memory per
//                   session (taken at the end of phase 2)
// --storm runs phases 1 and 3 only, for the reconnection storm's timeline.
// --addressed runs the units' build with topics under units/<MAC>/ and
// availability, each unit logged in by its certificate's CN (its MAC) and
// held to its own topics by the broker: phases 1 and 2b, then
//   A1 lists        a list of its own to each unit on units/<MAC>/commands:
//                   each device gets its own list and nothing else
//   A2 isolation    with one unit's certificate, a publish into another
//                   unit's commands and a subscription to its status_update:
//                   the broker refuses both, the other device gets nothing
//   A2 takeover     the certificate of a unit that is not running connects
//                   with another unit's client id: mosquitto gives it its own
//                   id (the certificate's CN), so the other unit keeps its
//                   session (no second login at the broker, no offline);
//                   where the broker lets it take the id over (RabbitMQ 3.10)
//                   the count shows it, and the unit must be back after
//   A3 availability a unit SIGKILLed shows offline (the will), online after
//                   its restart; a unit SIGTERMed shows offline by its own
//                   publish before a clean DISCONNECT
// --persistent runs the build with BRIDGE_CLEAN_SESSION=OFF: phase 1, then
//   P absent        every unit SIGKILLed, a list published to all while they
//                   are away, the broker restarted (mosquitto) or the node
//                   most units were on SIGKILLed (cluster), the units started
//                   again: each device must get the list once; the broker's
//                   memory with the units away and with a list queued for
//                   each. --clean-session with it runs the default build and
//                   counts the lists it loses.
//
// fleet.cpp runs the phases, fleet_units.cpp holds the units and the
// fleet's shared steps, the others one group of phases each.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bench_common.h"
#include "harness.h"
#include "sim_firmware.h"

namespace fleet {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::check;
using bench::secs;

struct Config {
    int units = 10;
    std::string broker = "mosquitto"; // or cluster
    std::string work, certs, broker_dir, pids;
    int remote_port = e2e::kPort;
    std::vector<int> node_ports; // cluster: the nodes' MQTT ports, in node order
    int commands = 5;            // K of phase 2
    int probes = 10;             // M of phase 2b
    int outage_s = 5;            // mosquitto: how long the broker stays dead
    bool storm = false;          // phases 1 and 3 only
    std::string timeline;        // attempts per second of phase 3, written here
    std::string haproxy_sock;    // set: attempts counted at haproxy's frontend
    bool addressed = false;      // the units' build, each on its own topics
    bool persistent = false;     // phase P, the units' build a persistent session
    bool clean_units = false;    // with persistent: the default build, for comparison

    bool cluster() const {
        return broker == "cluster";
    }
};

pid_t read_pid(const std::string &path);

// One bridge with its folder, MAC and simulated device.
struct Unit {
    Unit(int i, const Config &cfg);
    // The unit's topic NAME: under units/<MAC>/ when addressed.
    std::string topic(const std::string &name) const {
        return addressed ? "units/" + mac + "/" + name : name;
    }
    void start(const std::string &pids);
    // How often the device has received TEXT.
    int got(const std::string &text) const;

    std::string name, mac, dir;
    bool addressed;
    e2e::Pty pty;
    std::unique_ptr<e2e::FakeIfconfig> ifconfig;
    std::unique_ptr<simfw::SimFirmware> sim;
    std::unique_ptr<e2e::Bridge> bridge;
    Clock::time_point started;
};

class Fleet {
  public:
    explicit Fleet(const Config &cfg) : cfg_(cfg) {}
    int run();

  private:
    struct Outage;

    // A client on the certificate CERT of the run, connected; null (and a
    // failed check) when the broker did not take it.
    std::unique_ptr<e2e::RemoteClient> client(const std::string &id, const std::string &cert,
                                              e2e::RemoteClient::Options o = {});
    bool connect_remote();
    // The responder's hook: a list naming a unit published as soon as that
    // unit's login arrives, with no polling delay that would give the bridge
    // time to subscribe.
    void answer_login(e2e::RemoteClient &responder, const e2e::Message &login);
    void cold_start();
    void commands();
    void login_then_list();
    void resources();
    // Phase 3 in its steps.
    void outage();
    void kill_broker(Outage &o);
    // Starts DIR/start.sh again (output to DIR/OUT) as restarted_, its PID
    // in the pids folder as NAME.pid.
    void restart(const std::string &dir, const std::string &out, const std::string &name);
    void who_lost(Outage &o);
    void who_came_back(Outage &o);
    void restart_node(Outage &o);
    void delivered_tally(Outage &o);
    void attempts_timeline(Outage &o);
    // The addressed phases.
    void addressed_lists();
    void isolation();
    void takeover();
    // The broker's log lines that start or end a session of client ID: its
    // logins at mosquitto, its disconnections for a duplicate id at RabbitMQ
    // (whose login lines do not name the client id).
    size_t session_events(const std::string &id) const;
    void availability();
    // The persistent phase.
    void absent();
    int busiest_node() const;

    // The availability payloads of unit I the remote has received.
    std::vector<std::string> states_of(int i) const;
    // The unit index of every login on the remote, with its time.
    std::vector<std::pair<int, Clock::time_point>> logins() const;
    std::vector<pid_t> broker_pids() const;
    long broker_rss_kib() const;
    bool devices_idle(e2e::Duration timeout);
    // Connection attempts so far at the broker's door.
    long attempts() const;
    // Publishes the list LIST_OF gives each unit: each on the unit's own
    // commands topic when OWN, else once on the topic all take (every unit's
    // list the same). Checks that each device got its list, once and nothing
    // else, and each report reached the remote once; adds to lost_ and dup_.
    void lists_to_units(const std::string &phase, bool own,
                        const std::function<std::vector<std::string>(const Unit &)> &list_of);
    // Each report line on TOPIC with the times the remote received it.
    std::map<std::string, int> seen_on(const std::string &topic) const;
    // Of the report lines WANT, how many SEEN lacks and how many more times
    // than once it has them.
    static std::pair<long, long> missing(const std::map<std::string, int> &seen,
                                         const std::vector<std::string> &want);
    // The information reports the devices wrote, as their lines.
    std::vector<std::string> written() const;

    Config cfg_;
    std::vector<std::unique_ptr<Unit>> units_;
    std::map<std::string, int> by_mac_;
    std::unique_ptr<e2e::RemoteClient> remote_;
    std::mutex answers_mutex_;
    std::map<std::string, std::string> answers_; // MAC -> list, for the responder
    std::atomic<int> answered_{0};
    std::unique_ptr<e2e::RemoteClient> responder_; // after what its hook uses
    std::unique_ptr<e2e::Process> restarted_;      // a broker or node this driver brought back
    long lost_ = 0, dup_ = 0;
    int refusals_ = 0, refusals_held_ = 0; // isolation checks made and passed
    int takeovers_ = 0, takeovers_refused_ = 0;
    double all_back_s_ = NAN;
    int absent_once_ = 0, absent_lists_ = 0;
    bench::Summary absent_return_{};
    long broker_baseline_kib_ = -1, broker_loaded_kib_ = -1;
    Clock::time_point t_start_;
};

} // namespace fleet
