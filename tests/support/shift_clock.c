// A library loaded with LD_PRELOAD into the daemon under test: it shifts the wall clock as the
// daemon sees it, without touching the machine's, by a number of seconds read from the file
// named by MAVO_CLOCK_SHIFT_FILE (read again whenever it may have changed, at most every 20 ms;
// missing or empty means 0). Readings of CLOCK_REALTIME (clock_gettime, gettimeofday, time) are
// shifted, and so are the absolute CLOCK_REALTIME deadlines of timed waits, which are taken back
// to the real clock before the wait: a wait behaves as it would under a real step of the clock.
// The monotonic clock is left alone.
//
// Each timed wait taken on CLOCK_REALTIME is also noted, one line each, in the file named by
// MAVO_CLOCK_REALTIME_WAITS_FILE (when set): the daemon must take none.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static int (*real_clock_gettime)(clockid_t, struct timespec*);
static int (*real_cond_timedwait)(pthread_cond_t*, pthread_mutex_t*, const struct timespec*);
static int (*real_cond_clockwait)(pthread_cond_t*, pthread_mutex_t*, clockid_t,
                                  const struct timespec*);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec*, struct timespec*);
static int (*real_sem_timedwait)(sem_t*, const struct timespec*);
static int (*real_mutex_timedlock)(pthread_mutex_t*, const struct timespec*);

static void resolve(void) {
  if (__atomic_load_n(&real_clock_gettime, __ATOMIC_ACQUIRE) != NULL) return;
  // The next definition: a sanitizer's interceptor when there is one (it must see the wait),
  // else the C library's default version.
  real_cond_timedwait = dlsym(RTLD_NEXT, "pthread_cond_timedwait");
  real_cond_clockwait = dlsym(RTLD_NEXT, "pthread_cond_clockwait");
  real_clock_nanosleep = dlsym(RTLD_NEXT, "clock_nanosleep");
  real_sem_timedwait = dlsym(RTLD_NEXT, "sem_timedwait");
  real_mutex_timedlock = dlsym(RTLD_NEXT, "pthread_mutex_timedlock");
  void* gettime = dlsym(RTLD_NEXT, "clock_gettime");
  __atomic_store_n(&real_clock_gettime, gettime, __ATOMIC_RELEASE);
}

static int64_t offset_s;         // the shift, in seconds
static int64_t next_read_ms = 0;  // on the monotonic clock

static int64_t monotonicMs(void) {
  struct timespec ts;
  real_clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int64_t shift(void) {
  resolve();
  const int64_t now = monotonicMs();
  if (now >= __atomic_load_n(&next_read_ms, __ATOMIC_RELAXED)) {
    __atomic_store_n(&next_read_ms, now + 20, __ATOMIC_RELAXED);
    const char* path = getenv("MAVO_CLOCK_SHIFT_FILE");
    int64_t value = 0;
    if (path != NULL) {
      const int fd = open(path, O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        char buf[64];
        const ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        if (n > 0) {
          buf[n] = 0;
          value = strtoll(buf, NULL, 10);
        }
      }
    }
    __atomic_store_n(&offset_s, value, __ATOMIC_RELAXED);
  }
  return __atomic_load_n(&offset_s, __ATOMIC_RELAXED);
}

static void noteRealtimeWait(const char* what) {
  const char* path = getenv("MAVO_CLOCK_REALTIME_WAITS_FILE");
  if (path == NULL) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[128];
  const int n = snprintf(line, sizeof line, "%s\n", what);
  if (write(fd, line, (size_t)n) < 0) {
    // nothing to do: the test finds the file short
  }
  close(fd);
}

static int isRealtime(clockid_t id) { return id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE; }

// A shifted absolute time of the wall clock, taken back to the real one.
static struct timespec unshifted(const struct timespec* t) {
  struct timespec r = *t;
  r.tv_sec -= shift();
  return r;
}

int clock_gettime(clockid_t id, struct timespec* ts) {
  resolve();
  const int rc = real_clock_gettime(id, ts);
  if (rc == 0 && isRealtime(id)) ts->tv_sec += shift();
  return rc;
}

int gettimeofday(struct timeval* tv, void* tz) {
  (void)tz;
  struct timespec ts;
  const int rc = clock_gettime(CLOCK_REALTIME, &ts);
  if (rc == 0 && tv != NULL) {
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
  }
  return rc;
}

time_t time(time_t* out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != NULL) *out = ts.tv_sec;
  return ts.tv_sec;
}

int pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex,
                           const struct timespec* abstime) {
  resolve();
  // glibc keeps the clock of a condition variable in bit 1 of __wrefs (set: monotonic).
  if ((cond->__data.__wrefs & 2) != 0) return real_cond_timedwait(cond, mutex, abstime);
  noteRealtimeWait("pthread_cond_timedwait");
  const struct timespec real = unshifted(abstime);
  return real_cond_timedwait(cond, mutex, &real);
}

int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t id,
                           const struct timespec* abstime) {
  resolve();
  if (!isRealtime(id)) return real_cond_clockwait(cond, mutex, id, abstime);
  noteRealtimeWait("pthread_cond_clockwait");
  const struct timespec real = unshifted(abstime);
  return real_cond_clockwait(cond, mutex, id, &real);
}

int clock_nanosleep(clockid_t id, int flags, const struct timespec* t, struct timespec* rem) {
  resolve();
  if (!isRealtime(id) || (flags & TIMER_ABSTIME) == 0)
    return real_clock_nanosleep(id, flags, t, rem);
  noteRealtimeWait("clock_nanosleep");
  const struct timespec real = unshifted(t);
  return real_clock_nanosleep(id, flags, &real, rem);
}

int sem_timedwait(sem_t* sem, const struct timespec* abstime) {
  resolve();
  noteRealtimeWait("sem_timedwait");
  const struct timespec real = unshifted(abstime);
  return real_sem_timedwait(sem, &real);
}

int pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* abstime) {
  resolve();
  noteRealtimeWait("pthread_mutex_timedlock");
  const struct timespec real = unshifted(abstime);
  return real_mutex_timedlock(mutex, &real);
}
