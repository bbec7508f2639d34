/* zint HTTP/REST and websocket server: listeners on the "default" pool, REST handlers bound to a path
 * prefix and a regular expression, websocket sessions whose outbound frames may be queued from any
 * thread. One strand per connection: a session's handler calls and its closure free never overlap. */
#ifndef ZINT_HTTP_H
#define ZINT_HTTP_H

#include "zint/zint_common.h"
#include "zint/eventer.h"

#include <cstddef>
#include <cstdint>

/* One client connection (plain HTTP or, after the upgrade, a websocket session). Opaque; kept alive
 * by its connection and by every reference taken with zint_http_session_ref_inc. */
typedef struct zint_http_session_ctx zint_http_session_ctx;

/* Handed to every handler of a connection; one per connection, valid until call_closure_free ran. */
typedef struct zint_http_rest_closure {
  zint_http_session_ctx *http_ctx; /* the connection; owned by the framework */
  void *call_closure;              /* the service's per-connection state; set by the handler */
  void (*call_closure_free)(void *); /* called once on the connection's strand when it ends,
                                        after the last handler call; set by the handler */
  void *session_data;                /* what the upgrade hook attached to a websocket session
                                        (see zint_http_upgrade_verdict_t); null without one */
  void (*session_data_free)(void *); /* called once on the strand when the
                                        session ends, after call_closure_free */
} zint_http_rest_closure_t;

/* REST handler: npats/pats are the regular expression's captured sub-expressions (pats[i] is
 * NUL-terminated and owned by the framework for the duration of the call). Must answer through the
 * zint_http_response_* calls before returning; a handler that ends no response gets a 500. */
typedef int (*zint_http_rest_handler_t)(zint_http_rest_closure_t *restc, int npats, char **pats);
/* Websocket handler: one call per complete message; opcode 1 (text) or 2 (binary). A result of 1
 * (any non-zero result) closes the session with 1008 once the frames already queued have gone out. */
typedef int (*zint_http_websocket_handler_t)(zint_http_rest_closure_t *restc, int opcode,
                                             const unsigned char *msg, size_t msg_len);

#define ZINT_HTTP_CHUNKED 1
#define ZINT_HTTP_CLOSE 2

/* Limits of websocket sessions and HTTP connections, read from <http .../> by zint_http_rest_init
 * and settable by tests; a session takes the values in force when it is upgraded. */
typedef struct zint_http_limits {
  size_t max_message_bytes;    /* incoming message above this: close 1009 (default 1 MiB) */
  size_t outbound_queue_bytes; /* queued, unsent bytes per session (data frames, and each pong
                                  with its bookkeeping); a frame that would pass it ends the session
                                  with close 1013 (default 4 MiB) */
  uint32_t ping_interval_ms;   /* server ping cadence; 0 = no pings (default 30000) */
  uint32_t idle_timeout_ms;    /* nothing received for this long ends the connection; 0 = never
                                  (default 90000); also the keep-alive idle time of HTTP */
  size_t max_connections;      /* open connections of all listeners together; one more is answered
                                  503 and closed; 0 = no bound (default 10000) */
  uint32_t flush_interval_us;  /* least time between two wake-ups of a websocket writer by deferred
                                  flushes, in microseconds; 0 = at once (default 2500) */
  uint32_t write_timeout_ms;   /* an HTTP response the peer has not taken whole within this long is
                                  abandoned and its connection closed; 0 = never (default 10000) */
} zint_http_limits_t;

void zint_http_limits_get(zint_http_limits_t *out);
void zint_http_limits_set(const zint_http_limits_t *in);

/* Why the server turned a client away. The service counts these (zint_http_set_refusal_hook). */
typedef enum zint_http_refusal {
  ZINT_HTTP_REFUSED_CONNECTIONS = 0, /* over max_connections (global or the listener's): 503 */
  ZINT_HTTP_REFUSED_MESSAGE_SIZE,    /* websocket message (close 1009) or request body (413) too big */
  ZINT_HTTP_REFUSED_ORIGIN,          /* upgrade with an Origin outside allowed_origins: 403 */
  ZINT_HTTP_REFUSED_PLAINTEXT,       /* plain HTTP spoken to a TLS listener: 400, then closed */
  ZINT_HTTP_REFUSED_SLOW_CLIENT,     /* a websocket session whose next frame (or pong) did not fit
                                        under outbound_queue_bytes: ended with close 1013 */
  ZINT_HTTP_REFUSAL_KINDS
} zint_http_refusal_t;

