/* broker: broker streams. One websocket per broker stream instance, bound to that
 * instance by its identity; the subscription request carries the stream's union filter; broker
 * samples become client data messages broadcast under the stream's write lock. */
#include "broker.h"
#include "zint/zint_logsafe.h"

#include "data_message.h"
#include "vorn_stats.h"
#include "stream_hash.h"
#include "util.h"
#include "wdb.h"

#include "zint/eventer.h"
#include "zint/zint_conf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

stats_handle_t *harl_err_counter = nullptr;
/* "agents"/"global": attempts, open connections, ended connections. Set once by harl_init. */
static stats_handle_t *connects = nullptr;
static stats_handle_t *connections = nullptr;
static stats_handle_t *closes = nullptr;
/* SSL settings handed to every broker connection; null or empty: plain websockets. Written by
 * harl_init only (start-up), read by subscribe callbacks. */
static zint_conf_hash_t *sslconfig = nullptr;

static const char *const NO_BROKER_ERR = "could not find broker for provided uuid";
static const char *const WS_FAILED_ERR = "websocket connection to broker failed";
static const char *const WATCH_FAILED_ERR = "broker watch request failed";
static const char *const TERMINATED_ERR = "connection to broker was terminated";

static const zint_websocket_client_callbacks harl_callbacks = {
    harl_websocket_client_ready_handler,
    harl_websocket_client_msg_handler,
    harl_websocket_client_cleanup_handler,
    harl_websocket_client_tick_handler,
};

/* ---------- records and keys ---------- */

char *concat_uuid_period(const char *uuid, int period, size_t *newlen) {
  int len = -1;
  char *buf = nullptr;
  vorn_asprintf(len, buf, "%s%d", uuid, period);
  if (buf == nullptr) zint_fatal("[FATAL] concat_uuid_period: vorn_asprintf failed alloc\n");
  *newlen = static_cast<size_t>(len);
  return buf;
}

void harl_key_free(harl_key_t *nk) {
  if (!nk) return;
  free(const_cast<char *>(nk->uuid));
  free(const_cast<char *>(nk->key));
  nk->~harl_key_t();
  free(nk);
}

zint_boolean harl_valid_uuid(const char *uuid) {
  if (!uuid) return false;
  for (int i = 0; i < 36; i++) {
    char c = uuid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
      return false; /* also stops at an early NUL */
    }
  }
  return uuid[36] == '\0';
}

/* ---------- subscribe / unsubscribe ---------- */

static zint_boolean harl_fail_stream(stream_closure_t *sc, harl_key_t *nk, const char *err);

static void harl_refuse_client(vorn_client_t *client, const char *uuid, int period) {
  vorn_client_error(client, WATCH_FAILED_ERR, strlen(WATCH_FAILED_ERR), uuid, period, watch_request);
  vorn_client_free(client);
  report_error(harl_err_counter);
}

void harl_subscribe_client(vorn_client_t *client, const char *uuid, int period) {
  /* Keys are "%s%d": an id of another shape could spell another stream's key, and a negative
   * period would reach the broker as a huge unsigned number. */
  if (!harl_valid_uuid(uuid) || period <= 0) {
    ZINT_LOG_LIMITED(zint_error, "harl_subscribe_client: refusing watch of '%s' with period %d\n",
                     ZINT_LOG_TEXT(uuid), period);
    harl_refuse_client(client, uuid, period);
    return;
  }
  size_t klen = 0;
  char *key = concat_uuid_period(uuid, period, &klen);

  void *mem = calloc(1, sizeof(harl_key_t));
  if (!mem) zint_fatal("[FATAL] harl_subscribe_client: harl_key_t calloc failed");
  harl_key_t *nk = new (mem) harl_key_t();
  nk->period = period;
  nk->uuid = strdup(uuid);
  nk->key = strdup(key);
  ZINT_ASSERT(nk->uuid && nk->key);
  nk->klen = klen;
  nk->dirty.store(false);

  if (!stream_hash_add_client(key, klen, client, harl_subscribe_callback, nk)) {
    harl_key_free(nk);
    zint_log(zint_error, "harl_subscribe_client: %s\n", "stream_hash_add_client failed");
    harl_refuse_client(client, uuid, period);
  }
}

