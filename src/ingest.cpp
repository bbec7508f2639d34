/* ingest: the message-bus ingest. The bus hook counts each payload and queues it in a batch; queue
 * threads drop repeated payloads (the ingest's dedupe table, pruned on its own queue), decode each
 * metric line and broadcast one client data message to the watchers of the line's check. */
#include "ingest.h"
#include "zint/zint_logsafe.h"

#include "data_message.h"
#include "dedup.h"
#include "vorn_stats.h"
#include "stream_hash.h"
#include "util.h"

#include "pask/pask.h"
#include "zint/zint_conf.h"
#include "zint/zint_http.h"
#include "zint/zint_memory.h"
#include "zint/zint_time.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

/* Module state: written by pask_init (and the test setters) before payloads flow, read after. */
static stats_handle_t *firehose = nullptr;         /* "mq"/"firehose" */
stats_handle_t *pask_err_counter = nullptr;        /* "errors"/"pask" */
static stats_handle_t *pask_dropped = nullptr;     /* "mq"/"dropped" */
static stats_handle_t *pask_bad_lines = nullptr;   /* "mq"/"bad_lines" */
static stats_handle_t *pask_subscriptions = nullptr; /* "mq"/"subscriptions" */
static std::string check_subject_prefix;           /* per-check mode's prefix; empty for the firehose */
static eventer_jobq_t *process_pask_message_jobq = nullptr;
static eventer_jobq_t *prune_dedupe_jobq = nullptr;
static std::atomic<bool> use_jobq_for_data_processing{true};
static void payload_run_end(void);
static void dispatch_payload(const char *payload, size_t payload_len);

/* The service's duplicate test of bus payloads: sized by pask_init, used by every payload thread,
 * pruned by the prune job. */
static constinit dedupe_table dedupe;

/* Backlog bound of the payload queue: bytes held by queued payloads (the payload plus a fixed
 * allowance per payload for its entry, its share of the batch and the bus client's message), so
 * that a bus that outruns the queue threads costs dropped payloads instead of unbounded memory. */
static constexpr size_t pask_job_allowance = 256;
static std::atomic<size_t> backlog_limit{PASK_DEFAULT_BACKLOG_BYTES};
static std::atomic<size_t> backlog_used{0};

/* Slow-consumer drops of the bus client, folded into "mq"/"dropped" at most once a second from
 * the hook and on every prune tick (the module's count takes two locks, too dear per message). */
static std::mutex dropped_sync_mu;          /* guards dropped_seen */
static uint64_t dropped_seen = 0;           /* the module's count at the last sync */
static std::atomic<uint64_t> dropped_sync_s{0}; /* monotonic second of the last sync from the hook */

static constexpr unsigned long prune_period_s = 5;
static constexpr unsigned long first_prune_s = 2;

/* ---- start-up ---- */

void pask_init_jobqs(void) {
  /* The fourth and fifth fields switch the queue's generic backlog bounds off: the hook bounds the
   * backlog itself, in bytes, with a bound the configuration may change. */
  zint_main_eventer_config("jobq_" PROCESS_PASK_MESSAGE_JOBQ, "20,1,500,0,0");
  zint_main_eventer_config("jobq_" PRUNE_DEDUPE_HASHES_JOBQ, "1,1,1");
}

static void pask_read_backlog_limit(void) {
  char *text = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, "//pools/@pask_backlog_bytes", &text)) return;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno == ERANGE || v == 0)
    zint_log(zint_error, "vorn_pask: //pools/@pask_backlog_bytes \"%s\" is not a positive byte count, "
                         "keeping %zu\n", text, backlog_limit.load());
  else
    backlog_limit = (size_t) v;
  free(text);
}

static void pask_subscriptions_changed(void *, uint64_t n) { stats_set(pask_subscriptions, STATS_TYPE_UINT64, &n); }

/* The key of a bus stream whose check has a subject: the lower-case text the ingest writes a line's
 * check in. A watch of the id in another case never meets a line, so it subscribes to nothing either;
 * broker stream keys ("<id><period>") never end in the NUL. */
static bool pask_key_is_check(const char *key, size_t klen) {
  constexpr size_t len = UUID_PRINTABLE_STRING_LENGTH - 1;
  uuid_t id;
  if (klen != len + 1 || key[len] != '\0' || zint_uuid_parse_len(key, len, id) != 0) return false;
  return std::none_of(key, key + len, [](char c) { return c >= 'A' && c <= 'F'; });
}

