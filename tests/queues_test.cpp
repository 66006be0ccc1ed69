// Scheduling containers and the timer thread, on hand-built cores without a database pool.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/settings.h"
#include "sched/delete_list.h"
#include "sched/execute_queue.h"
#include "sched/info_thread.h"
#include "sched/scheduled_services.h"
#include "sched/timer.h"
#include "sched/update_service_map.h"
#include "sched/wait_service_queue.h"
#include "support/temp_dir.h"

namespace {

service makeService(unsigned long long id, time_t sec, suseconds_t usec = 0) {
  service s;
  s.service_id = id;
  s.next_exec_time.tv_sec = sec;
  s.next_exec_time.tv_usec = usec;
  return s;
}

timeval at(time_t sec, suseconds_t usec = 0) { return timeval{sec, usec}; }

// A core with empty queues and no pool, released at the end of the test.
struct TestCore {
  infoThread core{};
  TestCore() {
    core.wait_queue = new WaitServiceQueue();
    core.execute_queue = new DueQueue();
    core.vec_thread = new std::vector<pthread_t>();
    pthread_mutex_init(&core.mutex_busy, nullptr);
    core.pool = nullptr;
  }
  ~TestCore() {
    delete core.wait_queue;
    delete core.execute_queue;
    delete core.vec_thread;
    pthread_mutex_destroy(&core.mutex_busy);
  }
};

// Joins t within timeout_ms; on a timeout, asks the thread to stop and joins it anyway.
bool joinWithin(pthread_t t, int timeout_ms, DueQueue* to_wake = nullptr) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const timespec deadline = addMilliseconds(now, timeout_ms);
  if (pthread_timedjoin_np(t, nullptr, &deadline) == 0) return true;
  requestStop();
  if (to_wake != nullptr) to_wake->broadcast();
  pthread_join(t, nullptr);
  return false;
}

class QueuesTest : public ::testing::Test {
 protected:
  void SetUp() override { __atomic_store_n(&die_mavo, 0, __ATOMIC_RELEASE); }
  void TearDown() override { __atomic_store_n(&die_mavo, 0, __ATOMIC_RELEASE); }
};

std::vector<unsigned long long> drainIds(DueQueue& q) {
  std::vector<unsigned long long> ids;
  while (!q.empty()) ids.push_back(q.pop()->service_id);
  return ids;
}

}  // namespace

TEST(WaitServiceQueue, PopsEarliestWholeSecondFirstAndFrontMatchesPop) {
  WaitServiceQueue q;
  // (id, seconds, microseconds): the microseconds must not change the order of seconds.
  const std::vector<std::tuple<unsigned long long, time_t, suseconds_t>> pushes = {
      {1, 105, 0}, {2, 100, 999999}, {3, 103, 500000}, {4, 100, 0},      {5, 99, 999999},
      {6, 103, 0}, {7, 101, 1},      {8, 99, 0},       {9, 200, 123456}, {10, 100, 500000}};
  for (const auto& [id, sec, usec] : pushes) q.push(makeService(id, sec, usec));
  ASSERT_EQ(q.size(), pushes.size());

  std::vector<time_t> seconds;
  std::set<unsigned long long> ids;
  while (!q.empty()) {
    service f = q.front();
    service p = q.pop();
    EXPECT_EQ(f.service_id, p.service_id);
    seconds.push_back(p.next_exec_time.tv_sec);
    ids.insert(p.service_id);
  }
  EXPECT_TRUE(std::is_sorted(seconds.begin(), seconds.end()));
  EXPECT_EQ(ids.size(), pushes.size());
  EXPECT_EQ(q.size(), 0u);
}

