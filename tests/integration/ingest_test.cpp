/* Integration of the message-bus ingest with a real nats-server on loopback, the message-bus module
 * started the way the service starts it, and real websocket sessions: bus -> dedupe -> decode ->
 * registry -> websocket frame, duplicates, bundles, a server restart and a zlib bomb. */
#include "ingest.h"

#include "client.h"
#include "vorn_stats.h"
#include "stream_hash.h"

#include "harl/harl.h"
#include "hist/hist.h"
#include "pask/pask.h"
#include "zint/eventer.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"

#include "support/nats_fixture.h"
#include "support/ws_sessions.h"

#include <gtest/gtest.h>
#include <nats/nats.h>
#include <zlib.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

const char *const kCheck = "5e0f1a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5b";
const char *const kSubject = "vorn.metrics.broker-01";

vorn_test::nats_fixture &server() {
  static vorn_test::nats_fixture s;
  return s;
}

uint64_t counter(const char *ns, const char *name) {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, ns), name, STATS_TYPE_COUNTER));
}

stats_handle_t *gauge() {
  static stats_handle_t *g = stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
  return g;
}

/* Starts the bus and the ingest once for the whole program, as the child entry does. */
class Bus : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(server().start()) << server().error;
    std::string conf = "<vorn-c><pools handle_pask_messages_in_jobq=\"true\"/><network><in><mq><host>" +
                       server().url() + "</host><subject>vorn.metrics.></subject>"
                       "<reconnect_wait_ms>100</reconnect_wait_ms></mq></in></network></vorn-c>";
    ASSERT_EQ(zint_conf_load_string(conf.c_str()), 0);
    eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 20, 0, 0);
    eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0);
    ASSERT_EQ(zint_dso_init(), 0);
    ASSERT_TRUE(zint_dso_loaded("pask"));
    stats_init();
    stream_hash_init();
    client_init();
    pask_init();
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }
  void TearDown() override {
    pask_module_stop();
    server().stop();
  }
};

[[maybe_unused]] ::testing::Environment *const bus_env = ::testing::AddGlobalTestEnvironment(new Bus);

struct publisher {
  natsConnection *nc = nullptr;
  publisher() { EXPECT_EQ(natsConnection_ConnectTo(&nc, server().url().c_str()), NATS_OK); }
  ~publisher() { natsConnection_Destroy(nc); }
  void pub(const std::string &data) {
    ASSERT_EQ(natsConnection_Publish(nc, kSubject, data.data(), (int) data.size()), NATS_OK);
    ASSERT_EQ(natsConnection_Flush(nc), NATS_OK);
  }
  /* Publishes probes until the ingest counts one: the module's subscription is in place. */
  bool until_ingesting() {
    return test_ws::wait_until([&] {
      uint64_t before = counter("mq", "firehose");
      if (natsConnection_Publish(nc, kSubject, "probe\n", 6) != NATS_OK) return false;
      natsConnection_Flush(nc);
      return test_ws::wait_until([&] { return counter("mq", "firehose") > before; }, std::chrono::milliseconds(100));
    }, std::chrono::seconds(20));
  }
};

uint64_t fresh_second() {
  static uint64_t next = 1733600000;
  return next++;
}

std::string m_line(uint64_t sec, const std::string &metric, const std::string &value) {
  return "M\tbroker-01\t" + std::to_string(sec) + "\t" + kCheck + "\t" + metric + "\ti\t" + value;
}

std::string metric_of(const std::string &frame) {
  size_t at = frame.find("\"metric_name\":\"");
  if (at == std::string::npos) return "<" + frame + ">";
  return frame.substr(at + 15, frame.find('"', at + 15) - at - 15);
}

/* Waits until every delivered payload has been processed. */
bool settled(uint64_t firehose_target) {
  return test_ws::wait_until([&] {
    return counter("mq", "firehose") >= firehose_target &&
           eventer_jobq_backlog(eventer_jobq_retrieve(PROCESS_PASK_MESSAGE_JOBQ)) == 0;
  });
}

long status_kib(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
  return -1;
}

class Ingest : public ::testing::Test {
 protected:
  void TearDown() override {
    zint_memory_barrier();
    EXPECT_EQ(stream_hash_size(), 0);
  }
  void watch(test_ws::client &c) { pask_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, gauge()), kCheck); }
  void unwatch(test_ws::client &c) {
    vorn_client_t *thin = vorn_client_new_thin(c.ctx);
    pask_unsubscribe_client(thin, kCheck);
    vorn_client_free(thin);
  }
};

// what this proves: a line published on the bus reaches the watcher of its check as the exact client data message
TEST_F(Ingest, WatchedCheckReceivesLines) {
  test_ws::client c;
  watch(c);
  publisher p;
  ASSERT_TRUE(p.until_ingesting());
  uint64_t s = fresh_second();
  p.pub(m_line(s, "cpu|ST[host:a]", "42") + "\n");
  EXPECT_EQ(c.read(), std::string("{\"check\":{\"id\":\"") + kCheck + "\",\"metric_name\":\"cpu|ST[host:a]\",\"time\":" +
                          std::to_string(s) + ".0,\"type\":\"M\",\"value\":42}}");
  unwatch(c);
}

