/* zint safe memory: read-side critical sections and deferred release of shared blocks, on userspace
 * RCU. A block found through a shared structure stays valid until its reader leaves the section it
 * found it in, even when another thread has already released it with zint_memory_safe_free. */
#ifndef ZINT_MEMORY_H
#define ZINT_MEMORY_H

#include "zint/zint_common.h"

/* Runs on a block right before its memory is released (not on the releasing thread). */
typedef void (*zint_memory_cleanup_fn)(void *block);

/* Sets the reclamation up and registers the calling thread; safe to call more than once. */
void zint_memory_init(void);
/* Registers the calling thread; idempotent. The registration ends when the thread exits. */
void zint_memory_init_thread(void);

/* Critical section: enter and leave in pairs; sections nest. zint_memory_begin registers a thread
 * it has not seen, so foreign threads (a client library's delivery thread) may call it directly. */
void zint_memory_begin(void);
void zint_memory_end(void);
zint_boolean zint_memory_in_cs(void);

/* Zeroed blocks that may only be released with zint_memory_safe_free (or _now). Null when the
 * allocation fails. The cleanup, if any, runs exactly once, right before the memory is released. */
void *zint_memory_safe_calloc(size_t size);
void *zint_memory_safe_malloc_cleanup(size_t size, zint_memory_cleanup_fn cleanup);
/* Releases the block once every thread has left the critical sections it was in at this call.
 * Null is ignored. May be called from any thread, inside a section or not, and from a cleanup. */
void zint_memory_safe_free(void *block);
/* Runs the cleanup and releases the block at once: only for a block no other thread can reach. */
void zint_memory_safe_free_now(void *block);

/* Waits until every release requested before this call (and every release those cleanups request)
 * has run. For tests and shutdown; must not be called inside a critical section or from a cleanup. */
void zint_memory_barrier(void);
/* Releases requested and not yet carried out (for tests and statistics). */
size_t zint_memory_pending(void);

#endif
