/* Tests of the broker message relay on real websocket sessions: translation of broker samples into
 * client data messages (reserved names, first metric only, histograms, pass-through values), what
 * malformed samples do, and the refusal of broker watches whose id or period is unusable. */
#include "broker.h"
#include "vorn_stats.h"
#include "stream_closure.h"
#include "stream_hash.h"
#include "zint/zint_json.h"
#include "zint/zint_memory.h"

#include "support/ws_sessions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char *kUuid = "0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01";

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

zint_json_object *parse(const std::string &s) {
  zint_json_tokener *tok = zint_json_tokener_new();
  zint_json_object *o = zint_json_tokener_parse_ex(tok, s.data(), (int) s.size());
  EXPECT_EQ(tok->err, 0) << s;
  zint_json_tokener_free(tok);
  return o;
}

/* Translates msg's member `key` on its own and returns the text ("" when refused). */
std::string translate(const std::string &msg, const char *key) {
  zint_json_object *in = parse(msg);
  zint_json_object *val = zint_json_object_object_get(in, key);
  zint_json_object *out = harl_translate_json(in, key, val);
  /* The message goes first: the result must hold references of its own. */
  zint_json_object_put(in);
  std::string text = out ? zint_json_object_to_json_string(out) : "";
  zint_json_object_put(out);
  return text;
}

std::string sample(const std::string &type, const std::string &members) {
  return "{\"type\":\"" + type + "\",\"check_uuid\":\"" + kUuid +
         "\",\"timestamp_ms\":1500,\"value_type\":\"n\",\"stream_tags\":[]," + members + "}";
}

std::string expected(const std::string &metric, const std::string &tail) {
  return "{\"check\":{\"id\":\"" + std::string(kUuid) + "\",\"metric_name\":\"" + metric +
         "\",\"time\":1.5," + tail + "}}";
}

/* A stream with one record per session and filter; relays messages through harl_msg_callback. */
class Relay : public ::testing::Test {
 protected:
  std::string key = std::string(kUuid) + "1000";

  void SetUp() override {
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }
  void TearDown() override {
    EXPECT_EQ(stream_hash_size(), 0);
  }
  void join(test_ws::client &c, std::vector<const char *> names) {
    vorn_client_t *r = vorn_client_new(c.ctx, names.empty() ? nullptr : names.data(), names.size(), gauge());
    char *k = strdup(key.c_str());
    ASSERT_TRUE(stream_hash_add_client(k, key.size(), r, nullptr, nullptr));
  }
  void leave_all(std::vector<test_ws::client *> cs) {
    for (auto *c : cs) {
      vorn_client_t *thin = vorn_client_new_thin(c->ctx);
      stream_hash_remove_client(key.data(), key.size(), thin, nullptr, nullptr);
      vorn_client_free(thin);
    }
  }
  zint_boolean relay(const std::string &msg) {
    zint_json_object *o = parse(msg);
    zint_boolean r = stream_hash_get_stream_closure(key.data(), key.size(), nullptr, harl_msg_callback, nullptr, o);
    zint_json_object_put(o);
    return r;
  }
  /* The next frame the session gets after everything queued so far: proves nothing else came. */
  static std::string next_after_marker_check(test_ws::client &c) {
    zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "marker", 6);
    return c.read();
  }
};

// what this proves: a plain sample reaches wildcard and matching clients as a client data message, others get nothing
TEST_F(Relay, PlainSampleGoesToMatchingClients) {
  test_ws::client all, cpu, mem;
  join(all, {});
  join(cpu, {"cpu"});
  join(mem, {"mem"});
  EXPECT_TRUE(relay(sample("M", "\"cpu\":0.5")));
  std::string want = expected("cpu", "\"type\":\"M\",\"value\":0.5");
  EXPECT_EQ(all.read(), want);
  EXPECT_EQ(cpu.read(), want);
  EXPECT_EQ(next_after_marker_check(mem), "marker");
  leave_all({&all, &cpu, &mem});
}

// what this proves: reserved names match by prefix, only the first other member is relayed, reserved-only messages send nothing
TEST_F(Relay, ReservedPrefixesAndFirstMetricOnly) {
  test_ws::client c;
  join(c, {});
  EXPECT_TRUE(relay(sample("M", "\"types\":1,\"check_uuid_x\":2,\"type_count\":3,\"stream_tagsz\":4,"
                                "\"value_typeA\":5,\"timestamp_ms2\":6,\"disk\":7,\"net\":8")));
  EXPECT_EQ(c.read(), expected("disk", "\"type\":\"M\",\"value\":7"));
  EXPECT_TRUE(relay(sample("M", "\"type_count\":3")));
  EXPECT_EQ(stream_hash_size(), 1); /* the stream and so the connection stay */
  EXPECT_EQ(next_after_marker_check(c), "marker");
  leave_all({&c});
}

