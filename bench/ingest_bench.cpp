/* Per-line cost of the message-bus ingest: decoding a line, the duplicate test of a payload (new
 * and repeated), building and serialising the client data message, and the whole path of a line
 * whose check nobody watches (decode and registry miss). */
#include "ingest.h"
#include "data_message.h"

#include "vorn_stats.h"
#include "stream_hash.h"

#include "harl/harl.h"
#include "hist/hist.h"
#include "zint/zint_json.h"
#include "zint/zint_memory.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const std::string kLine = "M\tbroker-01\t1733540000.250\t0b7c4e1a-5d2f-4c3b-9a8e-7f6d5c4b3a21\t"
                          "cpu_used|ST[host:web-01,dc:east]\tn\t12.375";

/* An "H" line of a histogram with the given number of buckets (10: a narrow one; 300: latencies
 * over three decades, two significant digits each). */
std::string histogram_line(int buckets = 10) {
  histogram_t *h = hist_alloc();
  for (int i = 0; i < buckets; i++) hist_insert(h, buckets <= 90 ? 0.5 * (i + 1) : 0.1 * pow(10.0, i / 90.0), (uint64_t) (i + 1) * 7);
  char *b = hist_serialize_b64(h, nullptr);
  std::string line = "H\tbroker-01\t1733540000\t0b7c4e1a-5d2f-4c3b-9a8e-7f6d5c4b3a21\tlatency\t" + std::string(b);
  free(b);
  hist_free(h);
  return line;
}

harl_metric_message_t *decoded(const std::string &line) {
  auto *m = (harl_metric_message_t *) calloc(1, sizeof(harl_metric_message_t));
  m->original_message = line.c_str();
  m->original_message_len = line.size();
  if (harl_message_decoder_parse_line(m, -1) != 1) abort();
  return m;
}

void setup_once() {
  static bool done = [] {
    zint_memory_init();
    stats_init();
    stream_hash_init();
    return true;
  }();
  (void) done;
}

void BM_DecodeLine(benchmark::State &state) {
  for (auto _ : state) {
    auto *m = (harl_metric_message_t *) calloc(1, sizeof(harl_metric_message_t));
    m->original_message = kLine.c_str();
    m->original_message_len = kLine.size();
    m->type = MESSAGE_TYPE_M;
    benchmark::DoNotOptimize(harl_message_decoder_parse_line(m, -1));
    harl_metric_message_free(m);
  }
}
BENCHMARK(BM_DecodeLine);

void BM_DuplicateTestNewPayload(benchmark::State &state) {
  setup_once();
  std::string p = kLine;
  uint64_t n = 0;
  p += "0000000000";
  for (auto _ : state) {
    /* A new value each time: the digest is stored (one bucket per 100,000 payloads). */
    uint64_t v = n++;
    for (size_t i = 0; i < 10; i++, v /= 10) p[p.size() - 1 - i] = (char) ('0' + v % 10);
    std::string sec = std::to_string(1800000000 + n / 100000);
    memcpy(&p[12], sec.data(), 10);
    benchmark::DoNotOptimize(is_duplicate(p.c_str(), p.size()));
  }
  pask_prune_dedupe_at(UINT32_MAX + 100ull);
}
BENCHMARK(BM_DuplicateTestNewPayload);

void BM_DuplicateTestRepeatedPayload(benchmark::State &state) {
  setup_once();
  is_duplicate(kLine.c_str(), kLine.size());
  for (auto _ : state) benchmark::DoNotOptimize(is_duplicate(kLine.c_str(), kLine.size()));
}
BENCHMARK(BM_DuplicateTestRepeatedPayload);

void BM_BuildFrameMetric(benchmark::State &state) {
  harl_metric_message_t *m = decoded(kLine);
  for (auto _ : state) {
    zint_json_object *o = message_to_json(m);
    benchmark::DoNotOptimize(zint_json_object_to_json_string(o));
    zint_json_object_put(o);
  }
  harl_metric_message_free(m);
}
BENCHMARK(BM_BuildFrameMetric);

void BM_BuildFrameHistogram(benchmark::State &state) {
  std::string line = histogram_line((int) state.range(0));
  harl_metric_message_t *m = decoded(line);
  for (auto _ : state) {
    zint_json_object *o = message_to_json(m);
    benchmark::DoNotOptimize(zint_json_object_to_json_string(o));
    zint_json_object_put(o);
  }
  harl_metric_message_free(m);
}
BENCHMARK(BM_BuildFrameHistogram)->Arg(10)->Arg(300);

void BM_UnwatchedLine(benchmark::State &state) {
  setup_once();
  for (auto _ : state) handle_individual_message(kLine.c_str());
}
BENCHMARK(BM_UnwatchedLine);

} // namespace

BENCHMARK_MAIN();
