// Order on the broker across broker kills: a device reporting every 100 ms
// while the broker is SIGKILLed and restarted again and again. Each session
// of the bridge must start with its login, no connection may die of a
// publish ahead of the CONNECT, and the remote must see the reports in the
// order the device wrote them.
#include <random>

#include "broker_faults.h"

using namespace e2e;

namespace {

using OrderFaults = E2E;

TEST_F(OrderFaults, ReportsEveryTenthOfASecondKeepTheirOrderThroughFifteenSigkills) {
    const int kills = 15;
    const BrokerConfig config = persistent_broker(dir.path());
    ASSERT_TRUE(broker.restart(config));
    simfw::SimFirmware device(pty.master());
    RemoteClient remote(persistent_remote("e2e-order-remote"));
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("info", 1));
    bridge.start();
    ASSERT_TRUE(broker.wait_for_log(kLogin, 10s));

    std::atomic<bool> reporting{true};
    std::atomic<int> written{0};
    std::thread reporter([&] {
        while (reporting) {
            device.send_info("!r" + std::to_string(written++) + "\n");
            std::this_thread::sleep_for(100ms);
        }
    });
    // Kills at varying moments of the bridge's poll cycle and reconnection.
    std::mt19937 random(14);
    for (int kill = 1; kill <= kills; kill++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500 + random() % 1500));
        broker.kill();
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 1500));
        ASSERT_TRUE(broker.start(config)) << "restart " << kill;
        ASSERT_TRUE(broker.wait_for_log(kLogin, 15s, kill + 1)) << "login after kill " << kill;
    }
    std::this_thread::sleep_for(2s);
    reporting = false;
    reporter.join();
    const int sent = written;
    ASSERT_TRUE(device.wait_idle(10s));
    std::string last = "!r" + std::to_string(sent - 1) + "\n";
    EXPECT_TRUE(eventually(30s, [&] {
        for (const Message &m : remote.messages("info"))
            if (m.payload == report_payload(last))
                return true;
        return false;
    })) << "the last report never arrived";

    // First arrivals must come in increasing order; a report that arrives
    // again (a re-send after a kill) is a duplicate, not an inversion.
    std::vector<bool> seen(sent, false);
    int highest = -1, inversions = 0, duplicates = 0, strangers = 0;
    for (const Message &m : remote.messages("info")) {
        int n = -1;
        if (sscanf(m.payload.c_str(), "!r%d\n", &n) != 1 || n < 0 || n >= sent ||
            m.payload != report_payload("!r" + std::to_string(n) + "\n")) {
            strangers++;
            continue;
        }
        if (seen[n]) {
            duplicates++;
            continue;
        }
        seen[n] = true;
        if (n < highest && ++inversions <= 5)
            ADD_FAILURE() << "report " << n << " arrived after report " << highest;
        highest = std::max(highest, n);
    }
    int missing = 0;
    for (int n = 0; n < sent; n++)
        missing += !seen[n];

    std::string log = broker.log();
    std::vector<std::string> firsts = first_new_publishes(log);
    int sessions_login_first = 0, sessions_report_first = 0;
    for (const std::string &topic : firsts) {
        sessions_login_first += topic == "login";
        sessions_report_first += !topic.empty() && topic != "login";
    }
    int held = 0;
    std::string out = bridge.stdout_text();
    for (size_t at = out.find("PUBLISHING "); at != std::string::npos;
         at = out.find("PUBLISHING ", at + 1))
        held += atoi(out.c_str() + at + strlen("PUBLISHING "));

    figure("kills", kills);
    figure("sessions", (long)firsts.size());
    figure("sessions_login_first", sessions_login_first);
    figure("sessions_report_first", sessions_report_first);
    figure("protocol_errors", count(log, "protocol error"));
    figure("reports_written", sent);
    figure("reports_held_by_bridge", held);
    figure("reports_received_once", sent - missing);
    figure("reports_missing", missing);
    figure("duplicates_received", duplicates);
    figure("inversions", inversions);
    figure("bridge_resends_seen_by_broker",
           count(log, "Received PUBLISH from 02:FC:00:00:00:01 (d1"));
    EXPECT_EQ(sessions_report_first, 0) << "a report went ahead of a login";
    EXPECT_GE((int)firsts.size(), kills + 1);
    EXPECT_EQ(count(log, "protocol error"), 0);
    EXPECT_EQ(inversions, 0);
    EXPECT_EQ(strangers, 0);
    EXPECT_GT(held, 0) << "no report was read while the session was down";
    EXPECT_TRUE(bridge.running());
}

} // namespace
