/* Tests of the subscription model on real websocket sessions: client records (filters, identity,
 * gauges, error frames), stream closures (union filter, broadcast and its failed-write handling) and
 * the stream registry (ownership of keys, callbacks, identities, races, safe reclamation). */
#include "client.h"
#include "vorn_stats.h"
#include "stream_closure.h"
#include "stream_hash.h"
#include "zint/zint_json.h"
#include "zint/zint_memory.h"

#include "support/ws_sessions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

stats_handle_t *gauge() {
  static stats_handle_t *g = [] {
    stats_init();
    stream_hash_init();
    client_init();
    return stats_register(stats_register_ns(stats_rec, nullptr, "test"), "gauge", STATS_TYPE_UINT64);
  }();
  return g;
}

uint64_t gauge_value() {
  zint_memory_barrier(); /* records of deleted streams are counted down at reclamation */
  return stats_get_u64(gauge());
}

vorn_client_t *record(test_ws::client &c, std::vector<const char *> names = {}) {
  return vorn_client_new(c.ctx, names.empty() ? nullptr : names.data(), names.size(), gauge());
}

char *heap_key(const std::string &s, size_t len) {
  char *k = static_cast<char *>(calloc(1, len + 1));
  memcpy(k, s.data(), std::min(len, s.size()));
  return k;
}

zint_json_object *parse(const std::string &s) {
  zint_json_tokener *tok = zint_json_tokener_new();
  zint_json_object *o = zint_json_tokener_parse_ex(tok, s.data(), (int) s.size());
  EXPECT_EQ(tok->err, 0) << s;
  zint_json_tokener_free(tok);
  return o;
}

std::vector<std::string> member_names(zint_json_object *o) {
  std::vector<std::string> out;
  for (zint_json_entry *e = zint_json_object_get_object_head(o); e; e = zint_json_entry_next(e))
    out.emplace_back(zint_json_entry_key(e));
  return out;
}

class Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }
  void TearDown() override {
    EXPECT_EQ(stream_hash_size(), 0);
    EXPECT_EQ(gauge_value(), 0u);
  }
};

// what this proves: an empty or absent filter admits everything; a filter matches exact bytes over the given length
TEST_F(Stream, ClientFilterMatchesExactNames) {
  test_ws::client c;
  std::vector<vorn_client_t *> wild = {vorn_client_new(c.ctx, nullptr, 0, gauge()),
                                       vorn_client_new(c.ctx, nullptr, 3, gauge())};
  for (auto *w : wild) {
    EXPECT_TRUE(vorn_client_is_wildcard(w));
    EXPECT_TRUE(vorn_client_has_name(w, "anything", 8));
    vorn_client_free(w);
  }
  vorn_client_t *r = record(c, {"cpu", "cpu"});
  EXPECT_FALSE(vorn_client_is_wildcard(r));
  EXPECT_EQ(zint_hash_size(&r->metric_names), 1); /* a name given twice is held once */
  EXPECT_TRUE(vorn_client_has_name(r, "cpu", 3));
  EXPECT_TRUE(vorn_client_has_name(r, "cpuX", 3));
  EXPECT_FALSE(vorn_client_has_name(r, "cpu_user", 8));
  EXPECT_FALSE(vorn_client_has_name(r, "cp", 2));
  vorn_client_free(r);
}

// what this proves: records are equal by session; counting happens once and is undone only for counted records
TEST_F(Stream, ClientIdentityAndGauge) {
  test_ws::client a, b;
  vorn_client_t *ra = record(a), *ra2 = record(a, {"x"}), *rb = record(b);
  vorn_client_t *thin = vorn_client_new_thin(a.ctx);
  EXPECT_FALSE(vorn_client_compare(ra, nullptr));
  EXPECT_FALSE(vorn_client_compare(nullptr, ra));
  EXPECT_TRUE(vorn_client_compare(ra, ra));
  EXPECT_TRUE(vorn_client_compare(ra, ra2));
  EXPECT_TRUE(vorn_client_compare(ra, thin));
  EXPECT_FALSE(vorn_client_compare(ra, rb));

  uint64_t before = stats_get_u64(gauge());
  vorn_client_set_active(ra);
  vorn_client_set_active(ra);
  EXPECT_EQ(stats_get_u64(gauge()), before + 1);
  vorn_client_free(rb); /* never counted */
  EXPECT_EQ(stats_get_u64(gauge()), before + 1);
  vorn_client_free(thin); /* touches neither the session nor a gauge */
  vorn_client_free(ra);
  vorn_client_free(ra2);
  EXPECT_EQ(stats_get_u64(gauge()), before);
}

