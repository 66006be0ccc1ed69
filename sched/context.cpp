// The daemon's scheduling context, built once by main from the process-wide objects.

#include "sched/context.h"

#include "core/settings.h"
#include "db/pool.h"
#include "maintenance/maintenance.h"
#include "sched/delete_list.h"
#include "sched/incidents.h"
#include "sched/info_thread.h"
#include "sched/scheduled_services.h"
#include "sched/update_service_map.h"

std::string SchedContext::errorId(int state) const {
  return error_ids != nullptr ? errorIdIn(*error_ids, state) : std::string();
}

namespace {
DaemonCounters daemon_counters;
}  // namespace

SchedContext daemonContext(ResultJournal* journal) {
  SchedContext c;
  c.counters = &daemon_counters;
  c.cores = &vec_core;
  c.scheduled = &scheduledServices;
  c.updates = &serviceUpdate;
  c.deletions = &serviceDeleteList;
  c.dropped = &deleteService;
  c.maintenance = &maintenance;
  c.error_ids = &map_error;
  c.journal = journal;
  c.main_pool = pgSQL;
  c.id_cluster = id_cluster;
  c.verify_state_change = verify_state_change;
  c.wait_state_verify = wait_state_verify;
  c.plugin_timeout = plugin_timeout;
  c.load_spread = modulo_rand;
  c.reload_period = wait_load_delete_thread;
  return c;
}
