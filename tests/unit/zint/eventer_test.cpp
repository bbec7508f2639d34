/* Tests of the event loop: pools and their io_context, one-shot timers, job queues (WORK then
 * COMPLETE, the concurrency limit, the backlog bound) and the job queue settings. */
#include "zint/eventer.h"
#include "zint/eventer_asio.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

/* Waits (without a deadline of its own: ctest's timeout catches a hang) until pred holds. */
template <typename Pred> void await(std::mutex &m, std::condition_variable &cv, Pred pred) {
  std::unique_lock<std::mutex> g(m);
  cv.wait(g, pred);
}

/* The backlog drops right after a job's COMPLETE returns, just after the probe saw it. */
void await_idle(eventer_jobq_t *q) {
  while (eventer_jobq_backlog(q) != 0) std::this_thread::yield();
}

}  // namespace

// what this proves: the default pool exists without any set-up and its io_context runs handlers
// on as many distinct threads as the pool has.
TEST(Eventer, DefaultPoolRunsHandlers) {
  eventer_pool_t *pool = eventer_pool("default");
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool, eventer_pool("default"));
  int n = eventer_pool_concurrency(pool);
  EXPECT_GE(n, 1);
  EXPECT_EQ(eventer_pool("no_such_pool"), nullptr);

  std::mutex m;
  std::condition_variable cv;
  std::vector<std::thread::id> seen;
  int arrived = 0, left = 0;
  for (int i = 0; i < n; i++) {
    boost::asio::post(eventer_pool_io_context(pool), [&] {
      std::unique_lock<std::mutex> g(m);
      seen.push_back(std::this_thread::get_id());
      arrived++;
      cv.notify_all();
      /* Hold every thread until all n handlers run at once: proves n threads serve the pool. */
      cv.wait(g, [&] { return arrived >= n; });
      left++;
      cv.notify_all();
    });
  }
  /* Wait for every handler to leave: they use this frame's mutex and condition variable. */
  await(m, cv, [&] { return left >= n; });
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()) - seen.begin(), n);
}

namespace {

struct timer_log {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> fired; /* tags in firing order */
};
timer_log g_timers;

struct timer_tag {
  int tag;
};

int record_timer(eventer_t, int mask, void *closure, struct timeval *) {
  EXPECT_EQ(mask, EVENTER_TIMER);
  std::lock_guard<std::mutex> g(g_timers.m);
  g_timers.fired.push_back(static_cast<timer_tag *>(closure)->tag);
  g_timers.cv.notify_all();
  return 0;
}

}  // namespace