// what this proves: string, object, null and array values pass through unchanged; type M... stays "M", H... becomes "H1"
TEST(HarlTranslate, ValuesPassThroughUnchanged) {
  gauge();
  EXPECT_EQ(translate(sample("M", "\"state\":\"all \\\"ok\\\"\""), "state"),
            expected("state", "\"type\":\"M\",\"value\":\"all \\\"ok\\\"\""));
  EXPECT_EQ(translate(sample("M", "\"o\":{\"seq\":1,\"l\":[true,null]}"), "o"),
            expected("o", "\"type\":\"M\",\"value\":{\"seq\":1,\"l\":[true,null]}"));
  EXPECT_EQ(translate(sample("M", "\"z\":null"), "z"), expected("z", "\"type\":\"M\",\"value\":null"));
  EXPECT_EQ(translate(sample("Mx", "\"big\":18446744073709551615"), "big"),
            expected("big", "\"type\":\"M\",\"value\":18446744073709551615"));
  EXPECT_EQ(translate(sample("Hfoo", "\"h\":[]"), "h"), expected("h", "\"type\":\"H1\",\"histogram\":{}"));
  /* The time keeps its milliseconds as the fraction; the id is the broker's text, not re-formatted. */
  std::string upper = "{\"type\":\"M\",\"check_uuid\":\"ABC\",\"timestamp_ms\":1733540000123,\"cpu\":1}";
  EXPECT_EQ(translate(upper, "cpu"),
            "{\"check\":{\"id\":\"ABC\",\"metric_name\":\"cpu\",\"time\":1733540000.123,\"type\":\"M\",\"value\":1}}");
}

// what this proves: buckets print with six decimals in array order with counts as typed; same-name integer counts add up
TEST(HarlTranslate, HistogramBuckets) {
  gauge();
  EXPECT_EQ(translate(sample("H", "\"lat\":[{\"bucket\":0.5,\"count\":3},{\"bucket\":10,\"count\":1.0}]"), "lat"),
            expected("lat", "\"type\":\"H1\",\"histogram\":{\"0.500000\":3,\"10.000000\":1.0}"));
  EXPECT_EQ(translate(sample("H", "\"lat\":[{\"bucket\":0.5,\"count\":3},{\"bucket\":2,\"count\":1},"
                                  "{\"bucket\":0.5000001,\"count\":4}]"), "lat"),
            expected("lat", "\"type\":\"H1\",\"histogram\":{\"0.500000\":7,\"2.000000\":1}"));
  /* Beyond int64 the sum is unsigned; a non-integer count replaces the earlier one. */
  EXPECT_EQ(translate(sample("H", "\"lat\":[{\"bucket\":1,\"count\":9223372036854775807},"
                                  "{\"bucket\":1,\"count\":1},{\"bucket\":3,\"count\":2},"
                                  "{\"bucket\":3,\"count\":\"x\"}]"), "lat"),
            expected("lat", "\"type\":\"H1\",\"histogram\":{\"1.000000\":9223372036854775808,\"3.000000\":\"x\"}"));
  EXPECT_EQ(translate(sample("H", "\"lat\":[{\"bucket\":-1,\"count\":-2},{\"bucket\":-1,\"count\":-3}]"), "lat"),
            expected("lat", "\"type\":\"H1\",\"histogram\":{\"-1.000000\":-5}"));
}

// what this proves: samples without a usable id or time, and histograms that are not arrays of bucket objects, are refused
TEST(HarlTranslate, MalformedSamplesAreRefused) {
  gauge();
  for (const std::string &m : {
           std::string("{\"type\":\"M\",\"timestamp_ms\":1,\"cpu\":1}"),
           std::string("{\"type\":\"M\",\"check_uuid\":7,\"timestamp_ms\":1,\"cpu\":1}"),
           std::string("{\"type\":\"M\",\"check_uuid\":\"\",\"timestamp_ms\":1,\"cpu\":1}"),
           std::string("{\"type\":\"M\",\"check_uuid\":\"a\",\"cpu\":1}"),
           std::string("{\"type\":\"M\",\"check_uuid\":\"a\",\"timestamp_ms\":\"1\",\"cpu\":1}"),
           std::string("{\"type\":\"M\",\"check_uuid\":\"a\",\"timestamp_ms\":-5,\"cpu\":1}"),
           sample("H", "\"cpu\":5"),
           sample("H", "\"cpu\":null"),
           sample("H", "\"cpu\":[1,\"x\"]"),
           sample("H", "\"cpu\":[{\"count\":1}]"),
           sample("H", "\"cpu\":[{\"bucket\":\"x\",\"count\":2}]"),
           sample("H", "\"cpu\":[{\"bucket\":1}]"),
           sample("H", "\"cpu\":[{\"bucket\":1,\"count\":1},7]"),
       })
    EXPECT_EQ(translate(m, "cpu"), "") << m;
}

