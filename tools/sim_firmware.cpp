#include "sim_firmware.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <system_error>
#include <unistd.h>

namespace simfw {

namespace {

const std::string report_ack_bytes = "#\n";

// A piecewise report's device looks this often whether the host has read its
// "#", and writes the first piece this long after it has. Both sides of
// it are a race on a loaded machine: a host preempted between its read and
// its discard of the rest takes the first piece with the discard (seen at
// 20 ms with ASan and four tests a core), and a device thread held up
// delays the second piece past a 100 ms poll's next read. 35 ms, with the
// 30 ms gap, leaves each side about the same margin.
constexpr std::chrono::milliseconds kDrainCheck{1};
constexpr std::chrono::milliseconds kAfterDrain{35};

[[noreturn]] void throw_errno(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

timespec to_timespec(Clock::duration d) {
    if (d < Clock::duration::zero())
        d = Clock::duration::zero();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d - s);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(s.count());
    ts.tv_nsec = static_cast<long>(ns.count());
    return ts;
}

} // namespace

SimFirmware::SimFirmware(int master_fd, Options options)
    : fd_(master_fd), options_(std::move(options)), faults_(options_.faults) {
    if (pipe2(wake_pipe_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw_errno("pipe2");
    // Reads must never block the device thread: it also keeps the timers.
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (options_.report_piece_gap.count() > 0) {
        char name[PATH_MAX];
        if (ptsname_r(fd_, name, sizeof name) != 0)
            throw_errno("ptsname_r");
        slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave_fd_ < 0)
            throw_errno("open pty slave");
    }
    thread_ = std::thread([this] { run(); });
}

SimFirmware::~SimFirmware() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake();
    thread_.join();
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
    if (slave_fd_ >= 0)
        ::close(slave_fd_);
}

void SimFirmware::wake() {
    const char b = 0;
    // A full pipe already holds a wake-up, so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(wake_pipe_[1], &b, 1);
}

void SimFirmware::send_info(const std::string &text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_writes_.emplace_back(ReportKind::info, text);
        idle_ = false;
    }
    wake();
}

void SimFirmware::send_unsolicited(const std::string &text) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_writes_.emplace_back(ReportKind::unsolicited, text);
        idle_ = false;
    }
    wake();
}

void SimFirmware::send_raw(const std::string &bytes) {
    write_all(bytes);
}

void SimFirmware::set_faults(const Faults &faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

std::vector<ReceivedCommand> SimFirmware::commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<std::string> SimFirmware::command_texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto &c : commands_)
        texts.push_back(c.text);
    return texts;
}

std::size_t SimFirmware::acks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acks_;
}

std::vector<SentReport> SimFirmware::reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

std::vector<std::string> SimFirmware::unexpected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unexpected_;
}

template <class Pred>
bool SimFirmware::wait_until(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, pred);
}

bool SimFirmware::wait_for_commands(std::size_t n, std::chrono::milliseconds timeout) const {
    return wait_until(timeout, [&] { return commands_.size() >= n; });
}

bool SimFirmware::wait_for_acks(std::size_t n, std::chrono::milliseconds timeout) const {
    return wait_until(timeout, [&] { return acks_ >= n; });
}

bool SimFirmware::wait_for_reports(std::size_t n, std::chrono::milliseconds timeout) const {
    return wait_until(timeout, [&] { return reports_.size() >= n; });
}

bool SimFirmware::wait_idle(std::chrono::milliseconds timeout) const {
    return wait_until(timeout, [&] { return idle_; });
}

bool SimFirmware::write_all(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    // Nobody may be reading the slave end yet; it gets a moment.
    return simfw::write_all(fd_, bytes, std::chrono::seconds(1));
}

std::string SimFirmware::status_report(const std::string &command, const Faults &faults) const {
    static const std::string placeholder = "{cmd}";
    std::string text = options_.report_format;
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + command.size())) {
        text.replace(at, placeholder.size(), command);
    }
    if (faults.report_size != 0)
        text.resize(faults.report_size, '.');
    return text;
}

