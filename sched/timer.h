#pragma once
// The timer thread of a core: moves the services of the wait queue that are due to the execute
// queue, then sleeps until the next one is due, on the monotonic clock.

#include <sys/time.h>

#include <cstdint>

struct infoThread;

// Moves every service due at or before now (monotonic); returns the number moved.
int moveDueServices(infoThread& core, const timeval& now);
// Thread entry; arg is the core's infoThread*. Returns when die_mavo is set.
void* thread_check_time(void* arg);