// Thousands of pushes, pops, due batches and removals interleaved, against an ordered set: the
// front is always the earliest left, whatever the shape of the heap.
TEST(WaitServiceQueue, StaysInDueOrderThroughInterleavedPushesPopsAndRemovals) {
  WaitServiceQueue q;
  std::multiset<std::pair<int64_t, unsigned long long>> model;
  std::mt19937 random(7);
  unsigned long long next_id = 1;
  auto popFront = [&] {
    service p = q.pop();
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(toMicros(p.next_exec_time), model.begin()->first);
    model.erase(model.find({toMicros(p.next_exec_time), p.service_id}));
  };
  for (int step = 0; step < 5000; ++step) {
    const unsigned r = random() % 100;
    if (r < 60 || model.empty()) {
      // Few distinct seconds: many equal due times.
      service s = makeService(next_id++, 100 + random() % 50, (random() % 4) * 250000);
      model.insert({toMicros(s.next_exec_time), s.service_id});
      q.push(std::move(s));
    } else if (r < 90) {
      popFront();
    } else if (r < 97) {
      const int64_t until = model.begin()->first + 2000000;
      std::vector<int64_t> due;
      q.popDue(
          timeval{static_cast<time_t>(until / 1000000), static_cast<suseconds_t>(until % 1000000)},
          [&](std::unique_ptr<service>&& x) { due.push_back(toMicros(x->next_exec_time)); });
      EXPECT_TRUE(std::is_sorted(due.begin(), due.end()));
      EXPECT_EQ(due.size(), static_cast<size_t>(
                                std::distance(model.begin(), model.upper_bound({until, ~0ULL}))));
      model.erase(model.begin(), model.upper_bound({until, ~0ULL}));
    } else {
      const unsigned long long k = 2 + random() % 5;
      q.removeIf([k](const service& x) { return x.service_id % k == 0; });
      for (auto it = model.begin(); it != model.end();)
        it = it->second % k == 0 ? model.erase(it) : std::next(it);
    }
    ASSERT_EQ(q.size(), model.size());
  }
  while (!model.empty()) popFront();
  EXPECT_TRUE(q.empty());
}

// The timer's sleep, with a limit far beyond the test's bounds: what ends it is the queue.
struct SleepingTimer {
  WaitServiceQueue& q;
  std::atomic<bool> returned{false};
  std::thread thread;
  explicit SleepingTimer(WaitServiceQueue& queue) : q(queue) {
    thread = std::thread([this] {
      q.waitForDue(600000);
      returned = true;
    });
  }
  bool returnsWithin(int timeout_ms) {
    return waitFor([this] { return returned.load(); }, timeout_ms);
  }
  ~SleepingTimer() {
    while (!returned) {
      q.wakeTimer();
      usleep(1000);
    }
    thread.join();
  }
};

TEST(WaitServiceQueue, TimerSleepEndsForAPushDueBeforeItsWakeUp) {
  timeval now;
  now = monotonicNow();
  const struct {
    const char* what;
    std::vector<time_t> queued;  // due seconds, relative to now, before the sleep
    time_t pushed;               // due second of the push that must end it
  } cases[] = {
      {"empty queue, push due now", {}, 0},
      {"far front, push due now", {3600}, 0},
      {"far front, push overdue", {3600}, -5},
      {"far front, push due in one second", {3600}, 1},
  };
  for (const auto& c : cases) {
    WaitServiceQueue q;
    for (time_t d : c.queued) q.push(makeService(1, now.tv_sec + d));
    SleepingTimer timer(q);
    usleep(50 * 1000);
    q.push(makeService(2, now.tv_sec + c.pushed));
    EXPECT_TRUE(timer.returnsWithin(5000)) << c.what;
  }
}

TEST(WaitServiceQueue, TimerSleepReturnsAtOnceWhenTheFrontIsDueAndOnWake) {
  const timeval now = monotonicNow();
  {
    WaitServiceQueue q;
    q.push(makeService(1, now.tv_sec - 1));
    SleepingTimer timer(q);
    EXPECT_TRUE(timer.returnsWithin(5000));
  }
  {
    WaitServiceQueue q;
    q.push(makeService(1, now.tv_sec + 3600));
    SleepingTimer timer(q);
    usleep(50 * 1000);
    q.wakeTimer();
    EXPECT_TRUE(timer.returnsWithin(5000));
  }
}

TEST(WaitServiceQueue, FrontAndPopOnEmptyQueueThrow) {
  WaitServiceQueue q;
  EXPECT_THROW(q.front(), EmptyQueueException);
  EXPECT_THROW(q.pop(), EmptyQueueException);
  q.push(makeService(1, 10));
  q.pop();
  EXPECT_THROW(q.pop(), EmptyQueueException);
}

