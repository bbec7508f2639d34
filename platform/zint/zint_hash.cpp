/* zint hash table: open addressing (linear probing) over immutable entries, probed by readers
 * without a lock inside a safe-memory section. Writers hold the table's mutex, or once the table is
 * large the mutex of the shard the key's hash picks. A slot holds an entry's hash and a pointer to
 * it; a slot once filled only ever changes to a tombstone, and growth (or a rebuild that drops the
 * tombstones) fills a new array with the same entries, no copy of them, and retires the old array
 * whole through zint_memory_safe_free, so that walks still on it carry on over it. Removed entries
 * are released through zint_memory_safe_free as well: a reader that still holds one never sees
 * freed memory. */
#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <sys/random.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#define ZINT_HASH_MIN_SLOTS 8u
#define ZINT_HASH_MAX_SLOTS (1u << 30)

/* One entry; immutable once published (the free functions are set by the deleting writer before
 * the entry is handed to safe memory). */
struct zint_hash_node {
  const char *key; /* owned by the table's entry; freed by keyfree at deletion */
  int klen;
  void *data;
  ZintHashFreeFunc keyfree;  /* set at deletion; run by the node's cleanup */
  ZintHashFreeFunc datafree; /* set at deletion; run by the node's cleanup */
};

/* A slot: empty (null), an entry, or a tombstone. hash is written before node is published and
 * never changes after, so a reader that sees the entry sees its hash. */
struct zint_hash_slot {
  std::atomic<uint64_t> hash;
  std::atomic<zint_hash_node *> node;
};

/* A slot array; never resized in place. */
struct zint_hash_slots {
  unsigned int mask;     /* slots - 1, a power of two minus one */
  unsigned int used;     /* slots holding an entry or a tombstone; the owner's writers only */
  zint_hash_slot slot[];
};

namespace {

zint_hash_node tomb_node; /* its address marks a deleted slot */
zint_hash_node *const TOMB = &tomb_node;

inline uint64_t mix(uint64_t a, uint64_t b) {
  __uint128_t r = (__uint128_t) a * b;
  return (uint64_t) r ^ (uint64_t) (r >> 64);
}

/* A secret per process, so that nobody who can choose keys (payloads, JSON member names) can choose
 * where they land (a run of keys on one probe sequence would make every later add walk it). */
uint64_t process_secret() {
  static const uint64_t secret = [] {
    uint64_t v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != (ssize_t) sizeof v) {
      struct timespec ts;
      clock_gettime(CLOCK_REALTIME, &ts);
      v = mix((uint64_t) ts.tv_nsec ^ ((uint64_t) ts.tv_sec << 30), (uint64_t) (uintptr_t) &ts);
    }
    return v | 1;
  }();
  return secret;
}

void node_cleanup(void *p) {
  auto *n = static_cast<zint_hash_node *>(p);
  if (n->keyfree) n->keyfree((void *) n->key);
  if (n->datafree) n->datafree(n->data);
}

/* Arrays from this size on come from fresh pages that calloc leaves untouched. */
constexpr size_t SLOTS_TOUCH_BYTES = 64 * 1024;

zint_hash_slots *slots_new(unsigned int slots) {
  size_t bytes = sizeof(zint_hash_slots) + (size_t) slots * sizeof(zint_hash_slot);
  auto *s = static_cast<zint_hash_slots *>(zint_memory_safe_calloc(bytes));
  ZINT_ASSERT(s != nullptr);
  /* Probes read a slot before they fill it: on an untouched page the read maps the shared zero
   * page and the write that follows faults again to copy it, flushing the TLB of every core that
   * runs the process. Writing the zeros now costs one plain fault per page. */
  if (bytes >= SLOTS_TOUCH_BYTES) memset((void *) s->slot, 0, (size_t) slots * sizeof(zint_hash_slot));
  s->mask = slots - 1; /* zero bytes are null atomic pointers on every platform we build for */
  return s;
}

/* Slots for entries at most half full: room to insert until three quarters. */
unsigned int slots_for(long entries) {
  unsigned int n = ZINT_HASH_MIN_SLOTS;
  while (n < ZINT_HASH_MAX_SLOTS && (long) n < entries * 2) n <<= 1;
  return n;
}

