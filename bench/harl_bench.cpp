// Per-line cost of the metric-message library: decoding plain and histogram lines, decoding the
// histogram text itself, and expanding a bundle (per line of the bundle).
#include "harl/harl.h"
#include "hist/hist.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kHead = "broker-01.example\t1733540000.250\t6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11\t";

std::string hist_text() {
  histogram_t *h = hist_alloc();
  for (int i = 1; i <= 20; i++) hist_insert(h, 0.37 * i * i, (uint64_t) i);
  char *t = hist_serialize_b64(h, nullptr);
  std::string out(t);
  free(t);
  hist_free(h);
  return out;
}

void decode_line(benchmark::State &state, const std::string &line) {
  harl_metric_message_t *m = (harl_metric_message_t *) calloc(1, sizeof(*m));
  for (auto _ : state) {
    m->original_message = line.data();
    m->original_message_len = line.size();
    m->type = MESSAGE_TYPE_NONE;
    int rc = harl_message_decoder_parse_line(m, -1);
    if (rc != 1) state.SkipWithError("line did not decode");
    benchmark::DoNotOptimize(m->value.value.v_uint64);
  }
  harl_metric_message_free(m);
  state.SetItemsProcessed(state.iterations());
}

void BM_DecodePlainDouble(benchmark::State &state) {
  decode_line(state, "M\t" + kHead + "cpu`user|ST[env:prod,dc:ams]\tn\t12.625");
}
BENCHMARK(BM_DecodePlainDouble);

void BM_DecodePlainUint64(benchmark::State &state) {
  decode_line(state, "M\t" + kHead + "net`bytes_in\tL\t18446744073709551615");
}
BENCHMARK(BM_DecodePlainUint64);

void BM_DecodePlainString(benchmark::State &state) {
  decode_line(state, "M\t" + kHead + "state\ts\tall services running");
}
BENCHMARK(BM_DecodePlainString);

void BM_DecodeHistogramLine(benchmark::State &state) {
  decode_line(state, "H\t" + kHead + "latency\t" + hist_text());
}
BENCHMARK(BM_DecodeHistogramLine);

void BM_HistDeserialize20Buckets(benchmark::State &state) {
  std::string text = hist_text();
  for (auto _ : state) {
    histogram_t *h = hist_alloc();
    benchmark::DoNotOptimize(hist_deserialize_b64(h, text.data(), text.size()));
    hist_free(h);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HistDeserialize20Buckets);

// Items are lines: the figure is the expansion cost per line of a bundle of range(0) lines.
void BM_BundleExpandPerLine(benchmark::State &state) {
  int n = (int) state.range(0);
  std::string text;
  for (int i = 0; i < n; i++) text += (i ? "\n" : "") + ("M\t" + kHead + "metric_" + std::to_string(i) + "\tn\t" + std::to_string(i * 0.5));
  size_t len = 0;
  char *b = harl_bundle_build("broker-01.example", "1733540000.250", text.data(), text.size(), n, &len);
  std::string payload(b, len);
  free(b);
  for (auto _ : state) {
    char **lines = nullptr;
    int got = harl_check_log_b_to_sm(payload.data(), (int) payload.size(), &lines, -1);
    if (got != n) state.SkipWithError("bundle did not expand");
    for (int i = 0; i < got; i++) free(lines[i]);
    free(lines);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_BundleExpandPerLine)->Arg(10)->Arg(100)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
