/* Tests of the hash table: byte keys with lengths, ownership of stored keys, growth, zeroed
 * tables, store races with one winner, and iteration while other threads insert and delete; the
 * digest set: each digest once through growth and under concurrent adds. */
#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> g_keys_freed{0}, g_data_freed{0};
void count_key_free(void *p) {
  g_keys_freed++;
  free(p);
}
void count_data_free(void *p) {
  g_data_freed++;
  free(p);
}

char *heap_key(const std::string &s) {
  char *k = static_cast<char *>(malloc(s.size() ? s.size() : 1));
  memcpy(k, s.data(), s.size());
  return k;
}

}  // namespace

// what this proves: store inserts only new keys, keys are compared as bytes over their length
// (a NUL inside or at the end matters), delete and destroy run the free functions exactly once,
// and a zeroed table acts empty and is initialised by its first store.
TEST(Hash, StoreRetrieveDeleteByBytes) {
  zint_memory_init();
  g_keys_freed = g_data_freed = 0;
  zint_hash_table h = {};
  void *v = nullptr;
  EXPECT_EQ(zint_hash_size(&h), 0);
  EXPECT_FALSE(zint_hash_retrieve(&h, "x", 1, &v));
  zint_hash_iter it = ZINT_HASH_ITER_ZERO;
  EXPECT_FALSE(zint_hash_adv(&h, &it, nullptr, nullptr, nullptr));
  zint_hash_destroy(&h, nullptr, nullptr);

  zint_hash_init_size(&h, 2);
  const std::string uuid = "0f4bd5e0-7c11-4f3c-8a9c-5c2d1f3e6a70";
  std::string bus(uuid.c_str(), 37);     /* with its NUL */
  std::string broker = uuid + "1000";     /* "%s%d", no NUL */
  EXPECT_TRUE(zint_hash_store(&h, heap_key(bus), 37, (void *) 1));
  EXPECT_TRUE(zint_hash_store(&h, heap_key(uuid), 36, (void *) 2));
  EXPECT_TRUE(zint_hash_store(&h, heap_key(broker), (int) broker.size(), (void *) 3));
  EXPECT_TRUE(zint_hash_store(&h, heap_key(""), 0, (void *) 4));
  char *dup = heap_key(bus);
  EXPECT_FALSE(zint_hash_store(&h, dup, 37, (void *) 9)) << "present key must not be replaced";
  free(dup); /* a refused key stays the caller's */
  EXPECT_FALSE(zint_hash_store(&h, "neg", -1, nullptr));
  EXPECT_FALSE(zint_hash_retrieve(&h, "neg", -1, &v));
  EXPECT_EQ(zint_hash_size(&h), 4);
  ASSERT_TRUE(zint_hash_retrieve(&h, bus.data(), 37, &v));
  EXPECT_EQ(v, (void *) 1);
  ASSERT_TRUE(zint_hash_retrieve(&h, uuid.data(), 36, &v));
  EXPECT_EQ(v, (void *) 2);
  ASSERT_TRUE(zint_hash_retrieve(&h, broker.data(), (int) broker.size(), &v));
  EXPECT_EQ(v, (void *) 3);
  ASSERT_TRUE(zint_hash_retrieve(&h, "", 0, &v));
  EXPECT_EQ(v, (void *) 4);
  EXPECT_FALSE(zint_hash_retrieve(&h, uuid.data(), 35, &v));

  EXPECT_TRUE(zint_hash_delete(&h, uuid.data(), 36, count_key_free, nullptr));
  EXPECT_FALSE(zint_hash_delete(&h, uuid.data(), 36, count_key_free, nullptr));
  EXPECT_FALSE(zint_hash_retrieve(&h, uuid.data(), 36, &v));
  EXPECT_TRUE(zint_hash_retrieve(&h, bus.data(), 37, &v)) << "the NUL-terminated key is another key";
  EXPECT_EQ(zint_hash_size(&h), 3);
  zint_memory_barrier(); /* the deleted key is freed after a grace period */
  EXPECT_EQ(g_keys_freed.load(), 1);

  zint_hash_destroy(&h, count_key_free, nullptr);
  EXPECT_EQ(g_keys_freed.load(), 4);
  EXPECT_EQ(zint_hash_size(&h), 0);
  EXPECT_FALSE(zint_hash_retrieve(&h, bus.data(), 37, &v));
  /* A destroyed table is zeroed again: reusable by a store. */
  EXPECT_TRUE(zint_hash_store(&h, heap_key("again"), 5, malloc(4)));
  zint_hash_destroy(&h, count_key_free, count_data_free);
  EXPECT_EQ(g_data_freed.load(), 1);
}

