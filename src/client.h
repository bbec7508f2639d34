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

extern stats_handle_t *client_err_counter;

vorn_client_t *vorn_client_new(zint_http_session_ctx *ctx, const char **names, size_t names_cnt,
                               stats_handle_t *watches);
vorn_client_t *vorn_client_new_thin(zint_http_session_ctx *ctx);
void vorn_client_set_active(vorn_client_t *client);
zint_boolean vorn_client_compare(void *a, void *b);
zint_boolean vorn_client_has_name(vorn_client_t *client, const char *name, int name_len);
zint_boolean vorn_client_is_wildcard(vorn_client_t *client);
void vorn_client_merge_names(vorn_client_t *client, zint_hash_table *filter);
zint_boolean vorn_client_write(vorn_client_t *client, const void *buf, size_t len);
void vorn_client_error(vorn_client_t *client, const char *err, size_t err_len, const char *uuid,
                       int period, request_type type);
void vorn_client_free(void *client);
void client_init(void);

#endif
