/* The websocket watch protocol and the statistics endpoint. A session's handler calls and its
 * closure free never overlap (the framework runs them on the session's strand), so the session
 * closure and its watch list need no lock; the subscriptions lock the streams themselves. */
#include "api.h"

#include "auth.h"
#include "client.h"
#include "health.h"
#include "broker.h"
#include "vorn_limits.h"
#include "metrics.h"
#include "vorn_stats.h"
#include "util.h"
#include "ingest.h"
#include "web_static.h"
#include "zint/zint_logsafe.h"
#include "zint/zint_time.h"

#include <cstdlib>
#include <cstring>

stats_handle_t *api_err_counter;
stats_handle_t *pask_watches;
stats_handle_t *harl_watches;
stats_handle_t *requests;
stats_handle_t *uptime_s;

static const char heartbeat_str[] = "{\"type\":\"heartbeat\"}";

zint_boolean watch_equality_fn(void *a, void *b) {
  const watch_t *x = (const watch_t *) a, *y = (const watch_t *) b;
  if (!x || !y) return false;
  return x->period == y->period && strncmp(x->uuid, y->uuid, 37) == 0;
}

void watch_free_fn(void *entry) {
  watch_t *w = (watch_t *) entry;
  if (!w) return;
  free((void *) w->uuid);
  free(w);
}

/* Member of an object, or null when absent or JSON null. */
static zint_json_object *member(zint_json_object *obj, const char *name) {
  return zint_json_object_object_get(obj, name);
}

const char *get_uuid(zint_json_object *entry) { return zint_json_object_get_string(member(entry, "id")); }

int get_period(zint_json_object *entry) {
  zint_json_object *p = member(entry, "period");
  return p ? zint_json_object_get_int(p) : 0;
}

const char **get_names(zint_json_object *entry, size_t *cnt) {
  *cnt = 0;
  zint_json_object *metrics = member(entry, "metrics");
  size_t n = zint_json_object_array_length(metrics);
  if (n == 0) return nullptr;
  const char **names = (const char **) calloc(n, sizeof(char *));
  ZINT_ASSERT(names);
  for (size_t i = 0; i < n; i++) names[i] = zint_json_object_get_string(zint_json_object_array_get_idx(metrics, i));
  *cnt = n;
  return names;
}

/* Sends one error frame through a thin record of the session. */
static void send_error(zint_http_rest_closure_t *restc, const char *text, request_type type) {
  vorn_client_t *thin = vorn_client_new_thin(restc->http_ctx);
  vorn_client_error(thin, text, strlen(text), nullptr, 0, type);
  vorn_client_free(thin);
}

/* Refuses an entry with "<what>[: <why>] (<entry's JSON text>)"; counted, not logged. */
static void refuse_entry(zint_http_rest_closure_t *restc, zint_json_object *entry, const char *what,
                         const char *why, request_type type, const char *fatal_text) {
  report_error(api_err_counter);
  int len;
  char *text;
  vorn_asprintf(len, text, "%s%s%s (%s)", what, why ? ": " : "", why ? why : "",
                zint_json_object_to_json_string(entry));
  if (!text) zint_fatal("%s", fatal_text);
  send_error(restc, text, type);
  free(text);
}

/* Shapes the protocol has no use for are refused per entry, with a frame that says what is wrong.
 * Returns the message, or null when the entry has a usable shape. */
static const char *entry_shape_error(zint_json_object *entry, zint_boolean is_watch) {
  if (!zint_json_object_is_type(entry, zint_json_type_object)) return "entry is not an object";
  zint_json_object *id = member(entry, "id");
  /* An id with a NUL inside ("\u0000" in the JSON text) is no id text: read as a C string it would
   * watch the stream named by its first part. */
  if (id && (!zint_json_object_is_type(id, zint_json_type_string) ||
             memchr(zint_json_object_get_string(id), '\0', zint_json_object_get_string_len(id))))
    return "'id' is not a string";
  if (!is_watch) return nullptr;
  zint_json_object *metrics = member(entry, "metrics");
  if (!metrics) return nullptr;
  if (!zint_json_object_is_type(metrics, zint_json_type_array)) return "'metrics' is not an array of strings";
  size_t n = zint_json_object_array_length(metrics);
  for (size_t i = 0; i < n; i++)
    if (!zint_json_object_is_type(zint_json_object_array_get_idx(metrics, i), zint_json_type_string))
      return "'metrics' is not an array of strings";
  return nullptr;
}

/* Whether the watch list already holds an entry equal to (uuid, period). */
static zint_boolean watch_listed(vorn_arr_t *watches, const char *uuid, int period) {
  watch_t key = {uuid, period};
  size_t n;
  void **entries = vorn_arr_get_elements(watches, &n);
  for (size_t i = 0; i < n; i++)
    if (watch_equality_fn(entries[i], &key)) return true;
  return false;
}

