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

// Every function here but the public ones runs with bridge_lock held.

// The exchange's state (exchange.h's table), and whether the stop came:
// every exchange then ends in STOPPING. Guarded by bridge_lock; only the
// exchange thread changes the state, but for the stop's STOPPING.
static ExchangeState state = WAITING_FOR_REPORT;
static bool stopping;
// LINE_LOST: whether the head had been written (it is not among the
// commands not sent). Exchange thread.
static bool lost_with_head_written;

// The report being read, cleared after each so that no byte of one reaches
// the next. Guarded by bridge_lock; only the exchange thread changes it.
static unsigned char report[REPORT_SIZE];
static int report_count;
static int report_dropped; // bytes beyond REPORT_SIZE

// Set when the queue held LONG_QUEUE commands or more since it was last
// empty: half the queue's bound, at most 1024. Guarded by bridge_lock.
#define LONG_QUEUE                                                                                 \
    (settings.queued_commands_max / 2 < 1024 ? settings.queued_commands_max / 2 : 1024)
static bool queue_was_long;

// Monotonic ms: when the outstanding command was written (its deadline
// counts from there), and the last byte read or the deadline's settling
// began (a quiet line counts from there). Guarded by bridge_lock.
static long long command_sent_at;
static long long line_active_at;

// Bytes other than "#" since the current wait for one began (a command
// written, or given up). The first STRAY_LINES are logged one line each, the
// rest counted in one line when the wait ends, so noise cannot flood the
// log. Exchange thread.
#define STRAY_LINES 16
static long stray_bytes;

// LINE_DOWN: how often the device is looked for again, and when next.
#define REOPEN_INTERVAL_MS 1000
static long long reopen_at;

// How the exchange asks for the bridge's clean stop (exchange_start's
// argument); none in the tests that run the cycles themselves.
static void (*request_stop)(void);

// The one place the state changes, and IDLE with it.
static void enter(ExchangeState next) {
    state = next;
    IDLE = (next == AWAITING_ACK || next == SETTLING_AFTER_DEADLINE) ? 0 : 1;
}

// A command has been written and its status report not yet taken.
static bool command_outstanding(void) {
    switch (state) {
    case AWAITING_ACK:
    case AWAITING_REPORT:
    case READING_ANSWER:
    case SETTLING_AFTER_FULL_INFO:
        return true;
    default:
        return false;
    }
}

// Writes TEXT to the line; bridge_lock, which the caller holds, is let go
// while the line drains.
static void line_write(const char *text, size_t n) {
    serial_write(text, n, &bridge_lock);
}

// Writes the head of queue without removing it, and notes the time for its
// deadline.
static void send_command(void) {
    char *cmd = queue.peek(&queue);
    if (cmd == NULL)
        return;
    print_escaped_line("SENDING TO ARDUINO: ", cmd);
    // Outstanding from here: the lock is let go during the write, and the
    // head stays in the queue (only this thread removes it).
    enter(AWAITING_ACK);
    stray_bytes = 0;
    line_write(cmd, strlen(cmd));
    // From the end of the write: a long command takes a while to go out.
    command_sent_at = now_ms();
    printf("WAITING FOR A SERIAL ACK !\n");
}

// Hands the heap a long command list used back once the queue is empty:
// glibc keeps freed small blocks, so a router that once took 100,000
// commands would carry its peak for good. A short queue is not worth the
// heap walk.
static void release_free_memory(void) {
#ifdef __GLIBC__
    if (queue_was_long)
        malloc_trim(0);
#endif
    queue_was_long = false;
}

static void note_queue_length(void) {
    if (queue.count >= LONG_QUEUE)
        queue_was_long = true;
}

// Free (exchange.h): a byte waiting would be taken for the "#" of a command
// written now, so the report is read first.
static void send_next_or_go_idle(void) {
    note_queue_length();
    if (stopping) {
        enter(STOPPING);
    } else if (queue.count > 0 && serial_available() == 0 && !serial_line_failed()) {
        send_command();
    } else {
        enter(WAITING_FOR_REPORT);
        if (queue.count == 0)
            release_free_memory();
    }
}

void send_list_if_idle(void) {
    if (state == WAITING_FOR_REPORT)
        send_next_or_go_idle();
    else
        note_queue_length();
}

void exchange_hold_commands(void) {
    stopping = true;
    if (state == WAITING_FOR_REPORT)
        enter(STOPPING);
    // A command still going out is cut short: the stop must not wait for
    // the line.
    serial_stop_waiting();
}

int exchange_commands_not_sent(void) {
    bool written = state == LINE_LOST ? lost_with_head_written : command_outstanding();
    return queue.count - (written ? 1 : 0);
}

