/* Ingest throughput against a real nats-server on loopback: 10,000 checks of which 100 are watched
 * by websocket sessions. The same messages are counted by a bare NATS subscriber and, in the same
 * run, taken through the whole ingest (hook, queue, dedupe, decode, registry, frames); the summary
 * prints lines per second of both and their ratio. */
#include "ingest.h"

#include "client.h"
#include "vorn_stats.h"
#include "stream_hash.h"

#include "pask/pask.h"
#include "zint/eventer.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"
#include "zint/zint_time.h"

#include "support/nats_fixture.h"
#include "support/ws_sessions.h"

#include <benchmark/benchmark.h>
#include <nats/nats.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kChecks = 10000;
constexpr int kWatched = 100;
constexpr int kSessions = 10;
constexpr int kMessages = 200000;
const char *const kSubject = "vorn.metrics.bench";

struct world {
  vorn_test::nats_fixture server;
  std::vector<std::string> checks;
  std::vector<std::string> payloads;
  double bare_lps = 0, vorn_lps = 0;
};

world &w() {
  static world x;
  return x;
}

void prepare() {
  static bool done = [] {
    if (!w().server.start()) {
      fprintf(stderr, "nats-server: %s\n", w().server.error.c_str());
      exit(1);
    }
    for (int i = 0; i < kChecks; i++) {
      uuid_t u;
      zint_uuid_generate(u);
      char t[37];
      zint_uuid_unparse_lower(u, t);
      w().checks.emplace_back(t);
    }
    for (int i = 0; i < kMessages; i++)
      w().payloads.push_back("M\tbroker-01\t" + std::to_string(1733540000 + i / 1000) + "\t" +
                             w().checks[(size_t) i % kChecks] + "\tcpu|ST[host:web]\tn\t" + std::to_string(i) + ".5\n");
    return true;
  }();
  (void) done;
}

/* Publishes every payload as fast as the connection takes them. */
void publish_all() {
  natsConnection *nc = nullptr;
  if (natsConnection_ConnectTo(&nc, w().server.url().c_str()) != NATS_OK) abort();
  for (const std::string &p : w().payloads) natsConnection_Publish(nc, kSubject, p.data(), (int) p.size());
  natsConnection_Flush(nc);
  natsConnection_Destroy(nc);
}

std::atomic<int> bare_count{0};
void bare_on_msg(natsConnection *, natsSubscription *, natsMsg *msg, void *) {
  bare_count.fetch_add(1, std::memory_order_relaxed);
  natsMsg_Destroy(msg);
}

void BM_BareNatsSubscriber(benchmark::State &state) {
  prepare();
  for (auto _ : state) {
    natsConnection *nc = nullptr;
    natsSubscription *sub = nullptr;
    natsConnection_ConnectTo(&nc, w().server.url().c_str());
    natsConnection_Subscribe(&sub, nc, "vorn.metrics.>", bare_on_msg, nullptr);
    natsSubscription_SetPendingLimits(sub, -1, -1);
    natsConnection_Flush(nc);
    bare_count = 0;
    auto t0 = std::chrono::steady_clock::now();
    publish_all();
    test_ws::wait_until([] { return bare_count.load() >= kMessages; }, std::chrono::seconds(120));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    w().bare_lps = bare_count.load() / s;
    natsSubscription_Destroy(sub);
    natsConnection_Destroy(nc);
  }
  state.counters["lines_per_s"] = w().bare_lps;
}
BENCHMARK(BM_BareNatsSubscriber)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

uint64_t firehose_now() {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, "mq"), "firehose", STATS_TYPE_COUNTER));
}

void BM_VornIngest(benchmark::State &state) {
  prepare();
  static bool started = [] {
    std::string conf = "<vorn-c><network><in><mq><host>" + w().server.url() +
                       "</host><pending_msgs_limit>2000000</pending_msgs_limit>"
                       "<pending_bytes_limit>1000000000</pending_bytes_limit></mq></in></network></vorn-c>";
    zint_conf_load_string(conf.c_str());
    pask_init_jobqs();
    eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 20, 0, 0);
    eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0);
    zint_dso_init();
    stats_init();
    stream_hash_init();
    client_init();
    pask_init();
    return true;
  }();
  (void) started;
  stats_handle_t *watches = stats_register(stats_register_ns(stats_rec, nullptr, "bench"), "watches", STATS_TYPE_UINT64);
  std::vector<std::unique_ptr<test_ws::client>> sessions;
  for (int i = 0; i < kSessions; i++) sessions.push_back(std::make_unique<test_ws::client>());
  for (int i = 0; i < kWatched; i++) {
    test_ws::client &c = *sessions[(size_t) i % kSessions];
    pask_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, watches), w().checks[(size_t) i * (kChecks / kWatched)].c_str());
  }
  /* Each watched check gets kMessages / kChecks lines. */
  const int frames_expected = kWatched * (kMessages / kChecks);
  std::atomic<int> frames{0};
  std::vector<std::thread> readers;
  for (auto &c : sessions)
    readers.emplace_back([&frames, cl = c.get()] {
      for (std::string f = cl->read(); !f.empty() && f != "stop"; f = cl->read()) frames++;
    });
  /* Let the module's subscription reach the server before timing. */
  test_ws::wait_until([] { return pask_module_connected(); });
  for (auto _ : state) {
    uint64_t base = firehose_now();
    auto t0 = std::chrono::steady_clock::now();
    publish_all();
    test_ws::wait_until([&] { return firehose_now() >= base + kMessages &&
                                     eventer_jobq_backlog(eventer_jobq_retrieve(PROCESS_PASK_MESSAGE_JOBQ)) == 0 &&
                                     frames.load() >= frames_expected; },
                        std::chrono::seconds(120));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    w().vorn_lps = (double) (firehose_now() - base) / s;
  }
  state.counters["lines_per_s"] = w().vorn_lps;
  state.counters["frames"] = frames.load();
  state.counters["dropped"] = (double) stats_get_u64(
      stats_register(stats_register_ns(stats_rec, nullptr, "mq"), "dropped", STATS_TYPE_COUNTER));
  for (int i = 0; i < kWatched; i++) {
    test_ws::client &c = *sessions[(size_t) i % kSessions];
    vorn_client_t *thin = vorn_client_new_thin(c.ctx);
    pask_unsubscribe_client(thin, w().checks[(size_t) i * (kChecks / kWatched)].c_str());
    vorn_client_free(thin);
  }
  for (auto &c : sessions) {
    vorn_client_t *thin = vorn_client_new_thin(c->ctx);
    vorn_client_write(thin, "stop", 4);
    vorn_client_free(thin);
  }
  for (auto &t : readers) t.join();
}
BENCHMARK(BM_VornIngest)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (w().bare_lps > 0 && w().vorn_lps > 0)
    printf("ingest throughput: bare subscriber %.0f lines/s, vorn-c %.0f lines/s, ratio %.2f\n", w().bare_lps,
           w().vorn_lps, w().vorn_lps / w().bare_lps);
  pask_module_stop();
  w().server.stop();
  return 0;
}