static void pask_check_stream_created(const char *key, size_t klen) {
  if (pask_key_is_check(key, klen)) pask_subject_hold((check_subject_prefix + "." + key).c_str());
}

static void pask_check_stream_deleted(const char *key, size_t klen) {
  if (pask_key_is_check(key, klen)) pask_subject_release((check_subject_prefix + "." + key).c_str());
}

void pask_init(void) {
  stats_ns_t *errors_ns = stats_register_ns(stats_rec, nullptr, "errors");
  pask_err_counter = stats_register(errors_ns, "pask", STATS_TYPE_COUNTER);
  stats_ns_t *mq_ns = stats_register_ns(stats_rec, nullptr, "mq");
  firehose = stats_register(mq_ns, "firehose", STATS_TYPE_COUNTER);
  stats_ns_t *details_ns = stats_register_ns(stats_rec, mq_ns, "details");
  stats_handle_t *host = stats_register(details_ns, "host", STATS_TYPE_STRING);

  /* Without a configured host the value stays JSON null: there is no bus to name. Credentials in
   * the URLs never reach the statistics. */
  char *host_text = nullptr;
  if (zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/host", &host_text)) {
    char *shown = pask_redact_urls(host_text);
    stats_set(host, STATS_TYPE_STRING, shown);
    free(shown);
    free(host_text);
  }

  stats_handle_t *type = stats_register(details_ns, "type", STATS_TYPE_STRING);
  stats_set(type, STATS_TYPE_STRING, "pask");
  pask_dropped = stats_register(mq_ns, "dropped", STATS_TYPE_COUNTER);
  pask_bad_lines = stats_register(mq_ns, "bad_lines", STATS_TYPE_COUNTER);
  pask_subscriptions = stats_register(mq_ns, "subscriptions", STATS_TYPE_UINT64);
  pask_module_set_subscriptions_observer(pask_subscriptions_changed, nullptr);
  /* Per-check mode: the bus module holds the subject of a check while the registry has its bus
   * stream, which exists exactly while the check has a watcher on this instance. */
  if (const char *prefix = pask_module_check_subject_prefix()) {
    check_subject_prefix = prefix;
    stream_hash_set_key_hooks(pask_check_stream_created, pask_check_stream_deleted);
  }

  dedupe.init();

  ZINT_ASSERT(process_pask_message_jobq = eventer_jobq_retrieve(PROCESS_PASK_MESSAGE_JOBQ));
  ZINT_ASSERT(prune_dedupe_jobq = eventer_jobq_retrieve(PRUNE_DEDUPE_HASHES_JOBQ));
  /* Payload jobs leave waking the websocket writers to the end of each run of jobs: a burst of
   * samples for a stream then goes to each watcher in one write instead of one write per sample. */
  eventer_jobq_set_run_callbacks(process_pask_message_jobq, zint_http_websocket_defer_begin, payload_run_end);
  /* A payload takes a worker a few microseconds of CPU and never blocks: a worker that is awake
   * takes a burst of batches, rather than each batch waking another thread that competes for the
   * same cores with the bus client's delivery thread. */
  eventer_jobq_set_wake_batch(process_pask_message_jobq, PASK_JOBQ_WAKE_BATCH);

  zint_boolean handle_in_jobq = true;
  if (zint_conf_get_boolean(ZINT_CONF_ROOT, "//pools/@handle_pask_messages_in_jobq", &handle_in_jobq))
    use_jobq_for_data_processing = handle_in_jobq;
  pask_read_backlog_limit();

  int rc = zint_pask_handle_message_hook_register(nullptr, handle_pask_message, nullptr);
  ZINT_ASSERT(rc == 0);

  eventer_name_callback("prune_dedupe_hashes", prune_dedupe_hashes);
  eventer_add_in_s_us(prune_dedupe_hashes, nullptr, first_prune_s, 0);
}

/* ---- subscriptions ---- */

/* A bus key is exactly 36 characters of id text and its NUL. An id of any other length can never
 * name a bus stream, so its watch is refused like a registry failure; strnlen never reads more
 * than the 37 bytes the key would take. */
static bool pask_uuid_usable(const char *uuid) {
  return uuid && strnlen(uuid, UUID_PRINTABLE_STRING_LENGTH) == UUID_PRINTABLE_STRING_LENGTH - 1;
}

