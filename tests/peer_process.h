// Where the peers run: a temporary work dir, child processes, and the shared
// scripts that write the peers' files.
#ifndef BRIDGE_TESTS_PEER_PROCESS_H
#define BRIDGE_TESTS_PEER_PROCESS_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "peer_basics.h"

namespace e2e {

// A temporary folder (mode 0755, so the broker can read it after dropping
// root), removed with its contents on destruction unless keep() was called.
class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    const std::string &path() const {
        return path_;
    }
    std::string file(const std::string &name) const {
        return path_ + "/" + name;
    }
    void keep() {
        keep_ = true;
    }

  private:
    std::string path_;
    bool keep_ = false;
};

// A child process in its own process group, stdin from /dev/null. Killed
// (SIGKILL to its group) and reaped on destruction.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    // argv[0] is looked up in PATH when it has no '/'. ENV empty: inherit.
    // Throws when it cannot be started.
    void start(const std::vector<std::string> &argv, const std::string &cwd,
               const std::string &out_path, const std::string &err_path,
               const std::vector<std::string> &env = {});
    pid_t pid() const {
        return pid_;
    }
    bool running();
    // Exit status (128 + signal number when killed by a signal), or nothing
    // when still running after TIMEOUT.
    std::optional<int> wait(Duration timeout);
    void signal(int sig); // to the process itself, if running
    void kill();          // SIGKILL to the group, then reap
    // SIGTERM, then kill() when still running after TIMEOUT.
    void stop(Duration timeout);

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs ARGV to completion (cwd CWD) and returns its exit status; its output
// goes to OUTPUT. Throws when it runs longer than TIMEOUT.
int run_command(const std::vector<std::string> &argv, const std::string &cwd, std::string *output,
                Duration timeout = 30s);

// Runs scripts/NAME with ARGS in DIR and returns its output; throws with the
// output when it fails.
std::string run_script(const std::string &name, std::vector<std::string> args,
                       const std::string &dir);

} // namespace e2e

#endif
