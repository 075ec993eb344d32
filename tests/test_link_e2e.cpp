// The link to the broker as the field has it: a link that dies without a
// word loses and reorders no report and the login still leads, the reports
// held in memory while it is down are bounded, the login means the
// subscription is in place, and retries back off when built to.
#include "exchange_e2e.h"

#include <mosquitto.h>

#include <atomic>
#include <set>

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

constexpr int kBrokerPort = kPort + 1;

RemoteClient::Options direct_remote() {
    RemoteClient::Options o;
    o.id = "e2e-outbox-remote";
    o.port = kBrokerPort;
    return o;
}

// The broker behind a relay; the remote and the device as on the road, the
// remote connected to the broker directly, so it stays when the bridge's
// link dies.
class Link : public E2E {
  protected:
    void start(const std::string &build) {
        BrokerConfig config;
        config.port = kBrokerPort;
        ASSERT_TRUE(broker.restart(config));
        relay = std::make_unique<Relay>(kBrokerPort);
        ASSERT_TRUE(remote.connect());
        ASSERT_TRUE(remote.subscribe("info", 1));
        device = std::make_unique<simfw::SimFirmware>(pty.master());
        bridge.use_build(build);
        bridge.start();
        ASSERT_TRUE(bridge.wait_for_stdout("PUBACK", 10s)); // the login's
    }
    void TearDown() override {
        device.reset();
        relay.reset();
        E2E::TearDown();
    }

    RemoteClient remote{direct_remote()};
    std::unique_ptr<Relay> relay;
    std::unique_ptr<simfw::SimFirmware> device;
};

// The texts of the info reports received, each once, and how many came twice.
Strings distinct_info(const std::vector<Message> &got, int *duplicates) {
    Strings out;
    std::set<std::string> seen;
    *duplicates = 0;
    for (const Message &m : got) {
        std::string text = m.payload.substr(0, m.payload.find('\0'));
        if (seen.insert(text).second)
            out.push_back(text);
        else
            ++*duplicates;
    }
    return out;
}

// The link freezes while the device reports every 100 ms: the bridge learns
// of it only from its keep-alive (5 s in this build), and meanwhile keeps
// reading. After the reconnection the login is the session's first publish,
// ahead of any re-send of a report the frozen link left unacknowledged, and
// every report arrives, in the device's order. Polling and event-driven.
class SilentLoss : public Link, public ::testing::WithParamInterface<const char *> {};

TEST_P(SilentLoss, KeepsTheLoginFirstAndTheOrder) {
    start(GetParam());
    std::atomic<bool> reporting{true};
    Strings sent;
    std::thread device_side([&] {
        for (int i = 0; reporting; i++) {
            sent.push_back("!r" + std::to_string(i) + "\n");
            device->send_info(sent.back());
            std::this_thread::sleep_for(100ms);
        }
    });
    std::this_thread::sleep_for(1s);
    relay->freeze();
    bool back = broker.wait_for_log(kLogin, 30s, 2);
    std::this_thread::sleep_for(1s);
    reporting = false;
    device_side.join();
    ASSERT_TRUE(back) << "no second login";
    ASSERT_TRUE(device->wait_for_acks(sent.size(), 5s));

    int duplicates = 0;
    Strings got = distinct_info(remote.wait_for_count("info", sent.size(), 10s), &duplicates);
    std::this_thread::sleep_for(500ms);
    got = distinct_info(remote.messages("info"), &duplicates);
    EXPECT_EQ(got, sent) << "lost or reordered";
    EXPECT_EQ(first_publishes(broker.log()), (Strings{"login", "login"}))
        << "a session's first publish, re-sends included, was not its login";
    EXPECT_EQ(count(bridge.stdout_text(), "protocol error"), 0);
    figure("reports", (long)sent.size());
    figure("duplicates", duplicates);
    figure("held_at_reconnection", [&] {
        std::string out = bridge.stdout_text();
        size_t at = out.find("PUBLISHING ");
        return at == std::string::npos ? 0L : atol(out.c_str() + at + strlen("PUBLISHING "));
    }());
}

