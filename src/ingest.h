/* ingest: the message-bus ingest. The bus hook counts each payload and queues it in a batch under a
 * byte bound on the backlog; queue threads drop repeated payloads (dedup), decode each metric line
 * and broadcast its client data message (data_message) to the watchers of the line's check. Also
 * subscribes and unsubscribes client records to the bus stream of a check, and in per-check mode holds
 * the bus subject of each check that has a bus stream. */
#ifndef VORN_INGEST_H
#define VORN_INGEST_H

#include "client.h"

#include "stats/stats.h"
#include "zint/eventer.h"
#include "zint/zint_hash.h"
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

/* "errors"/"pask": set by pask_init, counted with report_error by the ingest and the data message. */
extern stats_handle_t *pask_err_counter;

/* ---- start-up ---- */

/* Stores the settings of the two job queues; before the process frame starts. */
void pask_init_jobqs(void);
/* Counters, configuration, dedupe table, job queues, hook, prune timer and, when the bus module runs
 * per check, the registry hooks that hold a check's subject while it has a bus stream. Once, after
 * stream_hash_init. A missing job queue is fatal. */
void pask_init(void);

/* ---- subscriptions ---- */

/* Adds a full record to the bus stream of uuid (a NUL-terminated id text). The record is taken
 * in every case: on failure the client gets "pask watch request failed" and the record is freed.
 * True when the stream holds the record. Takes the registry's locks itself. */
zint_boolean pask_subscribe_client(vorn_client_t *client, const char *uuid);
/* Removes the session's record (client is a probe the caller keeps) from the bus stream of uuid,
 * if any. Takes the registry's locks itself. */
void pask_unsubscribe_client(vorn_client_t *client, const char *uuid);

/* ---- payloads ---- */

/* The message-bus hook, on the bus client's delivery thread: counts the payload, then queues it (or
 * handles it at once when the queue is off); drops it, counted, past the backlog bound. Always
 * ZINT_HOOK_CONTINUE. */
zint_hook_return_t handle_pask_message(void *closure, struct pask_conn_s *client, int connection_id,
                                       struct pask_msg *pask_message, const void *vpayload,
                                       size_t payload_len);
/* The payload queue's job (closure: its batch): duplicate tests and lines on WORK, the payloads
 * released on COMPLETE. */
int handle_pask_message_asynch(eventer_t e, int mask, void *closure, struct timeval *now);
/* The duplicate test, then every line of the payload (NUL-terminated at payload_len), on the
 * calling thread. The caller keeps the payload. */
void handle_payload(const char *payload, size_t payload_len);
/* Decodes one NUL-terminated M or H line and broadcasts its message to the watchers of its check;
 * a line that does not decode is counted and logged. The caller keeps the line. */
void handle_individual_message(const char *line);
/* Counts a bus line or payload that cannot become a frame in "mq"/"bad_lines" and logs it with why
 * (null: "refused"), rate-limited per reason; fatal when why is harl_why_no_memory. Any thread. */
void pask_bad_line(const char *why, const char *text, size_t len);

/* ---- duplicate suppression: the ingest's dedupe table (see dedup.h) ---- */

/* True when the payload (NUL-terminated at payload_len) was seen before; remembers it when not. */
zint_boolean is_duplicate(const char *payload, size_t payload_len);
/* The digest set of timestamp whence in the ingest's table. Inside a safe-memory critical section
 * only (fatal otherwise). */
zint_digest_set *get_dedupe_hash(uint64_t whence);
/* Prune timer (event loop): folds in the bus client's drops and queues a prune job. */
int prune_dedupe_hashes(eventer_t e, int mask, void *closure, struct timeval *now);
/* The prune job: prunes the ingest's table on WORK, sets the next timer on COMPLETE. */
int prune_dedupe_hashes_asynch(eventer_t e, int mask, void *closure, struct timeval *now);

/* ---- tests, tools and statistics ---- */

/* One prune pass as the prune job runs it, with the given monotonic second; buckets removed, or -1
 * while another pass runs. */
int pask_prune_dedupe_at(uint64_t now_s);
/* Buckets in the ingest's dedupe table. */
int pask_dedupe_bucket_count(void);
/* The bucket's last_touched_s, or -1 when there is no bucket for whence. */
int64_t pask_dedupe_last_touched(uint64_t whence);
/* Bytes counted against the backlog bound right now. */
size_t pask_backlog_bytes(void);
/* Sets the backlog bound in bytes; applies to the next payloads. */
void pask_set_backlog_limit(size_t bytes);
/* Switches payload processing between the job queue and the delivering thread. */
void pask_set_use_jobq(zint_boolean on);
/* Brings "mq"/"dropped" up to date with the bus client's slow-consumer drops; skips when another
 * thread is at it. */
void pask_sync_dropped(void);

#endif
