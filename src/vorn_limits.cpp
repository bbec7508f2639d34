/* vorn_limits: counting of the refusals the framework makes on the service's behalf (and of the
 * sessions it ends as too slow), and the bound of a session's watch list. The refusal hook runs on framework threads; report_error is safe there. */
#include "vorn_limits.h"

#include "vorn_stats.h"
#include "zint/zint_conf.h"
#include "zint/zint_http.h"

#include <cstdlib>

stats_handle_t *conn_limit_err_counter;
stats_handle_t *size_limit_err_counter;
stats_handle_t *watch_limit_err_counter;
stats_handle_t *origin_err_counter;
stats_handle_t *plaintext_err_counter;
stats_handle_t *slow_clients_counter;

size_t limits_max_watches = LIMITS_DEFAULT_MAX_WATCHES;

static void limits_refusal_hook(zint_http_refusal_t why) {
  switch (why) {
  case ZINT_HTTP_REFUSED_CONNECTIONS: report_error(conn_limit_err_counter); break;
  case ZINT_HTTP_REFUSED_MESSAGE_SIZE: report_error(size_limit_err_counter); break;
  case ZINT_HTTP_REFUSED_ORIGIN: report_error(origin_err_counter); break;
  case ZINT_HTTP_REFUSED_PLAINTEXT: report_error(plaintext_err_counter); break;
  case ZINT_HTTP_REFUSED_SLOW_CLIENT: stats_add64(slow_clients_counter, 1); break; /* not an error of ours */
  default: break;
  }
}

void vorn_limits_init(void) {
  if (conn_limit_err_counter) return;
  stats_ns_t *errors = stats_register_ns(stats_rec, nullptr, "errors");
  conn_limit_err_counter = stats_register(errors, "too_many_connections", STATS_TYPE_COUNTER);
  size_limit_err_counter = stats_register(errors, "message_too_big", STATS_TYPE_COUNTER);
  watch_limit_err_counter = stats_register(errors, "watch_limit", STATS_TYPE_COUNTER);
  origin_err_counter = stats_register(errors, "origin_refused", STATS_TYPE_COUNTER);
  plaintext_err_counter = stats_register(errors, "plaintext_refused", STATS_TYPE_COUNTER);
  slow_clients_counter =
      stats_register(stats_register_ns(stats_rec, nullptr, "websocket"), "slow_clients", STATS_TYPE_COUNTER);

  char *text = nullptr;
  if (zint_conf_get_string(ZINT_CONF_ROOT, "//vorn/api/@max_watches", &text) && text) {
    uint64_t v;
    if (zint_conf_parse_u64(text, UINT32_MAX, &v)) limits_max_watches = (size_t) v;
    else zint_log(zint_error, "limits: ignoring //vorn/api/@max_watches \"%s\", keeping %zu\n", text,
                  limits_max_watches);
  }
  free(text);
  zint_http_set_refusal_hook(limits_refusal_hook);
}
