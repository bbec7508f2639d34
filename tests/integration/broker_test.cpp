/* Broker streams end to end: a throwaway PostgreSQL says where each check's broker listens, harl-sim plays
 * the brokers (plain, TLS, silent), and records on real websocket sessions watch. */
#include "support/harl_sim_fixture.h"
#include "support/pg_fixture.h"
#include "support/test_cert.h"
#include "support/wait.h"
#include "support/ws_sessions.h"

#include "broker.h"
#include "stream_hash.h"
#include "vorn_stats.h"
#include "wdb.h"
#include "zint/zint_conf.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

namespace {

using vorn_test::wait_until;
enum broker { plain = 1, tls, silent };  // harl ids
std::string uuid(broker b, int n) {
  return "b0000000-0000-4000-800" + std::to_string(b) + "-00000000000" + std::to_string(n);
}
std::string error_frame(const char *text, const std::string &id) {
  return "{\"error\":\"" + std::string(text) + "\",\"id\":\"" + id + "\",\"period\":100,\"type\":\"watch\"}";
}
uint64_t stat(const char *ns, const char *name, stats_type_t t = STATS_TYPE_COUNTER) {
  stats_ns_t *agents =
      std::string(ns) == "global" ? stats_register_ns(stats_rec, nullptr, "agents") : nullptr;
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, agents, ns), name, t));
}
stats_handle_t *gauge() {
  return stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
}

class Broker : public ::testing::Test {
 protected:
  static inline vorn_test::PgCluster *pg;
  static inline vorn_test::HarlSim sims[4];
  static inline test_cert cert;

  static void SetUpTestSuite() {
    std::string err;
    pg = new vorn_test::PgCluster();
    ASSERT_TRUE(pg->start(&err) && pg->create_database("wdb", &err) && pg->create_login("reader", "pw", &err))
        << err;
    cert = test_cert_make();
    std::vector<std::string> opts[4] = {
        {},
        {},
        {"--tls-cert", cert.cert_file, "--tls-key", cert.key_file},
        {"--heartbeat-ms", "0", "--min-period-ms", "86400000"}};  // silent: one batch
    for (int b = plain; b <= silent; b++) {
      ASSERT_TRUE(sims[b].start(opts[b], &err)) << err;
      ASSERT_TRUE(pg->add_harl("wdb", b, "127.0.0.1", std::to_string(sims[b].port()), &err)) << err;
      for (int n = 0; n < 8; n++) ASSERT_TRUE(pg->add_check("wdb", uuid(broker(b), n), b, &err)) << err;
    }
    stats_init();
    configure();
    stream_hash_init();
    client_init();
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }
  static void TearDownTestSuite() { delete pg; }  // the simulators stop with the program
  static void configure(const std::string &wdb_attrs = "", const std::string &harls = "") {
    ASSERT_EQ(
        0, zint_conf_load_string(("<vorn-c><vorn><wdb" + wdb_attrs + "><host>127.0.0.1</host><port>" +
                                  std::to_string(pg->port()) +
                                  "</port><database>wdb</database><user>reader</user><password>pw</password>"
                                  "<connect_timeout>5</connect_timeout></wdb></vorn><harls>" +
                                  harls + "</harls></vorn-c>")
                                     .c_str()));
    wdb_init();
    harl_init();
  }
  void TearDown() override {  // every connection ends and every record goes once its clients are gone
    EXPECT_TRUE(wait_until(
        [] { return stat("global", "connections", STATS_TYPE_UINT64) == 0 && stream_hash_size() == 0; }));
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
  static std::string read_until(test_ws::client &c,
                                const std::string &text) {  // first of 50 frames holding text
    std::string f;
    for (int i = 0; i < 50 && !(f = c.read()).empty(); i++)
      if (f.find(text) != std::string::npos) return f;
    return "";
  }
  static bool no_error_frames(test_ws::client &c) {  // among those queued before a marker
    zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "marker", 6);
    for (std::string f; (f = c.read()) != "marker";)
      if (f.empty() || f.find("\"error\"") != std::string::npos) return false;
    return true;
  }
  static std::vector<std::string> requests(broker b, const std::string &id,
                                           size_t n) {  // "conn request", once n
    std::vector<std::string> out;
    wait_until([&] {
      out.clear();
      for (auto &e : sims[b].events())
        if (vorn_test::event_is(e, "request") && e.at("request").at("check_uuid") == id.c_str())
          out.push_back(boost::json::serialize(e.at("conn")) + " " + boost::json::serialize(e.at("request")));
      return out.size() >= n;
    });
    return out;
  }
};

}  // namespace

