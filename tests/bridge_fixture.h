// In-process fixture for the bridge core: the serial module opened on the
// slave of a pseudo-terminal pair (the test plays the device on the master),
// publishes recorded instead of sent, and the handlers and the exchange
// loop's cycle called directly on the test's thread.
#ifndef BRIDGE_TEST_FIXTURE_H
#define BRIDGE_TEST_FIXTURE_H

#include <gtest/gtest.h>
#include <mosquitto.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bridge_probe.h"
#include "mosquitto-client.h"
#include "serial.h"

class BridgeTest : public ::testing::Test {
  protected:
    int master = -1;

    void SetUp() override {
        int slave = -1;
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        serial_begin(name, 115200);
        close(slave);
        queue = createQueue();
        IDLE = 1;
        head_written = false;
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
    void device_sends(const std::string &bytes) {
        int before = serial_available();
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (serial_available() < before + (int)bytes.size()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "bytes never arrived";
            usleep(1000);
        }
    }

    // Everything the bridge wrote to the line that arrives within WAIT_MS.
    std::string device_reads(int wait_ms = 100) {
        std::string got;
        struct pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, wait_ms) > 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof(buf));
            if (n <= 0)
                break;
            got.append(buf, n);
            wait_ms = 20;
        }
        return got;
    }

    // One poll cycle of the exchange loop; returns what it printed.
    std::string cycle() {
        testing::internal::CaptureStdout();
        serial_reads_cycle();
        return testing::internal::GetCapturedStdout();
    }
};

#endif
