/* zint hash table: chained buckets whose chains readers walk without a lock inside a safe-memory
 * section. Writers hold the table's mutex; removed entries and outgrown bucket arrays are released
 * through zint_memory_safe_free, so a reader that still holds them never sees freed memory. Growth
 * builds a new array of copied entries and leaves the old array intact for walks still on it. */
#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <cstdlib>
#include <cstring>
#include <new>

#define ZINT_HASH_MIN_BUCKETS 4u
#define ZINT_HASH_LAZY_BUCKETS 8u
#define ZINT_HASH_MAX_BUCKETS (1u << 30)

/* One entry. Immutable once published except next (and the free functions, set by the deleting
 * writer before the entry is handed to safe memory). */
struct zint_hash_node {
  std::atomic<zint_hash_node *> next; /* written under the table lock, read lock-free */
  uint64_t hash;
  const char *key; /* owned by the table's entry; freed by keyfree at deletion */
  int klen;
  void *data;
  ZintHashFreeFunc keyfree;  /* set at deletion; run by the node's cleanup */
  ZintHashFreeFunc datafree; /* set at deletion; run by the node's cleanup */
};

/* A bucket array; never resized in place. */
struct zint_hash_slots {
  unsigned int mask;                      /* buckets - 1, a power of two minus one */
  bool outgrown;                          /* replaced by a copy: its nodes are shells whose keys
                                             and values moved on, freed with the array */
  std::atomic<zint_hash_node *> bucket[]; /* chain heads */
};

namespace {

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = (__uint128_t) a * b;
  return (uint64_t) r ^ (uint64_t) (r >> 64);
}

void node_cleanup(void *p) {
  auto *n = static_cast<zint_hash_node *>(p);
  if (n->keyfree) n->keyfree((void *) n->key);
  if (n->datafree) n->datafree(n->data);
}

/* The safe-memory cleanup of a bucket array: an outgrown array takes its shells with it, in one
 * grace period for all of them rather than one each. */
void slots_cleanup(void *p) {
  auto *s = static_cast<zint_hash_slots *>(p);
  if (!s->outgrown) return;
  for (unsigned int i = 0; i <= s->mask; i++) {
    zint_hash_node *n = s->bucket[i].load(std::memory_order_relaxed);
    while (n) {
      zint_hash_node *next = n->next.load(std::memory_order_relaxed);
      zint_memory_safe_free_now(n); /* a shell: no free functions set */
      n = next;
    }
  }
}

zint_hash_slots *slots_new(unsigned int buckets) {
  size_t bytes = sizeof(zint_hash_slots) + (size_t) buckets * sizeof(std::atomic<zint_hash_node *>);
  auto *s = static_cast<zint_hash_slots *>(zint_memory_safe_malloc_cleanup(bytes, slots_cleanup));
  ZINT_ASSERT(s != nullptr);
  s->mask = buckets - 1; /* zero bytes are null atomic pointers on every platform we build for */
  return s;
}

zint_hash_node *node_new(uint64_t hash, const char *key, int klen, void *data) {
  auto *n = static_cast<zint_hash_node *>(zint_memory_safe_malloc_cleanup(sizeof(zint_hash_node), node_cleanup));
  ZINT_ASSERT(n != nullptr);
  n->hash = hash;
  n->key = key;
  n->klen = klen;
  n->data = data;
  return n;
}

unsigned int buckets_for(long entries) {
  unsigned int b = ZINT_HASH_MIN_BUCKETS;
  while (b < ZINT_HASH_MAX_BUCKETS && (long) b < entries) b <<= 1;
  return b;
}

inline bool node_matches(const zint_hash_node *n, uint64_t hash, const char *key, int klen) {
  return n->hash == hash && n->klen == klen && (klen == 0 || memcmp(n->key, key, (size_t) klen) == 0);
}