TEST(MoveDueServices, MovesEveryServiceDueInTheCurrentSecondAndKeepsLaterOnes) {
  TestCore c;
  c.core.wait_queue->push(makeService(1, 105));
  c.core.wait_queue->push(makeService(2, 100));
  c.core.wait_queue->push(makeService(3, 100));

  EXPECT_EQ(moveDueServices(c.core, at(99)), 0);
  EXPECT_EQ(moveDueServices(c.core, at(100)), 2);
  EXPECT_EQ(c.core.wait_queue->size(), 1u);
  EXPECT_EQ(c.core.wait_queue->front().service_id, 1u);
  std::vector<unsigned long long> moved = drainIds(*c.core.execute_queue);
  std::sort(moved.begin(), moved.end());
  EXPECT_EQ(moved, (std::vector<unsigned long long>{2, 3}));

  EXPECT_EQ(moveDueServices(c.core, at(104)), 0);
  EXPECT_EQ(moveDueServices(c.core, at(105)), 1);
  EXPECT_TRUE(c.core.wait_queue->empty());
  EXPECT_EQ(drainIds(*c.core.execute_queue), (std::vector<unsigned long long>{1}));
}

// Due at its time, not at the start of its second: an interval of 1.5 s is not cut to 1 s.
TEST(MoveDueServices, ServiceLateInItsSecondMovesAtItsTime) {
  TestCore c;
  c.core.wait_queue->push(makeService(1, 100, 900000));
  c.core.wait_queue->push(makeService(2, 100, 200000));
  EXPECT_EQ(moveDueServices(c.core, at(100)), 0);
  EXPECT_EQ(moveDueServices(c.core, at(100, 500000)), 1);
  EXPECT_EQ(drainIds(*c.core.execute_queue), (std::vector<unsigned long long>{2}));
  EXPECT_EQ(moveDueServices(c.core, at(100, 900000)), 1);
  EXPECT_EQ(c.core.execute_queue->length(), 1u);
}

TEST(ExecuteQueue, PopsInPushOrderAndThrowsWhenEmpty) {
  DueQueue q;
  try {
    q.pop();
    FAIL() << "pop on an empty queue returned";
  } catch (const EmptyQueueException& e) {
    EXPECT_STREQ(e.what(), "queue is empty");
  }
  for (unsigned long long id : {5, 3, 9}) q.push(std::make_unique<service>(makeService(id, 0)));
  EXPECT_EQ(drainIds(q), (std::vector<unsigned long long>{5, 3, 9}));
  EXPECT_THROW(q.pop(), EmptyQueueException);
}

TEST_F(QueuesTest, TwoWorkersWokenForOneServiceOneGetsItTheOtherThrowsAndWaitsAgain) {
  DueQueue q;
  q.push(std::make_unique<service>(makeService(42, 0)));

  // Both workers see a non-empty queue before either pops.
  pthread_barrier_t both_saw_work;
  pthread_barrier_init(&both_saw_work, nullptr, 2);
  std::atomic<int> got{0}, threw{0}, second_round{0};
  auto worker = [&] {
    q.waitForWork();
    pthread_barrier_wait(&both_saw_work);
    try {
      EXPECT_EQ(q.pop()->service_id, 42u);
      ++got;
    } catch (const EmptyQueueException&) {
      ++threw;
      q.waitForWork();  // back to waiting, as a worker does
      if (!stopRequested()) {
        q.pop();
        ++second_round;
      }
    }
  };
  std::thread a(worker), b(worker);
  EXPECT_TRUE(waitFor([&] { return got + threw == 2; }, 5000));
  EXPECT_EQ(got, 1);
  EXPECT_EQ(threw, 1);
  q.push(std::make_unique<service>(makeService(43, 0)));  // wakes the worker that waits again
  EXPECT_TRUE(waitFor([&] { return second_round == 1; }, 5000));
  requestStop();  // releases a worker still waiting after a failure
  q.broadcast();
  a.join();
  b.join();
  pthread_barrier_destroy(&both_saw_work);
}

