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
void free_long(void *p) { delete static_cast<long *>(p); }
/* Stores a heap copy of k; the copy is freed again when the key was present. */
bool put(zint_hash_table *h, const std::string &k, void *v) {
  char *key = static_cast<char *>(memcpy(malloc(k.size() + 1), k.c_str(), k.size() + 1));
  bool stored = zint_hash_store(h, key, (int) k.size(), v);
  if (!stored) free(key);
  return stored;
}
void *get(zint_hash_table *h, const std::string &k) {
  void *v = nullptr;
  return zint_hash_retrieve(h, k.data(), (int) k.size(), &v) ? v : (void *) -1;
}

} // namespace

// what this proves: keys are whole byte strings (NULs count); deletes free each key once after a grace period
TEST(Hash, ByteKeys) {
  zint_memory_init();
  g_freed = 0;
  zint_hash_table h = {};
  const std::string uuid = "0f4bd5e0-7c11-4f3c-8a9c-5c2d1f3e6a70";
  const std::string keys[] = {std::string(uuid.c_str(), 37), uuid, uuid + "1000", ""};
  for (long i = 0; i < 4; i++) EXPECT_TRUE(put(&h, keys[i], (void *) (i + 1)));
  for (long i = 0; i < 4; i++) EXPECT_EQ(get(&h, keys[i]), (void *) (i + 1)) << i;
  EXPECT_EQ(get(&h, uuid.substr(0, 35)), (void *) -1);
  EXPECT_TRUE(zint_hash_delete(&h, uuid.data(), 36, counted_free, nullptr));
  EXPECT_FALSE(zint_hash_delete(&h, uuid.data(), 36, counted_free, nullptr));
  zint_hash_delete_all(&h, counted_free, nullptr);
  zint_memory_barrier();
  EXPECT_EQ(std::make_pair(zint_hash_size(&h), g_freed.load()), std::make_pair(0, 4L));
  zint_hash_destroy(&h, counted_free, nullptr);
}

// what this proves: a table that shards while all its keys fall in one shard (keys chosen by their hash, as
// someone who could compute it would) keeps and finds every key
TEST(Hash, ShardingWithOneCrowdedShard) {
  zint_memory_init();
  zint_hash_table h = {};
  std::vector<std::string> keys;
  for (long i = 0; keys.size() < 6000; i++) {
    std::string k = "k" + std::to_string(i);
    if (zint_hash_bytes(k.data(), k.size()) >> 58 == 5) keys.push_back(k);
  }
  for (size_t i = 0; i < keys.size(); i++) EXPECT_TRUE(put(&h, keys[i], (void *) (i + 1)));
  EXPECT_EQ(zint_hash_size(&h), 6000);
  for (size_t i = 0; i < keys.size(); i++) ASSERT_EQ(get(&h, keys[i]), (void *) (i + 1)) << keys[i];
  zint_hash_destroy(&h, free, nullptr);
}

// what this proves: racing stores keep one winner; walks during churn and growth see each entry once
TEST(Hash, ConcurrentStoresWalksAndChurn) {
  zint_memory_init();
  zint_hash_table h = {};
  zint_hash_init_size(&h, 4);
  constexpr long kStable = 3000, kChurn = 4000, kRace = 5000;
  for (long i = 0; i < kStable; i++) ASSERT_TRUE(put(&h, "stable" + std::to_string(i), new long(i)));
  std::atomic<bool> stop{false};
  std::atomic<long> churned{0}, wins[2] = {0, 0};
  std::vector<std::thread> ts;
  for (int w = 0; w < 2; w++) {
    ts.emplace_back([&, w] { /* churn */
                             for (long n = 0; !stop; n++) {
                               std::string k = "churn" + std::to_string(w) + "_" + std::to_string(n % kChurn);
                               long *val = new long(-1);
                               if (!put(&h, k, val)) {
                                 delete val;
                                 zint_hash_delete(&h, k.data(), (int) k.size(), free, free_long);
                               }
                               churned++;
                             }
    });
    ts.emplace_back([&, w] { /* race */
                             for (long i = 0; i < kRace; i++) {
                               long *val = new long(kStable + w);
                               bool won = put(&h, "race" + std::to_string(i), val);
                               wins[w] += won;
                               if (!won) delete val;
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
    for (long i = 0; i < kStable; i += 7) ASSERT_EQ(*(long *) get(&h, "stable" + std::to_string(i)), i);
    zint_memory_end();
    ASSERT_EQ(seen, std::vector<int>(kStable, 1)) << "walk " << walks;
  }
  stop = true;
  for (auto &t : ts) t.join();
  long first = 0; /* entries holding the first racer's value */
  for (long i = 0; i < kRace; i++) first += *(long *) get(&h, "race" + std::to_string(i)) == kStable;
  EXPECT_EQ(wins[0] + wins[1], kRace);
  EXPECT_EQ(first, wins[0]);
  zint_hash_destroy(&h, free, free_long);
  zint_memory_barrier();
}
