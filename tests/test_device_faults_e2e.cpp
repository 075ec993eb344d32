// The device misbehaving, against the real bridge process, a real broker
// and the simulated firmware: a line that babbles, a device that falls
// silent or lets a command hang past its deadline, reports too long.
//
// Each test prints its figures as "FIGURE name=value" lines (and records them
// as test properties), so a run shows what was survived, not only that it
// passed.
#include <sys/stat.h>

#include <random>

#include "bridge_config.h" // the shipped build's settings, not the test build's
#include "exchange_e2e.h"

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

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

// The device goes away (its pty closed, as a USB adapter unplugged) while
// it reports every 100 ms and the broker is paused: the bridge stops as on
// SIGTERM, delivering every report it answered, ends its session with a
// DISCONNECT and exits 255, for procd to start it again. Polling sees the
// hang-up as a failed byte count; event-driven, its wait on the line may
// see it first.
class DeviceGoesAway : public DeviceFaults, public ::testing::WithParamInterface<const char *> {
  protected:
    void SetUp() override {
        bridge.use_build(GetParam());
        DeviceFaults::SetUp();
    }

    // N information reports, 100 ms apart.
    void report_every_100ms(int n) {
        for (int i = 0; i < n; i++) {
            sent.push_back("!r" + std::to_string(sent.size()) + "\n");
            device->send_info(sent.back());
            std::this_thread::sleep_for(100ms);
        }
    }

    Strings sent;
};

TEST_P(DeviceGoesAway, EveryAnsweredReportIsDeliveredThenTheBridgeExits255) {
    report_every_100ms(3);
    broker.signal(SIGSTOP); // the reports from here wait for their PUBACKs
    report_every_100ms(5);
    ASSERT_TRUE(device->wait_for_acks(sent.size(), scaled(3s)));
    device.reset();
    pty.hang_up();
    auto gone = Clock::now();
    std::this_thread::sleep_for(1s);
    broker.signal(SIGCONT);

    EXPECT_EQ(bridge.wait_exit(scaled(4s)), std::optional<int>(255));
    long ms_to_exit = (long)std::chrono::duration_cast<Duration>(Clock::now() - gone).count();
    Strings expected, got;
    for (const std::string &s : sent)
        expected.push_back(report_payload(s));
    for (const Message &m : remote.wait_for_count("info", sent.size(), 5s))
        got.push_back(m.payload);
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(broker.wait_for_log(std::regex(R"(Client 02:FC:00:00:00:01 disconnected\.)"), 2s));
    EXPECT_TRUE(bridge.wait_for_stdout("STOPPING: 0 COMMANDS NOT SENT\n"
                                       "STOPPING: 0 REPORTS UNDELIVERED\n",
                                       0ms));
    std::string err = bridge.stderr_text();
    int lines = count(err, "Failed to get byte count on serial.\n");
    if (!strstr(GetParam(), "event"))
        EXPECT_EQ(lines, 1) << err;
    else
        lines += count(err, "Serial port hung up.\n");
    EXPECT_EQ(lines, 1) << err;
    figure("reports_delivered", (long)got.size());
    figure("ms_from_hang_up_to_exit", ms_to_exit);
}

INSTANTIATE_TEST_SUITE_P(Mode, DeviceGoesAway,
                         ::testing::Values("mqtt-serial-bridge-test",
                                           "mqtt-serial-bridge-test-event"),
                         [](const auto &info) {
                             return std::string(strstr(info.param, "event") ? "EventDriven"
                                                                            : "Poll");
                         });

// Built with BRIDGE_SERIAL_REOPEN: the broker away, two reports held and a
// command outstanding when the device goes away. The command is given up as
// at its deadline, the port is looked for once a second, one line says the
// device is back, and the queued command goes out to the new device. Once
// the broker is back every report held arrives, and a later list reaches the
// new device; the bridge never stopped. The remote's persistent session
// (saved by the broker) gets the reports whoever reconnects first.
class DeviceReopened : public E2E, public ::testing::WithParamInterface<const char *> {};