/* Chain walk; the caller is in a safe-memory section or holds the lock. */
zint_hash_node *slots_find(zint_hash_slots *s, uint64_t hash, const char *key, int klen) {
  for (zint_hash_node *n = s->bucket[hash & s->mask].load(std::memory_order_acquire); n;
       n = n->next.load(std::memory_order_acquire))
    if (node_matches(n, hash, key, klen)) return n;
  return nullptr;
}

bool key_ok(const char *fn, const char *key, int klen) {
  if (klen < 0 || (klen > 0 && !key)) {
    zint_log(zint_error, "%s: invalid key (length %d)\n", fn, klen);
    return false;
  }
  return true;
}

void table_setup(zint_hash_table *h, unsigned int buckets, int lock_mode) {
  pthread_mutex_init(&h->lock, nullptr);
  h->lock_mode = lock_mode;
  h->size.store(0, std::memory_order_relaxed);
  h->slots.store(slots_new(buckets), std::memory_order_release);
}

/* Inserts a new entry at the head of its chain. With the lock of the array's owner held. */
void slots_insert(zint_hash_slots *s, uint64_t hash, const char *key, int klen, void *data) {
  zint_hash_node *n = node_new(hash, key, klen, data);
  auto &head = s->bucket[hash & s->mask];
  n->next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
  head.store(n, std::memory_order_release);
}

/* Copies every entry of old into s (keys and values move to the copies) and hands old's shells and
 * old itself to safe memory; walks still on old carry on over intact chains. With the lock held. */
void slots_move(zint_hash_slots *old, zint_hash_slots *(*dest)(void *, uint64_t), void *ctx) {
  for (unsigned int i = 0; i <= old->mask; i++) {
    for (zint_hash_node *n = old->bucket[i].load(std::memory_order_relaxed); n;
         n = n->next.load(std::memory_order_relaxed)) {
      zint_hash_slots *s = dest(ctx, n->hash);
      zint_hash_node *c = node_new(n->hash, n->key, n->klen, n->data);
      auto &head = s->bucket[c->hash & s->mask];
      c->next.store(head.load(std::memory_order_relaxed), std::memory_order_relaxed);
      head.store(c, std::memory_order_relaxed);
    }
  }
}

void slots_free_shells(zint_hash_slots *old) {
  old->outgrown = true;
  zint_memory_safe_free(old);
}

/* Doubles the array at *where until the average chain is at most one entry long. With the lock of
 * the array's owner held. */
void slots_grow(std::atomic<zint_hash_slots *> &where, zint_hash_slots *old) {
  unsigned int buckets = (old->mask + 1) * 2;
  if (buckets > ZINT_HASH_MAX_BUCKETS) return;
  zint_hash_slots *s = slots_new(buckets);
  slots_move(old, [](void *ctx, uint64_t) { return static_cast<zint_hash_slots *>(ctx); }, s);
  where.store(s, std::memory_order_release);
  slots_free_shells(old);
}

