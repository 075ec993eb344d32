// Faults end to end: a broker that is not there, a device that babbles or
// falls silent or lets a command hang, and odd MQTT input, each against the
// real bridge process, a real broker and the simulated firmware.
//
// Each test prints its figures as "FIGURE name=value" lines (and records them
// as test properties), so a run shows what was survived, not only that it
// passed.
#include <sys/stat.h>

#include <random>

#include "bridge_config.h" // the shipped build's settings
#include "exchange_e2e.h"

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

// ------------------------------------------------------------------ broker

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

// ------------------------------------------------------------------ device

// Random bytes, all 256 values or all but NOOK, from a fixed seed.
std::string noise(size_t n, int nook = -1) {
    std::mt19937 gen(20240601);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
        int b = byte(gen);
        if (b != nook)
            out += static_cast<char>(b);
    }
    return out;
}

// Plays the device's part by hand: BYTES written in pieces, each piece
// allowed the pty write's own timeout. With GAP, the bytes go out in bursts
// of 1 to 32 KiB with GAP of quiet after each, so the bridge's poll cycles
// find them as many separate runs rather than one stream.
void feed(Pty &pty, const std::string &bytes, Duration gap = 0ms) {
    std::mt19937 gen(99);
    std::uniform_int_distribution<size_t> burst(1, 32 * 1024);
    for (size_t at = 0; at < bytes.size();) {
        size_t end = gap.count() ? std::min(bytes.size(), at + burst(gen)) : bytes.size();
        for (; at < end; at += std::min<size_t>(4096, end - at))
            pty.write(bytes.substr(at, std::min<size_t>(4096, end - at)));
        std::this_thread::sleep_for(gap);
    }
}

// Waits until the bridge's stdout has not grown for QUIET: done with what the
// device sent.
::testing::AssertionResult wait_until_quiet(const std::string &out_path, Duration quiet,
                                            Duration timeout) {
    auto size = [&] {
        struct stat st;
        return stat(out_path.c_str(), &st) == 0 ? st.st_size : -1;
    };
    off_t last = size();
    auto since = Clock::now();
    bool ok = eventually(timeout, [&] {
        off_t now = size();
        if (now != last) {
            last = now;
            since = Clock::now();
        }
        return Clock::now() - since >= quiet;
    });
    if (ok)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the bridge kept logging for " << timeout.count() << " ms";
}

class DeviceFaults : public Road {
  protected:
    // The device records commands from now on but answers none.
    void go_silent() {
        simfw::Faults silent;
        silent.silent = true;
        device->set_faults(silent);
    }

    // Every report the bridge published is bytes the device sent, in order,
    // zeros after them, on the topic its first byte calls for; and each was
    // answered with "#\n" once.
    void expect_reports_are(const std::string &sent) {
        std::vector<Message> reports;
        {
            std::vector<Message> s = remote.messages("status_update"), i = remote.messages("info");
            reports.insert(reports.end(), s.begin(), s.end());
            reports.insert(reports.end(), i.begin(), i.end());
        }
        EXPECT_EQ(device->acks(), reports.size()) << "reports published vs answered";
        for (const char *topic : {"status_update", "info"}) {
            size_t at = 0; // each topic in its own order
            for (const Message &m : remote.messages(topic)) {
                ASSERT_EQ(m.payload.size(), 100u);
                EXPECT_EQ(m.payload[0] == '!', topic == std::string("info")) << escape(m.payload);
                std::string bytes = m.payload.substr(0, m.payload.find_last_not_of('\0') + 1);
                if (bytes.empty())
                    continue;
                size_t found = sent.find(bytes, at);
                ASSERT_NE(found, std::string::npos)
                    << "not sent by the device, or out of order: " << escape(m.payload);
                at = found + 1;
            }
        }
        figure("reports_published", (long)reports.size());
    }

    // The device answers by hand for a command it let hang: "#" and, once
    // the poll cycle that takes it is over, REPORT.
    void answer_by_hand(const std::string &report) {
        device->send_raw("#");
        ASSERT_TRUE(bridge.wait_for_stdout("RECEIVED SERIAL_ACK\n", 5s));
        std::this_thread::sleep_for(50ms);
        device->send_raw(report);
    }
};

const size_t kMiB = 1 << 20;

