/* The stream registry: the one table that joins client records to incoming samples, keyed by stream
 * key bytes. Every operation runs the caller's callback under the stream's write lock and may delete
 * the stream; streams are reclaimed safely, so a stream found by one thread can be deleted by another. */
#ifndef VORN_STREAM_HASH_H
#define VORN_STREAM_HASH_H

#include "client.h"
#include "stream_closure.h"

/* Runs with the stream's write lock held; false asks the registry to delete the stream. */
typedef zint_boolean (*stream_hash_callback)(stream_closure_t *sc, void *closure);
/* Runs with no stream lock held, before the callback, only when the stream exists. */
typedef void (*stream_hash_optimize_closure_callback)(void *closure);

extern stats_handle_t *hash_err_counter;

void stream_hash_init(void);
/* Takes ownership of key (heap) always; true when the record was handed to a stream. */
zint_boolean stream_hash_add_client(char *key, size_t klen, vorn_client_t *client, stream_hash_callback cb,
                                    void *closure);
/* client is a probe (normally thin); the stream's equal record is removed and freed. */
void stream_hash_remove_client(const char *key, size_t klen, vorn_client_t *client, stream_hash_callback cb,
                               void *closure);
/* The callback's result, or false when no stream ran it; id (16 bytes) may be null. */
zint_boolean stream_hash_get_stream_closure(const char *key, size_t klen, const unsigned char *id,
                                            stream_hash_callback cb,
                                            stream_hash_optimize_closure_callback optimize_cb, void *closure);
void _stream_hash_delete_stream_closure(const char *key, size_t klen, stream_closure_t *sc);
/* Number of streams in the registry (statistics and tests). */
int stream_hash_size(void);

#endif
