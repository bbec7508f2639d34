#include "zint/eventer.h"

#include "support/wait.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <atomic>
#include <mutex>

namespace {

/* What the jobs and timers of one test did, in order: "W<n>", "C<n>", "T<n>". */
struct probe {
  std::mutex m;
  std::vector<std::string> calls;
  std::atomic<int> running{0}, max_running{0}, completed{0};
  std::atomic<bool> release{true}; /* false: WORK waits until it is set */
  void add(const std::string &c) {
    std::lock_guard<std::mutex> g(m);
    calls.push_back(c);
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> g(m);
    return calls;
  }
};
probe *g_probe;               /* the probe of the running test */
thread_local int t_work = -1; /* the job whose WORK this thread ran last */

int job(eventer_t, int mask, void *closure, struct timeval *) {
  int n = (int) (intptr_t) closure;
  if (mask == EVENTER_ASYNCH_WORK) {
    g_probe->add("W" + std::to_string(n));
    int now = ++g_probe->running;
    int was = g_probe->max_running;
    while (now > was && !g_probe->max_running.compare_exchange_weak(was, now)) {}
    vorn_test::wait_until([] { return g_probe->release.load(); });
    g_probe->running--;
    t_work = n;
  } else {
    g_probe->add((mask == EVENTER_ASYNCH_COMPLETE && t_work == n ? "C" : "bad C") + std::to_string(n));
    g_probe->completed++;
  }
  return 0;
}
bool add(eventer_jobq_t *q, int n, size_t cost = 0) {
  eventer_t e = eventer_alloc_asynch(job, (void *) (intptr_t) n);
  if (cost) eventer_asynch_set_cost(e, cost);
  return eventer_add_asynch(q, e);
}
int timer(eventer_t, int mask, void *closure, struct timeval *) {
  g_probe->add((mask == EVENTER_TIMER ? "T" : "bad T") + std::to_string((intptr_t) closure));
  return 0;
}

} // namespace

// what this proves: timers fire once each, not early, in time order (ties in order added, usec carried)
TEST(Eventer, TimersFireOnceInOrder) {
  probe p;
  g_probe = &p;
  struct timeval base;
  gettimeofday(&base, nullptr);
  const std::pair<int, long> timers[] = {{6, 60}, {4, 40}, {5, 40}, {0, -1000}, {2, 20}, {1, 10}, {3, 30}};
  for (auto [tag, ms] : timers) {
    struct timeval t = base;
    t.tv_usec += ms * 1000 + 50000; /* may leave 0..999999: eventer_add normalises it */
    eventer_add(eventer_alloc_timer(timer, (void *) (intptr_t) tag, &t));
  }
  eventer_add_in_s_us(timer, (void *) 7, 0, 1200000);
  ASSERT_TRUE(vorn_test::wait_until([&] { return p.seen().size() == 8; }));
  struct timeval done;
  gettimeofday(&done, nullptr);
  EXPECT_GE((done.tv_sec - base.tv_sec) * 1000000 + done.tv_usec - base.tv_usec, 1200000);
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"T0", "T1", "T2", "T3", "T4", "T5", "T6", "T7"}));
}

// what this proves: WORK and COMPLETE on one thread, FIFO at 1 thread, concurrency cap, exact backlog bounds
TEST(Eventer, JobQueues) {
  probe p;
  g_probe = &p;
  eventer_jobq_t *one = eventer_jobq_create("test_order", 1, 0, 0);
  eventer_jobq_t *three = eventer_jobq_create("test_limit", 3, 0, 0);
  for (int i = 0; i < 3; i++) ASSERT_TRUE(add(one, i));
  ASSERT_TRUE(vorn_test::wait_until([&] { return p.completed == 3; }));
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"W0", "C0", "W1", "C1", "W2", "C2"}));
  p.release = false;
  for (int i = 0; i < 3; i++) ASSERT_TRUE(add(three, i));
  ASSERT_TRUE(vorn_test::wait_until([&] { return p.running == 3; }));
  uint64_t wakeups = eventer_jobq_wakeups(three);
  for (int i = 3; i < 200; i++) ASSERT_TRUE(add(three, i));
  EXPECT_EQ(eventer_jobq_backlog(three), 200u);
  p.release = true;
  ASSERT_TRUE(vorn_test::wait_until([&] { return p.completed == 203 && eventer_jobq_backlog(three) == 0; }));
  EXPECT_EQ(p.max_running.load(), 3);
  EXPECT_EQ(eventer_jobq_wakeups(three), wakeups) << "a busy queue woke a worker";
  p.release = false;
  eventer_jobq_t *jobs = eventer_jobq_create("test_jobs", 1, 2, 0);
  eventer_jobq_t *bytes = eventer_jobq_create("test_bytes", 1, 0, 100);
  int accepted = 0;
  for (int i = 0; i < 4; i++) accepted += add(jobs, i, 50) + add(bytes, i, 50);
  EXPECT_EQ(accepted, 4);
  p.release = true;
  ASSERT_TRUE(vorn_test::wait_until([&] { return p.completed == 207; }));
  EXPECT_FALSE(eventer_add_asynch(nullptr, eventer_alloc_asynch(job, nullptr)));
}
