/* zint event loop on Boost.Asio: named pools (one io_context run by N threads each), one-shot
 * timers kept in one ordered queue per process and fired on the "default" pool, and job queues
 * whose threads run WORK and then COMPLETE of each asynchronous job. */
#include "zint/eventer.h"
#include "zint/eventer_asio.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <pthread.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

/* Defaults when neither the configuration nor a stored setting says otherwise. */
#define EVENTER_DEFAULT_POOL_THREADS 4
#define EVENTER_MAX_POOL_THREADS 1024
#define EVENTER_MAX_JOBQ_THREADS 1024
#define EVENTER_DEFAULT_BACKLOG_JOBS 10000
#define EVENTER_DEFAULT_BACKLOG_BYTES ((size_t) 256 << 20)

/* One event: a timer or an asynchronous job. Owned by whoever holds it: the caller until added,
 * then the timer queue or the job queue, which free it after its last callback. */
struct eventer {
  eventer_func_t callback;  /* set at allocation */
  void *closure;            /* the caller's, never touched by the eventer */
  int mask;                 /* EVENTER_TIMER or EVENTER_ASYNCH_WORK */
  struct timeval whence;    /* timers: when to fire (time of day) */
  size_t cost;              /* jobs: bytes counted against the queue's byte bound */
  uint64_t seq;             /* timers: insertion order, breaks ties between equal times */
};

struct eventer_pool {
  std::string name;                          /* fixed at creation */
  int concurrency;                           /* threads that run ioc; fixed at creation */
  boost::asio::io_context ioc;               /* thread safe by itself */
  std::mutex lock;                           /* guards guard, threads, running */
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard;
  std::vector<std::thread> threads;
  bool running = false;

  eventer_pool(std::string n, int c) : name(std::move(n)), concurrency(c), ioc(c) {}
};

/* A job queue. Workers drain everything waiting before they sleep, and a producer wakes a sleeper
 * only when the awake, idle workers cannot take all waiting jobs, so a busy queue costs no wake-ups. */
struct eventer_jobq {
  std::string name;               /* fixed at creation */
  int concurrency;                /* worker threads; fixed */
  size_t max_jobs;                /* backlog bound in jobs (waiting + running), 0: none */
  size_t max_bytes;               /* backlog bound in bytes of eventer_asynch_set_cost, 0: none */
  std::mutex lock;                /* guards every field below */
  std::condition_variable cv;     /* sleepers wait here for a wake token */
  std::deque<eventer_t> waiting;  /* jobs not yet taken, in order of addition */
  size_t backlog_jobs = 0;        /* waiting + running */
  size_t backlog_bytes = 0;       /* cost of waiting + running */
  int sleepers = 0;               /* workers in cv.wait without a token */
  int free_awake = 0;             /* workers awake and not running a job (including woken ones) */
  int wake_tokens = 0;            /* wake-ups granted and not yet consumed */
  uint64_t wakeups = 0;           /* wake-ups granted in total */
  size_t wake_batch = 1;          /* waiting jobs per awake worker before another is woken */
  std::atomic<void (*)(void)> run_begin{nullptr}; /* before a run of jobs; any thread sets it */
  std::atomic<void (*)(void)> run_end{nullptr};   /* after a run of jobs */
  std::vector<std::thread> threads;
};

namespace {

struct timer_order {
  bool operator()(const eventer *a, const eventer *b) const {
    if (a->whence.tv_sec != b->whence.tv_sec) return a->whence.tv_sec > b->whence.tv_sec;
    if (a->whence.tv_usec != b->whence.tv_usec) return a->whence.tv_usec > b->whence.tv_usec;
    return a->seq > b->seq;
  }
};

/* The process-wide eventer state. Allocated once and never freed, so that threads still running
 * during exit never see it destroyed. */
struct eventer_state {
  std::mutex lock;                                     /* guards pools, jobqs, settings, names */
  std::map<std::string, eventer_pool_t *> pools;         /* never shrinks; pools live forever */
  std::map<std::string, eventer_jobq *> jobqs;         /* never shrinks; queues live forever */
  std::map<std::string, std::string> settings;         /* zint_main_eventer_config */
  std::map<eventer_func_t, std::string> names;         /* eventer_name_callback */

  std::mutex timer_lock;  /* guards every timer field below */
  std::priority_queue<eventer_t, std::vector<eventer_t>, timer_order> timers;
  uint64_t timer_seq = 0;
  bool timer_dispatching = false;        /* one thread fires timers at a time: they fire in order */
  boost::asio::steady_timer *timer = nullptr;  /* armed for the earliest timer; on "default" */

