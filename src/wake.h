// A wake-up pipe: a thread that sleeps in poll() on its read end is woken by
// a byte on its write end. Both ends are non-blocking, so a wake never
// blocks (a full pipe already wakes) and an empty pipe never holds a read.
#ifndef BRIDGE_WAKE_H
#define BRIDGE_WAKE_H

#include <stdbool.h>

struct Wake {
    int fds[2]; // read end, write end; -1 when the pipe could not be made
};

#define WAKE_INIT                                                                                  \
    {                                                                                              \
        { -1, -1 }                                                                                 \
    }

// Start-up, before the threads that use it: makes the pipe; false when it
// could not be made (the waits then only time out).
bool wake_open(struct Wake *w);

// Any thread, and async-signal-safe: wakes the sleeper.
void wake_signal(const struct Wake *w);

// The sleeper: empties the pipe; true when it held a wake-up.
bool wake_take(const struct Wake *w);

#endif
