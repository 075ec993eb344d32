// The harness's own peers behave as the bridge's tests assume: each check
// here is one that a bridge test relies on being able to fail.
#include <fcntl.h>
#include <unistd.h>

#include "e2e_fixture.h"

using namespace e2e;

namespace {

using Harness = E2E;

TEST_F(Harness, RemoteClientsMeetOverMutualTls) {
    RemoteClient a("remote-a"), b("remote-b");
    ASSERT_TRUE(a.connect());
    ASSERT_TRUE(b.connect());
    ASSERT_TRUE(a.subscribe("commands"));
    std::string payload("a;b\0c", 5);
    ASSERT_TRUE(b.publish("commands", payload));
    auto m = a.wait_for_message("commands", 5s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, payload);
    EXPECT_EQ(m->qos, 1);
    EXPECT_TRUE(broker.wait_for_log(kAnyClient, 1s, 2));
}

TEST_F(Harness, ClientThatBrokerCannotTrustIsNotConnected) {
    // Nor is one that does not trust the broker.
    RemoteClient::Options untrusted;
    untrusted.id = "untrusted";
    untrusted.certfile = certs().other_client_cert;
    untrusted.keyfile = certs().other_client_key;
    EXPECT_FALSE(RemoteClient(untrusted).connect(2s));

    RemoteClient::Options distrustful;
    distrustful.id = "distrustful";
    distrustful.cafile = certs().other_ca;
    EXPECT_FALSE(RemoteClient(distrustful).connect(2s));
    EXPECT_EQ(broker.log_count(kAnyClient), 0);
}

TEST_F(Harness, BrokerCertificateVariantsFailVerification) {
    const struct {
        const char *name;
        std::string cert, key;
    } cases[] = {
        {"unrelated CA", certs().other_broker_cert, certs().other_broker_key},
        {"other host name", certs().elsewhere_cert, certs().elsewhere_key},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(broker.restart(BrokerConfig::serving(c.cert, c.key))) << c.name;
        EXPECT_FALSE(RemoteClient().connect(2s)) << c.name;
    }
    ASSERT_TRUE(broker.restart(BrokerConfig()));
    EXPECT_TRUE(RemoteClient().connect(2s));
}

TEST_F(Harness, RefusingAndPlainListeners) {
    ASSERT_TRUE(broker.restart(BrokerConfig::refusing()));
    EXPECT_FALSE(RemoteClient().connect(2s));

    ASSERT_TRUE(broker.restart(BrokerConfig::plain()));
    EXPECT_FALSE(RemoteClient().connect(2s)) << "TLS client accepted by a plain listener";
    EXPECT_EQ(broker.log_count(kAnyClient), 0);
    RemoteClient::Options plain;
    plain.tls = false;
    ASSERT_TRUE(RemoteClient(plain).connect(2s));
    EXPECT_TRUE(broker.wait_for_log(kAnyClient, 1s));
}

TEST_F(Harness, PtyCarriesBytesAndReportsMismatches) {
    int fd = open(dir.file("ttyATH0").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "#\n", 2), 2);
    EXPECT_TRUE(pty.expect_bytes("#\n", 1s));
    EXPECT_TRUE(pty.expect_silence(100ms));
    ASSERT_EQ(write(fd, "ab", 2), 2);
    EXPECT_FALSE(pty.expect_bytes("ax", 1s));
    EXPECT_FALSE(pty.expect_bytes("z", 100ms)) << "nothing came, yet expect_bytes passed";

    pty.write(std::string("!\0\xff", 3));
    char buf[3];
    EXPECT_EQ(read(fd, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), std::string("!\0\xff", 3));
    close(fd);
}

} // namespace
