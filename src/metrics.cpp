/* GET /metrics: the statistics tree for Prometheus. A scrape reads the same recorder as GET
 * /stats.json; it refreshes "uptime_s" the same way but is not counted in "requests", which stays
 * what it has always counted (websocket messages and statistics JSON requests). */
#include "metrics.h"

#include "api.h"
#include "auth.h"
#include "vorn_stats.h"
#include "zint/zint_time.h"

/* Path elements that name a module or a source become labels, so that one family covers them all:
 * "errors"/<module> (the total beside them becomes vorn_errors_all_total), the watch kinds of
 * "websocket"/"watches" ("check": bus records, "stream": broker records) and the broker scope of
 * "agents" ("global" today). */
static const stats_prom_label_rule_t metrics_rules[] = {
    {"errors", "module", "total", "all"},
    {"websocket/watches", "source", nullptr, nullptr},
    {"agents", "agent", nullptr, nullptr},
};

const stats_prom_options_t metrics_prom_options = {"vorn", metrics_rules, sizeof metrics_rules / sizeof metrics_rules[0]};

int metrics_handler(zint_http_rest_closure_t *restc, int npats, char **pats) {
  (void) npats;
  (void) pats;
  if (!auth_stats_permitted(restc->http_ctx)) return 0;
  uint64_t up = (zint_get_nanos() - vorn_start_ns) / 1000000000ull;
  stats_set(uptime_s, STATS_TYPE_UINT64, &up);
  zint_http_session_ctx *ctx = restc->http_ctx;
  zint_http_response_status_set(ctx, 200, "OK");
  zint_http_response_header_set(ctx, "Content-Type", STATS_PROM_CONTENT_TYPE);
  if (!zint_http_response_option_set(ctx, ZINT_HTTP_CHUNKED)) zint_http_response_option_set(ctx, ZINT_HTTP_CLOSE);
  stats_recorder_output_prometheus(stats_rec, &metrics_prom_options, stats_http_outf, ctx);
  zint_http_response_end(ctx);
  return 0;
}

void metrics_init(void) { zint_http_rest_register("GET", "/", "^metrics$", metrics_handler); }
