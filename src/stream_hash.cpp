/* Stream registry. Lock order: a stream's read-write lock, then (inside the table calls) the table's
 * own mutex; never the reverse. Every stream pointer read from the table is used only inside this
 * thread's safe-memory section, and deleted streams are released through safe reclamation. */
#include "stream_hash.h"

#include "vorn_stats.h"
#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <cstdlib>

static zint_hash_table *streams;
stats_handle_t *hash_err_counter;
/* Set at start-up before any stream exists, read without a lock afterwards. */
static stream_hash_key_hook created_hook = nullptr, deleted_hook = nullptr;

/* Ends the caller's safe-memory section on every path out of a registry operation. */
struct memory_section {
  memory_section() {
    zint_memory_init_thread();
    zint_memory_begin();
  }
  ~memory_section() { zint_memory_end(); }
};

static stream_closure_t *lookup(const char *key, size_t klen) {
  void *found = nullptr;
  if (!zint_hash_retrieve(streams, key, (int) klen, &found)) return nullptr;
  return (stream_closure_t *) found;
}

void stream_hash_init(void) {
  streams = (zint_hash_table *) calloc(1, sizeof(zint_hash_table));
  ZINT_ASSERT(streams);
  zint_hash_init_size(streams, 128);
  hash_err_counter =
      stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "stream_hash", STATS_TYPE_COUNTER);
}

void stream_hash_set_key_hooks(stream_hash_key_hook created, stream_hash_key_hook deleted) {
  created_hook = created;
  deleted_hook = deleted;
}

void _stream_hash_delete_stream_closure(const char *key, size_t klen, stream_closure_t *sc) {
  if (deleted_hook) deleted_hook(key, klen); /* before the delete, which may free key */
  stream_closure_mark_deleted(sc);
  zint_hash_delete(streams, key, (int) klen, free, nullptr);
  zint_memory_safe_free(sc);
}

zint_boolean stream_hash_add_client(char *key, size_t klen, vorn_client_t *client, stream_hash_callback cb,
                                    void *closure) {
  memory_section section;
  zint_boolean key_stored = false;
  stream_closure_t *sc;
  for (;;) {
    sc = lookup(key, klen);
    if (!sc) {
      stream_closure_t *fresh = stream_closure_new();
      stream_closure_write_lock(fresh);
      if (zint_hash_store(streams, key, (int) klen, fresh)) {
        key_stored = true;
        sc = fresh;
        break;
      }
      /* Lost the insert race: the winner's stream is used, if it is still there. */
      stream_closure_unlock(fresh);
      zint_memory_safe_free(fresh);
      sc = lookup(key, klen);
      if (!sc) {
        free(key);
        report_error(hash_err_counter);
        return false;
      }
    }
    stream_closure_write_lock(sc);
    if (!stream_closure_is_deleted(sc)) break;
    stream_closure_unlock(sc);
  }
  /* A stored key may be freed by a deletion below; the table hands it over when it deletes. */
  stream_closure_add_client(sc, client);
  vorn_client_set_active(client);
  if (key_stored && created_hook) created_hook(key, klen);
  if (cb && !cb(sc, closure)) _stream_hash_delete_stream_closure(key, klen, sc);
  stream_closure_unlock(sc);
  if (!key_stored) free(key);
  return true;
}

void stream_hash_remove_client(const char *key, size_t klen, vorn_client_t *client, stream_hash_callback cb,
                               void *closure) {
  memory_section section;
  stream_closure_t *sc;
  for (;;) {
    sc = lookup(key, klen);
    if (!sc) return;
    stream_closure_write_lock(sc);
    if (!stream_closure_is_deleted(sc)) break;
    stream_closure_unlock(sc);
  }
  if (stream_closure_remove_client(sc, client)) {
    if (stream_closure_is_empty(sc) || (cb && !cb(sc, closure)))
      _stream_hash_delete_stream_closure(key, klen, sc);
  }
  stream_closure_unlock(sc);
}

zint_boolean stream_hash_get_stream_closure(const char *key, size_t klen, const unsigned char *id,
                                            stream_hash_callback cb,
                                            stream_hash_optimize_closure_callback optimize_cb, void *closure) {
  memory_section section;
  zint_boolean write_mode = optimize_cb == nullptr;
  for (;;) {
    stream_closure_t *sc = lookup(key, klen);
    if (!sc) return false;
    if (!id && !write_mode) {
      optimize_cb(closure);
      write_mode = true;
    }
    if (write_mode)
      stream_closure_write_lock(sc);
    else
      stream_closure_read_lock(sc);
    if (stream_closure_is_deleted(sc)) {
      stream_closure_unlock(sc);
      continue;
    }
    if (id && !stream_closure_compare_id(sc, id)) {
      stream_closure_unlock(sc);
      return false;
    }
    if (!write_mode) {
      stream_closure_unlock(sc);
      optimize_cb(closure);
      write_mode = true;
      continue;
    }
    zint_boolean result = cb(sc, closure);
    if (!result) _stream_hash_delete_stream_closure(key, klen, sc);
    stream_closure_unlock(sc);
    return result;
  }
}

int stream_hash_size(void) { return streams ? zint_hash_size(streams) : 0; }