  std::mutex loop_lock;              /* guards loop_stop */
  std::condition_variable loop_cv;
  bool loop_stop = false;
};

eventer_state &state() {
  static eventer_state *s = new eventer_state;
  return *s;
}

/* Names the calling thread "<prefix><name>", cut to the kernel's 15 characters, so that top -H,
 * perf and /proc tell the loops and queues apart. */
void name_thread(const char *prefix, const std::string &name) {
  std::string n = prefix + name;
  if (n.size() > 15) n.resize(15);
  pthread_setname_np(pthread_self(), n.c_str());
}

void pool_thread_main(eventer_pool_t *pool) {
  zint_memory_init_thread();
  name_thread("ev:", pool->name);
  for (;;) {
    try {
      pool->ioc.run();
      return;
    } catch (const std::exception &e) {
      /* A handler's exception must not take a loop thread down with it. */
      zint_log(zint_error, "eventer: pool %s: handler threw: %s\n", pool->name.c_str(), e.what());
    } catch (...) {
      zint_log(zint_error, "eventer: pool %s: handler threw\n", pool->name.c_str());
    }
  }
}

void pool_start(eventer_pool_t *pool) {
  std::lock_guard<std::mutex> g(pool->lock);
  if (pool->running) return;
  pool->ioc.restart();
  pool->guard.emplace(pool->ioc.get_executor());
  for (int i = 0; i < pool->concurrency; i++) pool->threads.emplace_back(pool_thread_main, pool);
  pool->running = true;
}

void pool_stop(eventer_pool_t *pool) {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(pool->lock);
    if (!pool->running) return;
    pool->guard.reset();
    pool->ioc.stop();
    threads.swap(pool->threads);
    pool->running = false;
  }
  for (auto &t : threads) t.join();
}

int parse_int(std::string_view s, int *out) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  int v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return -1;
  *out = v;
  return 0;
}

/* Pool sizes: <eventer><pool name="x" threads="N"/> in the configuration, then the stored setting
 * "default_threads" for "default", then 4. Called with the state lock held. */
int configured_pool_threads(eventer_state &s, const std::string &name) {
  int threads = 0;
  for (const auto &attrs : zint_conf_get_elements("//eventer/pool")) {
    auto n = attrs.find("name");
    auto t = attrs.find("threads");
    if (n == attrs.end() || n->second != name) continue;
    if (t == attrs.end() || parse_int(t->second, &threads) < 0 || threads < 1 ||
        threads > EVENTER_MAX_POOL_THREADS) {
      zint_log(zint_error, "eventer: pool %s: threads must be 1..%d, using the default\n",
               name.c_str(), EVENTER_MAX_POOL_THREADS);
      threads = 0;
    }
  }
  if (threads == 0 && name == "default") {
    auto it = s.settings.find("default_threads");
    if (it != s.settings.end() && (parse_int(it->second, &threads) < 0 || threads < 1 ||
                                   threads > EVENTER_MAX_POOL_THREADS)) {
      zint_log(zint_error, "eventer: default_threads \"%s\" is not 1..%d, using %d\n",
               it->second.c_str(), EVENTER_MAX_POOL_THREADS, EVENTER_DEFAULT_POOL_THREADS);
      threads = 0;
    }
  }
  return threads > 0 ? threads : EVENTER_DEFAULT_POOL_THREADS;
}

/* Finds or (when create) makes the pool; started either way. */
eventer_pool_t *pool_get(const std::string &name, bool create) {
  eventer_state &s = state();
  eventer_pool_t *pool = nullptr;
  {
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.pools.find(name);
    if (it != s.pools.end()) {
      pool = it->second;
    } else if (create) {
      pool = new struct eventer_pool(name, configured_pool_threads(s, name));
      s.pools.emplace(name, pool);
    }
  }
  if (pool) pool_start(pool);
  return pool;
}

void timer_arm_locked(eventer_state &s);

/* Fires every due timer in order; other threads that find a dispatch under way leave it to it. */
void timer_dispatch(eventer_state &s) {
  std::unique_lock<std::mutex> g(s.timer_lock);
  if (s.timer_dispatching) return;
  s.timer_dispatching = true;
  for (;;) {
    if (s.timers.empty()) break;
    eventer_t e = s.timers.top();
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (timercmp(&e->whence, &now, >)) break;
    s.timers.pop();
    g.unlock();
    e->callback(e, EVENTER_TIMER, e->closure, &now);
    delete e;
    g.lock();
  }
  s.timer_dispatching = false;
  timer_arm_locked(s);
}