// what this proves: many entries survive repeated growth, each is found with its own value, a
// walk returns each exactly once, and delete_all empties the table while keeping it usable.
TEST(Hash, GrowthAndIteration) {
  zint_memory_init();
  g_keys_freed = 0;
  zint_hash_table h = {};
  zint_hash_init_size(&h, 4);
  constexpr int kN = 50000;
  for (long i = 0; i < kN; i++) {
    std::string k = "metric`" + std::to_string(i);
    ASSERT_TRUE(zint_hash_store(&h, heap_key(k), (int) k.size(), (void *) (i + 1)));
  }
  EXPECT_EQ(zint_hash_size(&h), kN);
  for (long i = 0; i < kN; i++) {
    std::string k = "metric`" + std::to_string(i);
    void *v = nullptr;
    ASSERT_TRUE(zint_hash_retrieve(&h, k.data(), (int) k.size(), &v)) << k;
    ASSERT_EQ(v, (void *) (i + 1));
  }
  std::vector<int> seen(kN, 0);
  zint_hash_iter it = ZINT_HASH_ITER_ZERO;
  const char *k;
  int kl;
  void *v;
  while (zint_hash_adv(&h, &it, &k, &kl, &v)) {
    long i = (long) v - 1;
    ASSERT_GE(i, 0);
    ASSERT_LT(i, kN);
    EXPECT_EQ(std::string(k, kl), "metric`" + std::to_string(i));
    seen[i]++;
  }
  EXPECT_FALSE(zint_hash_adv(&h, &it, &k, &kl, &v)) << "an ended walk stays ended";
  for (int i = 0; i < kN; i++) ASSERT_EQ(seen[i], 1) << i;
  zint_hash_delete_all(&h, count_key_free, nullptr);
  EXPECT_EQ(zint_hash_size(&h), 0);
  zint_memory_barrier();
  EXPECT_EQ(g_keys_freed.load(), kN);
  EXPECT_TRUE(zint_hash_store(&h, heap_key("x"), 1, nullptr));
  zint_hash_destroy(&h, count_key_free, nullptr);
}

namespace {

/* Digest-like keys: 16 bytes from a 64-bit counter, spread as a digest would be. */
void digest_of(uint64_t i, unsigned char d[ZINT_DIGEST_LEN]) {
  uint64_t a = i * 0x9E3779B97F4A7C15ull + 1, b = (i ^ 0xD6E8FEB86659FD93ull) * 0xBF58476D1CE4E5B9ull;
  memcpy(d, &a, 8);
  memcpy(d + 8, &b, 8);
}

}  // namespace

