// The MQTT side misbehaving, against the real bridge process, a real broker
// and the simulated firmware: a broker that is not there, and input the
// bridge must survive (a list past the queue's bound, commands too long for
// the line's speed or the line's buffer, topics that nearly match).
//
// Each test prints its figures as "FIGURE name=value" lines (and records them
// as test properties), so a run shows what was survived, not only that it
// passed.
#include <stdlib.h>

#include <random>

#include "exchange_e2e.h"

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

using BrokerFaults = E2E;

// With no broker at all the serial side does its whole job: information
// reports are read and answered, and their publishes wait in the MQTT
// library until the broker appears. The remote's persistent session is made
// first and saved by a regular shutdown, so the broker holds the reports for
// the remote whichever of the two reconnects first.
TEST_F(BrokerFaults, AbsentForTenSecondsThenReportsReadMeanwhileAreDelivered) {
    const BrokerConfig config = persistent_broker(dir.path());
    ASSERT_TRUE(broker.restart(config));
    RemoteClient remote(persistent_remote("e2e-faults-remote"));
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("info", 1));
    broker.stop();

    simfw::SimFirmware device(pty.master());
    bridge.start();
    auto broker_due = Clock::now() + 10s;
    ASSERT_TRUE(wait_for_line_open(bridge, pty));
    Strings sent;
    for (int i = 0; i < 3; i++) {
        sent.push_back(report_payload("!offline " + std::to_string(i) + "\n"));
        device.send_info("!offline " + std::to_string(i) + "\n");
        ASSERT_TRUE(device.wait_for_acks(i + 1, scaled(3s))) << "report " << i << " not answered";
    }
    EXPECT_LT(Clock::now(), broker_due)
        << "the reports were not all read while the broker was away";
    std::this_thread::sleep_until(broker_due);
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(count(bridge.stdout_text(), "received CONNACK"), 0);

    ASSERT_TRUE(broker.start(config));
    EXPECT_TRUE(broker.wait_for_log(kLogin, 10s));
    Strings got;
    for (const Message &m : remote.wait_for_count("info", 3, 10s))
        got.push_back(m.payload);
    EXPECT_EQ(got, sent);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(remote.messages("info").size(), 3u) << "a report queued while offline sent twice";
    // Held by the bridge, not by the library: they follow the login as new
    // publishes, not as re-sends ahead of it.
    EXPECT_EQ(first_new_publishes(broker.log()), Strings{"login"});
    EXPECT_EQ(broker.log_count(std::regex(R"(from 02:FC:00:00:00:01 \(d0, q1, r0, m\d+, 'info')")),
              3);
    EXPECT_TRUE(bridge.wait_for_stdout("PUBLISHING 3 REPORTS HELD WHILE OFFLINE\n", 1s));
    figure("reports_read_offline", (long)device.acks());
    figure("reports_delivered", (long)remote.messages("info").size());
}

// Peak resident memory of process PID in KiB (VmHWM), -1 when unreadable.
long peak_rss_kib(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

// The bound on the bridge's peak memory is the plain build's: a sanitizer's
// shadow memory, or valgrind around the bridge, counts in the peak too.
static bool plain_build() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return false;
#endif
#endif
    return getenv("BRIDGE_WRAPPER") == nullptr;
}

// A list of 200,000 commands (1.6 MB) would take the queue far past its
// 1000: it is dropped whole, the bridge's peak memory stays small, and a
// small list right after goes to the device at once.
class QueueBound : public Road {};

TEST_F(QueueBound, ListBeyondTheQueueIsDroppedWholeAndMemoryStaysSmall) {
    std::string flood;
    for (int i = 0; i < 200000; i++)
        flood += "c" + std::to_string(i % 100000) + ";";
    ASSERT_TRUE(remote.publish("commands", flood, 1, 10s));
    EXPECT_TRUE(bridge.wait_for_stdout("DROPPED A LIST OF 200000 COMMANDS: QUEUE FULL\n", 10s));
    auto sent = Clock::now();
    ASSERT_TRUE(remote.publish("commands", "after"));
    ASSERT_TRUE(device->wait_for_commands(1, 2s));
    auto ms = std::chrono::duration_cast<Duration>(device->commands()[0].first_byte - sent);
    EXPECT_LT(ms.count(), scaled(500ms).count());
    EXPECT_EQ(payloads("status_update", 1, 5s), Strings{report_payload("OK after\n")});
    EXPECT_EQ(device->command_texts(), Strings{"after"});
    long peak = peak_rss_kib(bridge.pid());
    EXPECT_GT(peak, 0);
    if (plain_build()) {
        EXPECT_LT(peak, 16 * 1024) << "KiB at the peak";
    }
    figure("peak_rss_kib", peak);
}