inline bool key_matches(const zint_hash_node *n, const char *key, int klen) {
  return n->klen == klen && (klen == 0 || memcmp(n->key, key, (size_t) klen) == 0);
}

/* The slot of the key, or -1, and in *found the entry as it was read there (the slot itself may
 * turn into a tombstone at any time for a reader without the lock). Lock-free inside a safe-memory
 * section, or under the owner's lock. */
long slots_find_at(zint_hash_slots *s, uint64_t hash, const char *key, int klen, zint_hash_node **found) {
  for (unsigned int i = (unsigned int) hash & s->mask, probes = 0; probes <= s->mask; i = (i + 1) & s->mask, probes++) {
    zint_hash_node *n = s->slot[i].node.load(std::memory_order_acquire);
    if (!n) break;
    if (n != TOMB && s->slot[i].hash.load(std::memory_order_relaxed) == hash && key_matches(n, key, klen)) {
      *found = n;
      return (long) i;
    }
  }
  *found = nullptr;
  return -1;
}

zint_hash_node *slots_find(zint_hash_slots *s, uint64_t hash, const char *key, int klen) {
  zint_hash_node *n;
  slots_find_at(s, hash, key, klen, &n);
  return n;
}

/* Puts n into the first empty slot of its probe sequence. With the owner's lock held (or before s
 * is published); there is always an empty slot. */
void slots_put(zint_hash_slots *s, uint64_t hash, zint_hash_node *n) {
  unsigned int i = (unsigned int) hash & s->mask;
  while (s->slot[i].node.load(std::memory_order_relaxed)) i = (i + 1) & s->mask;
  s->slot[i].hash.store(hash, std::memory_order_relaxed);
  s->slot[i].node.store(n, std::memory_order_release);
  s->used++;
}

zint_hash_node *node_new(const char *key, int klen, void *data) {
  auto *n = static_cast<zint_hash_node *>(zint_memory_safe_malloc_cleanup(sizeof(zint_hash_node), node_cleanup));
  ZINT_ASSERT(n != nullptr);
  n->key = key;
  n->klen = klen;
  n->data = data;
  return n;
}

bool key_ok(const char *fn, const char *key, int klen) {
  if (klen < 0 || (klen > 0 && !key)) {
    zint_log(zint_error, "%s: invalid key (length %d)\n", fn, klen);
    return false;
  }
  return true;
}

/* Calls f(hash, node) for every entry of s, with the hash its slot keeps (growth never touches the
 * entries themselves). */
template <class F> void slots_each(zint_hash_slots *s, F f) {
  for (unsigned int i = 0; i <= s->mask; i++) {
    zint_hash_node *n = s->slot[i].node.load(std::memory_order_relaxed);
    if (n && n != TOMB) f(s->slot[i].hash.load(std::memory_order_relaxed), n);
  }
}

/* Replaces the array at *where by one sized for live entries (dropping the tombstones), holding
 * the same entries, and retires the old array (not its entries). With the owner's lock held. */
void slots_rebuild(std::atomic<zint_hash_slots *> &where, zint_hash_slots *old, int live) {
  zint_hash_slots *s = slots_new(slots_for(live + 1));
  slots_each(old, [s](uint64_t hash, zint_hash_node *n) { slots_put(s, hash, n); });
  where.store(s, std::memory_order_release);
  zint_memory_safe_free(old);
}

/* True when one more entry keeps s at most three quarters full. */
inline bool slots_room(const zint_hash_slots *s) {
  return ((uint64_t) s->used + 1) * 4 <= ((uint64_t) s->mask + 1) * 3;
}

/* Inserts unless present; grows or rebuilds first when the array is full. With the owner's lock. */
bool slots_store(std::atomic<zint_hash_slots *> &where, std::atomic<int> &size, uint64_t hash, const char *key,
                 int klen, void *data) {
  zint_hash_slots *s = where.load(std::memory_order_relaxed);
  if (slots_find(s, hash, key, klen)) return false;
  int live = size.load(std::memory_order_relaxed);
  if (!slots_room(s)) {
    if ((uint64_t) live + 1 > ZINT_HASH_MAX_SLOTS / 2) {
      zint_log(zint_error, "zint_hash_store: table full (%d entries)\n", live);
      return false;
    }
    slots_rebuild(where, s, live);
    s = where.load(std::memory_order_relaxed);
  }
  slots_put(s, hash, node_new(key, klen, data));
  size.store(live + 1, std::memory_order_relaxed);
  return true;
}