// what this proves: a digest set admits each digest once through many doublings of its shards,
// tells digests that differ in one byte apart, keeps the all-zero digest (which marks free slots
// inside) like any other, and is empty and usable again after destroy (a lost or doubled entry
// during growth would show in the second pass or the size; a leaked array under the sanitizers).
TEST(DigestSet, EachDigestOnceThroughGrowth) {
  zint_digest_set set = {};
  unsigned char d[ZINT_DIGEST_LEN];
  EXPECT_EQ(zint_digest_set_size(&set), 0);
  constexpr uint64_t kN = 200000;
  for (uint64_t i = 0; i < kN; i++) {
    digest_of(i, d);
    ASSERT_TRUE(zint_digest_set_add(&set, d)) << i;
  }
  for (uint64_t i = 0; i < kN; i++) {
    digest_of(i, d);
    ASSERT_FALSE(zint_digest_set_add(&set, d)) << i;
  }
  digest_of(7, d);
  d[15] ^= 1;
  EXPECT_TRUE(zint_digest_set_add(&set, d)) << "one byte apart is another digest";
  unsigned char zero[ZINT_DIGEST_LEN] = {};
  EXPECT_TRUE(zint_digest_set_add(&set, zero));
  EXPECT_FALSE(zint_digest_set_add(&set, zero));
  EXPECT_EQ(zint_digest_set_size(&set), (long) kN + 2);

  zint_digest_set_destroy(&set);
  EXPECT_EQ(zint_digest_set_size(&set), 0);
  EXPECT_TRUE(zint_digest_set_add(&set, zero)) << "destroyed with the set";
  digest_of(3, d);
  EXPECT_TRUE(zint_digest_set_add(&set, d));
  zint_digest_set_destroy(&set);
}