/* Unlinks the entry; its free functions run after a grace period. With the owner's lock held. */
bool slots_unlink(zint_hash_slots *s, std::atomic<int> &size, uint64_t hash, const char *key, int klen,
                  ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree) {
  std::atomic<zint_hash_node *> *link = &s->bucket[hash & s->mask];
  for (zint_hash_node *n = link->load(std::memory_order_relaxed); n;
       link = &n->next, n = link->load(std::memory_order_relaxed)) {
    if (!node_matches(n, hash, key, klen)) continue;
    /* n keeps its next pointer, so a walk standing on n carries on past it. */
    link->store(n->next.load(std::memory_order_relaxed), std::memory_order_release);
    size.store(size.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    n->keyfree = keyfree;
    n->datafree = datafree;
    zint_memory_safe_free(n);
    return true;
  }
  return false;
}

struct table_lock {
  pthread_mutex_t *m;
  explicit table_lock(pthread_mutex_t *mu) : m(mu) { pthread_mutex_lock(m); }
  explicit table_lock(zint_hash_table *h) : table_lock(&h->lock) {}
  ~table_lock() { pthread_mutex_unlock(m); }
  table_lock(const table_lock &) = delete;
  table_lock &operator=(const table_lock &) = delete;
};

/* Hands every entry of s, and s itself, to safe memory with the given free functions. */
void slots_release(zint_hash_slots *s, ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree, bool now) {
  for (unsigned int i = 0; i <= s->mask; i++) {
    zint_hash_node *n = s->bucket[i].load(std::memory_order_relaxed);
    while (n) {
      zint_hash_node *next = n->next.load(std::memory_order_relaxed);
      n->keyfree = keyfree;
      n->datafree = datafree;
      if (now) zint_memory_safe_free_now(n);
      else zint_memory_safe_free(n);
      n = next;
    }
  }
  if (now) zint_memory_safe_free_now(s);
  else zint_memory_safe_free(s);
}

/* ---- sharding: a flat table that outgrows SHARD_AT buckets becomes a directory of shards ---- */

inline bool is_dir(const zint_hash_slots *s) { return ((uintptr_t) s & 1u) != 0; }
inline zint_hash_dir *dir_of(zint_hash_slots *s) { return reinterpret_cast<zint_hash_dir *>((uintptr_t) s & ~(uintptr_t) 1); }
inline zint_hash_slots *dir_tag(zint_hash_dir *d) { return reinterpret_cast<zint_hash_slots *>((uintptr_t) d | 1u); }

}  // namespace

/* One shard: its own writer lock and bucket array, on a cache line of its own. */
struct alignas(64) zint_hash_shard {
  pthread_mutex_t lock;
  std::atomic<zint_hash_slots *> slots;
  std::atomic<int> size; /* written under lock */
};

struct zint_hash_dir {
  static constexpr unsigned int bits = 6;
  zint_hash_shard shard[1u << bits];
  /* The top bits of the hash pick the shard; the low bits pick the bucket inside it. */
  zint_hash_shard &of(uint64_t hash) { return shard[hash >> (64 - bits)]; }
};

