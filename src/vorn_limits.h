/* vorn_limits: what an operator bounds to protect the process from its clients, and the counting of
 * every refusal. The framework turns connections away (too many, too big, wrong origin, plain text
 * on a TLS listener) and tells this module, which counts each kind under "errors"; the watch
 * protocol asks it how many watches a session may hold. */
#ifndef VORN_VORN_LIMITS_H
#define VORN_VORN_LIMITS_H

#include <cstddef>

#include "stats/stats.h"

#define LIMITS_DEFAULT_MAX_WATCHES 1000

/* Error counters, registered by vorn_limits_init, each counted with report_error. */
extern stats_handle_t *conn_limit_err_counter;   /* "errors"/"too_many_connections" */
extern stats_handle_t *size_limit_err_counter;   /* "errors"/"message_too_big" */
extern stats_handle_t *watch_limit_err_counter;  /* "errors"/"watch_limit" */
extern stats_handle_t *origin_err_counter;       /* "errors"/"origin_refused" */
extern stats_handle_t *plaintext_err_counter;    /* "errors"/"plaintext_refused" */
/* Websocket sessions the framework ended with close 1013 because they did not take their frames
 * (outbound_queue_bytes passed); counted with stats_add64, not an error of the service. */
extern stats_handle_t *slow_clients_counter;     /* "websocket"/"slow_clients" */

/* Watch-list entries one session may hold ("//vorn/api/@max_watches"; 0 = no bound). Written by
 * vorn_limits_init only. */
extern size_t limits_max_watches;

/* Registers the counters, reads the watch bound and has the framework report its refusals here.
 * Called by api_init; a second call changes nothing. */
void vorn_limits_init(void);

#endif
