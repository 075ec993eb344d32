// TLS end to end: certificates that must not lead to a session, TLS files
// missing at start or gone later, and a broker that keeps failing the
// handshake. A relay in front of the broker sees every connection and every
// byte the bridge sends, so that "no session" also means "nothing in the
// clear".
#include "e2e_fixture.h"

using namespace e2e;
using Strings = std::vector<std::string>;

namespace {

// The bytes of the login (and of any CONNECT: the client id is in it) that
// must never cross the network in the clear.
::testing::AssertionResult no_plaintext_login(const std::string &bytes) {
    for (const char *secret : {"vmzq", "\"login\"", kMac, "MQTT"})
        if (bytes.find(secret) != std::string::npos)
            return ::testing::AssertionFailure() << "\"" << secret << "\" sent in the clear";
    return ::testing::AssertionSuccess();
}

using TlsFaults = E2E;

// The relay's own check: a plaintext client is seen, CONNECT and all.
TEST_F(TlsFaults, TapSeesAPlaintextConnect) {
    broker.stop();
    Relay tap(0);
    RemoteClient::Options plain;
    plain.id = std::string("probe-") + kMac;
    plain.tls = false;
    EXPECT_FALSE(RemoteClient(plain).connect(1s));
    EXPECT_EQ(tap.connections(), 1);
    EXPECT_FALSE(no_plaintext_login(tap.client_bytes()));
}

struct TlsCase {
    const char *name;
    std::string Certs::*broker_cert; // what the broker presents
    std::string Certs::*broker_key;
    std::string Certs::*bridge_cert; // what the bridge presents
    std::string Certs::*bridge_key;
    const char *bridge_says; // in the bridge's log
};

void PrintTo(const TlsCase &c, std::ostream *os) {
    *os << c.name;
}

class TlsRefused : public E2E, public ::testing::WithParamInterface<TlsCase> {};

// The broker listens behind the tap, which sees the bytes the bridge sends.
TEST_P(TlsRefused, NoSessionNoPlaintextAndTheBridgeKeepsTrying) {
    const TlsCase &c = GetParam();
    BrokerConfig config = BrokerConfig::serving(certs().*c.broker_cert, certs().*c.broker_key);
    config.port = kPort + 1;
    ASSERT_TRUE(broker.restart(config));
    copy_file(certs().*c.bridge_cert, dir.file("tls-cert.pem"));
    copy_file(certs().*c.bridge_key, dir.file("tls-key.pem"), 0600);
    Relay tap(kPort + 1);
    bridge.start();

    EXPECT_TRUE(eventually(10s, [&] { return tap.connections() >= 4; }))
        << tap.connections() << " connection attempts";
    EXPECT_TRUE(bridge.running());
    EXPECT_TRUE(no_plaintext_login(tap.client_bytes()));
    EXPECT_EQ(broker.log_count(kAnyClient), 0);
    std::string out = bridge.stdout_text();
    EXPECT_EQ(count(out, "received CONNACK"), 0);
    EXPECT_NE(out.find(c.bridge_says), std::string::npos) << out;
    figure("connection_attempts", tap.connections());
    figure("bytes_from_bridge", (long)tap.client_bytes().size());
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsRefused,
                         ::testing::Values(TlsCase{"BrokerFromAnotherCa", &Certs::other_broker_cert,
                                                   &Certs::other_broker_key, &Certs::client_cert,
                                                   &Certs::client_key, "certificate verify failed"},
                                           TlsCase{"BrokerForAnotherHost", &Certs::elsewhere_cert,
                                                   &Certs::elsewhere_key, &Certs::client_cert,
                                                   &Certs::client_key,
                                                   "host name verification failed"},
                                           TlsCase{"BridgeFromAnotherCa", &Certs::broker_cert,
                                                   &Certs::broker_key, &Certs::other_client_cert,
                                                   &Certs::other_client_key, "alert unknown ca"}),
                         [](const auto &info) { return std::string(info.param.name); });

class TlsFilesLate : public E2E, public ::testing::WithParamInterface<Strings> {};

// Without any one of its TLS files the bridge must not connect at all (the
// MQTT library would go ahead in plaintext), and keeps running; once they are
// there it connects without being restarted.
TEST_P(TlsFilesLate, NoConnectionWithoutThemThenLoginOnceThere) {
    broker.stop();
    for (const std::string &f : GetParam())
        ASSERT_EQ(rename(dir.file(f).c_str(), dir.file(f + ".later").c_str()), 0) << f;
    {
        Relay tap(0);
        bridge.start();
        ASSERT_TRUE(bridge.wait_for_stdout("TLS input parameters are invalid.\n", 5s));
        std::this_thread::sleep_for(5s);
        EXPECT_EQ(tap.connections(), 0);
        EXPECT_TRUE(no_plaintext_login(tap.client_bytes()));
        EXPECT_TRUE(bridge.running());
    }
    ASSERT_TRUE(broker.start());
    RemoteClient remote;
    ASSERT_TRUE(remote.connect());
    ASSERT_TRUE(remote.subscribe("login"));
    auto provided = Clock::now();
    // Each file appears whole.
    for (const std::string &f : GetParam())
        ASSERT_EQ(rename(dir.file(f + ".later").c_str(), dir.file(f).c_str()), 0) << f;

    auto login = remote.wait_for_message("login", 5s);
    ASSERT_TRUE(login) << bridge.stdout_text();
    EXPECT_EQ(login->payload, login_payload(kMac));
    EXPECT_EQ(count(bridge.stdout_text(), "TLS input parameters are invalid.\n"), 1)
        << "said once, not at every retry";
    figure("ms_from_files_to_login",
           (long)std::chrono::duration_cast<Duration>(Clock::now() - provided).count());
}

INSTANTIATE_TEST_SUITE_P(Tls, TlsFilesLate,
                         ::testing::Values(Strings{"crt.ca.qx.pem"}, Strings{"tls-cert.pem"},
                                           Strings{"tls-key.pem"},
                                           Strings{"crt.ca.qx.pem", "tls-cert.pem", "tls-key.pem"}),
                         [](const auto &info) {
                             const Strings &files = info.param;
                             return files.size() > 1             ? std::string("AllThree")
                                    : files[0][0] == 'c'         ? std::string("CaFile")
                                    : files[0] == "tls-cert.pem" ? std::string("CertFile")
                                                                 : std::string("KeyFile");
                         });

// Once a session has existed and the network loop has returned, a refused
// re-application of the TLS settings (the CA file is gone) must keep the
// bridge off the network: the refused call has cleared the CA, so any
// attempt would run without it. The tap stands in front of the broker and
// counts every TCP connection, those while the broker is down included.
TEST_F(TlsFaults, CaFileGoneAfterASessionMeansNoConnectionUntilItIsBack) {
    BrokerConfig config;
    config.port = kPort + 1;
    ASSERT_TRUE(broker.restart(config));
    Relay tap(kPort + 1);
    bridge.start();
    ASSERT_TRUE(broker.wait_for_log(kLogin, 10s));
    ASSERT_EQ(rename(dir.file("crt.ca.qx.pem").c_str(), dir.file("ca.later").c_str()), 0);
    broker.kill();
    ASSERT_TRUE(bridge.wait_for_stderr("Network loop stopped: ", 5s)) << "the loop did not return";
    ASSERT_TRUE(broker.start(config));
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(tap.connections(), 1) << "connections made while the CA file was missing";

    auto provided = Clock::now();
    ASSERT_EQ(rename(dir.file("ca.later").c_str(), dir.file("crt.ca.qx.pem").c_str()), 0);
    EXPECT_TRUE(broker.wait_for_log(kLogin, 5s, 2));
    EXPECT_EQ(tap.connections(), 2);
    EXPECT_TRUE(no_plaintext_login(tap.client_bytes()));
    EXPECT_EQ(count(bridge.stdout_text(), "TLS input parameters are invalid.\n"), 1);
    figure("connections_while_ca_missing", tap.connections() - 1);
    figure("ms_from_ca_file_to_login",
           (long)std::chrono::duration_cast<Duration>(Clock::now() - provided).count());
}

// A broker that keeps failing the TLS handshake stops the network loop again
// and again; the bridge says so once, and once more with the count when the
// session comes back. The count is checked against the library's log:
// a handshake that fails after "sending CONNECT" ends the loop, while one
// that fails inside a blocking (re)connect logs no CONNECT and is retried
// by the library without the loop returning.
TEST_F(TlsFaults, RefusedForTenSecondsTheLoopStopIsLoggedOnceWithItsCount) {
    ASSERT_TRUE(
        broker.restart(BrokerConfig::serving(certs().other_broker_cert, certs().other_broker_key)));
    bridge.start();
    std::this_thread::sleep_for(10s);
    ASSERT_TRUE(broker.restart(BrokerConfig()));
    ASSERT_TRUE(broker.wait_for_log(kLogin, 10s));

    // Each attempt ends at its failed handshake, whether or not the library
    // had queued its CONNECT by then.
    int stops = count(bridge.stdout_text(), "certificate verify failed");
    ASSERT_GE(stops, 1);
    const std::string tls = "Network loop stopped: A TLS error occurred.";
    if (stops > 1) {
        EXPECT_TRUE(bridge.wait_for_stderr(" times)\n", 1s));
    }
    std::string err = bridge.stderr_text();
    std::vector<std::string> lines = lines_of(err);
    // The restart can cut the attempt in progress short: ended by the cut, it
    // counts among the TLS stops, or stands on a line of its own.
    bool cut_alone = lines.size() > 1 && lines.back().find("TLS") == std::string::npos;
    if (cut_alone) {
        EXPECT_EQ(lines.back().rfind("Network loop stopped: ", 0), 0u) << err;
        lines.pop_back();
    }
    ASSERT_TRUE(lines.size() == 1 || lines.size() == 2) << err;
    EXPECT_EQ(lines[0], tls);
    int tls_stops = 1;
    if (lines.size() == 2) {
        int more = 0;
        EXPECT_EQ(sscanf(lines[1].c_str(), (tls + " (repeated %d times)").c_str(), &more), 1)
            << err;
        tls_stops += more;
    }
    EXPECT_TRUE(tls_stops == stops || (!cut_alone && tls_stops == stops + 1))
        << stops << " failed handshakes; " << err;
    figure("loop_stops", stops);
}

} // namespace
