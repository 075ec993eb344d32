// The one pseudo-terminal helper of the tests, the simulated firmware, the
// fuzzers and the benchmarks: a raw pty pair, timed reads and writes on one
// end, and the escaping that shows line bytes in messages.
#ifndef BRIDGE_TOOLS_PTY_LINE_H
#define BRIDGE_TOOLS_PTY_LINE_H

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <system_error>

namespace simfw {

// A pseudo-terminal pair in raw mode at 115200 baud, both ends close-on-exec
// (a started bridge opens the slave by its path); both are closed on
// destruction.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slave_path;

    PtyPair() = default;
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    PtyPair(PtyPair &&other) noexcept {
        *this = std::move(other);
    }
    PtyPair &operator=(PtyPair &&other) noexcept {
        if (this != &other) {
            close();
            master = other.master;
            slave = other.slave;
            slave_path = std::move(other.slave_path);
            other.master = other.slave = -1;
        }
        return *this;
    }
    ~PtyPair() {
        close();
    }
    void close() {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
        master = slave = -1;
    }

    // Throws std::system_error on failure.
    static PtyPair open() {
        termios raw{};
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&raw, B115200);
        cfsetospeed(&raw, B115200);
        PtyPair p;
        char name[PATH_MAX];
        if (openpty(&p.master, &p.slave, name, &raw, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(), "openpty");
        fcntl(p.master, F_SETFD, FD_CLOEXEC);
        fcntl(p.slave, F_SETFD, FD_CLOEXEC);
        p.slave_path = name;
        return p;
    }
};

// Reads from FD until N bytes have come or TIMEOUT has passed; with GAP
// non-zero also once the line has been quiet for GAP after a byte. Signals
// (EINTR) and a non-blocking FD are waited out; a hang-up ends the read.
inline std::string read_bytes(int fd, std::size_t n, std::chrono::milliseconds timeout,
                              std::chrono::milliseconds gap = std::chrono::milliseconds(0)) {
    using namespace std::chrono;
    std::string got;
    const auto deadline = steady_clock::now() + timeout;
    while (got.size() < n) {
        milliseconds left =
            std::max(milliseconds(0), duration_cast<milliseconds>(deadline - steady_clock::now()));
        if (gap.count() > 0 && !got.empty())
            left = std::min(left, gap);
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buf[4096];
        const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0)
            got.append(buf, static_cast<std::size_t>(r));
        else if (!(r < 0 && (errno == EINTR || errno == EAGAIN)))
            break;
    }
    return got;
}

// Writes all SIZE bytes to FD, waiting for room (nobody reading the other
// end) at most TIMEOUT in all. False when they could not all be written.
inline bool write_all(int fd, const char *data, std::size_t size,
                      std::chrono::milliseconds timeout) {
    const auto give_up = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (!(n < 0 && errno == EAGAIN) || std::chrono::steady_clock::now() > give_up)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return true;
}

inline bool write_all(int fd, const std::string &bytes, std::chrono::milliseconds timeout) {
    return write_all(fd, bytes.data(), bytes.size(), timeout);
}

// Bytes shown with C escapes (\n, \r, \\, \", \xNN), on one line.
inline std::string escape(const std::string &bytes) {
    std::string out;
    for (unsigned char ch : bytes) {
        if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else if (ch == '\\')
            out += "\\\\";
        else if (ch == '"')
            out += "\\\"";
        else if (ch < 0x20 || ch >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", ch);
            out += hex;
        } else
            out += static_cast<char>(ch);
    }
    return out;
}

} // namespace simfw

#endif
