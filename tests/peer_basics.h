// What every test peer shares: the port, waits that scale under slow
// wrappers, the Outcome of a wait, and file helpers. No test framework here,
// so the benchmarks and tools use the peers as they are.
#ifndef BRIDGE_TESTS_PEER_BASICS_H
#define BRIDGE_TESTS_PEER_BASICS_H

#include <sys/types.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "pty_line.h"

namespace e2e {

using namespace std::chrono_literals;
using Duration = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 18883;
// The address that the default fake ifconfig reports.
constexpr const char *kMac = "02:FC:00:00:00:01";

// Every wait's timeout is multiplied by the integer in the environment
// variable E2E_TIMEOUT_SCALE (default 1), for runs under a slow wrapper.
// Observation periods (read_all_for, expect_silence) are not scaled.
Duration scaled(Duration timeout);

// Polls PRED every 10 ms until it holds or TIMEOUT (scaled) has passed; one
// last look after the deadline.
template <class Pred> bool eventually(Duration timeout, Pred pred) {
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return pred();
}

// Whether a start or a wait came off, and when not, what was seen instead.
// It converts to any result type built from a bool that takes text with <<
// (GoogleTest's AssertionResult), so EXPECT_TRUE(broker.start()) shows the
// message while the peers stay free of the framework.
class Outcome {
  public:
    static Outcome success() {
        return Outcome(true, "");
    }
    template <class... Parts> static Outcome failure(const Parts &...parts) {
        std::ostringstream text;
        (text << ... << parts);
        return Outcome(false, text.str());
    }
    // Implicit, as AssertionResult's: a benchmark's check(bool) takes it.
    operator bool() const {
        return ok_;
    }
    const char *message() const {
        return message_.c_str();
    }
    template <class Result, class = std::enable_if_t<std::is_constructible_v<Result, bool>>,
              class = decltype(std::declval<Result &>() << std::string())>
    operator Result() const {
        Result r(ok_);
        if (!ok_)
            r << message_;
        return r;
    }

  private:
    Outcome(bool ok, std::string message) : ok_(ok), message_(std::move(message)) {}
    bool ok_;
    std::string message_;
};

// How often NEEDLE occurs in TEXT.
int count(const std::string &text, const std::string &needle);

// TEXT's lines, without their line ends; a last line without one counts.
std::vector<std::string> lines_of(const std::string &text);

// The 55-byte login payload the bridge publishes for ID; an ID shorter than
// 17 characters leaves zero bytes at the end.
std::string login_payload(const std::string &id);

// A status or information report as the bridge publishes it: 100 bytes, the
// report first, zeros after it.
inline std::string report_payload(const std::string &report) {
    return report + std::string(100 - report.size(), '\0');
}

// Bytes shown with C escapes, for failure messages.
using simfw::escape;

std::string read_file(const std::string &path); // empty when the file is missing
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
void copy_file(const std::string &from, const std::string &to, mode_t mode = 0644);

} // namespace e2e

#endif