static void pask_subscribe_failed(vorn_client_t *client, const char *uuid) {
  static const char err[] = "pask watch request failed";
  vorn_client_error(client, err, sizeof err - 1, uuid, 0, watch_request);
  vorn_client_free(client);
  report_error(pask_err_counter);
}

zint_boolean pask_subscribe_client(vorn_client_t *client, const char *uuid) {
  if (!client) return false;
  if (!pask_uuid_usable(uuid)) {
    ZINT_LOG_LIMITED(zint_error, "pask_subscribe_client: id is not a 36-character UUID text\n");
    pask_subscribe_failed(client, uuid);
    return false;
  }
  char *key = (char *) malloc(UUID_PRINTABLE_STRING_LENGTH);
  ZINT_ASSERT(key);
  memcpy(key, uuid, UUID_PRINTABLE_STRING_LENGTH);
  if (!stream_hash_add_client(key, UUID_PRINTABLE_STRING_LENGTH, client, nullptr, nullptr)) {
    zint_log(zint_error, "pask_subscribe_client: stream_hash_add_client failed\n");
    pask_subscribe_failed(client, uuid);
    return false;
  }
  return true;
}

void pask_unsubscribe_client(vorn_client_t *client, const char *uuid) {
  /* An id that is not 36 characters long never got a bus stream: nothing to remove. */
  if (!client || !pask_uuid_usable(uuid)) return;
  stream_hash_remove_client(uuid, UUID_PRINTABLE_STRING_LENGTH, client, nullptr, nullptr);
}

/* ---- the hook and the payload queue ---- */

static bool backlog_reserve(size_t cost) {
  size_t limit = backlog_limit.load(std::memory_order_relaxed);
  size_t used = backlog_used.fetch_add(cost, std::memory_order_relaxed) + cost;
  if (used <= limit) return true;
  backlog_used.fetch_sub(cost, std::memory_order_relaxed);
  return false;
}

static void backlog_release(size_t cost) { backlog_used.fetch_sub(cost, std::memory_order_relaxed); }

void pask_sync_dropped(void) {
  std::unique_lock<std::mutex> lock(dropped_sync_mu, std::try_to_lock);
  if (!lock.owns_lock()) return; /* another thread is at it */
  uint64_t now = pask_module_dropped();
  /* A restarted bus module counts from 0 again. */
  uint64_t delta = now >= dropped_seen ? now - dropped_seen : now;
  dropped_seen = now;
  if (delta) stats_add64(pask_dropped, (int64_t) delta);
}

/* Bus messages of the payloads a worker has finished. They go back to the bus client in bunches:
 * the client wakes its collector thread whenever its list of released messages turns non-empty, so
 * every giving back costs a wake-up. A worker gives them back at the end of a run of jobs once they
 * make a bunch (run_done_kept_bunch messages or run_done_kept_bunch_bytes of payload), and during a
 * long run whenever its list is full; at a few thousand payloads a second, where each run is one
 * payload, that is one wake-up per bunch instead of one per payload. An idle worker holds less than
 * a bunch until its next run (memory only: the payloads are done with). */
static constexpr int run_done_kept_max = 256;
static constexpr int run_done_kept_bunch = 64;
static constexpr size_t run_done_kept_bunch_bytes = 64 * 1024;
static thread_local pask_kept_msg *run_done_kept[run_done_kept_max];
static thread_local int run_done_kept_count = 0;
static thread_local size_t run_done_kept_bytes = 0;

static void run_done_kept_release(void) {
  for (int i = 0; i < run_done_kept_count; i++) pask_kept_msg_release(run_done_kept[i]);
  run_done_kept_count = 0;
  run_done_kept_bytes = 0;
}

static void run_done_kept_add(pask_kept_msg *kept, size_t payload_len) {
  if (run_done_kept_count == run_done_kept_max) run_done_kept_release();
  run_done_kept[run_done_kept_count++] = kept;
  run_done_kept_bytes += payload_len;
}

/* End of a payload worker's run of jobs: gives the bus messages it holds back to the bus client if
 * they make a bunch, and lets the run's deferred websocket writes go. */
static void payload_run_end(void) {
  if (run_done_kept_count >= run_done_kept_bunch || run_done_kept_bytes >= run_done_kept_bunch_bytes)
    run_done_kept_release();
  zint_http_websocket_defer_flush();
}