// A long command to a device that reads at the line's speed (115200 baud,
// 11.5 kB/s): the writing takes some 18 s, longer than the 5 s keep-alive
// lets the network loop stand still, yet the session is kept throughout and
// the command arrives whole.
TEST_F(E2E, LongCommandToASlowReaderKeepsTheSession) {
    bridge.use_build("mqtt-serial-bridge-test-keepalive5");
    RemoteClient remote("e2e-slow");
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("status_update"));
    bridge.start();
    ASSERT_TRUE(bridge.wait_for_stdout("received SUBACK", 10s));
    std::string cmd(200 * 1024, 'x');
    for (size_t i = 0; i < cmd.size(); i += 997)
        cmd[i] = (char)('a' + i % 26);
    ASSERT_TRUE(remote.publish("commands", cmd, 1, 10s));
    std::string got;
    auto start = Clock::now();
    while (got.size() < cmd.size() && Clock::now() - start < scaled(60s)) {
        got += pty.read_bytes(1152, 100ms); // what the line carries in 100 ms
        std::this_thread::sleep_for(100ms);
    }
    figure("ms_to_write", (long)std::chrono::duration_cast<Duration>(Clock::now() - start).count());
    EXPECT_TRUE(got == cmd) << got.size() << " of " << cmd.size() << " bytes, or changed";
    pty.write("#");
    std::this_thread::sleep_for(300ms);
    pty.write("OK\n");
    ASSERT_TRUE(remote.wait_for_message("status_update", 5s));
    EXPECT_EQ(broker.log_count(kLogin), 1) << "the session was lost during the write";
    EXPECT_EQ(count(bridge.stdout_text(), "received CONNACK"), 1);
}

using MqttInput = Road;

class BigCommand : public Road {
    simfw::Options device_options() override {
        simfw::Options o;
        o.report_format = "OK\n";
        // The mebibyte crosses the pty in many reads; only a real pause ends
        // the command.
        o.quiet_gap = 200ms;
        return o;
    }
};

// One command of a mebibyte goes to the line byte for byte, in one piece.
TEST_F(BigCommand, MebibyteCommandReachesTheLineExactly) {
    std::string cmd;
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> letter('A', 'z');
    while (cmd.size() < (1u << 20))
        cmd += static_cast<char>(letter(gen));
    ASSERT_TRUE(remote.publish("commands", cmd, 1, 10s));
    EXPECT_EQ(payloads("status_update", 1, 20s), Strings{report_payload("OK\n")});
    Strings got = device->command_texts();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), cmd.size());
    EXPECT_TRUE(got[0] == cmd) << "the command changed on its way";
}

// Topics that are nearly "commands": the bridge subscribes to "commands"
// alone, so the broker keeps them from it (the handler's own exact match,
// and lists that yield nothing, are tested in process in test_intake.cpp).
// Afterwards the next list goes through as usual.
TEST_F(MqttInput, NearMissTopicsNeverReachTheBridge) {
    for (const char *topic : {"Commands", "commands/x", "command"})
        ASSERT_TRUE(remote.publish(topic, "x")) << topic;
    ASSERT_TRUE(remote.publish("commands", "ok"));
    EXPECT_EQ(payloads("status_update", 1, 5s), Strings{report_payload("OK ok\n")});
    EXPECT_EQ(device->command_texts(), Strings{"ok"});
    std::string out = bridge.stdout_text();
    for (const char *topic : {"Commands", "commands/x", "command"})
        EXPECT_EQ(count(out, std::string(topic) + " x\n"), 0) << topic << " was delivered";
}

} // namespace
