// The broker session a unit keeps while it is away: with a persistent session
// a list sent meanwhile runs once when the unit is back (a link cut, a broker
// restart, an acknowledgement lost with the link); with the clean session
// such a list is lost.
#include <memory>

#include "e2e_fixture.h"
#include "sim_firmware.h"

using namespace e2e;

namespace {

constexpr int kBrokerPort = kPort + 1;
const char *const kPersistent = "mqtt-serial-bridge-test-persistent";
const char *const kEventPersistent = "mqtt-serial-bridge-test-event-persistent";
const std::regex
    kBridgeGone(R"(02:FC:00:00:00:01( disconnected|, disconnecting| closed its connection))");

// The broker (with persistence) behind a relay, the remote straight on it,
// the device answering; the bridge of BUILD logged in.
class Away : public E2E {
  protected:
    void start(const std::string &build) {
        config = persistent_broker(dir.path());
        config.port = kBrokerPort;
        ASSERT_TRUE(broker.restart(config));
        relay = std::make_unique<Relay>(kBrokerPort);
        connect_remote();
        device = std::make_unique<simfw::SimFirmware>(pty.master());
        bridge.use_build(build);
        bridge.start();
        ASSERT_TRUE(bridge.wait_for_stdout("PUBACK", 10s)); // the login's
    }
    void TearDown() override {
        device.reset();
        remote.reset();
        relay.reset();
        E2E::TearDown();
    }

    void connect_remote() {
        RemoteClient::Options o;
        o.id = "e2e-away-remote";
        o.port = kBrokerPort;
        remote = std::make_unique<RemoteClient>(o);
        ASSERT_TRUE(remote->connect());
    }
    // The link reset and kept down until the broker has seen the unit go.
    void cut_link() {
        relay->cut();
        ASSERT_TRUE(broker.wait_for_log(kBridgeGone, 10s)) << broker.log();
    }
    // The link back, the unit logged in again and given time to run what
    // came while it was away.
    void bring_back(int login) {
        relay->resume();
        ASSERT_TRUE(broker.wait_for_log(kLogin, 15s, login)) << bridge.stdout_text();
        device->wait_for_commands(1, 3s);
    }
    int bridge_lines(const std::string &text) {
        std::string out = bridge.stdout_text();
        int n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            n++;
        return n;
    }

    BrokerConfig config;
    std::unique_ptr<Relay> relay;
    std::unique_ptr<RemoteClient> remote;
    std::unique_ptr<simfw::SimFirmware> device;
};

// A list published while the link is cut: the persistent session has it
// queued and delivered once on return (mosquitto sends it right after the
// CONNACK, ahead of the SUBACK); the clean one has nobody to give it to.
class AwayByBuild : public Away, public ::testing::WithParamInterface<const char *> {};

TEST_P(AwayByBuild, ListSentWhileTheLinkIsCut) {
    const bool persistent = strstr(GetParam(), "persistent") != nullptr;
    start(GetParam());
    cut_link();
    ASSERT_TRUE(remote->publish("commands", "away"));
    bring_back(2);
    EXPECT_EQ(device->command_texts(),
              persistent ? std::vector<std::string>{"away"} : std::vector<std::string>{})
        << bridge.stdout_text();
    // The session is as usable as before either way.
    ASSERT_TRUE(remote->publish("commands", "after"));
    ASSERT_TRUE(device->wait_for_commands(persistent ? 2 : 1, 5s));
    EXPECT_EQ(device->command_texts().back(), "after");
}

INSTANTIATE_TEST_SUITE_P(Session, AwayByBuild,
                         ::testing::Values("mqtt-serial-bridge-test", kPersistent,
                                           kEventPersistent),
                         [](const auto &info) {
                             if (strcmp(info.param, kEventPersistent) == 0)
                                 return std::string("PersistentEventDriven");
                             return std::string(strcmp(info.param, kPersistent) == 0 ? "Persistent"
                                                                                     : "Clean");
                         });

// The broker restarted (its sessions saved and loaded) while the unit is
// still cut off, and a list published before it is back: run once.
TEST_F(Away, PersistentListSentAfterABrokerRestartRunsOnce) {
    start(kPersistent);
    cut_link();
    ASSERT_TRUE(broker.restart(config));
    connect_remote();
    ASSERT_TRUE(remote->publish("commands", "restarted"));
    bring_back(2);
    EXPECT_EQ(device->command_texts(), std::vector<std::string>{"restarted"})
        << bridge.stdout_text();
}

// The bridge's PUBACK for a list never reaches the broker and the link is
// cut: the broker sends the list again (DUP, same mid) at the next
// connection, and the bridge does not run it a second time.
TEST_F(Away, PersistentListWhoseAcknowledgementIsLostRunsOnce) {
    start(kPersistent);
    relay->hold_upstream();
    ASSERT_TRUE(remote->publish("commands", "once"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));
    cut_link();
    relay->resume();
    ASSERT_TRUE(broker.wait_for_log(
        std::regex(R"(Sending PUBLISH to 02:FC:00:00:00:01 \(d1, q1, r0, m\d+, 'commands')"), 15s))
        << "the broker did not send the list again\n"
        << broker.log();
    ASSERT_TRUE(bridge.wait_for_stdout("DROPPED A LIST DELIVERED AGAIN (MID ", 5s))
        << bridge.stdout_text();
    ASSERT_TRUE(broker.wait_for_log(kLogin, 10s, 2));
    // A new list right after, under the next mid, is taken as usual.
    ASSERT_TRUE(remote->publish("commands", "next"));
    ASSERT_TRUE(device->wait_for_commands(2, 5s));
    EXPECT_EQ(device->command_texts(), (std::vector<std::string>{"once", "next"}));
    EXPECT_EQ(bridge_lines("TOKENIZED COMMAND: once\n"), 1);
}

} // namespace