// what this proves: timers fire in the order of their times (equal times in the order they were
// added), each exactly once, whatever order they were added in; whence microseconds carry.
TEST(Eventer, TimersFireOnceInOrder) {
  {
    std::lock_guard<std::mutex> g(g_timers.m);
    g_timers.fired.clear();
  }
  static timer_tag tags[8] = {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}};
  struct timeval base;
  gettimeofday(&base, nullptr);
  base.tv_sec += 0;
  auto at = [&](long ms) {
    struct timeval t = base;
    t.tv_usec += ms * 1000 + 50000; /* may exceed 999999: eventer_add normalises it */
    return t;
  };
  /* Added out of order; 4 and 5 share a time, so 4 (added first) goes first. */
  struct timeval t;
  t = at(60); eventer_add(eventer_alloc_timer(record_timer, &tags[6], &t));
  t = at(40); eventer_add(eventer_alloc_timer(record_timer, &tags[4], &t));
  t = at(40); eventer_add(eventer_alloc_timer(record_timer, &tags[5], &t));
  t = at(-1000); eventer_add(eventer_alloc_timer(record_timer, &tags[0], &t)); /* in the past */
  t = at(20); eventer_add(eventer_alloc_timer(record_timer, &tags[2], &t));
  t = at(10); eventer_add(eventer_alloc_timer(record_timer, &tags[1], &t));
  t = at(30); eventer_add(eventer_alloc_timer(record_timer, &tags[3], &t));
  /* The last one comes by the relative form with microseconds above a second's worth. */
  eventer_add_in_s_us(record_timer, &tags[7], 0, 1200000);
  await(g_timers.m, g_timers.cv, [] { return g_timers.fired.size() >= 8; });
  struct timeval done;
  gettimeofday(&done, nullptr);
  struct timeval min_done = base;
  min_done.tv_sec += 1;
  EXPECT_TRUE(timercmp(&done, &min_done, >=)) << "the 1.2 s timer fired early";
  std::lock_guard<std::mutex> g(g_timers.m);
  EXPECT_EQ(g_timers.fired, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

namespace {

struct job_probe {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> calls;  /* "W<n>" / "C<n>" in call order */
  std::vector<std::thread::id> work_thread, complete_thread;
  int running = 0, max_running = 0, completed = 0;
  bool release = true;            /* false: WORK blocks until set */
  bool timer_fired = false;
};

struct job_arg {
  job_probe *probe;
  int n;
  bool add_timer; /* COMPLETE schedules a timer */
};

int timer_from_complete(eventer_t, int, void *closure, struct timeval *) {
  auto *p = static_cast<job_probe *>(closure);
  std::lock_guard<std::mutex> g(p->m);
  p->timer_fired = true;
  p->cv.notify_all();
  return 0;
}

int probe_job(eventer_t, int mask, void *closure, struct timeval *now) {
  auto *a = static_cast<job_arg *>(closure);
  job_probe *p = a->probe;
  EXPECT_NE(now, nullptr);
  std::unique_lock<std::mutex> g(p->m);
  if (mask == EVENTER_ASYNCH_WORK) {
    p->calls.push_back("W" + std::to_string(a->n));
    p->work_thread.push_back(std::this_thread::get_id());
    p->running++;
    p->max_running = std::max(p->max_running, p->running);
    p->cv.notify_all();
    p->cv.wait(g, [p] { return p->release; });
    p->running--;
  } else if (mask == EVENTER_ASYNCH_COMPLETE) {
    p->calls.push_back("C" + std::to_string(a->n));
    p->complete_thread.push_back(std::this_thread::get_id());
    p->completed++;
    if (a->add_timer) eventer_add_in_s_us(timer_from_complete, p, 0, 1000);
    p->cv.notify_all();
  } else {
    ADD_FAILURE() << "unexpected mask " << mask;
  }
  return 0;
}

}  // namespace

// what this proves: each job gets WORK then COMPLETE, both on the same queue thread, jobs of a
// one-thread queue run in the order added, and a COMPLETE may schedule a timer.
TEST(Eventer, JobWorkThenCompleteInOrder) {
  eventer_jobq_t *q = eventer_jobq_create("test_order", 1, 0, 0);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(eventer_jobq_retrieve("test_order"), q);
  job_probe p;
  job_arg args[5];
  for (int i = 0; i < 5; i++) {
    args[i] = {&p, i, i == 4};
    ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[i])));
  }
  await(p.m, p.cv, [&] { return p.completed == 5 && p.timer_fired; });
  EXPECT_EQ(p.calls, (std::vector<std::string>{"W0", "C0", "W1", "C1", "W2", "C2", "W3", "C3", "W4", "C4"}));
  for (int i = 0; i < 5; i++) EXPECT_EQ(p.work_thread[i], p.complete_thread[i]);
  await_idle(q);
}

