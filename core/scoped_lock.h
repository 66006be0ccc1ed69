#pragma once
// RAII guard for the raw POSIX mutexes that the daemon's classes keep as members.

#include <pthread.h>

class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t* mu) : mu_(mu) { pthread_mutex_lock(mu_); }
  ~ScopedLock() { pthread_mutex_unlock(mu_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  pthread_mutex_t* const mu_;
};
