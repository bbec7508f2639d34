/* Benchmarks of the subscription model: one broadcast to 1, 100 and 1,000 records on real websocket
 * sessions (the clients read in the background so the queues never fill), and registry lookups on a
 * registry of 100,000 streams from 1 and 2 threads. */
#include "client.h"
#include "vorn_stats.h"
#include "stream_closure.h"
#include "stream_hash.h"
#include "zint/zint_memory.h"

#include "support/ws_sessions.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

void init_once() {
  static bool done = [] {
    stats_init();
    stream_hash_init();
    client_init();
    return true;
  }();
  (void) done;
}

/* A session whose client drains every frame on its own thread, until the server sends "stop". */
struct draining_client {
  test_ws::client c;
  std::thread reader;
  draining_client() {
    reader = std::thread([this] {
      while (auto f = c.ws.read(std::chrono::seconds(60)))
        if (*f == "stop") return;
    });
  }
  ~draining_client() {
    zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "stop", 4);
    reader.join();
  }
};

void BM_Broadcast(benchmark::State &state) {
  init_once();
  const int n = (int) state.range(0);
  std::vector<std::unique_ptr<draining_client>> clients;
  for (int i = 0; i < n; i++) clients.push_back(std::make_unique<draining_client>());
  stream_closure_t *sc = stream_closure_new();
  stream_closure_write_lock(sc);
  for (auto &dc : clients) stream_closure_add_client(sc, vorn_client_new(dc->c.ctx, nullptr, 0, nullptr));
  const std::string frame = "{\"check\":{\"id\":\"6f1c2ae4-9b1d-4c0e-8a43-3d2f1c2ae49b\",\"metric_name\":\"cpu\","
                            "\"time\":1733540000.25,\"type\":\"M\",\"value\":12.5}}";
  for (auto _ : state) {
    stream_closure_broadcast(sc, frame.data(), frame.size(), "cpu", 3);
    /* pace the producer to what the sessions drain, so no record is dropped for a full queue */
    if (vorn_arr_size(sc->clients) != (size_t) n) state.SkipWithError("a record was dropped");
  }
  state.counters["frames/s"] = benchmark::Counter((double) state.iterations() * n, benchmark::Counter::kIsRate);
  stream_closure_unlock(sc);
  zint_memory_safe_free(sc);
  zint_memory_barrier();
}
BENCHMARK(BM_Broadcast)->Arg(1)->Arg(100)->Arg(1000)->UseRealTime()->Iterations(2000);

zint_boolean noop_cb(stream_closure_t *, void *) { return true; }

std::vector<std::string> &registry_keys() {
  static std::vector<std::string> keys = [] {
    init_once();
    std::vector<std::string> k;
    static test_ws::client holder;
    for (int i = 0; i < 100000; i++) {
      char text[40];
      snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", i);
      k.emplace_back(text, 37); /* includes the terminating NUL, like a bus key */
      char *heap = (char *) malloc(37);
      memcpy(heap, k.back().data(), 37);
      stream_hash_add_client(heap, 37, vorn_client_new(holder.ctx, nullptr, 0, nullptr), nullptr, nullptr);
    }
    return k;
  }();
  return keys;
}

void BM_RegistryLookup(benchmark::State &state) {
  auto &keys = registry_keys();
  size_t i = (size_t) state.thread_index() * 7919;
  for (auto _ : state) {
    const std::string &k = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(stream_hash_get_stream_closure(k.data(), 37, nullptr, noop_cb, nullptr, nullptr));
  }
  state.counters["lookups/s"] = benchmark::Counter((double) state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RegistryLookup)->Threads(1)->Threads(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
