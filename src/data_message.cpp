/* data_message: the client data message of a decoded bus line ("check": id, metric_name, time, type,
 * and value or histogram), built once per line and broadcast to every client of the line's stream;
 * and the histogram bucket names that the broker path shares. */
#include "data_message.h"

#include "ingest.h"
#include "vorn_stats.h"

#include "hist/hist.h"
#include "zint/zint_log.h"
#include "zint/zint_time.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* ---- building ---- */

/* to_chars prints a finite double exactly as "%f" does (both round the exact binary value, ties to
 * even) at a fraction of printf's cost, which a histogram pays once per bucket and sample. */
const char *data_message_bucket_name(double bucket, char (&name)[DATA_MESSAGE_BUCKET_NAME_MAX]) {
  if (std::isfinite(bucket)) {
    std::to_chars_result r = std::to_chars(name, name + sizeof name - 1, bucket, std::chars_format::fixed, 6);
    ZINT_ASSERT(r.ec == std::errc());
    *r.ptr = '\0';
  } else {
    snprintf(name, sizeof name, "%f", bucket);
  }
  return name;
}

static zint_json_object *pask_value_json(const harl_metric_value_t *v) {
  if (v->is_null) return nullptr;
  switch (v->type) {
  case METRIC_INT32:
  case METRIC_GUESS: return zint_json_object_new_int(v->value.v_int32);
  case METRIC_UINT32: return zint_json_object_new_uint64(v->value.v_uint32);
  case METRIC_INT64: return zint_json_object_new_int64(v->value.v_int64);
  case METRIC_UINT64: return zint_json_object_new_uint64(v->value.v_uint64);
  case METRIC_DOUBLE: return zint_json_object_new_double(v->value.v_double);
  case METRIC_STRING: return zint_json_object_new_string(v->value.v_string);
  default: return nullptr;
  }
}

/* A histogram that does not decode: its line never becomes a frame. An error of the ingest
 * ("errors"/"pask") as well as a bad line of the bus, logged once. */
static zint_json_object *pask_json_failed(const harl_metric_message_t *message, histogram_t *h,
                                          zint_json_object *outer) {
  hist_free(h);
  zint_json_object_put(outer);
  report_error(pask_err_counter);
  pask_bad_line("histogram does not decode", message->original_message, message->original_message_len);
  return nullptr;
}

zint_json_object *message_to_json(const harl_metric_message_t *message) {
  zint_json_object *outer = zint_json_object_new_object();
  zint_json_object *check = zint_json_object_new_object();
  zint_json_object_object_add(outer, "check", check);

  char id[UUID_PRINTABLE_STRING_LENGTH] = {0};
  zint_uuid_unparse_lower(message->id.id, id);
  zint_json_object_object_add(check, "id", zint_json_object_new_string(id));
  size_t name_len = message->id.name && message->id.name_len_with_tags > 0 ? (size_t) message->id.name_len_with_tags : 0;
  zint_json_object_object_add(check, "metric_name",
                              zint_json_object_new_string_bytes(name_len ? message->id.name : "", name_len));
  zint_json_object_object_add(check, "time", zint_json_object_new_double((double) message->value.whence_ms / 1000.0));

  if (message->type == MESSAGE_TYPE_M) {
    zint_json_object_object_add(check, "type", zint_json_object_new_string("M"));
    zint_json_object_object_add(check, "value", pask_value_json(&message->value));
    return outer;
  }
  if (message->type != MESSAGE_TYPE_H) return outer;

  zint_json_object_object_add(check, "type", zint_json_object_new_string("H1"));
  histogram_t *h = hist_alloc();
  ZINT_ASSERT(h);
  const char *b64 = message->value.value.v_string;
  if (!b64 || hist_deserialize_b64(h, b64, strlen(b64)) <= 0)
    return pask_json_failed(message, h, outer);

  zint_json_object *histogram = zint_json_object_new_object();
  zint_json_object_object_add(check, "histogram", histogram);
  int buckets = hist_bucket_count(h);
  for (int i = 0; i < buckets; i++) {
    double bucket = 0;
    uint64_t count = 0;
    if (!hist_bucket_idx(h, i, &bucket, &count)) continue;
    char text[DATA_MESSAGE_BUCKET_NAME_MAX];
    const char *name = data_message_bucket_name(bucket, text);
    /* Buckets closer to zero than "%f" can show print to one name; their counts add up rather
     * than the later bucket hiding the earlier. */
    zint_json_object *seen = nullptr;
    if (zint_json_object_object_get_ex(histogram, name, &seen) && seen) {
      uint64_t sum = zint_json_object_get_uint64(seen);
      zint_json_object_set_uint64(seen, sum > UINT64_MAX - count ? UINT64_MAX : sum + count);
    } else {
      zint_json_object *n = zint_json_object_new_int(0);
      zint_json_object_set_int_overflow(n, zint_json_overflow_uint64);
      zint_json_object_set_uint64(n, count);
      zint_json_object_object_add(histogram, name, n);
    }
  }
  hist_free(h);
  return outer;
}

/* ---- broadcasting ---- */

/* Builds the message once per line: the optimize callback builds it outside the stream's lock,
 * sc_callback finds it built, or finds that it failed and leaves it at that. */
zint_boolean convert_harl_metric_message_to_string(sc_callback_data_t *data) {
  if (data->json_str) return true;
  if (data->failed) return false;
  data->json_obj = message_to_json(data->message);
  if (!data->json_obj) {
    data->failed = true;
    return false;
  }
  data->json_str = zint_json_object_to_json_string(data->json_obj);
  return true;
}

void sc_optimize_closure_callback(void *closure) {
  (void) convert_harl_metric_message_to_string((sc_callback_data_t *) closure);
}

zint_boolean sc_callback(stream_closure_t *sc, void *closure) {
  sc_callback_data_t *data = (sc_callback_data_t *) closure;
  if (!convert_harl_metric_message_to_string(data)) return true;
  const harl_metric_message_t *m = data->message;
  stream_closure_broadcast(sc, data->json_str, strlen(data->json_str), m->id.name,
                           (size_t) (m->id.name_len_with_tags > 0 ? m->id.name_len_with_tags : 0));
  return !stream_closure_is_empty(sc);
}
