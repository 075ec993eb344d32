// Command intake: command lists from the broker reach the queue and the line.
#include "bridge_fixture.h"
#include "log_text.h"
#include "settings.h"

using Strings = std::vector<std::string>;
using Intake = BridgeTest;

// TEXT (bytes that need no escape) as a log line shows it within MAX bytes.
static std::string cut(const std::string &text, size_t max = LOG_TEXT_MAX) {
    if (text.size() <= max)
        return text;
    return text.substr(0, max) + "... (" + std::to_string(text.size()) + " BYTES)";
}

// The handler only queues: the exchange's next cycle writes the first
// command, so the line has one writer.
TEST_F(Intake, ListIsQueuedInOrderAndOnlyItsFirstCommandIsSent) {
    std::string log = deliver_logged("commands", "a;b;c");
    EXPECT_EQ(queued(), (Strings{"a", "b", "c"}));
    EXPECT_EQ(log, "commands a;b;c\n"
                   "TOKENIZED COMMAND: a\nTOKENIZED COMMAND: b\nTOKENIZED COMMAND: c\n");
    EXPECT_EQ(device_reads(), "") << "the handler wrote to the line";
    EXPECT_EQ(cycle(), "SENDING TO ARDUINO: a\nWAITING FOR A SERIAL ACK !\n");
    EXPECT_EQ(device_reads(), "a");
    EXPECT_EQ(IDLE, 0);
}

// A list that would take the queue past its bound of commands is dropped
// whole, counted as the queue would count it; what was queued carries on,
// and a list that fits beside it is taken.
TEST_F(Intake, ListBeyondTheQueueIsDroppedWhole) {
    auto list = [](int n, const char *sep) {
        std::string text;
        for (int i = 0; i < n; i++)
            text += "k" + std::to_string(i) + sep;
        return text;
    };
    const int max = settings.queued_commands_max;
    const int first = max - max / 3;
    ASSERT_GT(max - first, 0) << "no room left to test with";
    deliver("commands", list(first, ";"));
    cycle();
    EXPECT_EQ(device_reads(), "k0");
    std::string log = deliver_logged("commands", list(max - first + 1, ";;"));
    EXPECT_EQ(log.substr(log.find('\n') + 1),
              "DROPPED A LIST OF " + std::to_string(max - first + 1) + " COMMANDS: QUEUE FULL\n");
    EXPECT_EQ(queue.count, first);
    EXPECT_EQ(queued().back(), "k" + std::to_string(first - 1));

    deliver("commands", list(max - first, ";"));
    EXPECT_EQ(queue.count, max);
    EXPECT_EQ(queued().back(), "k" + std::to_string(max - first - 1));
    EXPECT_EQ(deliver_logged("commands", ";x;"),
              "commands ;x;\nDROPPED A LIST OF 1 COMMANDS: QUEUE FULL\n");
    EXPECT_EQ(queue.count, max);
    device_answers("OK\n");
    EXPECT_EQ(device_reads(), "#\nk1") << "the queued commands carry on";
}

// Topics, payloads and commands are logged with their control bytes
// escaped: each stays one log line.
TEST_F(Intake, ControlBytesAreEscapedInTheLog) {
    std::string log = deliver_logged("commands", "go\n;b\\\x01\t\r\x7f\xc3\xa9");
    EXPECT_EQ(log, "commands go\\n;b\\\\\\x01\\t\\r\\x7f\xc3\xa9\n"
                   "TOKENIZED COMMAND: go\\n\n"
                   "TOKENIZED COMMAND: b\\\\\\x01\\t\\r\\x7f\xc3\xa9\n");
    EXPECT_EQ(cycle(), "SENDING TO ARDUINO: go\\n\nWAITING FOR A SERIAL ACK !\n");
    EXPECT_EQ(device_reads(), "go\n") << "the line gets the bytes themselves";
    EXPECT_EQ(deliver_logged("x\ny", ""), "x\\ny (null)\n");
}

struct SplitCase {
    const char *payload;
    Strings commands;
};

class Splitting : public BridgeTest, public testing::WithParamInterface<SplitCase> {};

// Each command reaches the line exactly as it stood in the list, one after
// the other as each is answered.
TEST_P(Splitting, FollowsTheStrtokRuleAndSendsEachCommandByteExact) {
    const Strings &commands = GetParam().commands;
    deliver("commands", GetParam().payload);
    EXPECT_EQ(queued(), commands);
    cycle();
    for (size_t i = 0; i < commands.size(); i++) {
        EXPECT_EQ(device_reads(), (i ? "#\n" : "") + commands[i]);
        device_answers("OK\n");
    }
    EXPECT_EQ(device_reads(), "#\n");
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Splitting,
    testing::Values(SplitCase{";;a;;", {"a"}}, SplitCase{"go\n;b", {"go\n", "b"}},
                    SplitCase{"SET 1 2\n; spaced ;x", {"SET 1 2\n", " spaced ", "x"}},
                    SplitCase{"a;;;b", {"a", "b"}}, SplitCase{"single", {"single"}}));

