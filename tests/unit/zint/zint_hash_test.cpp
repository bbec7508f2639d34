/* Tests of the hash table: byte keys, growth, store races, walks while others change. */
#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> g_freed{0};
void counted_free(void *p) {
  g_freed++;
  free(p);
}
char *heap(const std::string &s) { return static_cast<char *>(memcpy(malloc(s.size() + 1), s.c_str(), s.size() + 1)); }

}  // namespace

// what this proves: keys are whole byte strings (a NUL inside or at the end matters), store never
// replaces a present key, delete and destroy free each key once (a deleted one after a grace period),
// a zeroed or destroyed table acts empty and works again, and 20,000 entries survive growth with a
// walk returning each exactly once
TEST(Hash, BytesGrowthAndWalk) {
  zint_memory_init();
  g_freed = 0;
  zint_hash_table h = {};
  void *v = nullptr;
  EXPECT_FALSE(zint_hash_retrieve(&h, "x", 1, &v));
  const std::string uuid = "0f4bd5e0-7c11-4f3c-8a9c-5c2d1f3e6a70";
  const std::string keys[] = {std::string(uuid.c_str(), 37), uuid, uuid + "1000", ""};
  for (long i = 0; i < 4; i++) EXPECT_TRUE(zint_hash_store(&h, heap(keys[i]), (int) keys[i].size(), (void *) (i + 1)));
  EXPECT_FALSE(zint_hash_store(&h, keys[0].data(), 37, nullptr)) << "a present key must not be replaced";
  EXPECT_FALSE(zint_hash_store(&h, "neg", -1, nullptr));
  for (long i = 0; i < 4; i++) EXPECT_TRUE(zint_hash_retrieve(&h, keys[i].data(), (int) keys[i].size(), &v) && v == (void *) (i + 1)) << i;
  EXPECT_FALSE(zint_hash_retrieve(&h, uuid.data(), 35, &v));
  EXPECT_TRUE(zint_hash_delete(&h, uuid.data(), 36, counted_free, nullptr));
  EXPECT_FALSE(zint_hash_delete(&h, uuid.data(), 36, counted_free, nullptr));
  EXPECT_EQ(zint_hash_size(&h), 3);
  zint_memory_barrier();
  EXPECT_EQ(g_freed.load(), 1);
  zint_hash_destroy(&h, counted_free, nullptr);
  EXPECT_EQ(g_freed.load(), 4);
  EXPECT_FALSE(zint_hash_retrieve(&h, keys[0].data(), 37, &v));

  constexpr long kN = 20000;
  for (long i = 0; i < kN; i++) ASSERT_TRUE(zint_hash_store(&h, heap("metric`" + std::to_string(i)), 7 + (int) std::to_string(i).size(), (void *) i));
  std::vector<int> seen(kN, 0);
  zint_hash_iter it = ZINT_HASH_ITER_ZERO;
  const char *k;
  int kl;
  while (zint_hash_adv(&h, &it, &k, &kl, &v)) seen[(long) v] += std::string(k, kl) == "metric`" + std::to_string((long) v);
  EXPECT_FALSE(zint_hash_adv(&h, &it, &k, &kl, &v)) << "an ended walk stays ended";
  EXPECT_EQ(seen, std::vector<int>(kN, 1));
  zint_hash_delete_all(&h, counted_free, nullptr);
  zint_memory_barrier();
  EXPECT_EQ(zint_hash_size(&h), 0);
  EXPECT_EQ(g_freed.load(), 4 + kN);
  zint_hash_destroy(&h, counted_free, nullptr);
}

// what this proves: while two threads race to store the same keys (one winner each, the stored
// value the winner's) and two churn stores and deletes through growth past the shard split, walks
// and lookups inside sections see every stable entry exactly once, with its own value and no freed
// memory (ASan, TSan)
TEST(Hash, ConcurrentStoresWalksAndChurn) {
  zint_memory_init();
  zint_hash_table h = {};
  zint_hash_init_size(&h, 4);
  constexpr long kStable = 3000, kChurn = 4000, kRace = 5000;
  for (long i = 0; i < kStable; i++) ASSERT_TRUE(zint_hash_store(&h, heap("stable" + std::to_string(i)), 6 + (int) std::to_string(i).size(), new long(i)));
  std::atomic<bool> stop{false};
  std::atomic<long> churned{0}, wins[2] = {0, 0};
  std::vector<std::thread> ts;
  for (int w = 0; w < 2; w++) {
    ts.emplace_back([&, w] { /* churn */
      for (long n = 0; !stop; n++, churned++) {
        std::string k = "churn" + std::to_string(w) + "_" + std::to_string(n % kChurn);
        char *key = heap(k);
        long *val = new long(-1);
        if (!zint_hash_store(&h, key, (int) k.size(), val)) {
          free(key);
          delete val;
          zint_hash_delete(&h, k.data(), (int) k.size(), free, [](void *p) { delete static_cast<long *>(p); });
        }
      }
    });
    ts.emplace_back([&, w] { /* race */
      for (long i = 0; i < kRace; i++) {
        std::string k = "race" + std::to_string(i);
        char *key = heap(k);
        long *val = new long(kStable + w);
        bool won = zint_hash_store(&h, key, (int) k.size(), val);
        wins[w] += won;
        if (!won) free(key), delete val;
      }
    });
  }
  for (int walks = 0; walks < 30 || churned < 4 * kChurn; walks++) {
    zint_memory_begin();
    std::vector<int> seen(kStable, 0);
    zint_hash_iter it = ZINT_HASH_ITER_ZERO;
    const char *k;
    int kl;
    void *v;
    while (zint_hash_adv(&h, &it, &k, &kl, &v)) {
      long val = *static_cast<long *>(v);
      if (val >= 0 && val < kStable) seen[val] += std::string(k, kl) == "stable" + std::to_string(val);
    }
    for (long i = 0; i < kStable; i += 7) {
      std::string key = "stable" + std::to_string(i);
      ASSERT_TRUE(zint_hash_retrieve(&h, key.data(), (int) key.size(), &v) && *static_cast<long *>(v) == i) << key;
    }
    zint_memory_end();
    ASSERT_EQ(seen, std::vector<int>(kStable, 1)) << "walk " << walks;
  }
  stop = true;
  for (auto &t : ts) t.join();
  long first = 0; /* entries holding the first racer's value */
  for (long i = 0; i < kRace; i++) {
    std::string key = "race" + std::to_string(i);
    void *v = nullptr;
    ASSERT_TRUE(zint_hash_retrieve(&h, key.data(), (int) key.size(), &v));
    first += *static_cast<long *>(v) == kStable;
  }
  EXPECT_EQ(wins[0] + wins[1], kRace);
  EXPECT_EQ(first, wins[0]);
  zint_hash_destroy(&h, free, [](void *p) { delete static_cast<long *>(p); });
  zint_memory_barrier();
}
