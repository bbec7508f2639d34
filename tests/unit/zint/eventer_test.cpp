/* Tests of the event loop: timers, job queues from code and from settings, and their run callbacks. */
#include "zint/eventer.h"

#include "support/wait.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

/* What the jobs and callbacks of one test did, in order: "W<n>", "C<n>", "B", "E". */
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

// what this proves: timers fire once each in the order of their times (equal times in the order
// added, past ones first, microseconds past a second carried), whatever order they were added in
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

// what this proves: each job gets WORK then COMPLETE on the same thread, in the order added on a
// one-thread queue; a queue runs as many jobs at once as its concurrency and never more, without
// waking a worker while all are busy, and its backlog empties
TEST(Eventer, JobQueues) {
  probe p;
  g_probe = &p;
  eventer_jobq_t *one = eventer_jobq_create("test_order", 1, 0, 0);
  eventer_jobq_t *three = eventer_jobq_create("test_limit", 3, 0, 0);
  EXPECT_EQ(eventer_jobq_retrieve("test_order"), one);
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

  EXPECT_FALSE(eventer_add_asynch(nullptr, eventer_alloc_asynch(job, nullptr)));
  EXPECT_EQ(eventer_jobq_create("bad", 0, 0, 0), nullptr);
  EXPECT_EQ(eventer_jobq_create("bad", 1, -1, 0), nullptr);
}

// what this proves: init makes a queue of each "jobq_" setting running its concurrency clamped into
// min..max, its backlog bounded in jobs and bytes (inclusive) by the optional fields; a setting with the
// removed "gc" field, a field that is not a number, a sixth field, too few or min above max makes no queue
// and init fails
TEST(Eventer, QueuesFromSettings) {
  struct row {
    const char *setting;
    int concurrency, accepted; /* of 4 jobs of 50 bytes (a running one counts); 0, 0: no queue */
  } rows[] = {{"2,1,500", 2, 4},     {"5,1,3", 3, 4},      {"1,2,3", 2, 4},   {"1,1,1,2", 1, 2},
              {"1,1,1,0,100", 1, 2}, {"2,1,500,gc", 0, 0}, {"two,1,5", 0, 0}, {"3,4,2", 0, 0},
              {"1,1,1,1,1,1", 0, 0}, {"1,1,1,-1", 0, 0},   {"0,1,1", 0, 0},   {"1,1", 0, 0}};
  for (const row &r : rows)
    zint_main_eventer_config((std::string("jobq_cfg ") + r.setting).c_str(), r.setting);
  EXPECT_EQ(__eventer->init(), -1);
  for (const row &r : rows) {
    SCOPED_TRACE(r.setting);
    probe p;
    g_probe = &p;
    p.release = false;
    eventer_jobq_t *q = eventer_jobq_retrieve((std::string("cfg ") + r.setting).c_str());
    ASSERT_EQ(q != nullptr, r.concurrency > 0);
    int accepted = 0;
    for (int j = 0; q && j < 4; j++) accepted += add(q, j, 50);
    ASSERT_TRUE(vorn_test::wait_until([&] { return p.running == std::min(accepted, r.concurrency); }));
    EXPECT_FALSE(
        vorn_test::wait_until([&] { return p.running > r.concurrency; }, std::chrono::milliseconds(50)));
    p.release = true;
    ASSERT_TRUE(vorn_test::wait_until([&] { return p.completed == accepted; }));
    EXPECT_EQ(std::make_pair(p.max_running.load(), accepted), std::make_pair(r.concurrency, r.accepted));
  }
}