// what this proves: the request names check and period and lists metrics only when every client narrows them;
// a second client joins the connection and widens it, its leaving narrows it again with no error to it;
// samples reach each client translated (numbers, histograms with their buckets)
TEST_F(Broker, RequestsFollowTheClientsAndSamplesAreRelayed) {
  std::string narrow = uuid(plain, 0), wide = uuid(plain, 1),
              req = "{\"check_uuid\":\"" + narrow + "\",\"period_ms\":100";
  uint64_t connects = stat("global", "connects");
  test_ws::client a, b, c;
  watch(a, narrow, {"cpu"});
  watch(b, wide);
  std::string wide_req = requests(plain, wide, 1)[0];
  EXPECT_EQ(wide_req.substr(wide_req.find(' ') + 1), "{\"check_uuid\":\"" + wide + "\",\"period_ms\":100}");
  EXPECT_NE(read_until(a, "\"cpu\"").find("\"type\":\"M\",\"value\":"), std::string::npos);
  EXPECT_NE(read_until(b, "\"latency\"").find("\"histogram\":{\"0.500000\":"), std::string::npos);
  watch(c, narrow, {"mem"});
  std::vector<std::string> reqs = requests(plain, narrow, 2);
  std::string conn = reqs[0].substr(0, reqs[0].find(' ') + 1);  // the same connection for both
  EXPECT_EQ(reqs[0], conn + req + ",\"metrics\":[\"cpu\"]}");
  EXPECT_TRUE(reqs[1] == conn + req + ",\"metrics\":[\"cpu\",\"mem\"]}" ||
              reqs[1] == conn + req + ",\"metrics\":[\"mem\",\"cpu\"]}")
      << reqs[1];
  EXPECT_NE(read_until(c, "\"mem\""), "");
  unwatch(c, narrow);
  EXPECT_EQ(requests(plain, narrow, 3)[2], reqs[0]);
  EXPECT_TRUE(no_error_frames(c));
  EXPECT_EQ(stat("global", "connects"), connects + 2);
  EXPECT_EQ(stat("global", "connections", STATS_TYPE_UINT64), 2u);
  unwatch(a, narrow);
  unwatch(b, wide);
}

// what this proves: unwatching the last client closes the connection soon, even when the broker sends nothing
// more, with no error frame to anyone (malformed frames: Fault.BrokerFaults; a chatty broker: E2e)
TEST_F(Broker, LastUnwatchClosesQuietly) {
  uint64_t closes = stat("global", "closes");
  test_ws::client a;
  watch(a, uuid(silent, 3), {"latency", "cpu"});
  EXPECT_NE(read_until(a, "\"latency\"").find("\"histogram\":{\"0.500000\":"), std::string::npos);
  std::string conn = requests(silent, uuid(silent, 3), 1)[0];
  unwatch(a, uuid(silent, 3));
  EXPECT_EQ(stream_hash_size(), 0);
  auto closed = sims[silent].wait_event([&](auto &e) {
    return vorn_test::event_is(e, "close") && conn.find(boost::json::serialize(e.at("conn")) + " ") == 0;
  });
  EXPECT_EQ(closed["by"], "peer");
  EXPECT_TRUE(wait_until([&] { return stat("global", "closes") == closes + 1; }));
  EXPECT_TRUE(no_error_frames(a));
}

// what this proves: a broker that sends nothing (no metric of the request exists) still gets the request
// widened by a new watcher
TEST_F(Broker, NewWatcherWidensTheRequestOfAQuietBroker) {
  test_ws::client a, b;
  watch(a, uuid(silent, 4), {"nosuch"});
  ASSERT_EQ(requests(silent, uuid(silent, 4), 1).size(), 1u);
  watch(b, uuid(silent, 4), {"mem"});
  std::vector<std::string> reqs = requests(silent, uuid(silent, 4), 2);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[1].find("\"metrics\":[\"mem\",\"nosuch\"]"), std::string::npos) << reqs[1];
  unwatch(a, uuid(silent, 4));
  unwatch(b, uuid(silent, 4));
  EXPECT_TRUE(wait_until([] { return stream_hash_size() == 0; }));
}

// what this proves: while the database is frozen a watch beyond <wdb max_pending> is refused at once,
// counted; the waiting ones get their data once the database answers
TEST_F(Broker, LookupsWaitingForAFrozenDatabaseAreBounded) {
  configure(" max_pending=\"2\"");
  uint64_t errors = stat("errors", "broker");
  test_ws::client a[3];
  pg->freeze();
  for (int i = 0; i < 3; i++) watch(a[i], uuid(plain, 5 + i));
  EXPECT_EQ(a[2].read(), error_frame("broker watch request failed", uuid(plain, 7)));
  EXPECT_EQ(stat("errors", "broker"), errors + 1);
  EXPECT_EQ(stat("wdb", "pending", STATS_TYPE_UINT64), 2u);
  pg->thaw();
  for (int i = 0; i < 2; i++)
    EXPECT_NE(read_until(a[i], "\"cpu\"").find(uuid(plain, 5 + i)), std::string::npos);
  for (int i = 0; i < 2; i++) unwatch(a[i], uuid(plain, 5 + i));
  configure();
}

// what this proves: with an sslconfig the broker connection uses TLS and verifies the broker's certificate;
// without it the same broker cannot be spoken to
TEST_F(Broker, TlsToBroker) {
  configure("", "<sslconfig><ca_chain>" + cert.cert_file + "</ca_chain></sslconfig>");
  test_ws::client a;
  watch(a, uuid(tls, 0), {"mem"});
  EXPECT_NE(read_until(a, "\"mem\"").find(uuid(tls, 0)), std::string::npos);
  unwatch(a, uuid(tls, 0));
  configure();
  watch(a, uuid(tls, 1));
  EXPECT_EQ(read_until(a, "\"error\""), error_frame("connection to broker was terminated", uuid(tls, 1)));
}
