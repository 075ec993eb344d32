// main() of the end-to-end tests: each test process gets a network of its
// own before any test runs.
//
// gtest_discover_tests runs every test case as its own process, and ctest
// runs several at once; all of them need the fixed port 18883. A private
// network namespace gives each process its own loopback, so they never meet.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// A new namespace has a loopback interface, but it is down.
bool bring_loopback_up() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    int saved = errno;
    close(s);
    errno = saved;
    return ok;
}

// Without a namespace of its own (no CAP_SYS_ADMIN) a test process shares the
// host's port 18883 with every other test process; a lock file makes them
// take turns instead of failing on each other's broker.
void take_host_port_lock() {
    const char *path = "/tmp/mqtt-serial-bridge-e2e.lock";
    int fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0666); // flock needs no write access
    if (fd < 0) {
        fprintf(stderr, "e2e: cannot open %s: %s; running unlocked\n", path, strerror(errno));
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            fprintf(stderr, "e2e: %s still locked after 5 minutes; running unlocked\n", path);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The descriptor stays open: the lock is released when the process ends.
}

void isolate_network(bool listing_only) {
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "e2e: no private network namespace (unshare: %s); using the host's\n",
                strerror(errno));
        if (!listing_only)
            take_host_port_lock();
        return;
    }
    if (!bring_loopback_up())
        fprintf(stderr, "e2e: cannot bring up lo in the new namespace: %s\n", strerror(errno));
}

} // namespace

int main(int argc, char **argv) {
    bool listing_only = false;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--gtest_list_tests") == 0)
            listing_only = true;
    isolate_network(listing_only);
    mosquitto_lib_init();
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    mosquitto_lib_cleanup();
    return rc;
}
