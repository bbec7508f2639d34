/* zint hash table: byte-string keys with a length, pointer values. Open addressing with linear
 * probing: a slot array holds each entry's hash and a pointer to the entry, and readers probe it
 * without a lock inside a safe-memory section. Writers serialise on the table's mutex while the
 * table is small; once it holds 4096 entries it becomes 64 shards, each with its own slot array and
 * mutex (chosen by the key's hash), so that writers of a large table rarely meet and its growth
 * rebuilds a shard's array, not the whole table. A deleted entry leaves a tombstone until the next
 * rebuild. The table is a plain struct that may live by value inside another record; all-zero bytes
 * is "empty". */
#ifndef ZINT_HASH_H
#define ZINT_HASH_H

#include "zint/zint_common.h"

#include <pthread.h>

#include <atomic>

typedef void (*ZintHashFreeFunc)(void *);

struct zint_hash_slots;
struct zint_hash_dir;

/* Zero-initialised (calloc, = {}) it is an empty table that lookups accept and a first store
 * initialises. Must not be copied once used. */
typedef struct zint_hash_table {
  std::atomic<struct zint_hash_slots *> slots; /* current slot array, replaced under lock on growth;
                                                  or, tagged in its lowest bit, the shard directory
                                                  that replaced it for good once the table was large */
  std::atomic<int> size;                       /* entries while flat; written under lock */
  pthread_mutex_t lock;                        /* serialises writers; zero bytes = initialised */
} zint_hash_table;

/* Iteration cursor: start from ZINT_HASH_ITER_ZERO (all zero). */
typedef struct zint_hash_iter {
  struct zint_hash_slots *slots; /* the slot array being walked */
  struct zint_hash_dir *dir;     /* the shard directory being walked, null for a flat table */
  unsigned int shard;            /* the shard whose array is being walked */
  unsigned int bucket;           /* next slot to visit */
  void *node;                    /* the entry last returned */
  const char *key;               /* the entry last returned, for callers that prefer fields */
  int klen;
  void *value;
} zint_hash_iter;
#define ZINT_HASH_ITER_ZERO {nullptr, nullptr, 0, 0, nullptr, nullptr, 0, nullptr}

/* Initialises an empty table with room for about size entries (zint_hash_init: a few) before the
 * first growth; writers always serialise inside the table. A table already initialised is left as
 * it is (logged). */
void zint_hash_init(zint_hash_table *h);
void zint_hash_init_size(zint_hash_table *h, int size);

/* True and *data set when klen bytes of key are present. A value (and the stored key) stays valid
 * only while the caller is inside zint_memory_begin/end, or while no other thread may delete it. */
zint_boolean zint_hash_retrieve(zint_hash_table *h, const char *key, int klen, void **data);
/* True only when it inserted; the table then owns key as given (it does not copy). False when the
 * key was present (the caller keeps its key) or klen is negative. */
zint_boolean zint_hash_store(zint_hash_table *h, const char *key, int klen, void *data);
/* Removes the entry; keyfree runs on the stored key and datafree on the value (either may be null)
 * once no thread can still be reading them (after a safe-memory grace period). False when absent. */
zint_boolean zint_hash_delete(zint_hash_table *h, const char *key, int klen, ZintHashFreeFunc keyfree,
                              ZintHashFreeFunc datafree);
/* Frees every entry now (keyfree, datafree as above) and leaves the table zeroed. Only when no
 * other thread uses the table. A zeroed table is accepted. */
void zint_hash_destroy(zint_hash_table *h, ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree);
/* Deletes every entry as zint_hash_delete does, keeping the table usable. */
void zint_hash_delete_all(zint_hash_table *h, ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree);

/* Iteration: each call returns the next entry (true) or ends the walk (false). While other threads
 * insert and delete, iterate inside zint_memory_begin/end: every entry present for the whole walk
 * is returned once, entries added or removed meanwhile may or may not be (a key deleted and stored
 * again meanwhile is two entries, and may be returned twice). */
zint_boolean zint_hash_adv(zint_hash_table *h, zint_hash_iter *iter, const char **key, int *klen,
                           void **data);

int zint_hash_size(zint_hash_table *h);

/* The hash function of the table (64-bit), for callers that want to shard by it. It starts from a
 * secret of the process: keys come from outside (watch ids, metric names, JSON member names), and
 * nobody must be able to compute keys that share a slot. The same key hashes alike within one
 * process only, so iteration orders differ from run to run. */
uint64_t zint_hash_bytes(const void *key, size_t len);

/* A set of 16-byte digests (MD5 and the like) for remembering what was seen: the digest bytes are
 * kept inline in open-addressed arrays, one per shard, each shard with its own mutex, so that a set
 * of hundreds of thousands of digests costs about 32 bytes per digest and one allocation per
 * growth rather than per digest. Entries are never removed one by one; the set is destroyed whole.
 * The keys must be uniformly distributed (cryptographic digests): their own bytes, mixed with a
 * per-process secret, pick the shard and the slot. All-zero bytes is an empty set. */
#define ZINT_DIGEST_LEN 16
#define ZINT_DIGEST_SET_SHARDS 64

struct zint_digest_shard { /* one cache line */
  pthread_mutex_t lock;     /* zero bytes = initialised */
  unsigned int mask;        /* slots - 1; 0 while the shard has no array (mask and slot are also read
                               without the lock, by the prefetch, and so stored atomically) */
  unsigned int used;        /* digests in the array */
  bool zero_seen;           /* the all-zero digest, which the array uses to mark a free slot */
  unsigned char *slot;      /* (mask + 1) * ZINT_DIGEST_LEN bytes */
};

typedef struct zint_digest_set {
  struct zint_digest_shard shard[ZINT_DIGEST_SET_SHARDS];
} zint_digest_set;

/* True when the digest was not in the set and now is; false when it already was. Of two threads
 * adding the same digest at once, exactly one sees true. */
zint_boolean zint_digest_set_add(zint_digest_set *set, const unsigned char digest[ZINT_DIGEST_LEN]);
/* Start loading the memory that adding this digest will read, so that a caller with several
 * digests at hand waits for their cache misses together rather than once per add: first the
 * digest's shard (prefetch_shard), then, best once the shard has arrived, its slot (prefetch_slot,
 * which reads the shard). Hints only: the set is not changed, and a set that grows meanwhile is
 * read correctly by the add. */
void zint_digest_set_prefetch_shard(zint_digest_set *set, const unsigned char digest[ZINT_DIGEST_LEN]);
void zint_digest_set_prefetch_slot(zint_digest_set *set, const unsigned char digest[ZINT_DIGEST_LEN]);
/* Digests in the set. */
long zint_digest_set_size(zint_digest_set *set);
/* Frees the arrays and leaves the set empty. Only when no other thread uses the set. */
void zint_digest_set_destroy(zint_digest_set *set);

#endif