TEST_F(Intake, ListOfOnlySeparatorsSendsNothingAndKeepsTheMode) {
    deliver("commands", ";;;");
    EXPECT_EQ(queue.count, 0);
    EXPECT_EQ(device_reads(), "");
    EXPECT_EQ(IDLE, 1);
}

TEST_F(Intake, EmptyPayloadIsPrintedAsNullAndTouchesNothing) {
    EXPECT_EQ(deliver_logged("commands", ""), "commands (null)\n");
    EXPECT_EQ(queue.count, 0);
    EXPECT_EQ(IDLE, 1);
    EXPECT_EQ(device_reads(), "");
}

TEST_F(Intake, NearMissTopicsAreOnlyPrinted) {
    for (const char *topic : {"Commands", "commands/x", "command", "commands "}) {
        EXPECT_EQ(deliver_logged(topic, "a;b"), std::string(topic) + " a;b\n");
        EXPECT_EQ(queue.count, 0) << topic;
        EXPECT_EQ(IDLE, 1) << topic;
    }
    EXPECT_EQ(device_reads(), "");
}

TEST_F(Intake, ListWhileACommandIsOutstandingIsAppendedWithoutResending) {
    deliver("commands", "a");
    cycle();
    EXPECT_EQ(device_reads(), "a");
    device_sends("#");
    EXPECT_EQ(cycle(), "RECEIVED SERIAL_ACK\n");
    std::string log = deliver_logged("commands", "b;c");
    log += cycle();
    EXPECT_EQ(queued(), (Strings{"a", "b", "c"}));
    EXPECT_EQ(device_reads(), "");
    EXPECT_EQ(IDLE, 1);
    EXPECT_EQ(log.find("SENDING"), std::string::npos) << log;
}

TEST_F(Intake, PayloadIsReadUpToItsFirstNul) {
    deliver("commands", std::string("a;b\0c;d", 7));
    EXPECT_EQ(queued(), (Strings{"a", "b"}));
}

// A full queue's worth of commands, together within the byte bound (with
// the defaults, 1000 commands in a mebibyte).
TEST_F(Intake, MebibyteListIsQueuedWholeAndInOrder) {
    std::string list, tokenized;
    int n = 0;
    // Room for "c", the number and the ';' (8 bytes up to 100,000 commands).
    const std::string pad(settings.queued_bytes_max / settings.queued_commands_max - 8, 'p');
    while (n < settings.queued_commands_max) {
        list += "c" + std::to_string(n) + pad + ";";
        tokenized += "TOKENIZED COMMAND: " + cut("c" + std::to_string(n++) + pad) + "\n";
    }
    ASSERT_LE(list.size(), (size_t)settings.queued_bytes_max);
    std::string log = deliver_logged("commands", list);
    log += cycle();
    EXPECT_EQ(log, "commands " + cut(list, LOG_TEXT_MAX - strlen("commands")) + "\n" + tokenized +
                       "SENDING TO ARDUINO: " + cut("c0" + pad) + "\nWAITING FOR A SERIAL ACK !\n");
    ASSERT_EQ(queue.count, n);
    int i = 0;
    for (Node *node = queue.head; node; node = node->next, i++)
        ASSERT_EQ(node->data, "c" + std::to_string(i) + pad);
    EXPECT_EQ(device_reads(), "c0" + pad);
}

// A command longer than a log line's room is logged cut, with its length,
// and goes to the line whole.
TEST_F(Intake, CommandLongerThanALogBufferIsLoggedCut) {
    std::string big(10000, 'x');
    std::string log = deliver_logged("commands", "a;" + big + ";b");
    log += cycle();
    EXPECT_EQ(log,
              "commands " + cut("a;" + big + ";b", LOG_TEXT_MAX - strlen("commands")) +
                  "\nTOKENIZED COMMAND: a\nTOKENIZED COMMAND: " + cut(big) +
                  "\nTOKENIZED COMMAND: b\nSENDING TO ARDUINO: a\nWAITING FOR A SERIAL ACK !\n");
    EXPECT_EQ(queued(), (Strings{"a", big, "b"}));
}

// A report already on the line when a list comes is taken first: the command
// would otherwise meet a device awaiting "#\n", and the report be read as noise.
TEST_F(Intake, ListFindingAReportOnTheLineIsSentAfterThatReport) {
    for (const char *report : {"!note\n", "late\n"}) {
        device_sends(report);
        deliver("commands", "a;b");
        EXPECT_EQ(device_reads(), "") << report;
        EXPECT_EQ(IDLE, 1);
        EXPECT_EQ(exchange_state(), WAITING_FOR_REPORT) << "nothing outstanding";

        cycle();
        ASSERT_EQ(published.size(), 1u) << report;
        EXPECT_EQ(published[0].topic, report[0] == '!' ? "info" : "status_update");
        EXPECT_EQ(queued(), (Strings{"a", "b"})) << "nothing was outstanding to remove";
        EXPECT_EQ(device_reads(), "#\na");
        EXPECT_EQ(IDLE, 0);

        device_answers("OK a\n");
        EXPECT_EQ(device_reads(), "#\nb");
        EXPECT_EQ(queued(), Strings{"b"});
        device_answers("OK b\n");
        EXPECT_EQ(device_reads(), "#\n");
        EXPECT_EQ(queue.count, 0);
        published.clear();
    }
}

