/* JSON layer benchmarks: the bus hot path (build and serialise one client data message per
 * sample) and the parses the service does per client request and per broker frame. */
#include "zint/zint_json.h"

#include <benchmark/benchmark.h>
#include <boost/json/parse.hpp>

#include <cstdio>
#include <cstring>

static const char kUuid[] = "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d";
static const char kName[] = "cpu`user|ST[host:web01,env:prod]";

static zint_json_object *build_message(uint64_t whence_ms, int32_t value) {
  zint_json_object *outer = zint_json_object_new_object();
  zint_json_object *check = zint_json_object_new_object();
  zint_json_object_object_add(outer, "check", check);
  zint_json_object_object_add(check, "id", zint_json_object_new_string_len(kUuid, 37));
  zint_json_object_object_add(check, "metric_name",
                              zint_json_object_new_string_len(kName, sizeof kName - 1));
  zint_json_object_object_add(check, "time",
                              zint_json_object_new_double(static_cast<double>(whence_ms) / 1000.0));
  zint_json_object_object_add(check, "type", zint_json_object_new_string("M"));
  zint_json_object_object_add(check, "value", zint_json_object_new_int(value));
  return outer;
}

// One "M" sample: build the object, serialise it once, release it.
static void BM_BuildSerialiseMetric(benchmark::State &state) {
  uint64_t ms = 1733540000123;
  for (auto _ : state) {
    zint_json_object *o = build_message(ms++, 42);
    size_t len;
    const char *text = zint_json_object_to_json_string_len(o, &len);
    benchmark::DoNotOptimize(text);
    zint_json_object_put(o);
  }
}
BENCHMARK(BM_BuildSerialiseMetric);

// One "H1" sample with 16 buckets named by "%f".
static void BM_BuildSerialiseHistogram(benchmark::State &state) {
  uint64_t ms = 1733540000123;
  for (auto _ : state) {
    zint_json_object *o = build_message(ms++, 0);
    zint_json_object *check = zint_json_object_object_get(o, "check");
    zint_json_object_object_del(check, "value");
    zint_json_object *hist = zint_json_object_new_object();
    zint_json_object_object_add(check, "histogram", hist);
    for (int b = 0; b < 16; b++) {
      char name[32];
      snprintf(name, sizeof name, "%f", 0.5 * (b + 1));
      zint_json_object *cnt = zint_json_object_new_int(0);
      zint_json_object_set_int_overflow(cnt, zint_json_overflow_uint64);
      zint_json_object_set_uint64(cnt, 1000 + static_cast<uint64_t>(b));
      zint_json_object_object_add(hist, name, cnt);
    }
    benchmark::DoNotOptimize(zint_json_object_to_json_string(o));
    zint_json_object_put(o);
  }
}
BENCHMARK(BM_BuildSerialiseHistogram);

static const char kWatch[] =
    "{\"watch\":[{\"id\":\"a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d\",\"period\":60000,"
    "\"metrics\":[\"cpu\",\"mem\",\"disk`sda|ST[env:prod]\"]}]}";

// A client's watch request: tokener per message, as the websocket handler does it.
static void BM_ParseWatchRequest(benchmark::State &state) {
  for (auto _ : state) {
    zint_json_tokener *tok = zint_json_tokener_new();
    zint_json_object *o = zint_json_tokener_parse_ex(tok, kWatch, sizeof kWatch - 1);
    zint_json_tokener_free(tok);
    benchmark::DoNotOptimize(o);
    zint_json_object_put(o);
  }
}
BENCHMARK(BM_ParseWatchRequest);

// The same with one tokener kept across messages: the cost of the tokener itself.
static void BM_ParseWatchRequestReusedTokener(benchmark::State &state) {
  zint_json_tokener *tok = zint_json_tokener_new();
  for (auto _ : state) {
    zint_json_object *o = zint_json_tokener_parse_ex(tok, kWatch, sizeof kWatch - 1);
    benchmark::DoNotOptimize(o);
    zint_json_object_put(o);
  }
  zint_json_tokener_free(tok);
}
BENCHMARK(BM_ParseWatchRequestReusedTokener);

// Reference point: Boost.JSON's own DOM parse of the same text (what a parse-then-convert
// design would pay before converting to our objects).
static void BM_BoostDomParseWatchRequest(benchmark::State &state) {
  for (auto _ : state) {
    boost::json::value v = boost::json::parse(boost::json::string_view(kWatch, sizeof kWatch - 1));
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_BoostDomParseWatchRequest);

// An object of range(0) distinct members, as a client or a broker may send one (a websocket message
// of up to 1 MiB holds some 70,000): the parse must stay linear in the members.
static void BM_ParseWideObject(benchmark::State &state) {
  std::string text = "{";
  for (int i = 0; i < state.range(0); i++) text += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  text += "}";
  for (auto _ : state) {
    zint_json_object *o = zint_json_tokener_parse(text.c_str());
    benchmark::DoNotOptimize(o);
    zint_json_object_put(o);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseWideObject)->Arg(1000)->Arg(30000)->Unit(benchmark::kMicrosecond);

static const char kBroker[] =
    "{\"type\":\"M\",\"check_uuid\":\"a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d\","
    "\"timestamp_ms\":1733540000123,\"value_type\":\"n\",\"stream_tags\":[],\"cpu\":0.5}";

// A broker livestream frame: parse, then serialise a relayed copy sharing the value.
static void BM_ParseAndRelayBrokerFrame(benchmark::State &state) {
  for (auto _ : state) {
    zint_json_tokener *tok = zint_json_tokener_new();
    zint_json_object *in = zint_json_tokener_parse_ex(tok, kBroker, sizeof kBroker - 1);
    zint_json_tokener_free(tok);
    zint_json_object *out = zint_json_object_new_object();
    zint_json_object *check = zint_json_object_new_object();
    zint_json_object_object_add(out, "check", check);
    zint_json_object_object_add(
        check, "id",
        zint_json_object_new_string(
            zint_json_object_get_string(zint_json_object_object_get(in, "check_uuid"))));
    zint_json_object_object_add(check, "metric_name", zint_json_object_new_string("cpu"));
    zint_json_object_object_add(
        check, "time",
        zint_json_object_new_double(static_cast<double>(zint_json_object_get_uint64(
                                        zint_json_object_object_get(in, "timestamp_ms"))) /
                                    1000.0));
    zint_json_object_object_add(check, "type", zint_json_object_new_string("M"));
    zint_json_object_object_add(check, "value",
                                zint_json_object_get(zint_json_object_object_get(in, "cpu")));
    benchmark::DoNotOptimize(zint_json_object_to_json_string(out));
    zint_json_object_put(out);
    zint_json_object_put(in);
  }
}
BENCHMARK(BM_ParseAndRelayBrokerFrame);

// Doubles alone: the shortest-form writer on sample times.
static void BM_WriteDouble(benchmark::State &state) {
  zint_json_object *d = zint_json_object_new_double(0);
  double t = 1733540000.123;
  for (auto _ : state) {
    zint_json_object_set_double(d, t);
    t += 0.001;
    benchmark::DoNotOptimize(zint_json_object_to_json_string(d));
  }
  zint_json_object_put(d);
}
BENCHMARK(BM_WriteDouble);

BENCHMARK_MAIN();
