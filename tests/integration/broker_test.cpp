/* Broker streams end to end: a throwaway PostgreSQL says where each check's broker listens, harl-sim plays the
 * brokers (plain, TLS, closing, refusing, malformed, silent), and records on real websocket sessions watch. */
#include "support/harl_sim_fixture.h"
#include "support/pg_fixture.h"
#include "support/test_cert.h"
#include "support/wait.h"
#include "support/ws_sessions.h"

#include "broker.h"
#include "client.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "wdb.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cstring>

namespace {

namespace json = boost::json;
using vorn_test::wait_until;

/* Harl ids; check uuid(b, n) runs on broker b. */
enum broker { plain = 1, closing, tls, unreachable, refusing, malformed, silent };
std::string uuid(broker b, int n) { return "b0000000-0000-4000-800" + std::to_string(b) + "-00000000000" + std::to_string(n); }
std::string error_frame(const char *text, const std::string &id) {
  return "{\"error\":\"" + std::string(text) + "\",\"id\":\"" + id + "\",\"period\":100,\"type\":\"watch\"}";
}
const char *kTerminated = "connection to broker was terminated";

uint64_t stat(const char *name, stats_type_t t = STATS_TYPE_COUNTER, const char *ns = "global") {
  stats_ns_t *parent = strcmp(ns, "global") ? nullptr : stats_register_ns(stats_rec, nullptr, "agents");
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, parent, ns), name, t));
}
stats_handle_t *gauge() {
  static stats_handle_t *g = stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
  return g;
}
std::string conf(int pg_port, const std::string &wdb_attrs = "", const std::string &harls = "") {
  return "<vorn-c><vorn><wdb" + wdb_attrs + "><host>127.0.0.1</host><port>" + std::to_string(pg_port) +
         "</port><database>wdb</database><user>vorn_reader</user><password>pw</password><connect_timeout>5"
         "</connect_timeout></wdb></vorn><harls>" + harls + "</harls></vorn-c>";
}

class Broker : public ::testing::Test {
 protected:
  static inline vorn_test::PgCluster *pg;
  static inline vorn_test::HarlSim *sims[8];
  static inline test_cert cert;

  static void SetUpTestSuite() {
    std::string err;
    pg = new vorn_test::PgCluster();
    ASSERT_TRUE(pg->start(&err) && pg->create_database("wdb", &err) && pg->create_login("vorn_reader", "pw", &err)) << err;
    cert = test_cert_make();
    std::vector<std::string> opts[8] = {{}, {"--heartbeat-ms", "100"}, {"--heartbeat-ms", "0", "--close-after", "3"},
        {"--tls-cert", cert.cert_file, "--tls-key", cert.key_file}, {}, {"--refuse"}, {"--malformed", "--heartbeat-ms", "0"},
        {"--heartbeat-ms", "0", "--min-period-ms", "86400000"}};  // silent: one batch at the request, then nothing
    for (int b = plain; b <= silent; b++) {
      sims[b] = new vorn_test::HarlSim();
      ASSERT_TRUE(b == unreachable || sims[b]->start(opts[b], &err)) << err;
      int port = b == unreachable ? vorn_test::pg_free_loopback_port() : sims[b]->port();
      ASSERT_TRUE(pg->add_harl("wdb", b, "127.0.0.1", std::to_string(port), &err)) << err;
      for (int n = 0; n < 8; n++) ASSERT_TRUE(pg->add_check("wdb", uuid(broker(b), n), b, &err)) << err;
    }
    stats_init();
    configure();
    stream_hash_init();
    client_init();
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }
  static void TearDownTestSuite() {
    for (auto *s : sims) delete s;
    delete pg;
  }
  static void configure(const std::string &wdb_attrs = "", const std::string &harls = "") {
    ASSERT_EQ(0, zint_conf_load_string(conf(pg->port(), wdb_attrs, harls).c_str()));
    wdb_init();
    harl_init();
  }
  void TearDown() override {  // every connection ends and every record goes once its clients are gone
    EXPECT_TRUE(wait_until([] { return stat("connections", STATS_TYPE_UINT64) == 0 && stream_hash_size() == 0; }));
    zint_memory_barrier();
    EXPECT_EQ(stats_get_u64(gauge()), 0u);
  }