void timer_arm_locked(eventer_state &s) {
  if (s.timers.empty()) return;
  if (!s.timer) {
    eventer_pool_t *pool = pool_get("default", true);
    s.timer = new boost::asio::steady_timer(pool->ioc);
  }
  const eventer *e = s.timers.top();
  struct timeval now, delta;
  gettimeofday(&now, nullptr);
  std::chrono::microseconds wait{0};
  if (timercmp(&e->whence, &now, >)) {
    timersub(&e->whence, &now, &delta);
    wait = std::chrono::seconds(delta.tv_sec) + std::chrono::microseconds(delta.tv_usec);
  }
  /* Re-arming cancels the wait in flight; its handler sees operation_aborted and does nothing. */
  s.timer->expires_after(wait);
  s.timer->async_wait([&s](const boost::system::error_code &ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    timer_dispatch(s);
  });
}

void jobq_worker(eventer_jobq *q) {
  zint_memory_init_thread();
  name_thread("jq:", q->name);
  std::unique_lock<std::mutex> g(q->lock);
  q->free_awake++;
  bool in_run = false;         /* between the begin and the end callback of a run */
  int run = 0;                 /* jobs in the current run */
  void (*end)(void) = nullptr; /* the run's end callback, fixed when the run began */
  for (;;) {
    if (in_run && (q->waiting.empty() || run >= EVENTER_JOBQ_RUN_MAX)) {
      in_run = false;
      run = 0;
      if (end) {
        g.unlock();
        end();
        g.lock();
      }
      continue;
    }
    if (!q->waiting.empty() && !in_run) {
      in_run = true;
      end = q->run_end.load(std::memory_order_acquire);
      if (auto begin = q->run_begin.load(std::memory_order_acquire)) {
        g.unlock();
        begin();
        g.lock();
        continue; /* the job may have gone to another worker meanwhile: the run then ends empty */
      }
    }
    if (!q->waiting.empty()) {
      eventer_t e = q->waiting.front();
      q->waiting.pop_front();
      q->free_awake--;
      g.unlock();
      struct timeval now;
      gettimeofday(&now, nullptr);
      e->callback(e, EVENTER_ASYNCH_WORK, e->closure, &now);
      /* COMPLETE runs right here, on the same queue thread: handing it to a loop thread would
       * cost a wake-up per job, and nothing in COMPLETE needs a particular thread. */
      gettimeofday(&now, nullptr);
      e->callback(e, EVENTER_ASYNCH_COMPLETE, e->closure, &now);
      size_t cost = e->cost;
      delete e;
      g.lock();
      q->backlog_jobs--;
      q->backlog_bytes -= cost;
      q->free_awake++;
      run++;
      continue;
    }
    q->free_awake--;
    q->sleepers++;
    q->cv.wait(g, [q] { return q->wake_tokens > 0; });
    q->wake_tokens--; /* the producer already moved us from sleepers to free_awake */
  }
}

eventer_jobq *jobq_create_locked(eventer_state &s, const std::string &name, int concurrency,
                                 size_t max_jobs, size_t max_bytes) {
  auto it = s.jobqs.find(name);
  if (it != s.jobqs.end()) return it->second;
  auto *q = new eventer_jobq;
  q->name = name;
  q->concurrency = concurrency;
  q->max_jobs = max_jobs;
  q->max_bytes = max_bytes;
  for (int i = 0; i < concurrency; i++) q->threads.emplace_back(jobq_worker, q);
  s.jobqs.emplace(name, q);
  return q;
}

/* "concurrency,min,max[,backlog_jobs[,backlog_bytes]]". The queue runs `concurrency` threads
 * (clamped into min..max, which bound the thread count). The optional fourth and fifth fields bound
 * the backlog; without them the defaults apply. A field that is not a number, or a sixth field,
 * makes the setting bad: the fields are positional, so one that is not understood cannot be
 * skipped without misreading the ones after it. */
