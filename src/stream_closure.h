/* A stream: one check's data at one reporting period. Holds the subscriber set of client records, the
 * read-write lock that guards it, a random identity telling this instance from a later one under the
 * same key, the deleted flag and the upstream source's closure. Every operation but the lock calls
 * and the cleanup expects the caller (the stream registry) to hold the lock as noted. */
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

stream_closure_t *stream_closure_new(void);
void stream_closure_add_client(stream_closure_t *sc, vorn_client_t *client);
zint_boolean stream_closure_remove_client(stream_closure_t *sc, vorn_client_t *client);
char **stream_closure_get_filter(stream_closure_t *sc, int *cnt);
zint_boolean stream_closure_is_empty(stream_closure_t *sc);
void stream_closure_set_closure(stream_closure_t *sc, void *closure);
void *stream_closure_get_closure(stream_closure_t *sc);
void stream_closure_read_lock(stream_closure_t *sc);
void stream_closure_write_lock(stream_closure_t *sc);
void stream_closure_unlock(stream_closure_t *sc);
void stream_closure_broadcast(stream_closure_t *sc, const char *msg, size_t msg_len, const char *filter,
                              size_t filter_len);
void stream_closure_broadcast_error(stream_closure_t *sc, const char *msg, size_t msg_len,
                                    const char *uuid, int period);
void stream_closure_get_id(stream_closure_t *sc, unsigned char *out);
zint_boolean stream_closure_compare_id(stream_closure_t *sc, const unsigned char *id);
void stream_closure_mark_deleted(stream_closure_t *sc);
zint_boolean stream_closure_is_deleted(stream_closure_t *sc);
void stream_closure_cleanup(void *vsc);

#endif
