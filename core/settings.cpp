// Definitions of the process-wide settings and the stop-aware sleep.
// sleepUnlessStopped and wakeStopSleepers share stop_mutex/stop_cond; any thread may call them
// (never from signal context).

#include "core/settings.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

std::string pathToConfigFile = "/etc/mavo/mavo.conf";
int debug = 0;
int id_cluster = 0;
std::string file_info;
int core_number = 1;
int nbr_max_thread = 0;
int modulo_rand = 300;
int wait_load_delete_thread = 300;
int verify_state_change = 0;
int wait_state_verify = 60;
int plugin_timeout = 0;
std::string connectLine;
int die_mavo = 0;

namespace {
pthread_mutex_t stop_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t stop_cond = [] {
  pthread_cond_t c;
  initMonotonicCond(&c);
  return c;
}();
}  // namespace

bool sleepUnlessStopped(long milliseconds) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const timespec deadline = addMilliseconds(now, milliseconds);
  pthread_mutex_lock(&stop_mutex);
  while (!stopRequested()) {
    if (pthread_cond_timedwait(&stop_cond, &stop_mutex, &deadline) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&stop_mutex);
  return stopRequested();
}

void wakeStopSleepers() {
  pthread_mutex_lock(&stop_mutex);
  pthread_cond_broadcast(&stop_cond);
  pthread_mutex_unlock(&stop_mutex);
}

timespec addMilliseconds(timespec t, long milliseconds) {
  t.tv_sec += milliseconds / 1000;
  t.tv_nsec += (milliseconds % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

void sleepMilliseconds(long milliseconds) {
  timespec req{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  timespec rem;
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

void initMonotonicCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

void clearThreadSignalMask() {
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
}