// While idle, whatever is waiting is a report: a mebibyte of noise in bursts
// is read as reports of up to 100 bytes with the rest dropped, each answered
// and published; then the next list goes through as if nothing had happened.
TEST_F(DeviceFaults, MebibyteOfNoiseWhileIdle) {
    const std::string sent = noise(kMiB);
    feed(pty, sent, 150ms);
    ASSERT_TRUE(wait_until_quiet(dir.file("bridge.stdout"), 1s, 60s));
    EXPECT_TRUE(bridge.running());
    // The last reports may still be on their way to the remote (the log
    // line comes when the library takes a publish, not when it arrives).
    eventually(10s, [&] {
        return remote.messages("status_update").size() + remote.messages("info").size() >=
               device->acks();
    });
    expect_reports_are(sent);

    size_t before = remote.messages("status_update").size();
    ASSERT_TRUE(remote.publish("commands", "after;noise"));
    std::vector<Message> got = remote.wait_for_count("status_update", before + 2, 10s);
    ASSERT_EQ(got.size(), before + 2);
    EXPECT_EQ(got[before].payload, report_payload("OK after\n"));
    EXPECT_EQ(got[before + 1].payload, report_payload("OK noise\n"));
    EXPECT_EQ(device->command_texts(), (Strings{"after", "noise"}));
    figure("bytes_dropped_lines", count(bridge.stdout_text(), "DROPPED "));
}

// Noise while a command waits for its "#": any "#" in it passes for the
// acknowledgement and what follows for reports, so where the exchange stands
// afterwards depends on how the bytes fell. One report from the device
// settles it either way (it answers the command, or is one that answers
// nothing), and the next command is sent once and answered.
TEST_F(DeviceFaults, MebibyteOfNoiseWhileAwaitingTheAcknowledgement) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "stuck"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));

    const std::string sent = noise(kMiB);
    feed(pty, sent, 150ms);
    ASSERT_TRUE(wait_until_quiet(dir.file("bridge.stdout"), 1s, 60s));
    EXPECT_TRUE(bridge.running());
    EXPECT_TRUE(bridge.wait_for_stdout("RECEIVED SERIAL_ACK\n", 0ms));
    expect_reports_are(sent);

    device->set_faults({});
    size_t before = remote.messages("status_update").size();
    device->send_raw("late\n");
    ASSERT_EQ(remote.wait_for_count("status_update", before + 1, 5s).size(), before + 1);
    ASSERT_TRUE(remote.publish("commands", "next"));
    std::vector<Message> got = remote.wait_for_count("status_update", before + 2, 10s);
    ASSERT_EQ(got.size(), before + 2);
    EXPECT_EQ(got.back().payload, report_payload("OK next\n"));
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
}

class SilentDevice : public DeviceFaults, public ::testing::WithParamInterface<size_t> {};

// A device that takes a command and says nothing: the bridge waits for the
// "#" up to its deadline (60 s by default), with no second sending, whatever
// else (here: noise with no "#" in it) the line carries meanwhile; a list
// that comes in meanwhile waits its turn. Stray bytes are dropped: the first
// 16 logged one line each, the rest counted in one line when the "#" comes,
// so a mebibyte of noise is 17 lines. When the device answers at last, the
// exchange completes and the queued list follows.
TEST_P(SilentDevice, CommandWaitsUntilTheDeviceAnswers) {
    const size_t noise_size = GetParam();
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "stuck"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));
    ASSERT_TRUE(remote.publish("commands", "next"));
    feed(pty, noise(noise_size, '#'));
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(wait_until_quiet(dir.file("bridge.stdout"), 1s, 60s));

    std::string out = bridge.stdout_text();
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(count(out, "] INSTEAD OF ACK\n"), (int)std::min<size_t>(noise_size, 16));
    EXPECT_EQ(count(out, "RECEIVED SERIAL_ACK"), 0);
    EXPECT_EQ(count(out, "SENDING TO ARDUINO: stuck\n"), 1);
    EXPECT_EQ(device->command_texts(), Strings{"stuck"}) << "sent while one was outstanding";
    EXPECT_TRUE(remote.messages("status_update").empty());
    figure("stray_bytes_logged", count(out, "] INSTEAD OF ACK\n"));

    device->set_faults({});
    answer_by_hand("OK stuck, late\n");
    EXPECT_EQ(payloads("status_update", 2, 10s),
              (Strings{report_payload("OK stuck, late\n"), report_payload("OK next\n")}));
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
    out = bridge.stdout_text();
    if (noise_size > 16) {
        EXPECT_TRUE(bridge.wait_for_stdout(std::to_string(noise_size - 16) +
                                               " MORE BYTES INSTEAD OF ACK\nRECEIVED SERIAL_ACK\n",
                                           0ms));
    }
    EXPECT_EQ(count(out, "INSTEAD OF ACK\n"), (int)std::min<size_t>(noise_size, 17));
    figure("noise_log_lines", count(out, "INSTEAD OF ACK\n"));
}