// what this proves: a queue never runs more jobs at once than its concurrency, does run that many,
// and a producer does not wake anybody while every worker is busy.
TEST(Eventer, JobqConcurrencyLimitAndNoNeedlessWakeups) {
  eventer_jobq_t *q = eventer_jobq_create("test_limit", 3, 0, 0);
  ASSERT_NE(q, nullptr);
  job_probe p;
  p.release = false;
  std::vector<job_arg> args(200);
  for (int i = 0; i < 3; i++) {
    args[i] = {&p, i, false};
    ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[i])));
  }
  await(p.m, p.cv, [&] { return p.running == 3; });
  uint64_t wakeups = eventer_jobq_wakeups(q);
  EXPECT_LE(wakeups, 3u);
  for (int i = 3; i < 200; i++) {
    args[i] = {&p, i, false};
    ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[i])));
  }
  EXPECT_EQ(eventer_jobq_wakeups(q), wakeups) << "a producer woke a worker while all were busy";
  EXPECT_EQ(eventer_jobq_backlog(q), 200u);
  {
    std::lock_guard<std::mutex> g(p.m);
    p.release = true;
    p.cv.notify_all();
  }
  await(p.m, p.cv, [&] { return p.completed == 200; });
  await_idle(q);
  EXPECT_EQ(p.max_running, 3);
  EXPECT_EQ(eventer_jobq_wakeups(q), wakeups) << "busy workers should drain without being woken";
}

// what this proves: with a wake batch, jobs added while a worker is awake are left to it until
// more than a batch waits per awake worker; only then is another worker woken, and every job runs.
TEST(Eventer, JobqWakeBatchLeavesBurstsToAwakeWorkers) {
  eventer_jobq_t *q = eventer_jobq_create("test_wake_batch", 4, 0, 0);
  ASSERT_NE(q, nullptr);
  eventer_jobq_set_wake_batch(q, 8);
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); /* every worker asleep */
  job_probe p;
  p.release = false;
  std::vector<job_arg> args(9);
  auto add = [&](int from, int to) {
    for (int i = from; i < to; i++) {
      args[i] = {&p, i, false};
      ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[i])));
    }
  };
  add(0, 1);
  await(p.m, p.cv, [&] { return p.running == 1; });
  uint64_t woken = eventer_jobq_wakeups(q);
  EXPECT_LE(woken, 1u);
  add(1, 8); /* 7 waiting, 8 with the running one: the batch of the one awake worker */
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(eventer_jobq_wakeups(q), woken) << "a burst within the batch woke another worker";
  {
    std::lock_guard<std::mutex> g(p.m);
    EXPECT_EQ(p.running, 1);
  }
  add(8, 9); /* 8 waiting: more than the batch */
  EXPECT_EQ(eventer_jobq_wakeups(q), woken + 1);
  await(p.m, p.cv, [&] { return p.running == 2; });
  {
    std::lock_guard<std::mutex> g(p.m);
    p.release = true;
    p.cv.notify_all();
  }
  await(p.m, p.cv, [&] { return p.completed == 9; });
  await_idle(q);
}

namespace {

/* Run callbacks record into the probe that the test points them at. */
job_probe *run_probe = nullptr;
std::thread::id run_thread;
void run_begin_cb() {
  std::lock_guard<std::mutex> g(run_probe->m);
  run_probe->calls.push_back("B");
  run_thread = std::this_thread::get_id();
}
void run_end_cb() {
  std::lock_guard<std::mutex> g(run_probe->m);
  run_probe->calls.push_back("E");
  EXPECT_EQ(run_thread, std::this_thread::get_id());
  run_probe->cv.notify_all();
}

}  // namespace

