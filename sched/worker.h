#pragma once
// Worker threads: take a due service from their core's execute queue and carry it through one
// cycle (deletion, maintenance, update, run with retries, store, incidents, alerts, re-queue).

#include <string>

#include "service/service.h"

struct infoThread;

// One cycle for a service popped from core's execute queue; tid prefixes the trace lines.
// Never throws: anything unexpected is logged and the service is rescheduled.
void handleService(infoThread& core, service svc, const std::string& tid);
// Thread entry; arg is the core's infoThread*.
void* thread_execute_plugin(void* arg);