// A build's label in a test name: how its exchange reads the line.
static std::string mode_name(const ::testing::TestParamInfo<const char *> &info) {
    return strstr(info.param, "event") ? "EventDriven" : "Poll";
}

INSTANTIATE_TEST_SUITE_P(Mode, SilentLoss,
                         ::testing::Values("mqtt-serial-bridge-test-keepalive5",
                                           "mqtt-serial-bridge-test-event-keepalive5"),
                         mode_name);

// A fleet unit (own topics, availability) whose whole path dies: the broker
// gives up on it once 1.5 keep-alives (5 s in this build) have passed
// without a packet, and publishes its will, so the remote sees "offline"
// without a word from the unit; "online" comes back with its next session.
// mosquitto 2.0.11 looks at keep-alives every few seconds, so "offline"
// comes 1.5 to 2.5 keep-alives after the last packet.
TEST_F(Link, FrozenUnitShowsOfflineFromItsWill) {
    const std::string topic = std::string("units/") + kMac + "/availability";
    start("mqtt-serial-bridge-test-units-keepalive5");
    ASSERT_TRUE(remote.subscribe(topic, 1)); // the retained "online"
    auto online = remote.wait_for_message(topic, 5s);
    ASSERT_TRUE(online && online->payload == "online");
    auto frozen = std::chrono::steady_clock::now();
    relay->kill_path();
    ASSERT_TRUE(eventually(20s, [&] {
        for (const Message &m : remote.messages(topic))
            if (m.payload == "offline")
                return true;
        return false;
    })) << "no offline within 20 s of the freeze";
    long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - frozen)
                  .count();
    figure("ms_to_offline", ms);
    EXPECT_LE(ms, 12500 + 1000) << "later than the broker's keep-alive check";
    relay->revive();
    EXPECT_TRUE(remote.wait_for_count(topic, 3, 20s).back().payload == "online")
        << "not online again after the reconnection";
}

// With room for 5 held reports (these builds), 12 read while the link is cut:
// the newest 5 arrive, in order, and the loss is logged when it begins and
// when the rest is handed over.
class HeldReports : public Link, public ::testing::WithParamInterface<const char *> {};

TEST_P(HeldReports, BeyondTheBoundTheOldestAreDropped) {
    start(GetParam());
    relay->cut();
    ASSERT_TRUE(bridge.wait_for_stdout("Connection lost", 5s));
    Strings sent;
    for (int i = 0; i < 12; i++) {
        sent.push_back("!h" + std::to_string(i) + "\n");
        device->send_info(sent.back());
        ASSERT_TRUE(device->wait_for_acks(i + 1, 3s));
    }
    relay->resume();
    int duplicates = 0;
    remote.wait_for_count("info", 5, 15s);
    std::this_thread::sleep_for(1s);
    Strings got = distinct_info(remote.messages("info"), &duplicates);
    EXPECT_EQ(got, Strings(sent.end() - 5, sent.end()));
    EXPECT_EQ(duplicates, 0);
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "DROPPED 1 HELD REPORTS\n"), 1) << out;
    EXPECT_EQ(count(out, "DROPPED 6 HELD REPORTS\n"), 1) << "7 dropped in all";
    EXPECT_EQ(count(out, "PUBLISHING 5 REPORTS HELD WHILE OFFLINE\n"), 1);
}

INSTANTIATE_TEST_SUITE_P(Mode, HeldReports,
                         ::testing::Values("mqtt-serial-bridge-test-held5",
                                           "mqtt-serial-bridge-test-event-held5"),
                         mode_name);

// For 20 s the broker shows a certificate of another CA, so every attempt
// fails in its TLS handshake: a second apart by default, backing off to the
// 4 s maximum (waits drawn between half and whole) in that build.
class Reconnection : public Link, public ::testing::WithParamInterface<const char *> {};

