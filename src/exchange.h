// The serial exchange: the line protocol with the device, run by the
// exchange thread. It writes the queued commands one at a time, takes the
// device's "#", reads its reports and hands them to the outbox.
//
// Its state is one ExchangeState, changed by five events: a byte from the
// line, a quiet line, a command's deadline, a list queued, and the stop
// (plus the line failing, and coming back when it is reopened). A quiet
// line is, in the poll modes, the end of what a cycle found waiting (all of
// it is one report); event-driven, BRIDGE_REPORT_GAP_MS without a byte
// (SETTLE: the settling states' own wait). "Free" is where every exchange
// ends: the decision of send_next_or_go_idle, the one place a command is
// written.
//
//   state            event         what is done                       next
//   ---------------- ------------- ---------------------------------- -------------
//   WAITING_FOR_     list queued   the line quiet: head written       AWAITING_ACK
//   REPORT           byte          kept as a report's first           READING_REPORT
//   READING_REPORT   byte          kept; past 100 bytes counted       READING_REPORT
//                    100th byte    event-driven only: the report      SETTLING_AFTER_
//                                  finished as at a quiet line        FULL_REPORT
//                    quiet line    "#\n" answered, published on       free
//                                  "info" or "status_update"
//   AWAITING_ACK     "#"           RECEIVED SERIAL_ACK; polling,      AWAITING_REPORT
//                                  the rest of the cycle's bytes
//                                  discarded
//                    other byte    "[x] INSTEAD OF ACK" (16 at most)  AWAITING_ACK
//                    deadline      COMMAND TIMED OUT, head removed    SETTLING_AFTER_
//                                                                     DEADLINE
//   AWAITING_REPORT  byte          kept as the answer's first         READING_ANSWER
//                    deadline      as in AWAITING_ACK                 SETTLING_AFTER_
//                                                                     DEADLINE
//   READING_ANSWER   byte          as in READING_REPORT               READING_ANSWER
//                    100th byte    event-driven only: finished;       SETTLING_AFTER_
//                                  info: the answer still awaited     FULL_REPORT/INFO
//                    quiet line    "!...": published on "info"        AWAITING_REPORT
//                                  else: "status_update", head        free
//                                  removed
//   SETTLING_AFTER_  byte          "[x] INSTEAD OF ACK" (a late       same
//   DEADLINE                       answer is not the next one's)
//                    quiet SETTLE  stray bytes' count logged          free
//                                  (a poll cycle; event-driven 100 ms)
//   SETTLING_AFTER_  byte          counted: the full report's tail    same
//   FULL_REPORT      quiet line    DROPPED ... BYTES logged           free
//   SETTLING_AFTER_  byte, quiet   as SETTLING_AFTER_FULL_REPORT,     AWAITING_REPORT
//   FULL_INFO                      the command still outstanding
//                    deadline      as in AWAITING_ACK                 SETTLING_AFTER_
//                                                                     DEADLINE
//   STOPPING         byte          as in WAITING_FOR_REPORT           READING_REPORT
//                    list queued   nothing: no command goes out       STOPPING
//   LINE_DOWN        reopened      SERIAL PORT REOPENED               free
//   LINE_LOST        (none)        nothing read or written: stopping  LINE_LOST
//
//   free: stopping: STOPPING; a command queued and the line quiet: the head
//   written, AWAITING_ACK; otherwise WAITING_FOR_REPORT.
//   stop (any state): no command is written from now on, a write going out is
//   cut short; WAITING_FOR_REPORT becomes STOPPING, the others end there.
//   line failed (any state but the last two): a report half read is lost;
//   with BRIDGE_SERIAL_REOPEN an outstanding command is given up as at its
//   deadline, the port closed: LINE_DOWN; without it, LINE_LOST and the
//   bridge's clean stop.
//
// IDLE, the mode the line protocol names, follows the state: 0 in
// AWAITING_ACK and SETTLING_AFTER_DEADLINE, 1 in every other.
//
// Threads: serial_reads is the exchange thread's body; the functions marked
// "any thread" are how the other thread reaches it.
#ifndef BRIDGE_EXCHANGE_H
#define BRIDGE_EXCHANGE_H

enum ExchangeState {
    WAITING_FOR_REPORT,
    READING_REPORT,
    AWAITING_ACK,
    AWAITING_REPORT,
    READING_ANSWER,
    SETTLING_AFTER_DEADLINE,
    SETTLING_AFTER_FULL_REPORT,
    SETTLING_AFTER_FULL_INFO,
    STOPPING,
    LINE_DOWN,
    LINE_LOST,
};

// A list queued: its first command is written if the exchange waits for a
// report with nothing outstanding (send_next_or_go_idle); nothing happens in
// any other state. Caller holds bridge_lock. Exchange thread only.
void send_list_if_idle(void);

// One cycle of the exchange loop, without its wait: a due reopening, the
// deadline, the outbox's hand-over, a list's first command, then the line.
// Takes bridge_lock for its work, letting it go while a write waits for the
// line and while a lost device is opened again. Returns how long the thread
// may wait before the next cycle, in ms: the poll interval, or event-driven
// until the cycle's own next deadline (-1: none). Exchange thread only
// (tests and fuzzers call it in place of that thread). Defined in
// exchange.cpp, like the functions above.
int serial_reads_cycle(void);

// The exchange's state. Caller holds bridge_lock.
ExchangeState exchange_state(void);

// Tests and fuzzers, with no exchange thread running: the exchange back to
// STATE with nothing read, counted or held, and IDLE set from it. In the
// states with a command outstanding the head of queue is that command,
// written now.
void exchange_reset(ExchangeState state);

// Body of the exchange thread (exchange_thread.cpp, like the functions
// below): serial_reads_cycle, then a sleep of BRIDGE_POLL_INTERVAL_MS, in
// which a wake-up writes a list's first command at once but the line is not
// read; with an interval of 0, a wait on the line and the wake-up pipe until
// the next byte, a list, an acknowledgement or the cycle's own deadline.
// Until exchange_stop. The argument is ignored.
void *serial_reads(void *arg);

// Main thread, at start-up: starts the exchange thread; false when it can't
// be made. STOP is how the thread asks for the bridge's clean stop when the
// line fails; any thread may call it, async-signal-safe.
bool exchange_start(void (*stop)(void));

// What exchange_start does with its STOP (exchange.cpp keeps it). Main
// thread, before the exchange thread runs.
void exchange_on_line_lost(void (*stop)(void));

// Any thread: wakes the exchange thread (a list to write, a window to
// fill). In the poll modes it only writes a list's first command then.
void exchange_wake(void);

// Any thread, with bridge_lock held: the stop. No command is written from
// now on, and one still going out is cut short (serial_stop_waiting);
// reports are still read and answered.
void exchange_hold_commands(void);

// Queued commands whose writing never began, the one outstanding excepted.
// Caller holds bridge_lock.
int exchange_commands_not_sent(void);

// Main thread, once the exchange thread has ended (exchange_stop): true when
// a failed line stopped the bridge (LINE_LOST), which then exits with status
// 255 so that procd starts it again.
bool exchange_line_lost(void);

// Main thread: ends the exchange thread after its current cycle and waits
// for it.
void exchange_stop(void);

#endif