// what this proves: error frames carry their members in order, cut long ids and map request kinds
TEST_F(Stream, ClientErrorFrames) {
  test_ws::client c;
  vorn_client_t *thin = vorn_client_new_thin(c.ctx);
  vorn_client_error(thin, "bad", 3, nullptr, 0, neither_request);
  const std::string uuid = "0123456789abcdef0123456789abcdef0123";
  vorn_client_error(thin, "worse", 5, uuid.c_str(), 60000, watch_request);
  std::string long_id = uuid + "XYZ";
  vorn_client_error(thin, "x", 1, long_id.c_str(), 0, (request_type) 7);

  zint_json_object *o = parse(c.read());
  EXPECT_EQ(member_names(o), (std::vector<std::string>{"error", "type"}));
  EXPECT_STREQ(zint_json_object_get_string(zint_json_object_object_get(o, "type")), "neither");
  zint_json_object_put(o);

  o = parse(c.read());
  EXPECT_EQ(member_names(o), (std::vector<std::string>{"error", "id", "period", "type"}));
  EXPECT_EQ(zint_json_object_get_string(zint_json_object_object_get(o, "id")), uuid);
  EXPECT_EQ(zint_json_object_get_int(zint_json_object_object_get(o, "period")), 60000);
  EXPECT_STREQ(zint_json_object_get_string(zint_json_object_object_get(o, "type")), "watch");
  zint_json_object_put(o);

  o = parse(c.read());
  EXPECT_EQ(zint_json_object_get_string(zint_json_object_object_get(o, "id")), long_id.substr(0, 37));
  EXPECT_STREQ(zint_json_object_get_string(zint_json_object_object_get(o, "type")), "unwatch");
  zint_json_object_put(o);
  vorn_client_free(thin);
}

// what this proves: the union filter has its three outcomes and hands every name to the caller
TEST_F(Stream, UnionFilter) {
  test_ws::client a, b, w;
  stream_closure_t *sc = stream_closure_new();
  stream_closure_write_lock(sc);
  int cnt = 7;
  EXPECT_EQ(stream_closure_get_filter(sc, &cnt), nullptr);
  EXPECT_EQ(cnt, -1);

  stream_closure_add_client(sc, record(a, {"a", "b"}));
  stream_closure_add_client(sc, record(b, {"b", "c"}));
  char **names = stream_closure_get_filter(sc, &cnt);
  ASSERT_EQ(cnt, 3);
  std::set<std::string> got;
  for (int i = 0; i < cnt; i++) {
    got.insert(names[i]);
    free(names[i]);
  }
  free(names);
  EXPECT_EQ(got, (std::set<std::string>{"a", "b", "c"}));

  stream_closure_add_client(sc, record(w));
  EXPECT_EQ(stream_closure_get_filter(sc, &cnt), nullptr);
  EXPECT_EQ(cnt, 0);
  stream_closure_unlock(sc);
  zint_memory_safe_free(sc);
}

// what this proves: a broadcast reaches exactly the records whose filter admits the metric; adding a session's record again replaces it
TEST_F(Stream, BroadcastHonoursFilters) {
  test_ws::client wild, wants_x, wants_y;
  stream_closure_t *sc = stream_closure_new();
  stream_closure_write_lock(sc);
  stream_closure_add_client(sc, record(wild));
  stream_closure_add_client(sc, record(wants_x, {"x"}));
  stream_closure_add_client(sc, record(wants_y, {"z"}));
  stream_closure_add_client(sc, record(wants_y, {"y"})); /* replaces the {"z"} record */
  EXPECT_EQ(vorn_arr_size(sc->clients), 3u);

  stream_closure_broadcast(sc, "frame-x", 7, "x", 1);
  stream_closure_broadcast(sc, "frame-y", 7, "y", 1);
  EXPECT_EQ(wild.read(), "frame-x");
  EXPECT_EQ(wild.read(), "frame-y");
  EXPECT_EQ(wants_x.read(), "frame-x");
  EXPECT_EQ(wants_y.read(), "frame-y");

  stream_closure_broadcast_error(sc, "oops", 4, "u", 5);
  for (auto *c : {&wild, &wants_x, &wants_y}) {
    zint_json_object *o = parse(c->read());
    EXPECT_STREQ(zint_json_object_get_string(zint_json_object_object_get(o, "type")), "watch");
    zint_json_object_put(o);
  }
  EXPECT_EQ(vorn_arr_size(sc->clients), 3u);
  unsigned char id[16];
  stream_closure_get_id(sc, id);
  EXPECT_TRUE(stream_closure_compare_id(sc, id));
  stream_closure_t *other = stream_closure_new();
  EXPECT_FALSE(stream_closure_compare_id(other, id));
  stream_closure_unlock(sc);
  zint_memory_safe_free(sc);
  zint_memory_safe_free(other);
}

