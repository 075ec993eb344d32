// The test peers of the bridge, without a test framework: what the
// end-to-end tests, the benchmarks and the fleet driver stand the bridge
// among.
//   peer_basics.h  the port, scaled waits, Outcome, file helpers
//   peer_process.h WorkDir, Process, run_command, run_script
//   peer_certs.h   certs(): CA, broker and client certificates
//   peer_broker.h  Broker: mosquitto with mutual TLS, refusing, or plain;
//                  what its log shows of the bridge's sessions
//   peer_device.h  Pty (the serial device) and FakeIfconfig (busybox's)
//   peer_bridge.h  Bridge: the test build of the bridge as a process
//   peer_remote.h  RemoteClient: a remote party on the broker
//   net_peers.h    the process's network, FakePeer (misbehaving listeners)
//   peer_relay.h   Relay: a TCP relay that freezes, cuts, drops and taps
// Each test process (gtest_discover_tests runs one per case) gets its own
// network namespace from e2e_main.cpp, so the fixed port 18883 is free in
// every test. Every wait takes a timeout.
#ifndef BRIDGE_TESTS_HARNESS_H
#define BRIDGE_TESTS_HARNESS_H

#include "net_peers.h"
#include "peer_basics.h"
#include "peer_bridge.h"
#include "peer_broker.h"
#include "peer_certs.h"
#include "peer_device.h"
#include "peer_process.h"
#include "peer_relay.h"
#include "peer_remote.h"

#endif
