// Shared by the fuzz targets: their LLVMFuzzerInitialize, which opens the
// serial module on a pty whose master plays the device (bridge_probe.h), and
// the checks of the line and the queue. Everything runs on the
// fuzzer's one thread, calling the handlers and the exchange loop's cycle
// directly.
#ifndef BRIDGE_FUZZ_LINE_H
#define BRIDGE_FUZZ_LINE_H

#include <mosquitto.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "bridge.h"
#include "bridge_probe.h"
#include "exchange.h"
#include "mosquitto-client.h"
#include "net_loop.h"
#include "outbox.h"
#include "serial.h"
#include "session.h"

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

// What the bridge wrote to the line: waits up to 2 s until at least WANT
// bytes came through, then takes whatever else is already there.
inline std::string line_read(size_t want) {
    std::string got = simfw::read_bytes(device, want, std::chrono::seconds(2));
    return got + simfw::read_bytes(device, SIZE_MAX, std::chrono::milliseconds(0));
}

// Checks that the bridge wrote exactly WANT to the line.
inline void line_expect(const std::string &want, const char *what) {
    std::string got = line_read(want.size());
    if (got != want)
        fprintf(stderr, "line: expected \"%s\", got \"%s\"\n", simfw::escape(want).c_str(),
                simfw::escape(got).c_str());
    FUZZ_CHECK(got == want, what);
}

// The device sends BYTES; returns once the bridge's side sees them all.
inline void device_sends(const unsigned char *bytes, size_t n) {
    FUZZ_CHECK(device_writes(device, bytes, n), "the device's bytes reached the bridge within 2 s");
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
    exchange_reset(WAITING_FOR_REPORT);
    acknowledge_publishes();
    published.clear();
    serial_flush();
    line_read(0);
}

// Both targets start from the same line: the port opened once per process
// (serial_begin sleeps to let the line settle), publishes recorded.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    device = line_open();
    bridge_publish = record_publish;
    session_up();
    bridge_reset();
    return 0;
}

#endif