int jobq_from_setting(eventer_state &s, const std::string &name, const std::string &value) {
  std::vector<std::string_view> f;
  std::string_view v(value);
  for (;;) {
    auto c = v.find(',');
    f.push_back(v.substr(0, c));
    if (c == std::string_view::npos) break;
    v.remove_prefix(c + 1);
  }
  int conc = 0, mn = 0, mx = 0, jobs = EVENTER_DEFAULT_BACKLOG_JOBS;
  long long bytes = (long long) EVENTER_DEFAULT_BACKLOG_BYTES;
  bool ok = f.size() >= 3 && f.size() <= 5 && parse_int(f[0], &conc) == 0 &&
            parse_int(f[1], &mn) == 0 && parse_int(f[2], &mx) == 0 && conc >= 1 && mn >= 0 &&
            mx >= 1 && mx <= EVENTER_MAX_JOBQ_THREADS && mn <= mx;
  if (ok && f.size() >= 4) ok = parse_int(f[3], &jobs) == 0 && jobs >= 0;
  if (ok && f.size() >= 5) {
    std::string_view b = f[4];
    auto r = std::from_chars(b.data(), b.data() + b.size(), bytes);
    ok = r.ec == std::errc() && r.ptr == b.data() + b.size() && bytes >= 0;
  }
  if (!ok) {
    zint_log(zint_error, "eventer: job queue %s: bad setting \"%s\"\n", name.c_str(), value.c_str());
    return -1;
  }
  conc = std::clamp(conc, std::max(mn, 1), mx);
  jobq_create_locked(s, name, conc, (size_t) jobs, (size_t) bytes);
  return 0;
}

int eventer_asio_init(void) {
  eventer_state &s = state();
  zint_memory_init();
  int rv = 0;
  std::vector<std::string> pool_names{"default"};
  for (const auto &attrs : zint_conf_get_elements("//eventer/pool")) {
    auto n = attrs.find("name");
    if (n == attrs.end() || n->second.empty()) {
      zint_log(zint_error, "eventer: <pool> without a name ignored\n");
      rv = -1;
      continue;
    }
    pool_names.push_back(n->second);
  }
  for (const auto &n : pool_names) pool_get(n, true);
  std::lock_guard<std::mutex> g(s.lock);
  for (const auto &[key, value] : s.settings) {
    if (key.rfind("jobq_", 0) != 0) continue;
    std::string name = key.substr(5);
    if (name.empty() || jobq_from_setting(s, name, value) < 0) rv = -1;
  }
  return rv;
}

struct eventer_impl eventer_asio_impl = {"asio", eventer_asio_init};

}  // namespace

eventer_impl_t __eventer = &eventer_asio_impl;

void zint_main_eventer_config(const char *key, const char *value) {
  if (!key || !value) return;
  eventer_state &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.settings[key] = value;
}

eventer_pool_t *eventer_pool(const char *name) {
  if (!name) return nullptr;
  /* "default" always exists: made on first use so that tests need no process frame. */
  return pool_get(name, strcmp(name, "default") == 0);
}

boost::asio::io_context &eventer_pool_io_context(eventer_pool_t *pool) {
  ZINT_ASSERT(pool != nullptr);
  return pool->ioc;
}

int eventer_pool_concurrency(eventer_pool_t *pool) {
  ZINT_ASSERT(pool != nullptr);
  return pool->concurrency;
}

void eventer_loop(void) {
  eventer_state &s = state();
  pool_get("default", true);
  {
    std::unique_lock<std::mutex> g(s.loop_lock);
    s.loop_cv.wait(g, [&s] { return s.loop_stop; });
    s.loop_stop = false;
  }
  /* Stopped: take the loop threads down so that the caller may exit cleanly. A later
   * eventer_pool() starts a pool again, with its pending handlers and timers intact. */
  std::vector<eventer_pool_t *> pools;
  {
    std::lock_guard<std::mutex> g(s.lock);
    for (auto &[n, p] : s.pools) pools.push_back(p);
  }
  for (auto *p : pools) pool_stop(p);
}

void eventer_loop_stop(void) {
  eventer_state &s = state();
  {
    std::lock_guard<std::mutex> g(s.loop_lock);
    s.loop_stop = true;
  }
  s.loop_cv.notify_all();
}

void eventer_name_callback(const char *name, eventer_func_t f) {
  if (!name || !f) return;
  eventer_state &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  s.names[f] = name;
}

const char *eventer_name_for_callback(eventer_func_t f) {
  eventer_state &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.names.find(f);
  return it == s.names.end() ? nullptr : it->second.c_str(); /* names are never removed */
}

eventer_t eventer_alloc_timer(eventer_func_t f, void *closure, const struct timeval *whence) {
  ZINT_ASSERT(f != nullptr);
  auto *e = new eventer{f, closure, EVENTER_TIMER, {0, 0}, 0, 0};
  if (whence) e->whence = *whence;
  else gettimeofday(&e->whence, nullptr);
  return e;
}

