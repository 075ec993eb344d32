// Simulated microcontroller firmware: the device end of the bridge's serial
// line, run over a pseudo-terminal so that tests, the demo and the benchmarks
// need no board.
//
// Line protocol, device side:
//   host -> device   a command text, no terminator
//   device -> host   "#" (acknowledgement), then, report_delay later, one
//                    status report ("OK <cmd>\n" by default)
//   host -> device   "#\n" after every report
//   device -> host   information reports ("!..."), only while idle
//
// The line has no framing, so the device tells a command by timing: bytes
// that arrive with no pause of quiet_gap (20 ms) or longer between them form
// one burst, and a burst is complete once the line has been quiet for
// quiet_gap. The bridge writes each command with one write() and never writes
// two commands without waiting for an answer in between, so a burst is one
// command. The one exception is the report acknowledgement: the bridge writes
// "#\n" and then, within the same poll cycle, the next command, so while a
// report acknowledgement is outstanding a burst is split as any leading "#\n"
// (each counted as an acknowledgement) followed by the command text. A burst
// that is only "#\n" carries no command.
//
// The device answers one command at a time. A command that arrives while an
// earlier one is unanswered, or before the host acknowledged the earlier
// report, is recorded with while_busy set; one that was waiting behind an
// unanswered command is answered after the host acknowledged that command's
// report, and one that arrives with only the acknowledgement missing is
// answered at once (the host has evidently moved on, and the device stops
// waiting for the skipped acknowledgement).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

namespace simfw {

using Clock = std::chrono::steady_clock;

// Misbehaviours, changeable while the device runs (set_faults); each applies
// to the commands answered after the change.
struct Faults {
    bool silent = false;          // record commands but never answer them (even once lifted)
    bool no_report = false;       // send "#" but never the status report
    std::string noise_before_ack; // written in the same write as the "#", before it
    std::string noise_after_ack;  // written in the same write as the "#", after it
    std::size_t report_size = 0;  // non-zero: status reports cut or padded with '.' to this size
};

enum class ReportKind { status, info, unsolicited };

struct ReceivedCommand {
    std::string text;
    Clock::time_point first_byte; // when the read holding its first byte returned
    Clock::time_point ack_sent;   // when the write of its "#" returned; epoch if never
    bool while_busy = false;      // an earlier exchange was not finished yet
};

struct SentReport {
    ReportKind kind = ReportKind::status;
    std::string text;
    std::string command;         // the command it answers (status reports only)
    Clock::time_point last_byte; // when the write of its last byte returned
};

struct Event {
    enum Type {
        command,    // text: the command
        ack_sent,   // text: the bytes written (noise and "#")
        report,     // text: the report; kind tells which
        report_ack, // a "#\n" came in
        unexpected, // text: bytes the device had no use for
    };
    Type type;
    std::string text;
    ReportKind kind = ReportKind::status;
};

struct Options {
    std::chrono::milliseconds report_delay{150}; // "#" -> status report
    std::chrono::milliseconds quiet_gap{20};     // pause that ends a burst
    // Non-zero: each status report is written in two halves this far apart,
    // the first 20 ms after the host has read the "#" (report_delay is then
    // not used). A firmware that works this way relies on the host's poll
    // interval being longer than the gap to get its report taken whole.
    std::chrono::milliseconds report_piece_gap{0};
    // How long a report waits for its "#\n" before the device gives up on
    // it (a report sent before the host opened the line is never answered).
    std::chrono::milliseconds report_ack_timeout{1000};
    // Status report text: every "{cmd}" in report_format is replaced by the
    // command (a format without it is a fixed text).
    std::string report_format = "OK {cmd}\n";
    Faults faults;
    // Called on the device thread, outside any lock, for every event.
    std::function<void(const Event &)> on_event;
};

class SimFirmware {
  public:
    // Runs the device on master_fd (the master side of a raw pty, see
    // pty_line.h) on a thread of
    // its own. The descriptor stays the caller's: it is set non-blocking and
    // must stay open until this object is destroyed.
    explicit SimFirmware(int master_fd, Options options = {});
    SimFirmware(const SimFirmware &) = delete;
    SimFirmware &operator=(const SimFirmware &) = delete;
    // Stops the thread; pending reports are not sent.
    ~SimFirmware();

    // Queued, and written at the next idle moment: no command being received
    // or unanswered and no report awaiting its acknowledgement. The bridge
    // discards what reached the line before it opened it; a report lost that
    // way leaves the device waiting for its acknowledgement until the next
    // command arrives.
    void send_info(const std::string &text);
    void send_unsolicited(const std::string &text);
    // Written at once, whatever the device is doing; not a report.
    void send_raw(const std::string &bytes);

    void set_faults(const Faults &faults);

    std::vector<ReceivedCommand> commands() const;
    std::vector<std::string> command_texts() const;
    std::size_t acks() const; // "#\n" received
    std::vector<SentReport> reports() const;
    std::vector<std::string> unexpected() const;

    // Each returns true once the count reaches n, false on timeout.
    bool wait_for_commands(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_acks(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_for_reports(std::size_t n, std::chrono::milliseconds timeout) const;
    bool wait_idle(std::chrono::milliseconds timeout) const;

  private:
    enum class State { ready, ack_due, report_due, second_piece_due, awaiting_report_ack };
    struct Pending {
        std::string text;
        std::size_t index = 0; // in commands_
    };

    void run();
    void process_burst(std::vector<Event> &events);
    void step(Clock::time_point now, std::vector<Event> &events);
    bool input_waiting() const;
    bool output_drained() const;
    bool write_all(const std::string &bytes);
    std::string status_report(const std::string &command, const Faults &faults) const;
    void record_report(ReportKind kind, const std::string &text, const std::string &command,
                       std::vector<Event> &events);
    void wake();
    template <class Pred> bool wait_until(std::chrono::milliseconds timeout, Pred pred) const;

    const int fd_;
    const Options options_;
    int slave_fd_ = -1; // opened for report_piece_gap: its input queue is our output
    int wake_pipe_[2] = {-1, -1};

    // Device thread only.
    State state_ = State::ready;
    std::string burst_;
    std::vector<std::pair<std::size_t, Clock::time_point>> burst_reads_; // offset, time
    Clock::time_point last_rx_;
    Clock::time_point deadline_;
    std::deque<Pending> waiting_;
    Pending current_;
    std::string piecewise_report_; // its first half written, the second due
    bool drained_ = false;         // the host has read the "#" of the report due
    std::size_t pending_report_acks_ = 0;

    // Shared, under mutex_.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stop_ = false;
    bool idle_ = true;
    Faults faults_;
    std::deque<std::pair<ReportKind, std::string>> idle_writes_;
    std::vector<ReceivedCommand> commands_;
    std::size_t acks_ = 0;
    std::vector<SentReport> reports_;
    std::vector<std::string> unexpected_;

    std::mutex write_mutex_;
    std::thread thread_;
};

} // namespace simfw
