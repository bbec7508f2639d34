/* zint event loop: named pools of loop threads (each an Asio io_context run by N threads), one-shot
 * timers and job queues whose threads run asynchronous jobs (WORK on a queue thread, then COMPLETE). */
#ifndef ZINT_EVENTER_H
#define ZINT_EVENTER_H

#include "zint/zint_common.h"

#include <sys/time.h>

typedef struct eventer *eventer_t;
typedef struct eventer_pool eventer_pool_t;
typedef struct eventer_jobq eventer_jobq_t;

/* Callback of every event: a timer fires with EVENTER_TIMER; an asynchronous job is called once
 * with EVENTER_ASYNCH_WORK on a queue thread, then once with EVENTER_ASYNCH_COMPLETE. */
typedef int (*eventer_func_t)(eventer_t e, int mask, void *closure, struct timeval *now);

#define EVENTER_TIMER 0x08
#define EVENTER_ASYNCH_WORK 0x10
#define EVENTER_ASYNCH_CLEANUP 0x20
#define EVENTER_ASYNCH_COMPLETE (EVENTER_ASYNCH_WORK | EVENTER_ASYNCH_CLEANUP)

/* The active implementation; child_main calls its init once before the services start. */
typedef struct eventer_impl {
  const char *name;
  int (*init)(void);
} *eventer_impl_t;
extern eventer_impl_t __eventer;

/* Stores a named setting ("default_threads", "jobq_<name>" = "concurrency,min,max", ...) before
 * the frame starts; the frame creates the job queues from the "jobq_" settings. */
void zint_main_eventer_config(const char *key, const char *value);

/* The pool of that name ("default" always exists once the eventer is initialised), or null.
 * A pool's threads start when the pool is made: by init for configured pools (<eventer><pool
 * name="x" threads="N"/>), on first use for "default" (so tests need no process frame; its size is
 * fixed then: configuration, else the setting "default_threads", else 4). */
eventer_pool_t *eventer_pool(const char *name);
/* Runs the loops until the process ends (or eventer_loop_stop for tests); never returns normally.
 * After eventer_loop_stop it stops and joins every pool's threads and returns; a later
 * eventer_pool() starts a pool again with its pending handlers. eventer_loop_stop may be called
 * from any thread, a loop thread included, but not from a signal handler (it takes a mutex). */
void eventer_loop(void);
void eventer_loop_stop(void);

/* Names a callback for diagnostics. */
void eventer_name_callback(const char *name, eventer_func_t f);
/* The name given to f, or null. */
const char *eventer_name_for_callback(eventer_func_t f);

/* Event records. Timers: eventer_alloc_timer, fill whence, eventer_add. */
eventer_t eventer_alloc_timer(eventer_func_t f, void *closure, const struct timeval *whence);
void eventer_add(eventer_t e);
/* One-shot timer at now + seconds/microseconds (microseconds above 999999 carry into seconds). */
eventer_t eventer_add_in_s_us(eventer_func_t f, void *closure, unsigned long seconds, unsigned long us);

/* Job queues: created by the frame from the stored "jobq_" settings, or by tests. A setting reads
 * "concurrency,min,max[,backlog_jobs[,backlog_bytes]]": the queue runs `concurrency` threads
 * (kept within min..max, which bound the thread count), and the backlog is bounded by the optional
 * fields, else by 10000 jobs and 256 MiB. Every field is a number: a setting with any other field,
 * or with more fields, is refused (logged; the queue is not made and the eventer's init fails). COMPLETE runs on the queue
 * thread right after WORK (no hand-over, no wake-up); it may add timers and jobs.
 * eventer_jobq_create: 1..1024 threads; a bound of 0 means none. Null on bad arguments; an
 * existing queue of that name is returned unchanged. Timers run one at a time, in order of their
 * time, on a "default" pool thread, so a long timer callback delays the others. */
eventer_jobq_t *eventer_jobq_retrieve(const char *name);
eventer_jobq_t *eventer_jobq_create(const char *name, int concurrency, int max_backlog_jobs,
                                    size_t max_backlog_bytes);
eventer_t eventer_alloc_asynch(eventer_func_t f, void *closure);
/* Sets how many bytes the job counts against the queue's byte bound (0 by default). */
void eventer_asynch_set_cost(eventer_t e, size_t bytes);
/* Queues the job; false (and the event freed, the callback never called) when the queue's backlog
 * bound in jobs or bytes would be exceeded. */
zint_boolean eventer_add_asynch(eventer_jobq_t *q, eventer_t e);
/* Run callbacks of q, called on its worker threads: begin before the first job of a run of jobs,
 * end after the run, when the worker finds no job waiting or has run EVENTER_JOBQ_RUN_MAX jobs in a
 * row. The place for work that jobs leave to the end of a run (the websocket server's deferred
 * wake-ups). Either may be null; set them before jobs are added. */
#define EVENTER_JOBQ_RUN_MAX 32
void eventer_jobq_set_run_callbacks(eventer_jobq_t *q, void (*begin)(void), void (*end)(void));
/* How many waiting jobs each awake worker of q is left to take before a producer wakes one more
 * (at least 1). 1, the default, wakes a sleeper whenever the awake, idle workers cannot take every
 * waiting job: right for jobs that block. A queue of short jobs that only use the CPU does better
 * with more: then a burst is taken by the workers already awake instead of waking thread after
 * thread that only compete for the same cores (and with the producer). A queue with jobs waiting
 * and no worker awake always wakes one. */
void eventer_jobq_set_wake_batch(eventer_jobq_t *q, int jobs);
/* Jobs waiting or running on the queue (for tests and statistics). */
size_t eventer_jobq_backlog(eventer_jobq_t *q);
/* Sleeping workers woken by producers since the queue was made (for tests and statistics). */
uint64_t eventer_jobq_wakeups(eventer_jobq_t *q);

#endif
