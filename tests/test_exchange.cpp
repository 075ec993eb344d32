// The exchange loop's poll cycle: acknowledgements, reports, publishing.
#include "bridge_fixture.h"
#include "log_text.h"
#include "peer_basics.h"

#include <thread>

using Strings = std::vector<std::string>;
using Exchange = BridgeTest;

using e2e::report_payload;

TEST_F(Exchange, RoadOfOneCommandList) {
    deliver("commands", "a;b");
    cycle();
    EXPECT_EQ(device_reads(), "a");

    device_sends("#");
    EXPECT_EQ(cycle(), "RECEIVED SERIAL_ACK\n");
    EXPECT_EQ(IDLE, 1);

    device_sends("OK a\n");
    EXPECT_EQ(cycle(), "RECEIVED STATUS UPDATE FROM ARDUINO.\n"
                       "SENDING TO ARDUINO: b\nWAITING FOR A SERIAL ACK !\n");
    EXPECT_EQ(device_reads(), "#\nb");
    EXPECT_EQ(queued(), Strings{"b"});
    EXPECT_EQ(IDLE, 0);

    device_answers("OK b\n");
    EXPECT_EQ(device_reads(), "#\n");
    EXPECT_EQ(queue.count, 0);
    EXPECT_EQ(IDLE, 1);

    ASSERT_EQ(published.size(), 2u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(published[i].topic, "status_update");
        EXPECT_EQ(published[i].qos, 1);
        EXPECT_FALSE(published[i].retain);
    }
    EXPECT_EQ(published[0].payload, report_payload("OK a\n"));
    EXPECT_EQ(published[1].payload, report_payload("OK b\n"));
}

TEST_F(Exchange, InformationReportGoesToInfoAndLeavesTheQueueAlone) {
    device_sends("!boot\n");
    EXPECT_EQ(cycle(), "");
    EXPECT_EQ(device_reads(), "#\n");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].topic, "info");
    EXPECT_EQ(published[0].payload, report_payload("!boot\n"));
    EXPECT_EQ(IDLE, 1);
    EXPECT_EQ(queue.count, 0);
}

TEST_F(Exchange, NoiseBeforeTheAcknowledgementIsReportedAndTheRestDiscarded) {
    deliver("commands", "a");
    cycle();
    device_reads();
    device_sends("x#yz");
    EXPECT_EQ(cycle(), "[x] INSTEAD OF ACK\nRECEIVED SERIAL_ACK\n");
    EXPECT_EQ(IDLE, 1);
    EXPECT_EQ(serial_available(), 0);
    EXPECT_TRUE(published.empty());
}

TEST_F(Exchange, AwaitingModeDropsEverythingButTheAcknowledgement) {
    deliver("commands", "a");
    cycle();
    device_reads();
    device_sends("OK");
    EXPECT_EQ(cycle(), "[O] INSTEAD OF ACK\n[K] INSTEAD OF ACK\n");
    EXPECT_EQ(IDLE, 0);
    EXPECT_EQ(queued(), Strings{"a"});
}

// Reports longer than 100 bytes: the first 100 are published, the rest
// dropped and counted; nothing of a long report shows in the next one (each
// case fills its report with its own letter).
TEST_F(Exchange, OversizeReportsAreCutTo100BytesAndTheRestCounted) {
    const struct {
        size_t size;
        int dropped;
    } cases[] = {{150, 50}, {80, 0}, {2, 0}, {101, 1}, {100, 0}, {4000, 3900}, {5, 0}};
    char fill = 'a';
    for (const auto &c : cases) {
        SCOPED_TRACE("report size " + std::to_string(c.size));
        const std::string report(c.size, fill++);
        published.clear();
        device_sends(report);
        std::string dropped =
            "DROPPED " + std::to_string(c.dropped) + " BYTES BEYOND A 100-BYTE REPORT\n";
        EXPECT_EQ(cycle(), (c.dropped ? dropped : "") + "RECEIVED STATUS UPDATE FROM ARDUINO.\n");
        ASSERT_EQ(published.size(), 1u);
        EXPECT_EQ(published[0].payload, report_payload(report.substr(0, 100)));
        EXPECT_EQ(serial_available(), 0);
        EXPECT_EQ(device_reads(), "#\n");
    }
}

TEST_F(Exchange, StatusReportWithNoCommandOutstandingIsPublishedAndRemovesNothing) {
    device_sends("late\n");
    cycle();
    EXPECT_EQ(device_reads(), "#\n");
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].topic, "status_update");
    EXPECT_EQ(queue.count, 0);
    EXPECT_EQ(IDLE, 1);
    // The next list is sent whole, from its own first command.
    deliver("commands", "a;b");
    EXPECT_EQ(queued(), (Strings{"a", "b"}));
    cycle();
    EXPECT_EQ(device_reads(), "a");
}

