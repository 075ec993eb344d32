// The GoogleTest side of the end-to-end tests: the E2E fixture that stands
// the peers of harness.h around the bridge, and figures recorded as test
// properties. Only the test executables link this.
#ifndef BRIDGE_TESTS_E2E_FIXTURE_H
#define BRIDGE_TESTS_E2E_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "harness.h"

namespace e2e {

// A figure of a scenario: printed as "FIGURE name=value" and recorded as a
// test property, so a run shows what was survived, not only that it passed.
void figure(const std::string &name, long value);

// The usual scene: work dir with the bridge's certificates, busybox ifconfig,
// pty at DIR/ttyATH0, and a mutual-TLS broker running. The bridge is not
// started. On failure the bridge's and broker's output is printed and the
// work dir kept.
class E2E : public ::testing::Test {
  protected:
    E2E();
    void SetUp() override;
    void TearDown() override;

    WorkDir dir;
    FakeIfconfig ifconfig;
    Pty pty;
    Broker broker;
    Bridge bridge;
};

} // namespace e2e

#endif
