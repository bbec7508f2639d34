/* zint websocket client: one outgoing websocket (plain or TLS) driven on an event pool, for the
 * service's connections to brokers. The framework owns each client from creation to its cleanup
 * handler; every handler of one client runs on that client's strand, never two at once. */
#ifndef ZINT_WEBSOCKET_CLIENT_H
#define ZINT_WEBSOCKET_CLIENT_H

#include "zint/zint_common.h"
#include "zint/eventer.h"
#include "zint/zint_conf.h"

#include <cstddef>
#include <cstdint>

typedef struct zint_websocket_client zint_websocket_client_t;

/* Handlers; closure is the one given at creation. A false result from ready, msg or tick closes
 * the connection. cleanup runs exactly once, whatever the ending (a failed connect included); the
 * client is freed after it returns. msg's opcode is 1 for text and 2 for binary messages. tick (may
 * be null) runs every ZINT_WEBSOCKET_CLIENT_TICK_MS while the connection is open, so that its owner
 * can give up a connection whose peer sends nothing. */
typedef struct zint_websocket_client_callbacks {
  zint_boolean (*ready_callback)(zint_websocket_client_t *client, void *closure);
  zint_boolean (*msg_callback)(zint_websocket_client_t *client, int opcode, const unsigned char *msg,
                               size_t msg_len, void *closure);
  void (*cleanup_callback)(zint_websocket_client_t *client, void *closure);
  zint_boolean (*tick_callback)(zint_websocket_client_t *client, void *closure);
} zint_websocket_client_callbacks;

#define ZINT_WEBSOCKET_CLIENT_TICK_MS 250
/* A close that this side starts ends the socket at the latest this long after, whether or not the
 * peer reads and answers it. */
#define ZINT_WEBSOCKET_CLIENT_CLOSE_MS 700

/* Timing and size limits; a client takes the values in force when it is created. */
typedef struct zint_websocket_client_limits {
  uint32_t connect_timeout_ms; /* resolve + TCP + TLS + upgrade together (default 10000) */
  uint32_t idle_timeout_ms;    /* nothing received for this long ends the connection; pings are
                                  sent at half of it so a live but quiet peer is kept (60000) */
  size_t max_message_bytes;    /* larger incoming messages end the connection (16 MiB) */
} zint_websocket_client_limits_t;

void zint_websocket_client_limits_get(zint_websocket_client_limits_t *out);
void zint_websocket_client_limits_set(const zint_websocket_client_limits_t *in);
/* Reads <websocket_client connect_timeout_ms=".." idle_timeout_ms=".." max_message_bytes=".."/>. */
void zint_websocket_client_conf_init(void);

/* Starts connecting to ws(s)://host:port/path offering protocol. sslconfig (may be null): settings
 * from zint_conf_get_hash, keys "ca_chain", "certificate_file", "key_file", "verify" (true/false,
 * default true); TLS is used when it holds at least one setting. callbacks are copied.
 * True: the client exists, connects asynchronously on pool and no handler runs before this call has
 * returned. False (logged): bad arguments or unusable TLS settings; no handler will ever run. */
zint_boolean zint_websocket_client_new_noref(const char *host, int port, const char *path,
                                             const char *protocol,
                                             const zint_websocket_client_callbacks *callbacks,
                                             void *closure, eventer_pool_t *pool,
                                             const zint_conf_hash_t *sslconfig);

/* Queues one message (opcode 1 text, 2 binary; bytes copied) from any thread, until the cleanup
 * handler has returned. False when the connection is closing or closed, or for a bad opcode. */
zint_boolean zint_websocket_client_send(zint_websocket_client_t *client, int opcode,
                                        const void *buf, size_t len);
/* The closure given at creation. */
void *zint_websocket_client_get_closure(zint_websocket_client_t *client);

#endif