bool exchange_line_lost(void) {
    return state == LINE_LOST;
}

void exchange_on_line_lost(void (*stop)(void)) {
    request_stop = stop;
}

ExchangeState exchange_state(void) {
    return state;
}

static void clear_report(void) {
    memset(report, 0, sizeof(report));
    report_count = 0;
    report_dropped = 0;
}

void exchange_reset(ExchangeState next) {
    clear_report();
    stopping = next == STOPPING || next == LINE_LOST;
    lost_with_head_written = false;
    stray_bytes = 0;
    queue_was_long = false;
    command_sent_at = line_active_at = now_ms();
    enter(next);
}

// Logs and forgets the bytes dropped beyond the last report's 100.
static void log_dropped_bytes(void) {
    if (report_dropped)
        printf("DROPPED %d BYTES BEYOND A 100-BYTE REPORT\n", report_dropped);
    report_dropped = 0;
}

// A byte not the "#" awaited: a line each for the first few of a wait, a
// count for the rest when the wait ends (log_stray_rest).
static void stray_byte(int byte) {
    if (++stray_bytes <= STRAY_LINES)
        printf("[%c] INSTEAD OF ACK\n", byte);
}

static void log_stray_rest(void) {
    if (stray_bytes > STRAY_LINES)
        printf("%ld MORE BYTES INSTEAD OF ACK\n", stray_bytes - STRAY_LINES);
    stray_bytes = 0;
}

// The report is whole (FULL: at 100 bytes, its tail still coming): it is
// answered and passed on.
static void finish_report(bool full) {
    bool answer = state == READING_ANSWER;
    bool info = report[0] == '!';
    if (!full)
        log_dropped_bytes();
    if (info) {
        outbox_add(topic_info, report);
        line_write("#\n", 2);
    } else {
        line_write("#\n", 2);
        printf("RECEIVED STATUS UPDATE FROM ARDUINO.\n");
        outbox_add(topic_status_update, report);
        // A report that answers no command is still passed on, but there is
        // nothing to remove.
        if (answer)
            queue.pop(&queue);
    }
    clear_report();
    bool awaited = answer && info; // the status report is still to come
    if (full)
        enter(awaited ? SETTLING_AFTER_FULL_INFO : SETTLING_AFTER_FULL_REPORT);
    else if (awaited)
        enter(AWAITING_REPORT);
    else
        send_next_or_go_idle();
}

// Takes one byte of a report; beyond 100 bytes, counts it as dropped.
static void report_byte(int byte) {
    if (report_count < REPORT_SIZE)
        report[report_count++] = (unsigned char)byte;
    else
        report_dropped++;
}

// The event "a byte", read at NOW; true when it was the "#" awaited.
static bool on_byte(int byte, long long now) {
    line_active_at = now;
    switch (state) {
    case WAITING_FOR_REPORT:
    case STOPPING:
        enter(READING_REPORT);
        report_byte(byte);
        break;
    case AWAITING_REPORT:
        enter(READING_ANSWER);
        report_byte(byte);
        break;
    case READING_REPORT:
    case READING_ANSWER:
        report_byte(byte);
        // Whole at 100 bytes; what follows it without a pause is its tail,
        // dropped, and no command goes out until it has ended.
        if (event_driven() && report_count == REPORT_SIZE)
            finish_report(true);
        break;
    case AWAITING_ACK:
        if (byte != '#') {
            stray_byte(byte);
            return false;
        }
        log_stray_rest();
        printf("RECEIVED SERIAL_ACK\n");
        enter(AWAITING_REPORT);
        return true;
    case SETTLING_AFTER_DEADLINE:
        stray_byte(byte);
        break;
    case SETTLING_AFTER_FULL_REPORT:
    case SETTLING_AFTER_FULL_INFO:
        report_dropped++;
        break;
    case LINE_DOWN:
    case LINE_LOST:
        break; // never read
    }
    return false;
}

// How long the line must be quiet for the state's quiet-line event, in ms;
// -1 for a state without one. Polling, what a cycle found was one report;
// event-driven, a report waits for its gap. After a deadline, a whole poll
// cycle (the default one without a poll interval: a late answer may come a
// good while after the deadline).
static long long quiet_needed_ms(void) {
    switch (state) {
    case READING_REPORT:
    case READING_ANSWER:
        return event_driven() ? settings.report_gap_ms : 0;
    case SETTLING_AFTER_DEADLINE:
        return event_driven() ? 100 : settings.poll_interval_ms;
    case SETTLING_AFTER_FULL_REPORT:
    case SETTLING_AFTER_FULL_INFO:
        return settings.report_gap_ms;
    default:
        return -1;
    }
}

