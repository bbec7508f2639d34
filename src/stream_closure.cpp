/* Stream closures: fan-out of data and error frames to a stream's subscribers and the union of the
 * metric names they want. The registry serialises all access through the stream's lock. */
#include "stream_closure.h"

#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <cstdlib>
#include <cstring>

/* Broadcasts to streams of up to this many subscribers note failed writes without allocating. */
#define FAILED_WRITES_FIXED 256

stream_closure_t *stream_closure_new(void) {
  stream_closure_t *sc =
      (stream_closure_t *) zint_memory_safe_malloc_cleanup(sizeof(stream_closure_t), stream_closure_cleanup);
  ZINT_ASSERT(sc);
  memset(sc, 0, sizeof(*sc));
  sc->clients = vorn_arr_new(vorn_client_compare, vorn_client_free);
  sc->closure = nullptr;
  pthread_rwlock_init(&sc->lock, nullptr);
  zint_uuid_generate(sc->id);
  sc->deleted = false;
  return sc;
}

void stream_closure_add_client(stream_closure_t *sc, vorn_client_t *client) {
  stream_closure_remove_client(sc, client);
  vorn_arr_add(sc->clients, client);
}

zint_boolean stream_closure_remove_client(stream_closure_t *sc, vorn_client_t *client) {
  void *removed = vorn_arr_remove(sc->clients, client);
  if (!removed) return false;
  vorn_client_free(removed);
  return true;
}

char **stream_closure_get_filter(stream_closure_t *sc, int *cnt) {
  size_t n;
  void **records = vorn_arr_get_elements(sc->clients, &n);
  if (n == 0) {
    *cnt = -1;
    return nullptr;
  }
  zint_hash_table names;
  zint_hash_init_size(&names, 8);
  for (size_t i = 0; i < n; i++) {
    vorn_client_t *client = (vorn_client_t *) records[i];
    if (vorn_client_is_wildcard(client)) {
      zint_hash_destroy(&names, free, nullptr);
      *cnt = 0;
      return nullptr;
    }
    vorn_client_merge_names(client, &names);
  }
  *cnt = zint_hash_size(&names);
  size_t bytes = (size_t) *cnt * sizeof(char *);
  char **filter = (char **) calloc((size_t) *cnt, sizeof(char *));
  if (!filter) zint_fatal("[FATAL] stream_closure_get_filter failed to calloc %d bytes\n", (int) bytes);
  zint_hash_iter iter = ZINT_HASH_ITER_ZERO;
  const char *name;
  int name_len;
  void *unused;
  int slot = 0;
  while (zint_hash_adv(&names, &iter, &name, &name_len, &unused) && slot < *cnt)
    filter[slot++] = (char *) name;
  zint_hash_destroy(&names, nullptr, nullptr);
  return filter;
}

zint_boolean stream_closure_is_empty(stream_closure_t *sc) { return vorn_arr_size(sc->clients) == 0; }

void stream_closure_set_closure(stream_closure_t *sc, void *closure) { sc->closure = closure; }

void *stream_closure_get_closure(stream_closure_t *sc) { return sc->closure; }

void stream_closure_read_lock(stream_closure_t *sc) { pthread_rwlock_rdlock(&sc->lock); }

void stream_closure_write_lock(stream_closure_t *sc) { pthread_rwlock_wrlock(&sc->lock); }

void stream_closure_unlock(stream_closure_t *sc) { pthread_rwlock_unlock(&sc->lock); }

void stream_closure_broadcast(stream_closure_t *sc, const char *msg, size_t msg_len, const char *filter,
                              size_t filter_len) {
  size_t n;
  void **records = vorn_arr_get_elements(sc->clients, &n);
  vorn_client_t *fixed[FAILED_WRITES_FIXED];
  vorn_client_t **failed = n <= FAILED_WRITES_FIXED ? fixed : nullptr;
  size_t failed_cnt = 0;

  /* Records are removed only after the scan, so the scan sees the set unchanged. */
  for (size_t i = 0; i < n; i++) {
    vorn_client_t *client = (vorn_client_t *) records[i];
    if (!vorn_client_has_name(client, filter, (int) filter_len)) continue;
    if (vorn_client_write(client, msg, msg_len)) continue;
    if (!failed) {
      failed = (vorn_client_t **) calloc(n - i, sizeof(vorn_client_t *));
      ZINT_ASSERT(failed);
    }
    failed[failed_cnt++] = client;
  }
  for (size_t i = 0; i < failed_cnt; i++) stream_closure_remove_client(sc, failed[i]);
  if (failed != fixed) free(failed);
}

void stream_closure_broadcast_error(stream_closure_t *sc, const char *msg, size_t msg_len,
                                    const char *uuid, int period) {
  size_t n;
  void **records = vorn_arr_get_elements(sc->clients, &n);
  for (size_t i = 0; i < n; i++)
    vorn_client_error((vorn_client_t *) records[i], msg, msg_len, uuid, period, watch_request);
}

void stream_closure_get_id(stream_closure_t *sc, unsigned char *out) { memcpy(out, sc->id, sizeof(uuid_t)); }

zint_boolean stream_closure_compare_id(stream_closure_t *sc, const unsigned char *id) {
  return memcmp(sc->id, id, sizeof(uuid_t)) == 0;
}

void stream_closure_mark_deleted(stream_closure_t *sc) { sc->deleted = true; }

zint_boolean stream_closure_is_deleted(stream_closure_t *sc) { return sc->deleted; }

void stream_closure_cleanup(void *vsc) {
  stream_closure_t *sc = (stream_closure_t *) vsc;
  vorn_arr_free(sc->clients);
  pthread_rwlock_destroy(&sc->lock);
}