  static void watch(test_ws::client &c, const std::string &id, std::vector<const char *> names = {}) {
    harl_subscribe_client(vorn_client_new(c.ctx, names.data(), names.size(), gauge()), id.c_str(), 100);
  }
  static void unwatch(test_ws::client &c, const std::string &id) {
    vorn_client_t *thin = vorn_client_new_thin(c.ctx);
    harl_unsubscribe_client(thin, id.c_str(), 100);
    vorn_client_free(thin);
  }
  /* The first of the next 50 frames that holds text, or "". */
  static std::string read_until(test_ws::client &c, const std::string &text) {
    std::string f;
    for (int i = 0; i < 50 && !(f = c.read()).empty(); i++)
      if (f.find(text) != std::string::npos) return f;
    return "";
  }
  /* Drains what was queued before a marker: true when none of it was an error frame. */
  static bool no_error_frames(test_ws::client &c) {
    zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "marker", 6);
    for (std::string f; (f = c.read()) != "marker";)
      if (f.empty() || f.find("\"error\"") != std::string::npos) return false;
    return true;
  }
  /* The simulator's requests for a check, in order, once there are n. */
  static std::vector<json::object> requests(broker b, const std::string &id, size_t n) {
    std::vector<json::object> out;
    wait_until([&] {
      out.clear();
      for (auto &e : sims[b]->events())
        if (vorn_test::event_is(e, "request") && e.at("request").at("check_uuid") == id.c_str()) out.push_back(e);
      return out.size() >= n;
    });
    return out;
  }
};

} // namespace

// what this proves: the request names check and period and lists metrics only when every client narrows them; a
// second client joins the same connection and widens the request, its leaving narrows it again with no error to it;
// samples reach each client translated (numbers, histograms with their buckets, strings)
TEST_F(Broker, RequestsFollowTheClientsAndSamplesAreRelayed) {
  std::string narrow = uuid(plain, 0), wide = uuid(plain, 1);
  uint64_t connects = stat("connects");
  test_ws::client a, b, c;
  watch(a, narrow, {"cpu"});
  watch(b, wide);
  auto req = requests(plain, narrow, 1);
  EXPECT_EQ(json::serialize(req[0].at("request")), "{\"check_uuid\":\"" + narrow + "\",\"period_ms\":100,\"metrics\":[\"cpu\"]}");
  EXPECT_EQ(json::serialize(requests(plain, wide, 1)[0].at("request")), "{\"check_uuid\":\"" + wide + "\",\"period_ms\":100}");
  json::object cpu = json::parse(read_until(a, "\"cpu\"")).at("check").as_object();
  EXPECT_EQ(cpu.at("type"), "M");
  EXPECT_TRUE(cpu.at("value").is_double());
  json::object lat = json::parse(read_until(b, "\"latency\"")).at("check").as_object();
  EXPECT_EQ(lat.at("type"), "H1");
  EXPECT_EQ(lat.at("histogram").as_object().size(), 2u);
  EXPECT_TRUE(lat.at("histogram").as_object().contains("0.500000") && lat.at("histogram").as_object().contains("10.000000"));
  EXPECT_NE(read_until(b, "\"metric_name\":\"state\""), "");

  watch(c, narrow, {"mem"});
  std::string both = json::serialize(requests(plain, narrow, 2)[1].at("request").at("metrics"));
  EXPECT_TRUE(both == "[\"cpu\",\"mem\"]" || both == "[\"mem\",\"cpu\"]") << both;
  EXPECT_EQ(requests(plain, narrow, 2)[1].at("conn"), req[0].at("conn"));
  EXPECT_NE(read_until(c, "\"mem\"").find("\"check\""), std::string::npos);
  unwatch(c, narrow);
  EXPECT_EQ(json::serialize(requests(plain, narrow, 3)[2].at("request").at("metrics")), "[\"cpu\"]");
  EXPECT_TRUE(no_error_frames(c));
  EXPECT_EQ(stat("connects"), connects + 2);
  EXPECT_EQ(stat("connections", STATS_TYPE_UINT64), 2u);
  unwatch(a, narrow);
  unwatch(b, wide);
}