void harl_unsubscribe_client(vorn_client_t *client, const char *uuid, int period) {
  /* Such a watch was never admitted; its key could only name somebody else's stream. */
  if (!harl_valid_uuid(uuid) || period <= 0) return;
  size_t klen = 0;
  char *key = concat_uuid_period(uuid, period, &klen);
  stream_hash_remove_client(key, klen, client, harl_unsubscribe_callback, nullptr);
  free(key);
}

zint_boolean harl_subscribe_callback(stream_closure_t *sc, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  harl_key_t *existing = static_cast<harl_key_t *>(stream_closure_get_closure(sc));
  if (existing) {
    harl_key_free(nk);
    existing->dirty.store(true);
    return true;
  }
  stream_closure_get_id(sc, nk->sc_id);
  stream_closure_set_closure(sc, nk);
  /* The lookup runs on wdb's threads; the record belongs to it until harl_lookup_done. */
  if (wdb_lookup_harl(nk->uuid, harl_lookup_done, nk)) return true;
  ZINT_LOG_LIMITED(zint_error, "harl_subscribe_callback: too many broker lookups waiting, refusing %s\n",
                   ZINT_LOG_TEXT(nk->uuid));
  harl_fail_stream(sc, nk, WATCH_FAILED_ERR);
  harl_key_free(nk);
  return false;
}

/* Ends a stream whose connection could not start: every client gets err, and the false result has
 * the registry delete the stream. The caller releases the record once the registry is done with
 * the stream (its key may be the record's). Under the stream's write lock. */
static zint_boolean harl_fail_stream(stream_closure_t *sc, harl_key_t *nk, const char *err) {
  /* Counted first: a client that has read the frame finds the error in the statistics. */
  report_error(harl_err_counter);
  stream_closure_broadcast_error(sc, err, strlen(err), nk->uuid, nk->period);
  /* Nothing may reach the record through the stream once it is released. */
  stream_closure_set_closure(sc, nullptr);
  return false;
}

/* The answer of a lookup, carried into the registry; taken: the record went to a connection. */
struct harl_lookup_t {
  harl_key_t *nk;
  const char *host;
  int port;
  bool taken;
};

zint_boolean harl_lookup_callback(stream_closure_t *sc, void *v_lookup) {
  harl_lookup_t *l = static_cast<harl_lookup_t *>(v_lookup);
  harl_key_t *nk = l->nk;
  /* The stream that queued this lookup holds its record until the answer comes. */
  if (stream_closure_get_closure(sc) != nk) return true;
  if (!l->host || !*l->host) {
    ZINT_LOG_LIMITED(zint_error, "Didn't find a harl for uuid %s, aborting harl_subscribe_callback\n",
                     ZINT_LOG_TEXT(nk->uuid));
    return harl_fail_stream(sc, nk, NO_BROKER_ERR);
  }
  stats_add64(connects, 1);
  if (zint_websocket_client_new_noref(l->host, l->port, "/livestream/", "harl_livestream", &harl_callbacks,
                                      nk, eventer_pool("default"), sslconfig)) {
    stats_add64(connections, 1);
    l->taken = true;
    return true;
  }
  ZINT_LOG_LIMITED(zint_error, "websocket connection to %s:%d failed\n", ZINT_LOG_TEXT(l->host), l->port);
  return harl_fail_stream(sc, nk, WS_FAILED_ERR);
}

void harl_lookup_done(const char *host, int port, void *v_nk) {
  harl_lookup_t l = {static_cast<harl_key_t *>(v_nk), host, port, false};
  /* A stream that was deleted meanwhile (its last watcher left, or it was replaced) gets nothing
   * and no connection is opened. The registry uses the record's key until it returns. */
  (void) stream_hash_get_stream_closure(l.nk->key, l.nk->klen, l.nk->sc_id, harl_lookup_callback, nullptr, &l);
  if (!l.taken) harl_key_free(l.nk);
}

