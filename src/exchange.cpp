#include "exchange.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __GLIBC__ // malloc_trim is glibc's own
#include <malloc.h>
#endif

#include "bridge.h"
#include "log_text.h"
#include "outbox.h"
#include "serial.h"
#include "settings.h"
#include "topics.h"

// The report being read. Cleared after each report so that no byte of one
// report reaches the payload of the next. Guarded by bridge_lock; only the
// exchange thread changes it.
static unsigned char report[REPORT_SIZE];
static int report_count;
static int report_dropped; // bytes beyond REPORT_SIZE

// Set when the queue held LONG_QUEUE commands or more since it was last
// empty: half the queue's bound, at most 1024. Guarded by bridge_lock.
#define LONG_QUEUE                                                                                 \
    (settings.queued_commands_max / 2 < 1024 ? settings.queued_commands_max / 2 : 1024)
static bool queue_was_long;

// When the head of queue was written to the line (monotonic, ms), while
// head_written: the command deadline counts from there. Guarded by
// bridge_lock.
static long long command_sent_at;

// Until the line has been quiet for a while, no command is written and what
// arrives is dropped: after a command was given up (its answer may still be
// on its way and must not be taken for the next command's), and, without a
// poll interval, after a report that filled its 100 bytes (its tail is not
// an answer either). Guarded by bridge_lock.
enum Settle { SETTLED, AFTER_TIMEOUT, AFTER_FULL_REPORT };
static Settle settling;
// Last byte read, or when settling began (monotonic, ms). Exchange thread.
static long long line_active_at;

// Bytes other than "#" since the current wait for one began (a command
// written, or given up). The first STRAY_LINES are logged one line each, the
// rest counted in one line when the wait ends, so noise cannot flood the
// log. Exchange thread.
#define STRAY_LINES 16
static long stray_bytes;

// Set when the bridge is stopping: no command is written any more. Guarded
// by bridge_lock.
static bool commands_held;

// How often a lost device is looked for again.
#define REOPEN_INTERVAL_MS 1000

// The line failed. Without BRIDGE_SERIAL_REOPEN the bridge stops, and says
// so with its exit status (line_lost). With it the port is closed
// (line_down) and opened again once a second, with the session and
// everything held kept. Exchange thread (line_lost is read by the main
// thread once this one has ended).
static bool line_lost;
static bool line_down;
static long long reopen_at;

// How the exchange asks for the bridge's clean stop (exchange_start's
// argument); none in the tests that run the cycles themselves.
static void (*request_stop)(void);

// Writes TEXT to the line; bridge_lock, which the caller holds, is let go
// while the line drains.
static void line_write(const char *text, size_t n) {
    serial_write(text, n, &bridge_lock);
}

void send_command(void) {
    char *cmd = queue.peek(&queue);
    if (cmd == NULL)
        return;
    print_escaped_line("SENDING TO ARDUINO: ", cmd);
    // Outstanding from here: the lock is let go during the write, and the
    // head stays in the queue (only this thread removes it).
    head_written = true;
    stray_bytes = 0;
    line_write(cmd, strlen(cmd));
    // From the end of the write: a long command takes a while to go out.
    command_sent_at = now_ms();
    printf("WAITING FOR A SERIAL ACK !\n");
}

// Hands the heap that a long command list used back to the system once the
// queue is empty. glibc keeps freed small blocks for reuse, so a router that
// once took a 100,000-command list would otherwise carry its peak for good.
// Only after a long queue: a short one leaves nothing worth a heap walk in
// the poll loop. Caller holds bridge_lock.
static void release_free_memory(void) {
#ifdef __GLIBC__
    if (queue_was_long)
        malloc_trim(0);
#endif
    queue_was_long = false;
}

// The one place that decides whether the next queued command is written:
// only when none is outstanding, the line has settled, and no report is
// waiting or being read (it would be taken for the acknowledgement). When
// nothing is written the exchange is idle and takes the next report. Caller
// holds bridge_lock.
void send_next_or_go_idle(void) {
    if (queue.count >= LONG_QUEUE)
        queue_was_long = true;
    if (head_written || settling != SETTLED || commands_held || line_down)
        return;
    if (queue.count > 0 && report_count == 0 && serial_available() == 0 && !serial_line_failed()) {
        IDLE = 0;
        send_command();
    } else {
        IDLE = 1;
        if (queue.count == 0)
            release_free_memory();
    }
}

void send_list_if_idle(void) {
    if (IDLE)
        send_next_or_go_idle();
}

void exchange_hold_commands(void) {
    commands_held = true;
    // A command still going out is cut short: the stop must not wait for
    // the line.
    serial_stop_waiting();
}

int exchange_commands_not_sent(void) {
    return queue.count - (head_written ? 1 : 0);
}