INSTANTIATE_TEST_SUITE_P(Device, SilentDevice, ::testing::Values(0, kMiB), [](const auto &info) {
    return info.param ? std::string("UnderNoise") : std::string("Quiet");
});

// The test builds with a command deadline of 2 s: polling, and event-driven.
class CommandDeadline : public DeviceFaults, public ::testing::WithParamInterface<const char *> {
  protected:
    void SetUp() override {
        bridge.use_build(GetParam());
        DeviceFaults::SetUp();
    }

    // From the device's receipt of command I to that of command I + 1.
    long ms_between_commands(size_t i) {
        std::vector<simfw::ReceivedCommand> c = device->commands();
        return (long)std::chrono::duration_cast<Duration>(c.at(i + 1).first_byte -
                                                          c.at(i).first_byte)
            .count();
    }
};

// A device that acknowledges and never reports: each command is dropped at
// its deadline, the next is sent once, and after the last the bridge is idle
// (an information report is taken as such).
TEST_P(CommandDeadline, AcknowledgedButNeverReported) {
    simfw::Faults no_report;
    no_report.no_report = true;
    device->set_faults(no_report);
    ASSERT_TRUE(remote.publish("commands", "stuck;next"));
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: next\n", 6s));
    std::string out = bridge.stdout_text();
    EXPECT_LT(out.find("COMMAND TIMED OUT: stuck\n"), out.find("SENDING TO ARDUINO: next\n"));
    EXPECT_EQ(count(out, "RECEIVED SERIAL_ACK\n"), 2);
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
    EXPECT_GE(ms_between_commands(0), 1950) << "dropped before its deadline";
    EXPECT_LT(ms_between_commands(0), scaled(3s).count());

    // What comes within a poll cycle of the deadline may be a late answer
    // and is dropped; after that the line is the device's again.
    std::this_thread::sleep_for(scaled(300ms));
    device->send_info("!idle\n");
    EXPECT_EQ(payloads("info", 1, 5s), Strings{report_payload("!idle\n")});
    EXPECT_TRUE(remote.messages("status_update").empty());
    EXPECT_EQ(count(bridge.stdout_text(), "COMMAND TIMED OUT: "), 2);
    figure("ms_from_command_to_next", ms_between_commands(0));
}

// A silent device: the command is dropped at its deadline and the next is
// sent once. The report for the dropped command, coming late while the next
// awaits its "#", is stray bytes, not the next command's answer; the next
// command's own report is published, and the deadline does not fire for it.
TEST_P(CommandDeadline, SilentDeviceAndALateReport) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "stuck;next"));
    ASSERT_TRUE(device->wait_for_commands(2, 5s));
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: stuck\n", 0ms));
    device->send_raw("OK stuck, late\n");
    ASSERT_TRUE(bridge.wait_for_stdout("[\n] INSTEAD OF ACK\n", 2s));
    device->set_faults({});
    answer_by_hand("OK next\n");
    EXPECT_EQ(payloads("status_update", 1, 5s), Strings{report_payload("OK next\n")});

    std::this_thread::sleep_for(2500ms); // past the deadline the answered command had
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "] INSTEAD OF ACK\n"), (int)strlen("OK stuck, late\n"));
    EXPECT_EQ(count(out, "COMMAND TIMED OUT: "), 1);
    EXPECT_EQ(count(out, "SENDING TO ARDUINO: next\n"), 1);
    EXPECT_EQ(device->command_texts(), (Strings{"stuck", "next"}));
    EXPECT_EQ(remote.messages("status_update").size(), 1u);
    EXPECT_GE(ms_between_commands(0), 1950);
    EXPECT_TRUE(bridge.running());
}

// The device's "#" comes just after the deadline gave its command up: it is
// dropped as a stray byte, not taken for the next command's, so every later
// answer still matches its command.
TEST_P(CommandDeadline, LateAcknowledgementIsNotTakenForTheNextCommand) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "k1;k2;k3"));
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: k1\n", 5s));
    device->send_raw("#");
    device->set_faults({});
    EXPECT_EQ(payloads("status_update", 2, 10s),
              (Strings{report_payload("OK k2\n"), report_payload("OK k3\n")}));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(remote.messages("status_update").size(), 2u) << "an answer off by one";
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "[#] INSTEAD OF ACK\n"), 1) << out;
    EXPECT_EQ(count(out, "COMMAND TIMED OUT: "), 1);
    EXPECT_EQ(device->command_texts(), (Strings{"k1", "k2", "k3"}));
}

