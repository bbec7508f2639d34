/* The client API: the websocket watch protocol (endpoint with sub-protocol "vorn") and the statistics
 * endpoint GET /stats.json, with the statistics they keep. */
#ifndef VORN_API_H
#define VORN_API_H

#include "arr.h"
#include "stats/stats.h"
#include "zint/zint_http.h"
#include "zint/zint_json.h"

/* One websocket session's state; lives from its first parsable message to the session's end. */
typedef struct api_call_closure {
  zint_http_rest_closure_t *restc; /* the framework's closure of the session; not owned */
  vorn_arr_t *watches;             /* watch_t entries, in request order, each (id, period) once and
                                      only while a subscription of it may stand; owned; used only by
                                      the session's own handler calls, which never overlap */
} api_call_closure_t;

/* One watch-list entry. */
typedef struct watch {
  const char *uuid; /* private copy of the entry's "id" */
  int period;       /* 0 when the entry had none */
} watch_t;

/* Registered by api_init: "errors"/"api", the gauges "websocket"/"watches"/{check,stream}, and the
 * global "requests" and "uptime_s". */
extern stats_handle_t *api_err_counter;
extern stats_handle_t *pask_watches;
extern stats_handle_t *harl_watches;
extern stats_handle_t *requests;
extern stats_handle_t *uptime_s;

/* Registers the statistics above, the limits, and every endpoint: /stats.json, /metrics, /health,
 * the websocket protocol "vorn" and /ui. Start-up thread, after every upstream module's init. */
void api_init(void);
/* The REST websocket handler: one client message, handled in the session's strand. Answers
 * heartbeats, applies unwatch then watch entries; a refused message gets an error frame and changes
 * nothing. Non-zero (the session is closed) only for text that is not JSON. msg is borrowed. */
int websocket_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t msg_len);
/* GET /stats.json: the statistics tree as JSON, uptime refreshed first. */
int stats_handler(zint_http_rest_closure_t *restc, int npats, char **pats);
/* Statistics output sink: appends buf to the response of session vctx; len, or -1 when refused. */
ssize_t stats_http_outf(void *vctx, const char *buf, size_t len);
/* Applies one watch entry (borrowed): subscribes new full records to the bus stream and, with a
 * period, to the broker stream, and lists the watch; a bad entry or a full list gets an error frame.
 * The session's handler only (its watch list is unlocked). */
void watch_json(zint_http_rest_closure_t *restc, zint_json_object *entry);
/* Applies one unwatch entry (borrowed): removes the session's records from both streams and the
 * watch from its list; a bad entry gets an error frame. The session's handler only. */
void unwatch_json(zint_http_rest_closure_t *restc, zint_json_object *entry);
/* The entry's "id" text (borrowed from entry), or null when absent or not a string. */
const char *get_uuid(zint_json_object *entry);
/* The entry's "period" as an int, 0 when absent. */
int get_period(zint_json_object *entry);
/* The entry's "metrics" texts as a calloc'ed array (the caller frees the array; the texts are
 * borrowed from entry), *cnt of them; null with *cnt 0 when absent or empty. */
const char **get_names(zint_json_object *entry, size_t *cnt);
/* The session's closure free: unsubscribes every listed watch from its streams, then frees the
 * list and the closure. Called by the framework once the session ends. */
void api_call_closure_free(void *closure);
/* vorn_arr equality of watch_t: same period and same id text. */
zint_boolean watch_equality_fn(void *a, void *b);
/* vorn_arr element free of watch_t: the id copy and the entry (null is ignored). */
void watch_free_fn(void *entry);

#endif
