// The serial exchange: the line protocol with the device, run by the
// exchange thread. It writes the queued commands one at a time, takes the
// device's "#", reads its reports and hands them to the outbox.
//
// Threads: serial_reads is the exchange thread's body; the functions marked
// "any thread" are how the other thread reaches it.
#ifndef BRIDGE_EXCHANGE_H
#define BRIDGE_EXCHANGE_H

// Writes the head of queue to the serial line without removing it, and
// notes the time for the command deadline; does nothing on an empty queue.
// Caller holds bridge_lock; it is let go while the line drains (the head
// is outstanding by then, and only the exchange thread removes it).
// Exchange thread only: it is the line's one writer.
void send_command(void);

// The one place that decides whether the next queued command is written:
// only when none is outstanding, the line has settled, no report is waiting
// or being read, and the bridge is not stopping. Otherwise the exchange is
// idle and takes the next report. Caller holds bridge_lock. Exchange thread
// only (it may write the line).
void send_next_or_go_idle(void);

// A list queued since the exchange went idle: its first command is written
// if the exchange is free for it (send_next_or_go_idle); nothing happens
// while a command is outstanding. Caller holds bridge_lock. Exchange thread
// only.
void send_list_if_idle(void);

// One cycle of the exchange loop, without its wait: the command deadline
// (when one is compiled in), then the outbox's hand-over, then a list's
// first command if the exchange is free for it, then the line. A line that
// failed (serial_line_failed) is handled here, on this thread: without
// BRIDGE_SERIAL_REOPEN the bridge stops cleanly (commands held, and the
// stop given to exchange_start asked for); with it the port is closed and
// opened again about once a second, while the cycles go on handing reports
// over. Takes bridge_lock for the cycle's work, letting it go while a write
// waits for the line. Returns how long the thread may wait before the next
// cycle, in ms: the poll interval, or event-driven the time until the
// cycle's own next deadline (-1: none). Exchange thread only (tests and
// fuzzers call it directly in place of that thread). Defined in
// exchange.cpp, like the functions above.
int serial_reads_cycle(void);

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

// Any thread, with bridge_lock held: no command is written from now on (the
// bridge is stopping), and one still going out is cut short
// (serial_stop_waiting); reports are still read and answered.
void exchange_hold_commands(void);

// Queued commands whose writing never began, the one outstanding excepted.
// Caller holds bridge_lock.
int exchange_commands_not_sent(void);

// Main thread, once the exchange thread has ended (exchange_stop): true when
// a failed line stopped the bridge (BRIDGE_SERIAL_REOPEN off), which then
// exits with status 255 so that procd starts it again.
bool exchange_line_lost(void);

// Main thread: ends the exchange thread after its current cycle and waits
// for it.
void exchange_stop(void);

#endif
