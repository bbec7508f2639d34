/* Tests of the statistics library (tree, atomic adds, JSON output) and of the service's stats
 * module (the one recorder and error counting). */
#include "vorn_stats.h"
#include "stats/stats.h"
#include "zint/zint_json.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Recorder {
  stats_recorder_t *rec = stats_recorder_alloc();
  ~Recorder() { stats_recorder_free(rec); }
};

ssize_t append_outf(void *closure, const char *buf, size_t len) {
  static_cast<std::string *>(closure)->append(buf, len);
  return static_cast<ssize_t>(len);
}

std::string output(stats_recorder_t *rec, bool pretty = false, bool include_empty = true) {
  std::string out;
  ssize_t n = stats_recorder_output_json(rec, pretty, include_empty, append_outf, &out);
  EXPECT_EQ(n, static_cast<ssize_t>(out.size()));
  return out;
}

/* The compact form of whatever JSON text: parse it and write it with the JSON layer. */
std::string normalise(const std::string &text) {
  zint_json_tokener *tok = zint_json_tokener_new();
  zint_json_object *o = zint_json_tokener_parse_ex(tok, text.data(), static_cast<int>(text.size()));
  EXPECT_EQ(tok->err, zint_json_tokener_success) << text;
  zint_json_tokener_free(tok);
  std::string res = zint_json_object_to_json_string(o);
  zint_json_object_put(o);
  return res;
}

} // namespace

// what this proves: namespaces and values are found again by name, conflicting or bad
// registrations are refused, and registration order is output order
TEST(Stats, Registration) {
  Recorder r;
  stats_ns_t *root = stats_recorder_global_ns(r.rec);
  ASSERT_NE(root, nullptr);
  stats_ns_t *errors = stats_register_ns(r.rec, nullptr, "errors");
  ASSERT_NE(errors, nullptr);
  EXPECT_EQ(stats_register_ns(r.rec, nullptr, "errors"), errors);
  EXPECT_EQ(stats_register_ns(r.rec, root, "errors"), errors);
  stats_handle_t *total = stats_register(errors, "total", STATS_TYPE_COUNTER);
  stats_handle_t *api = stats_register(stats_register_ns(r.rec, nullptr, "errors"), "api",
                                       STATS_TYPE_COUNTER);
  ASSERT_NE(total, nullptr);
  ASSERT_NE(api, nullptr);
  EXPECT_NE(total, api);
  EXPECT_EQ(stats_register(errors, "total", STATS_TYPE_COUNTER), total);
  EXPECT_EQ(stats_register(errors, "total", STATS_TYPE_UINT64), nullptr); /* other type */
  EXPECT_EQ(stats_register_ns(r.rec, errors, "total"), nullptr);          /* taken by a value */
  EXPECT_EQ(stats_register(root, "errors", STATS_TYPE_COUNTER), nullptr); /* taken by a ns */
  EXPECT_EQ(stats_register(nullptr, "x", STATS_TYPE_COUNTER), nullptr);
  EXPECT_EQ(stats_register(errors, nullptr, STATS_TYPE_COUNTER), nullptr);
  EXPECT_EQ(stats_register(errors, "", STATS_TYPE_COUNTER), nullptr);
  EXPECT_EQ(stats_register(errors, "x", static_cast<stats_type_t>(99)), nullptr);
  EXPECT_EQ(stats_register_ns(nullptr, nullptr, "x"), nullptr);
  EXPECT_EQ(stats_register_ns(r.rec, nullptr, nullptr), nullptr);
  Recorder other;
  EXPECT_EQ(stats_register_ns(other.rec, errors, "x"), nullptr); /* parent of another recorder */

  stats_handle_t *requests = stats_register(root, "requests", STATS_TYPE_COUNTER);
  stats_ns_t *global = stats_register_ns(r.rec, stats_register_ns(r.rec, nullptr, "agents"),
                                         "global");
  stats_handle_t *conns = stats_register(global, "connections", STATS_TYPE_UINT64);
  stats_add64(requests, 3);
  stats_add64(api, 1);
  stats_add64(conns, 2);
  stats_add64(conns, -1);
  EXPECT_EQ(output(r.rec),
            "{\"errors\":{\"total\":0,\"api\":1},\"requests\":3,"
            "\"agents\":{\"global\":{\"connections\":1}}}");
  /* Bad handles and type mismatches change nothing and do not crash. */
  stats_add64(nullptr, 1);
  uint64_t v = 7;
  EXPECT_FALSE(stats_set(nullptr, STATS_TYPE_UINT64, &v));
  EXPECT_FALSE(stats_set(conns, STATS_TYPE_STRING, "x"));
  EXPECT_FALSE(stats_set(conns, STATS_TYPE_UINT64, nullptr));
  EXPECT_TRUE(stats_set(conns, STATS_TYPE_UINT64, &v));
  EXPECT_EQ(stats_get_u64(conns), 7u);
  EXPECT_EQ(stats_recorder_output_json(nullptr, true, true, append_outf, nullptr), -1);
  EXPECT_EQ(stats_recorder_output_json(r.rec, true, true, nullptr, nullptr), -1);
}