TEST_F(QueuesTest, BroadcastAfterStopWakesIdleWorkers) {
  DueQueue q;
  std::atomic<int> waiting{0};
  auto idle = [](void* arg) -> void* {
    auto* self = static_cast<std::pair<DueQueue*, std::atomic<int>*>*>(arg);
    ++*self->second;
    self->first->waitForWork();
    return nullptr;
  };
  std::pair<DueQueue*, std::atomic<int>*> arg{&q, &waiting};
  std::vector<pthread_t> threads(3);
  for (pthread_t& t : threads) ASSERT_EQ(pthread_create(&t, nullptr, idle, &arg), 0);
  ASSERT_TRUE(waitFor([&] { return waiting == 3; }, 5000));
  usleep(50 * 1000);  // let them reach the condition wait

  requestStop();
  q.broadcast();
  for (pthread_t t : threads) EXPECT_TRUE(joinWithin(t, 2000, &q));
  EXPECT_TRUE(q.empty());
}

// Producers push into the wait queue, the timer thread moves them, workers pop them: every
// service comes out exactly once.
TEST_F(QueuesTest, ManyProducersAndWorkersThroughTimerLoseAndDuplicateNothing) {
  TestCore c;
  constexpr int kProducers = 4, kWorkers = 4, kPerProducer = 500;
  constexpr int kTotal = kProducers * kPerProducer;
  timeval now;
  now = monotonicNow();

  pthread_t timer;
  ASSERT_EQ(pthread_create(&timer, nullptr, thread_check_time, &c.core), 0);

  std::mutex seen_mutex;
  std::vector<unsigned long long> seen;
  std::atomic<int> empty_pops{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (;;) {
        c.core.execute_queue->waitForWork();
        if (stopRequested()) return;
        try {
          std::unique_ptr<service> s = c.core.execute_queue->pop();
          std::lock_guard<std::mutex> lock(seen_mutex);
          seen.push_back(s->service_id);
        } catch (const EmptyQueueException&) {
          ++empty_pops;
        }
      }
    });
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        // Due now or earlier; a few a second late so the heap has work to do.
        time_t due = now.tv_sec - (i % 3);
        c.core.wait_queue->push(makeService(p * kPerProducer + i + 1, due, i % 1000000));
      }
    });
  }
  for (std::thread& t : producers) t.join();

  bool all_seen = waitFor(
      [&] {
        std::lock_guard<std::mutex> lock(seen_mutex);
        return seen.size() >= static_cast<size_t>(kTotal);
      },
      20000);
  requestStop();
  c.core.execute_queue->broadcast();
  for (std::thread& t : workers) t.join();
  EXPECT_TRUE(joinWithin(timer, 2000));

  ASSERT_TRUE(all_seen);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "a service came twice";
  ASSERT_EQ(seen.size(), static_cast<size_t>(kTotal));
  EXPECT_EQ(seen.front(), 1u);
  EXPECT_EQ(seen.back(), static_cast<unsigned long long>(kTotal));
  EXPECT_TRUE(c.core.wait_queue->empty());
  EXPECT_TRUE(c.core.execute_queue->empty());
}

TEST_F(QueuesTest, TimerThreadReturnsAfterStopWithEmptyQueue) {
  TestCore c;
  pthread_t timer;
  ASSERT_EQ(pthread_create(&timer, nullptr, thread_check_time, &c.core), 0);
  usleep(50 * 1000);
  requestStop();
  EXPECT_TRUE(joinWithin(timer, 2000));
}

TEST_F(QueuesTest, TimerThreadStartedAfterStopReturnsWithoutMovingAnything) {
  TestCore c;
  c.core.wait_queue->push(makeService(1, 0));
  requestStop();
  pthread_t timer;
  ASSERT_EQ(pthread_create(&timer, nullptr, thread_check_time, &c.core), 0);
  EXPECT_TRUE(joinWithin(timer, 2000));
  EXPECT_EQ(c.core.wait_queue->size(), 1u);
  EXPECT_TRUE(c.core.execute_queue->empty());
}