/* ---- payload batches ----
 * A job carries a batch of payloads, not one: the hook queues a batch with its first payload and
 * keeps adding to it for as long as no worker has taken it (up to PASK_BATCH_MAX). A payload thus
 * never waits for a batch to fill (an idle worker takes a batch of one at once), while a bus that
 * outruns the workers costs one job, one event and one queue round trip per batch instead of per
 * payload.
 *
 * state holds the number of payloads published to the worker and the TAKEN bit. The hook writes
 * the next entry and then publishes it with a compare-and-swap (release); the worker sets TAKEN
 * (acquire) and reads the count the swap left: a payload whose swap lost to TAKEN goes into a new
 * batch. The hook's thread and the job share the batch; the last of the two to let go frees it. */
static constexpr uint32_t batch_taken = 1u << 31;

struct payload_batch {
  std::atomic<uint32_t> state{0};
  std::atomic<int> refs{2}; /* the job and the hook thread's open-batch slot */
  payload_data_t entries[PASK_BATCH_MAX];
};

static void payload_batch_unref(payload_batch *b) {
  if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b;
}

/* The batch the hook's thread adds to; let go when it is taken or full, or when the thread ends. */
struct open_batch_slot {
  payload_batch *b = nullptr;
  void drop() {
    if (b) payload_batch_unref(b);
    b = nullptr;
  }
  ~open_batch_slot() { drop(); }
};
static thread_local open_batch_slot open_batch;

static void payload_data_done(payload_data_t *d) {
  backlog_release(d->cost);
  if (d->kept) run_done_kept_add(d->kept, d->payload_len);
  else free(d->payload);
}

/* Hands one payload to the payload queue; false when the queue refused it (the caller still owns
 * the payload). */
static bool payload_enqueue(const payload_data_t &d) {
  if (payload_batch *b = open_batch.b) {
    uint32_t n = b->state.load(std::memory_order_relaxed);
    if (!(n & batch_taken) && n < PASK_BATCH_MAX) {
      b->entries[n] = d;
      if (b->state.compare_exchange_strong(n, n + 1, std::memory_order_release, std::memory_order_relaxed))
        return true;
    }
    open_batch.drop(); /* taken or full: a new batch */
  }
  payload_batch *b = new (std::nothrow) payload_batch;
  if (!b) zint_fatal("[FATAL] vorn_pask: payload batch allocation failed\n");
  b->entries[0] = d;
  b->state.store(1, std::memory_order_relaxed);
  eventer_t e = eventer_alloc_asynch(handle_pask_message_asynch, b);
  if (!eventer_add_asynch(process_pask_message_jobq, e)) {
    /* The queue refused it (its own bound): the event is gone, the batch is still ours. */
    delete b;
    return false;
  }
  open_batch.b = b; /* the queue's publication of the job ordered the entry before any worker */
  return true;
}

/* The bus client's delivery thread and the payload workers call into this module from code that
 * cannot take an exception: the framework's queue, the JSON of a frame and the log's cleaned texts
 * report a failed allocation with one, and it ends the process here like every other failed
 * allocation, with a fatal line instead of an unwinding into the bus client. */
template <typename F> static auto pask_no_throw(const char *where, F &&f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::bad_alloc &) {
    zint_fatal("[FATAL] vorn_pask: allocation failed in %s\n", where);
  } catch (const std::exception &e) {
    zint_fatal("[FATAL] vorn_pask: %s threw: %s\n", where, e.what());
  }
}

static zint_hook_return_t pask_hook(struct pask_msg *msg, const void *vpayload, size_t payload_len);

zint_hook_return_t handle_pask_message(void *, struct pask_conn_s *, int, struct pask_msg *msg,
                                       const void *vpayload, size_t payload_len) {
  return pask_no_throw("the bus hook", [&] { return pask_hook(msg, vpayload, payload_len); });
}

