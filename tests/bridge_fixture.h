// In-process fixture for the bridge core: the serial module opened on the
// slave of a pseudo-terminal pair (the test plays the device on the master),
// publishes recorded instead of sent, and the handlers and the exchange
// loop's cycle called directly on the test's thread.
#ifndef BRIDGE_TEST_FIXTURE_H
#define BRIDGE_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bridge.h"
#include "bridge_probe.h"
#include "exchange.h"
#include "mosquitto-client.h"
#include "net_loop.h"
#include "outbox.h"
#include "serial.h"
#include "session.h"

class BridgeTest : public ::testing::Test {
  protected:
    int master = -1;

    void SetUp() override {
        master = line_open();
        queue = createQueue();
        exchange_reset(WAITING_FOR_REPORT);
        bridge_publish = record_publish;
        session_up();
        published.clear();
    }

    void TearDown() override {
        while (queue.count > 0)
            queue.pop(&queue);
        serial_end();
        close(master);
    }

    void deliver(const char *topic, const std::string &payload) {
        ::deliver(topic, (const unsigned char *)payload.data(), payload.size());
    }

    // Like deliver, returning what the handler printed.
    std::string deliver_logged(const char *topic, const std::string &payload) {
        testing::internal::CaptureStdout();
        deliver(topic, payload);
        return testing::internal::GetCapturedStdout();
    }

    // The device sends BYTES; returns once the bridge's side sees them all.
    // The client torn down, as the network loop does it at a lost session.
    void session_lost() {
        pthread_mutex_lock(&bridge_lock);
        outbox_client_gone();
        pthread_mutex_unlock(&bridge_lock);
    }

    void device_sends(const std::string &bytes) {
        ASSERT_TRUE(device_writes(master, bytes.data(), bytes.size())) << "bytes never arrived";
    }

    // Everything the bridge wrote to the line: what comes within WAIT_MS and
    // then while bytes keep coming.
    std::string device_reads(int wait_ms = 100) {
        return simfw::read_bytes(master, SIZE_MAX, std::chrono::milliseconds(wait_ms),
                                 std::chrono::milliseconds(20));
    }

    // The device answers the command on the line: "#", then REPORT, each
    // taken by a poll cycle.
    void device_answers(const std::string &report) {
        device_sends("#");
        cycle();
        device_sends(report);
        cycle();
    }

    // One poll cycle of the exchange loop; returns what it printed.
    std::string cycle() {
        testing::internal::CaptureStdout();
        serial_reads_cycle();
        acknowledge_publishes();
        return testing::internal::GetCapturedStdout();
    }
};

#endif
