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

/* "errors"/"stream_hash": adds that lost the insert race to a stream deleted at once. */
extern stats_handle_t *hash_err_counter;

/* Creates the registry and registers hash_err_counter. Start-up thread, after stats_init. */
void stream_hash_init(void);
/* Adds client (owned by the stream from now on) to the stream of key, creating the stream when
 * absent, marks it active and runs cb. Takes ownership of key (malloc'ed) always. True when the
 * record was handed to a stream; false (counted, client not freed) when no stream could be had. */
zint_boolean stream_hash_add_client(char *key, size_t klen, vorn_client_t *client, stream_hash_callback cb,
                                    void *closure);
/* Removes and frees the stream's record of client's session (client is a probe the caller keeps,
 * normally thin), then runs cb; a stream left empty, or whose cb returns false, is deleted. */
void stream_hash_remove_client(const char *key, size_t klen, vorn_client_t *client, stream_hash_callback cb,
                               void *closure);
/* Runs cb on the stream of key, if it exists and (id not null) is the instance id; optimize_cb, if
 * given, runs first without the lock so that cb finds its work done. The callback's result (false
 * deletes the stream), or false when no stream ran it. */
zint_boolean stream_hash_get_stream_closure(const char *key, size_t klen, const unsigned char *id,
                                            stream_hash_callback cb,
                                            stream_hash_optimize_closure_callback optimize_cb, void *closure);
/* Marks sc deleted, removes key from the registry (freeing the stored key) and hands sc to safe
 * reclamation. Under sc's write lock, inside a safe-memory section (registry callbacks only). */
void _stream_hash_delete_stream_closure(const char *key, size_t klen, stream_closure_t *sc);
/* Told a stream's key when the registry creates the stream for its first record and when it deletes
 * it, once each per stream, under the stream's write lock: it must not wait nor call the registry. */
typedef void (*stream_hash_key_hook)(const char *key, size_t klen);
/* Sets both hooks (null: none). Start-up thread, before any stream exists. */
void stream_hash_set_key_hooks(stream_hash_key_hook created, stream_hash_key_hook deleted);
/* Number of streams in the registry (statistics and tests). */
int stream_hash_size(void);

#endif