// The event "a quiet line": nothing waits at NOW.
static void on_quiet(long long now) {
    long long needed = quiet_needed_ms();
    if (needed < 0 || now - line_active_at < needed)
        return;
    if (state == READING_REPORT || state == READING_ANSWER) {
        finish_report(false);
        return;
    }
    log_dropped_bytes(); // after a timeout nothing was counted
    log_stray_rest();
    if (state == SETTLING_AFTER_FULL_INFO)
        enter(AWAITING_REPORT);
    else
        send_next_or_go_idle();
}

// The outstanding command is given up (the device may have run it).
static void give_up_command(void) {
    print_escaped_line("COMMAND TIMED OUT: ", queue.peek(&queue));
    queue.pop(&queue);
}

// Event-driven, a line that carried a byte within the last gap is still
// talking: what it says may be the answer.
static bool line_talking(long long now) {
    return event_driven() && now - line_active_at < settings.report_gap_ms;
}

// The event "a deadline": the outstanding command, unanswered that long
// ("#" or report), is given up; never while a byte waits, a report is read
// or the line talks: that may be the answer.
static void expire_command(long long now) {
    if (settings.command_timeout_s <= 0 || !command_outstanding() || state == READING_ANSWER)
        return;
    if (now - command_sent_at < settings.command_timeout_s * 1000LL)
        return;
    if (serial_available() > 0 || line_talking(now))
        return;
    log_stray_rest();
    give_up_command();
    enter(SETTLING_AFTER_DEADLINE);
    line_active_at = now;
}

// The modes differ only here. Polling: what waits is read at once, the rest
// discarded after a "#". Event-driven: every byte as it comes, and a "#" may
// be followed at once by its report.
static void read_line(long long now) {
    while (serial_available()) {
        if (on_byte(serial_read_byte(), now) && !event_driven()) {
            serial_flush();
            break;
        }
    }
    on_quiet(now);
}

// The event "the line failed": a report half read is lost (nothing answered
// it). Reopening, the outstanding command is given up (the device may have
// run it) and the queue waits for the device; otherwise the bridge stops as
// on SIGTERM.
static void on_line_failed(long long now) {
    bool outstanding = command_outstanding();
    clear_report();
    stray_bytes = 0;
    if (!settings.serial_reopen) {
        lost_with_head_written = outstanding;
        enter(LINE_LOST);
        exchange_hold_commands();
        if (request_stop)
            request_stop();
        return;
    }
    if (outstanding)
        give_up_command();
    printf("SERIAL PORT LOST, REOPENING: %s\n", settings.serial_device);
    serial_end();
    enter(LINE_DOWN);
    reopen_at = now + REOPEN_INTERVAL_MS;
}

// Opens the lost device again with the settings and the discard of stale
// input of start-up; true once it is back. Without bridge_lock: the open
// lets the line settle, and only this thread uses the port.
static bool reopen_line(void) {
    reopen_at = now_ms() + REOPEN_INTERVAL_MS;
    if (!serial_open(settings.serial_device, settings.serial_baud))
        return false;
    serial_flush();
    if (serial_line_failed()) {
        serial_end(); // opened, but dead already: tried again later
        return false;
    }
    printf("SERIAL PORT REOPENED: %s\n", settings.serial_device);
    return true;
}

// Event-driven: how long the thread may wait for the line or a wake-up, in
// ms; -1 for no limit.
static int next_wait_ms(long long now) {
    long long due = -1;
    if (state == LINE_DOWN)
        due = reopen_at;
    else if (quiet_needed_ms() >= 0)
        due = line_active_at + quiet_needed_ms();
    if (settings.command_timeout_s > 0 && command_outstanding()) {
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
    pthread_mutex_lock(&bridge_lock);
    long long now = now_ms();
    if (state == LINE_DOWN && now >= reopen_at) {
        pthread_mutex_unlock(&bridge_lock);
        bool back = reopen_line();
        pthread_mutex_lock(&bridge_lock);
        if (back)
            send_next_or_go_idle();
        now = now_ms();
    }
    expire_command(now);
    outbox_hand_over();
    send_list_if_idle();
    // Down or lost: the cycle only hands reports over.
    if (state != LINE_DOWN && state != LINE_LOST) {
        read_line(now);
        if (serial_line_failed())
            on_line_failed(now);
    }
    if (event_driven())
        wait_ms = next_wait_ms(now);
    pthread_mutex_unlock(&bridge_lock);
    return wait_ms;
}