void eventer_add(eventer_t e) {
  ZINT_ASSERT(e != nullptr && e->mask == EVENTER_TIMER);
  eventer_state &s = state();
  /* Normalise a whence whose microseconds were filled in by hand. */
  if (e->whence.tv_usec < 0 || e->whence.tv_usec > 999999) {
    e->whence.tv_sec += e->whence.tv_usec / 1000000;
    e->whence.tv_usec %= 1000000;
    if (e->whence.tv_usec < 0) {
      e->whence.tv_sec--;
      e->whence.tv_usec += 1000000;
    }
  }
  std::lock_guard<std::mutex> g(s.timer_lock);
  e->seq = s.timer_seq++;
  s.timers.push(e);
  /* A dispatcher in progress re-arms when it ends; otherwise arm only for a new earliest. */
  if (!s.timer_dispatching && s.timers.top() == e) timer_arm_locked(s);
}

eventer_t eventer_add_in_s_us(eventer_func_t f, void *closure, unsigned long seconds,
                              unsigned long us) {
  struct timeval whence;
  gettimeofday(&whence, nullptr);
  whence.tv_sec += (time_t) (seconds + us / 1000000);
  whence.tv_usec += (suseconds_t) (us % 1000000);
  if (whence.tv_usec > 999999) {
    whence.tv_sec++;
    whence.tv_usec -= 1000000;
  }
  eventer_t e = eventer_alloc_timer(f, closure, &whence);
  eventer_add(e);
  return e;
}

eventer_jobq_t *eventer_jobq_retrieve(const char *name) {
  if (!name) return nullptr;
  eventer_state &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.jobqs.find(name);
  return it == s.jobqs.end() ? nullptr : it->second;
}

eventer_jobq_t *eventer_jobq_create(const char *name, int concurrency, int max_backlog_jobs,
                                    size_t max_backlog_bytes) {
  if (!name || !*name || concurrency < 1 || concurrency > EVENTER_MAX_JOBQ_THREADS ||
      max_backlog_jobs < 0) {
    zint_log(zint_error, "eventer_jobq_create: bad arguments for queue %s\n", name ? name : "(null)");
    return nullptr;
  }
  eventer_state &s = state();
  std::lock_guard<std::mutex> g(s.lock);
  return jobq_create_locked(s, name, concurrency, (size_t) max_backlog_jobs, max_backlog_bytes);
}

eventer_t eventer_alloc_asynch(eventer_func_t f, void *closure) {
  ZINT_ASSERT(f != nullptr);
  return new eventer{f, closure, EVENTER_ASYNCH_WORK, {0, 0}, 0, 0};
}

void eventer_asynch_set_cost(eventer_t e, size_t bytes) {
  if (e) e->cost = bytes;
}

zint_boolean eventer_add_asynch(eventer_jobq_t *q, eventer_t e) {
  ZINT_ASSERT(e != nullptr && e->mask == EVENTER_ASYNCH_WORK);
  if (!q) {
    delete e;
    return false;
  }
  bool wake = false;
  {
    std::lock_guard<std::mutex> g(q->lock);
    if ((q->max_jobs && q->backlog_jobs + 1 > q->max_jobs) ||
        (q->max_bytes && (e->cost > q->max_bytes || q->backlog_bytes > q->max_bytes - e->cost))) {
      delete e;
      return false;
    }
    q->waiting.push_back(e);
    q->backlog_jobs++;
    q->backlog_bytes += e->cost;
    size_t awake = (size_t) (q->concurrency - q->sleepers);
    if (q->sleepers > 0 && q->waiting.size() > (size_t) q->free_awake + (q->wake_batch - 1) * awake) {
      q->sleepers--;
      q->free_awake++;
      q->wake_tokens++;
      q->wakeups++;
      wake = true;
    }
  }
  if (wake) q->cv.notify_one();
  return true;
}

void eventer_jobq_set_run_callbacks(eventer_jobq_t *q, void (*begin)(void), void (*end)(void)) {
  if (!q) return;
  q->run_begin.store(begin, std::memory_order_release);
  q->run_end.store(end, std::memory_order_release);
}

void eventer_jobq_set_wake_batch(eventer_jobq_t *q, int jobs) {
  if (!q) return;
  std::lock_guard<std::mutex> g(q->lock);
  q->wake_batch = jobs < 1 ? 1 : (size_t) jobs;
}

size_t eventer_jobq_backlog(eventer_jobq_t *q) {
  if (!q) return 0;
  std::lock_guard<std::mutex> g(q->lock);
  return q->backlog_jobs;
}

uint64_t eventer_jobq_wakeups(eventer_jobq_t *q) {
  if (!q) return 0;
  std::lock_guard<std::mutex> g(q->lock);
  return q->wakeups;
}
