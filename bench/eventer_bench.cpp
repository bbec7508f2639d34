/* Benchmarks of the event loop's building blocks: hash table lookups from two threads on 100,000
 * keys, small-table create/lookup/destroy (a client's metric filter), and job queue add+run. */
#include "zint/eventer.h"
#include "zint/zint_hash.h"
#include "zint/zint_memory.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kKeys = 100000;

struct big_table {
  zint_hash_table h = {};
  std::vector<std::string> keys;
  big_table() {
    zint_memory_init();
    zint_hash_init_size(&h, 128);
    keys.reserve(kKeys);
    for (int i = 0; i < kKeys; i++) {
      char buf[40];
      snprintf(buf, sizeof buf, "%08x-7c11-4f3c-8a9c-5c2d1f3e6a70", i * 2654435761u);
      keys.emplace_back(buf, 37); /* a bus stream key, with its NUL */
      char *k = static_cast<char *>(malloc(37));
      memcpy(k, keys.back().data(), 37);
      zint_hash_store(&h, k, 37, (void *) (long) (i + 1));
    }
  }
};

big_table &table() {
  static big_table *t = new big_table;
  return *t;
}

void BM_HashLookup(benchmark::State &state) {
  big_table &t = table();
  size_t i = (size_t) state.thread_index() * 7919;
  long found = 0;
  for (auto _ : state) {
    void *v;
    found += zint_hash_retrieve(&t.h, t.keys[i].data(), 37, &v);
    if (++i == t.keys.size()) i = 0;
  }
  if (found != (long) state.iterations()) state.SkipWithError("a key went missing");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HashLookup)->Threads(1)->Threads(2)->UseRealTime();

/* A client's filter: a few names, made, looked up per sample, destroyed. */
void BM_SmallTableLifecycle(benchmark::State &state) {
  zint_memory_init();
  static const char *names[] = {"duration", "bytes", "code", "tt_firstbyte"};
  for (auto _ : state) {
    zint_hash_table h = {};
    zint_hash_init_size(&h, 4);
    for (const char *n : names) zint_hash_store(&h, strdup(n), (int) strlen(n), nullptr);
    for (int r = 0; r < 16; r++) {
      void *v;
      benchmark::DoNotOptimize(zint_hash_retrieve(&h, names[r & 3], (int) strlen(names[r & 3]), &v));
    }
    zint_hash_destroy(&h, free, nullptr);
  }
}
BENCHMARK(BM_SmallTableLifecycle);

std::atomic<long> g_done{0};
int count_job(eventer_t, int mask, void *, struct timeval *) {
  if (mask == EVENTER_ASYNCH_COMPLETE) g_done.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

/* Add+run throughput: one producer adds batches to a queue of state.range(0) threads and waits
 * for each batch to complete. */
void BM_JobqAddRun(benchmark::State &state) {
  std::string name = "bench_" + std::to_string(state.range(0));
  eventer_jobq_t *q = eventer_jobq_create(name.c_str(), (int) state.range(0), 0, 0);
  constexpr long kBatch = 1000;
  long expected = g_done.load();
  uint64_t wakeups0 = eventer_jobq_wakeups(q);
  for (auto _ : state) {
    for (long i = 0; i < kBatch; i++)
      if (!eventer_add_asynch(q, eventer_alloc_asynch(count_job, nullptr))) state.SkipWithError("refused");
    expected += kBatch;
    while (g_done.load(std::memory_order_relaxed) < expected) {
    }
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["wakeups_per_batch"] =
      benchmark::Counter((double) (eventer_jobq_wakeups(q) - wakeups0) / (double) state.iterations());
}
BENCHMARK(BM_JobqAddRun)->Arg(1)->Arg(4)->Arg(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
