// The bridge under test: the test build run as a child process.
#ifndef BRIDGE_TESTS_PEER_BRIDGE_H
#define BRIDGE_TESTS_PEER_BRIDGE_H

#include <sys/types.h>

#include <optional>
#include <string>

#include "peer_basics.h"
#include "peer_device.h"
#include "peer_process.h"

namespace e2e {

// The test build of the bridge, run in DIR with BIN_DIR first on PATH.
// stdout and stderr go to DIR/bridge.stdout and DIR/bridge.stderr, emptied at
// each start. BRIDGE_EXE, when set, names the executable to run instead of
// the test build. The environment variable BRIDGE_WRAPPER, when set, is a command
// prefix split on spaces; it must keep its own output off stderr, e.g.
// "valgrind --log-file=valgrind.%p --error-exitcode=99" (relative to DIR).
// Under a wrapper the fixture ends the bridge with stop(), so that the
// wrapper sees a fatal signal it can report on rather than a SIGKILL, and
// copies DIR/valgrind.* into the folder named by E2E_ARTIFACTS, if set.
class Bridge {
  public:
    Bridge(std::string dir, std::string bin_dir)
        : dir_(std::move(dir)), bin_dir_(std::move(bin_dir)) {}
    // Runs the test build NAME (made by bridge_add_test_build, beside the
    // default one) at the next start, instead of the default test build.
    void use_build(const std::string &name);
    void start();
    bool running() {
        return process_.running();
    }
    pid_t pid() const {
        return process_.pid();
    }
    std::optional<int> wait_exit(Duration timeout) {
        return process_.wait(timeout);
    }
    void signal(int sig) {
        process_.signal(sig);
    }
    // SIGKILL, as a power cut would. Under a wrapper, its report of this run
    // (DIR/valgrind.PID.log) is renamed to .killed: it can have no summary,
    // and a report left without one must mean an unplanned kill.
    void kill();
    void stop(Duration timeout) {
        process_.stop(timeout);
    }
    std::string stdout_text() const;
    std::string stderr_text() const;
    Outcome wait_for_stdout(const std::string &text, Duration timeout) const;
    Outcome wait_for_stderr(const std::string &text, Duration timeout) const;

  private:
    std::string dir_, bin_dir_;
    std::string exe_; // empty: BRIDGE_EXE or the default test build
    Process process_;
};

// Success once the bridge process has the serial line open, plus a moment
// for the discard of stale input that follows the open: bytes the device
// writes after that are read.
Outcome wait_for_line_open(const Bridge &bridge, const Pty &pty);

} // namespace e2e

#endif
