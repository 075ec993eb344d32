// The whole road with real peers: a remote party on the broker, the bridge,
// and the simulated firmware on the bridge's serial line.
#ifndef BRIDGE_TESTS_EXCHANGE_E2E_H
#define BRIDGE_TESTS_EXCHANGE_E2E_H

#include <memory>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "sim_firmware.h"

namespace e2e {

// The device answers and the remote party listens to "status_update" and
// "info"; the bridge is running and subscribed when the test body starts.
class Road : public E2E {
  protected:
    void SetUp() override {
        E2E::SetUp();
        device = std::make_unique<simfw::SimFirmware>(pty.master(), device_options());
        ASSERT_TRUE(remote.connect());
        ASSERT_TRUE(remote.subscribe("status_update"));
        ASSERT_TRUE(remote.subscribe("info"));
        bridge.start();
        ASSERT_TRUE(bridge.wait_for_stdout("received SUBACK", 10s));
    }

    void TearDown() override {
        device.reset();
        E2E::TearDown();
    }

    virtual simfw::Options device_options() {
        return {};
    }

    // The payloads received on TOPIC once there are N, or those that came in
    // TIMEOUT.
    std::vector<std::string> payloads(const std::string &topic, size_t n, Duration timeout) {
        std::vector<std::string> out;
        for (const Message &m : remote.wait_for_count(topic, n, timeout))
            out.push_back(m.payload);
        return out;
    }

    // COMMANDS reached the device once each, in order, none while an earlier
    // one was unanswered, and their reports were published in that order;
    // the device has taken ACKS "#\n" in all.
    void expect_answered_in_order(const std::vector<std::string> &commands, size_t acks,
                                  Duration timeout) {
        std::vector<std::string> reports;
        for (const std::string &c : commands)
            reports.push_back(report_payload("OK " + c + "\n"));
        EXPECT_EQ(payloads("status_update", commands.size(), timeout), reports);
        EXPECT_TRUE(device->wait_for_acks(acks, 2s));
        EXPECT_EQ(device->command_texts(), commands);
        for (const auto &cmd : device->commands())
            EXPECT_FALSE(cmd.while_busy) << cmd.text << " sent before the previous was answered";
    }

    RemoteClient remote{"e2e-road"};
    std::unique_ptr<simfw::SimFirmware> device;
};

} // namespace e2e

#endif
