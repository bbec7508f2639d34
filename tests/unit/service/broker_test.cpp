/* The broker relay on real websocket sessions: samples become client data messages; bad watches refused. */
#include "broker.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "zint/zint_memory.h"
#include "support/ws_sessions.h"
#include <gtest/gtest.h>
#include <memory>
#include <tuple>

namespace {
const std::string kUuid = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01";
stats_handle_t *gauge() {
  static stats_handle_t *g = [] {
    stats_init();
    stream_hash_init();
    client_init();
    harl_init();
    return stats_register(stats_register_ns(stats_rec, nullptr, "test"), "gauge", STATS_TYPE_UINT64);
  }();
  return g;
}
std::string sample(const std::string &type, const std::string &members) {
  return "{\"type\":\"" + type + "\",\"check_uuid\":\"" + kUuid +
         "\",\"timestamp_ms\":1500,\"value_type\":\"n\",\"stream_tags\":[]," + members + "}";
}
std::string frame(const std::string &metric, const std::string &tail) {
  return "{\"check\":{\"id\":\"" + kUuid + "\",\"metric_name\":\"" + metric + "\",\"time\":1.5," + tail +
         "}}";
}

// what this proves: samples become exactly their data messages or nothing; bad watches are refused, counted
TEST(Broker, SamplesAndWatches) {
  const std::string key = kUuid + "1000",
                    M = "\"type\":\"M\",\"value\":", H = "\"type\":\"H1\",\"histogram\":";
  test_ws::client c;
  ASSERT_TRUE(stream_hash_add_client(strdup(key.c_str()), key.size(),
                                     vorn_client_new(c.ctx, nullptr, 0, gauge()), nullptr, nullptr));
  const std::string bad_id = "{\"type\":\"M\",\"timestamp_ms\":1,\"cpu\":1,\"check_uuid\":",
                    bad_time = "{\"type\":\"M\",\"cpu\":1,\"check_uuid\":\"a\"";
  /* second: the frame, "" for nothing */
  std::vector<std::pair<std::string, std::string>> rows = {
      /* reserved names match by prefix; only the first other member is relayed */
      {sample("M", "\"cpu\":0.5"), frame("cpu", M + "0.5")},
      {sample("M",
              "\"types\":1,\"check_uuid_x\":2,\"type_count\":3,\"stream_tagsz\":4,\"value_typeA\":5,"
              "\"timestamp_ms2\":6,\"disk\":7,\"cpu\":8"),
       frame("disk", M + "7")},
      {sample("M", "\"type_count\":3"), ""},
      {sample("M", "\"s\":\"all \\\"ok\\\"\""), frame("s", M + "\"all \\\"ok\\\"\"")},
      {sample("Mx", "\"big\":18446744073709551615"), frame("big", M + "18446744073709551615")},
      {"{\"type\":\"M\",\"check_uuid\":\"ABC\",\"timestamp_ms\":1733540000123,\"cpu\":1}",
       "{\"check\":{\"id\":\"ABC\",\"metric_name\":\"cpu\",\"time\":1733540000.123,\"type\":\"M\",\"value\":"
       "1}}"},
      /* histograms: six decimals in array order, counts as typed, same-name integer counts summed (unsigned
       * beyond int64), a non-integer count replaces the earlier one */
      {sample("Hfoo", "\"h\":[]"), frame("h", H + "{}")},
      {sample("H",
              "\"lat\":[{\"bucket\":0.5,\"count\":3},{\"bucket\":10,\"count\":1.0},{\"bucket\":0.5000001,"
              "\"count\":4}]"),
       frame("lat", H + "{\"0.500000\":7,\"10.000000\":1.0}")},
      {sample("H",
              "\"lat\":[{\"bucket\":1,\"count\":9223372036854775807},{\"bucket\":1,\"count\":1},"
              "{\"bucket\":3,\"count\":2},{\"bucket\":3,\"count\":\"x\"}]"),
       frame("lat", H + "{\"1.000000\":9223372036854775808,\"3.000000\":\"x\"}")},
      {sample("H", "\"lat\":[{\"bucket\":-1,\"count\":-2},{\"bucket\":-1,\"count\":-3}]"),
       frame("lat", H + "{\"-1.000000\":-5}")}};
  /* no usable id or time; histograms that are not arrays of bucket objects */
  for (const std::string &nothing :
       {std::string("{\"type\":\"M\",\"timestamp_ms\":1,\"cpu\":1}"), bad_id + "7}", bad_id + "\"\"}",
        bad_time + "}", bad_time + ",\"timestamp_ms\":\"1\"}", bad_time + ",\"timestamp_ms\":-5}",
        sample("H", "\"cpu\":5"), sample("H", "\"cpu\":[{\"count\":1}]"),
        sample("H", "\"cpu\":[{\"bucket\":\"x\",\"count\":2}]"), sample("H", "\"cpu\":[{\"bucket\":1}]"),
        sample("H", "\"cpu\":[{\"bucket\":1,\"count\":1},7]")})
    rows.emplace_back(nothing, "");
  auto relay = [&](const std::string &msg) {
    zint_json_object *o = zint_json_tokener_parse(msg.c_str());
    EXPECT_NE(o, nullptr) << msg;
    zint_boolean r =
        stream_hash_get_stream_closure(key.data(), key.size(), nullptr, harl_msg_callback, nullptr, o);
    zint_json_object_put(o);
    return r;
  };
  for (const auto &[msg, want] : rows) {
    SCOPED_TRACE(msg);
    EXPECT_TRUE(relay(msg));
    EXPECT_EQ(c.queued(), want.empty() ? "" : want + "\n");
  }
  c.disconnect();
  EXPECT_FALSE(relay(sample("M", "\"cpu\":1")));
  zint_memory_barrier();
  /* Watches of ids that are not UUID text or of periods below 1 */
  test_ws::client w;
  uint64_t before = stats_get_u64(harl_err_counter);
  const std::pair<std::string, int> refused[] = {{kUuid + "1", 23},
                                                 {kUuid, 0},
                                                 {kUuid.substr(0, 35), 1000},
                                                 {kUuid.substr(0, 35) + "g", 1000},
                                                 {"0b1c4c2e2d0a-4f8e-9a57-2b8f6d1c9e01-", 1000},
                                                 {"", 1000}};
  for (const auto &[uuid, period] : refused) {
    harl_subscribe_client(vorn_client_new(w.ctx, nullptr, 0, gauge()), uuid.c_str(), period);
    std::string p = period ? ",\"period\":" + std::to_string(period) : "";
    EXPECT_EQ(w.read(), "{\"error\":\"broker watch request failed\",\"id\":\"" + uuid + "\"" + p +
                            ",\"type\":\"watch\"}");
  }
  EXPECT_EQ(std::make_tuple(stats_get_u64(harl_err_counter), stream_hash_size(), stats_get_u64(gauge())),
            std::make_tuple(before + std::size(refused), 0, 0ul));
  EXPECT_TRUE(harl_valid_uuid("0B1C4C2E-2D0A-4F8E-9A57-2B8F6D1C9E01"));
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> k(concat_uuid_period(kUuid.c_str(), 60000, &len), free);
  EXPECT_EQ(std::string(k.get(), len), kUuid + "60000");
}
} // namespace
