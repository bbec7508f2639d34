/* The bus ingest as the service runs it: a real nats-server, the message-bus module started from the
 * configuration, the payload queue, and real websocket sessions watching checks. */
#include "vorn_pask.h"

#include "client.h"
#include "stream_hash.h"
#include "vorn_stats.h"

#include "hist/hist.h"
#include "pask/pask.h"
#include "support/nats_fixture.h"
#include "support/wait.h"
#include "support/ws_sessions.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"
#include "zint/zint_startup.h"

#include <gtest/gtest.h>
#include <nats/nats.h>
#include <zlib.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vorn_test::wait_until;
const std::string kCheck = "5e0f1a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5b";

vorn_test::nats_fixture server;

uint64_t counter(const char *ns, const char *name) {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, ns), name, STATS_TYPE_COUNTER));
}
stats_handle_t *gauge() {
  static stats_handle_t *g = stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
  return g;
}

/* Starts the bus and the ingest once for the program, as the service's child does. */
struct Bus : ::testing::Environment {
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.error;
    std::string conf = "<vorn-c><pools handle_pask_messages_in_jobq=\"true\"/><network><in><mq><host>" + server.url() +
                       "</host><reconnect_wait_ms>100</reconnect_wait_ms></mq></in></network></vorn-c>";
    ASSERT_EQ(zint_conf_load_string(conf.c_str()), 0);
    eventer_jobq_create(PROCESS_PASK_MESSAGE_JOBQ, 20, 0, 0);
    eventer_jobq_create(PRUNE_DEDUPE_HASHES_JOBQ, 1, 0, 0);
    ASSERT_EQ(zint_dso_init(), 0);
    stats_init();
    stream_hash_init();
    client_init();
    pask_init();
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }
  void TearDown() override { pask_module_stop(); }
};
[[maybe_unused]] ::testing::Environment *const bus_env = ::testing::AddGlobalTestEnvironment(new Bus);

struct publisher {
  natsConnection *nc = nullptr;
  publisher() { EXPECT_EQ(natsConnection_ConnectTo(&nc, server.url().c_str()), NATS_OK); }
  ~publisher() { natsConnection_Destroy(nc); }
  void pub(const std::string &data) {
    EXPECT_EQ(natsConnection_Publish(nc, "vorn.metrics.broker-01", data.data(), (int) data.size()), NATS_OK);
    EXPECT_EQ(natsConnection_Flush(nc), NATS_OK);
  }
  bool until_ingesting() {  // probes until the ingest counts one
    return wait_until([&] {
      uint64_t before = counter("mq", "firehose");
      pub("probe\n");
      return wait_until([&] { return counter("mq", "firehose") > before; }, 100ms);
    });
  }
};

/* Every payload counted so far has been processed. */
bool settled(uint64_t firehose) {
  return wait_until([&] {
    return counter("mq", "firehose") >= firehose && pask_backlog_bytes() == 0 &&
           eventer_jobq_backlog(eventer_jobq_retrieve(PROCESS_PASK_MESSAGE_JOBQ)) == 0;
  });
}

std::string m_line(uint64_t sec, const std::string &metric, const std::string &value) {
  return "M\tbroker-01\t" + std::to_string(sec) + "\t" + kCheck + "\t" + metric + "\ti\t" + value;
}
std::string frame(uint64_t sec, const std::string &metric, int value) {
  return "{\"check\":{\"id\":\"" + kCheck + "\",\"metric_name\":\"" + metric + "\",\"time\":" + std::to_string(sec) +
         ".0,\"type\":\"M\",\"value\":" + std::to_string(value) + "}}";
}

