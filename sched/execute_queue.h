#pragma once
// First-in first-out queue of due services, with the condition variable its workers wait on.
// mutex_queue, cond_queue and queue are public: workers wait on cond_queue under mutex_queue,
// the stop watcher broadcasts it, the status monitor reads queue's length under mutex_queue.

#include <pthread.h>

#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <string>

#include "core/scoped_lock.h"
#include "core/settings.h"
#include "service/service.h"

class EmptyQueueException : public std::exception {
 public:
  explicit EmptyQueueException(std::string message) : message(std::move(message)) {}
  ~EmptyQueueException() override = default;
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

template <typename T>
class ExecuteQueue {
 public:
  ExecuteQueue() {
    pthread_mutex_init(&mutex_queue, nullptr);
    initMonotonicCond(&cond_queue);  // its waits are untimed; no wait counts on the wall clock
  }
  virtual ~ExecuteQueue() {
    pthread_cond_destroy(&cond_queue);
    pthread_mutex_destroy(&mutex_queue);
  }
  ExecuteQueue(const ExecuteQueue&) = delete;
  ExecuteQueue& operator=(const ExecuteQueue&) = delete;

  // Appends a copy, then wakes one waiting worker (after releasing the mutex).
  void push(const T& value) {
    {
      ScopedLock lock(&mutex_queue);
      queue.push_back(value);
    }
    pthread_cond_signal(&cond_queue);
  }
  void push(T&& value) {
    {
      ScopedLock lock(&mutex_queue);
      queue.push_back(std::move(value));
    }
    pthread_cond_signal(&cond_queue);
  }

  // Removes and returns the front element; throws EmptyQueueException("queue is empty").
  T pop() {
    ScopedLock lock(&mutex_queue);
    if (queue.empty()) throw EmptyQueueException("queue is empty");
    T value = std::move(queue.front());
    queue.pop_front();
    return value;
  }

  // Removes every element for which pred is true (a service taken out of the schedule).
  template <typename Pred>
  void removeIf(Pred pred) {
    ScopedLock lock(&mutex_queue);
    queue.erase(std::remove_if(queue.begin(), queue.end(), pred), queue.end());
  }

  // Length of queue, read under mutex_queue.
  size_t length() {
    ScopedLock lock(&mutex_queue);
    return queue.size();
  }
  bool empty() { return length() == 0; }

  // Sleeps until the queue holds an element or a stop is requested (the workers' wait; another
  // worker may take the element first, so pop() may still throw).
  void waitForWork() {
    ScopedLock lock(&mutex_queue);
    while (queue.empty() && !stopRequested()) pthread_cond_wait(&cond_queue, &mutex_queue);
  }

  // Wakes every waiter while holding mutex_queue, so that a worker that has just found the
  // queue empty cannot miss the wake-up.
  void broadcast() {
    ScopedLock lock(&mutex_queue);
    pthread_cond_broadcast(&cond_queue);
  }

  pthread_mutex_t mutex_queue;
  pthread_cond_t cond_queue;
  std::deque<T> queue;  // guarded by mutex_queue
};

// A core's due services, handed to its workers by pointer: a service is not copied or moved on
// its way from the wait queue to a worker and back, only its pointer is.
using DueQueue = ExecuteQueue<std::unique_ptr<service>>;

// Services taken out of the schedule by workers, deleted from the database by the reload thread.
extern ExecuteQueue<service> deleteService;
