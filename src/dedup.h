/* dedup: duplicate suppression of bus payloads. A payload whose bytes were seen before with the same
 * timestamp is a duplicate: the MD5 digests of the payloads seen are kept in one bucket per
 * timestamp, and a prune removes the buckets that no payload has looked at for a while. */
#ifndef VORN_DEDUP_H
#define VORN_DEDUP_H

#include "zint/zint_hash.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

/* A payload's duplicate test between its two steps (dedupe_table::look, then dedupe_table::settle);
 * lives on the caller's stack inside one safe-memory section. */
struct dedupe_probe {
  unsigned char digest[ZINT_DIGEST_LEN]; /* the payload's MD5 digest */
  zint_digest_set *seen; /* the bucket of the payload's timestamp; null: never a duplicate */
};

/* The digests seen, by timestamp. Every member may be called from any thread at any time: the
 * table and each bucket lock internally, buckets are freed through safe memory, and one prune pass
 * runs at a time. A zeroed table is usable; init sizes it and makes its writers lock. */
struct dedupe_table {
  zint_hash_table buckets{};        /* 8-byte timestamp (safe memory block) -> bucket; locks
                                       internally */
  std::atomic<uint8_t> pruning{0};  /* 1 while a prune pass runs; a second pass gives up */

  /* Sizes the table and gives it its writers' lock; once, before payloads flow. */
  void init(void);
  /* True when the payload (NUL-terminated at payload_len) was seen before; remembers it when not.
   * Takes its own safe-memory section. */
  bool test(const char *payload, size_t payload_len);
  /* First step of test: the payload's digest and its timestamp's bucket, into *probe. Inside a
   * safe-memory section only, which must last until settle. */
  void look(const char *payload, size_t payload_len, dedupe_probe *probe);
  /* Second step: whether the looked-at payload was seen before; remembers it when not. */
  static bool settle(const dedupe_probe *probe) {
    return probe->seen && !zint_digest_set_add(probe->seen, probe->digest);
  }
  /* The digest set of timestamp whence, created when missing, its age reset; null only when it
   * was pruned between its creation and the lookup. Inside a safe-memory section only (fatal
   * otherwise); the set stays valid until the section ends. */
  zint_digest_set *bucket(uint64_t whence);
  /* Removes the buckets last looked at more than the maximum age before now_s (monotonic seconds);
   * buckets removed, or -1 when another pass is running. */
  int prune(uint64_t now_s);
  /* Buckets in the table. */
  int bucket_count(void);
  /* The bucket's last lookup (monotonic second), or -1 when there is no bucket for whence. */
  int64_t last_touched(uint64_t whence);
};

/* The timestamp field of a bus line (the digits after the first TAB at or past byte 10), 0 when
 * there is none (logged, rate-limited). msg is NUL-terminated at or after msg_length. */
uint64_t get_message_time(const char *msg, int msg_length);
/* Safe-memory cleanup of a bucket: destroys its digest set. p may be null. */
void hash_and_time_safe_free(void *p);

#endif