TEST_F(QueuesTest, TimerThreadMovesServiceDueNowAndKeepsFutureOne) {
  TestCore c;
  timeval now;
  now = monotonicNow();
  c.core.wait_queue->push(makeService(1, now.tv_sec));
  c.core.wait_queue->push(makeService(2, now.tv_sec + 3600));

  pthread_t timer;
  ASSERT_EQ(pthread_create(&timer, nullptr, thread_check_time, &c.core), 0);
  bool moved = waitFor([&] { return c.core.execute_queue->length() == 1; }, 5000);
  requestStop();
  EXPECT_TRUE(joinWithin(timer, 2000));

  ASSERT_TRUE(moved);
  EXPECT_EQ(c.core.execute_queue->pop()->service_id, 1u);
  EXPECT_EQ(c.core.wait_queue->size(), 1u);
  EXPECT_EQ(c.core.wait_queue->front().service_id, 2u);
}

TEST_F(QueuesTest, TimerThreadMovesAServicePushedWhileItSleeps) {
  TestCore c;
  timeval now;
  now = monotonicNow();
  c.core.wait_queue->push(makeService(1, now.tv_sec + 3600));
  pthread_t timer;
  ASSERT_EQ(pthread_create(&timer, nullptr, thread_check_time, &c.core), 0);
  usleep(50 * 1000);
  c.core.wait_queue->push(makeService(2, now.tv_sec));
  bool moved = waitFor([&] { return c.core.execute_queue->length() == 1; }, 5000);
  requestStop();
  EXPECT_TRUE(joinWithin(timer, 2000));
  ASSERT_TRUE(moved);
  EXPECT_EQ(c.core.execute_queue->pop()->service_id, 2u);
  EXPECT_EQ(c.core.wait_queue->size(), 1u);
}

// One copy per service id: a second definition of a scheduled id goes to the update map, a
// deletion mark is taken only for a scheduled id and held once, and dropping a service takes
// its id, mark and waiting definition together.
TEST(ScheduledServiceSet, KeepsOneCopyPerIdAndDropsItWhole) {
  UpdateServiceMap updates;
  DeleteList deletions;
  ScheduledServiceSet set(updates, deletions);
  service s;
  s.SetService_id(7);
  int placed = 0;
  auto place = [&](service&) { ++placed; };
  EXPECT_TRUE(set.schedule(s, place));
  s.parameter = "newer";
  EXPECT_FALSE(set.schedule(s, place));
  EXPECT_EQ(placed, 1);
  ASSERT_TRUE(updates.find(7));
  EXPECT_FALSE(set.markForDeletion(8));
  EXPECT_TRUE(set.markForDeletion(7));
  EXPECT_TRUE(set.markForDeletion(7));
  EXPECT_EQ(deletions.size(), 1u);
  set.unschedule(7);
  EXPECT_FALSE(set.contains(7));
  EXPECT_FALSE(deletions.find(7));
  EXPECT_FALSE(updates.find(7));
  EXPECT_TRUE(set.schedule(s, place));  // an id dropped may come back (a new ADD)
  EXPECT_EQ(placed, 2);
  // A placement that fails leaves the id unscheduled.
  service t;
  t.SetService_id(9);
  EXPECT_THROW(set.schedule(t, [](service&) { throw std::runtime_error("no core"); }),
               std::runtime_error);
  EXPECT_FALSE(set.contains(9));
}

TEST(UpdateServiceMap, LaterDefinitionReplacesEarlierAndGetServiceTakesIt) {
  UpdateServiceMap map;
  service first = makeService(12, 0);
  first.service_name = "first";
  service second = makeService(12, 0);
  second.service_name = "second";
  map.addService(first);
  map.addService(second);
  map.addService(makeService(13, 0));

  ASSERT_TRUE(map.find(12));
  EXPECT_EQ(map.getService(12).service_name, "second");
  EXPECT_FALSE(map.find(12));
  EXPECT_TRUE(map.find(13));

  // An absent id yields a default service and leaves the map as it was.
  service absent = map.getService(12);
  EXPECT_EQ(absent.service_id, service().service_id);
  EXPECT_EQ(absent.service_name, service().service_name);
  EXPECT_TRUE(map.find(13));
}