// what this proves: of 300 subscribers the one whose session is gone is dropped and the other 299 get the frame
TEST_F(Stream, BroadcastDropsOnlyFailedRecord) {
  std::vector<std::unique_ptr<test_ws::client>> clients;
  for (int i = 0; i < 300; i++) clients.push_back(std::make_unique<test_ws::client>());
  stream_closure_t *sc = stream_closure_new();
  stream_closure_write_lock(sc);
  for (auto &c : clients) {
    vorn_client_t *r = record(*c);
    stream_closure_add_client(sc, r);
    vorn_client_set_active(r);
  }
  EXPECT_EQ(stats_get_u64(gauge()), 300u);
  clients[10]->disconnect();
  stream_closure_broadcast(sc, "hello", 5, "m", 1);
  EXPECT_EQ(vorn_arr_size(sc->clients), 299u);
  EXPECT_EQ(stats_get_u64(gauge()), 299u);
  size_t n;
  void **left = vorn_arr_get_elements(sc->clients, &n);
  for (size_t i = 0; i < n; i++) EXPECT_NE(((vorn_client_t *) left[i])->ctx, clients[10]->ctx);
  for (int i = 0; i < 300; i++) {
    if (i == 10) continue;
    EXPECT_EQ(clients[i]->read(), "hello") << i;
  }
  stream_closure_unlock(sc);
  zint_memory_safe_free(sc);
}

struct cb_log {
  int calls = 0;
  int optimize_calls = 0;
  bool result = true;
  unsigned char id[16];
};

zint_boolean log_cb(stream_closure_t *sc, void *v) {
  auto *l = static_cast<cb_log *>(v);
  l->calls++;
  stream_closure_get_id(sc, l->id);
  return l->result;
}

void log_optimize(void *v) { static_cast<cb_log *>(v)->optimize_calls++; }

const std::string kUuid = "6f1c2ae4-9b1d-4c0e-8a43-3d2f1c2ae49b";

// what this proves: add creates a stream on first use, takes its key in every case and replaces a session's record
TEST_F(Stream, RegistryAddAndRemove) {
  test_ws::client a, b;
  cb_log l;
  EXPECT_TRUE(stream_hash_add_client(heap_key(kUuid, 37), 37, record(a, {"x"}), log_cb, &l));
  EXPECT_EQ(l.calls, 1);
  EXPECT_EQ(stream_hash_size(), 1);
  /* the existing stream: the caller's key is freed (ASan would see a leak otherwise) */
  EXPECT_TRUE(stream_hash_add_client(heap_key(kUuid, 37), 37, record(a, {"y"}), nullptr, nullptr));
  EXPECT_TRUE(stream_hash_add_client(heap_key(kUuid, 37), 37, record(b), nullptr, nullptr));
  EXPECT_EQ(gauge_value(), 2u);

  /* a broker key for the same check is another stream */
  std::string broker_key = kUuid + "60000";
  EXPECT_TRUE(stream_hash_add_client(heap_key(broker_key, broker_key.size()), broker_key.size(), record(a),
                                     nullptr, nullptr));
  EXPECT_EQ(stream_hash_size(), 2);

  vorn_client_t *probe = vorn_client_new_thin(a.ctx);
  cb_log rl;
  stream_hash_remove_client(kUuid.c_str(), 37, probe, log_cb, &rl); /* b stays: callback runs */
  EXPECT_EQ(rl.calls, 1);
  stream_hash_remove_client(kUuid.c_str(), 37, probe, log_cb, &rl); /* nothing of a's left: no call */
  EXPECT_EQ(rl.calls, 1);
  stream_hash_remove_client(broker_key.c_str(), broker_key.size(), probe, log_cb, &rl); /* last: deleted, no call */
  EXPECT_EQ(rl.calls, 1);
  vorn_client_free(probe);
  EXPECT_EQ(stream_hash_size(), 1);
  probe = vorn_client_new_thin(b.ctx);
  stream_hash_remove_client(kUuid.c_str(), 37, probe, nullptr, nullptr);
  vorn_client_free(probe);
}

