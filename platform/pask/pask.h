/* pask: the message-bus module. Subscribes to the NATS subject of the metric firehose, or holds
 * subjects that callers ask for at run time (one per watched check), and hands every message to the
 * hooks registered through zint_pask_handle_message_hook_register, on the NATS client's delivery
 * thread. Keeps connecting while the bus is down, at start-up and after. */
#ifndef PASK_PASK_H
#define PASK_PASK_H

#include "zint/zint_pask_hook.h"

#include <cstddef>
#include <cstdint>

/* Default subject of the metric firehose. */
#define PASK_DEFAULT_SUBJECT "vorn.metrics.>"

/* How to reach the bus. Strings are copied by pask_module_start. */
typedef struct pask_module_options_s {
  const char *hosts;       /* one NATS URL or several separated by commas; user:password@ allowed */
  const char *subject;     /* null: PASK_DEFAULT_SUBJECT */
  int pending_msgs_limit;  /* messages buffered for the hooks before the client drops (slow
                              consumer); 0: the client's default (65536) */
  int pending_bytes_limit; /* the same in bytes; 0: the client's default (64 MiB) */
  int reconnect_wait_ms;   /* pause between connection attempts; 0: 1000 */
  /* Not null: no firehose subscription; the service holds "<prefix>.<check>" per watched check
   * (pask_subject_hold). Tokens of letters, digits, '-' and '_' joined by '.'. */
  const char *check_subject_prefix = nullptr;
  int unsubscribe_after_ms = 0; /* how long a subject nobody holds stays subscribed; 0: not at all */
} pask_module_options_t;

/* Default of "//network/in/mq/unsubscribe_after_s". */
#define PASK_DEFAULT_UNSUBSCRIBE_AFTER_S 10

/* DSO init: reads "//network/in/mq/host" (required), "//network/in/mq/subject" or
 * "//network/in/mq/check_subject_prefix" with "//network/in/mq/unsubscribe_after_s", and the optional
 * "//network/in/mq/pending_msgs_limit", "//network/in/mq/pending_bytes_limit" and
 * "//network/in/mq/reconnect_wait_ms", then starts the module. 0, or -1 (logged) when the host is
 * missing or cannot be used. Both <subject> and <check_subject_prefix>, an unusable prefix or an
 * unsubscribe_after_s that is not a whole number in 0..86400 end the process with status 1 (logged).
 * Registered with zint_dso_register as "pask" for "//network/in/mq". */
int pask_module_init(void);

/* Connects (or keeps trying in the background when no server answers) and subscribes to the
 * firehose, or in per-check mode starts the thread that subscribes to held subjects. 0 once the
 * connection is made or being retried; -1 (logged) for unusable options or when already started. */
int pask_module_start(const pask_module_options_t *opts);
/* Closes the connection and waits until no hook runs any more (tests; the service never stops
 * the module). Registered hooks stay; held subjects are forgotten. */
void pask_module_stop(void);

/* True when the prefix can start per-check subjects: not empty, tokens of letters, digits, '-' and
 * '_' separated by single dots (no wildcard, no blank). */
bool pask_check_subject_prefix_usable(const char *prefix);
/* The configured per-check prefix (valid until the module stops), or null in firehose mode. */
const char *pask_module_check_subject_prefix(void);

/* Run-time subscriptions, reference-counted per subject. The first hold of a subject subscribes to
 * it, the release of the last hold unsubscribes unsubscribe_after_ms later unless it is held again
 * meanwhile. Neither call waits on the network: they record the change under a short lock and the
 * module's own thread ("pask:subs") makes the NATS calls, so any thread may call them, an event
 * thread or a caller holding its own locks included (the module takes none of the caller's locks).
 * The NATS client subscribes again to what it holds after a reconnection; a subject held while the
 * bus is down is subscribed once it is back. A release without a hold is ignored. */
void pask_subject_hold(const char *subject);
void pask_subject_release(const char *subject);
/* NATS subscriptions the module holds now: 1 for the firehose, or one per subject held or
 * lingering. Any thread. */
uint64_t pask_module_subscriptions(void);
/* Calls fn(closure, n) with the number of subscriptions now, and again whenever it changes, on the
 * thread that changed it, under the module's subscription lock (fn must not call the module). One
 * observer; null removes it. */
void pask_module_set_subscriptions_observer(void (*fn)(void *closure, uint64_t n), void *closure);

/* Messages the NATS client dropped because the hooks fell behind (slow consumer), since start, over
 * every subscription;
 * the ingest reads it for its "dropped" counter. Any thread. */
uint64_t pask_module_dropped(void);
/* Messages handed to the hooks since start. */
uint64_t pask_module_received(void);
/* True while connected to a server. */
bool pask_module_connected(void);

/* Where the connection stands, for health checks. */
typedef enum {
  PASK_STATE_STOPPED = 0,      /* not started, start failed, or stopped */
  PASK_STATE_CONNECTING = 1,   /* started; no server has answered yet */
  PASK_STATE_CONNECTED = 2,
  PASK_STATE_RECONNECTING = 3, /* the connection was lost; retrying */
  PASK_STATE_CLOSED = 4,       /* the client gave up on the connection (no more retries) */
} pask_state_t;

/* The current state and, in since_ns when not null, when it was entered (zint_get_nanos). Any
 * thread. */
pask_state_t pask_module_state(uint64_t *since_ns);
/* Connections made since start (the first is 1); reconnections add to it. */
int pask_module_connection_id(void);

/* Subject of a message seen by a hook (valid during the hook only). */
const char *pask_msg_subject(const struct pask_msg *msg);

/* A bus message a hook took over from the module (pask_msg_keep). */
struct pask_kept_msg;
/* Takes the message a hook is looking at over from the module, so that the hook can hand its
 * payload to another thread without copying it: payload and length stay as the hook saw them
 * until pask_kept_msg_release. Keeping ends the delivery: no later hook sees the message. Null
 * when msg is null or already kept. Only on the delivery thread, during the hook. */
struct pask_kept_msg *pask_msg_keep(struct pask_msg *msg);
/* Gives a kept message back to the bus client; any thread, once per kept message. */
void pask_kept_msg_release(struct pask_kept_msg *kept);

/* A copy of the comma-separated URL list with every user:password@ part removed, for logs and
 * statistics (free() it). Null for null input or when memory runs out. */
char *pask_redact_urls(const char *hosts);

/* Forgets every hook (tests; only while the module is stopped). */
void pask_module_hooks_reset(void);

/* zint_pask_handle_message_hook_register without its check that the module was loaded at start-up:
 * for programs that start the module themselves (pask_module_start). */
int zint_pask_handle_message_dyn_hook_register(const char *name, zint_pask_handle_message_hook_t func,
                                               void *closure);

#endif
