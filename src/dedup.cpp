/* dedup: duplicate suppression of bus payloads: MD5 digests in per-timestamp buckets, pruned by
 * age. The table is an object (dedupe_table); the ingest owns the service's one. */
#include "dedup.h"
#include "zint/zint_logsafe.h"

#include "util.h"

#include "zint/zint_log.h"
#include "zint/zint_memory.h"

#include <openssl/evp.h>
#include <openssl/md5.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

/* A dedupe bucket: the digests of the payloads seen with one timestamp. Allocated from safe
 * memory with hash_and_time_safe_free as its cleanup. */
typedef struct {
  zint_digest_set hash;                 /* the 16-byte MD5 digests seen; locks internally */
  std::atomic<uint32_t> last_touched_s; /* monotonic second of the last lookup; written by the
                                           first lookup of each second, read by the prune (relaxed:
                                           a second late is fine) */
} hash_and_time;

/* The prune pass's private list of buckets to remove. */
typedef struct removable_hashes {
  uint64_t key;                  /* the bucket's timestamp */
  hash_and_time *data;           /* the bucket, still reachable until deleted from the table */
  struct removable_hashes *next; /* next node, null at the end */
} removable_hashes;

static constexpr int minimum_bytes_before_second_tab = 10;
static constexpr uint32_t dedupe_max_age_s = 10;

/* MD5 as fetched from the provider once for the whole process (see pask_md5). */
static std::atomic<const EVP_MD *> md5_md{nullptr};

/* ---- timestamps ---- */

/* strtoll(s, nullptr, 10) as uint64_t, read here for the plain digits that timestamps are: up to
 * 18 of them cannot overflow. Anything else (a sign, spaces, a longer number, no digit) is left to
 * strtoll. s ends at a NUL at the latest. */
static uint64_t message_time_at(const char *s) {
  uint64_t v = 0;
  int i = 0;
  for (; i < 18 && s[i] >= '0' && s[i] <= '9'; i++) v = v * 10 + (uint64_t) (s[i] - '0');
  if (i > 0 && !(s[i] >= '0' && s[i] <= '9')) return v;
  return (uint64_t) strtoll(s, nullptr, 10);
}

uint64_t get_message_time(const char *msg, int msg_length) {
  if (msg && msg_length > minimum_bytes_before_second_tab) {
    const char *tab = (const char *) memchr(msg + minimum_bytes_before_second_tab, '\t',
                                            (size_t) (msg_length - minimum_bytes_before_second_tab));
    /* The text after the TAB ends at the payload's NUL at the latest. */
    if (tab) return message_time_at(tab + 1);
  }
  ZINT_LOG_LIMITED(zint_error, "Unable to retrieve timestamp from message: %s\n",
                   msg ? ZINT_LOG_TEXTN(msg, (size_t) (msg_length > 0 ? msg_length : 0)) : "");
  return 0;
}

/* ---- digests ---- */

/* MD5, fetched from the provider once: a digest looked up by name is fetched again by every
 * EVP_DigestInit_ex, which costs more than digesting a bus payload. The fetched digest lives until
 * the process ends. */
static const EVP_MD *pask_md5(void) {
  const EVP_MD *md = md5_md.load(std::memory_order_acquire);
  if (!md) {
    EVP_MD *fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    const EVP_MD *want = fetched ? fetched : EVP_get_digestbyname("MD5");
    const EVP_MD *none = nullptr;
    if (md5_md.compare_exchange_strong(none, want, std::memory_order_acq_rel)) {
      md = want;
    } else { /* another thread won */
      EVP_MD_free(fetched);
      md = none;
    }
  }
  return md;
}

/* Each payload thread keeps one digest context and resets it per payload. */
struct md_ctx_owner {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  ~md_ctx_owner() { EVP_MD_CTX_free(ctx); }
};

/* ---- the table ---- */

void dedupe_table::init(void) { zint_hash_init_size(&buckets, 128); }

/* No bucket (never a duplicate) when the digest fails (logged) or the payload has no usable
 * timestamp. */
