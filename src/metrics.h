/* GET /metrics: the statistics tree in the Prometheus text exposition format, under the prefix
 * "vorn", with the module names of "errors", the watch kinds and the broker scopes as labels. */
#ifndef VORN_METRICS_H
#define VORN_METRICS_H

#include "stats/stats_prom.h"
#include "zint/zint_http.h"

/* The service's mapping of the tree to metric names and labels (docs/operations.md lists it). */
extern const stats_prom_options_t metrics_prom_options;

/* Registers GET /metrics. Called by api_init, after the statistics it shows are registered. */
void metrics_init(void);
/* GET /metrics: the statistics tree (uptime refreshed first) through metrics_prom_options. */
int metrics_handler(zint_http_rest_closure_t *restc, int npats, char **pats);

#endif
