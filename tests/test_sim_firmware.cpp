// The simulated firmware, driven by hand from the host end of a pty: the
// bridge's tests and benchmarks trust what it says about the line, so its own
// behaviour is pinned down here.

#include "sim_firmware.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using simfw::Clock;
using simfw::ReportKind;
using std::chrono::milliseconds;

namespace {

// The bridge's end of the line.
class Host {
  public:
    explicit Host(int fd) : fd_(fd) {}

    void write(const std::string &bytes) {
        ASSERT_TRUE(simfw::write_all(fd_, bytes, 1s));
    }

    // Everything that arrived until at least n bytes were there or the
    // timeout passed.
    std::string read_n(std::size_t n, milliseconds timeout) {
        return simfw::read_bytes(fd_, n, timeout);
    }

    std::string read_for(milliseconds window) {
        return read_n(SIZE_MAX, window);
    }

  private:
    int fd_;
};

class SimFirmwareTest : public ::testing::Test {
  protected:
    void start(simfw::Options options = {}) {
        fw = std::make_unique<simfw::SimFirmware>(pty.master, std::move(options));
    }

    // The host reads REPORT and answers "#\n", which the device counts as
    // its ACKS-th acknowledgement.
    ::testing::AssertionResult reads_and_acknowledges(const std::string &report, std::size_t acks) {
        std::string got = host.read_n(report.size(), 500ms);
        if (got != report)
            return ::testing::AssertionFailure() << "got \"" << simfw::escape(got) << "\"";
        host.write("#\n");
        if (!fw->wait_for_acks(acks, 500ms))
            return ::testing::AssertionFailure() << "acknowledgement " << acks << " not counted";
        return ::testing::AssertionSuccess();
    }

    simfw::PtyPair pty = simfw::PtyPair::open();
    Host host{pty.slave};
    std::unique_ptr<simfw::SimFirmware> fw; // stopped before the pty closes
};

// The "#" and the report are read together: how far apart they were written
// is taken from the device's own timestamps, which a busy machine delaying
// this thread cannot blur.
TEST_F(SimFirmwareTest, AnswersCommandWithAckThenReportAfterDelay) {
    start();
    const auto sent = Clock::now();
    host.write("a");
    ASSERT_EQ(host.read_n(6, 1000ms), "#OK a\n");

    EXPECT_EQ(fw->acks(), 0u);
    EXPECT_FALSE(fw->wait_idle(0ms)) << "idle while the report is unacknowledged";
    host.write("#\n");
    ASSERT_TRUE(fw->wait_for_acks(1, 500ms));
    EXPECT_TRUE(fw->wait_idle(500ms));

    const auto cmds = fw->commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].text, "a");
    EXPECT_FALSE(cmds[0].while_busy);
    EXPECT_GE(cmds[0].first_byte, sent);
    EXPECT_GE(cmds[0].ack_sent - cmds[0].first_byte, 20ms) << "answered before the line was quiet";
    const auto reports = fw->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, ReportKind::status);
    EXPECT_EQ(reports[0].text, "OK a\n");
    EXPECT_EQ(reports[0].command, "a");
    EXPECT_GE(reports[0].last_byte - cmds[0].ack_sent, 150ms);
    EXPECT_TRUE(fw->unexpected().empty());
}

// The bridge writes "#\n" and the next command in the same poll cycle; the
// device must see an acknowledgement and a command whatever the spacing.
TEST_F(SimFirmwareTest, SplitsReportAckFromFollowingCommand) {
    const struct {
        const char *name;
        milliseconds gap; // between "#\n" and "b"; negative: one write
    } cases[] = {
        {"one write", -1ms},
        {"within the quiet gap", 5ms},
        {"separate bursts", 60ms},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        simfw::PtyPair line = simfw::PtyPair::open();
        Host h(line.slave);
        simfw::SimFirmware dev(line.master);
        h.write("a");
        EXPECT_EQ(h.read_n(6, 1000ms), "#OK a\n");
        if (c.gap < 0ms) {
            h.write("#\nb");
        } else {
            h.write("#\n");
            std::this_thread::sleep_for(c.gap);
            h.write("b");
        }
        EXPECT_EQ(h.read_n(6, 1000ms), "#OK b\n");
        h.write("#\n");
        EXPECT_TRUE(dev.wait_for_acks(2, 500ms));
        EXPECT_EQ(dev.command_texts(), (std::vector<std::string>{"a", "b"}));
        for (const auto &cmd : dev.commands())
            EXPECT_FALSE(cmd.while_busy) << cmd.text;
        EXPECT_TRUE(dev.unexpected().empty());
    }
}

TEST_F(SimFirmwareTest, BytesWithinQuietGapAreOneCommand) {
    simfw::Options options;
    options.quiet_gap = 200ms; // wide, so that a slow test thread cannot split it
    start(options);
    host.write("ab");
    std::this_thread::sleep_for(20ms);
    host.write("c\n");
    EXPECT_EQ(host.read_n(9, 1500ms), "#OK abc\n\n");
    EXPECT_EQ(fw->command_texts(), (std::vector<std::string>{"abc\n"}));
}

