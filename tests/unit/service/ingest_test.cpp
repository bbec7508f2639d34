/* The bus ingest through its hook to a real websocket session: data messages, bad lines, dedupe, backlog. */
#include "ingest.h"
#include "data_message.h"
#include "dedup.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "harl/harl.h"
#include "hist/hist.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"
#include "support/ws_sessions.h"
#include <gtest/gtest.h>
#include <bit>
#include <cmath>
#include <random>
#include <thread>

namespace {
const std::string kCheck = "0b7c4e1a-5d2f-4c3b-9a8e-7f6d5c4b3a21";
uint64_t value_of(const char *ns, const char *n) {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, ns), n, STATS_TYPE_COUNTER));
}
stats_handle_t *gauge() { /* the bus module loaded, without a connection; its hook called by the tests */
  static stats_handle_t *g = [] {
    zint_conf_load_string("<vorn-c><pools handle_pask_messages_in_jobq=\"true\"/></vorn-c>");
    zint_dso_reset();
    zint_dso_register("pask", nullptr, [] { return 0; });
    zint_dso_init();
    stats_init();
    stream_hash_init();
    client_init();
    eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 4, 0, 0);
    eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0);
    pask_init();
    return stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
  }();
  return g;
}
uint64_t fresh_second() { /* unique to each use: tests never share a dedupe bucket by accident */
  static std::atomic<uint64_t> next{1733600000};
  return next++;
}
std::string line(char kind, uint64_t sec, const std::string &rest, const std::string &check = kCheck) {
  return std::string(1, kind) + "\tbroker-01\t" + std::to_string(sec) + "\t" + check + "\t" + rest;
}
/* A client data message of kCheck, with the newline queued() puts after each. */
std::string frame(const std::string &metric, const std::string &time, const std::string &tail) {
  return "{\"check\":{\"id\":\"" + kCheck + "\",\"metric_name\":\"" + metric + "\",\"time\":" + time + "," +
         tail + "}}\n";
}
std::string b64_of(const std::vector<std::tuple<int8_t, int8_t, uint64_t>> &buckets) {
  std::unique_ptr<histogram_t, decltype(&hist_free)> h(hist_alloc(), hist_free);
  for (auto [val, exp, cnt] : buckets) EXPECT_EQ(hist_insert_raw(h.get(), val, exp, cnt), 0);
  std::unique_ptr<char, decltype(&free)> t(hist_serialize_b64(h.get(), nullptr), free);
  return t.get();
}
std::string bundle_of(const std::string &text, int lines, uint64_t sec) {
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> b(
      harl_bundle_build("broker-01", std::to_string(sec).c_str(), text.data(), text.size(), lines, &len),
      free);
  return std::string(b.get(), len - 1);
}
/* Hands a payload to the hook the way the bus module does: a private buffer with a NUL after it. */
void deliver(const std::string &payload) {
  std::vector<char> buf(payload.begin(), payload.end());
  buf.push_back('\0');
  handle_pask_message(nullptr, nullptr, 1, nullptr, buf.data(), payload.size());
}
bool dup(const std::string &p) { return is_duplicate(p.c_str(), p.size()); }

// what this proves: repeats inside the dedupe window are dropped, and exactly one of 20 racing threads passes
TEST(Pask, DuplicatesInsideTheWindowOnly) {
  gauge();
  uint64_t s = fresh_second();
  std::string a = line('M', s, "cpu\ti\t1"),
              q = "M\tbroker-01\t" + std::to_string(s) + ".25\t" + kCheck + "\tc";
  int buckets = pask_dedupe_bucket_count();
  EXPECT_EQ(std::vector<bool>({dup(a), dup(a), dup(line('M', s, "cpu\ti\t2")), dup(q), dup(q),
                               dup(line('M', fresh_second(), "cpu\ti\t1"))}),
            std::vector<bool>({false, true, false, false, true, false}));
  EXPECT_EQ(pask_dedupe_bucket_count(), buckets + 2); /* the fraction shares its second's bucket */
  auto prune = [](uint64_t now) {
    int r;
    while ((r = pask_prune_dedupe_at(now)) < 0) std::this_thread::yield(); /* the timer's prune runs */
    return r;
  };
  const uint64_t touched = (uint64_t) pask_dedupe_last_touched(s);
  prune(touched - 1); /* a clock behind the bucket never removes it */
  prune(touched + 10);
  EXPECT_TRUE(dup(a));
  EXPECT_GE(prune((uint64_t) pask_dedupe_last_touched(s) + 11), 1);
  EXPECT_EQ(std::vector<bool>({dup(a), dup(a)}), std::vector<bool>({false, true})); /* pruned: passes again */
  for (int round = 0; round < 25; round++) {
    std::string p = line('M', fresh_second(), "race\ti\t" + std::to_string(round));
    std::atomic<int> ready{0}, firsts{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 20; i++)
      ts.emplace_back([&] {
        for (ready++; ready.load() < 20;) std::this_thread::yield();
        firsts += !dup(p);
      });
    for (auto &t : ts) t.join();
    EXPECT_EQ(firsts.load(), 1) << "round " << round;
  }
}

