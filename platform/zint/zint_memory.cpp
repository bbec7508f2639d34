/* zint safe memory on liburcu (memb flavour): critical sections are RCU read-side sections and a
 * safe free is a call_rcu of the block. liburcu is not instrumented for ThreadSanitizer, so under
 * VORN_TSAN the grace period is annotated: every section end releases, every reclamation acquires. */
#include "zint/zint_memory.h"

#include <urcu/urcu-memb.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <thread>

#if defined(VORN_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace {

/* Sits in front of every safe block; the caller sees the bytes after it. 32 bytes keep the
 * caller's pointer aligned for any type. */
struct alignas(16) memory_header {
  struct rcu_head head;            /* liburcu's link while the release waits for its grace period */
  zint_memory_cleanup_fn cleanup;  /* set at allocation, read once at release */
};
static_assert(sizeof(memory_header) % alignof(std::max_align_t) == 0, "header breaks alignment");

/* Per-thread registration state; only its own thread touches it. */
struct memory_thread {
  bool registered = false;  /* registered with liburcu (by us or by liburcu itself) */
  bool foreign = false;     /* liburcu's own call_rcu thread: it unregisters itself */
  int depth = 0;            /* nesting of zint_memory_begin */
  ~memory_thread() {
    if (!registered || foreign) return;
    if (depth > 0) {
      zint_log(zint_error, "zint_memory: thread exits inside %d critical section(s)\n", depth);
      urcu_memb_read_unlock();
    }
    urcu_memb_unregister_thread();
  }
};

thread_local memory_thread t_mem;
std::atomic<size_t> g_pending{0};
std::once_flag g_init_once;
#if defined(VORN_TSAN)
char g_grace_sync; /* the happens-before anchor between section ends and reclamations */
#endif

inline memory_header *header_of(void *block) {
  return reinterpret_cast<memory_header *>(static_cast<char *>(block) - sizeof(memory_header));
}

void release_block(memory_header *h) {
  void *block = reinterpret_cast<char *>(h) + sizeof(memory_header);
  if (h->cleanup) h->cleanup(block);
  free(h);
}

/* Runs on liburcu's call_rcu thread once the grace period is over. */
void reclaim_cb(struct rcu_head *head) {
  /* liburcu registered this thread itself; remember that so begin/end and safe_free work here. */
  if (!t_mem.registered) {
    t_mem.registered = true;
    t_mem.foreign = true;
  }
#if defined(VORN_TSAN)
  __tsan_acquire(&g_grace_sync);
#endif
  release_block(reinterpret_cast<memory_header *>(head));
  g_pending.fetch_sub(1, std::memory_order_acq_rel);
}

/* Threads of liburcu must be paused around fork, or the child would wait forever for them. */
void atfork_prepare() { urcu_memb_call_rcu_before_fork(); }
void atfork_parent() { urcu_memb_call_rcu_after_fork_parent(); }
void atfork_child() { urcu_memb_call_rcu_after_fork_child(); }

}  // namespace

void zint_memory_init(void) {
  std::call_once(g_init_once, [] {
    urcu_memb_init();
    pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
  });
  zint_memory_init_thread();
}

void zint_memory_init_thread(void) {
  if (t_mem.registered) return;
  urcu_memb_register_thread();
  t_mem.registered = true;
}

void zint_memory_begin(void) {
  if (!t_mem.registered) zint_memory_init_thread();
  if (t_mem.depth++ == 0) urcu_memb_read_lock();
}

void zint_memory_end(void) {
  if (t_mem.depth <= 0) {
    /* A caller bug, but ending a section twice must not corrupt the reader state. */
    zint_log(zint_error, "zint_memory_end: not inside a critical section\n");
    return;
  }
  if (--t_mem.depth == 0) {
#if defined(VORN_TSAN)
    __tsan_release(&g_grace_sync);
#endif
    urcu_memb_read_unlock();
  }
}

zint_boolean zint_memory_in_cs(void) { return t_mem.depth > 0; }

void *zint_memory_safe_malloc_cleanup(size_t size, zint_memory_cleanup_fn cleanup) {
  if (size > SIZE_MAX - sizeof(memory_header)) return nullptr;
  auto *h = static_cast<memory_header *>(calloc(1, sizeof(memory_header) + size));
  if (!h) return nullptr;
  h->cleanup = cleanup;
  return reinterpret_cast<char *>(h) + sizeof(memory_header);
}

void *zint_memory_safe_calloc(size_t size) { return zint_memory_safe_malloc_cleanup(size, nullptr); }

void zint_memory_safe_free(void *block) {
  if (!block) return;
  /* call_rcu needs a registered caller; foreign threads arrive here unannounced. */
  if (!t_mem.registered) zint_memory_init_thread();
  g_pending.fetch_add(1, std::memory_order_acq_rel);
#if defined(VORN_TSAN)
  __tsan_release(&g_grace_sync);
#endif
  urcu_memb_call_rcu(&header_of(block)->head, reclaim_cb);
}

void zint_memory_safe_free_now(void *block) {
  if (!block) return;
  release_block(header_of(block));
}

void zint_memory_barrier(void) {
  if (t_mem.depth > 0 || t_mem.foreign) {
    zint_log(zint_error, "zint_memory_barrier: called inside a critical section or a cleanup\n");
    return;
  }
  if (!t_mem.registered) zint_memory_init_thread();
#if defined(VORN_TSAN)
  /* liburcu's barrier hands its own block between threads in uninstrumented code, which TSan
   * reports; the pending count (decremented after each cleanup) gives the same wait visibly. */
  while (g_pending.load(std::memory_order_acquire) > 0) std::this_thread::yield();
#else
  /* One liburcu barrier covers the releases queued so far; cleanups may queue more. */
  do {
    urcu_memb_barrier();
  } while (g_pending.load(std::memory_order_acquire) > 0);
#endif
}

size_t zint_memory_pending(void) { return g_pending.load(std::memory_order_acquire); }
