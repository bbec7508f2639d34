/* A stream: one check's data at one reporting period. Holds the subscriber set of client records, the
 * read-write lock that guards it, a random identity telling this instance from a later one under the
 * same key, the deleted flag and the upstream source's closure. The stream registry (stream_hash)
 * takes the lock; each function below says which lock its caller must hold. */
#ifndef VORN_STREAM_CLOSURE_H
#define VORN_STREAM_CLOSURE_H

#include "arr.h"
#include "client.h"
#include "zint/zint_common.h"
#include "zint/zint_time.h"

#include <pthread.h>

typedef struct stream_closure {
  vorn_arr_t *clients;   /* full vorn_client_t records, at most one per session; owned; guarded by lock */
  void *closure;         /* upstream source's closure (broker key record); not owned; guarded by lock */
  pthread_rwlock_t lock; /* guards clients, closure and deleted */
  uuid_t id;             /* identity of this instance; set at creation, never changes */
  zint_boolean deleted;  /* set once, under the write lock, when the stream leaves the registry */
} stream_closure_t;

/* A new empty stream in a safe-memory block with a fresh identity; release it with
 * zint_memory_safe_free (which runs stream_closure_cleanup). Allocation failure is fatal. */
stream_closure_t *stream_closure_new(void);
/* Adds client, which the stream owns from now on, replacing (and freeing) the session's earlier
 * record if any. Write lock. */
void stream_closure_add_client(stream_closure_t *sc, vorn_client_t *client);
/* Removes and frees the record of client's session (client is a probe the caller keeps); false
 * when the session has none. Write lock. */
zint_boolean stream_closure_remove_client(stream_closure_t *sc, vorn_client_t *client);
/* The union of the subscribers' metric names as a calloc'ed array of *cnt malloc'ed texts (the
 * caller frees each and the array); null with *cnt 0 when one subscriber takes every name, null
 * with *cnt -1 when there is none. Read lock. */
char **stream_closure_get_filter(stream_closure_t *sc, int *cnt);
/* True when no client is subscribed. Read lock. */
zint_boolean stream_closure_is_empty(stream_closure_t *sc);
/* Sets the upstream closure (not owned; the caller releases the one it replaces). Write lock. */
void stream_closure_set_closure(stream_closure_t *sc, void *closure);
/* The upstream closure, or null; borrowed. Read lock. */
void *stream_closure_get_closure(stream_closure_t *sc);
/* Take and release the stream's lock; the stream must stay reachable (safe-memory section). */
void stream_closure_read_lock(stream_closure_t *sc);
void stream_closure_write_lock(stream_closure_t *sc);
void stream_closure_unlock(stream_closure_t *sc);
/* Queues msg (copied) to every client whose filter takes the name filter[0..filter_len), then
 * removes and frees the clients whose session refused it. Write lock. */
void stream_closure_broadcast(stream_closure_t *sc, const char *msg, size_t msg_len, const char *filter,
                              size_t filter_len);
/* Sends every client an error frame {"error": msg, "id": uuid, "period", "type": "watch"}; keeps
 * them subscribed. Read lock. */
void stream_closure_broadcast_error(stream_closure_t *sc, const char *msg, size_t msg_len,
                                    const char *uuid, int period);
/* Copies the 16-byte identity into out. No lock: the identity never changes. */
void stream_closure_get_id(stream_closure_t *sc, unsigned char *out);
/* True when id (16 bytes) is this instance's identity. No lock. */
zint_boolean stream_closure_compare_id(stream_closure_t *sc, const unsigned char *id);
/* Marks the stream as leaving the registry, for good. Write lock. */
void stream_closure_mark_deleted(stream_closure_t *sc);
/* True once marked deleted; then the caller must let go and look the key up again. Either lock. */
zint_boolean stream_closure_is_deleted(stream_closure_t *sc);
/* The safe-memory cleanup: frees the client records and destroys the lock. Runs once no thread can
 * reach the stream; never call it directly on a stream still in use. */
void stream_closure_cleanup(void *vsc);

#endif
