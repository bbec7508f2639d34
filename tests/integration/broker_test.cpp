/* Broker streams end to end: a throwaway PostgreSQL says where each check's broker listens, harl-sim plays
 * the brokers (plain, TLS), and records on real websocket sessions watch. */
#include "support/test_cert.h"
#include "support/vorn_fixture.h"
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
enum broker { plain = 1, tls }; /* harl ids */
std::string uuid(broker b, int n) {
  return "b0000000-0000-4000-800" + std::to_string(b) + "-00000000000" + std::to_string(n);
}
uint64_t stat(const char *ns, const char *name, stats_type_t t = STATS_TYPE_COUNTER) {
  stats_ns_t *agents =
      std::string(ns) == "global" ? stats_register_ns(stats_rec, nullptr, "agents") : nullptr;
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, agents, ns), name, t));
}
stats_handle_t *gauge() {
  return stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
}
void configure(int pg_port, const std::string &wdb_attrs = "", const std::string &harls = "") {
  ASSERT_EQ(0,
            zint_conf_load_string(("<vorn-c><vorn><wdb" + wdb_attrs + "><host>127.0.0.1</host><port>" +
                                   std::to_string(pg_port) +
                                   "</port><database>wdb</database><user>reader</user><password>pw</password>"
                                   "<connect_timeout>5</connect_timeout></wdb></vorn><harls>" +
                                   harls + "</harls></vorn-c>")
                                      .c_str()));
  wdb_init();
  harl_init();
}
void watch(test_ws::client &c, const std::string &id, std::vector<const char *> names = {}) {
  harl_subscribe_client(vorn_client_new(c.ctx, names.data(), names.size(), gauge()), id.c_str(), 100);
}
void unwatch(test_ws::client &c, const std::string &id) {
  vorn_client_t *thin = vorn_client_new_thin(c.ctx);
  harl_unsubscribe_client(thin, id.c_str(), 100);
  vorn_client_free(thin);
}
/* The first of up to 50 frames that is a data frame of id and metric. */
std::string read_until(test_ws::client &c, const std::string &id, const std::string &metric) {
  for (int i = 0; i < 50; i++) {
    std::string f = c.read();
    if (f.empty() || vorn_test::is_data(f, id, metric)) return f;
  }
  return "";
}
bool no_error_frames(test_ws::client &c) { /* among those queued before a marker */
  zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "marker", 6);
  for (std::string f; (f = c.read()) != "marker";)
    if (f.empty() || vorn_test::is_error(f)) return false;
  return true;
}
/* "conn request" of each request for id, once there are n */
std::vector<std::string> requests(const vorn_test::HarlSim &sim, const std::string &id, size_t n) {
  std::vector<std::string> out;
  wait_until([&] {
    out.clear();
    for (auto &e : sim.events())
      if (vorn_test::event_is(e, "request") && e.at("request").at("check_uuid") == id.c_str())
        out.push_back(boost::json::serialize(e.at("conn")) + " " + boost::json::serialize(e.at("request")));
    return out.size() >= n;
  });
  return out;
}
} // namespace
// what this proves: broker requests, connections and frames follow the watching clients; nothing is left
TEST(Broker, StreamsFollowTheirClients) {
  vorn_test::PgCluster pg;
  vorn_test::HarlSim sims[3];
  test_cert cert = test_cert_make();
  std::string err;
  ASSERT_TRUE(pg.start(&err) && pg.create_database("wdb", &err) && pg.create_login("reader", "pw", &err))
      << err;
  std::vector<std::string> opts[3] = {{}, {}, {"--tls-cert", cert.cert_file, "--tls-key", cert.key_file}};
  for (int b = plain; b <= tls; b++) {
    ASSERT_TRUE(sims[b].start(opts[b], &err) &&
                pg.add_harl("wdb", b, "127.0.0.1", std::to_string(sims[b].port()), &err))
        << err;
    for (int n = 0; n < 8; n++) ASSERT_TRUE(pg.add_check("wdb", uuid(broker(b), n), b, &err)) << err;
  }
  stats_init();
  configure(pg.port());
  stream_hash_init();
  client_init();
  ASSERT_GT(test_ws::port(), 0);
  std::string narrow = uuid(plain, 0), req = "{\"check_uuid\":\"" + narrow + "\",\"period_ms\":100";
  test_ws::client a, c;
  watch(a, narrow, {"cpu"});
  EXPECT_NE(read_until(a, narrow, "cpu").find("\"type\":\"M\",\"value\":"), std::string::npos);
  watch(c, narrow, {"mem"});
  std::vector<std::string> reqs = requests(sims[plain], narrow, 2);
  std::string conn = reqs[0].substr(0, reqs[0].find(' ') + 1); /* the same connection for both */
  EXPECT_EQ(reqs[0], conn + req + ",\"metrics\":[\"cpu\"]}");
  EXPECT_TRUE(reqs[1] == conn + req + ",\"metrics\":[\"cpu\",\"mem\"]}" ||
              reqs[1] == conn + req + ",\"metrics\":[\"mem\",\"cpu\"]}")
      << reqs[1];
  EXPECT_NE(read_until(c, narrow, "mem"), "");
  unwatch(c, narrow);
  EXPECT_EQ(requests(sims[plain], narrow, 3)[2], reqs[0]);
  EXPECT_TRUE(no_error_frames(c));
  EXPECT_EQ(stat("global", "connects"), 1u);
  EXPECT_EQ(stat("global", "connections", STATS_TYPE_UINT64), 1u);
  unwatch(a, narrow);
  EXPECT_TRUE(wait_until([&] { return stat("global", "closes") == 1; }));
  EXPECT_TRUE(no_error_frames(a));
  configure(pg.port(), " max_pending=\"2\"");
  test_ws::client w[3];
  pg.freeze();
  for (int i = 0; i < 3; i++) watch(w[i], uuid(plain, 5 + i));
  EXPECT_EQ(w[2].read(), vorn_test::error_frame("broker watch request failed", "watch", uuid(plain, 7), 100));
  EXPECT_EQ(stat("errors", "broker"), 1u);
  EXPECT_EQ(stat("wdb", "pending", STATS_TYPE_UINT64), 2u);
  pg.thaw();
  for (int i = 0; i < 2; i++) EXPECT_NE(read_until(w[i], uuid(plain, 5 + i), "cpu"), "");
  for (int i = 0; i < 2; i++) unwatch(w[i], uuid(plain, 5 + i));
  configure(pg.port(), "", "<sslconfig><ca_chain>" + cert.cert_file + "</ca_chain></sslconfig>");
  watch(a, uuid(tls, 0), {"mem"});
  EXPECT_NE(read_until(a, uuid(tls, 0), "mem"), "");
  unwatch(a, uuid(tls, 0));
  EXPECT_TRUE(wait_until(
      [] { return stat("global", "connections", STATS_TYPE_UINT64) == 0 && stream_hash_size() == 0; }));
  zint_memory_barrier();
  EXPECT_EQ(stats_get_u64(gauge()), 0u);
}