namespace {

constexpr unsigned int SHARDS = 1u << zint_hash_dir::bits;
constexpr unsigned int SHARD_AT = 4096u;

/* Replaces the flat array old by a directory of shards holding copies of its entries. With the
 * table lock held; the directory stays until the table is destroyed. */
void table_shard_locked(zint_hash_table *h, zint_hash_slots *old) {
  auto *d = new zint_hash_dir;
  unsigned int per = (old->mask + 1) * 2 / SHARDS;
  for (auto &sh : d->shard) {
    pthread_mutex_init(&sh.lock, nullptr);
    sh.slots.store(slots_new(per < ZINT_HASH_MIN_BUCKETS ? ZINT_HASH_MIN_BUCKETS : per), std::memory_order_relaxed);
    sh.size.store(0, std::memory_order_relaxed);
  }
  slots_move(old, [](void *ctx, uint64_t hash) {
    zint_hash_shard &sh = static_cast<zint_hash_dir *>(ctx)->of(hash);
    sh.size.store(sh.size.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return sh.slots.load(std::memory_order_relaxed);
  }, d);
  h->slots.store(dir_tag(d), std::memory_order_release);
  slots_free_shells(old);
}

bool shard_store(zint_hash_shard &sh, uint64_t hash, const char *key, int klen, void *data) {
  table_lock g(&sh.lock);
  zint_hash_slots *s = sh.slots.load(std::memory_order_relaxed);
  if (slots_find(s, hash, key, klen)) return false;
  slots_insert(s, hash, key, klen, data);
  int size = sh.size.load(std::memory_order_relaxed) + 1;
  sh.size.store(size, std::memory_order_relaxed);
  if ((unsigned int) size > s->mask + 1) slots_grow(sh.slots, s);
  return true;
}

}  // namespace

uint64_t zint_hash_bytes(const void *key, size_t len) {
  const auto *p = static_cast<const unsigned char *>(key);
  uint64_t h = mix(len ^ 0x9E3779B97F4A7C15ull, 0xD6E8FEB86659FD93ull);
  while (len >= 8) {
    uint64_t v;
    memcpy(&v, p, 8);
    h = mix(h ^ v, 0xBF58476D1CE4E5B9ull);
    p += 8;
    len -= 8;
  }
  if (len) {
    uint64_t v = 0;
    memcpy(&v, p, len);
    h = mix(h ^ v ^ ((uint64_t) len << 59), 0x94D049BB133111EBull);
  }
  return mix(h, 0x9E3779B97F4A7C15ull);
}

void zint_hash_init_locks(zint_hash_table *h, int size, int lock_mode) {
  ZINT_ASSERT(h != nullptr);
  if (h->slots.load(std::memory_order_acquire)) {
    zint_log(zint_error, "zint_hash_init: table already initialised; left as it is\n");
    return;
  }
  table_setup(h, buckets_for(size), lock_mode);
}

void zint_hash_init_size(zint_hash_table *h, int size) {
  zint_hash_init_locks(h, size, ZINT_HASH_LOCK_MODE_NONE);
}

void zint_hash_init(zint_hash_table *h) { zint_hash_init_locks(h, ZINT_HASH_LAZY_BUCKETS, ZINT_HASH_LOCK_MODE_NONE); }

zint_boolean zint_hash_retrieve(zint_hash_table *h, const char *key, int klen, void **data) {
  if (!h || !key_ok("zint_hash_retrieve", key, klen)) return false;
  uint64_t hash = zint_hash_bytes(key, (size_t) klen);
  zint_memory_begin();
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (is_dir(s)) s = dir_of(s)->of(hash).slots.load(std::memory_order_acquire);
  zint_hash_node *n = s ? slots_find(s, hash, key, klen) : nullptr;
  if (n && data) *data = n->data;
  zint_memory_end();
  return n != nullptr;
}

zint_boolean zint_hash_store(zint_hash_table *h, const char *key, int klen, void *data) {
  if (!h || !key_ok("zint_hash_store", key, klen)) return false;
  uint64_t hash = zint_hash_bytes(key, (size_t) klen);
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (!is_dir(s)) {
    table_lock g(h);
    s = h->slots.load(std::memory_order_relaxed);
    if (!s) {
      /* A zeroed table: its zero-byte mutex is a valid unlocked mutex, so set it up here. */
      s = slots_new(ZINT_HASH_LAZY_BUCKETS);
      h->slots.store(s, std::memory_order_release);
    }
    if (!is_dir(s)) { /* else sharded while this thread waited for the lock */
      if (slots_find(s, hash, key, klen)) return false;
      slots_insert(s, hash, key, klen, data);
      int size = h->size.load(std::memory_order_relaxed) + 1;
      h->size.store(size, std::memory_order_relaxed);
      if ((unsigned int) size > s->mask + 1) {
        if (s->mask + 1 >= SHARD_AT) table_shard_locked(h, s);
        else slots_grow(h->slots, s);
      }
      return true;
    }
  }
  return shard_store(dir_of(s)->of(hash), hash, key, klen, data);
}

zint_boolean zint_hash_delete(zint_hash_table *h, const char *key, int klen, ZintHashFreeFunc keyfree,
                              ZintHashFreeFunc datafree) {
  if (!h || !key_ok("zint_hash_delete", key, klen)) return false;
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (!s) return false;
  uint64_t hash = zint_hash_bytes(key, (size_t) klen);
  if (!is_dir(s)) {
    table_lock g(h);
    s = h->slots.load(std::memory_order_relaxed);
    if (!is_dir(s)) return slots_unlink(s, h->size, hash, key, klen, keyfree, datafree);
  }
  zint_hash_shard &sh = dir_of(s)->of(hash);
  table_lock g(&sh.lock);
  return slots_unlink(sh.slots.load(std::memory_order_relaxed), sh.size, hash, key, klen, keyfree, datafree);
}

void zint_hash_delete_all(zint_hash_table *h, ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree) {
  if (!h || !h->slots.load(std::memory_order_acquire)) return;
  table_lock g(h);
  zint_hash_slots *old = h->slots.load(std::memory_order_relaxed);
  if (!is_dir(old)) {
    h->slots.store(slots_new(old->mask + 1), std::memory_order_release);
    h->size.store(0, std::memory_order_relaxed);
    slots_release(old, keyfree, datafree, false);
    return;
  }
  for (auto &sh : dir_of(old)->shard) {
    zint_hash_slots *gone;
    {
      table_lock sg(&sh.lock);
      gone = sh.slots.load(std::memory_order_relaxed);
      sh.slots.store(slots_new(SHARD_AT * 2 / SHARDS), std::memory_order_release);
      sh.size.store(0, std::memory_order_relaxed);
    }
    slots_release(gone, keyfree, datafree, false);
  }
}

void zint_hash_destroy(zint_hash_table *h, ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree) {
  if (!h) return;
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (!s) return;
  h->slots.store(nullptr, std::memory_order_relaxed);
  h->size.store(0, std::memory_order_relaxed);
  if (is_dir(s)) {
    zint_hash_dir *d = dir_of(s);
    for (auto &sh : d->shard) {
      slots_release(sh.slots.load(std::memory_order_relaxed), keyfree, datafree, true);
      pthread_mutex_destroy(&sh.lock);
    }
    delete d;
  } else {
    slots_release(s, keyfree, datafree, true);
  }
  pthread_mutex_destroy(&h->lock);
  memset((void *) &h->lock, 0, sizeof(h->lock));
  h->lock_mode = 0;
}

zint_boolean zint_hash_adv(zint_hash_table *h, zint_hash_iter *iter, const char **key, int *klen,
                           void **data) {
  if (!h || !iter) return false;
  if (!iter->slots) {
    if (iter->bucket != 0) return false; /* an ended walk stays ended */
    zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
    if (!s) {
      iter->bucket = 1;
      return false;
    }
    if (is_dir(s)) {
      iter->dir = dir_of(s);
      iter->shard = 0;
      s = iter->dir->shard[0].slots.load(std::memory_order_acquire);
    }
    iter->slots = s;
  }
  zint_hash_slots *s = iter->slots;
  auto *n = static_cast<zint_hash_node *>(iter->node);
  n = n ? n->next.load(std::memory_order_acquire) : nullptr;
  while (!n) {
    if (iter->bucket > s->mask) {
      if (iter->dir && iter->shard + 1 < SHARDS) {
        /* Each shard is walked on the array it has when the walk reaches it. */
        s = iter->slots = iter->dir->shard[++iter->shard].slots.load(std::memory_order_acquire);
        iter->bucket = 0;
        continue;
      }
      iter->slots = nullptr;
      iter->dir = nullptr;
      iter->node = nullptr;
      iter->bucket = 1;
      return false;
    }
    n = s->bucket[iter->bucket++].load(std::memory_order_acquire);
  }
  iter->node = n;
  iter->key = n->key;
  iter->klen = n->klen;
  iter->value = n->data;
  if (key) *key = n->key;
  if (klen) *klen = n->klen;
  if (data) *data = n->data;
  return true;
}

zint_boolean zint_hash_next(zint_hash_table *h, zint_hash_iter *iter, const char **key, int *klen,
                            void **data) {
  return zint_hash_adv(h, iter, key, klen, data);
}

int zint_hash_size(zint_hash_table *h) {
  if (!h) return 0;
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (!is_dir(s)) return h->size.load(std::memory_order_relaxed);
  int n = 0;
  for (auto &sh : dir_of(s)->shard) n += sh.size.load(std::memory_order_relaxed);
  return n;
}