// what this proves: gauges that go below zero for a moment never print as a huge number, signed
// values print their sign, and set values print as set
TEST(Stats, GaugeReadings) {
  Recorder r;
  stats_ns_t *root = stats_recorder_global_ns(r.rec);
  stats_handle_t *g = stats_register(root, "g", STATS_TYPE_UINT64);
  stats_handle_t *s = stats_register(root, "s", STATS_TYPE_INT64);
  stats_add64(g, -1);
  stats_add64(s, -5);
  EXPECT_EQ(output(r.rec), "{\"g\":0,\"s\":-5}");
  stats_add64(g, 1); /* the overtaken increment lands: exact again */
  stats_add64(g, 1);
  EXPECT_EQ(output(r.rec), "{\"g\":1,\"s\":-5}");
  uint64_t up = 1234567890123ull;
  ASSERT_TRUE(stats_set(g, STATS_TYPE_UINT64, &up));
  EXPECT_EQ(output(r.rec), "{\"g\":1234567890123,\"s\":-5}");
}

// what this proves: strings are the library's own copies, escaped properly and written as valid
// UTF-8; the output parses and matches the tree; pretty and compact forms agree
TEST(Stats, StringsAndOutputForms) {
  Recorder r;
  stats_ns_t *details = stats_register_ns(r.rec, stats_register_ns(r.rec, nullptr, "mq"), "details");
  stats_handle_t *host = stats_register(details, "host", STATS_TYPE_STRING);
  stats_handle_t *type = stats_register(details, "type", STATS_TYPE_STRING);
  stats_handle_t *unset = stats_register(details, "unset", STATS_TYPE_STRING);
  ASSERT_NE(unset, nullptr);
  std::string text = "nats\"1\\\n\x01\xff\xe2\x82"; /* quote, backslash, controls, bad UTF-8 */
  char *copy = strdup(text.c_str());
  ASSERT_TRUE(stats_set(host, STATS_TYPE_STRING, copy));
  free(copy); /* the caller frees its text right after the call */
  ASSERT_TRUE(stats_set(type, STATS_TYPE_STRING, "pask"));
  stats_register_ns(r.rec, nullptr, "empty");
  stats_register_ns(r.rec, stats_register_ns(r.rec, nullptr, "empty2"), "inner");
  std::string compact = output(r.rec);
  EXPECT_EQ(compact, "{\"mq\":{\"details\":{\"host\":\"nats\\\"1\\\\\\n\\u0001\xef\xbf\xbd\xef\xbf\xbd\","
                     "\"type\":\"pask\",\"unset\":null}},\"empty\":{},\"empty2\":{\"inner\":{}}}");
  EXPECT_EQ(normalise(compact), compact);
  std::string pretty = output(r.rec, true);
  EXPECT_NE(pretty.find("\n  \"mq\": {\n    \"details\": {\n      \"host\": "), std::string::npos);
  EXPECT_EQ(normalise(pretty), compact);
  EXPECT_EQ(output(r.rec, false, false),
            "{\"mq\":{\"details\":{\"host\":\"nats\\\"1\\\\\\n\\u0001\xef\xbf\xbd\xef\xbf\xbd\","
            "\"type\":\"pask\",\"unset\":null}}}");
  Recorder empty;
  EXPECT_EQ(output(empty.rec), "{}");
  EXPECT_EQ(normalise(output(empty.rec, true)), "{}");
}