// what this proves: threads adding overlapping digests at once, while the shards grow under
// them, see each digest as new exactly once between them, and the set ends with each once; their
// prefetches, which read the shards without the lock, race with no growth (under TSan).
TEST(DigestSet, ConcurrentAddsHaveOneWinner) {
  zint_digest_set set = {};
  constexpr int kThreads = 4;
  constexpr uint64_t kKeys = 20000;
  std::atomic<long> firsts{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; t++)
    ts.emplace_back([&, t] {
      unsigned char d[ZINT_DIGEST_LEN];
      long mine = 0;
      for (uint64_t n = 0; n < kKeys; n++) {
        digest_of((n * 7 + (uint64_t) t * 5003) % kKeys, d); /* every thread meets every key, in its own order */
        zint_digest_set_prefetch_shard(&set, d);
        zint_digest_set_prefetch_slot(&set, d); /* reads a shard's array without its lock while others grow it */
        if (zint_digest_set_add(&set, d)) mine++;
      }
      firsts += mine;
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(firsts.load(), (long) kKeys);
  EXPECT_EQ(zint_digest_set_size(&set), (long) kKeys);
  zint_digest_set_destroy(&set);
}

// what this proves: threads storing the same keys at once get exactly one winner per key, the
// winner's value is the one stored, and losers keep (and free) their keys.
TEST(Hash, StoreRaceHasOneWinner) {
  zint_memory_init();
  g_keys_freed = 0;
  zint_hash_table h = {};
  zint_hash_init_size(&h, 8);
  constexpr int kThreads = 4, kKeys = 5000;
  std::vector<std::vector<char>> won(kThreads, std::vector<char>(kKeys, 0));
  std::atomic<int> go{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; t++) {
    ts.emplace_back([&, t] {
      go++;
      while (go.load() < kThreads) std::this_thread::yield();
      for (long i = 0; i < kKeys; i++) {
        std::string k = "k" + std::to_string(i);
        char *key = heap_key(k);
        if (zint_hash_store(&h, key, (int) k.size(), (void *) (long) (t + 1))) won[t][i] = 1;
        else free(key);
      }
    });
  }
  for (auto &t : ts) t.join();
  EXPECT_EQ(zint_hash_size(&h), kKeys);
  for (long i = 0; i < kKeys; i++) {
    int winners = 0, winner = -1;
    for (int t = 0; t < kThreads; t++)
      if (won[t][i]) winners++, winner = t;
    ASSERT_EQ(winners, 1) << "key " << i;
    std::string k = "k" + std::to_string(i);
    void *v = nullptr;
    ASSERT_TRUE(zint_hash_retrieve(&h, k.data(), (int) k.size(), &v));
    ASSERT_EQ(v, (void *) (long) (winner + 1));
  }
  zint_hash_destroy(&h, count_key_free, nullptr);
  EXPECT_EQ(g_keys_freed.load(), kKeys);
}

// Walks and lookups inside safe-memory sections while two threads insert and delete churn_keys
// keys each; the table starts with stable entries. Every stable entry must be returned exactly once
// per walk and found by lookups, and no freed key or value read (ASan).
static void walk_while_others_change(int kStable, int churn_keys, int min_walks) {
  zint_memory_init();
  zint_hash_table h = {};
  zint_hash_init_size(&h, 4);
  for (int i = 0; i < kStable; i++) {
    std::string k = "stable" + std::to_string(i);
    auto *val = static_cast<long *>(malloc(sizeof(long)));
    *val = i;
    ASSERT_TRUE(zint_hash_store(&h, heap_key(k), (int) k.size(), val));
  }
  std::atomic<bool> stop{false};
  std::atomic<long> churned{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; w++) {
    writers.emplace_back([&, w] {
      long n = 0;
      while (!stop.load()) {
        std::string k = "churn" + std::to_string(w) + "_" + std::to_string(n % churn_keys);
        auto *val = static_cast<long *>(malloc(sizeof(long)));
        *val = -1;
        char *key = heap_key(k);
        if (!zint_hash_store(&h, key, (int) k.size(), val)) {
          free(key);
          free(val);
          zint_hash_delete(&h, k.data(), (int) k.size(), free, free);
        }
        n++;
        churned++;
      }
    });
  }
  int walks = 0;
  while (walks < min_walks || churned.load() < 4 * churn_keys) {
    zint_memory_begin();
    std::vector<int> seen(kStable, 0);
    std::map<std::string, int> all;
    zint_hash_iter it = ZINT_HASH_ITER_ZERO;
    const char *k;
    int kl;
    void *v;
    while (zint_hash_adv(&h, &it, &k, &kl, &v)) {
      long val = *static_cast<long *>(v);
      std::string key(k, kl);
      /* A churned key deleted and stored again during the walk is a new entry: it may come twice. */
      if (val >= 0) {
        ASSERT_EQ(++all[key], 1) << "walk returned " << key << " twice";
        ASSERT_LT(val, kStable);
        ASSERT_EQ(key, "stable" + std::to_string(val));
        seen[val]++;
      } else {
        ASSERT_EQ(key.rfind("churn", 0), 0u);
      }
    }
    for (int i = 0; i < churn_keys; i += 3) {
      /* A churned key may vanish under the lookup: found means found with its own value. */
      std::string key = "churn" + std::to_string(i % 2) + "_" + std::to_string(i);
      void *v = nullptr;
      if (zint_hash_retrieve(&h, key.data(), (int) key.size(), &v)) {
        ASSERT_NE(v, nullptr) << key;
        ASSERT_EQ(*static_cast<long *>(v), -1) << key;
      }
    }
    for (int i = 0; i < kStable; i += 7) {
      std::string key = "stable" + std::to_string(i);
      void *v = nullptr;
      ASSERT_TRUE(zint_hash_retrieve(&h, key.data(), (int) key.size(), &v)) << key;
      ASSERT_EQ(*static_cast<long *>(v), i);
    }
    zint_memory_end();
    for (int i = 0; i < kStable; i++) ASSERT_EQ(seen[i], 1) << "stable" << i << " walk " << walks;
    walks++;
  }
  stop = true;
  for (auto &t : writers) t.join();
  zint_hash_destroy(&h, free, free);
  zint_memory_barrier();
}

// what this proves: a small table, growing and shrinking under churn, walks correctly.
TEST(Hash, IterationWhileOthersChange) { walk_while_others_change(300, 500, 200); }

// what this proves: a table that grows past the size at which it splits into shards does so while
// walks, lookups, stores and deletes run, losing and repeating nothing; then, sharded, it keeps
// every property (walks across all shards, deletes, size).
TEST(Hash, SplitIntoShardsWhileOthersChange) { walk_while_others_change(3000, 4000, 30); }
