// The long runs, a minute or more each (ctest label "long"; the sanitizer
// and valgrind runs leave them out): a thousand commands end to end, 500
// commands through 20 broker kills, reports every 100 ms through 15, and
// floods of big lists.
#include <map>
#include <random>

#include "bench_common.h"
#include "exchange_e2e.h"
#include "settings.h"

using namespace e2e;
using Strings = std::vector<std::string>;

// The bridge discards what follows a "#" in the same poll: a thousand
// commands leave no room for a cycle that runs late under load, so the
// device answers with a margin of a poll and a half rather than half a poll.
class LongRoad : public Road {
  protected:
    simfw::Options device_options() override {
        simfw::Options o;
        o.report_delay = 250ms;
        return o;
    }
};

// Every command reaches the device once and every report reaches the remote
// party, in order.
TEST_F(LongRoad, ThousandCommandsAllReportedInOrder) {
    const int n = 1000;
    std::string list;
    for (int i = 0; i < n; i++)
        list += "cmd" + std::to_string(i) + ";";
    ASSERT_TRUE(remote.publish("commands", list));

    // A report 250 ms after its "#", and up to a poll cycle either side.
    std::vector<std::string> got = payloads("status_update", n, 550s);
    ASSERT_EQ(got.size(), (size_t)n);
    for (int i = 0; i < n; i++)
        ASSERT_EQ(got[i], report_payload("OK cmd" + std::to_string(i) + "\n")) << i;
    EXPECT_EQ(device->command_texts().size(), (size_t)n);
    EXPECT_TRUE(device->unexpected().empty());
}

// The broker SIGKILLed and started again under the running bridge, again
// and again.
//
// Losing nothing has to be told apart from the test losing messages itself.
// A killed broker forgets every session, the remote's too, and the bridge
// publishes on its own schedule: after a restart it may hand the broker its
// queued reports before the remote has reconnected and subscribed, and a
// broker with no subscriber drops them. So the broker persists its state
// after every change and the remote holds a persistent session (clean
// session off, QoS 1 subscription): its subscription and whatever is queued
// for it are on disk before the next kill, and a report that reaches the
// broker while the remote is away waits for it. The broker forwards a QoS 1
// message to a connected subscriber before it acknowledges it to the
// publisher (its log shows "Sending PUBLISH to" the remote before "Sending
// PUBACK to" the bridge), so a report the bridge saw acknowledged is never
// only in the memory of the broker that dies. Each kill waits for the
// previous restart's login and subscription, so every restart is a full
// round.
//
// QoS 1 is at least once: a report in flight at a kill is sent again, by the
// bridge (DUP flag) or by the broker to the remote. Duplicates are counted and
// printed, not failed; a missing report fails.
class BrokerKills : public E2E {
  protected:
    // The broker restarted with persistence, the remote listening on TOPIC,
    // the bridge started: success once the bridge has subscribed.
    ::testing::AssertionResult start_all(const std::string &topic) {
        ::testing::AssertionResult ready = broker.restart(config);
        if (ready)
            ready = remote.connect();
        if (ready)
            ready = remote.subscribe(topic, 1);
        if (!ready)
            return ready;
        bridge.start();
        return broker.wait_for_log(kSubscribed, 10s);
    }

    // Kill number KILL: the broker away for DOWN, then started again;
    // success once the bridge has logged in and subscribed once more.
    ::testing::AssertionResult kill_and_restart(int kill, Duration down) {
        broker.kill();
        std::this_thread::sleep_for(down);
        ::testing::AssertionResult started = broker.start(config);
        if (!started)
            return started << " (restart " << kill << ")";
        ::testing::AssertionResult login = broker.wait_for_log(kLogin, 15s, kill + 1);
        if (!login)
            return login << " (login after kill " << kill << ")";
        return broker.wait_for_log(kSubscribed, 5s, kill + 1);
    }

    const BrokerConfig config = persistent_broker(dir.path());
    simfw::SimFirmware device{pty.master()};
    RemoteClient remote{persistent_remote("e2e-kills-remote")};
};