// The cut counts escapes and never splits one or a UTF-8 character; topic
// and payload share one line's room; the library's lines are cut too.
TEST_F(Intake, LongOutsideTextsAreCutWithinTheLogBound) {
    const std::string e = "\xc3\xa9";
    std::string accents = "a", newlines(200, '\n');
    for (int i = 0; i < 200; i++)
        accents += e;
    std::string kept = "a";
    for (int i = 0; i < (LOG_TEXT_MAX - 1) / 2; i++)
        kept += e;
    std::string log = deliver_logged("commands", accents + ";" + newlines);
    std::string escapes;
    for (int i = 0; i < LOG_TEXT_MAX / 2; i++)
        escapes += "\\n";
    EXPECT_NE(log.find("TOKENIZED COMMAND: " + kept + "... (401 BYTES)\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("TOKENIZED COMMAND: " + escapes + "... (200 BYTES)\n"), std::string::npos)
        << log;

    std::string topic(300, 't'), payload(300, 'p');
    std::string line = deliver_logged(topic.c_str(), payload);
    EXPECT_EQ(line, cut(topic, LOG_TEXT_MAX / 2) + " " + cut(payload, LOG_TEXT_MAX / 2) + "\n");

    std::string lib = "Client 02:FC:00:00:00:01 received PUBLISH (d0, q0, r0, m0, '" + topic +
                      "', ... (5 bytes))";
    testing::internal::CaptureStdout();
    my_log_callback(nullptr, nullptr, MOSQ_LOG_DEBUG, lib.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), cut(lib) + "\n");
}

// The queued text is bounded too: a list that would take it one byte past
// the bound is dropped whole, one that fills it exactly is taken, and the
// bytes of a command that leaves are free again.
TEST_F(Intake, ListBeyondTheByteBoundIsDroppedWhole) {
    const std::string big(settings.queued_bytes_max - 3, 'B');
    deliver("commands", "s;t;" + big);
    EXPECT_EQ(queue.bytes, (size_t)settings.queued_bytes_max - 1);
    EXPECT_EQ(deliver_logged("commands", "x;y"),
              "commands x;y\nDROPPED A LIST OF 2 COMMANDS (2 BYTES): QUEUE FULL\n");
    EXPECT_EQ(queue.count, 3);
    EXPECT_EQ(deliver_logged("commands", ";z;"), "commands ;z;\nTOKENIZED COMMAND: z\n");
    EXPECT_EQ(queue.bytes, (size_t)settings.queued_bytes_max);

    cycle();
    EXPECT_EQ(device_reads(), "s");
    device_answers("OK\n");
    EXPECT_EQ(device_reads(), "#\nt");
    deliver("commands", "x");
    EXPECT_EQ(deliver_logged("commands", "y"),
              "commands y\nDROPPED A LIST OF 1 COMMANDS (1 BYTES): QUEUE FULL\n");
    EXPECT_EQ(queued(), (Strings{"t", big, "z", "x"}));
    EXPECT_EQ(queue.bytes, (size_t)settings.queued_bytes_max);
}

// A persistent session's broker sends an unacknowledged list again at the
// next connection, DUP set and under its mid: it runs once. Short of all of
// that (a mid reused for another payload or in the same connection, no DUP,
// a session the broker did not keep) it is a new list and runs.
TEST_F(Intake, ListDeliveredAgainAtTheNextConnectionOfTheSessionRunsOnce) {
    auto arrive = [&](int mid, bool dup, const std::string &list) {
        char line[128];
        snprintf(line, sizeof(line),
                 "Client X received PUBLISH (d%d, q1, r0, m%d, 'commands', ... (%zu bytes))", dup,
                 mid, list.size());
        testing::internal::CaptureStdout();
        my_log_callback(NULL, NULL, MOSQ_LOG_DEBUG, line);
        ::deliver("commands", (const unsigned char *)list.data(), list.size(), mid);
        return testing::internal::GetCapturedStdout().find("DROPPED A LIST DELIVERED AGAIN (MID " +
                                                           std::to_string(mid) + ")") ==
               std::string::npos;
    };
    intake_connection_began(false);
    EXPECT_TRUE(arrive(5, false, "a"));
    EXPECT_TRUE(arrive(5, true, "a")) << "the same connection: the broker had its PUBACK";
    intake_connection_began(true);
    EXPECT_FALSE(arrive(5, true, "a"));
    EXPECT_TRUE(arrive(6, true, "b")) << "never taken before";
    intake_connection_began(true);
    EXPECT_TRUE(arrive(6, true, "B")) << "another payload under the mid";
    EXPECT_TRUE(arrive(5, false, "a")) << "no DUP: sent anew";
    intake_connection_began(false);
    EXPECT_TRUE(arrive(6, true, "B")) << "a new session forgets what was taken";
    EXPECT_EQ(queued(), (Strings{"a", "a", "b", "B", "a", "B"}));
}
