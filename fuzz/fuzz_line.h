// Shared by the fuzz targets: the serial module opened on the slave of a
// pseudo-terminal whose master plays the device, and the queue's invariants;
// publishes and messages go through bridge_probe.h. Everything runs on the
// fuzzer's one thread, calling the handlers and the exchange loop's cycle
// directly.
#ifndef BRIDGE_FUZZ_LINE_H
#define BRIDGE_FUZZ_LINE_H

#include <errno.h>
#include <mosquitto.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bridge_probe.h"
#include "mosquitto-client.h"
#include "serial.h"

// A violated invariant aborts, which libFuzzer reports as a crash and saves
// the input that caused it.
#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "invariant violated: %s (%s)\n", what, #cond);                         \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

inline int device = -1; // master side of the pty: what the microcontroller would see

inline long long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// libFuzzer installs its SIGALRM handler (its per-input timeout) without
// SA_RESTART, and after LLVMFuzzerInitialize. A tick that lands in the
// bridge's write to the line then fails that write with EINTR and loses the
// command: something the daemon, which installs no handler, never meets.
// Called at the start of every input; adds SA_RESTART once.
inline void restart_after_timer(void) {
    static bool done = false;
    if (done)
        return;
    struct sigaction sa;
    if (sigaction(SIGALRM, NULL, &sa) == 0 && sa.sa_handler != SIG_DFL &&
        sa.sa_handler != SIG_IGN) {
        sa.sa_flags |= SA_RESTART;
        sigaction(SIGALRM, &sa, NULL);
    }
    done = true;
}

// Opens the bridge's serial port on a fresh pty and routes publishes to the
// recorder. Once per process: serial_begin sleeps to let the line settle.
inline void line_open(void) {
    int slave = -1;
    char name[128];
    if (openpty(&device, &slave, name, NULL, NULL) != 0) {
        perror("openpty");
        abort();
    }
    serial_begin(name, 115200);
    close(slave); // the bridge keeps its own descriptor
    bridge_publish = record_publish;
    session_up();
    published.clear();
}

// What the bridge wrote to the line: waits up to 2 s until at least WANT
// bytes came through, then takes whatever else is already there. The pty
// hands bytes to the other side asynchronously, hence the wait. libFuzzer's
// timer signal interrupts the wait now and then: EINTR just waits on.
// line_stop says why the last read stopped, for failure messages.
inline char line_stop[128];
inline std::string line_read(size_t want) {
    std::string got;
    long long start = now_ms(), deadline = start + 2000;
    for (;;) {
        long long left = got.size() < want ? deadline - now_ms() : 0;
        struct pollfd p = {device, POLLIN, 0};
        int ready = poll(&p, 1, left > 0 ? (int)left : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t n = -2;
        char buf[4096];
        if (ready > 0) {
            n = read(device, buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
        }
        if (ready <= 0 || n <= 0) {
            snprintf(line_stop, sizeof(line_stop),
                     "poll %d revents %#x read %zd (%s) after %lld ms", ready, p.revents, n,
                     strerror(errno), now_ms() - start);
            break;
        }
        got.append(buf, (size_t)n);
    }
    return got;
}

// Readable form of line bytes for failure messages.
inline std::string escaped(const std::string &bytes) {
    std::string out;
    for (unsigned char b : bytes) {
        char buf[8];
        snprintf(buf, sizeof(buf), b >= 0x20 && b < 0x7f && b != '\\' ? "%c" : "\\x%02x", b);
        out += buf;
    }
    return out;
}

// Checks that the bridge wrote exactly WANT to the line.
inline void line_expect(const std::string &want, const char *what) {
    std::string got = line_read(want.size());
    if (got != want)
        fprintf(stderr, "line: expected \"%s\", got \"%s\"; %s\n", escaped(want).c_str(),
                escaped(got).c_str(), line_stop);
    FUZZ_CHECK(got == want, what);
}

// The device sends BYTES; returns once the bridge's side sees them all.
inline void device_sends(const unsigned char *bytes, size_t n) {
    int before = serial_available();
    // A write to a tty may come back short or with EINTR when a signal
    // arrives while it waits for buffer space.
    for (size_t done = 0; done < n;) {
        ssize_t w = write(device, bytes + done, n - done);
        FUZZ_CHECK(w > 0 || (w < 0 && errno == EINTR), "the pty takes the device's bytes");
        if (w > 0)
            done += (size_t)w;
    }
    long long deadline = now_ms() + 2000;
    while (serial_available() < before + (int)n) {
        FUZZ_CHECK(now_ms() < deadline, "the device's bytes reached the bridge within 2 s");
        usleep(20);
    }
}

// count equals the nodes reachable from head, and tail is the last of them.
inline void check_queue(void) {
    FUZZ_CHECK(queue.count >= 0, "count is never negative");
    int reachable = 0;
    Node *last = NULL;
    // Stops one past count so that a cycle in the list can't hang the check.
    for (Node *n = queue.head; n && reachable <= queue.count; n = n->next) {
        reachable++;
        last = n;
    }
    FUZZ_CHECK(reachable == queue.count, "count equals the nodes reachable from head");
    if (queue.head)
        FUZZ_CHECK(queue.tail == last && queue.tail->next == NULL, "tail is the last node");
}

// The reference rule: the non-empty runs between ";" of the text up to its
// first NUL.
inline std::vector<std::string> split(const unsigned char *payload, size_t len) {
    std::vector<std::string> out;
    std::string cur;
    for (size_t i = 0; i < len && payload[i] != '\0'; i++) {
        if (payload[i] == ';') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += (char)payload[i];
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

// Back to the start state, after each input: empty queue, idle, both
// directions of the line drained. Freeing the queue here also keeps each
// input's mallocs and frees even, which libFuzzer's leak check looks at.
inline void bridge_reset(void) {
    while (queue.head)
        queue.pop(&queue);
    queue = createQueue();
    IDLE = 1;
    head_written = false;
    published.clear();
    serial_flush();
    line_read(0);
}

#endif