void watch_json(zint_http_rest_closure_t *restc, zint_json_object *entry) {
  zint_http_session_ctx *ctx = restc->http_ctx;
  api_call_closure_t *closure = (api_call_closure_t *) restc->call_closure;
  if (const char *shape = entry_shape_error(entry, true)) {
    refuse_entry(restc, entry, "invalid watch request", shape, watch_request,
                 "[FATAL] watch_json: vorn_asprintf failed\n");
    return;
  }
  const char *uuid = get_uuid(entry);
  if (!uuid) {
    refuse_entry(restc, entry, "no uuid found in watch request", nullptr, watch_request,
                 "[FATAL] watch_json: vorn_asprintf failed\n");
    return;
  }
  int period = get_period(entry);
  /* Outside the session's grant nothing is subscribed, looked up or connected. */
  if (!auth_watch_permitted(restc, uuid)) {
    static const char forbidden[] = "watch not permitted for this check";
    report_error(forbidden_err_counter);
    vorn_client_t *thin = vorn_client_new_thin(ctx);
    vorn_client_error(thin, forbidden, sizeof forbidden - 1, uuid, period, watch_request);
    vorn_client_free(thin);
    return;
  }
  /* The bound counts the streams the session holds. A watch of one it already lists (a new
   * filter) is always taken and adds no entry; a full list refuses the others. */
  zint_boolean listed = watch_listed(closure->watches, uuid, period);
  if (!listed && limits_max_watches && vorn_arr_size(closure->watches) >= limits_max_watches) {
    report_error(watch_limit_err_counter);
    int len;
    char *text;
    vorn_asprintf(len, text, "watch limit reached: a session may hold %zu watches", limits_max_watches);
    if (!text) zint_fatal("[FATAL] watch_json: vorn_asprintf failed\n");
    vorn_client_t *thin = vorn_client_new_thin(ctx);
    vorn_client_error(thin, text, (size_t) len, uuid, period, watch_request);
    vorn_client_free(thin);
    free(text);
    return;
  }
  size_t names_cnt;
  const char **names = get_names(entry, &names_cnt);
  if (period != 0) harl_subscribe_client(vorn_client_new(ctx, names, names_cnt, harl_watches), uuid, period);
  zint_boolean on_bus = pask_subscribe_client(vorn_client_new(ctx, names, names_cnt, pask_watches), uuid);
  free(names);
  if (listed) return;
  /* Listed while one of its subscriptions may stand. The bus refuses only ids that are not 36
   * characters long (the broker side refuses those too) or a stream that vanished meanwhile; a
   * broker subscription is never known to have failed here, so a watch with a period stays. */
  if (!on_bus && (period == 0 || strnlen(uuid, UUID_PRINTABLE_STRING_LENGTH) != UUID_PRINTABLE_STRING_LENGTH - 1))
    return;
  watch_t *w = (watch_t *) calloc(1, sizeof(watch_t));
  ZINT_ASSERT(w);
  w->uuid = strdup(uuid);
  ZINT_ASSERT(w->uuid);
  w->period = period;
  vorn_arr_add(closure->watches, w);
}

void unwatch_json(zint_http_rest_closure_t *restc, zint_json_object *entry) {
  if (const char *shape = entry_shape_error(entry, false)) {
    refuse_entry(restc, entry, "invalid unwatch request", shape, unwatch_request,
                 "[FATAL] unwatch_json: asprintf failed\n");
    return;
  }
  const char *uuid = get_uuid(entry);
  if (!uuid) {
    refuse_entry(restc, entry, "no uuid found in unwatch request", nullptr, unwatch_request,
                 "[FATAL] unwatch_json: asprintf failed\n");
    return;
  }
  int period = get_period(entry);
  vorn_client_t *thin = vorn_client_new_thin(restc->http_ctx);
  if (period != 0) harl_unsubscribe_client(thin, uuid, period);
  pask_unsubscribe_client(thin, uuid);
  api_call_closure_t *closure = (api_call_closure_t *) restc->call_closure;
  watch_t key = {uuid, period};
  watch_free_fn(vorn_arr_remove(closure->watches, &key));
  vorn_client_free(thin);
}

void api_call_closure_free(void *vclosure) {
  api_call_closure_t *closure = (api_call_closure_t *) vclosure;
  size_t n;
  void **entries = vorn_arr_get_elements(closure->watches, &n);
  vorn_client_t *thin = vorn_client_new_thin(closure->restc->http_ctx);
  for (size_t i = 0; i < n; i++) {
    watch_t *w = (watch_t *) entries[i];
    if (!w) continue;
    if (w->period != 0) harl_unsubscribe_client(thin, w->uuid, w->period);
    pask_unsubscribe_client(thin, w->uuid);
  }
  vorn_client_free(thin);
  vorn_arr_free(closure->watches);
  free(closure);
}

/* Runs each element of an array member (null: absent) through fn. */
static void for_each_entry(zint_http_rest_closure_t *restc, zint_json_object *list,
                           void (*fn)(zint_http_rest_closure_t *, zint_json_object *)) {
  for (size_t i = 0; i < zint_json_object_array_length(list); i++)
    fn(restc, zint_json_object_array_get_idx(list, i));
}

