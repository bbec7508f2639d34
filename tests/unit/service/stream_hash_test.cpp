/* The stream registry under concurrent churn (ownership and callbacks: integration/broker, e2e, fault). */
#include "stream_hash.h"
#include "vorn_stats.h"
#include "zint/zint_memory.h"
#include "support/ws_sessions.h"
#include <gtest/gtest.h>
#include <random>
#include <thread>

namespace {
stats_handle_t *gauge() {
  static stats_handle_t *g = [] {
    stats_init();
    stream_hash_init();
    client_init();
    return stats_register(stats_register_ns(stats_rec, nullptr, "test"), "gauge", STATS_TYPE_UINT64);
  }();
  zint_memory_barrier(); /* records of deleted streams are counted down at reclamation */
  return g;
}
zint_boolean add(const std::string &key, test_ws::client &c, stream_hash_callback cb = nullptr,
                 void *cl = nullptr) {
  vorn_client_t *r = vorn_client_new(c.ctx, nullptr, 0, gauge());
  zint_boolean taken = stream_hash_add_client(strdup(key.c_str()), key.size(), r, cb, cl);
  if (!taken) vorn_client_free(r); /* a lost insert race whose winner is already gone leaves it with us */
  return taken;
}
void unwatch(const std::string &key, test_ws::client &c, stream_hash_callback cb = nullptr,
             void *cl = nullptr) {
  vorn_client_t *probe = vorn_client_new_thin(c.ctx);
  stream_hash_remove_client(key.c_str(), key.size(), probe, cb, cl);
  vorn_client_free(probe);
}
zint_boolean broadcast_or_drop(stream_closure_t *sc, void *v) { /* and now and then deletes the stream */
  stream_closure_broadcast(sc, "{}", 2, "m", 1);
  return (*static_cast<std::minstd_rand *>(v))() % 7 != 0 && !stream_closure_is_empty(sc);
}

// what this proves: concurrent watch, unwatch and deleting finds free nothing twice and count every refusal
TEST(Stream, ConcurrentChurn) {
  std::vector<std::unique_ptr<test_ws::client>> sessions;
  for (int i = 0; i < 8; i++) sessions.push_back(std::make_unique<test_ws::client>());
  const std::string keys[] = {"k0", "k1", "k2", "k3"};
  std::atomic<int> refused{0};
  uint64_t errors_before = stats_get_u64(hash_err_counter);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++)
    threads.emplace_back([&, t] {
      std::minstd_rand rng(t + 1);
      for (int i = 0; i < 1000; i++) {
        const std::string &key = keys[rng() % 4];
        test_ws::client &s = *sessions[rng() % sessions.size()];
        int op = rng() % 3;
        if (op == 0) refused += !add(key, s, rng() % 2 ? broadcast_or_drop : nullptr, &rng);
        if (op == 1) unwatch(key, s, broadcast_or_drop, &rng);
        if (op == 2)
          stream_hash_get_stream_closure(key.c_str(), key.size(), nullptr, broadcast_or_drop, nullptr, &rng);
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(stats_get_u64(hash_err_counter) - errors_before, (uint64_t) refused.load());
  for (auto &s : sessions)
    for (auto &key : keys) unwatch(key, *s);
  EXPECT_EQ(std::make_pair(stream_hash_size(), stats_get_u64(gauge())), std::make_pair(0, 0ul));
}
} // namespace
