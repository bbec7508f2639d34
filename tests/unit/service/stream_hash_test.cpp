/* The stream registry on real websocket sessions: ownership, callbacks, identities, concurrent churn
 * (filtered broadcast: the harl and pask fuzzers). */
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
struct cb_log {
  int calls = 0;
  bool result = true;
  unsigned char id[16] = {};
};
zint_boolean log_cb(stream_closure_t *sc, void *v) {
  auto *l = static_cast<cb_log *>(v);
  l->calls++;
  stream_closure_get_id(sc, l->id);
  return l->result;
}
zint_boolean find(const std::string &key, cb_log &l, const unsigned char *id = nullptr) {
  return stream_hash_get_stream_closure(key.c_str(), key.size(), id, log_cb, nullptr, &l);
}
const std::string kKey = "6f1c2ae4-9b1d-4c0e-8a43-3d2f1c2ae49b";
void expect_empty() {
  EXPECT_EQ(std::make_pair(stream_hash_size(), stats_get_u64(gauge())), std::make_pair(0, 0ul));
}

// what this proves: add creates a stream on first use and replaces a session's record; remove runs the
// callback only while records stay and deletes the emptied stream; a refusing callback deletes the stream; a
// stale identity acts on nothing
TEST(Stream, RegistryOwnershipCallbacksAndIdentity) {
  test_ws::client a, b;
  cb_log first, none, found, refuse{0, false, {}}, stale, drop{0, false, {}};
  EXPECT_TRUE(add(kKey, a, log_cb, &first));
  EXPECT_TRUE(add(kKey, a)); /* replaces a's record; the caller's key is freed (ASan) */
  EXPECT_TRUE(add(kKey, b));
  EXPECT_TRUE(add(kKey + "60000", a)); /* a broker key of the same check is another stream */
  EXPECT_EQ(std::make_tuple(first.calls, stream_hash_size(), stats_get_u64(gauge())),
            std::make_tuple(1, 2, 3ul));
  unwatch(kKey, a, log_cb, &none);           /* b stays: the callback runs */
  unwatch(kKey, a, log_cb, &none);           /* nothing of a's left: no call */
  unwatch(kKey + "60000", a, log_cb, &none); /* last record: deleted without a call */
  EXPECT_EQ(std::make_tuple(none.calls, stream_hash_size(), stats_get_u64(gauge())),
            std::make_tuple(1, 1, 1ul));
  EXPECT_TRUE(find(kKey, found, first.id));
  EXPECT_EQ(found.calls, 1);
  unwatch(kKey, b);
  EXPECT_TRUE(add(kKey, a, log_cb, &refuse)); /* taken, and the stream deleted at once */
  EXPECT_EQ(std::make_tuple(refuse.calls, stream_hash_size()), std::make_tuple(1, 0));
  EXPECT_TRUE(add(kKey, a));
  EXPECT_FALSE(find(kKey, stale, first.id));
  EXPECT_FALSE(find(kKey, drop));
  EXPECT_EQ(std::make_tuple(stale.calls, drop.calls, stream_hash_size()), std::make_tuple(0, 1, 0));
  expect_empty();
}
zint_boolean broadcast_or_drop(stream_closure_t *sc, void *v) { /* and now and then deletes the stream */
  stream_closure_broadcast(sc, "{}", 2, "m", 1);
  return (*static_cast<std::minstd_rand *>(v))() % 7 != 0 && !stream_closure_is_empty(sc);
}

// what this proves: two threads adding to one new key make one stream of both records; concurrent watches,
// unwatches and deleting finds free nothing twice, count every refusal, and leave registry and gauge at zero
TEST(Stream, ConcurrentChurn) {
  std::vector<std::unique_ptr<test_ws::client>> sessions;
  for (int i = 0; i < 8; i++) sessions.push_back(std::make_unique<test_ws::client>());
  for (int round = 0; round < 50; round++) {
    std::thread t1([&] { EXPECT_TRUE(add("race", *sessions[0])); });
    EXPECT_TRUE(add("race", *sessions[1]));
    t1.join();
    EXPECT_EQ(std::make_pair(stream_hash_size(), stats_get_u64(gauge())), std::make_pair(1, uint64_t{2}));
    for (int i : {0, 1}) unwatch("race", *sessions[i]);
  }
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
  expect_empty();
}
} // namespace
