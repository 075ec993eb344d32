#include "wake.h"

#include <fcntl.h>
#include <unistd.h>

bool wake_open(struct Wake *w) {
    if (pipe(w->fds) != 0)
        return false;
    fcntl(w->fds[0], F_SETFL, O_NONBLOCK);
    fcntl(w->fds[1], F_SETFL, O_NONBLOCK);
    return true;
}

void wake_signal(const struct Wake *w) {
    if (w->fds[1] >= 0) {
        char b = 1;
        ssize_t n = write(w->fds[1], &b, 1);
        (void)n;
    }
}

bool wake_take(const struct Wake *w) {
    char drain[64];
    bool woken = false;
    while (read(w->fds[0], drain, sizeof(drain)) > 0)
        woken = true;
    return woken;
}
