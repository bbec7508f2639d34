/* The recorder as /stats.json (served pretty) and /metrics write it, compared whole for a known tree. */
#include "metrics.h"
#include "vorn_stats.h"
#include "stats/stats_prom.h"
#include <gtest/gtest.h>
#include <string>

namespace {
ssize_t append(void *out, const char *buf, size_t len) {
  static_cast<std::string *>(out)->append(buf, len);
  return (ssize_t) len;
}
// what this proves: the JSON and Prometheus texts of a known tree are exactly as expected
TEST(Stats, WholeOutputOfAKnownTree) {
  /* The service's tree as its modules register it, with distinct values and awkward strings and names. */
  stats_init();
  stats_init(); /* a second call keeps the recorder and its "errors"/"total" */
  auto ns = [](const char *parent, const char *name) {
    return stats_register_ns(stats_rec, parent ? stats_register_ns(stats_rec, nullptr, parent) : nullptr,
                             name);
  };
  auto add = [](stats_ns_t *n, const char *name, stats_type_t type, int64_t v) {
    stats_add64(stats_register(n, name, type), v);
  };
  stats_handle_t *api = stats_register(ns(nullptr, "errors"), "api", STATS_TYPE_COUNTER);
  report_error(api);
  report_error(api);
  report_error(stats_register(ns(nullptr, "errors"), "pask", STATS_TYPE_COUNTER));
  add(ns(nullptr, "errors"), "we\"ird\\mod\nule\xff", STATS_TYPE_COUNTER, 0);
  add(ns(nullptr, "mq"), "firehose", STATS_TYPE_COUNTER, 123456789012);
  for (auto [name, text] : {std::pair{"host", "nats\"1\\\n\x01\xff"}, std::pair{"type", "pask"}})
    stats_set(stats_register(ns("mq", "details"), name, STATS_TYPE_STRING), STATS_TYPE_STRING, text);
  stats_register(ns("mq", "details"), "9lives", STATS_TYPE_STRING); /* never set */
  add(ns("agents", "global"), "connections", STATS_TYPE_UINT64, 5);
  add(ns("websocket", "watches"), "check", STATS_TYPE_UINT64, 8);
  add(ns("websocket", "watches"), "stream", STATS_TYPE_UINT64, -1); /* below 0 a moment */
  stats_ns_t *root = stats_recorder_global_ns(stats_rec);
  add(root, "skew", STATS_TYPE_INT64, -5);
  ns(nullptr, "empty");
  add(root, "a.b", STATS_TYPE_COUNTER, 1);
  add(root, "a_b", STATS_TYPE_COUNTER, 2); /* one metric name */
  std::string compact, prom;
  ssize_t n = stats_recorder_output_json(stats_rec, false, true, append, &compact);
  EXPECT_EQ(n, (ssize_t) compact.size());
  EXPECT_EQ(
      compact,
      R"({"errors":{"total":3,"api":2,"pask":1,"we\"ird\\mod\nule)"
      "\xEF\xBF\xBD"
      R"(":0},"mq":{"firehose":123456789012,)"
      R"("details":{"host":"nats\"1\\\n\u0001)"
      "\xEF\xBF\xBD"
      R"(","type":"pask","9lives":null}},"agents":{"global":)"
      R"({"connections":5}},"websocket":{"watches":{"check":8,"stream":0}},"skew":-5,"empty":{},"a.b":1,"a_b":2})");
  n = stats_recorder_output_prometheus(stats_rec, &metrics_prom_options, append, &prom);
  EXPECT_EQ(n, (ssize_t) prom.size());
  EXPECT_EQ(prom, R"(# HELP vorn_errors_all_total errors/total
# TYPE vorn_errors_all_total counter
vorn_errors_all_total 3
# HELP vorn_errors_total errors/<module>
# TYPE vorn_errors_total counter
vorn_errors_total{module="api"} 2
vorn_errors_total{module="pask"} 1
vorn_errors_total{module="we\"ird\\mod\nule)"
                  "\xEF\xBF\xBD"
                  R"("} 0
# HELP vorn_mq_firehose_total mq/firehose
# TYPE vorn_mq_firehose_total counter
vorn_mq_firehose_total 123456789012
# HELP vorn_agents_connections agents/<agent>/connections
# TYPE vorn_agents_connections gauge
vorn_agents_connections{agent="global"} 5
# HELP vorn_websocket_watches websocket/watches/<source>
# TYPE vorn_websocket_watches gauge
vorn_websocket_watches{source="check"} 8
vorn_websocket_watches{source="stream"} 0
# HELP vorn_skew skew
# TYPE vorn_skew gauge
vorn_skew -5
# HELP vorn_a_b_total a.b
# TYPE vorn_a_b_total counter
vorn_a_b_total 1
# HELP vorn_mq_details_info mq/details (text values as labels)
# TYPE vorn_mq_details_info gauge
vorn_mq_details_info{host="nats\"1\\\n)"
                  "\x01\xEF\xBF\xBD"
                  R"(",type="pask",_9lives=""} 1
# skipped a_b: vorn_a_b_total is taken
)");
}
} // namespace
