// A long command list end to end: every command reaches the device once and
// every report reaches the remote party, in order.
#include "exchange_e2e.h"

using namespace e2e;

TEST_F(Road, ThousandCommandsAllReportedInOrder) {
    const int n = 1000;
    std::string list;
    for (int i = 0; i < n; i++)
        list += "cmd" + std::to_string(i) + ";";
    ASSERT_TRUE(remote.publish("commands", list));

    // Two poll cycles of 100 ms per command.
    std::vector<std::string> got = payloads("status_update", n, 400s);
    ASSERT_EQ(got.size(), (size_t)n);
    for (int i = 0; i < n; i++)
        ASSERT_EQ(got[i], report_payload("OK cmd" + std::to_string(i) + "\n")) << i;
    EXPECT_EQ(device->command_texts().size(), (size_t)n);
    EXPECT_TRUE(device->unexpected().empty());
}