void SimFirmware::record_report(ReportKind kind, const std::string &text,
                                const std::string &command, std::vector<Event> &events) {
    const auto t = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back({kind, text, command, t});
    }
    changed_.notify_all();
    events.push_back({Event::report, text, kind});
}

void SimFirmware::process_burst(std::vector<Event> &events) {
    std::size_t pos = 0;
    std::vector<std::string> strays;
    std::size_t acks = 0;
    while (burst_.compare(pos, report_ack_bytes.size(), report_ack_bytes) == 0) {
        ++acks;
        if (pending_report_acks_ > 0)
            --pending_report_acks_;
        else
            strays.push_back(report_ack_bytes);
        pos += report_ack_bytes.size();
    }

    ReceivedCommand cmd;
    const bool has_command = pos < burst_.size();
    if (has_command) {
        cmd.text = burst_.substr(pos);
        // Time of the read that brought the command's first byte.
        cmd.first_byte = burst_reads_.front().second;
        for (const auto &r : burst_reads_) {
            if (r.first > pos)
                break;
            cmd.first_byte = r.second;
        }
        const bool exchange_done =
            state_ == State::ready ||
            (state_ == State::awaiting_report_ack && pending_report_acks_ == 0);
        cmd.while_busy = !exchange_done || !waiting_.empty();
        // A command after a report means the host has moved on; an
        // acknowledgement it skipped is no longer waited for (and shows up
        // as unexpected should it come late).
        if (state_ == State::awaiting_report_ack) {
            state_ = State::ready;
            pending_report_acks_ = 0;
        }
    }
    burst_.clear();
    burst_reads_.clear();

    // Silence is decided under the lock that makes the command visible, so a
    // test that waits for the command and then lifts the silence cannot race it.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        acks_ += acks;
        unexpected_.insert(unexpected_.end(), strays.begin(), strays.end());
        if (has_command) {
            if (!faults_.silent)
                waiting_.push_back({cmd.text, commands_.size()});
            commands_.push_back(cmd);
        }
    }
    changed_.notify_all();
    for (std::size_t i = 0; i < acks; ++i)
        events.push_back({Event::report_ack, report_ack_bytes});
    for (const auto &s : strays)
        events.push_back({Event::unexpected, s});
    if (has_command)
        events.push_back({Event::command, cmd.text});
}

bool SimFirmware::input_waiting() const {
    int n = 0;
    return ::ioctl(fd_, FIONREAD, &n) == 0 && n > 0;
}

// Whether the host has read everything the device wrote (a pty master has
// no output queue of its own: what it wrote waits in the slave's input).
bool SimFirmware::output_drained() const {
    int n = 0;
    return ::ioctl(slave_fd_, FIONREAD, &n) == 0 && n == 0;
}