// what this proves: a malformed sample sends nothing and keeps the stream; the next good one still arrives
TEST_F(Relay, MalformedSampleKeepsStream) {
  test_ws::client c;
  join(c, {});
  EXPECT_TRUE(relay(sample("H", "\"lat\":[1,2]")));
  EXPECT_TRUE(relay("{\"type\":\"M\",\"check_uuid\":[],\"timestamp_ms\":1,\"cpu\":1}"));
  EXPECT_TRUE(relay(sample("M", "\"cpu\":2")));
  EXPECT_EQ(c.read(), expected("cpu", "\"type\":\"M\",\"value\":2"));
  EXPECT_EQ(stream_hash_size(), 1);
  leave_all({&c});
}

// what this proves: when no client can take the frame the callback is false and the stream is deleted without error frames
TEST_F(Relay, AllClientsGoneDeletesStream) {
  test_ws::client a, b;
  join(a, {});
  join(b, {"cpu"});
  a.disconnect();
  b.disconnect();
  EXPECT_FALSE(relay(sample("M", "\"cpu\":1")));
  EXPECT_EQ(stream_hash_size(), 0);
  zint_memory_barrier();
  EXPECT_EQ(stats_get_u64(gauge()), 0u);
}

// what this proves: ids that are not UUID text and periods below 1 are refused with an error frame and counted
TEST(HarlSubscribe, RefusesUnusableWatches) {
  gauge();
  ASSERT_GT(test_ws::port(), 0);
  test_ws::client c;
  uint64_t before = stats_get_u64(harl_err_counter);
  struct {
    const char *uuid;
    int period;
    const char *frame;
  } cases[] = {
      {"0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e0", 1000,
       "{\"error\":\"broker watch request failed\",\"id\":\"0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e0\",\"period\":1000,\"type\":\"watch\"}"},
      {"0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e011", 23, nullptr},
      {"0b1c4c2e-2d0a-4f8e-9a57x2b8f6d1c9e01", 1000, nullptr},
      {"0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e0g", 1000, nullptr},
      {kUuid, -5, "{\"error\":\"broker watch request failed\",\"id\":\"0b1c4c2e-2d0a-4f8e-9a57-2b8f6d1c9e01\",\"period\":-5,\"type\":\"watch\"}"},
      {kUuid, 0, nullptr},
  };
  for (auto &tc : cases) {
    harl_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, gauge()), tc.uuid, tc.period);
    std::string f = c.read();
    EXPECT_NE(f.find("\"error\":\"broker watch request failed\""), std::string::npos) << tc.uuid;
    if (tc.frame) {
      EXPECT_EQ(f, tc.frame);
    }
  }
  EXPECT_EQ(stats_get_u64(harl_err_counter), before + 6);
  EXPECT_EQ(stream_hash_size(), 0);
  EXPECT_EQ(stats_get_u64(gauge()), 0u);
  /* Unwatching such an id is harmless. */
  vorn_client_t *thin = vorn_client_new_thin(c.ctx);
  harl_unsubscribe_client(thin, "x", -1);
  vorn_client_free(thin);
}

// what this proves: the stream key is the uuid text followed by the decimal period, and only UUID text is valid
TEST(HarlSubscribe, KeysAndUuidShape) {
  size_t len = 0;
  char *k = concat_uuid_period(kUuid, 60000, &len);
  EXPECT_EQ(std::string(k), std::string(kUuid) + "60000");
  EXPECT_EQ(len, 41u);
  free(k);
  EXPECT_TRUE(harl_valid_uuid(kUuid));
  EXPECT_TRUE(harl_valid_uuid("0B1C4C2E-2D0A-4F8E-9A57-2B8F6D1C9E01"));
  EXPECT_FALSE(harl_valid_uuid(nullptr));
  EXPECT_FALSE(harl_valid_uuid(""));
  EXPECT_FALSE(harl_valid_uuid("0b1c4c2e2d0a-4f8e-9a57-2b8f6d1c9e01-"));
}

}  // namespace