TEST_P(DeviceReopened, NothingHeldIsLostAndTheNewDeviceGetsTheQueue) {
    const BrokerConfig config = persistent_broker(dir.path());
    ASSERT_TRUE(broker.restart(config));
    RemoteClient remote(persistent_remote("e2e-reopen"));
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("info", 1));
    ASSERT_TRUE(remote.subscribe("status_update", 1));
    auto device = std::make_unique<simfw::SimFirmware>(pty.master());
    simfw::Faults silent;
    silent.silent = true;
    device->set_faults(silent);
    bridge.use_build(GetParam());
    bridge.start();
    ASSERT_TRUE(bridge.wait_for_stdout("received SUBACK", 10s));
    ASSERT_TRUE(remote.publish("commands", "stuck;k1"));
    ASSERT_TRUE(device->wait_for_commands(1, 5s));
    broker.stop();
    // "stuck" stays outstanding: its "#", then information reports.
    device->send_raw("#");
    ASSERT_TRUE(bridge.wait_for_stdout("RECEIVED SERIAL_ACK\n", 5s));
    for (const char *report : {"!h1\n", "!h2\n"}) {
        std::this_thread::sleep_for(150ms);
        device->send_raw(report);
    }
    ASSERT_TRUE(device->wait_for_acks(2, scaled(2s)));

    device.reset();
    pty.hang_up();
    ASSERT_TRUE(bridge.wait_for_stdout("COMMAND TIMED OUT: stuck\n", 2s));
    std::this_thread::sleep_for(2500ms); // a few tries at the gone device
    pty.plug_in();
    device = std::make_unique<simfw::SimFirmware>(pty.master());
    ASSERT_TRUE(bridge.wait_for_stdout("SERIAL PORT REOPENED: ./ttyATH0\n", 3s));
    ASSERT_TRUE(device->wait_for_reports(1, 5s)); // k1's, held too

    ASSERT_TRUE(broker.start(config));
    auto texts = [&](const char *topic, size_t n) {
        Strings out;
        for (const Message &m : remote.wait_for_count(topic, n, 15s))
            out.push_back(m.payload);
        return out;
    };
    EXPECT_EQ(texts("info", 2), (Strings{report_payload("!h1\n"), report_payload("!h2\n")}));
    EXPECT_EQ(texts("status_update", 1), Strings{report_payload("OK k1\n")});
    ASSERT_TRUE(remote.publish("commands", "k2"));
    EXPECT_EQ(texts("status_update", 2),
              (Strings{report_payload("OK k1\n"), report_payload("OK k2\n")}));
    EXPECT_EQ(device->command_texts(), (Strings{"k1", "k2"}));

    EXPECT_TRUE(bridge.running());
    std::string out = bridge.stdout_text();
    EXPECT_LT(out.find("SERIAL PORT REOPENED"), out.find("SENDING TO ARDUINO: k1\n"));
    EXPECT_EQ(count(out, "SERIAL PORT LOST, REOPENING: ./ttyATH0\n"), 1);
    EXPECT_EQ(count(out, "SERIAL PORT REOPENED: "), 1) << "a line per try";
    EXPECT_EQ(count(out, "STOPPING: "), 0);
    // Polling sees the hang-up as a failed byte count; event-driven, its
    // wait on the line may see it first.
    std::string err = bridge.stderr_text();
    EXPECT_EQ(count(err, "Failed to get byte count on serial.\n") +
                  (strstr(GetParam(), "event") ? count(err, "Serial port hung up.\n") : 0),
              1)
        << err;
    device.reset();
}

INSTANTIATE_TEST_SUITE_P(Mode, DeviceReopened,
                         ::testing::Values("mqtt-serial-bridge-test-reopen",
                                           "mqtt-serial-bridge-test-event-reopen"),
                         [](const auto &info) {
                             return std::string(strstr(info.param, "event") ? "EventDriven"
                                                                            : "Poll");
                         });

} // namespace
