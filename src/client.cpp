/* Client records: the subscriber side of a stream. Frames and error frames reach a session only
 * through these functions, which queue them on the session without ever waiting on the network. */
#include "client.h"
#include "zint/zint_logsafe.h"

#include "vorn_stats.h"
#include "zint/zint_json.h"

#include <cstdlib>
#include <cstring>

stats_handle_t *client_err_counter;

vorn_client_t *vorn_client_new(zint_http_session_ctx *ctx, const char **names, size_t names_cnt,
                               stats_handle_t *watches) {
  vorn_client_t *client = (vorn_client_t *) calloc(1, sizeof(*client));
  if (!client) zint_fatal("[FATAL] vorn_client_new: vorn_client_t calloc failed\n");
  zint_http_session_ref_inc(ctx);
  client->ctx = ctx;
  zint_hash_init_size(&client->metric_names, (int) names_cnt);
  if (names && names_cnt > 0) {
    for (size_t i = 0; i < names_cnt; i++) {
      size_t len = strlen(names[i]);
      char *copy = strdup(names[i]);
      ZINT_ASSERT(copy);
      /* a name given twice is held once: the second store fails and its copy goes */
      if (!zint_hash_store(&client->metric_names, copy, (int) len, nullptr)) free(copy);
    }
  }
  client->watches = watches;
  return client;
}

vorn_client_t *vorn_client_new_thin(zint_http_session_ctx *ctx) {
  vorn_client_t *client = (vorn_client_t *) calloc(1, sizeof(*client));
  ZINT_ASSERT(client);
  client->ctx = ctx;
  client->thin = true;
  return client;
}

void vorn_client_set_active(vorn_client_t *client) {
  if (client->watches && !client->active) {
    stats_add64(client->watches, 1);
    client->active = true;
  }
}

zint_boolean vorn_client_compare(void *a, void *b) {
  if (!a || !b) return false;
  if (a == b) return true;
  return ((const vorn_client_t *) a)->ctx == ((const vorn_client_t *) b)->ctx;
}

zint_boolean vorn_client_is_wildcard(vorn_client_t *client) {
  return zint_hash_size(&client->metric_names) == 0;
}

zint_boolean vorn_client_has_name(vorn_client_t *client, const char *name, int name_len) {
  if (vorn_client_is_wildcard(client)) return true;
  void *unused;
  if (zint_hash_retrieve(&client->metric_names, name, name_len, &unused)) return true;
  if (zint_log_stream_enabled(zint_debug))
    zint_log(zint_debug, "This client %p is not interested in %s\n", (void *) client,
             ZINT_LOG_TEXTN(name, name_len > 0 ? (size_t) name_len : 0));
  return false;
}

void vorn_client_merge_names(vorn_client_t *client, zint_hash_table *filter) {
  zint_hash_iter iter = ZINT_HASH_ITER_ZERO;
  const char *name;
  int name_len;
  void *unused;
  while (zint_hash_adv(&client->metric_names, &iter, &name, &name_len, &unused)) {
    if (zint_hash_retrieve(filter, name, name_len, &unused)) continue;
    char *copy = (char *) malloc((size_t) name_len + 1);
    ZINT_ASSERT(copy);
    memcpy(copy, name, (size_t) name_len);
    copy[name_len] = '\0';
    if (!zint_hash_store(filter, copy, name_len, nullptr))
      zint_fatal("[FATAL] vorn_client_merge_names failed because filter hash could not grow\n");
  }
}

zint_boolean vorn_client_write(vorn_client_t *client, const void *buf, size_t len) {
  return zint_http_websocket_queue_msg(client->ctx, 1, (const unsigned char *) buf, len);
}

void vorn_client_error(vorn_client_t *client, const char *err, size_t err_len, const char *uuid,
                       int period, request_type type) {
  zint_json_object *obj = zint_json_object_new_object();
  zint_json_object_object_add(obj, "error", zint_json_object_new_string_bytes(err, err_len));
  if (uuid) zint_json_object_object_add(obj, "id", zint_json_object_new_string_len(uuid, 37));
  if (period != 0) zint_json_object_object_add(obj, "period", zint_json_object_new_int(period));
  const char *kind = type == neither_request ? "neither" : type == watch_request ? "watch" : "unwatch";
  zint_json_object_object_add(obj, "type", zint_json_object_new_string(kind));
  const char *text = zint_json_object_to_json_string(obj);
  vorn_client_write(client, text, strlen(text));
  zint_json_object_put(obj);
}

void vorn_client_free(void *vclient) {
  vorn_client_t *client = (vorn_client_t *) vclient;
  if (!client) return;
  if (!client->thin) {
    zint_http_ctx_session_release(client->ctx);
    zint_hash_destroy(&client->metric_names, free, nullptr);
    if (client->watches && client->active) stats_add64(client->watches, -1);
  }
  free(client);
}

void client_init(void) {
  client_err_counter =
      stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "client", STATS_TYPE_COUNTER);
}
