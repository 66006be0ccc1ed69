#pragma once
// Worker threads: take a due service from their core's execute queue and carry it through one
// cycle (deletion, maintenance, update, run with retries, store, incidents, alerts, re-queue).

#include <memory>
#include <string>

#include "service/service.h"

struct SchedContext;
struct infoThread;

// One cycle for a service popped from core's execute queue, with what ctx holds (the delete
// list, the update map, maintenance, error ids, settings, the journal); tid prefixes the trace
// lines. Never throws: anything unexpected is logged and the service is rescheduled. The
// service goes back into the wait queue by its pointer; the overload by value wraps it in one.
void handleService(const SchedContext& ctx, infoThread& core, std::unique_ptr<service> svc,
                   const std::string& tid);
void handleService(const SchedContext& ctx, infoThread& core, service svc, const std::string& tid);
// Thread entry; arg is the core's infoThread*, whose context the worker uses.
void* thread_execute_plugin(void* arg);