// what this proves: bucket keys are "%f" texts (random bit patterns, ties at the sixth decimal, extremes,
// non-finite values)
TEST(Pask, BucketNamesPrintAsPercentF) {
  std::mt19937_64 rnd(7);
  std::vector<double> v = {-0.0, 0.0000015, -0.0000025, 5e-324, -1.7976931348623157e308, INFINITY, NAN};
  for (int i = 0; i < 20000; i++)
    v.insert(v.end(), {std::bit_cast<double>(rnd()), (double) (int64_t) (rnd() % 4000001 - 2000000) * 0.0000005});
  char name[DATA_MESSAGE_BUCKET_NAME_MAX], want[DATA_MESSAGE_BUCKET_NAME_MAX];
  for (double d : v)
    ASSERT_STREQ(data_message_bucket_name(d, name), (snprintf(want, sizeof want, "%f", d), want)) << std::hexfloat << d;
}

// what this proves: each payload sends exactly its data messages, bad lines count, the backlog has a bound
TEST(Pask, HookFramesAndBadLines) {
  gauge();
  test_ws::client c;
  ASSERT_TRUE(pask_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, gauge()), kCheck.c_str()));
  uint64_t fh = value_of("mq", "firehose"), bad = value_of("mq", "bad_lines"),
           errs = value_of("errors", "pask");
  char empty[1] = {0};
  handle_pask_message(nullptr, nullptr, 1, nullptr, nullptr, 5); /* not counted */
  handle_pask_message(nullptr, nullptr, 1, nullptr, empty, 0);
  const uint64_t s = fresh_second(), u = 1733540000;
  const std::string ts = std::to_string(s) + ".0", t = "1733540000.0",
                    M = "\"type\":\"M\",\"value\":", H = "\"type\":\"H1\",\"histogram\":";
  const std::string pair = bundle_of(line('M', s, "a\ti\t1") + "\n" + line('M', s, "b\ti\t2"), 2, s);
  const struct {
    std::string payload;
    bool bad; /* a "mq"/"bad_lines" line */
    std::string frames;
  } rows[] = {
      {line('M', u, "cpu\ti\t-42"), 0, frame("cpu", t, M + "-42")},
      {line('M', u, "cpu\tI\t4294967295"), 0, frame("cpu", t, M + "4294967295")},
      {line('M', u, "cpu\tl\t-9223372036854775808"), 0, frame("cpu", t, M + "-9223372036854775808")},
      {line('M', u, "cpu\tL\t18446744073709551615"), 0, frame("cpu", t, M + "18446744073709551615")},
      {line('M', u, "cpu\tn\t1.5"), 0, frame("cpu", t, M + "1.5")},
      {line('M', u, "cpu\ts\tup \"and\" running"), 0, frame("cpu", t, M + "\"up \\\"and\\\" running\"")},
      {line('M', u, "cpu\ti\t[[null]]"), 0, frame("cpu", t, M + "null")},
      {"M\tbroker-01\t1733540000.001\t" + kCheck + "\tcpu\ti\t1", 0, frame("cpu", "1733540000.001", M + "1")},
      {line('M', u, "cpu|ST[host:a,dc:x]\ti\t3", "0B7C4E1A-5D2F-4C3B-9A8E-7F6D5C4B3A21"), 0,
       frame("cpu|ST[host:a,dc:x]", t, M + "3")},
      {line('H', u, "lat\t" + b64_of({{50, -1, 3}, {10, 1, 1}})), 0,
       frame("lat", t, H + "{\"0.500000\":3,\"10.000000\":1}")},
      {line('H', u, "lat\t" + b64_of({})), 0, frame("lat", t, H + "{}")},
      /* 0, 1e-7 and 2e-7 all print as 0.000000; -1e-7 as -0.000000 */
      {line('H', u, "lat\t" + b64_of({{-10, -7, 4}, {0, 0, 1}, {10, -7, 2}, {20, -7, 5}, {10, 0, 9}})), 0,
       frame("lat", t, H + "{\"-0.000000\":4,\"0.000000\":8,\"1.000000\":9}")},
      {line('H', u, "lat\t" + b64_of({{10, -7, UINT64_MAX}, {20, -7, 5}})), 0,
       frame("lat", t, H + "{\"0.000000\":18446744073709551615}")},
      {line('M', s, "cpu\ti\t42") + "\n", 0, frame("cpu", ts, M + "42")},
      {line('M', s, "cpu\ti\t43"), 0, frame("cpu", ts, M + "43")},
      {pair, 0, frame("a", ts, M + "1") + frame("b", ts, M + "2")},
      {pair, 0, ""},
      {line('H', s, "lat\t###", "1c8d5f2b-6e3a-4d4c-8b9f-8a7e6d5c4b32"), 0, ""}, /* unwatched: not decoded */
      {bundle_of(line('M', s, "kept\ti\t1") + "\n" + line('M', s, "cpu\tq\t1"), 2, s), 1,
       frame("kept", ts, M + "1")},
      {"B\tbroker-01\t" + std::to_string(s) + "\t1\tAAAA", 1, ""}, /* broken zlib data */
      {line('H', s, "lat\tnot*base64"), 1, ""},                    /* histogram does not decode */
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.payload.substr(0, 200));
    deliver(r.payload);
    ASSERT_TRUE(vorn_test::wait_until([] { return pask_backlog_bytes() == 0; }));
    EXPECT_EQ(c.queued(), r.frames);
    EXPECT_EQ(value_of("mq", "bad_lines"), bad += r.bad);
  }
  /* Jobs ahead in the queue hold the workers: past the bound (three payloads) new ones are dropped. */
  static std::atomic<bool> go{false}; /* static: a holding job may still be leaving when the test ends */
  auto hold = [](eventer_t, int mask, void *, struct timeval *) {
    while (mask == EVENTER_ASYNCH_WORK && !go.load()) std::this_thread::yield();
    return 0;
  };
  for (int i = 0; i < 4; i++)
    ASSERT_TRUE(eventer_add_asynch(eventer_jobq_retrieve(PROCESS_PASK_MESSAGE_JOBQ),
                                   eventer_alloc_asynch(hold, nullptr)));
  const uint64_t dropped = value_of("mq", "dropped");
  deliver(line('M', s, "cpu\ti\t43")); /* a repeat, first in its batch, then four new ones */
  const size_t cost = pask_backlog_bytes();
  pask_set_backlog_limit(3 * cost);
  for (int i = 4; i <= 7; i++) deliver(line('M', s, "cpu\ti\t4" + std::to_string(i)));
  EXPECT_EQ(std::make_pair(pask_backlog_bytes(), value_of("mq", "dropped")),
            std::make_pair(3 * cost, dropped + 2));
  go = true;
  ASSERT_TRUE(vorn_test::wait_until([] { return pask_backlog_bytes() == 0; }));
  pask_set_backlog_limit(PASK_DEFAULT_BACKLOG_BYTES);
  EXPECT_EQ(c.queued(), frame("cpu", ts, M + "44") + frame("cpu", ts, M + "45"));
  EXPECT_EQ(std::make_pair(value_of("errors", "pask"), value_of("mq", "firehose")),
            std::make_pair(errs + 1, fh + std::size(rows) + 5));
  vorn_client_t *thin = vorn_client_new_thin(c.ctx);
  pask_unsubscribe_client(thin, kCheck.c_str());
  vorn_client_free(thin);
  zint_memory_barrier();
  EXPECT_EQ(std::make_pair(stream_hash_size(), stats_get_u64(gauge())), std::make_pair(0, 0ul));
}
} // namespace
