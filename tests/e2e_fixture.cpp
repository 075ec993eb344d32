#include "e2e_fixture.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>

namespace e2e {

void figure(const std::string &name, long value) {
    ::testing::Test::RecordProperty(name, std::to_string(value));
    printf("FIGURE %s=%ld\n", name.c_str(), value);
    fflush(stdout);
}

E2E::E2E() : ifconfig(dir.path()), broker(dir.path()), bridge(dir.path(), ifconfig.bin_dir()) {}

void E2E::SetUp() {
    install_bridge_certs(dir.path());
    pty.link(dir.file("ttyATH0"));
    ASSERT_TRUE(broker.start());
}

namespace {

// Copies DIR/valgrind.* (a wrapper's reports) into $E2E_ARTIFACTS, named
// after the current test, so that they outlive the work dir.
void collect_artifacts(const std::string &dir) {
    const char *to = getenv("E2E_ARTIFACTS");
    if (!to || !*to)
        return;
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string prefix = test ? std::string(test->test_suite_name()) + "." + test->name() : "e2e";
    for (char &ch : prefix)
        if (ch == '/')
            ch = '_';
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::string name = e.path().filename();
        if (name.rfind("valgrind.", 0) == 0)
            copy_file(e.path().string(), std::string(to) + "/" + prefix + "." + name);
    }
}

} // namespace

void E2E::TearDown() {
    // Taken before the kill: whether the bridge ended by itself.
    std::optional<int> ended = bridge.running() ? std::nullopt : bridge.wait_exit(0ms);
    if (getenv("BRIDGE_WRAPPER"))
        bridge.stop(scaled(5s));
    else
        bridge.kill();
    collect_artifacts(dir.path());
    broker.stop();
    if (!HasFailure())
        return;
    dir.keep();
    std::string out = bridge.stdout_text(), err = bridge.stderr_text();
    printf("---- work dir (kept): %s\n", dir.path().c_str());
    if (ended)
        printf("---- bridge exited by itself, status %d\n", *ended);
    printf("---- bridge stdout:\n%s", out.c_str());
    printf("---- bridge stderr:\n%s", err.c_str());
    printf("---- broker output:\n%s", broker.output().c_str());
    printf("---- broker log:\n%s", broker.log().c_str());
    printf("----\n");
    fflush(stdout);
}

} // namespace e2e