bool exchange_line_lost(void) {
    return line_lost;
}

void exchange_on_line_lost(void (*stop)(void)) {
    request_stop = stop;
}

// Logs and forgets the bytes dropped beyond the last report's 100. Caller
// holds bridge_lock.
static void log_dropped_bytes(void) {
    if (report_dropped)
        printf("DROPPED %d BYTES BEYOND A 100-BYTE REPORT\n", report_dropped);
    report_dropped = 0;
}

// The report read so far is whole: answer it, pass it on, and write the
// next command or go idle. Caller holds bridge_lock.
static void finish_report(void) {
    // A full report's tail is still coming: counted until the line settles.
    if (settling != AFTER_FULL_REPORT)
        log_dropped_bytes();
    if (report[0] == '!') {
        outbox_add(topic_info, report);
        line_write("#\n", 2);
    } else {
        line_write("#\n", 2);
        printf("RECEIVED STATUS UPDATE FROM ARDUINO.\n");
        outbox_add(topic_status_update, report);
        // A report that answers no command is still passed on, but there is
        // nothing to remove.
        if (head_written) {
            queue.pop(&queue);
            head_written = false;
        }
    }
    memset(report, 0, sizeof(report));
    report_count = 0;
    send_next_or_go_idle();
}

// Takes one byte of a report; beyond 100 bytes, counts it as dropped.
static void report_byte(int byte) {
    if (report_count < REPORT_SIZE)
        report[report_count++] = (unsigned char)byte;
    else
        report_dropped++;
}

// Logs a byte that is not the "#" awaited: its own line for the first few
// of a wait, a count for the rest (log_stray_rest).
static void stray_byte(int byte) {
    if (++stray_bytes <= STRAY_LINES)
        printf("[%c] INSTEAD OF ACK\n", byte);
}

// The wait for a "#" has ended: the stray bytes beyond the first few are
// logged as one count.
static void log_stray_rest(void) {
    if (stray_bytes > STRAY_LINES)
        printf("%ld MORE BYTES INSTEAD OF ACK\n", stray_bytes - STRAY_LINES);
    stray_bytes = 0;
}

// The line has been quiet long enough: commands may go out again. Caller
// holds bridge_lock.
static void end_settling(void) {
    log_dropped_bytes(); // after a timeout nothing was counted
    log_stray_rest();
    settling = SETTLED;
    send_next_or_go_idle();
}

// A byte while a command awaits its "#": true when it is the "#". Caller
// holds bridge_lock.
static bool ack_byte(int byte) {
    if (byte != '#') {
        stray_byte(byte);
        return false;
    }
    log_stray_rest();
    printf("RECEIVED SERIAL_ACK\n");
    IDLE = 1;
    return true;
}

// A byte that arrived while the line settles. Caller holds bridge_lock.
static void settling_byte(int byte) {
    if (settling == AFTER_TIMEOUT)
        stray_byte(byte);
    else
        report_dropped++;
}

// Event-driven, bytes are read as they come and never wait: a line that
// carried a byte within the last gap is still talking, and what it says may
// be the answer. Caller holds bridge_lock.
static bool line_talking(long long now) {
    return event_driven() && now - line_active_at < settings.report_gap_ms;
}

// With a command deadline set: gives up the written command at the head of
// the queue once it has gone unanswered that long, whether the "#" or the
// report is missing. Never while a byte is waiting or a report is being
// read, nor while the line is talking: that may be the answer. The next
// command waits until the line has settled. Caller holds bridge_lock.
static void expire_command(long long now) {
    if (settings.command_timeout_s <= 0 || !head_written)
        return;
    if (now - command_sent_at < settings.command_timeout_s * 1000LL)
        return;
    if (serial_available() > 0 || report_count > 0 || line_talking(now))
        return;
    log_stray_rest();
    print_escaped_line("COMMAND TIMED OUT: ", queue.peek(&queue));
    queue.pop(&queue);
    head_written = false;
    IDLE = 0;
    settling = AFTER_TIMEOUT;
    line_active_at = now;
}

// How long the line must have been quiet to end settling, in ms. After a
// deadline, a whole poll cycle (the default one without a poll interval: a
// late answer may come a good while after the deadline).
static long long settle_ms(void) {
    if (settling == AFTER_TIMEOUT)
        return event_driven() ? 100 : settings.poll_interval_ms;
    return settings.report_gap_ms;
}

// One poll cycle's reading. Idle: whatever is waiting is one report.
// Awaiting acknowledgement: a "#" is taken and the rest discarded. Settling:
// a whole cycle without a byte ends it. Caller holds bridge_lock.
static void poll_line(long long now) {
    if (settling != SETTLED) {
        if (serial_available() == 0) {
            if (now - line_active_at >= settle_ms())
                end_settling();
            return;
        }
        line_active_at = now;
        while (serial_available())
            settling_byte(serial_read_byte());
    } else if (IDLE) {
        if (serial_available() == 0)
            return;
        while (serial_available())
            report_byte(serial_read_byte());
        finish_report();
    } else {
        while (serial_available()) {
            if (ack_byte(serial_read_byte()))
                serial_flush();
        }
    }
}

