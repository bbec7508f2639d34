/* data_message: the client data message, the JSON frame a websocket client gets for one sample of
 * a check it watches, built from a decoded bus line and broadcast to the clients of the line's bus
 * stream. The broker path builds the same frame from broker samples and names its histogram
 * buckets with data_message_bucket_name. */
#ifndef VORN_DATA_MESSAGE_H
#define VORN_DATA_MESSAGE_H

#include "stream_closure.h"

#include "harl/harl.h"
#include "zint/zint_json.h"

/* One decoded line's broadcast context; lives for one handle_individual_message call. */
typedef struct {
  harl_metric_message_t *message; /* decoded line; owned by the caller */
  const char *json_str;           /* client data message text, null until built; owned by json_obj */
  zint_json_object *json_obj;     /* null until built; released by the caller after the lookup */
  bool failed;                    /* the message could not be built (already counted and logged):
                                     no second attempt for the same line */
} sc_callback_data_t;

/* The client data message of a decoded line, a new object the caller puts; null when its
 * histogram does not decode (logged, counted in "errors"/"pask" and "mq"/"bad_lines"). A failed
 * allocation is fatal. Any thread, no lock. */
zint_json_object *message_to_json(const harl_metric_message_t *message);
/* Room for any bucket key: the 309 integer digits of the largest double, a sign, the point and six
 * decimals, and the NUL. */
#define DATA_MESSAGE_BUCKET_NAME_MAX 320
/* The key of a histogram bucket in a client data message: its value printed as "%f" prints it,
 * into name; returns name. Values that differ beyond six decimals share a key; each caller adds
 * their counts up. */
const char *data_message_bucket_name(double bucket, char (&name)[DATA_MESSAGE_BUCKET_NAME_MAX]);

/* Builds data's message text once (message_to_json) and keeps it in data; true when there is one.
 * Never twice for the same line, also after a failure. The caller serialises the calls. */
zint_boolean convert_harl_metric_message_to_string(sc_callback_data_t *data);
/* Registry optimize callback (closure: sc_callback_data_t): builds the message outside the
 * stream's lock. */
void sc_optimize_closure_callback(void *closure);
/* Registry callback, under the stream's read lock: broadcasts the message of closure
 * (sc_callback_data_t) to the stream's clients; false when the stream has no clients left. */
zint_boolean sc_callback(stream_closure_t *sc, void *closure);

#endif
