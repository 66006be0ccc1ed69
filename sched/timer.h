#pragma once
// The timer thread of a core: moves the services of the wait queue that are due in the current
// whole second to the execute queue, then sleeps until the next one is due.

#include <ctime>

struct infoThread;

// Moves every service due at or before second now; returns the number moved.
int moveDueServices(infoThread& core, time_t now);
// Thread entry; arg is the core's infoThread*. Returns when die_mavo is set.
void* thread_check_time(void* arg);