// The event-driven reading: every byte as it comes. The "#" is taken at once
// and what follows it is the start of the report; a report ends when the
// line has been quiet for the gap, or at 100 bytes. Caller holds bridge_lock.
static void read_line_events(long long now) {
    while (serial_available()) {
        int byte = serial_read_byte();
        line_active_at = now;
        if (settling != SETTLED) {
            settling_byte(byte);
        } else if (!IDLE) {
            ack_byte(byte);
        } else {
            report_byte(byte);
            if (report_count == REPORT_SIZE) {
                // Whole at 100 bytes; what follows it without a pause is its
                // tail, dropped, and no command goes out until it has ended.
                settling = AFTER_FULL_REPORT;
                finish_report();
            }
        }
    }
    if (settling != SETTLED && now - line_active_at >= settle_ms())
        end_settling();
    else if (settling == SETTLED && IDLE && report_count > 0 &&
             now - line_active_at >= settings.report_gap_ms)
        finish_report();
}

// The line has failed: a report half read is lost with it (nothing answered
// it). Without BRIDGE_SERIAL_REOPEN the bridge stops as on SIGTERM, commands
// held; with it the command outstanding is given up as at its deadline (the
// device may have run it), the port is closed, and the queued commands wait
// for the device to be back. Caller holds bridge_lock.
static void handle_failed_line(long long now) {
    memset(report, 0, sizeof(report));
    report_count = 0;
    report_dropped = 0;
    stray_bytes = 0;
    settling = SETTLED;
    IDLE = 1;
    if (!settings.serial_reopen) {
        line_lost = true;
        exchange_hold_commands();
        if (request_stop)
            request_stop();
        return;
    }
    if (head_written) {
        print_escaped_line("COMMAND TIMED OUT: ", queue.peek(&queue));
        queue.pop(&queue);
        head_written = false;
    }
    printf("SERIAL PORT LOST, REOPENING: %s\n", settings.serial_device);
    serial_end();
    line_down = true;
    reopen_at = now + REOPEN_INTERVAL_MS;
}

// Once a second while the port is closed: opens the device again with the
// settings and the discard of stale input of start-up. Without bridge_lock:
// the open lets the line settle, and only this thread uses the port.
static void reopen_line(void) {
    long long now = now_ms();
    if (now < reopen_at)
        return;
    reopen_at = now + REOPEN_INTERVAL_MS;
    if (!serial_open(settings.serial_device, settings.serial_baud))
        return;
    serial_flush();
    if (serial_line_failed()) {
        serial_end(); // opened, but dead already: tried again later
        return;
    }
    line_down = false;
    printf("SERIAL PORT REOPENED: %s\n", settings.serial_device);
}

// Event-driven mode: how long the exchange thread may wait for the line or
// a wake-up before it has something to do, in ms; -1 for no limit. Caller
// holds bridge_lock.
static int next_wait_ms(long long now) {
    long long due = -1;
    if (line_down)
        due = reopen_at;
    else if (settling != SETTLED)
        due = line_active_at + settle_ms();
    else if (IDLE && report_count > 0)
        due = line_active_at + settings.report_gap_ms;
    if (settings.command_timeout_s > 0 && head_written) {
        long long deadline = command_sent_at + settings.command_timeout_s * 1000LL;
        if (deadline < line_active_at + settings.report_gap_ms)
            deadline = line_active_at + settings.report_gap_ms; // see line_talking
        if (due < 0 || deadline < due)
            due = deadline;
    }
    // A publish the library refused is tried again a poll cycle later.
    if (outbox_can_hand_over() && (due < 0 || due > now + 100))
        due = now + 100;
    if (due < 0)
        return -1;
    return due <= now ? 0 : (int)(due - now);
}

int serial_reads_cycle(void) {
    int wait_ms = settings.poll_interval_ms;
    if (line_down)
        reopen_line();
    pthread_mutex_lock(&bridge_lock);
    long long now = now_ms();
    expire_command(now);
    outbox_hand_over();
    send_list_if_idle();
    if (line_down || line_lost) {
        // Nothing to read: the cycle only hands reports over.
    } else if (event_driven()) {
        read_line_events(now);
    } else {
        poll_line(now);
    }
    if (serial_line_failed() && !line_down && !line_lost)
        handle_failed_line(now);
    if (event_driven())
        wait_ms = next_wait_ms(now);
    pthread_mutex_unlock(&bridge_lock);
    return wait_ms;
}