void SimFirmware::step(Clock::time_point now, std::vector<Event> &events) {
    Faults faults;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        faults = faults_;
    }
    for (;;) {
        switch (state_) {
        case State::ready:
            if (!waiting_.empty()) {
                current_ = waiting_.front();
                waiting_.pop_front();
                if (faults.silent)
                    continue;
                state_ = State::ack_due;
                deadline_ = now;
                continue;
            }
            if (burst_.empty() && pending_report_acks_ == 0 && !input_waiting()) {
                // Information and unsolicited reports go out only here: no
                // command on its way in or unanswered, no report unacknowledged.
                std::pair<ReportKind, std::string> w;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (idle_writes_.empty())
                        return;
                    w = std::move(idle_writes_.front());
                    idle_writes_.pop_front();
                }
                if (write_all(w.second)) {
                    ++pending_report_acks_;
                    state_ = State::awaiting_report_ack;
                    deadline_ = now + options_.report_ack_timeout;
                    record_report(w.first, w.second, "", events);
                }
                continue;
            }
            return;
        case State::ack_due: {
            if (now < deadline_)
                return;
            const std::string bytes = faults.noise_before_ack + "#" + faults.noise_after_ack;
            write_all(bytes);
            now = Clock::now();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_[current_.index].ack_sent = now;
            }
            events.push_back({Event::ack_sent, bytes});
            if (faults.no_report) {
                state_ = State::ready;
            } else {
                state_ = State::report_due;
                deadline_ = now + (slave_fd_ >= 0 ? kDrainCheck : options_.report_delay);
            }
            continue;
        }
        case State::report_due: {
            if (now < deadline_)
                return;
            std::string text = status_report(current_.text, faults);
            if (slave_fd_ >= 0) {
                if (!drained_) {
                    // The host reads the "#", then ends its poll cycle by
                    // discarding what else is waiting: the first piece must
                    // come after that.
                    drained_ = output_drained();
                    deadline_ = now + (drained_ ? kAfterDrain : kDrainCheck);
                    return;
                }
                drained_ = false;
                write_all(text.substr(0, text.size() / 2));
                piecewise_report_ = std::move(text);
                state_ = State::second_piece_due;
                deadline_ = Clock::now() + options_.report_piece_gap;
                return;
            }
            state_ = State::awaiting_report_ack;
            deadline_ = now + options_.report_ack_timeout;
            if (write_all(text)) {
                ++pending_report_acks_;
                record_report(ReportKind::status, text, current_.text, events);
            }
            continue;
        }
        case State::second_piece_due: {
            if (now < deadline_)
                return;
            state_ = State::awaiting_report_ack;
            deadline_ = now + options_.report_ack_timeout;
            if (write_all(piecewise_report_.substr(piecewise_report_.size() / 2))) {
                ++pending_report_acks_;
                record_report(ReportKind::status, piecewise_report_, current_.text, events);
            }
            continue;
        }
        case State::awaiting_report_ack:
            if (pending_report_acks_ != 0) {
                if (now < deadline_)
                    return;
                pending_report_acks_ = 0;
                events.push_back({Event::unexpected, "(no report ack)"});
            }
            state_ = State::ready;
            continue;
        }
    }
}

void SimFirmware::run() {
    std::vector<Event> events;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_)
                return;
        }

        auto now = Clock::now();
        if (!burst_.empty() && now - last_rx_ >= options_.quiet_gap)
            process_burst(events);
        step(now, events);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            idle_ = state_ == State::ready && waiting_.empty() && burst_.empty() &&
                    pending_report_acks_ == 0 && idle_writes_.empty();
        }
        changed_.notify_all();
        if (options_.on_event) {
            for (const auto &e : events)
                options_.on_event(e);
        }
        events.clear();

        bool timed = false;
        Clock::time_point due{};
        if (!burst_.empty()) {
            due = last_rx_ + options_.quiet_gap;
            timed = true;
        }
        if (state_ == State::ack_due || state_ == State::report_due ||
            state_ == State::second_piece_due ||
            (state_ == State::awaiting_report_ack && pending_report_acks_ != 0)) {
            due = timed ? std::min(due, deadline_) : deadline_;
            timed = true;
        }
        now = Clock::now();
        timespec ts = to_timespec(due - now);
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
        if (::ppoll(fds, 2, timed ? &ts : nullptr, nullptr) < 0)
            continue; // EINTR: go round again

        if (fds[1].revents & POLLIN) {
            char sink[64];
            while (::read(wake_pipe_[0], sink, sizeof sink) > 0) {
            }
        }
        bool hung_up = false;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[512];
            for (;;) {
                const ssize_t n = ::read(fd_, buf, sizeof buf);
                if (n > 0) {
                    const auto t = Clock::now();
                    burst_reads_.emplace_back(burst_.size(), t);
                    burst_.append(buf, static_cast<std::size_t>(n));
                    last_rx_ = t;
                    continue;
                }
                if (n < 0 && errno == EINTR)
                    continue;
                // EIO: no process has the slave end open at the moment.
                hung_up = !(n < 0 && errno == EAGAIN);
                break;
            }
        }
        if (hung_up) {
            // Nothing to read until someone opens the slave again; look
            // again shortly rather than spin on the hang-up.
            pollfd w{wake_pipe_[0], POLLIN, 0};
            ::poll(&w, 1, 10);
        }
    }
}

} // namespace simfw
