// Start-up and the broker session, against a real broker and serial line.
#include <unistd.h>

#include <thread>

#include "e2e_fixture.h"

using namespace e2e;

namespace {

using Startup = E2E;

// The broker's record of the bridge's login: QoS 1, no retain, 55 bytes.
const std::regex kLoginReceived(
    R"(Received PUBLISH from 02:FC:00:00:00:01 \(d\d, q1, r0, m\d+, 'login', \.\.\. \(55 bytes\)\))");

// The bridge started with REMOTE listening on "login": its login, if one
// came within 5 s.
std::optional<Message> login_after_start(Bridge &bridge, RemoteClient &remote) {
    EXPECT_TRUE(remote.connect());
    EXPECT_TRUE(remote.subscribe("login"));
    bridge.start();
    return remote.wait_for_message("login", 5s);
}

TEST_F(Startup, LoginIsTheExact55ByteTextAtQos1) {
    RemoteClient remote;
    auto login = login_after_start(bridge, remote);
    ASSERT_TRUE(login) << bridge.stdout_text();
    EXPECT_EQ(login->payload, R"({"ID":"02:FC:00:00:00:01","login":"test","pass":"vmzq"})");
    EXPECT_EQ(login->qos, 1);
    EXPECT_FALSE(login->retain);
    EXPECT_TRUE(broker.wait_for_log(kLoginReceived, 1s));
    // Client id is the address; clean session; keep-alive 60 s.
    EXPECT_EQ(broker.log_count(std::regex(R"(as 02:FC:00:00:00:01 \(p2, c1, k60\))")), 1);
    EXPECT_EQ(remote.wait_for_count("login", 2, 500ms).size(), 1u) << "login sent twice";
}

// What ifconfig prints: the fake's busybox output with MORE after it, or
// OWN in its place when set.
struct IdentityCase {
    const char *name;
    std::string more, own;
    std::string payload;
};

void PrintTo(const IdentityCase &c, std::ostream *os) {
    *os << c.name;
}

const char kTunListing[] =
    "tun0      Link encap:UNSPEC  HWaddr 00-00-00-00-00-00-00-00-00-00-00-00-00-00-00-00  \n"
    "          inet addr:10.8.0.2  P-t-P:10.8.0.2  Mask:255.255.255.0\n";

class Identity : public E2E, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(Identity, LoginCarriesTheLastHardwareAddress) {
    const IdentityCase &c = GetParam();
    ifconfig.set_output(c.own.empty() ? ifconfig.output() + c.more : c.own);
    RemoteClient remote;
    auto login = login_after_start(bridge, remote);
    ASSERT_TRUE(login) << bridge.stdout_text();
    EXPECT_EQ(escape(login->payload), escape(GetParam().payload));
}

INSTANTIATE_TEST_SUITE_P(
    Ifconfig, Identity,
    ::testing::Values(
        IdentityCase{"Busybox", "", "", login_payload(kMac)},
        IdentityCase{"LastInterfaceWins",
                     "lo        Link encap:Local Loopback  \n"
                     "          inet addr:127.0.0.1  Mask:255.0.0.0\n"
                     "wlan0     Link encap:Ethernet  HWaddr 02:FC:00:00:00:02  \n",
                     "", login_payload("02:FC:00:00:00:02")},
        // Shorter than 17: no line end in the ID, zeros after the text.
        IdentityCase{"ShortAddress", "", "eth0      Link encap:Ethernet  HWaddr 02:FC:00:01  \n",
                     login_payload("02:FC:00:01")},
        IdentityCase{"LongAddressCutTo17", "",
                     "eth0      Link encap:Ethernet  HWaddr 02:FC:00:00:00:01:AB:CD  \n",
                     login_payload(kMac)},
        // A VPN up: busybox lists the tun interface after the Ethernet one.
        IdentityCase{"TunInterfaceIsSkipped", kTunListing, "", login_payload(kMac)},
        IdentityCase{"OnlyATunInterface", "", kTunListing, login_payload("00-00-00-00-00-00")}),
    [](const auto &info) { return std::string(info.param.name); });

// A broker that refuses for ten seconds: one line when it begins, and the
// count of the refusals that followed when a session comes back.
TEST_F(Startup, RefusedConnectionIsReportedOnceWithoutLogin) {
    ASSERT_TRUE(broker.restart(BrokerConfig::refusing()));
    bridge.start();
    EXPECT_TRUE(bridge.wait_for_stderr("Connect failed\n", 5s));
    std::this_thread::sleep_for(10s);
    EXPECT_EQ(broker.log_count(std::regex("Received PUBLISH")), 0);
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(bridge.stderr_text(), "Connect failed\n");

    ASSERT_TRUE(broker.restart(BrokerConfig()));
    ASSERT_TRUE(broker.wait_for_log(kLoginReceived, 10s));
    int refused = broker.log_count(std::regex("not authorised"));
    EXPECT_GE(refused, 5);
    // The count comes with the login's PUBACK, a moment after the broker
    // logged the login. The restart may also stop the network loop, which
    // says so itself.
    EXPECT_TRUE(bridge.wait_for_stderr(" times)\n", 2s));
    std::string err = bridge.stderr_text();
    EXPECT_EQ(count(err, "Connect failed"), 2) << err;
    EXPECT_EQ(count(err, "Connect failed (repeated " + std::to_string(refused - 1) + " times)\n"),
              1)
        << err;
    figure("refusals", refused);
}

TEST_F(Startup, MissingOrNonTerminalSerialDeviceEndsWithStatus1) {
    unlink(dir.file("ttyATH0").c_str());
    bridge.start();
    EXPECT_EQ(bridge.wait_exit(5s), 1);
    EXPECT_EQ(bridge.stderr_text(), "Unable to open the serial port ./ttyATH0\n");
    // A regular file where the device should be: it opens, but is no line.
    FILE *f = fopen(dir.file("ttyATH0").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    bridge.start();
    EXPECT_EQ(bridge.wait_exit(5s), 1);
    EXPECT_EQ(bridge.stderr_text().rfind("Unable to set up the serial port ./ttyATH0: ", 0), 0u)
        << bridge.stderr_text();
    EXPECT_EQ(broker.log_count(kAnyClient), 0);
}

TEST_F(Startup, NoHardwareAddressEndsWithOutOfMemory) {
    const char *listings[] = {
        "", // nothing at all
        // Debian's net-tools: no "HWaddr" column
        "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
        "        ether 02:fc:00:00:00:01  txqueuelen 1000  (Ethernet)\n",
    };
    for (const char *listing : listings) {
        ifconfig.set_output(listing);
        bridge.start();
        EXPECT_EQ(bridge.wait_exit(5s), 1) << listing;
        EXPECT_EQ(bridge.stderr_text(), "Error: Out of memory.\n") << listing;
    }
    EXPECT_EQ(broker.log_count(kAnyClient), 0);
}

} // namespace