/* A bundle claiming 100,000 lines that inflates to 128 MiB, made without holding the inflated text. */
std::string zlib_bomb(uint64_t sec) {
  std::string chunk, packed, line = m_line(sec, "bomb", "1") + "\n";
  while (chunk.size() < 65536) chunk += line;
  z_stream zs{};
  deflateInit(&zs, 9);
  std::vector<unsigned char> out(1 << 16);
  for (size_t total = 0; total < ((size_t) 128 << 20);) {
    total += chunk.size();
    zs.next_in = (Bytef *) chunk.data();
    zs.avail_in = (uInt) chunk.size();
    do {
      zs.next_out = out.data();
      zs.avail_out = (uInt) out.size();
      deflate(&zs, total >= ((size_t) 128 << 20) ? Z_FINISH : Z_NO_FLUSH);
      packed.append((const char *) out.data(), out.size() - zs.avail_out);
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  std::string b64(4 * ((packed.size() + 2) / 3) + 1, '\0');
  b64.resize((size_t) hist_b64_encode((const unsigned char *) packed.data(), packed.size(), b64.data(), b64.size()));
  return "B\tbroker-01\t" + std::to_string(sec) + "\t100000\t" + b64 + "\n";
}

long status_kib(const char *field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return atol(line.c_str() + strlen(field));
  return -1;
}

class Ingest : public ::testing::Test {
 protected:
  void TearDown() override {
    zint_memory_barrier();
    EXPECT_EQ(stream_hash_size(), 0);
    EXPECT_EQ(stats_get_u64(gauge()), 0u);
  }
  static void watch(test_ws::client &c) { pask_subscribe_client(vorn_client_new(c.ctx, nullptr, 0, gauge()), kCheck.c_str()); }
  static void unwatch(test_ws::client &c) {
    vorn_client_t *thin = vorn_client_new_thin(c.ctx);
    pask_unsubscribe_client(thin, kCheck.c_str());
    vorn_client_free(thin);
  }
};

} // namespace

// what this proves: through the real bus a line becomes its exact frame, a repeated payload is dropped, a bundle's lines
// arrive in order, and each line or bundle that cannot become a frame sends nothing and counts once in "mq"/"bad_lines";
// a zlib bomb is refused without inflating it (peak memory stays far below its 128 MiB)
TEST_F(Ingest, PayloadsThroughTheBus) {
  test_ws::client c;
  watch(c);
  publisher p;
  ASSERT_TRUE(p.until_ingesting());
  const uint64_t s = 1733600000;
  std::string bundle_text;
  std::vector<std::string> bundle_frames;
  for (int i = 0; i < 50; i++) {
    bundle_text += (i ? "\n" : "") + m_line(s, "m" + std::to_string(i), std::to_string(i));
    bundle_frames.push_back(frame(s, "m" + std::to_string(i), i));
  }
  size_t len = 0;
  char *b = harl_bundle_build("broker-01", std::to_string(s).c_str(), bundle_text.data(), bundle_text.size(), 50, &len);
  ASSERT_NE(b, nullptr);
  std::string bundle(b, len);
  free(b);
  struct row {
    std::string payload;
    std::vector<std::string> frames;
    uint64_t bad_lines;
  } rows[] = {
      {m_line(s, "cpu|ST[host:a]", "42") + "\n", {frame(s, "cpu|ST[host:a]", 42)}, 0},
      {m_line(s, "cpu|ST[host:a]", "42") + "\n", {}, 0},  // the same payload again
      {m_line(s, "cpu|ST[host:a]", "43") + "\n", {frame(s, "cpu|ST[host:a]", 43)}, 0},
      {bundle, bundle_frames, 0},
      {m_line(s, "bad", "x"), {}, 1},
      {"B\tbroker-01\t" + std::to_string(s) + "\t1\tnot*base64", {}, 1},
      {zlib_bomb(s + 1), {}, 1},
      {m_line(s, "sentinel", "1"), {frame(s, "sentinel", 1)}, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.payload.substr(0, 80));
    uint64_t fh = counter("mq", "firehose"), bad = counter("mq", "bad_lines");
    { std::ofstream("/proc/self/clear_refs") << "5"; }  // resets the peak where the kernel allows it
    long rss_before = status_kib("VmRSS:");
    p.pub(r.payload);
    ASSERT_TRUE(settled(fh + 1));
    for (const std::string &f : r.frames) EXPECT_EQ(c.read(), f);
    EXPECT_EQ(counter("mq", "bad_lines"), bad + r.bad_lines);
    /* Refused text stays under the 16 MiB bound (a buffer doubling up to it); TSan's shadow adds 4 bytes a byte. */
#ifdef VORN_TSAN
    EXPECT_LT(status_kib("VmHWM:") - rss_before, 5 * 96 * 1024);
#else
    EXPECT_LT(status_kib("VmHWM:") - rss_before, 96 * 1024);
#endif
  }
  unwatch(c);
}

// what this proves: publishers on their own connections and watchers that come and go (unwatching or just leaving),
// all at once, lose no line of a watched check and deliver none twice, and leave nothing behind: registry, watch gauge,
// payload backlog and queue back at zero
TEST_F(Ingest, ConcurrentPublishersAndWatchers) {
  test_ws::client steady;
  watch(steady);
  publisher probe;
  ASSERT_TRUE(probe.until_ingesting());
  const int publishers = 4, lines = 100, watchers = 3, cycles = 12;
  const uint64_t s = 1733700000, fh = counter("mq", "firehose");
  std::set<std::string> want;
  std::vector<std::thread> threads;
  std::atomic<int> publishing{publishers};
  for (int t = 0; t < publishers; t++) {
    for (int i = 0; i < lines; i++) want.insert(frame(s, "p" + std::to_string(t) + "." + std::to_string(i), i));
    threads.emplace_back([t, s, &publishing] {
      publisher p;
      for (int i = 0; i < lines; i++) p.pub(m_line(s, "p" + std::to_string(t) + "." + std::to_string(i), std::to_string(i)));
      publishing--;
    });
  }
  for (int w = 0; w < watchers; w++)
    threads.emplace_back([&publishing] {
      for (int i = 0; i < cycles || publishing > 0; i++) {
        test_ws::client c;
        watch(c);
        if (i % 2) unwatch(c);
        else c.disconnect();  // left for the broadcast to drop
      }
    });
  for (auto &t : threads) t.join();
  std::set<std::string> got;
  for (size_t i = 0; i < want.size(); i++) got.insert(steady.read());
  EXPECT_EQ(got, want);
  probe.pub(m_line(s + 1, "last", "1"));  // a broadcast after every watcher left drops the ones that did not unwatch
  EXPECT_EQ(steady.read(), frame(s + 1, "last", 1));
  ASSERT_TRUE(settled(fh + publishers * lines + 1));
  unwatch(steady);
  EXPECT_EQ(pask_backlog_bytes(), 0u);
}
