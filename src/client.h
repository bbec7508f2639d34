/* Client records: one websocket session's subscription to one stream, with its metric-name filter and
 * the gauge that counts it while it sits in a stream. Thin records only name a session (to write one
 * frame to it, or to find its record in a stream) and hold no reference on it. */
#ifndef VORN_CLIENT_H
#define VORN_CLIENT_H

#include "zint/zint_common.h"
#include "zint/zint_hash.h"
#include "zint/zint_http.h"
#include "stats/stats.h"

/* int underneath, so that a value outside the three is a valid one to map */
typedef enum : int { neither_request = 0, watch_request = 1, unwatch_request = 2 } request_type;

typedef struct vorn_client {
  zint_http_session_ctx *ctx;   /* session frames go to; a full record holds one reference on it */
  zint_hash_table metric_names; /* filter: private name copies -> null; empty = wildcard; fixed
                                   after creation, so read without a lock; unset in a thin record */
  stats_handle_t *watches;      /* gauge this record counts in while active; null when thin */
  zint_boolean active;          /* counted in watches; changed under the stream's write lock */
  zint_boolean thin;            /* thin records own nothing but themselves */
} vorn_client_t;

/* "errors"/"client", registered by client_init. */
extern stats_handle_t *client_err_counter;

/* A full record for session ctx (takes a reference on it) with private copies of the names
 * (names_cnt of them; none: every name) counting in watches once active. Released with
 * vorn_client_free; allocation failure is fatal. */
vorn_client_t *vorn_client_new(zint_http_session_ctx *ctx, const char **names, size_t names_cnt,
                               stats_handle_t *watches);
/* A thin record: names ctx without a reference, for one write or as a probe. vorn_client_free. */
vorn_client_t *vorn_client_new_thin(zint_http_session_ctx *ctx);
/* Counts the record in its gauge once it sits in a stream; later calls do nothing. Under the
 * stream's write lock. */
void vorn_client_set_active(vorn_client_t *client);
/* vorn_arr equality: the same record or records of the same session. */
zint_boolean vorn_client_compare(void *a, void *b);
/* True when the filter takes name (name_len bytes): a wildcard, or a listed name. No lock. */
zint_boolean vorn_client_has_name(vorn_client_t *client, const char *name, int name_len);
/* True when the record has no names, so it takes every one. No lock. */
zint_boolean vorn_client_is_wildcard(vorn_client_t *client);
/* Stores into filter a malloc'ed copy (value null) of each of the record's names not yet in it;
 * the filter's owner frees the keys. */
void vorn_client_merge_names(vorn_client_t *client, zint_hash_table *filter);
/* Queues buf (copied) as one text frame to the session; false when the session refused it (closed,
 * or its queue full). Never waits; any thread. */
zint_boolean vorn_client_write(vorn_client_t *client, const void *buf, size_t len);
/* Writes the session an error frame {"error", "id" (uuid, if not null), "period" (if not 0),
 * "type"}; the texts are copied. */
void vorn_client_error(vorn_client_t *client, const char *err, size_t err_len, const char *uuid,
                       int period, request_type type);
/* Frees a record (null is ignored); a full one also drops its session reference, its names and,
 * when active, its count. vorn_arr element free. */
void vorn_client_free(void *client);
/* Registers client_err_counter. Start-up thread, after stats_init. */
void client_init(void);

#endif