// what this proves: a worker calls the begin callback before the first job of a run and the end
// callback on the same thread once no job is waiting, and cuts a long run every
// EVENTER_JOBQ_RUN_MAX jobs so that the end callback is never starved by a busy queue.
TEST(Eventer, JobqRunCallbacksBracketRuns) {
  eventer_jobq_t *q = eventer_jobq_create("test_runs", 1, 0, 0);
  ASSERT_NE(q, nullptr);
  job_probe p;
  run_probe = &p;
  eventer_jobq_set_run_callbacks(q, run_begin_cb, run_end_cb);
  p.release = false;
  std::vector<job_arg> args(3 + 2 * EVENTER_JOBQ_RUN_MAX);
  for (size_t i = 0; i < args.size(); i++) args[i] = {&p, int(i), false};
  ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[0])));
  await(p.m, p.cv, [&] { return p.running == 1; });
  for (int i = 1; i < 3; i++) ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[i])));
  {
    std::lock_guard<std::mutex> g(p.m);
    p.release = true;
    p.cv.notify_all();
  }
  await(p.m, p.cv, [&] { return p.completed == 3 && !p.calls.empty() && p.calls.back() == "E"; });
  {
    std::lock_guard<std::mutex> g(p.m);
    EXPECT_EQ(p.calls, (std::vector<std::string>{"B", "W0", "C0", "W1", "C1", "W2", "C2", "E"}));
    p.calls.clear();
    p.release = false;
  }
  /* 2 * RUN_MAX jobs waiting at once: at least two runs, none longer than RUN_MAX jobs. */
  ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[3])));
  await(p.m, p.cv, [&] { return p.running == 1; });
  for (size_t i = 4; i < args.size(); i++)
    ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &args[i])));
  {
    std::lock_guard<std::mutex> g(p.m);
    p.release = true;
    p.cv.notify_all();
  }
  await(p.m, p.cv, [&] { return p.completed == int(args.size()) && p.calls.back() == "E"; });
  await_idle(q);
  std::lock_guard<std::mutex> g(p.m);
  int in_run = 0, runs = 0, longest = 0;
  bool open = false;
  for (const auto &c : p.calls) {
    if (c == "B") {
      EXPECT_FALSE(open);
      open = true;
      in_run = 0;
    } else if (c == "E") {
      EXPECT_TRUE(open);
      open = false;
      runs++;
    } else if (c[0] == 'W') {
      EXPECT_TRUE(open) << "a job ran outside a run";
      longest = std::max(longest, ++in_run);
    }
  }
  EXPECT_FALSE(open);
  EXPECT_GE(runs, 2);
  EXPECT_LE(longest, EVENTER_JOBQ_RUN_MAX);
  eventer_jobq_set_run_callbacks(q, nullptr, nullptr);
}

// what this proves: adds beyond the backlog bound in jobs or in bytes are refused, the refused
// callback never runs, and room comes back as jobs complete.
TEST(Eventer, JobqBacklogBoundRefuses) {
  eventer_jobq_t *q = eventer_jobq_create("test_bound", 1, 2, 100);
  ASSERT_NE(q, nullptr);
  job_probe p;
  p.release = false;
  job_arg a0{&p, 0, false}, a1{&p, 1, false}, a2{&p, 2, false}, a3{&p, 3, false}, a4{&p, 4, false};
  ASSERT_TRUE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &a0)));
  await(p.m, p.cv, [&] { return p.running == 1; }); /* a running job still counts */
  eventer_t e = eventer_alloc_asynch(probe_job, &a1);
  eventer_asynch_set_cost(e, 60);
  ASSERT_TRUE(eventer_add_asynch(q, e));
  EXPECT_FALSE(eventer_add_asynch(q, eventer_alloc_asynch(probe_job, &a2))) << "job bound";
  EXPECT_EQ(eventer_jobq_backlog(q), 2u);
  {
    std::lock_guard<std::mutex> g(p.m);
    p.release = true;
    p.cv.notify_all();
  }
  await(p.m, p.cv, [&] { return p.completed == 2; });
  await_idle(q);
  /* Byte bound alone: a job of 101 bytes never fits in 100. */
  e = eventer_alloc_asynch(probe_job, &a3);
  eventer_asynch_set_cost(e, 101);
  EXPECT_FALSE(eventer_add_asynch(q, e));
  e = eventer_alloc_asynch(probe_job, &a4);
  eventer_asynch_set_cost(e, 100);
  EXPECT_TRUE(eventer_add_asynch(q, e));
  await(p.m, p.cv, [&] { return p.completed == 3; });
  std::lock_guard<std::mutex> g(p.m);
  EXPECT_EQ(p.calls, (std::vector<std::string>{"W0", "C0", "W1", "C1", "W4", "C4"}));
  EXPECT_FALSE(eventer_add_asynch(nullptr, eventer_alloc_asynch(probe_job, &a2)));
  EXPECT_EQ(eventer_jobq_create("bad", 0, 0, 0), nullptr);
  EXPECT_EQ(eventer_jobq_create("bad", 1, -1, 0), nullptr);
}

