/* broker: the broker livestream. A watch with a non-zero period is served by one
 * websocket of our own to the broker that runs the check; this module starts it, sends and re-sends
 * the subscription request, relays the broker's samples as client data messages and reports a
 * connection that cannot be made or ends to every client of the stream. */
#ifndef VORN_BROKER_H
#define VORN_BROKER_H

#include "client.h"
#include "stream_closure.h"

#include "zint/zint_json.h"
#include "zint/zint_time.h"
#include "zint/zint_websocket_client.h"

#include <atomic>
#include <cstddef>

/* One broker stream's upstream: from the first watch on, the stream's upstream closure; while its
 * broker is looked up, owned by the lookup; then the websocket client's closure as well. Released
 * exactly once: by the subscribe callback (stream already served, or the lookup could not be
 * queued), by harl_subscribe_client (registry refused), by harl_lookup_done (stream gone meanwhile,
 * no broker, or no connection could start), or by the cleanup handler (connection ended). */
typedef struct harl_key {
  const char *uuid;                 /* check UUID text as the client sent it; owned */
  int period;                       /* watch period in ms, > 0 */
  const char *key;                  /* stream key "%s%d" (uuid, period); owned */
  size_t klen;                      /* length of key without its NUL */
  uuid_t sc_id;                     /* identity of the stream instance this connection serves; set
                                       under the stream's write lock before the connection starts */
  std::atomic<zint_boolean> dirty;  /* clients changed since the last request was sent; set under
                                       the stream's write lock, read by the message handler after
                                       the lock is gone, hence atomic */
} harl_key_t;

/* Counters of "errors"/"broker" and "agents"/"global"/{connects,connections,closes}. */
extern stats_handle_t *harl_err_counter;

/* Registers the counters and reads "//harls/sslconfig". Start-up thread, after stats_init. A second
 * call (tests) re-reads the sslconfig and must not overlap subscriptions. */
void harl_init(void);

/* Hands a full client record to the broker stream (uuid, period). The record belongs to this
 * module from now on: held by the stream, or released here after an error frame. A uuid that is not
 * 36-character UUID text or a period below 1 is refused with "broker watch request failed". */
void harl_subscribe_client(vorn_client_t *client, const char *uuid, int period);
/* Removes the session's record (client is a probe the caller keeps) from the broker stream. */
void harl_unsubscribe_client(vorn_client_t *client, const char *uuid, int period);

/* Frees the record and its texts; null is ignored. Only by the record's one owner (see harl_key). */
void harl_key_free(harl_key_t *nk);
/* The stream key "%s%d" as a new text; its length without the NUL through newlen. */
char *concat_uuid_period(const char *uuid, int period, size_t *newlen);
/* True for 36-character 8-4-4-4-12 hex text (either case). */
zint_boolean harl_valid_uuid(const char *uuid);

/* Registry callbacks (run under the stream's write lock). */
/* Makes v_nk the stream's upstream and queues the broker lookup (first watcher), or marks the
 * existing upstream dirty and releases v_nk. A lookup that cannot be queued fails the stream
 * (false). Never waits for the database. */
zint_boolean harl_subscribe_callback(stream_closure_t *sc, void *v_nk);
/* Starts the connection of the stream whose lookup v_lookup answered, or fails the stream. */
zint_boolean harl_lookup_callback(stream_closure_t *sc, void *v_lookup);
/* Marks the upstream dirty, so that the next broker message re-sends the request. Always true. */
zint_boolean harl_unsubscribe_callback(stream_closure_t *sc, void *unused);
/* Sends the broker the subscription request (check, period, the stream's name filter) on the
 * connection v_websocket_client and clears dirty; false (stream deleted) when it has no client. */
zint_boolean harl_ready_callback(stream_closure_t *sc, void *v_websocket_client);
/* True while the stream is not deleted: keeps the connection. The argument is unused. */
zint_boolean harl_heartbeat_callback(stream_closure_t *sc, void *v_json);
/* The connection ended: every client gets "connection to broker was terminated", the stream
 * drops its upstream and is deleted (false). v_nk stays the caller's to free. */
zint_boolean harl_cleanup_callback(stream_closure_t *sc, void *v_nk);
/* Relays one broker sample (v_json, borrowed) to the stream's clients; false when the stream is
 * deleted or has no clients left. A message without a usable sample sends nothing and is true. */
zint_boolean harl_msg_callback(stream_closure_t *sc, void *v_json);

/* Websocket client handlers (run on the "default" pool, one client's never at once). */
/* Connected: sends the request through harl_ready_callback; false closes the connection. */
zint_boolean harl_websocket_client_ready_handler(zint_websocket_client_t *websocket_client, void *v_nk);
/* One broker message (borrowed): samples go to harl_msg_callback, heartbeats to
 * harl_heartbeat_callback, then a dirty request is re-sent. Unparsable or untyped messages are
 * skipped. False (the connection closes) once the stream instance is gone. */
zint_boolean harl_websocket_client_msg_handler(zint_websocket_client_t *websocket_client, int opcode,
                                               const unsigned char *msg, size_t msg_len, void *v_nk);
/* The connection is gone: tells the stream (harl_cleanup_callback), frees v_nk and counts the
 * close. Called once per connection. */
void harl_websocket_client_cleanup_handler(zint_websocket_client_t *websocket_client, void *v_nk);
/* False (the connection closes) once the stream instance it serves is gone: a broker that sends
 * nothing does not keep a connection nobody listens to. */
zint_boolean harl_websocket_client_tick_handler(zint_websocket_client_t *websocket_client, void *v_nk);

/* wdb's answer for the record v_nk (host null: no usable broker). Re-enters the registry by the
 * stream's identity: a stream deleted meanwhile gets nothing and no connection is opened. Runs on
 * a wdb thread with no lock held. */
void harl_lookup_done(const char *host, int port, void *v_nk);

/* The client data message for broker message in, metric key, value val (all borrowed; the result
 * holds references of its own). Null when the message cannot be relayed: "check_uuid" missing, not a
 * string or empty; "timestamp_ms" not a non-negative number; a histogram value that is not an array
 * of objects each with a numeric "bucket" and a "count". The caller releases the result with zint_json_object_put. */
zint_json_object *harl_translate_json(zint_json_object *in, const char *key, zint_json_object *val);

#endif