// A command longer than the line takes at once goes out in pieces, with
// bridge_lock let go while the line drains; a device that has stopped
// reading is given up after 10 s with one line, and the command stays
// outstanding for its deadline to free.
TEST_F(Exchange, LongWriteLetsTheLockGoAndAStalledLineIsGivenUp) {
    deliver("commands", std::string(1 << 20, 'x'));
    std::string log;
    std::thread exchange([&] { log = cycle(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    bool lock_free = pthread_mutex_trylock(&bridge_lock) == 0;
    if (lock_free)
        pthread_mutex_unlock(&bridge_lock);
    EXPECT_TRUE(lock_free) << "the lock was held while the line was full";
    exchange.join();
    std::string arrived = device_reads();
    EXPECT_GT(arrived.size(), 0u);
    EXPECT_EQ(log, "SENDING TO ARDUINO: " + std::string(LOG_TEXT_MAX, 'x') +
                       "... (1048576 BYTES)\nSERIAL WRITE STALLED: " +
                       std::to_string((1 << 20) - arrived.size()) +
                       " BYTES NOT WRITTEN\nWAITING FOR A SERIAL ACK !\n");
    EXPECT_EQ(exchange_state(), AWAITING_ACK);
    EXPECT_EQ(queue.count, 1);
}

TEST_F(Exchange, QuietLineCycleDoesNothingInTheWaitingStates) {
    EXPECT_EQ(cycle(), "");
    EXPECT_EQ(exchange_state(), WAITING_FOR_REPORT);
    EXPECT_EQ(IDLE, 1);
    // A command outstanding, or one held by the stop.
    queue.push(&queue, strdup("a"));
    for (ExchangeState s : {AWAITING_ACK, AWAITING_REPORT, STOPPING}) {
        exchange_reset(s);
        EXPECT_EQ(cycle(), "") << s;
        EXPECT_EQ(exchange_state(), s);
        EXPECT_EQ(IDLE, s == AWAITING_ACK ? 0 : 1) << s;
    }
    EXPECT_EQ(queued(), Strings{"a"});
    EXPECT_TRUE(published.empty());
}

// Reports read while the link is down wait, in order, until the next login is
// acknowledged; only then, from the next cycle, are they handed to the library.
TEST_F(Exchange, ReportsReadWhileTheSessionIsDownFollowTheAcknowledgedLogin) {
    session_lost();
    for (const char *report : {"!one\n", "two\n"}) {
        device_sends(report);
        cycle();
        EXPECT_EQ(device_reads(), "#\n") << "the device is answered at once";
    }
    EXPECT_TRUE(published.empty());

    my_connect_callback(NULL, NULL, 0);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].topic, "login");
    int login = last_mid;
    device_sends("!three\n");
    cycle();
    my_publish_callback(NULL, NULL, login - 1); // a PUBACK of something else
    cycle();
    EXPECT_EQ(published.size(), 1u) << "nothing goes before the login's PUBACK";

    my_publish_callback(NULL, NULL, login);
    EXPECT_EQ(published.size(), 1u) << "not from the network thread's handler";
    cycle();
    device_sends("four\n");
    cycle();
    ASSERT_EQ(published.size(), 5u);
    const char *topics[] = {"info", "status_update", "info", "status_update"};
    const char *texts[] = {"!one\n", "two\n", "!three\n", "four\n"};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(published[i + 1].topic, topics[i]);
        EXPECT_EQ(published[i + 1].payload, report_payload(texts[i]));
    }
}

// With the broker slow to acknowledge, at most 10 reports are in the library;
// the rest wait in order and go out as acknowledgements free the window.
TEST_F(Exchange, AtMostTenReportsAwaitTheirAcknowledgement) {
    std::vector<int> unacknowledged;
    for (int i = 0; i < 14; i++) {
        device_sends("!r" + std::to_string(i) + "\n");
        testing::internal::CaptureStdout();
        serial_reads_cycle(); // no acknowledgement between cycles
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(device_reads(), "#\n") << "the device is answered at once";
    }
    ASSERT_EQ(published.size(), 10u);
    std::vector<int> window = reports_in_flight;
    reports_in_flight.clear();
    my_publish_callback(NULL, NULL, window[3]); // out of order, as the broker may
    my_publish_callback(NULL, NULL, window[0]);
    cycle();
    ASSERT_EQ(published.size(), 12u);
    for (int mid : window)
        my_publish_callback(NULL, NULL, mid);
    cycle();
    ASSERT_EQ(published.size(), 14u);
    for (int i = 0; i < 14; i++)
        EXPECT_EQ(published[i].payload, report_payload("!r" + std::to_string(i) + "\n"));
}

// A client torn down with reports unacknowledged: they go back ahead of the
// reports read since, and after the next acknowledged login all of them are
// published again as new publishes, in the device's order.
TEST_F(Exchange, UnacknowledgedReportsComeBackAheadOfNewerOnes) {
    for (const char *report : {"!a\n", "!b\n"}) {
        device_sends(report);
        testing::internal::CaptureStdout();
        serial_reads_cycle(); // handed over, never acknowledged
        testing::internal::GetCapturedStdout();
    }
    ASSERT_EQ(published.size(), 2u);
    reports_in_flight.clear();
    session_lost();
    device_sends("!c\n");
    cycle();
    EXPECT_EQ(outbox_held(), 3);
    EXPECT_EQ(outbox_in_flight(), 0);

    published.clear();
    session_up();
    cycle();
    ASSERT_EQ(published.size(), 4u);
    EXPECT_EQ(published[0].topic, "login");
    const char *texts[] = {"!a\n", "!b\n", "!c\n"};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(published[i + 1].payload, report_payload(texts[i]));
}