zint_boolean harl_unsubscribe_callback(stream_closure_t *sc, void *) {
  harl_key_t *nk = static_cast<harl_key_t *>(stream_closure_get_closure(sc));
  if (nk) nk->dirty.store(true);
  return true;
}

/* ---------- the connection ---------- */

zint_boolean harl_ready_callback(stream_closure_t *sc, void *v_websocket_client) {
  zint_websocket_client_t *wc = static_cast<zint_websocket_client_t *>(v_websocket_client);
  harl_key_t *nk = static_cast<harl_key_t *>(zint_websocket_client_get_closure(wc));

  zint_json_object *req = zint_json_object_new_object();
  zint_json_object_object_add(req, "check_uuid", zint_json_object_new_string(nk->uuid));
  zint_json_object *period = zint_json_object_new_int64(static_cast<int64_t>(nk->period));
  zint_json_object_set_int_overflow(period, zint_json_overflow_uint64);
  zint_json_object_object_add(req, "period_ms", period);

  int cnt = 0;
  char **names = stream_closure_get_filter(sc, &cnt);
  if (cnt == -1) {
    zint_json_object_put(req);
    return false;
  }
  if (cnt > 0) {
    zint_json_object *arr = zint_json_object_new_array();
    for (int i = 0; i < cnt; i++) {
      zint_json_object_array_add(arr, zint_json_object_new_string(names[i]));
      free(names[i]);
    }
    zint_json_object_object_add(req, "metrics", arr);
  }
  free(names);

  size_t len = 0;
  const char *text = zint_json_object_to_json_string_len(req, &len);
  (void) zint_websocket_client_send(wc, 1, text, len);
  zint_json_object_put(req);
  nk->dirty.store(false);
  return true;
}

zint_boolean harl_websocket_client_ready_handler(zint_websocket_client_t *websocket_client, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  return stream_hash_get_stream_closure(nk->key, nk->klen, nk->sc_id, harl_ready_callback, nullptr,
                                        websocket_client);
}

zint_boolean harl_heartbeat_callback(stream_closure_t *sc, void *) {
  return !stream_closure_is_deleted(sc);
}

zint_boolean harl_websocket_client_tick_handler(zint_websocket_client_t *websocket_client, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  if (!stream_hash_get_stream_closure(nk->key, nk->klen, nk->sc_id, harl_heartbeat_callback, nullptr,
                                      nullptr))
    return false;
  /* A watcher that joined or left changes the request: a broker that sends nothing more gets it too. */
  return !nk->dirty.load() || harl_websocket_client_ready_handler(websocket_client, nk);
}

zint_boolean harl_websocket_client_msg_handler(zint_websocket_client_t *websocket_client, int,
                                               const unsigned char *msg, size_t msg_len, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  zint_boolean result = true;
  /* Larger frames than an int can count are ended by the client's size limit long before. */
  if (msg_len > static_cast<size_t>(INT32_MAX)) return true;

  zint_json_tokener *tok = zint_json_tokener_new();
  zint_json_object *json =
      zint_json_tokener_parse_ex(tok, reinterpret_cast<const char *>(msg), static_cast<int>(msg_len));
  zint_json_tokener_error err = tok->err;
  zint_json_tokener_free(tok);
  if (err != zint_json_tokener_success) return true;

  const char *type = zint_json_object_get_string(zint_json_object_object_get(json, "type"));
  if (!type) {
    ZINT_LOG_LIMITED(zint_error, "message from harl was missing a type\n");
    zint_json_object_put(json);
    return true;
  }
  if (type[0] == 'M' || type[0] == 'H') {
    result = stream_hash_get_stream_closure(nk->key, nk->klen, nk->sc_id, harl_msg_callback, nullptr, json);
  } else if (strncmp(type, "heartbeat", 9) == 0) {
    result = stream_hash_get_stream_closure(nk->key, nk->klen, nk->sc_id, harl_heartbeat_callback,
                                            nullptr, json);
  }
  zint_json_object_put(json);

  if (result && nk->dirty.load()) result = harl_websocket_client_ready_handler(websocket_client, nk);
  return result;
}

