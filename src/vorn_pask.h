/* vorn_pask: message-bus ingest. Takes every bus payload from the message-bus hook, drops repeated
 * payloads, decodes each metric line and broadcasts one client data message to the watchers of the
 * line's check; also subscribes and unsubscribes client records to the bus stream of a check. */
#ifndef VORN_VORN_PASK_H
#define VORN_VORN_PASK_H

#include "client.h"
#include "stream_closure.h"

#include "harl/harl.h"
#include "stats/stats.h"
#include "zint/eventer.h"
#include "zint/zint_hash.h"
#include "zint/zint_json.h"
#include "zint/zint_pask_hook.h"

#include <cstddef>
#include <cstdint>

#define PROCESS_PASK_MESSAGE_JOBQ "process_pask_message"
#define PRUNE_DEDUPE_HASHES_JOBQ "prune_dedupe_hashes"
/* A bus stream key: 36 characters of lower-case UUID text and its NUL. */
#define UUID_PRINTABLE_STRING_LENGTH 37
/* Bytes of payloads (plus a fixed allowance for each) that may wait for the payload queue
 * before the hook drops new payloads; "//pools/@pask_backlog_bytes" overrides it. */
#define PASK_DEFAULT_BACKLOG_BYTES ((size_t) 64 << 20)
/* Payloads one job of the payload queue carries at most (see payload_batch). */
#define PASK_BATCH_MAX 32
/* Jobs (batches of payloads) waiting per awake payload worker before another worker is woken
 * (eventer_jobq_set_wake_batch). */
#define PASK_JOBQ_WAKE_BATCH 2

/* One payload on its way through the payload queue; owned by its batch's job from the hook to the
 * job's completion call. */
typedef struct {
  char *payload;      /* payload_len bytes and a NUL: in kept, or a private copy (malloc) */
  struct pask_kept_msg *kept; /* the bus message holding payload, or null; released by the worker at
                                 the end of its run of jobs (at once if the queue refuses the job) */
  size_t payload_len; /* without the NUL */
  size_t cost;        /* bytes counted against the backlog bound while the job exists */
} payload_data_t;

/* One decoded line's broadcast context; lives for one handle_individual_message call. */
typedef struct {
  harl_metric_message_t *message; /* decoded line; owned by the caller */
  const char *json_str;           /* client data message text, null until built; owned by json_obj */
  zint_json_object *json_obj;     /* null until built; released by the caller after the lookup */
  bool failed;                    /* the message could not be built (already counted and logged):
                                     no second attempt for the same line */
} sc_callback_data_t;

/* Stores the settings of the two job queues; before the process frame starts. */
void pask_init_jobqs(void);
/* Counters, configuration, dedupe table, job queues, hook, prune timer. Once, after
 * stream_hash_init. A missing job queue is fatal. */
void pask_init(void);

/* Adds a full record to the bus stream of uuid (a NUL-terminated id text). The record is taken
 * in every case: on failure the client gets "pask watch request failed" and the record is freed.
 * True when the stream holds the record. */
zint_boolean pask_subscribe_client(vorn_client_t *client, const char *uuid);
/* Removes the session's record (client is a probe) from the bus stream of uuid, if any. */
void pask_unsubscribe_client(vorn_client_t *client, const char *uuid);

/* The message-bus hook; always ZINT_HOOK_CONTINUE. */
zint_hook_return_t handle_pask_message(void *closure, struct pask_conn_s *client, int connection_id,
                                       struct pask_msg *pask_message, const void *vpayload,
                                       size_t payload_len);
int handle_pask_message_asynch(eventer_t e, int mask, void *closure, struct timeval *now);
/* payload is NUL-terminated at payload_len. */
void handle_payload(const char *payload, size_t payload_len);
void handle_individual_message(const char *line);

void sc_optimize_closure_callback(void *closure);
zint_boolean sc_callback(stream_closure_t *sc, void *closure);
zint_boolean convert_harl_metric_message_to_string(sc_callback_data_t *data);

/* The client data message of a decoded line; null when its histogram does not decode (logged,
 * counted in "errors"/"pask" and "mq"/"bad_lines"). A failed allocation is fatal. */
zint_json_object *message_to_json(const harl_metric_message_t *message);

/* Duplicate suppression. */
zint_boolean is_duplicate(const char *payload, size_t payload_len);
uint64_t get_message_time(const char *msg, int msg_length);
/* Inside a safe-memory critical section only (fatal otherwise). */
zint_digest_set *get_dedupe_hash(uint64_t whence);
void hash_and_time_safe_free(void *p);
int prune_dedupe_hashes(eventer_t e, int mask, void *closure, struct timeval *now);
int prune_dedupe_hashes_asynch(eventer_t e, int mask, void *closure, struct timeval *now);

/* For tests, tools and statistics. */
/* One prune pass as the prune job runs it, with the given monotonic second; buckets removed. */
int pask_prune_dedupe_at(uint64_t now_s);
/* Buckets in the dedupe table. */
int pask_dedupe_bucket_count(void);
/* The bucket's last_touched_s, or -1 when there is no bucket for whence. */
int64_t pask_dedupe_last_touched(uint64_t whence);
/* Bytes counted against the backlog bound right now, and the bound. */
size_t pask_backlog_bytes(void);
void pask_set_backlog_limit(size_t bytes);
/* Switches payload processing between the job queue and the delivering thread. */
void pask_set_use_jobq(zint_boolean on);
/* Brings "mq"/"dropped" up to date with the bus client's slow-consumer drops. */
void pask_sync_dropped(void);

#endif
