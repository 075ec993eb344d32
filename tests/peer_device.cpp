#include "peer_device.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>

#include "peer_process.h"

namespace e2e {

Pty::Pty() : pair_(simfw::PtyPair::open()) {
    // Writes time out rather than block when nothing reads the line. The
    // slave stays open here so the line survives the bridge closing or
    // dying.
    fcntl(pair_.master, F_SETFL, fcntl(pair_.master, F_GETFL) | O_NONBLOCK);
}

void Pty::hang_up() {
    pair_.close();
    if (!link_.empty())
        unlink(link_.c_str());
}

void Pty::plug_in() {
    pair_ = simfw::PtyPair::open();
    fcntl(pair_.master, F_SETFL, fcntl(pair_.master, F_GETFL) | O_NONBLOCK);
    if (!link_.empty())
        link(link_);
}

Pty::~Pty() {
    if (!link_.empty())
        unlink(link_.c_str());
}

void Pty::link(const std::string &path) {
    unlink(path.c_str());
    if (symlink(pair_.slave_path.c_str(), path.c_str()) != 0)
        throw std::runtime_error("symlink " + path + ": " + strerror(errno));
    link_ = path;
}

void Pty::write(const std::string &bytes) {
    if (!simfw::write_all(pair_.master, bytes, 5s))
        throw std::runtime_error("pty write failed or blocked: the line is not being read");
}

std::string Pty::read_bytes(size_t n, Duration timeout) {
    return simfw::read_bytes(pair_.master, n, timeout);
}

Outcome Pty::expect_bytes(const std::string &expected, Duration timeout) {
    std::string got = read_bytes(expected.size(), scaled(timeout));
    if (got == expected)
        return Outcome::success();
    return Outcome::failure("serial line: expected \"", escape(expected), "\" within ",
                            timeout.count(), " ms, got \"", escape(got), "\"");
}

std::string Pty::read_all_for(Duration d) {
    return read_bytes(static_cast<size_t>(-1), d);
}

Outcome Pty::expect_silence(Duration d) {
    std::string got = read_all_for(d);
    if (got.empty())
        return Outcome::success();
    return Outcome::failure("serial line: expected silence, got \"", escape(got), "\"");
}

FakeIfconfig::FakeIfconfig(const std::string &dir, const std::string &mac)
    : bin_dir_(dir + "/bin") {
    run_script("peer-files.sh", {"ifconfig", bin_dir_, mac}, dir);
}

std::string FakeIfconfig::output() const {
    return read_file(bin_dir_ + "/ifconfig.out");
}

void FakeIfconfig::set_output(const std::string &text) {
    write_file(bin_dir_ + "/ifconfig.out", text);
}

} // namespace e2e