TEST_F(SimFirmwareTest, AnswerFollowsOptionsAndFaults) {
    const struct {
        const char *name;
        std::function<void(simfw::Options &)> set;
        std::string ack;
        std::string report;
    } cases[] = {
        {"default", [](simfw::Options &) {}, "#", "OK a\n"},
        {"fixed text", [](simfw::Options &o) { o.report_format = "done\n"; }, "#", "done\n"},
        {"format", [](simfw::Options &o) { o.report_format = "{cmd}={cmd}\n"; }, "#", "a=a\n"},
        {"noise around ack",
         [](simfw::Options &o) {
             o.faults.noise_before_ack = "xy";
             o.faults.noise_after_ack = "z";
         },
         "xy#z", "OK a\n"},
        {"oversize", [](simfw::Options &o) { o.faults.report_size = 150; }, "#",
         "OK a\n" + std::string(145, '.')},
        {"cut", [](simfw::Options &o) { o.faults.report_size = 3; }, "#", "OK "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        simfw::PtyPair line = simfw::PtyPair::open();
        Host h(line.slave);
        simfw::Options options;
        c.set(options);
        simfw::SimFirmware dev(line.master, options);
        h.write("a");
        EXPECT_EQ(h.read_n(c.ack.size() + c.report.size(), 1000ms), c.ack + c.report);
        h.write("#\n");
        EXPECT_TRUE(dev.wait_for_acks(1, 500ms));
        const auto reports = dev.reports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].text, c.report);
        // The noise goes out in the same write as the "#", the report later.
        EXPECT_GE(reports[0].last_byte - dev.commands()[0].ack_sent, 150ms);
    }
}

TEST_F(SimFirmwareTest, SilentAndReportlessFaults) {
    simfw::Options options;
    options.faults.silent = true;
    start(options);
    host.write("a");
    ASSERT_TRUE(fw->wait_for_commands(1, 500ms));
    EXPECT_EQ(host.read_for(300ms), "") << "silent device answered";

    simfw::Faults no_report;
    no_report.no_report = true;
    fw->set_faults(no_report);
    host.write("b");
    EXPECT_EQ(host.read_n(1, 500ms), "#");
    EXPECT_EQ(host.read_for(300ms), "") << "report sent despite no_report";

    fw->set_faults({});
    host.write("c");
    EXPECT_EQ(host.read_n(6, 1000ms), "#OK c\n");
    EXPECT_EQ(fw->command_texts(), (std::vector<std::string>{"a", "b", "c"}));
    host.write("#\n");
    EXPECT_TRUE(fw->wait_for_acks(1, 500ms));
    EXPECT_EQ(fw->reports().size(), 1u);
}

TEST_F(SimFirmwareTest, InfoReportWaitsUntilExchangeIsOver) {
    start();
    fw->send_info("!boot\n");
    ASSERT_TRUE(reads_and_acknowledges("!boot\n", 1));

    host.write("a");
    ASSERT_TRUE(fw->wait_for_commands(1, 500ms));
    fw->send_info("!again\n");
    EXPECT_EQ(host.read_n(6, 1000ms), "#OK a\n");
    EXPECT_EQ(host.read_for(100ms), "") << "info report before the report was acknowledged";
    host.write("#\n");
    EXPECT_EQ(host.read_n(7, 500ms), "!again\n");
    host.write("#\n");
    ASSERT_TRUE(fw->wait_for_acks(3, 500ms));
    EXPECT_TRUE(fw->wait_idle(500ms));

    const auto reports = fw->reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].kind, ReportKind::info);
    EXPECT_EQ(reports[1].kind, ReportKind::status);
    EXPECT_EQ(reports[2].kind, ReportKind::info);
    EXPECT_EQ(reports[2].text, "!again\n");
    EXPECT_TRUE(fw->unexpected().empty());
}

TEST_F(SimFirmwareTest, UnsolicitedReportRawBytesAndStrayAck) {
    start();
    fw->send_unsolicited("OK ?\n");
    ASSERT_TRUE(reads_and_acknowledges("OK ?\n", 1));
    EXPECT_TRUE(fw->unexpected().empty());

    fw->send_raw("\x01z");
    EXPECT_EQ(host.read_n(2, 500ms), "\x01z");

    host.write("#\n");
    ASSERT_TRUE(fw->wait_for_acks(2, 500ms));
    EXPECT_EQ(fw->unexpected(), (std::vector<std::string>{"#\n"}));
    EXPECT_TRUE(fw->command_texts().empty());
    const auto reports = fw->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].kind, ReportKind::unsolicited);
    EXPECT_EQ(reports[0].command, "");
}

TEST_F(SimFirmwareTest, CommandsWhileBusy) {
    simfw::Options options;
    options.report_delay = 400ms; // room to send b while a's report is due
    start(options);
    host.write("a");
    EXPECT_EQ(host.read_n(1, 500ms), "#");
    host.write("b");
    ASSERT_TRUE(fw->wait_for_commands(2, 500ms));
    EXPECT_EQ(host.read_n(5, 1000ms), "OK a\n");
    EXPECT_EQ(host.read_for(100ms), "") << "b answered before a's report was acknowledged";
    host.write("#\n");
    EXPECT_EQ(host.read_n(6, 1000ms), "#OK b\n");

    // A host that skips the acknowledgement has moved on: c is answered at
    // once and the device does not stay waiting for the skipped "#\n".
    host.write("c");
    EXPECT_EQ(host.read_n(6, 1000ms), "#OK c\n");
    host.write("#\n");
    EXPECT_TRUE(fw->wait_idle(500ms));

    const auto cmds = fw->commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_FALSE(cmds[0].while_busy);
    EXPECT_TRUE(cmds[1].while_busy);
    EXPECT_TRUE(cmds[2].while_busy);
}

TEST_F(SimFirmwareTest, StopsPromptlyWithReportPending) {
    simfw::Options options;
    options.report_delay = 5000ms;
    start(options);
    host.write("a");
    ASSERT_EQ(host.read_n(1, 500ms), "#");
    const auto t = Clock::now();
    fw.reset();
    EXPECT_LT(Clock::now() - t, 500ms);
    EXPECT_EQ(host.read_for(100ms), "");
}

} // namespace
