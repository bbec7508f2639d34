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

extern stats_handle_t *api_err_counter;
extern stats_handle_t *pask_watches;
extern stats_handle_t *harl_watches;
extern stats_handle_t *requests;
extern stats_handle_t *uptime_s;

void api_init(void);
int websocket_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t msg_len);
int stats_handler(zint_http_rest_closure_t *restc, int npats, char **pats);
ssize_t stats_http_outf(void *vctx, const char *buf, size_t len);
void watch_json(zint_http_rest_closure_t *restc, zint_json_object *entry);
void unwatch_json(zint_http_rest_closure_t *restc, zint_json_object *entry);
const char *get_uuid(zint_json_object *entry);
int get_period(zint_json_object *entry);
const char **get_names(zint_json_object *entry, size_t *cnt);
void api_call_closure_free(void *closure);
zint_boolean watch_equality_fn(void *a, void *b);
void watch_free_fn(void *entry);

#endif
