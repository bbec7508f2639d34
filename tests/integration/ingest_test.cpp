/* The bus ingest as the service runs it: a real nats-server, the message-bus module started from the
 * configuration, the payload queue, and real websocket sessions watching a check, all at once (TSan). */
#include "ingest.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "pask/pask.h"
#include "support/vorn_fixture.h"
#include "support/ws_sessions.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"
#include <gtest/gtest.h>
#include <atomic>
#include <set>
#include <thread>
namespace {
using vorn_test::wait_until;
const std::string kCheck = "5e0f1a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5b", kSubject = "vorn.metrics.broker-01";
stats_handle_t *stat(const char *ns, const char *name, stats_type_t type = STATS_TYPE_COUNTER) {
  return stats_register(stats_register_ns(stats_rec, nullptr, ns), name, type);
}
std::string line(const std::string &metric, int value) {
  return vorn_test::m_line(kCheck, metric, std::to_string(value), "i", "1733700000");
}
std::string frame(const std::string &metric, int value) {
  return "{\"check\":{\"id\":\"" + kCheck + "\",\"metric_name\":\"" + metric +
         "\",\"time\":1733700000.0,\"type\":\"M\",\"value\":" + std::to_string(value) + "}}";
}
void watch(test_ws::client &c) {
  pask_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, stat("test", "watches", STATS_TYPE_UINT64)),
                        kCheck.c_str());
}
void unwatch(test_ws::client &c) {
  vorn_client_t *thin = vorn_client_new_thin(c.ctx);
  pask_unsubscribe_client(thin, kCheck.c_str());
  vorn_client_free(thin);
}
} // namespace
// what this proves: concurrent publishers and churning watchers lose and repeat no line, leave nothing
TEST(Ingest, ConcurrentPublishersAndWatchers) {
  vorn_test::nats_fixture server; /* the bus and the ingest, started as the service's child does */
  ASSERT_TRUE(server.start()) << server.error;
  ASSERT_EQ(
      zint_conf_load_string(("<vorn-c><pools handle_pask_messages_in_jobq=\"true\"/><network><in><mq><host>" +
                             server.url() + "</host></mq></in></network></vorn-c>")
                                .c_str()),
      0);
  eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 20, 0, 0);
  eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0);
  ASSERT_EQ(zint_dso_init(), 0);
  stats_init();
  stream_hash_init();
  client_init();
  pask_init();
  ASSERT_GT(test_ws::port(), 0);
  auto firehose = [] { return stats_get_u64(stat("mq", "firehose")); };
  vorn_test::Publisher probe(server.url());
  ASSERT_TRUE(wait_until([&] { /* probes until the ingest counts one: the subscription is in place */
                               uint64_t before = firehose();
                               EXPECT_TRUE(probe.pub("probe\n", kSubject));
                               return wait_until([&] { return firehose() > before; },
                                                 std::chrono::milliseconds(100));
  }));
  test_ws::client steady;
  watch(steady);
  const int publishers = 4, lines = 100;
  const uint64_t fh = firehose();
  std::set<std::string> want, got;
  std::vector<std::thread> threads;
  std::atomic<int> publishing{publishers};
  for (int t = 0; t < publishers; t++) {
    for (int i = 0; i < lines; i++) want.insert(frame(std::to_string(t) + "." + std::to_string(i), i));
    threads.emplace_back([t, &publishing, &server] {
      vorn_test::Publisher p(server.url());
      for (int i = 0; i < lines; i++)
        EXPECT_TRUE(p.pub(line(std::to_string(t) + "." + std::to_string(i), i), kSubject));
      publishing--;
    });
  }
  for (int w = 0; w < 3; w++)
    threads.emplace_back([&publishing] {
      for (int i = 0; i < 12 || publishing > 0; i++) {
        test_ws::client c;
        watch(c);
        if (i % 2)
          unwatch(c);
        else
          c.disconnect(); /* left for a broadcast to drop */
      }
    });
  for (auto &t : threads) t.join();
  for (size_t i = 0; i < want.size(); i++) got.insert(steady.read());
  EXPECT_EQ(got, want);
  EXPECT_TRUE(probe.pub(line("last", 1), kSubject)); /* drops the clients that just left */
  EXPECT_EQ(steady.read(), frame("last", 1));
  ASSERT_TRUE(
      wait_until([&] { /* every payload counted and processed */
                       return firehose() >= fh + publishers * lines + 1 && pask_backlog_bytes() == 0 &&
                              eventer_jobq_backlog(eventer_jobq_retrieve(PROCESS_PASK_MESSAGE_JOBQ)) == 0;
      }));
  unwatch(steady);
  zint_memory_barrier();
  EXPECT_EQ(stream_hash_size(), 0);
  EXPECT_EQ(stats_get_u64(stat("test", "watches", STATS_TYPE_UINT64)), 0u);
  pask_module_stop();
}