// what this proves: init creates queues from the stored "jobq_" settings with their concurrency
// and optional backlog bound, rejects malformed settings, and names callbacks.
TEST(Eventer, InitCreatesQueuesFromSettings) {
  zint_main_eventer_config("jobq_test_set_a", "2,1,500");
  zint_main_eventer_config("jobq_test_set_b", "1,1,1,1");
  zint_main_eventer_config("jobq_test_set_bad", "two,1,5");
  zint_main_eventer_config("jobq_test_set_bad2", "3,4,2");
  EXPECT_EQ(__eventer->init(), -1); /* the bad ones make init report failure */
  EXPECT_EQ(eventer_jobq_retrieve("test_set_bad"), nullptr);
  EXPECT_EQ(eventer_jobq_retrieve("test_set_bad2"), nullptr);
  ASSERT_NE(eventer_jobq_retrieve("test_set_a"), nullptr);
  eventer_jobq_t *b = eventer_jobq_retrieve("test_set_b");
  ASSERT_NE(b, nullptr);
  ASSERT_NE(eventer_pool("default"), nullptr);

  job_probe p;
  p.release = false;
  job_arg a0{&p, 0, false}, a1{&p, 1, false};
  ASSERT_TRUE(eventer_add_asynch(b, eventer_alloc_asynch(probe_job, &a0)));
  EXPECT_FALSE(eventer_add_asynch(b, eventer_alloc_asynch(probe_job, &a1))); /* bound of 1 */
  {
    std::lock_guard<std::mutex> g(p.m);
    p.release = true;
    p.cv.notify_all();
  }
  await(p.m, p.cv, [&] { return p.completed == 1; });

  /* Two threads in "test_set_a": two jobs run at once. */
  eventer_jobq_t *a = eventer_jobq_retrieve("test_set_a");
  job_probe pa;
  pa.release = false;
  job_arg x{&pa, 0, false}, y{&pa, 1, false};
  ASSERT_TRUE(eventer_add_asynch(a, eventer_alloc_asynch(probe_job, &x)));
  ASSERT_TRUE(eventer_add_asynch(a, eventer_alloc_asynch(probe_job, &y)));
  await(pa.m, pa.cv, [&] { return pa.running == 2; });
  {
    std::lock_guard<std::mutex> g(pa.m);
    pa.release = true;
    pa.cv.notify_all();
  }
  await(pa.m, pa.cv, [&] { return pa.completed == 2; });
  await_idle(a);
  await_idle(b);

  eventer_name_callback("probe_job", probe_job);
  ASSERT_NE(eventer_name_for_callback(probe_job), nullptr);
  EXPECT_STREQ(eventer_name_for_callback(probe_job), "probe_job");
  EXPECT_EQ(eventer_name_for_callback(record_timer), nullptr);
}

namespace {
int stop_loop(eventer_t, int, void *, struct timeval *) {
  eventer_loop_stop();
  return 0;
}
}  // namespace

// what this proves: eventer_loop runs until eventer_loop_stop (called here from a timer on a loop
// thread), and the default pool serves handlers again afterwards.
TEST(Eventer, LoopStopsAndPoolRestarts) {
  eventer_add_in_s_us(stop_loop, nullptr, 0, 1000);
  eventer_loop();
  std::promise<std::thread::id> ran;
  boost::asio::post(eventer_pool_io_context(eventer_pool("default")),
                    [&] { ran.set_value(std::this_thread::get_id()); });
  EXPECT_NE(ran.get_future().get(), std::this_thread::get_id());
}
