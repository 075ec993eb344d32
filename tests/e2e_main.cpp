// main() of the end-to-end tests: each test process gets a network of its
// own before any test runs.
//
// gtest_discover_tests runs every test case as its own process, and ctest
// runs several at once; all of them need the fixed port 18883. A private
// network namespace gives each process its own loopback, so they never meet.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <string.h>

#include "harness.h"

int main(int argc, char **argv) {
    bool listing_only = false;
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--gtest_list_tests") == 0)
            listing_only = true;
    e2e::isolate_network(!listing_only);
    // The test's peers write to sockets the bridge or the broker may close:
    // libmosquitto 2.0.11 made the process ignore SIGPIPE, later ones do not.
    signal(SIGPIPE, SIG_IGN);
    mosquitto_lib_init();
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    mosquitto_lib_cleanup();
    return rc;
}