// what this proves: a payload published twice is delivered once, while a different payload of the same second still passes
TEST_F(Ingest, DuplicateDeliveredOnce) {
  test_ws::client c;
  watch(c);
  publisher p;
  ASSERT_TRUE(p.until_ingesting());
  uint64_t s = fresh_second();
  uint64_t fh = counter("mq", "firehose");
  p.pub(m_line(s, "dup", "1") + "\n");
  p.pub(m_line(s, "dup", "1") + "\n");
  ASSERT_TRUE(settled(fh + 2));
  p.pub(m_line(s, "after", "2") + "\n");
  EXPECT_EQ(metric_of(c.read()), "dup");
  EXPECT_EQ(metric_of(c.read()), "after");
  unwatch(c);
}

// what this proves: the lines of a bundle arrive in their order
TEST_F(Ingest, BundleDeliversLinesInOrder) {
  test_ws::client c;
  watch(c);
  publisher p;
  ASSERT_TRUE(p.until_ingesting());
  uint64_t s = fresh_second();
  std::string text;
  for (int i = 0; i < 50; i++) text += (i ? "\n" : "") + m_line(s, "m" + std::to_string(i), std::to_string(i));
  size_t len = 0;
  char *b = harl_bundle_build("broker-01", std::to_string(s).c_str(), text.data(), text.size(), 50, &len);
  ASSERT_NE(b, nullptr);
  p.pub(std::string(b, len));
  free(b);
  for (int i = 0; i < 50; i++) ASSERT_EQ(metric_of(c.read()), "m" + std::to_string(i));
  unwatch(c);
}

// what this proves: after nats-server restarts, the module reconnects and lines flow to the watcher again
TEST_F(Ingest, ResumesAfterServerRestart) {
  test_ws::client c;
  watch(c);
  {
    publisher p;
    ASSERT_TRUE(p.until_ingesting());
  }
  int conns = pask_module_connection_id();
  ASSERT_TRUE(server().restart()) << server().error;
  ASSERT_TRUE(test_ws::wait_until([&] { return pask_module_connection_id() > conns && pask_module_connected(); },
                                  std::chrono::seconds(20)));
  publisher p;
  ASSERT_TRUE(p.until_ingesting());
  p.pub(m_line(fresh_second(), "back", "1") + "\n");
  EXPECT_EQ(metric_of(c.read()), "back");
  unwatch(c);
}

/* A bundle that claims 100,000 lines of the watched check and inflates to 128 MiB, made without
 * ever holding the inflated text. */
std::string zlib_bomb(uint64_t sec) {
  std::string line = m_line(sec, "bomb", "1") + "\n";
  std::string chunk;
  while (chunk.size() < 65536) chunk += line;
  z_stream zs{};
  EXPECT_EQ(deflateInit(&zs, 9), Z_OK);
  std::string packed;
  std::vector<unsigned char> out(1 << 16);
  size_t total = 0, target = (size_t) 128 << 20;
  while (total < target) {
    total += chunk.size();
    zs.next_in = (Bytef *) chunk.data();
    zs.avail_in = (uInt) chunk.size();
    int flush = total >= target ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = out.data();
      zs.avail_out = (uInt) out.size();
      deflate(&zs, flush);
      packed.append((const char *) out.data(), out.size() - zs.avail_out);
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  std::string b64(4 * ((packed.size() + 2) / 3) + 1, '\0');
  ssize_t n = hist_b64_encode((const unsigned char *) packed.data(), packed.size(), b64.data(), b64.size());
  EXPECT_GT(n, 0);
  b64.resize((size_t) n);
  return "B\tbroker-01\t" + std::to_string(sec) + "\t100000\t" + b64 + "\n";
}

// what this proves: a bundle that would inflate far beyond the limit is refused whole, nothing is dispatched and memory stays low
TEST_F(Ingest, ZlibBombRefusedWithLowRss) {
  test_ws::client c;
  watch(c);
  publisher p;
  ASSERT_TRUE(p.until_ingesting());
  uint64_t s = fresh_second();
  std::string bomb = zlib_bomb(s);
  ASSERT_LT(bomb.size(), 1000000u) << "must fit the server's payload limit";
  /* Peak RSS from here on: clear_refs "5" resets the high-water mark where the kernel allows it. */
  { std::ofstream("/proc/self/clear_refs") << "5"; }
  long rss_before = status_kib("VmRSS:");
  uint64_t fh = counter("mq", "firehose");
  p.pub(bomb);
  ASSERT_TRUE(settled(fh + 1));
  p.pub(m_line(s, "sentinel", "1") + "\n");
  EXPECT_EQ(metric_of(c.read()), "sentinel");
  long peak = status_kib("VmHWM:");
  /* The refused text never passes the 16 MiB bound (the buffer doubles up to it: 24 MiB at most
   * at once). TSan's shadow adds about four bytes per byte the program touches. */
#ifdef VORN_TSAN
  constexpr long bound_kib = 5 * 96 * 1024;
#else
  constexpr long bound_kib = 96 * 1024;
#endif
  EXPECT_LT(peak - rss_before, bound_kib) << "peak " << peak << " KiB, before " << rss_before << " KiB";
  unwatch(c);
}

} // namespace