/* Called once per refusal, on a framework thread (the acceptor's or the connection's), without
 * any framework lock held; must not block. Null removes the hook. Set it before the listeners take
 * clients. */
typedef void (*zint_http_refusal_hook_t)(zint_http_refusal_t why);
void zint_http_set_refusal_hook(zint_http_refusal_hook_t hook);
/* Refusals of that kind since the start (whether or not a hook was set). */
uint64_t zint_http_refusals(zint_http_refusal_t why);

/* Origins allowed to open websockets: exact "scheme://host[:port]" texts, compared without regard
 * to case. Empty (the default): every origin is allowed. "*" in the list allows every origin.
 * An upgrade without an Origin header (a client that is not a browser) is always allowed. */
void zint_http_allowed_origins_set(const char *const *origins, size_t count);
/* Whether an upgrade carrying this Origin header value (null: no header) would be accepted. */
zint_boolean zint_http_origin_allowed(const char *origin);

/* Reads the <http> limits (and the websocket client's <websocket_client> limits) from the
 * configuration. Safe to call more than once. */
void zint_http_rest_init(void);
/* Starts every <listeners><listener address=".." port=".." [max_connections=".."]> (optional
 * <ssl certificate_file=".." key_file=".."/> child) on the "default" pool. With
 * <listeners require_tls="true"> a listener without <ssl> is not started. 0 when all started, -1
 * when any failed or was refused (logged). */
int zint_listener_init(const char *appname);

/* Starts one listener on pool (null: "default"); certificate_file/key_file both null for plain
 * HTTP. Returns its index, or -1 (logged) when it cannot be started. */
int zint_listener_add(const char *address, int port, const char *certificate_file,
                      const char *key_file, eventer_pool_t *pool);
/* Bounds the open connections of one listener (0: only the global bound applies). */
void zint_listener_set_max_connections(int index, size_t max);
/* The port a listener is bound to (useful when it was configured as 0), or -1 for a bad index. */
int zint_listener_bound_port(int index);
/* Number of listeners started so far. */
int zint_listener_count(void);

/* Binds handler to requests with that method whose path starts with prefix and whose rest (query
 * string excluded) matches regex. The longest matching prefix wins, then registration order.
 * 0, or -1 (logged) for a null argument or a regular expression that does not compile. */
int zint_http_rest_register(const char *method, const char *prefix, const char *regex,
                            zint_http_rest_handler_t handler);
/* Websocket endpoints: upgraded only when the path matches and the client offers protocol. Of
 * several protocols registered for a path, the one the client offers first is taken. */
int zint_http_rest_websocket_register(const char *prefix, const char *regex, const char *protocol,
                                      zint_http_websocket_handler_t handler);
/* The same, for a protocol whose text messages may share a frame: text messages already queued for
 * a session when its writer runs go out as one text frame (at most 64 KiB, a larger message alone),
 * separated by one "\n". Binary messages and control frames are never joined. */
int zint_http_rest_websocket_register_batched(const char *prefix, const char *regex, const char *protocol,
                                              zint_http_websocket_handler_t handler);

/* Response of the current request; call from the handler. Each returns false when refused:
 * after the end, a status outside 100..999, a header with CR/LF, CHUNKED on an HTTP/1.0 request. */
zint_boolean zint_http_response_status_set(zint_http_session_ctx *ctx, int code, const char *reason);
zint_boolean zint_http_response_header_set(zint_http_session_ctx *ctx, const char *name,
                                           const char *value);
zint_boolean zint_http_response_option_set(zint_http_session_ctx *ctx, uint32_t option);
zint_boolean zint_http_response_append(zint_http_session_ctx *ctx, const void *buf, size_t len);
zint_boolean zint_http_response_end(zint_http_session_ctx *ctx);

/* The request being handled, read by a REST handler or the upgrade hook during its call. Each text lives
 * until the next call of either function on that connection or the end of the handler. A header's value (name
 * compared without regard to case); null when absent or given more than once, since two readers could take
 * different ones. */
const char *zint_http_request_header(zint_http_session_ctx *ctx, const char *name);
/* A query parameter of the request target, percent-decoded ('+' is a space); null when absent, given more
 * than once, or not decodable (a bad escape, a NUL). */
const char *zint_http_request_query(zint_http_session_ctx *ctx, const char *name);

/* Admission of websocket upgrades. The hook decides, on the connection's strand, once the path, sub-protocol,
 * origin and handshake headers have passed and before the 101 is written; it reads the request with the two
 * functions above and must not block. */
