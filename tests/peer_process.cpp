#include "peer_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#ifndef E2E_SCRIPTS_DIR
#error "E2E_SCRIPTS_DIR must be defined"
#endif

extern char **environ;

namespace e2e {

namespace {

int decode_status(int raw) {
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

std::string make_temp_dir(const char *prefix) {
    std::string templ = std::string("/tmp/") + prefix + ".XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    chmod(buf.data(), 0755);
    return buf.data();
}

} // namespace

WorkDir::WorkDir() : path_(make_temp_dir("mqtt-serial-bridge-e2e")) {}

WorkDir::~WorkDir() {
    std::error_code ignored;
    if (!keep_)
        std::filesystem::remove_all(path_, ignored);
}

Process::~Process() {
    kill();
}

void Process::start(const std::vector<std::string> &argv, const std::string &cwd,
                    const std::string &out_path, const std::string &err_path,
                    const std::vector<std::string> &env) {
    if (running())
        throw std::runtime_error("process " + argv.at(0) + " is already running");
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addchdir_np(&files, cwd.c_str());
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
#ifdef __GLIBC__
    // No descriptor of the test (pty master, sockets) leaks into the peer;
    // elsewhere the peers' own are close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&files, 3);
#endif
    // Its own process group, so that kill() reaches what it starts. The test
    // process ignores SIGPIPE (e2e_main.cpp) and may block
    // signals; the program must start with the defaults.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t set;
    sigemptyset(&set);
    posix_spawnattr_setsigmask(&attr, &set);
    sigaddset(&set, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &set);

    pid_t pid;
    int rc = posix_spawnp(&pid, argv.at(0).c_str(), &files, &attr, args.data(),
                          env.empty() ? environ : envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv.at(0) + " in " + cwd + ": " + strerror(rc));
    pid_ = pid;
    status_.reset();
}

bool Process::running() {
    if (pid_ <= 0 || status_)
        return false;
    int raw;
    pid_t r = waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
        status_ = decode_status(raw);
        return false;
    }
    return r == 0;
}

std::optional<int> Process::wait(Duration timeout) {
    if (pid_ <= 0)
        return std::nullopt;
    eventually(timeout, [&] { return !running(); });
    return status_;
}

void Process::signal(int sig) {
    if (running())
        ::kill(pid_, sig);
}

void Process::stop(Duration timeout) {
    signal(SIGTERM);
    if (!wait(timeout))
        kill();
}

void Process::kill() {
    if (running()) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int raw;
        if (waitpid(pid_, &raw, 0) == pid_)
            status_ = decode_status(raw);
    }
}

int run_command(const std::vector<std::string> &argv, const std::string &cwd, std::string *output,
                Duration timeout) {
    std::string out_path = cwd + "/.command-output";
    unlink(out_path.c_str());
    Process p;
    p.start(argv, cwd, out_path, out_path);
    std::optional<int> status = p.wait(timeout);
    if (output)
        *output = read_file(out_path);
    unlink(out_path.c_str());
    if (!status) {
        p.kill();
        throw std::runtime_error(argv.at(0) + " did not finish within " +
                                 std::to_string(timeout.count()) + " ms");
    }
    return *status;
}

std::string run_script(const std::string &name, std::vector<std::string> args,
                       const std::string &dir) {
    args.insert(args.begin(), {"sh", std::string(E2E_SCRIPTS_DIR) + "/" + name});
    std::string output;
    if (run_command(args, dir, &output) != 0)
        throw std::runtime_error("scripts/" + name + " failed:\n" + output);
    return output;
}

} // namespace e2e