// what this proves: the output function's answers are honoured: short writes continue, -1 and
// 0 stop the output with a failure
TEST(Stats, OutputFunctionFailures) {
  Recorder r;
  stats_add64(stats_register(stats_recorder_global_ns(r.rec), "requests", STATS_TYPE_COUNTER), 9);
  struct Sink {
    std::string out;
    int calls = 0;
    ssize_t mode; /* >0: take at most that many; 0: take nothing; -1: fail */
  };
  auto outf = [](void *c, const char *buf, size_t len) -> ssize_t {
    auto *s = static_cast<Sink *>(c);
    s->calls++;
    if (s->mode <= 0)
      return s->mode;
    size_t take = std::min(len, static_cast<size_t>(s->mode));
    s->out.append(buf, take);
    return static_cast<ssize_t>(take);
  };
  Sink dribble{"", 0, 3};
  EXPECT_EQ(stats_recorder_output_json(r.rec, false, true, outf, &dribble), 14);
  EXPECT_EQ(dribble.out, "{\"requests\":9}");
  EXPECT_EQ(dribble.calls, 5);
  Sink fail{"", 0, -1};
  EXPECT_EQ(stats_recorder_output_json(r.rec, false, true, outf, &fail), -1);
  EXPECT_EQ(fail.calls, 1);
  Sink stuck{"", 0, 0};
  EXPECT_EQ(stats_recorder_output_json(r.rec, false, true, outf, &stuck), -1);
  EXPECT_EQ(stuck.calls, 1);
}

// what this proves: adds from many threads are all counted, while registrations, string sets
// and output run at the same time (TSan checks the races)
TEST(Stats, ConcurrentAdds) {
  Recorder r;
  stats_ns_t *ns = stats_register_ns(r.rec, nullptr, "load");
  stats_handle_t *counter = stats_register(ns, "counter", STATS_TYPE_COUNTER);
  stats_handle_t *gauge = stats_register(ns, "gauge", STATS_TYPE_UINT64);
  stats_handle_t *label = stats_register(ns, "label", STATS_TYPE_STRING);
  constexpr int kThreads = 8, kAdds = 50000;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++)
    threads.emplace_back([&, t] {
      std::string name = "t" + std::to_string(t);
      stats_handle_t *own = stats_register(ns, name.c_str(), STATS_TYPE_COUNTER);
      for (int i = 0; i < kAdds; i++) {
        stats_add64(counter, 1);
        stats_add64(gauge, 1);
        stats_add64(own, 1);
        stats_add64(gauge, -1);
      }
    });
  std::thread reader([&] {
    while (!done.load()) {
      std::string out = output(r.rec);
      EXPECT_EQ(out.find("18446744073709551615"), std::string::npos);
      stats_set(label, STATS_TYPE_STRING, out.size() % 2 ? "odd" : "even");
    }
  });
  for (auto &t : threads)
    t.join();
  done = true;
  reader.join();
  EXPECT_EQ(stats_get_u64(counter), uint64_t{kThreads} * kAdds);
  EXPECT_EQ(stats_get_u64(gauge), 0u);
  for (int t = 0; t < kThreads; t++)
    EXPECT_EQ(stats_get_u64(stats_register(ns, ("t" + std::to_string(t)).c_str(),
                                           STATS_TYPE_COUNTER)),
              uint64_t{kAdds});
}

// what this proves: the service's stats_init is idempotent and report_error counts on the
// module counter and on "errors"/"total", whose value stays the sum of the others
TEST(Stats, ServiceInitAndReportError) {
  stats_init();
  stats_recorder_t *rec = stats_rec;
  uint64_t start = vorn_start_ns;
  stats_handle_t *total = total_err_counter;
  ASSERT_NE(rec, nullptr);
  ASSERT_NE(total, nullptr);
  EXPECT_GT(start, 0u);
  stats_init();
  EXPECT_EQ(stats_rec, rec);
  EXPECT_EQ(vorn_start_ns, start);
  EXPECT_EQ(total_err_counter, total);
  stats_handle_t *api = stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "api",
                                       STATS_TYPE_COUNTER);
  stats_handle_t *client = stats_register(stats_register_ns(stats_rec, nullptr, "errors"),
                                          "client", STATS_TYPE_COUNTER);
  report_error(api);
  report_error(api);
  EXPECT_EQ(stats_get_u64(api), 2u);
  EXPECT_EQ(stats_get_u64(total), 2u);
  EXPECT_EQ(stats_get_u64(client), 0u);
  EXPECT_EQ(output(stats_rec), "{\"errors\":{\"total\":2,\"api\":2,\"client\":0}}");
}