zint_boolean harl_cleanup_callback(stream_closure_t *sc, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  stream_closure_broadcast_error(sc, TERMINATED_ERR, strlen(TERMINATED_ERR), nk->uuid, nk->period);
  stream_closure_set_closure(sc, nullptr);
  return false;
}

void harl_websocket_client_cleanup_handler(zint_websocket_client_t *, void *v_nk) {
  harl_key_t *nk = static_cast<harl_key_t *>(v_nk);
  (void) stream_hash_get_stream_closure(nk->key, nk->klen, nk->sc_id, harl_cleanup_callback, nullptr, nk);
  harl_key_free(nk);
  /* closes first: a reader that sees connections drop also sees the close counted */
  stats_add64(closes, 1);
  stats_add64(connections, -1);
}

/* ---------- translation ---------- */

static zint_boolean harl_reserved_name(std::string_view name) {
  static const std::string_view reserved[] = {"type", "timestamp_ms", "check_uuid", "value_type",
                                              "stream_tags"};
  for (std::string_view r : reserved)
    if (name.substr(0, r.size()) == r) return true;
  return false;
}

/* Two buckets may print to the same name (they differ beyond six decimals); integer counts then
 * add up instead of the later one hiding the earlier. Anything else keeps the later value. */
static zint_json_object *harl_merge_counts(zint_json_object *old_count, zint_json_object *count) {
  if (!zint_json_object_is_type(old_count, zint_json_type_int) ||
      !zint_json_object_is_type(count, zint_json_type_int))
    return zint_json_object_get(count);
  auto wide = [](zint_json_object *o) -> __int128 {
    if (zint_json_object_get_int_overflow(o) == zint_json_overflow_uint64)
      return static_cast<__int128>(zint_json_object_get_uint64(o));
    return static_cast<__int128>(zint_json_object_get_int64(o));
  };
  __int128 sum = wide(old_count) + wide(count);
  if (sum > static_cast<__int128>(UINT64_MAX)) sum = static_cast<__int128>(UINT64_MAX);
  if (sum < static_cast<__int128>(INT64_MIN)) sum = static_cast<__int128>(INT64_MIN);
  if (sum > static_cast<__int128>(INT64_MAX))
    return zint_json_object_new_uint64(static_cast<uint64_t>(sum));
  return zint_json_object_new_int64(static_cast<int64_t>(sum));
}

static zint_json_object *harl_translate_histogram(zint_json_object *val) {
  if (!zint_json_object_is_type(val, zint_json_type_array)) return nullptr;
  zint_json_object *hist = zint_json_object_new_object();
  size_t n = zint_json_object_array_length(val);
  for (size_t i = 0; i < n; i++) {
    zint_json_object *el = zint_json_object_array_get_idx(val, i);
    zint_json_object *bucket = nullptr;
    zint_json_object *count = nullptr;
    if (!zint_json_object_is_type(el, zint_json_type_object) ||
        !zint_json_object_object_get_ex(el, "bucket", &bucket) ||
        !(zint_json_object_is_type(bucket, zint_json_type_double) ||
          zint_json_object_is_type(bucket, zint_json_type_int)) ||
        !zint_json_object_object_get_ex(el, "count", &count)) {
      zint_json_object_put(hist);
      return nullptr;
    }
    char text[DATA_MESSAGE_BUCKET_NAME_MAX];
    const char *name = data_message_bucket_name(zint_json_object_get_double(bucket), text);
    zint_json_object *old_count = nullptr;
    zint_json_object *put = zint_json_object_object_get_ex(hist, name, &old_count)
                                ? harl_merge_counts(old_count, count)
                                : zint_json_object_get(count);
    zint_json_object_object_add(hist, name, put);
  }
  return hist;
}

