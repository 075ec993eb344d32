// A fleet unit's build (topics under units/<MAC>/, availability announced)
// against a real broker: what it subscribes and publishes, and what the
// broker shows of its state across restarts, a kill and a clean stop.
#include <signal.h>

#include <memory>

#include "exchange_e2e.h"
#include "sim_firmware.h"

using namespace e2e;

namespace {

const std::string kUnit = std::string("units/") + kMac + "/";

class Unit : public E2E {
  protected:
    void SetUp() override {
        E2E::SetUp();
        device = std::make_unique<simfw::SimFirmware>(pty.master());
        ASSERT_TRUE(remote.connect());
        ASSERT_TRUE(remote.subscribe("#", 1));
        bridge.use_build("mqtt-serial-bridge-test-units");
        bridge.start();
        ASSERT_TRUE(bridge.wait_for_stdout("received SUBACK", 10s));
    }

    void TearDown() override {
        device.reset();
        E2E::TearDown();
    }

    // The retained availability a party that subscribes now is given.
    ::testing::AssertionResult retained_state(const std::string &want) {
        RemoteClient late("e2e-late");
        if (!late.connect() || !late.subscribe(kUnit + "availability", 1))
            return ::testing::AssertionFailure() << "late subscriber not set up";
        auto m = late.wait_for_message(kUnit + "availability", 5s);
        if (!m || m->payload != want || !m->retain || m->qos != 1)
            return ::testing::AssertionFailure() << "retained state: " << (m ? m->payload : "none")
                                                 << (m && !m->retain ? " (not retained)" : "");
        return ::testing::AssertionSuccess();
    }

    // The number of "STATE" payloads on the availability topic once there
    // are N, or those that came within TIMEOUT.
    size_t states(const std::string &state, size_t n, Duration timeout) {
        size_t seen = 0;
        eventually(timeout, [&] {
            seen = 0;
            for (const Message &m : remote.messages(kUnit + "availability"))
                seen += m.payload == state;
            return seen >= n;
        });
        return seen;
    }

    std::unique_ptr<simfw::SimFirmware> device;
    RemoteClient remote{"e2e-fleet-remote"};
};

TEST_F(Unit, TopicsCarryThePrefixWithTheMacAndTheBareOnesAreUnused) {
    auto login = remote.wait_for_message(kUnit + "login", 5s);
    ASSERT_TRUE(login);
    EXPECT_EQ(login->payload, login_payload(kMac));
    ASSERT_TRUE(remote.publish("commands", "bare"));
    ASSERT_TRUE(remote.publish(kUnit + "commands", "a"));
    auto report = remote.wait_for_message(kUnit + "status_update", 5s);
    ASSERT_TRUE(report) << bridge.stdout_text();
    EXPECT_EQ(report->payload, report_payload("OK a\n"));
    device->send_info("!hello");
    auto info = remote.wait_for_message(kUnit + "info", 5s);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->payload, report_payload("!hello"));
    EXPECT_EQ(device->command_texts(), std::vector<std::string>{"a"});
    for (const char *bare : {"login", "status_update", "info", "availability"})
        EXPECT_TRUE(remote.messages(bare).empty()) << "published on bare " << bare;
    EXPECT_EQ(
        broker.log_count(std::regex("^\\S+ " + std::string(kMac) + " 1 " + kUnit + "commands$")), 1)
        << broker.log();
    EXPECT_EQ(broker.log_count(std::regex(" [01] commands$")), 0);
}

TEST_F(Unit, OnlineAfterEveryLoginOfflineByTheWillWhenKilled) {
    ASSERT_EQ(states("online", 1, 5s), 1u);
    EXPECT_TRUE(retained_state("online"));
    // No persistence: the restarted broker has forgotten the retained state
    // until the unit is back. A mosquitto that stops sends its clients' wills.
    ASSERT_TRUE(broker.restart());
    ASSERT_EQ(states("online", 2, 15s), 2u);
    EXPECT_TRUE(retained_state("online"));
    size_t offline = states("offline", 0, 0ms);

    auto killed = std::chrono::steady_clock::now();
    bridge.kill();
    ASSERT_EQ(states("offline", offline + 1, 5s), offline + 1);
    figure("offline_after_kill_ms",
           std::chrono::duration_cast<Duration>(
               remote.messages(kUnit + "availability").back().received - killed)
               .count());
    EXPECT_TRUE(retained_state("offline"));
    bridge.start();
    EXPECT_EQ(states("online", 3, 10s), 3u);
    EXPECT_TRUE(retained_state("online"));
}

TEST_F(Unit, CleanStopPublishesOfflineThenDisconnects) {
    ASSERT_EQ(states("online", 1, 5s), 1u);
    ::kill(bridge.pid(), SIGTERM);
    EXPECT_EQ(bridge.wait_exit(5s), std::optional<int>(0));
    EXPECT_TRUE(bridge.wait_for_stdout("STOPPING: 0 REPORTS UNDELIVERED\n", 1s));
    ASSERT_EQ(states("offline", 1, 5s), 1u);
    EXPECT_TRUE(retained_state("offline"));
    // Its own publish, then a DISCONNECT: the will is not sent as well.
    EXPECT_TRUE(broker.wait_for_log(std::regex("Received PUBLISH from " + std::string(kMac) +
                                               " \\(d0, q1, r1, m\\d+, '" + kUnit +
                                               "availability', \\.\\.\\. \\(7 bytes\\)\\)"),
                                    1s));
    EXPECT_TRUE(
        broker.wait_for_log(std::regex("Client " + std::string(kMac) + " disconnected\\."), 1s))
        << broker.log();
    EXPECT_EQ(states("offline", 2, 1s), 1u) << "the will was published too";
}

} // namespace