typedef struct zint_http_upgrade_verdict {
  int status;              /* 0: upgrade; else the refusal's HTTP status (400..599), after
                              which the connection is closed */
  const char *body;        /* the refusal's text/plain body (copied); null: empty */
  const char *header_name; /* one more header of the refusal (e.g.
                              WWW-Authenticate); null: none */
  const char *header_value;
  void *session_data;                /* upgrade: becomes restc->session_data of the session
                                        (owned by it from then on, even when the 101 cannot be
                                        written) */
  void (*session_data_free)(void *); /* frees session_data; null: nothing to free */
} zint_http_upgrade_verdict_t;
typedef void (*zint_http_upgrade_hook_t)(zint_http_session_ctx *ctx, zint_http_upgrade_verdict_t *verdict);
/* One hook for every websocket endpoint; null (the default) upgrades every request. Set it before the
 * listeners take clients. */
void zint_http_set_upgrade_hook(zint_http_upgrade_hook_t hook);

/* Ends a websocket session with close code (1000..4999) and reason (at most 123 bytes) once delay_ms have
 * passed, the frames already queued going out first, as after a handler's non-zero result. Call on the
 * session's strand: from the upgrade hook (the session then closes at once if the time passed before the 101
 * went out) or from its handler. A later call replaces the earlier one; the timer goes with the session.
 * False for an ended session or bad arguments. */
zint_boolean zint_http_websocket_close_after(zint_http_session_ctx *ctx, uint64_t delay_ms, uint16_t code,
                                             const char *reason);

/* Keeps the session context alive (not the connection) until the matching release. */
void zint_http_session_ref_inc(zint_http_session_ctx *ctx);
/* Drops one reference; never calls into the service on the caller's thread. */
void zint_http_ctx_session_release(zint_http_session_ctx *ctx);

/* Queues one websocket message (opcode 1 text, 2 binary) from any thread; the bytes are copied.
 * False when the session is closing or closed, is not a websocket, or its unsent bytes would pass
 * the outbound bound. In that last case the session is ended as too slow: the frames still queued
 * are dropped, the write under way completes, then a close 1013 "client too slow" goes out, and a
 * peer that does not take it within a second has its connection cut (counted as
 * ZINT_HTTP_REFUSED_SLOW_CLIENT, reported on the session's strand). Never calls into the service
 * on the caller's thread. Consecutive calls from one thread with the same bytes share one
 * reference-counted copy. */
zint_boolean zint_http_websocket_queue_msg(zint_http_session_ctx *ctx, int opcode,
                                           const unsigned char *buf, size_t len);

/* Deferred wake-ups: from zint_http_websocket_defer_begin until zint_http_websocket_defer_flush on
 * the same thread, queue_msg queues every message at once as always but leaves waking each session's
 * writer to the flush, once per session. A thread that broadcasts many messages in a row (a job
 * queue worker) then costs one post and one write per session for all of them instead of one per
 * message. The flush must follow on the same thread; without a begin it does nothing. Flushes from
 * all threads wake each session's writer at most once per limits' flush_interval_us: a session woken
 * within the interval is held until its interval ends, one woken longer ago goes at once. */
void zint_http_websocket_defer_begin(void);
void zint_http_websocket_defer_flush(void);

/* Number of connections currently open (refused ones included while they are being answered), and of message bodies copied by queue_msg so far
 * (tests, statistics). */
size_t zint_http_open_sessions(void);
/* Session contexts not yet destroyed (a context lives on after its connection while its TLS
 * shutdown runs or references remain). Once it reads 0, all their teardown has happened. */
size_t zint_http_live_sessions(void);
size_t zint_http_websocket_copies(void);

/* Detached sessions: a websocket session without a connection, for driving a websocket handler
 * directly (tests, fuzzers). Every message queued to it goes to sink on the queueing thread, under
 * the session's lock (sink must not call back into the session); sink's result is queue_msg's, so
 * a sink can play a full queue. zint_http_detached_session_end ends it as a closed connection does:
 * queue_msg refuses from then on, call_closure_free runs once on the caller's thread, and the
 * session's own reference goes (the context lives on while service references remain). */
typedef zint_boolean (*zint_http_frame_sink_t)(void *arg, int opcode, const unsigned char *buf, size_t len);
zint_http_session_ctx *zint_http_detached_session_new(zint_http_frame_sink_t sink, void *arg);
/* The closure handed to every handler call of the session. */
zint_http_rest_closure_t *zint_http_session_restc(zint_http_session_ctx *ctx);
void zint_http_detached_session_end(zint_http_session_ctx *ctx);

#endif
