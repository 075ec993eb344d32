#include "exchange.h"

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bridge.h"
#include "bridge_config.h"
#include "outbox.h"
#include "serial.h"
#include "topics.h"

// Without a poll interval the exchange thread waits on the line instead: a
// report ends when the line has been quiet for BRIDGE_REPORT_GAP_MS.
#define EVENT_DRIVEN (BRIDGE_POLL_INTERVAL_MS == 0)

// The report being read. Cleared after each report so that no byte of one
// report reaches the payload of the next. Guarded by bridge_lock; only the
// exchange thread changes it.
static unsigned char report[REPORT_SIZE];
static int report_count;
static int report_dropped; // bytes beyond REPORT_SIZE

// Set when the queue held LONG_QUEUE commands or more since it was last
// empty. Guarded by bridge_lock.
#define LONG_QUEUE 1024
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

// Set when the bridge is stopping: no command is written any more. Guarded
// by bridge_lock.
static bool commands_held;

// Set by exchange_stop; the thread ends after its current cycle.
static std::atomic<bool> exchange_ending;
static pthread_t exchange_thread;

// Read end and write end of the pipe that wakes the exchange thread in the
// event-driven mode; -1 otherwise.
static int wake_pipe[2] = {-1, -1};

// Wakes the exchange thread when it waits on the line; any thread.
void exchange_wake(void) {
    if (wake_pipe[1] >= 0) {
        char b = 1;
        ssize_t n = write(wake_pipe[1], &b, 1); // a full pipe already wakes it
        (void)n;
    }
}

void send_command(void) {
    char *cmd = queue.peek(&queue);
    if (cmd == NULL)
        return;
    printf("SENDING TO ARDUINO: %s\n", cmd);
    serial_print_string(cmd);
    // From the end of the write: a long command takes a while to go out.
    command_sent_at = now_ms();
    head_written = true;
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
    if (head_written || settling != SETTLED || commands_held)
        return;
    if (queue.count > 0 && report_count == 0 && serial_available() == 0) {
        IDLE = 0;
        send_command();
    } else {
        IDLE = 1;
        if (queue.count == 0)
            release_free_memory();
    }
}

void exchange_hold_commands(void) {
    commands_held = true;
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
        serial_print_string("#\n");
    } else {
        serial_print_string("#\n");
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

// The line has been quiet long enough: commands may go out again. Caller
// holds bridge_lock.
static void end_settling(void) {
    log_dropped_bytes(); // after a timeout nothing was counted
    settling = SETTLED;
    send_next_or_go_idle();
}

// A byte while a command awaits its "#": true when it is the "#". Caller
// holds bridge_lock.
static bool ack_byte(int byte) {
    if (byte != '#') {
        printf("[%c] INSTEAD OF ACK\n", byte);
        return false;
    }
    printf("RECEIVED SERIAL_ACK\n");
    IDLE = 1;
    return true;
}

// A byte that arrived while the line settles. Caller holds bridge_lock.
static void settling_byte(int byte) {
    if (settling == AFTER_TIMEOUT)
        printf("[%c] INSTEAD OF ACK\n", byte);
    else
        report_dropped++;
}

// Event-driven, bytes are read as they come and never wait: a line that
// carried a byte within the last gap is still talking, and what it says may
// be the answer. Caller holds bridge_lock.
static bool line_talking(long long now) {
    return EVENT_DRIVEN && now - line_active_at < BRIDGE_REPORT_GAP_MS;
}

// With a command deadline set: gives up the written command at the head of
// the queue once it has gone unanswered that long, whether the "#" or the
// report is missing. Never while a byte is waiting or a report is being
// read, nor while the line is talking: that may be the answer. The next
// command waits until the line has settled. Caller holds bridge_lock.
static void expire_command(long long now) {
    if (BRIDGE_COMMAND_TIMEOUT_S <= 0 || !head_written)
        return;
    if (now - command_sent_at < BRIDGE_COMMAND_TIMEOUT_S * 1000LL)
        return;
    if (serial_available() > 0 || report_count > 0 || line_talking(now))
        return;
    printf("COMMAND TIMED OUT: %s\n", queue.peek(&queue));
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
        return EVENT_DRIVEN ? 100 : BRIDGE_POLL_INTERVAL_MS;
    return BRIDGE_REPORT_GAP_MS;
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
             now - line_active_at >= BRIDGE_REPORT_GAP_MS)
        finish_report();
}

// Event-driven mode: how long the exchange thread may wait for the line or
// a wake-up before it has something to do, in ms; -1 for no limit. Caller
// holds bridge_lock.
static int next_wait_ms(long long now) {
    long long due = -1;
    if (settling != SETTLED)
        due = line_active_at + settle_ms();
    else if (IDLE && report_count > 0)
        due = line_active_at + BRIDGE_REPORT_GAP_MS;
    if (BRIDGE_COMMAND_TIMEOUT_S > 0 && head_written) {
        long long deadline = command_sent_at + BRIDGE_COMMAND_TIMEOUT_S * 1000LL;
        if (deadline < line_active_at + BRIDGE_REPORT_GAP_MS)
            deadline = line_active_at + BRIDGE_REPORT_GAP_MS; // see line_talking
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

static int exchange_wait_ms = -1; // exchange thread only

void serial_reads_cycle(void) {
    pthread_mutex_lock(&bridge_lock);
    long long now = now_ms();
    expire_command(now);
    outbox_hand_over();
    if (EVENT_DRIVEN) {
        read_line_events(now);
        exchange_wait_ms = next_wait_ms(now);
    } else {
        poll_line(now);
    }
    pthread_mutex_unlock(&bridge_lock);
}

// Event-driven mode: sleeps until a byte arrives, another thread wakes the
// loop, or the cycle's wait runs out.
static void wait_for_line(void) {
    struct pollfd fds[2] = {{sd, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
    if (poll(fds, 2, exchange_wait_ms) <= 0)
        return;
    if (fds[1].revents & POLLIN) {
        char drain[64];
        ssize_t n = read(wake_pipe[0], drain, sizeof(drain));
        (void)n;
    }
    // A line that hangs up stays readable without data: don't spin on it.
    if ((fds[0].revents & (POLLHUP | POLLERR)) && !(fds[0].revents & POLLIN))
        usleep(100000);
}

void *serial_reads(void *arg) {
    (void)arg;
    static const struct timespec poll_interval = {BRIDGE_POLL_INTERVAL_MS / 1000,
                                                  (BRIDGE_POLL_INTERVAL_MS % 1000) * 1000000L};
    while (!exchange_ending) {
        serial_reads_cycle();
        if (EVENT_DRIVEN)
            wait_for_line();
        else
            nanosleep(&poll_interval, NULL);
    }
    return NULL;
}

void exchange_start(void) {
    // Without a poll interval the thread sleeps on the line and on this pipe.
    if (EVENT_DRIVEN && pipe(wake_pipe) == 0) {
        fcntl(wake_pipe[0], F_SETFL, O_NONBLOCK);
        fcntl(wake_pipe[1], F_SETFL, O_NONBLOCK);
    }
    if (pthread_create(&exchange_thread, NULL, serial_reads, NULL) != 0) {
        fprintf(stderr, "Unable to start the serial thread.\n");
        exit(1);
    }
}

void exchange_stop(void) {
    exchange_ending = true;
    exchange_wake();
    pthread_join(exchange_thread, NULL);
}