/* Deletes the entry; its free functions run after a grace period. With the owner's lock held. */
bool slots_unlink(zint_hash_slots *s, std::atomic<int> &size, uint64_t hash, const char *key, int klen,
                  ZintHashFreeFunc keyfree, ZintHashFreeFunc datafree) {
  zint_hash_node *n;
  long i = slots_find_at(s, hash, key, klen, &n);
  if (i < 0) return false;
  s->slot[i].node.store(TOMB, std::memory_order_release); /* a walk standing past it goes on */
  size.store(size.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  n->keyfree = keyfree;
  n->datafree = datafree;
  zint_memory_safe_free(n);
  return true;
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
  slots_each(s, [&](uint64_t, zint_hash_node *n) {
    n->keyfree = keyfree;
    n->datafree = datafree;
    if (now) zint_memory_safe_free_now(n);
    else zint_memory_safe_free(n);
  });
  if (now) zint_memory_safe_free_now(s);
  else zint_memory_safe_free(s);
}

/* ---- sharding: a flat table that reaches SHARD_AT entries becomes a directory of shards ---- */

inline bool is_dir(const zint_hash_slots *s) { return ((uintptr_t) s & 1u) != 0; }
inline zint_hash_dir *dir_of(zint_hash_slots *s) { return reinterpret_cast<zint_hash_dir *>((uintptr_t) s & ~(uintptr_t) 1); }
inline zint_hash_slots *dir_tag(zint_hash_dir *d) { return reinterpret_cast<zint_hash_slots *>((uintptr_t) d | 1u); }

}  // namespace

/* One shard: its own writer lock and slot array, on a cache line of its own. */
struct alignas(64) zint_hash_shard {
  pthread_mutex_t lock;
  std::atomic<zint_hash_slots *> slots;
  std::atomic<int> size; /* written under lock */
};

struct zint_hash_dir {
  static constexpr unsigned int bits = 6;
  zint_hash_shard shard[1u << bits];
  /* The top bits of the hash pick the shard; the low bits pick the slot inside it. */
  zint_hash_shard &of(uint64_t hash) { return shard[hash >> (64 - bits)]; }
};

