/* The message-bus ingest through its hook to a real websocket session watching with pask_subscribe_client:
 * the client data message of every line kind, bad lines, duplicate suppression and its window. */
#include "ingest.h"
#include "dedup.h"
#include "data_message.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "hist/hist.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"
#include "support/wait.h"
#include "support/ws_sessions.h"
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <tuple>

namespace {
const std::string kCheck = "0b7c4e1a-5d2f-4c3b-9a8e-7f6d5c4b3a21",
                  kOther = "1c8d5f2b-6e3a-4d4c-8b9f-8a7e6d5c4b32";
const std::string kUpper = "0B7C4E1A-5D2F-4C3B-9A8E-7F6D5C4B3A21";

uint64_t value_of(const char *ns, const char *n) {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, ns), n, STATS_TYPE_COUNTER));
}

stats_handle_t *gauge() {
  static stats_handle_t *g = [] {
    zint_conf_load_string("<vorn-c><pools handle_pask_messages_in_jobq=\"true\"/></vorn-c>");
    zint_dso_reset(); /* hooks need the bus module loaded: here it is, without a connection */
    zint_dso_register("pask", nullptr, [] { return 0; });
    zint_dso_init(), stats_init(), stream_hash_init(), client_init();
    eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 4, 0, 0),
        eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0), pask_init();
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
std::string frame(const std::string &metric, const std::string &time, const std::string &tail) {
  return "{\"check\":{\"id\":\"" + kCheck + "\",\"metric_name\":\"" + metric + "\",\"time\":" + time + "," +
         tail + "}}";
}

std::string b64_of(const std::vector<std::tuple<int8_t, int8_t, uint64_t>> &buckets) {
  histogram_t *h = hist_alloc();
  for (auto [val, exp, cnt] : buckets) EXPECT_EQ(hist_insert_raw(h, val, exp, cnt), 0);
  char *t = hist_serialize_b64(h, nullptr);
  std::string s(t);
  return free(t), hist_free(h), s;
}
std::string bundle_of(const std::string &a, const std::string &b, uint64_t sec) {
  std::string text = a + "\n" + b;
  size_t len = 0;
  char *bundle =
      harl_bundle_build("broker-01", std::to_string(sec).c_str(), text.data(), text.size(), 2, &len);
  std::string out(bundle, len - 1);
  return free(bundle), out;
}

/* Hands a payload to the hook the way the bus module does: a private buffer with a NUL after it. */
void deliver(const std::string &payload) {
  std::vector<char> buf(payload.begin(), payload.end());
  buf.push_back('\0');
  handle_pask_message(nullptr, nullptr, 1, nullptr, buf.data(), payload.size());
}

/* Frames the session got before a marker queued now. */
std::vector<std::string> frames(test_ws::client &c) {
  zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "marker", 6);
  std::vector<std::string> out;
  for (std::string f = c.read(); f != "marker" && !f.empty(); f = c.read()) out.push_back(f);
  return out;
}

bool dup(const std::string &p) { return is_duplicate(p.c_str(), p.size()); }

// what this proves: identical bytes of one second are dropped while their bucket lives (10 s after its last
// lookup) and pass again once it is pruned at 11 s; another byte, another second, or no readable second lets
// a payload through and stores nothing
TEST(Pask, DuplicatesInsideTheWindowOnly) {
  gauge();
  uint64_t s = fresh_second();
  std::string a = line('M', s, "cpu\ti\t1"),
              q = "M\tbroker-01\t" + std::to_string(s) + ".25\t" + kCheck + "\tcpu\ti\t1";
  int buckets = pask_dedupe_bucket_count();
  EXPECT_EQ(std::vector<bool>({dup(a), dup(a), dup(line('M', s, "cpu\ti\t2")), dup(q), dup(q),
                               dup(line('M', fresh_second(), "cpu\ti\t1"))}),
            std::vector<bool>({false, true, false, false, true, false}));
  EXPECT_EQ(pask_dedupe_bucket_count(), buckets + 2); /* the fraction shares its second's bucket */
  auto prune = [](uint64_t now) {                     /* < 0: the timer's prune is running */
                                  for (int r;;)
                                    if ((r = pask_prune_dedupe_at(now)) >= 0) return r;
  };
  int64_t touched = pask_dedupe_last_touched(s);
  ASSERT_GE(touched, 0);
  prune((uint64_t) touched - 1); /* a clock behind the bucket never removes it */
  prune((uint64_t) touched + 10);
  EXPECT_TRUE(dup(a));
  EXPECT_GE(prune((uint64_t) pask_dedupe_last_touched(s) + 11), 1);
  EXPECT_EQ(pask_dedupe_last_touched(s), -1); /* pruned: the payload passes again */
  EXPECT_EQ(std::vector<bool>({dup(a), dup(a)}), std::vector<bool>({false, true}));
  buckets = pask_dedupe_bucket_count();
  for (std::string p : {"M\tbroker01", "M\tbroker-01\tsoon\tx", "M\tbroker-01\t0\tx", ""})
    EXPECT_EQ(std::make_tuple(get_message_time(p.c_str(), (int) p.size()), dup(p), dup(p)),
              std::make_tuple(uint64_t{0}, false, false))
        << p;
  EXPECT_EQ(pask_dedupe_bucket_count(), buckets);
}