// 500 commands, 20 kills while their reports flow.
TEST_F(BrokerKills, TwentySigkillsDuringFiveHundredCommandsLoseNoReport) {
    const int commands = 500, kills = 20;
    const Duration spacing = 4s, down = 1s;
    ASSERT_TRUE(start_all("status_update"));

    std::string list;
    Strings order;                       // the reports, in the order they are due
    std::map<std::string, int> expected; // payload -> times received
    for (int i = 0; i < commands; i++) {
        list += "cmd" + std::to_string(i) + ";";
        order.push_back(report_payload("OK cmd" + std::to_string(i) + "\n"));
        expected[order.back()] = 0;
    }
    ASSERT_TRUE(remote.publish("commands", list));

    auto started = Clock::now();
    for (int kill = 1; kill <= kills; kill++) {
        std::this_thread::sleep_until(started + kill * spacing);
        ASSERT_TRUE(kill_and_restart(kill, down));
    }
    size_t reports_at_last_kill = device.reports().size();
    EXPECT_LT(reports_at_last_kill, (size_t)commands) << "the run ended before the last kill";

    // A list sent after the last restart queues behind the rest: the bridge
    // is subscribed again and still takes commands.
    ASSERT_TRUE(remote.publish("commands", "final"));
    order.push_back(report_payload("OK final\n"));
    expected[order.back()] = 0;

    size_t received = 0;
    std::vector<std::string> strangers;
    auto tally = [&] {
        std::vector<Message> got = remote.messages("status_update");
        for (; received < got.size(); received++) {
            auto it = expected.find(got[received].payload);
            if (it == expected.end())
                strangers.push_back(got[received].payload);
            else
                it->second++;
        }
        for (const auto &e : expected)
            if (e.second == 0)
                return false;
        return true;
    };
    EXPECT_TRUE(eventually(180s, tally));

    int missing = 0, duplicates = 0;
    for (const std::string &report : order) {
        int times = expected[report];
        if (times == 0 && ++missing <= 10)
            ADD_FAILURE() << "report never received: " << escape(report.substr(0, 16));
        if (times > 1)
            duplicates += times - 1;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_TRUE(strangers.empty())
        << strangers.size() << " reports nobody sent, first " << escape(strangers.front());
    EXPECT_TRUE(bridge.running());

    std::string out = bridge.stdout_text();
    figure("kills", kills);
    figure("logins", broker.log_count(kLogin));
    figure("sessions", broker.log_count(kBridgeSession));
    figure("reports_at_last_kill", (long)reports_at_last_kill);
    figure("reports_sent_by_device", (long)device.reports().size());
    figure("reports_received", (long)received);
    figure("reports_missing", missing);
    figure("duplicates_received", duplicates);
    figure("bridge_resends_seen_by_broker",
           broker.log_count(std::regex(R"(from 02:FC:00:00:00:01 \(d1, q1, r0, m\d+, 'status)")));
    figure("bridge_loop_restarts", count(bridge.stderr_text(), "Network loop stopped"));
    figure("bridge_links_lost", count(out, "Connection lost"));
    EXPECT_EQ(broker.log_count(kLogin), kills + 1);
    EXPECT_EQ(count(out, "RECEIVED STATUS UPDATE FROM ARDUINO.\n"), commands + 1)
        << "every report is taken, and published, once";
}

// Order across kills: the device reports every 100 ms while the broker is
// killed 15 times. Each session of the bridge must start with its login, no
// connection may die of a publish ahead of the CONNECT, and the remote must
// see the reports in the order the device wrote them.
TEST_F(BrokerKills, ReportsEveryTenthOfASecondKeepTheirOrderThroughFifteenSigkills) {
    const int kills = 15;
    ASSERT_TRUE(start_all("info"));

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
        ASSERT_TRUE(kill_and_restart(kill, std::chrono::milliseconds(300 + random() % 1500)));
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

// Floods of big lists: the queue's byte bound keeps the bridge's memory and
// its log small, polling and event-driven (the build named, or the default).
class Floods : public Road, public ::testing::WithParamInterface<const char *> {
  protected:
    void SetUp() override {
        if (*GetParam())
            bridge.use_build(GetParam());
        Road::SetUp();
    }
    simfw::Options device_options() override {
        simfw::Options o;
        o.report_format = "OK\n";
        o.quiet_gap = 200ms; // a 256 KiB command crosses the pty in many reads
        return o;
    }
    long peak_kib() {
        return bench::proc_kib(bridge.pid(), "status", "VmHWM");
    }
};

// 40 lists of one 256 KiB command (10 MiB), then one list of 16 MiB: what
// fits under the bound is queued and answered, the rest is dropped and said
// so, and a small list afterwards still reaches the device.
TEST_P(Floods, BigListsBeyondTheByteBoundAreDroppedAndMemoryAndLogStaySmall) {
    const size_t big = 256 * 1024, huge = 16u << 20;
    const bool plain = getenv("BRIDGE_WRAPPER") == nullptr; // valgrind counts in the peak
    long peak0 = peak_kib();
    size_t out0 = bridge.stdout_text().size();
    for (int i = 0; i < 40; i++)
        ASSERT_TRUE(remote.publish("commands", std::string(big, (char)('a' + i % 26)), 1, 10s));
    std::string dropped = "DROPPED A LIST OF 1 COMMANDS (262144 BYTES): QUEUE FULL\n";
    ASSERT_TRUE(bridge.wait_for_stdout(dropped, 10s));
    // Every list is either dropped or queued (logged as its one command).
    std::string out;
    auto due = Clock::now() + scaled(60s);
    int drops = 0, kept = 0;
    while (Clock::now() < due) {
        out = bridge.stdout_text().substr(out0);
        drops = count(out, dropped);
        kept = count(out, "TOKENIZED COMMAND: ");
        if (drops + kept == 40)
            break;
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_EQ(drops + kept, 40) << out.substr(0, 4096);
    EXPECT_GE(kept, (int)(settings.queued_bytes_max / big));
    EXPECT_EQ(payloads("status_update", kept, scaled(60s)).size(), (size_t)kept);
    long peak1 = peak_kib();
    size_t out1 = bridge.stdout_text().size();

    ASSERT_TRUE(remote.publish("commands", std::string(huge, 'L'), 1, 30s));
    EXPECT_TRUE(bridge.wait_for_stdout(
        "DROPPED A LIST OF 1 COMMANDS (16777216 BYTES): QUEUE FULL\n", scaled(20s)));
    long peak2 = peak_kib();
    size_t out2 = bridge.stdout_text().size();

    ASSERT_TRUE(remote.publish("commands", "after"));
    ASSERT_TRUE(device->wait_for_commands(kept + 1, scaled(5s)));
    EXPECT_EQ(device->command_texts().back(), "after");
    EXPECT_EQ(payloads("status_update", kept + 1, scaled(5s)).size(), (size_t)kept + 1);
    EXPECT_TRUE(bridge.running());

    figure("lists_kept", kept);
    figure("lists_dropped", drops);
    figure("peak_rss_kib_start", peak0);
    figure("peak_rss_kib_after_lists", peak1);
    figure("peak_rss_kib_after_16mib", peak2);
    figure("stdout_bytes_lists", (long)(out1 - out0));
    figure("stdout_bytes_16mib", (long)(out2 - out1));
    // The bound, plus the library's two copies of the list it is handing over
    // and the allocator's slack.
    if (plain) {
        EXPECT_LT(peak1 - peak0, (settings.queued_bytes_max + 2 * (long)big) / 1024 + 2048);
        EXPECT_LT(peak2 - peak1, (long)(2 * huge) / 1024 + 2048);
    }
    EXPECT_LT(out1 - out0, 40u * 4096) << "bytes of log for 40 lists";
    EXPECT_LT(out2 - out1, 4096u) << "bytes of log for the 16 MiB list";
}

INSTANTIATE_TEST_SUITE_P(Modes, Floods, ::testing::Values("", "mqtt-serial-bridge-test-event"),
                         [](const auto &info) { return *info.param ? "EventDriven" : "Poll"; });