namespace {

constexpr unsigned int SHARDS = 1u << zint_hash_dir::bits;
constexpr int SHARD_AT = 4096;

/* Replaces the flat array old by a directory of shards holding its entries. With the table lock
 * held; the directory stays until the table is destroyed. */
void table_shard_locked(zint_hash_table *h, zint_hash_slots *old) {
  auto *d = new zint_hash_dir;
  int live = h->size.load(std::memory_order_relaxed);
  /* Each shard's array holds what lands in it, however unevenly the keys spread (slots_put needs
   * an empty slot), and at least an even share. */
  long lands[SHARDS] = {};
  slots_each(old, [d, &lands](uint64_t hash, zint_hash_node *) { lands[&d->of(hash) - d->shard]++; });
  for (unsigned int k = 0; k < SHARDS; k++) {
    zint_hash_shard &sh = d->shard[k];
    pthread_mutex_init(&sh.lock, nullptr);
    sh.slots.store(slots_new(slots_for(std::max(lands[k], (long) (live / (int) SHARDS)) + 1)), std::memory_order_relaxed);
    sh.size.store(0, std::memory_order_relaxed);
  }
  slots_each(old, [d](uint64_t hash, zint_hash_node *n) {
    zint_hash_shard &sh = d->of(hash);
    slots_put(sh.slots.load(std::memory_order_relaxed), hash, n);
    sh.size.store(sh.size.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  });
  h->slots.store(dir_tag(d), std::memory_order_release);
  zint_memory_safe_free(old);
}

}  // namespace

uint64_t zint_hash_bytes(const void *key, size_t len) {
  const auto *p = static_cast<const unsigned char *>(key);
  uint64_t h = mix(len ^ process_secret() ^ 0x9E3779B97F4A7C15ull, 0xD6E8FEB86659FD93ull);
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

void zint_hash_init_size(zint_hash_table *h, int size) {
  ZINT_ASSERT(h != nullptr);
  if (h->slots.load(std::memory_order_acquire)) {
    zint_log(zint_error, "zint_hash_init: table already initialised; left as it is\n");
    return;
  }
  pthread_mutex_init(&h->lock, nullptr);
  h->size.store(0, std::memory_order_relaxed);
  h->slots.store(slots_new(slots_for(size)), std::memory_order_release);
}

void zint_hash_init(zint_hash_table *h) { zint_hash_init_size(h, ZINT_HASH_MIN_SLOTS / 2); }

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

static zint_boolean table_store(zint_hash_table *h, const char *key, int klen, void *data) {
  uint64_t hash = zint_hash_bytes(key, (size_t) klen);
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (!is_dir(s)) {
    table_lock g(h);
    s = h->slots.load(std::memory_order_relaxed);
    if (!s) {
      /* A zeroed table: its zero-byte mutex is a valid unlocked mutex, so set it up here. */
      s = slots_new(ZINT_HASH_MIN_SLOTS);
      h->slots.store(s, std::memory_order_release);
    }
    if (!is_dir(s)) { /* else sharded while this thread waited for the lock */
      if (!slots_store(h->slots, h->size, hash, key, klen, data)) return false;
      if (h->size.load(std::memory_order_relaxed) >= SHARD_AT) table_shard_locked(h, h->slots.load(std::memory_order_relaxed));
      return true;
    }
  }
  zint_hash_shard &sh = dir_of(s)->of(hash);
  table_lock g(&sh.lock);
  return slots_store(sh.slots, sh.size, hash, key, klen, data);
}

zint_boolean zint_hash_store(zint_hash_table *h, const char *key, int klen, void *data) {
  return h && key_ok("zint_hash_store", key, klen) && table_store(h, key, klen, data);
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
    h->slots.store(slots_new(ZINT_HASH_MIN_SLOTS), std::memory_order_release);
    h->size.store(0, std::memory_order_relaxed);
    slots_release(old, keyfree, datafree, false);
    return;
  }
  for (auto &sh : dir_of(old)->shard) {
    zint_hash_slots *gone;
    {
      table_lock sg(&sh.lock);
      gone = sh.slots.load(std::memory_order_relaxed);
      sh.slots.store(slots_new(ZINT_HASH_MIN_SLOTS), std::memory_order_release);
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
  zint_hash_node *n = nullptr;
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
    n = s->slot[iter->bucket++].node.load(std::memory_order_acquire);
    if (n == TOMB) n = nullptr;
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

int zint_hash_size(zint_hash_table *h) {
  if (!h) return 0;
  zint_hash_slots *s = h->slots.load(std::memory_order_acquire);
  if (!is_dir(s)) return h->size.load(std::memory_order_relaxed);
  int n = 0;
  for (auto &sh : dir_of(s)->shard) n += sh.size.load(std::memory_order_relaxed);
  return n;
}

/* ---- digest set ---- */

static_assert(sizeof(zint_digest_shard) == 64, "a digest shard fills one cache line");

namespace {

constexpr unsigned int DIGEST_MIN_SLOTS = 16; /* 256 bytes: a quiet second touches many shards once */

inline uint64_t digest_hash(const unsigned char *d) {
  uint64_t a, b;
  memcpy(&a, d, 8);
  memcpy(&b, d + 8, 8);
  return mix(a ^ process_secret(), b ^ 0x9E3779B97F4A7C15ull);
}

inline bool digest_is_zero(const unsigned char *d) {
  uint64_t a, b;
  memcpy(&a, d, 8);
  memcpy(&b, d + 8, 8);
  return (a | b) == 0;
}

/* The shard takes the hash's top bits, the slot its low bits. */
inline zint_digest_shard &digest_shard_of(zint_digest_set *set, uint64_t hash) {
  return set->shard[hash >> 58 & (ZINT_DIGEST_SET_SHARDS - 1)];
}

/* The slot of array a (mask + 1 slots) holding d, or the free slot where d belongs. The array is
 * never full, so a free slot ends every probe. */
unsigned char *digest_slot(unsigned char *a, unsigned int mask, uint64_t hash, const unsigned char *d) {
  for (unsigned int i = (unsigned int) hash & mask;; i = (i + 1) & mask) {
    unsigned char *s = a + (size_t) i * ZINT_DIGEST_LEN;
    if (digest_is_zero(s) || memcmp(s, d, ZINT_DIGEST_LEN) == 0) return s;
  }
}

/* A zeroed array of slots, written now: probing a fresh page that was never written maps the shared
 * zero page, and the first store into it then faults again and flushes the TLB of every core that
 * runs the process. (The empty asm keeps the compiler from turning malloc and memset into calloc,
 * which leaves fresh pages untouched.) */
unsigned char *digest_array(unsigned int slots) {
  size_t bytes = (size_t) slots * ZINT_DIGEST_LEN;
  auto *a = static_cast<unsigned char *>(malloc(bytes));
  ZINT_ASSERT(a != nullptr);
  asm volatile("" : "+r"(a));
  memset(a, 0, bytes);
  return a;
}

/* Doubles the shard's array (or makes its first one), with the lock held. */
void digest_grow(zint_digest_shard &sh) {
  unsigned int slots = sh.slot ? (sh.mask + 1) * 2 : DIGEST_MIN_SLOTS;
  ZINT_ASSERT(slots != 0); /* 2^32 slots of one shard: far beyond any memory */
  unsigned char *a = digest_array(slots);
  for (unsigned int i = 0; sh.slot && i <= sh.mask; i++) {
    const unsigned char *d = sh.slot + (size_t) i * ZINT_DIGEST_LEN;
    if (!digest_is_zero(d)) memcpy(digest_slot(a, slots - 1, digest_hash(d), d), d, ZINT_DIGEST_LEN);
  }
  free(sh.slot);
  __atomic_store_n(&sh.slot, a, __ATOMIC_RELAXED);
  __atomic_store_n(&sh.mask, slots - 1, __ATOMIC_RELAXED);
}

}  // namespace

zint_boolean zint_digest_set_add(zint_digest_set *set, const unsigned char digest[ZINT_DIGEST_LEN]) {
  uint64_t hash = digest_hash(digest);
  zint_digest_shard &sh = digest_shard_of(set, hash);
  table_lock g(&sh.lock);
  if (digest_is_zero(digest)) {
    if (sh.zero_seen) return false;
    sh.zero_seen = true;
    return true;
  }
  /* At most three quarters full after this add: probes stay short and a free slot always ends them. */
  if (!sh.slot || (size_t) (sh.used + 1) * 4 > (size_t) (sh.mask + 1) * 3) digest_grow(sh);
  unsigned char *s = digest_slot(sh.slot, sh.mask, hash, digest);
  if (!digest_is_zero(s)) return false;
  memcpy(s, digest, ZINT_DIGEST_LEN);
  sh.used++;
  return true;
}

void zint_digest_set_prefetch_shard(zint_digest_set *set, const unsigned char digest[ZINT_DIGEST_LEN]) {
  __builtin_prefetch(&digest_shard_of(set, digest_hash(digest)), 1);
}

void zint_digest_set_prefetch_slot(zint_digest_set *set, const unsigned char digest[ZINT_DIGEST_LEN]) {
  uint64_t hash = digest_hash(digest);
  zint_digest_shard &sh = digest_shard_of(set, hash);
  /* Without the lock slot and mask may belong to different arrays (or slot to a freed one): the
   * address is then only a wasted hint, and a prefetch never faults. */
  uintptr_t a = (uintptr_t) __atomic_load_n(&sh.slot, __ATOMIC_RELAXED);
  unsigned int mask = __atomic_load_n(&sh.mask, __ATOMIC_RELAXED);
  if (a) __builtin_prefetch((const void *) (a + (uintptr_t) ((unsigned int) hash & mask) * ZINT_DIGEST_LEN), 1);
}

long zint_digest_set_size(zint_digest_set *set) {
  long n = 0;
  for (auto &sh : set->shard) {
    table_lock g(&sh.lock);
    n += (long) sh.used + (sh.zero_seen ? 1 : 0);
  }
  return n;
}

void zint_digest_set_destroy(zint_digest_set *set) {
  for (auto &sh : set->shard) {
    free(sh.slot);
    pthread_mutex_destroy(&sh.lock);
    sh = zint_digest_shard{};
  }
}