// what this proves: a callback that refuses deletes the stream yet the record counts as taken; ids bind finds to one instance
TEST_F(Stream, RegistryCallbacksAndIdentity) {
  test_ws::client a;
  cb_log refuse;
  refuse.result = false;
  EXPECT_TRUE(stream_hash_add_client(heap_key(kUuid, 37), 37, record(a), log_cb, &refuse));
  EXPECT_EQ(stream_hash_size(), 0);

  cb_log first;
  EXPECT_TRUE(stream_hash_add_client(heap_key(kUuid, 37), 37, record(a), log_cb, &first));
  cb_log find;
  EXPECT_TRUE(stream_hash_get_stream_closure(kUuid.c_str(), 37, first.id, log_cb, nullptr, &find));
  EXPECT_EQ(find.calls, 1);
  EXPECT_EQ(memcmp(find.id, first.id, 16), 0);

  /* an older instance's identity acts on nothing */
  cb_log stale;
  EXPECT_FALSE(stream_hash_get_stream_closure(kUuid.c_str(), 37, refuse.id, log_cb, nullptr, &stale));
  EXPECT_EQ(stale.calls, 0);

  /* the preparation runs once, outside the lock, and only for existing streams */
  cb_log opt;
  EXPECT_TRUE(stream_hash_get_stream_closure(kUuid.c_str(), 37, nullptr, log_cb, log_optimize, &opt));
  EXPECT_EQ(opt.optimize_calls, 1);
  EXPECT_EQ(opt.calls, 1);
  cb_log absent;
  std::string other = "00000000-0000-0000-0000-000000000000";
  EXPECT_FALSE(stream_hash_get_stream_closure(other.c_str(), 37, nullptr, log_cb, log_optimize, &absent));
  EXPECT_EQ(absent.calls + absent.optimize_calls, 0);

  /* a find whose callback refuses deletes the stream */
  cb_log drop;
  drop.result = false;
  EXPECT_FALSE(stream_hash_get_stream_closure(kUuid.c_str(), 37, nullptr, log_cb, nullptr, &drop));
  EXPECT_EQ(stream_hash_size(), 0);
}

// what this proves: two threads adding to the same new key end with one stream holding both records
TEST_F(Stream, RegistryInsertRace) {
  test_ws::client a, b;
  for (int round = 0; round < 50; round++) {
    std::string key = "race-" + std::to_string(round);
    std::thread t1([&] { stream_hash_add_client(heap_key(key, key.size()), key.size(), record(a), nullptr, nullptr); });
    std::thread t2([&] { stream_hash_add_client(heap_key(key, key.size()), key.size(), record(b), nullptr, nullptr); });
    t1.join();
    t2.join();
    EXPECT_EQ(stream_hash_size(), 1);
    EXPECT_EQ(gauge_value(), 2u);
    for (auto *c : {&a, &b}) {
      vorn_client_t *probe = vorn_client_new_thin(c->ctx);
      stream_hash_remove_client(key.c_str(), key.size(), probe, nullptr, nullptr);
      vorn_client_free(probe);
    }
    EXPECT_EQ(stream_hash_size(), 0);
  }
}

zint_boolean broadcast_or_drop(stream_closure_t *sc, void *v) {
  auto *rng = static_cast<std::minstd_rand *>(v);
  stream_closure_broadcast(sc, "{}", 2, "m", 1);
  if ((*rng)() % 7 == 0) return false; /* callbacks delete streams now and then */
  return !stream_closure_is_empty(sc);
}

// what this proves: concurrent adds, removes and finds that delete streams leave nothing behind and free nothing twice
TEST_F(Stream, RegistryConcurrentChurn) {
  std::vector<std::unique_ptr<test_ws::client>> sessions;
  for (int i = 0; i < 8; i++) sessions.push_back(std::make_unique<test_ws::client>());
  const std::vector<std::string> keys = {"k0", "k1", "k2", "k3"};
  std::atomic<bool> stop{false};
  std::atomic<int> refused{0};
  uint64_t errors_before = stats_get_u64(hash_err_counter);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&, t] {
      std::minstd_rand rng(t + 1);
      while (!stop) {
        const std::string &key = keys[rng() % keys.size()];
        test_ws::client &s = *sessions[rng() % sessions.size()];
        switch (rng() % 3) {
          case 0: {
            /* a lost insert race whose winner is already gone leaves the record with the caller */
            vorn_client_t *r = record(s, {"m"});
            if (!stream_hash_add_client(heap_key(key, key.size()), key.size(), r,
                                        rng() % 2 ? broadcast_or_drop : nullptr, &rng)) {
              refused++;
              vorn_client_free(r);
            }
            break;
          }
          case 1: {
            vorn_client_t *probe = vorn_client_new_thin(s.ctx);
            stream_hash_remove_client(key.c_str(), key.size(), probe, broadcast_or_drop, &rng);
            vorn_client_free(probe);
            break;
          }
          default:
            stream_hash_get_stream_closure(key.c_str(), key.size(), nullptr, broadcast_or_drop, nullptr, &rng);
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(2)); /* the load runs for a fixed time; nothing is timed */
  stop = true;
  for (auto &t : threads) t.join();
  EXPECT_EQ(stats_get_u64(hash_err_counter) - errors_before, (uint64_t) refused.load());
  for (auto &s : sessions)
    for (auto &key : keys) {
      vorn_client_t *probe = vorn_client_new_thin(s->ctx);
      stream_hash_remove_client(key.c_str(), key.size(), probe, nullptr, nullptr);
      vorn_client_free(probe);
    }
}

} // namespace