// what this proves: unwatching the last client closes the connection soon, even when the broker sends nothing more,
// with no error frame to anyone; malformed broker frames are skipped while good samples still flow
TEST_F(Broker, LastUnwatchClosesQuietlyAndMalformedFramesAreSkipped) {
  for (broker b : {plain, silent, malformed}) {
    SCOPED_TRACE(b);
    std::string id = uuid(b, 3);
    uint64_t closes = stat("closes");
    test_ws::client a;
    watch(a, id, {"latency", "cpu"});
    for (int i = 0; i < (b == malformed ? 3 : 1); i++)  // good histograms among the broken ones
      EXPECT_NE(read_until(a, "\"latency\"").find("\"histogram\":{\"0.500000\":"), std::string::npos);
    auto conn = requests(b, id, 1)[0].at("conn");
    unwatch(a, id);
    EXPECT_EQ(stream_hash_size(), 0);
    json::object closed = sims[b]->wait_event([&](auto &e) { return vorn_test::event_is(e, "close") && e.at("conn") == conn; });
    EXPECT_EQ(closed.at("by"), "peer");
    EXPECT_TRUE(wait_until([&] { return stat("closes") == closes + 1; }));
    EXPECT_TRUE(no_error_frames(a));
  }
}

// what this proves: every client of a stream gets the error frame of a connection that ends or cannot be made, counted,
// and the next watch connects again; an unknown check gets its own error and no connection attempt
TEST_F(Broker, FailuresReachEveryClient) {
  struct {
    std::string id;
    int clients;
    const char *error;
    uint64_t connects, errors;
  } rows[] = {{uuid(closing, 0), 2, kTerminated, 1, 0}, {uuid(closing, 0), 1, kTerminated, 1, 0},
              {uuid(unreachable, 0), 1, kTerminated, 1, 0}, {uuid(refusing, 0), 1, kTerminated, 1, 0},
              {"cccccccc-0000-4000-8000-000000000000", 1, "could not find broker for provided uuid", 0, 1}};
  for (auto &r : rows) {
    SCOPED_TRACE(r.id);
    uint64_t connects = stat("connects"), closes = stat("closes"), errors = stat("broker", STATS_TYPE_COUNTER, "errors");
    std::vector<test_ws::client> clients(r.clients);
    for (auto &c : clients) watch(c, r.id);
    for (auto &c : clients) EXPECT_EQ(read_until(c, "\"error\""), error_frame(r.error, r.id));
    EXPECT_EQ(stat("connects"), connects + r.connects);
    EXPECT_TRUE(wait_until([&] { return stat("closes") == closes + r.connects && stream_hash_size() == 0; }));
    EXPECT_EQ(stat("broker", STATS_TYPE_COUNTER, "errors"), errors + r.errors);
  }
  EXPECT_EQ(sims[closing]->count_events("connect"), 2u);
  EXPECT_EQ(sims[refusing]->count_events("refused"), 1u);
}

// what this proves: while the database is frozen a watch beyond <wdb max_pending> is refused at once, counted; a waiting
// one gets its data once the database answers, and one whose watcher left meanwhile opens no connection
TEST_F(Broker, LookupsWaitingForAFrozenDatabaseAreBounded) {
  configure(" max_pending=\"2\"");
  uint64_t errors = stat("broker", STATS_TYPE_COUNTER, "errors"), connects = stat("connects");
  test_ws::client a, b, c;
  pg->freeze();
  watch(a, uuid(plain, 5));
  watch(b, uuid(plain, 6));
  watch(c, uuid(plain, 7));
  EXPECT_EQ(c.read(), error_frame("broker watch request failed", uuid(plain, 7)));
  EXPECT_EQ(stat("broker", STATS_TYPE_COUNTER, "errors"), errors + 1);
  EXPECT_EQ(stat("pending", STATS_TYPE_UINT64, "wdb"), 2u);
  unwatch(b, uuid(plain, 6));
  pg->thaw();
  EXPECT_NE(read_until(a, "\"cpu\"").find(uuid(plain, 5)), std::string::npos);
  EXPECT_TRUE(wait_until([&] { return stat("pending", STATS_TYPE_UINT64, "wdb") == 0; }));
  EXPECT_EQ(stat("connects"), connects + 1);
  EXPECT_TRUE(no_error_frames(b));
  unwatch(a, uuid(plain, 5));
  configure();
}

// what this proves: with an sslconfig the broker connection uses TLS and verifies the broker's certificate; without it
// the same broker cannot be spoken to
TEST_F(Broker, TlsToBroker) {
  configure("", "<sslconfig><ca_chain>" + cert.cert_file + "</ca_chain></sslconfig>");
  test_ws::client a;
  watch(a, uuid(tls, 0), {"mem"});
  EXPECT_NE(read_until(a, "\"mem\"").find(uuid(tls, 0)), std::string::npos);
  unwatch(a, uuid(tls, 0));
  configure();
  watch(a, uuid(tls, 1));
  EXPECT_EQ(read_until(a, "\"error\""), error_frame(kTerminated, uuid(tls, 1)));
}