void dedupe_table::look(const char *payload, size_t payload_len, dedupe_probe *probe) {
  probe->seen = nullptr;
  bool ok = false;
  static thread_local md_ctx_owner owner;
  EVP_MD_CTX *ctx = owner.ctx;
  const EVP_MD *md = pask_md5();
  if (ctx && md)
    ok = EVP_DigestInit_ex(ctx, md, nullptr) && EVP_DigestUpdate(ctx, payload, payload_len) &&
         EVP_DigestFinal_ex(ctx, probe->digest, nullptr);
  if (!ok) {
    ZINT_LOG_LIMITED(zint_error, "%s: failed to create digest while checking for duplicate: payload |%s|, len %zd\n",
                     "is_duplicate", ZINT_LOG_TEXTN(payload, payload_len), (ssize_t) payload_len);
    return;
  }
  uint64_t whence = get_message_time(payload, payload_len > INT_MAX ? INT_MAX : (int) payload_len);
  if (whence != 0) probe->seen = bucket(whence);
}

bool dedupe_table::test(const char *payload, size_t payload_len) {
  static_assert(MD5_DIGEST_LENGTH == ZINT_DIGEST_LEN, "the bucket keeps MD5 digests");
  dedupe_probe probe;
  zint_memory_begin();
  look(payload, payload_len, &probe);
  bool dup = settle(&probe);
  zint_memory_end();
  return dup;
}

zint_digest_set *dedupe_table::bucket(uint64_t whence) {
  ZINT_ASSERT(zint_memory_in_cs());
  void *found = nullptr;
  hash_and_time *b = nullptr;
  if (zint_hash_retrieve(&buckets, (const char *) &whence, sizeof whence, &found)) {
    b = (hash_and_time *) found;
  } else {
    void *block = zint_memory_safe_malloc_cleanup(sizeof(hash_and_time), hash_and_time_safe_free);
    ZINT_ASSERT(block);
    b = new (block) hash_and_time{}; /* zero bytes: an empty digest set */
    uint64_t *key = (uint64_t *) zint_memory_safe_calloc(sizeof(uint64_t));
    ZINT_ASSERT(key);
    *key = whence;
    if (!zint_hash_store(&buckets, (const char *) key, sizeof *key, b)) {
      zint_memory_safe_free(key);
      zint_memory_safe_free(b);
      b = nullptr;
      if (!zint_hash_retrieve(&buckets, (const char *) &whence, sizeof whence, &found)) return nullptr;
      b = (hash_and_time *) found;
    }
  }
  /* Written only when the second changed: every payload of this second reads the field, and a
   * store per payload would take its cache line away from the other cores each time. */
  uint32_t now = (uint32_t) vorn_monotonic_s();
  if (b->last_touched_s.load(std::memory_order_relaxed) != now)
    b->last_touched_s.store(now, std::memory_order_relaxed);
  return &b->hash;
}

void hash_and_time_safe_free(void *p) {
  if (!p) return;
  hash_and_time *bucket = (hash_and_time *) p;
  zint_digest_set_destroy(&bucket->hash);
}

int dedupe_table::prune(uint64_t now) {
  uint8_t idle = 0;
  if (!pruning.compare_exchange_strong(idle, 1)) return -1;
  int removed = 0;
  zint_memory_begin();
  removable_hashes *head = nullptr, **tail = &head;
  zint_hash_iter iter = ZINT_HASH_ITER_ZERO;
  const char *k;
  int klen;
  void *v;
  while (zint_hash_adv(&buckets, &iter, &k, &klen, &v)) {
    hash_and_time *bucket = (hash_and_time *) v;
    uint32_t touched = bucket->last_touched_s.load(std::memory_order_relaxed);
    if (klen != (int) sizeof(uint64_t) || now <= touched || now - touched <= dedupe_max_age_s) continue;
    removable_hashes *node = (removable_hashes *) calloc(1, sizeof(removable_hashes));
    ZINT_ASSERT(node);
    memcpy(&node->key, k, sizeof node->key);
    node->data = bucket;
    *tail = node;
    tail = &node->next;
  }
  while (head) {
    removable_hashes *node = head;
    head = node->next;
    if (zint_hash_delete(&buckets, (const char *) &node->key, sizeof node->key, zint_memory_safe_free,
                         nullptr)) {
      zint_memory_safe_free(node->data);
      removed++;
    }
    free(node);
  }
  zint_memory_end();
  pruning.store(0);
  return removed;
}

int dedupe_table::bucket_count(void) { return zint_hash_size(&buckets); }

int64_t dedupe_table::last_touched(uint64_t whence) {
  int64_t out = -1;
  void *found = nullptr;
  zint_memory_begin();
  if (zint_hash_retrieve(&buckets, (const char *) &whence, sizeof whence, &found))
    out = ((hash_and_time *) found)->last_touched_s.load(std::memory_order_relaxed);
  zint_memory_end();
  return out;
}