static zint_hook_return_t pask_hook(struct pask_msg *msg, const void *vpayload, size_t payload_len) {
  if (!vpayload || payload_len == 0) return ZINT_HOOK_CONTINUE;
  /* The module lets hooks overwrite bytes of the payload and puts a NUL after it, so the text is
   * terminated either way. Only a newline terminator is dropped: a payload without one keeps its
   * last character. */
  char *payload = (char *) vpayload;
  if (payload[payload_len - 1] == '\n') payload[--payload_len] = '\0';
  stats_add64(firehose, 1);

  uint64_t now_s = vorn_monotonic_s();
  uint64_t last = dropped_sync_s.load(std::memory_order_relaxed);
  if (now_s != last && dropped_sync_s.compare_exchange_strong(last, now_s, std::memory_order_relaxed))
    pask_sync_dropped();

  if (!use_jobq_for_data_processing.load(std::memory_order_relaxed) || !process_pask_message_jobq) {
    zint_http_websocket_defer_begin(); /* a bundle's lines go out together */
    handle_payload(payload, payload_len);
    zint_http_websocket_defer_flush();
    return ZINT_HOOK_CONTINUE;
  }

  size_t cost = payload_len + 1 + sizeof(payload_data_t) + pask_job_allowance;
  if (!backlog_reserve(cost)) {
    stats_add64(pask_dropped, 1);
    return ZINT_HOOK_CONTINUE;
  }
  /* The payload travels in the bus message itself when the module lets the hook keep it (no
   * copy, and the message's release happens on the queue thread); otherwise in a copy. */
  payload_data_t d{};
  d.kept = pask_msg_keep(msg);
  if (d.kept) {
    d.payload = payload;
  } else {
    d.payload = (char *) malloc(payload_len + 1);
    ZINT_ASSERT(d.payload);
    memcpy(d.payload, payload, payload_len);
    d.payload[payload_len] = '\0';
  }
  d.payload_len = payload_len;
  d.cost = cost;
  if (!payload_enqueue(d)) {
    backlog_release(cost);
    if (d.kept) pask_kept_msg_release(d.kept);
    else free(d.payload);
    stats_add64(pask_dropped, 1);
  }
  return ZINT_HOOK_CONTINUE;
}

static void payload_batch_work(payload_batch *b);

int handle_pask_message_asynch(eventer_t, int mask, void *closure, struct timeval *) {
  payload_batch *b = (payload_batch *) closure;
  if (mask == EVENTER_ASYNCH_WORK) pask_no_throw("a payload job", [&] { payload_batch_work(b); });
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    /* Taken in WORK on this thread: the count no longer changes. */
    uint32_t n = b->state.load(std::memory_order_relaxed) & ~batch_taken;
    for (uint32_t i = 0; i < n; i++) payload_data_done(&b->entries[i]);
    payload_batch_unref(b);
  }
  return 0;
}

/* A batch taken by its job: the duplicate test of every payload, then the ones that pass. */
static void payload_batch_work(payload_batch *b) {
  uint32_t n = b->state.fetch_or(batch_taken, std::memory_order_acquire) & ~batch_taken;
  /* The duplicate test of the whole batch first, so that the adds do not wait for memory one
   * after the other: every digest's shard is asked for while the next payloads are digested,
   * then every slot (a cache and TLB miss in a bucket of many digests), then the adds. */
  dedupe_probe probe[PASK_BATCH_MAX];
  bool dup[PASK_BATCH_MAX];
  zint_memory_begin();
  for (uint32_t i = 0; i < n; i++) {
    dedupe.look(b->entries[i].payload, b->entries[i].payload_len, &probe[i]);
    if (probe[i].seen) zint_digest_set_prefetch_shard(probe[i].seen, probe[i].digest);
  }
  for (uint32_t i = 0; i < n; i++)
    if (probe[i].seen) zint_digest_set_prefetch_slot(probe[i].seen, probe[i].digest);
  for (uint32_t i = 0; i < n; i++) dup[i] = dedupe_table::settle(&probe[i]);
  zint_memory_end();
  for (uint32_t i = 0; i < n; i++)
    if (!dup[i]) dispatch_payload(b->entries[i].payload, b->entries[i].payload_len);
}

static bool is_sample_kind(char c) { return c == MESSAGE_TYPE_M || c == MESSAGE_TYPE_H; }

void handle_payload(const char *payload, size_t payload_len) {
  if (!is_duplicate(payload, payload_len)) dispatch_payload(payload, payload_len);
}

/* A bus line or payload that cannot become a frame: counted in "mq"/"bad_lines" and logged with
 * the reason, each reason with its own allowance of lines a second (the bus can repeat a bad
 * payload at will). A refusal that came from a failed allocation is no fault of the payload. */