static zint_json_object *harl_translate_json_len(zint_json_object *in, const char *key, size_t klen,
                                                 zint_json_object *val) {
  zint_json_object *id = zint_json_object_object_get(in, "check_uuid");
  if (!zint_json_object_is_type(id, zint_json_type_string) || zint_json_object_get_string_len(id) == 0)
    return nullptr;
  zint_json_object *ts = zint_json_object_object_get(in, "timestamp_ms");
  if (!(zint_json_object_is_type(ts, zint_json_type_int) || zint_json_object_is_type(ts, zint_json_type_double)) ||
      zint_json_object_get_double(ts) < 0)
    return nullptr;
  const char *type = zint_json_object_get_string(zint_json_object_object_get(in, "type"));
  zint_boolean plain = type && type[0] == 'M';

  zint_json_object *hist = nullptr;
  if (!plain && !(hist = harl_translate_histogram(val))) return nullptr;

  zint_json_object *out = zint_json_object_new_object();
  zint_json_object *check = zint_json_object_new_object();
  zint_json_object_object_add(out, "check", check);
  zint_json_object_object_add(check, "id", zint_json_object_new_string_bytes(
                                               zint_json_object_get_string(id),
                                               zint_json_object_get_string_len(id)));
  zint_json_object_object_add(check, "metric_name", zint_json_object_new_string_bytes(key, klen));
  double time = static_cast<double>(zint_json_object_get_uint64(ts)) / 1000.0;
  zint_json_object_object_add(check, "time", zint_json_object_new_double(time));
  if (plain) {
    zint_json_object_object_add(check, "type", zint_json_object_new_string("M"));
    zint_json_object_object_add(check, "value", zint_json_object_get(val));
  } else {
    zint_json_object_object_add(check, "type", zint_json_object_new_string("H1"));
    zint_json_object_object_add(check, "histogram", hist);
  }
  return out;
}

zint_json_object *harl_translate_json(zint_json_object *in, const char *key, zint_json_object *val) {
  return harl_translate_json_len(in, key, strlen(key), val);
}

zint_boolean harl_msg_callback(stream_closure_t *sc, void *v_json) {
  zint_json_object *msg = static_cast<zint_json_object *>(v_json);
  if (stream_closure_is_deleted(sc)) return false;
  for (zint_json_entry *e = zint_json_object_get_object_head(msg); e; e = zint_json_entry_next(e)) {
    std::string_view name(zint_json_entry_key(e), zint_json_entry_key_len(e));
    if (harl_reserved_name(name)) continue;
    zint_json_object *out = harl_translate_json_len(msg, name.data(), name.size(), zint_json_entry_value(e));
    if (!out) return true; /* unusable sample: dropped, the connection stays */
    size_t len = 0;
    const char *text = zint_json_object_to_json_string_len(out, &len);
    stream_closure_broadcast(sc, text, len, name.data(), name.size());
    zint_json_object_put(out);
    return !stream_closure_is_empty(sc);
  }
  return true;
}

/* ---------- start-up ---------- */

void harl_init(void) {
  /* The handles are set once: connection threads read them without a lock, so a second call (a
   * reconfiguration) must not write them again. */
  static std::once_flag stats_once;
  std::call_once(stats_once, [] {
    stats_ns_t *errors = stats_register_ns(stats_rec, nullptr, "errors");
    harl_err_counter = stats_register(errors, "broker", STATS_TYPE_COUNTER);
    stats_ns_t *global =
        stats_register_ns(stats_rec, stats_register_ns(stats_rec, nullptr, "agents"), "global");
    connects = stats_register(global, "connects", STATS_TYPE_COUNTER);
    connections = stats_register(global, "connections", STATS_TYPE_UINT64);
    closes = stats_register(global, "closes", STATS_TYPE_COUNTER);
  });

  delete sslconfig;
  sslconfig = zint_conf_get_hash(ZINT_CONF_ROOT, "//harls/sslconfig");
  if (!sslconfig || sslconfig->empty())
    zint_log(zint_error, "No sslconfig stanza found, connections to brokers will not use SSL\n");
}