// The line is still talking when the deadline falls (a stray byte every
// 5 ms from 1.5 s after the command for 1.5 s): the command is given up only
// once it has gone quiet, so every stray byte is counted before the timeout.
TEST_P(CommandDeadline, NotGivenUpWhileTheLineTalks) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "k1"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));
    std::this_thread::sleep_for(1500ms);
    const int stray = 300;
    for (int i = 0; i < stray; i++) {
        device->send_raw("x");
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: k1\n", 3s));
    std::string out = bridge.stdout_text();
    std::string before = out.substr(0, out.find("COMMAND TIMED OUT"));
    EXPECT_EQ(count(before, "[x] INSTEAD OF ACK\n"), 16);
    EXPECT_EQ(count(before, std::to_string(stray - 16) + " MORE BYTES INSTEAD OF ACK\n"), 1);
}

// The device writes "#" and its report at once: the poll modes take the "#"
// and drop the rest of that cycle's bytes (the line protocol has the report
// follow in a later cycle), so the command is freed by its deadline, which
// the shipped build has too; event-driven, the report is read as such.
// Either way the next command goes out and is answered.
static_assert(BRIDGE_COMMAND_TIMEOUT_S > 0 && BRIDGE_COMMAND_TIMEOUT_S <= 60,
              "the shipped build frees a wedged command within a minute");
TEST_P(CommandDeadline, AcknowledgementAndReportInOneWrite) {
    go_silent();
    ASSERT_TRUE(remote.publish("commands", "one;two"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));
    // Time for the silent device to let "one" go: it would answer it itself.
    std::this_thread::sleep_for(100ms);
    device->set_faults({});
    device->send_raw("#OK one\n");
    ASSERT_TRUE(device->wait_for_commands(2, 5s)) << "the exchange stayed wedged";
    // Under load the pty may hand the "#" over before the report, which a
    // poll cycle then reads as such: then nothing had to be freed. The line
    // is out before "two" is written.
    bool freed = count(bridge.stdout_text(), "COMMAND TIMED OUT: one\n") == 1;
    EXPECT_FALSE(freed && strstr(GetParam(), "event")) << "event-driven reads the report";
    Strings expected{report_payload("OK two\n")};
    if (!freed)
        expected.insert(expected.begin(), report_payload("OK one\n"));
    EXPECT_EQ(payloads("status_update", expected.size(), 5s), expected);
    figure("ms_to_free_the_exchange", ms_between_commands(0));
}

INSTANTIATE_TEST_SUITE_P(Mode, CommandDeadline,
                         ::testing::Values("mqtt-serial-bridge-test-deadline",
                                           "mqtt-serial-bridge-test-event-deadline"),
                         [](const auto &info) {
                             return std::string(strstr(info.param, "event") ? "EventDriven"
                                                                            : "Poll");
                         });

// Without a poll interval a report is whole at 100 bytes: it is published at
// once, its tail is dropped and counted, and the next command waits for the
// line to go quiet, so no byte of the tail is taken for the next answer.
// (The poll modes' cut is proven in process.)
class EventDrivenDeviceFaults : public DeviceFaults {
    void SetUp() override {
        bridge.use_build("mqtt-serial-bridge-test-event");
        DeviceFaults::SetUp();
    }
};

TEST_F(EventDrivenDeviceFaults, OversizeReportsAreCutTo100Bytes) {
    const struct {
        size_t size; // 0: the device's usual "OK <cmd>\n"
        int dropped;
    } cases[] = {{150, 50}, {0, 0}, {101, 1}, {100, 0}, {4000, 3900}, {0, 0}};
    int dropped_lines = 0;
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE("report size " + std::to_string(cases[i].size));
        simfw::Faults f;
        f.report_size = cases[i].size;
        device->set_faults(f);
        std::string cmd = "s" + std::to_string(i);
        std::string report = "OK " + cmd + "\n";
        if (cases[i].size)
            report.resize(cases[i].size, '.');
        ASSERT_TRUE(remote.publish("commands", cmd));
        std::vector<std::string> got = payloads("status_update", i + 1, 5s);
        ASSERT_EQ(got.size(), i + 1);
        EXPECT_EQ(escape(got[i]), escape(report_payload(report.substr(0, 100))));
        if (cases[i].dropped) {
            dropped_lines++;
            EXPECT_TRUE(bridge.wait_for_stdout("DROPPED " + std::to_string(cases[i].dropped) +
                                                   " BYTES BEYOND A 100-BYTE REPORT\n",
                                               1s));
        }
        EXPECT_EQ(count(bridge.stdout_text(), "DROPPED "), dropped_lines);
    }
    EXPECT_EQ(device->command_texts().size(), std::size(cases));
}

// ------------------------------------------------------------------ MQTT input

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
TEST_F(Road, ListBeyondTheQueueIsDroppedWholeAndMemoryStaysSmall) {
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
    while (cmd.size() < kMiB)
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
