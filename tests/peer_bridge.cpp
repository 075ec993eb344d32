#include "peer_bridge.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#ifndef E2E_BRIDGE_PATH
#error "E2E_BRIDGE_PATH must be defined"
#endif

extern char **environ;

namespace e2e {

namespace {

Outcome wait_for_file_text(const std::string &path, const std::string &text, Duration timeout,
                           const char *what) {
    if (eventually(timeout, [&] { return read_file(path).find(text) != std::string::npos; }))
        return Outcome::success();
    return Outcome::failure("\"", escape(text), "\" not on ", what, " within ", timeout.count(),
                            " ms; it holds:\n", read_file(path));
}

} // namespace

void Bridge::use_build(const std::string &name) {
    std::string path = E2E_BRIDGE_PATH;
    exe_ = path.substr(0, path.rfind('/') + 1) + name;
}

void Bridge::start() {
    std::vector<std::string> argv;
    if (const char *wrapper = getenv("BRIDGE_WRAPPER")) {
        std::stringstream words(wrapper);
        std::string w;
        while (words >> w)
            argv.push_back(w);
    }
    // BRIDGE_EXE runs another build of the bridge (the MIPS one under qemu).
    const char *exe = getenv("BRIDGE_EXE");
    if (!exe_.empty())
        argv.push_back(exe_);
    else
        argv.push_back(exe && *exe ? exe : E2E_BRIDGE_PATH);

    std::vector<std::string> env;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "PATH=", 5) != 0)
            env.push_back(*e);
    const char *path = getenv("PATH");
    env.push_back("PATH=" + bin_dir_ + ":" + (path ? path : "/usr/bin:/bin"));

    write_file(dir_ + "/bridge.stdout", "");
    write_file(dir_ + "/bridge.stderr", "");
    process_.start(argv, dir_, dir_ + "/bridge.stdout", dir_ + "/bridge.stderr", env);
}

void Bridge::kill() {
    pid_t pid = process_.pid();
    process_.kill();
    if (getenv("BRIDGE_WRAPPER") && pid > 0) {
        std::string log = dir_ + "/valgrind." + std::to_string(pid);
        rename((log + ".log").c_str(), (log + ".killed").c_str());
    }
}

std::string Bridge::stdout_text() const {
    return read_file(dir_ + "/bridge.stdout");
}

std::string Bridge::stderr_text() const {
    return read_file(dir_ + "/bridge.stderr");
}

Outcome Bridge::wait_for_stdout(const std::string &text, Duration timeout) const {
    return wait_for_file_text(dir_ + "/bridge.stdout", text, timeout, "the bridge's stdout");
}

Outcome Bridge::wait_for_stderr(const std::string &text, Duration timeout) const {
    return wait_for_file_text(dir_ + "/bridge.stderr", text, timeout, "the bridge's stderr");
}

Outcome wait_for_line_open(const Bridge &bridge, const Pty &pty) {
    std::string fd_dir = "/proc/" + std::to_string(bridge.pid()) + "/fd/";
    bool open = eventually(5s, [&] {
        for (int fd = 0; fd < 64; fd++) {
            char target[PATH_MAX];
            ssize_t n = readlink((fd_dir + std::to_string(fd)).c_str(), target, sizeof(target));
            if (n > 0 && std::string(target, n) == pty.slave_path())
                return true;
        }
        return false;
    });
    if (!open)
        return Outcome::failure("the bridge never opened ", pty.slave_path());
    std::this_thread::sleep_for(scaled(300ms));
    return Outcome::success();
}

} // namespace e2e
