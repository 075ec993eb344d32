#include "bridge.h"

#include <time.h>

pthread_mutex_t bridge_lock = PTHREAD_MUTEX_INITIALIZER;
int IDLE = 1;
Queue queue;
char ID[18];

long long now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}