// what this proves: of 20 threads testing one new payload at once exactly one sees it as new (TSan watches
// the table)
TEST(Pask, DedupeOneWinnerAmongThreads) {
  gauge();
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

// what this proves: through the hook and its queue each payload sends exactly its frames in order: every
// value type and histogram as its whole client data message (extremes and fractions exact, same-name buckets
// summed, the id in lower case), newline cut, last character kept, a repeated bundle dropped; each bad line
// adds one to "mq"/"bad_lines", and only a watched histogram that does not decode is an error
TEST(Pask, HookFramesAndBadLines) {
  gauge();
  ASSERT_GT(test_ws::port(), 0);
  test_ws::client c;
  ASSERT_TRUE(pask_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, gauge()), kCheck.c_str()));
  uint64_t fh = value_of("mq", "firehose"), bad = value_of("mq", "bad_lines"),
           errs = value_of("errors", "pask");
  char empty[1] = {0};
  handle_pask_message(nullptr, nullptr, 1, nullptr, nullptr, 5),
      handle_pask_message(nullptr, nullptr, 1, nullptr, empty, 0); /* not counted */
  const uint64_t s = fresh_second(), u = 1733540000;
  const std::string ts = std::to_string(s) + ".0", t = "1733540000.0",
                    M = "\"type\":\"M\",\"value\":", H = "\"type\":\"H1\",\"histogram\":";
  const std::string pair = bundle_of(line('M', s, "a\ti\t1"), line('M', s, "b\ti\t2"), s);
  const struct {
    std::string payload;
    bool bad;
    std::vector<std::string> frames;
  } rows[] = {
      /* bad: a "mq"/"bad_lines" line */
      {line('M', u, "cpu\ti\t-42"), false, {frame("cpu", t, M + "-42")}},
      {line('M', u, "cpu\tI\t4294967295"), false, {frame("cpu", t, M + "4294967295")}},
      {line('M', u, "cpu\tl\t-9223372036854775808"), false, {frame("cpu", t, M + "-9223372036854775808")}},
      {line('M', u, "cpu\tL\t18446744073709551615"), false, {frame("cpu", t, M + "18446744073709551615")}},
      {line('M', u, "cpu\tn\t1.5"), false, {frame("cpu", t, M + "1.5")}},
      {line('M', u, "cpu\ts\tup \"and\" running"),
       false,
       {frame("cpu", t, M + "\"up \\\"and\\\" running\"")}},
      {line('M', u, "cpu\ti\t[[null]]"), false, {frame("cpu", t, M + "null")}},
      {line('M', u, "cpu\ts\t[[null]]"), false, {frame("cpu", t, M + "null")}},
      {"M\tbroker-01\t1733540000.001\t" + kCheck + "\tcpu\ti\t1",
       false,
       {frame("cpu", "1733540000.001", M + "1")}},
      {"M\tbroker-01\t1733540000.25\t" + kCheck + "\tcpu\ti\t1",
       false,
       {frame("cpu", "1733540000.25", M + "1")}},
      {line('M', u, "cpu|ST[host:a,dc:x]\ti\t3", kUpper), false, {frame("cpu|ST[host:a,dc:x]", t, M + "3")}},
      {line('H', u, "lat\t" + b64_of({{50, -1, 3}, {10, 1, 1}})),
       false,
       {frame("lat", t, H + "{\"0.500000\":3,\"10.000000\":1}")}},
      {line('H', u, "lat\t" + b64_of({})),
       false,
       {frame("lat", t, H + "{}")}}, /* 0, 1e-7 and 2e-7 all print as 0.000000; -1e-7 as -0.000000 */
      {line('H', u, "lat\t" + b64_of({{-10, -7, 4}, {0, 0, 1}, {10, -7, 2}, {20, -7, 5}, {10, 0, 9}})),
       false,
       {frame("lat", t, H + "{\"-0.000000\":4,\"0.000000\":8,\"1.000000\":9}")}},
      {line('H', u, "lat\t" + b64_of({{10, -7, UINT64_MAX}, {20, -7, 5}})),
       false,
       {frame("lat", t, H + "{\"0.000000\":18446744073709551615}")}},
      {"\n", false, {}},
      {line('M', s, "cpu\ti\t42") + "\n", false, {frame("cpu", ts, M + "42")}},
      {line('M', s, "cpu\ti\t43"), false, {frame("cpu", ts, M + "43")}},
      {pair, false, {frame("a", ts, M + "1"), frame("b", ts, M + "2")}},
      {pair, false, {}},
      {line('H', s, "lat\t###", kOther), false, {}}, /* nobody watches it: never converted */
      {line('M', s, "cpu\ti\t99999999999"), true /* value malformed or out of range for its type */, {}},
      {"B\tbroker-01\t" + std::to_string(s) + "\t1\tAAAA",
       true /* bundle: broken or truncated zlib data */,
       {}},
      {bundle_of(line('M', s, "kept\ti\t1"), line('M', s, "cpu\tq\t1"), s),
       true /* unknown value type */,
       {frame("kept", ts, M + "1")}},
      {line('H', s, "lat\tnot*base64"), true /* histogram does not decode */, {}},
  };
  for (const auto &r : rows) {
    deliver(r.payload);
    ASSERT_TRUE(vorn_test::wait_until([] { return pask_backlog_bytes() == 0; }));
    EXPECT_EQ(frames(c), r.frames) << r.payload;
    EXPECT_EQ(value_of("mq", "bad_lines"), bad += r.bad) << r.payload;
  }
  EXPECT_EQ(std::make_pair(value_of("errors", "pask"), value_of("mq", "firehose")),
            std::make_pair(errs + 1, fh + std::size(rows)));
  vorn_client_t *thin = vorn_client_new_thin(c.ctx);
  pask_unsubscribe_client(thin, kCheck.c_str());
  vorn_client_free(thin);
  zint_memory_barrier();
  EXPECT_EQ(std::make_pair(stream_hash_size(), stats_get_u64(gauge())), std::make_pair(0, uint64_t{0}));
}
} // namespace