static zint_boolean absent_or_array(zint_json_object *list) {
  return !list || zint_json_object_is_type(list, zint_json_type_array);
}

int websocket_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t msg_len) {
  (void) opcode; /* text and binary frames are read alike */
  stats_add64(requests, 1);

  const char *error = nullptr;
  int fatal = 0;
  zint_json_object *request = nullptr;
  zint_json_tokener *tok = zint_json_tokener_new();
  /* A length that does not fit the tokener's int cannot be one request; the framework bounds
   * message sizes far below it. */
  if (msg_len <= (size_t) INT32_MAX) request = zint_json_tokener_parse_ex(tok, (const char *) msg, (int) msg_len);
  zint_boolean parsed = msg_len <= (size_t) INT32_MAX && tok->err == 0;
  zint_json_tokener_free(tok);

  if (!parsed) {
    error = "Unable to parse incoming json";
    fatal = 1;
  } else {
    if (!restc->call_closure) {
      api_call_closure_t *closure = (api_call_closure_t *) calloc(1, sizeof(api_call_closure_t));
      ZINT_ASSERT(closure);
      closure->restc = restc;
      closure->watches = vorn_arr_new(watch_equality_fn, watch_free_fn);
      restc->call_closure = closure;
      restc->call_closure_free = api_call_closure_free;
    }
    if (!zint_json_object_is_type(request, zint_json_type_object)) {
      error = "request is not a JSON object";
    } else {
      const char *type = zint_json_object_get_string(member(request, "type"));
      if (type && strncmp(type, "heartbeat", 9) == 0) {
        vorn_client_t *thin = vorn_client_new_thin(restc->http_ctx);
        vorn_client_write(thin, heartbeat_str, sizeof(heartbeat_str) - 1);
        vorn_client_free(thin);
        zint_json_object_put(request);
        return 0;
      }
      zint_json_object *watch = member(request, "watch");
      zint_json_object *unwatch = member(request, "unwatch");
      /* Both shapes are checked before anything is handled, so a refused message changes nothing. */
      if (!watch && !unwatch) {
        error = "neither 'watch' nor 'unwatch' found in request";
      } else if (!absent_or_array(unwatch)) {
        error = "'unwatch' is not an array";
      } else if (!absent_or_array(watch)) {
        error = "'watch' is not an array";
      } else {
        for_each_entry(restc, unwatch, unwatch_json);
        for_each_entry(restc, watch, watch_json);
      }
    }
  }
  if (!error) {
    zint_json_object_put(request);
    return 0;
  }
  zint_json_object_put(request);
  ZINT_LOG_LIMITED_KEY(zint_error, error, "%s\n", error); /* a client can repeat it at will */
  send_error(restc, error, neither_request);
  report_error(api_err_counter);
  return fatal;
}

ssize_t stats_http_outf(void *vctx, const char *buf, size_t len) {
  return zint_http_response_append((zint_http_session_ctx *) vctx, buf, len) ? (ssize_t) len : -1;
}

int stats_handler(zint_http_rest_closure_t *restc, int npats, char **pats) {
  (void) npats;
  (void) pats;
  if (!auth_stats_permitted(restc->http_ctx)) return 0;
  stats_add64(requests, 1);
  uint64_t up = (zint_get_nanos() - vorn_start_ns) / 1000000000ull;
  stats_set(uptime_s, STATS_TYPE_UINT64, &up);
  zint_http_session_ctx *ctx = restc->http_ctx;
  zint_http_response_status_set(ctx, 200, "OK");
  zint_http_response_header_set(ctx, "Content-Type", "application/json");
  if (!zint_http_response_option_set(ctx, ZINT_HTTP_CHUNKED)) zint_http_response_option_set(ctx, ZINT_HTTP_CLOSE);
  stats_recorder_output_json(stats_rec, true, true, stats_http_outf, ctx);
  zint_http_response_append(ctx, "\n", 1);
  zint_http_response_end(ctx);
  return 0;
}

void api_init(void) {
  api_err_counter = stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "api", STATS_TYPE_COUNTER);
  stats_ns_t *watches = stats_register_ns(stats_rec, stats_register_ns(stats_rec, nullptr, "websocket"), "watches");
  pask_watches = stats_register(watches, "check", STATS_TYPE_UINT64);
  harl_watches = stats_register(watches, "stream", STATS_TYPE_UINT64);
  stats_ns_t *root = stats_recorder_global_ns(stats_rec);
  requests = stats_register(root, "requests", STATS_TYPE_COUNTER);
  uptime_s = stats_register(root, "uptime_s", STATS_TYPE_UINT64);
  vorn_limits_init(); /* its counters, and the framework's refusals counted from now on */
  zint_http_rest_register("GET", "/", "^stats.json$", stats_handler);
  metrics_init(); /* GET /metrics */
  health_init();  /* GET /health */
  zint_http_rest_websocket_register("/", "^(.*)$", "vorn", websocket_handler);
  web_static_init();
}
