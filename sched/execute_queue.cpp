// The process-wide queue through which workers hand the services they drop back to the reload
// thread, which deletes their rows. The queue itself is a header-only template.

#include "sched/execute_queue.h"

ExecuteQueue<service> deleteService;