TEST_P(Reconnection, AttemptsFollowTheSchedule) {
    start(GetParam());
    BrokerConfig impostor =
        BrokerConfig::serving(certs().other_broker_cert, certs().other_broker_key);
    impostor.port = kBrokerPort;
    int before = relay->connections();
    ASSERT_TRUE(broker.restart(impostor));
    std::this_thread::sleep_for(20s);
    int attempts = relay->connections() - before;
    figure("attempts_in_20s", attempts);
    if (strstr(GetParam(), "backoff")) {
        // 0.5-1 s, then 2-4 s each: 5 to 11 attempts.
        EXPECT_GE(attempts, 5);
        EXPECT_LE(attempts, 11);
    } else {
        // Waits of 0.5-1 s, each after a failed handshake: 41 at the most.
        EXPECT_GE(attempts, 15);
        EXPECT_LE(attempts, 41);
    }
    EXPECT_TRUE(bridge.running());
}

INSTANTIATE_TEST_SUITE_P(Delay, Reconnection,
                         ::testing::Values("mqtt-serial-bridge-test",
                                           "mqtt-serial-bridge-test-backoff4"),
                         [](const auto &info) {
                             return std::string(strstr(info.param, "backoff") ? "BackingOff"
                                                                              : "EverySecond");
                         });

// The subscription is acknowledged before the login goes out, at start and
// after each broker restart, stopped or killed, so a list sent in answer to
// the login arrives and its report comes back; the bridge lives on.
class BrokerRestart : public E2E, public ::testing::WithParamInterface<bool> {};

TEST_P(BrokerRestart, LoginFollowsTheSubscriptionEachTime) {
    const bool sigkill = GetParam();
    // The remote's session outlives the restarts: each login waits for it
    // however the reconnections fall.
    ASSERT_TRUE(broker.restart(persistent_broker(dir.path())));
    simfw::SimFirmware device(pty.master());
    RemoteClient remote(persistent_remote("e2e-login-answer"));
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("login", 1));
    ASSERT_TRUE(remote.subscribe("status_update", 1));
    bridge.start();
    // A killed broker may hand the remote a message twice: each report is
    // looked for by its text, not counted.
    auto reported = [&](const std::string &payload) {
        for (const Message &m : remote.messages("status_update"))
            if (m.payload == payload)
                return true;
        return false;
    };
    Strings lists;
    std::set<std::string> reports;
    for (int session = 1; session <= 3; session++) {
        ASSERT_TRUE(broker.wait_for_log(kLogin, 10s, session));
        ASSERT_GE(remote.wait_for_count("login", session, 10s).size(), (size_t)session);
        lists.push_back("hello" + std::to_string(session));
        std::string report = report_payload("OK " + lists.back() + "\n");
        reports.insert(report);
        ASSERT_TRUE(remote.publish("commands", lists.back()));
        ASSERT_TRUE(device.wait_for_commands(session, 5s)) << "session " << session;
        ASSERT_TRUE(eventually(10s, [&] { return reported(report); })) << "session " << session;
        if (session < 3) {
            if (sigkill)
                broker.kill();
            ASSERT_TRUE(broker.restart());
        }
    }
    EXPECT_EQ(device.command_texts(), lists);
    std::set<std::string> got;
    for (const Message &m : remote.messages("status_update"))
        got.insert(m.payload);
    EXPECT_EQ(got, reports);
    EXPECT_TRUE(bridge.running());
    if (sigkill) { // the library gives up on a link lost mid-TLS: say so
        EXPECT_TRUE(bridge.wait_for_stderr(mosquitto_strerror(MOSQ_ERR_CONN_LOST), 1s));
    }

    static const std::regex subscribe(R"(Received SUBSCRIBE from 02:FC:00:00:00:01)");
    Strings order;
    for (const std::string &line : lines_of(broker.log())) {
        if (std::regex_search(line, subscribe))
            order.push_back("subscribe");
        else if (std::regex_search(line, kLogin))
            order.push_back("login");
    }
    EXPECT_EQ(order, (Strings{"subscribe", "login", "subscribe", "login", "subscribe", "login"}));
}

INSTANTIATE_TEST_SUITE_P(Broker, BrokerRestart, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Sigkill" : "Sigterm"; });

} // namespace