void pask_bad_line(const char *why, const char *text, size_t len) {
  if (why == harl_why_no_memory) zint_fatal("[FATAL] vorn_pask: allocation failed decoding a bus payload\n");
  if (!why) why = "refused";
  stats_add64(pask_bad_lines, 1);
  ZINT_LOG_LIMITED_KEY(zint_error, why, "vorn_pask: bus line refused (%s): %s\n", why, ZINT_LOG_TEXTN(text, len));
}

static void handle_line(const char *line, size_t len);

/* A payload that passed the duplicate test: its line, or each line of its bundle. */
static void dispatch_payload(const char *payload, size_t payload_len) {
  if (payload_len == 0) return;
  if (is_sample_kind(payload[0])) {
    handle_line(payload, payload_len);
  } else if (payload[0] == MESSAGE_TYPE_B) {
    const char *why = "bundle: over 16 MiB or holding a NUL byte"; /* far beyond any the expansion accepts */
    char **lines = nullptr;
    int cnt = payload_len > INT_MAX ? -1 : harl_check_log_b_to_sm_why(payload, (int) payload_len, &lines, -1, &why);
    if (cnt < 0) pask_bad_line(why, payload, payload_len);
    if (!lines) return;
    for (int i = 0; i < cnt; i++) {
      if (lines[i] && is_sample_kind(lines[i][0])) handle_line(lines[i], strlen(lines[i]));
      free(lines[i]);
    }
    free(lines);
  }
}

void handle_individual_message(const char *line) { handle_line(line, strlen(line)); }

/* One M or H line of len bytes (NUL-terminated at len): decoded, and broadcast to the watchers of
 * its check. The length is the payload's, so that a NUL inside the payload refuses it instead of
 * cutting it short. */
static void handle_line(const char *line, size_t len) {
  harl_metric_message_t *message = (harl_metric_message_t *) calloc(1, sizeof(harl_metric_message_t));
  ZINT_ASSERT(message);
  message->original_message = line;
  message->original_message_len = len;
  message->type = (harl_message_type) line[0];
  const char *why = nullptr;
  int rc = harl_message_decoder_parse_line_why(message, -1, &why);
  if (rc == 1) {
    char key[UUID_PRINTABLE_STRING_LENGTH] = {0};
    zint_uuid_unparse_lower(message->id.id, key);
    sc_callback_data_t data = {message, nullptr, nullptr, false};
    stream_hash_get_stream_closure(key, UUID_PRINTABLE_STRING_LENGTH, nullptr, sc_callback,
                                   sc_optimize_closure_callback, &data);
    if (data.json_obj) zint_json_object_put(data.json_obj);
  } else if (rc < 0) {
    pask_bad_line(why, line, len);
  }
  harl_metric_message_free(message);
}

/* ---- duplicate suppression ---- */

zint_boolean is_duplicate(const char *payload, size_t payload_len) { return dedupe.test(payload, payload_len); }

zint_digest_set *get_dedupe_hash(uint64_t whence) { return dedupe.bucket(whence); }

int prune_dedupe_hashes(eventer_t, int, void *, struct timeval *) {
  pask_sync_dropped(); /* keeps "mq"/"dropped" current when the bus falls quiet */
  eventer_t e = eventer_alloc_asynch(prune_dedupe_hashes_asynch, nullptr);
  if (!eventer_add_asynch(prune_dedupe_jobq, e)) {
    /* Cannot happen with an unbounded queue; keep the cycle alive all the same. */
    eventer_add_in_s_us(prune_dedupe_hashes, nullptr, prune_period_s, 0);
  }
  return 0;
}

int prune_dedupe_hashes_asynch(eventer_t, int mask, void *, struct timeval *) {
  if (mask == EVENTER_ASYNCH_WORK) (void) dedupe.prune(vorn_monotonic_s());
  if (mask == EVENTER_ASYNCH_COMPLETE) eventer_add_in_s_us(prune_dedupe_hashes, nullptr, prune_period_s, 0);
  return 0;
}

/* ---- tests, tools and statistics ---- */

int pask_prune_dedupe_at(uint64_t now_s) { return dedupe.prune(now_s); }

int pask_dedupe_bucket_count(void) { return dedupe.bucket_count(); }

int64_t pask_dedupe_last_touched(uint64_t whence) { return dedupe.last_touched(whence); }

size_t pask_backlog_bytes(void) { return backlog_used.load(std::memory_order_relaxed); }

void pask_set_backlog_limit(size_t bytes) { backlog_limit = bytes; }

void pask_set_use_jobq(zint_boolean on) { use_jobq_for_data_processing = on; }
