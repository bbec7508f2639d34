/* Broker streams end to end: a throwaway PostgreSQL says where each check's broker listens, harl-sim
 * plays the brokers (plain, TLS, closing, refusing, malformed), and client records on real websocket
 * sessions watch and unwatch through harl_subscribe_client / harl_unsubscribe_client. */
#include "support/harl_sim_fixture.h"
#include "support/pg_fixture.h"
#include "support/test_cert.h"
#include "support/ws_sessions.h"

#include "client.h"
#include "broker.h"
#include "vorn_stats.h"
#include "stream_hash.h"
#include "wdb.h"
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <set>
#include <string>
#include <vector>

namespace {

namespace json = boost::json;
using vorn_test::HarlSim;

const int kPeriod = 100;

/* Check UUIDs by the broker that runs them; harl ids equal the enum values. */
enum broker { plain = 1, closing = 2, tls = 3, unreachable = 4, refusing = 5, malformed = 6, silent = 7 };

std::string check_uuid(broker b, int n) {
  char buf[40];
  snprintf(buf, sizeof buf, "b0000000-0000-4000-800%d-%012d", static_cast<int>(b), n);
  return buf;
}

stats_handle_t *global_stat(const char *name, stats_type_t t) {
  return stats_register(stats_register_ns(stats_rec, stats_register_ns(stats_rec, nullptr, "agents"), "global"),
                        name, t);
}
uint64_t connects() { return stats_get_u64(global_stat("connects", STATS_TYPE_COUNTER)); }
uint64_t connections() { return stats_get_u64(global_stat("connections", STATS_TYPE_UINT64)); }
uint64_t closes() { return stats_get_u64(global_stat("closes", STATS_TYPE_COUNTER)); }

stats_handle_t *gauge() {
  static stats_handle_t *g =
      stats_register(stats_register_ns(stats_rec, nullptr, "test"), "watches", STATS_TYPE_UINT64);
  return g;
}

std::string conf_xml(int pg_port, const std::string &sslconfig) {
  return "<vorn-c><vorn><wdb><host>127.0.0.1</host><port>" + std::to_string(pg_port) +
         "</port><database>wdb</database><user>vorn_reader</user><password>pw 'q'</password>"
         "<connect_timeout>5</connect_timeout></wdb></vorn><harls>" + sslconfig + "</harls></vorn-c>";
}

class Broker : public ::testing::Test {
 protected:
  static vorn_test::PgCluster *pg;
  static HarlSim *sims[8];
  static test_cert cert;

  static void SetUpTestSuite() {
    std::string err;
    pg = new vorn_test::PgCluster();
    ASSERT_TRUE(pg->start(&err)) << err;
    ASSERT_TRUE(pg->create_database("wdb", &err)) << err;
    ASSERT_TRUE(pg->create_login("vorn_reader", "pw 'q'", &err)) << err;
    cert = test_cert_make();
    ASSERT_FALSE(cert.dir.empty());

    std::vector<std::vector<std::string>> opts(8);
    opts[plain] = {"--heartbeat-ms", "100"};
    opts[closing] = {"--heartbeat-ms", "0", "--close-after", "3"};
    opts[tls] = {"--tls-cert", cert.cert_file, "--tls-key", cert.key_file, "--heartbeat-ms", "100"};
    opts[refusing] = {"--refuse"};
    opts[malformed] = {"--malformed", "--heartbeat-ms", "0"};
    /* One batch of samples at the subscription, then nothing at all for a day. */
    opts[silent] = {"--heartbeat-ms", "0", "--min-period-ms", "86400000"};
    for (int b : {plain, closing, tls, refusing, malformed, silent}) {
      sims[b] = new HarlSim();
      ASSERT_TRUE(sims[b]->start(opts[b], &err)) << err;
      ASSERT_TRUE(pg->add_harl("wdb", b, "127.0.0.1", std::to_string(sims[b]->port()), &err)) << err;
    }
    /* A port that nothing listens on: the connect fails after the client was created. */
    ASSERT_TRUE(pg->add_harl("wdb", unreachable, "127.0.0.1",
                             std::to_string(vorn_test::pg_free_loopback_port()), &err))
        << err;
    for (int b = plain; b <= silent; b++)
      for (int n = 0; n < 10; n++)
        ASSERT_TRUE(pg->add_check("wdb", check_uuid(static_cast<broker>(b), n), b, &err)) << err;

    stats_init();
    ASSERT_EQ(0, zint_conf_load_string(conf_xml(pg->port(), "").c_str()));
    wdb_init();
    stream_hash_init();
    harl_init();
    client_init();
    gauge();
    ASSERT_GT(test_ws::port(), 0);
  }

  static void TearDownTestSuite() {
    for (auto *&s : sims) {
      delete s;
      s = nullptr;
    }
    delete pg;
    pg = nullptr;
  }

  void TearDown() override {
    /* Every connection ends and every record is released once its clients are gone. */
    EXPECT_TRUE(test_ws::wait_until([] { return connections() == 0; }));
    /* A failed stream's error frames go out just before the registry lets go of it. */
    EXPECT_TRUE(test_ws::wait_until([] { return stream_hash_size() == 0; }));
    zint_memory_barrier();
    EXPECT_EQ(stats_get_u64(gauge()), 0u);
  }

  static void watch(test_ws::client &c, const std::string &uuid, std::vector<const char *> names = {}) {
    vorn_client_t *r = vorn_client_new(c.ctx, names.empty() ? nullptr : names.data(), names.size(), gauge());
    harl_subscribe_client(r, uuid.c_str(), kPeriod);
  }
  static void unwatch(test_ws::client &c, const std::string &uuid) {
    vorn_client_t *thin = vorn_client_new_thin(c.ctx);
    harl_unsubscribe_client(thin, uuid.c_str(), kPeriod);
    vorn_client_free(thin);
  }

  /* Reads frames until one satisfies pred (true) or 50 frames / a read timeout pass (false). */
  static bool read_until(test_ws::client &c, const std::function<bool(const json::object &)> &pred,
                         std::string *last = nullptr) {
    for (int i = 0; i < 50; i++) {
      std::string f = c.read();
      if (last) *last = f;
      if (f.empty()) return false;
      boost::system::error_code ec;
      json::value v = json::parse(f, ec);
      if (!ec && v.is_object() && pred(v.as_object())) return true;
    }
    return false;
  }
  static bool is_error(const json::object &o, const char *text) {
    return o.contains("error") && o.at("error") == text && o.at("type") == "watch";
  }
  static bool is_data(const json::object &o, const std::string &uuid, const char *metric) {
    const json::value *c = o.if_contains("check");
    return c && c->is_object() && c->as_object().at("id") == uuid.c_str() &&
           c->as_object().at("metric_name") == metric;
  }
  /* Drains everything queued before a marker; true when none of it was an error frame. */
  static bool no_error_frames(test_ws::client &c) {
    zint_http_websocket_queue_msg(c.ctx, 1, (const unsigned char *) "marker", 6);
    for (;;) {
      std::string f = c.read();
      if (f == "marker") return true;
      if (f.empty() || f.find("\"error\"") != std::string::npos) return false;
    }
  }

  /* The simulator's request events for uuid, in order. */
  static std::vector<json::object> requests(broker b, const std::string &uuid) {
    std::vector<json::object> out;
    for (auto &e : sims[b]->events())
      if (vorn_test::event_is(e, "request") && e.at("request").at("check_uuid") == uuid.c_str()) out.push_back(e);
    return out;
  }
  static std::set<std::string> metrics_of(const json::object &req) {
    std::set<std::string> out;
    for (auto &m : req.at("request").as_object().at("metrics").as_array()) out.insert(std::string(m.as_string()));
    return out;
  }
  static bool wait_requests(broker b, const std::string &uuid, size_t n) {
    return test_ws::wait_until([&] { return requests(b, uuid).size() >= n; });
  }
};

vorn_test::PgCluster *Broker::pg = nullptr;
HarlSim *Broker::sims[8] = {};
test_cert Broker::cert;

// what this proves: the request names check and period, lists metrics only when every client narrows them, and data flows translated
TEST_F(Broker, RequestWithAndWithoutMetrics) {
  std::string narrow = check_uuid(plain, 0), wide = check_uuid(plain, 1);
  test_ws::client a, b;
  watch(a, narrow, {"cpu"});
  watch(b, wide);
  ASSERT_TRUE(wait_requests(plain, narrow, 1));
  ASSERT_TRUE(wait_requests(plain, wide, 1));
  json::object rn = requests(plain, narrow)[0].at("request").as_object();
  EXPECT_EQ(json::serialize(rn), "{\"check_uuid\":\"" + narrow + "\",\"period_ms\":100,\"metrics\":[\"cpu\"]}");
  json::object rw = requests(plain, wide)[0].at("request").as_object();
  EXPECT_EQ(json::serialize(rw), "{\"check_uuid\":\"" + wide + "\",\"period_ms\":100}");

  std::string last;
  EXPECT_TRUE(read_until(a, [&](const json::object &o) { return is_data(o, narrow, "cpu"); }, &last)) << last;
  json::object cpu = json::parse(last).as_object().at("check").as_object();
  EXPECT_EQ(cpu.at("type"), "M");
  EXPECT_TRUE(cpu.at("value").is_double());
  EXPECT_TRUE(read_until(b, [&](const json::object &o) { return is_data(o, wide, "latency"); }, &last)) << last;
  json::object lat = json::parse(last).as_object().at("check").as_object();
  EXPECT_EQ(lat.at("type"), "H1");
  EXPECT_TRUE(lat.at("histogram").as_object().contains("0.500000"));
  EXPECT_TRUE(lat.at("histogram").as_object().contains("10.000000"));
  EXPECT_TRUE(read_until(b, [&](const json::object &o) { return is_data(o, wide, "state"); }));
  EXPECT_EQ(connections(), 2u);
  unwatch(a, narrow);
  unwatch(b, wide);
}

// what this proves: a second client makes no second connection; widened and narrowed requests follow the next frame
TEST_F(Broker, JoinsAndLeavesResendTheRequest) {
  std::string uuid = check_uuid(plain, 2);
  uint64_t c0 = connects();
  test_ws::client a, b;
  watch(a, uuid, {"cpu"});
  ASSERT_TRUE(wait_requests(plain, uuid, 1));
  watch(b, uuid, {"mem"});
  ASSERT_TRUE(wait_requests(plain, uuid, 2));
  auto reqs = requests(plain, uuid);
  EXPECT_EQ(metrics_of(reqs[1]), (std::set<std::string>{"cpu", "mem"}));
  EXPECT_EQ(reqs[0].at("conn"), reqs[1].at("conn"));
  EXPECT_EQ(connects(), c0 + 1);
  EXPECT_TRUE(read_until(b, [&](const json::object &o) { return is_data(o, uuid, "mem"); }));

  unwatch(b, uuid);
  ASSERT_TRUE(wait_requests(plain, uuid, 3));
  EXPECT_EQ(metrics_of(requests(plain, uuid)[2]), (std::set<std::string>{"cpu"}));
  /* b left the stream: after what was already queued it gets nothing more, and no error. */
  EXPECT_TRUE(no_error_frames(b));
  unwatch(a, uuid);
}

// what this proves: unwatching the last client closes the connection soon, even when the broker sends
// nothing more, with no error frame to anyone
TEST_F(Broker, LastUnwatchClosesQuietly) {
  for (broker b : {plain, silent}) {
    std::string uuid = check_uuid(b, 3);
    uint64_t closes0 = closes();
    test_ws::client a;
    watch(a, uuid);
    ASSERT_TRUE(wait_requests(b, uuid, 1));
    EXPECT_TRUE(read_until(a, [&](const json::object &o) { return is_data(o, uuid, "cpu"); }));
    unwatch(a, uuid);
    EXPECT_EQ(stream_hash_size(), 0);
    auto conn = requests(b, uuid)[0].at("conn");
    json::object closed = sims[b]->wait_event(
        [&](const json::object &e) { return vorn_test::event_is(e, "close") && e.at("conn") == conn; });
    EXPECT_EQ(closed.at("by"), "peer") << b;
    EXPECT_TRUE(test_ws::wait_until([&] { return closes() == closes0 + 1; }));
    EXPECT_TRUE(no_error_frames(a));
  }
}

// what this proves: a broker that closes sends "connection to broker was terminated" to every client, and a new watch reconnects
TEST_F(Broker, BrokerCloseTerminatesAllClients) {
  std::string uuid = check_uuid(closing, 0);
  uint64_t c0 = connects(), closes0 = closes();
  test_ws::client a, b;
  watch(a, uuid, {"cpu"});
  watch(b, uuid);
  for (auto *c : {&a, &b}) {
    std::string last;
    EXPECT_TRUE(read_until(*c, [](const json::object &o) { return is_error(o, "connection to broker was terminated"); }, &last));
    json::object e = json::parse(last).as_object();
    EXPECT_EQ(e.at("id"), uuid.c_str());
    EXPECT_EQ(e.at("period"), kPeriod);
  }
  EXPECT_TRUE(test_ws::wait_until([&] { return closes() == closes0 + 1; }));
  EXPECT_EQ(stream_hash_size(), 0);
  EXPECT_EQ(connects(), c0 + 1);

  watch(a, uuid);
  EXPECT_TRUE(read_until(a, [](const json::object &o) { return is_error(o, "connection to broker was terminated"); }));
  EXPECT_EQ(connects(), c0 + 2);
  EXPECT_EQ(sims[closing]->count_events("connect"), 2u);
}

// what this proves: an unknown check gets "could not find broker for provided uuid", counted, without a connection attempt
TEST_F(Broker, UnknownCheckFindsNoBroker) {
  stats_handle_t *err = stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "broker", STATS_TYPE_COUNTER);
  uint64_t e0 = stats_get_u64(err), c0 = connects();
  test_ws::client a;
  watch(a, "cccccccc-0000-4000-8000-000000000000");
  std::string f = a.read();
  EXPECT_EQ(f, "{\"error\":\"could not find broker for provided uuid\",\"id\":\"cccccccc-0000-4000-8000-000000000000\","
               "\"period\":100,\"type\":\"watch\"}");
  EXPECT_EQ(stats_get_u64(err), e0 + 1);
  EXPECT_EQ(connects(), c0);
}

// what this proves: a broker nobody listens for, or one that refuses the upgrade, ends in "connection to broker was terminated"
TEST_F(Broker, FailedConnectTerminates) {
  for (broker b : {unreachable, refusing}) {
    uint64_t c0 = connects(), closes0 = closes();
    test_ws::client a;
    watch(a, check_uuid(b, 0));
    EXPECT_EQ(a.read(), "{\"error\":\"connection to broker was terminated\",\"id\":\"" + check_uuid(b, 0) +
                            "\",\"period\":100,\"type\":\"watch\"}");
    EXPECT_EQ(connects(), c0 + 1);
    EXPECT_TRUE(test_ws::wait_until([&] { return closes() == closes0 + 1; }));
    EXPECT_TRUE(test_ws::wait_until([] { return stream_hash_size() == 0; }));
  }
  EXPECT_EQ(sims[refusing]->count_events("refused"), 1u);
}

// what this proves: malformed broker frames are skipped and the connection keeps relaying good samples, histograms included
TEST_F(Broker, MalformedFramesAreSkipped) {
  std::string uuid = check_uuid(malformed, 0);
  test_ws::client a;
  watch(a, uuid, {"latency", "cpu"});
  for (int i = 0; i < 3; i++) {
    std::string last;
    ASSERT_TRUE(read_until(a, [&](const json::object &o) { return is_data(o, uuid, "latency"); }, &last)) << last;
    EXPECT_EQ(json::parse(last).as_object().at("check").as_object().at("histogram").as_object().size(), 2u) << last;
  }
  EXPECT_EQ(sims[malformed]->count_events("close"), 0u);
  unwatch(a, uuid);
  EXPECT_TRUE(no_error_frames(a));
}

// what this proves: while the database is frozen, a broker watch beyond <wdb max_pending> gets "broker
// watch request failed" at once, counted; a waiting one gets its data once the database answers, and
// one whose watcher left while it waited opens no connection
TEST_F(Broker, LookupsWaitingForAFrozenDatabaseAreBounded) {
  std::string xml = conf_xml(pg->port(), "");
  xml.replace(xml.find("<wdb>"), 5, "<wdb max_pending=\"2\">");
  ASSERT_EQ(0, zint_conf_load_string(xml.c_str()));
  wdb_init();
  stats_handle_t *err = stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "broker", STATS_TYPE_COUNTER);
  stats_handle_t *pending = stats_register(stats_register_ns(stats_rec, nullptr, "wdb"), "pending", STATS_TYPE_UINT64);
  uint64_t e0 = stats_get_u64(err), c0 = connects();
  test_ws::client a, b, c;
  pg->freeze();
  watch(a, check_uuid(plain, 5));
  watch(b, check_uuid(plain, 6));
  watch(c, check_uuid(plain, 7));
  EXPECT_EQ(c.read(), "{\"error\":\"broker watch request failed\",\"id\":\"" + check_uuid(plain, 7) +
                          "\",\"period\":100,\"type\":\"watch\"}");
  EXPECT_EQ(stats_get_u64(err), e0 + 1);
  EXPECT_EQ(stats_get_u64(pending), 2u);
  unwatch(b, check_uuid(plain, 6));
  pg->thaw();
  EXPECT_TRUE(read_until(a, [&](const json::object &o) { return is_data(o, check_uuid(plain, 5), "cpu"); }));
  EXPECT_TRUE(test_ws::wait_until([&] { return stats_get_u64(pending) == 0; }));
  EXPECT_EQ(connects(), c0 + 1);
  EXPECT_TRUE(no_error_frames(b));
  unwatch(a, check_uuid(plain, 5));
  ASSERT_EQ(0, zint_conf_load_string(conf_xml(pg->port(), "").c_str()));
  wdb_init();
}

// what this proves: with an sslconfig the broker connection uses TLS and verifies the broker's certificate
TEST_F(Broker, TlsToBroker) {
  ASSERT_EQ(0, zint_conf_load_string(
                   conf_xml(pg->port(), "<sslconfig><ca_chain>" + cert.cert_file + "</ca_chain></sslconfig>").c_str()));
  harl_init();
  std::string uuid = check_uuid(tls, 0);
  test_ws::client a;
  watch(a, uuid, {"mem"});
  EXPECT_TRUE(read_until(a, [&](const json::object &o) { return is_data(o, uuid, "mem"); }));
  unwatch(a, uuid);

  /* Without the sslconfig the same broker cannot be spoken to: the plain upgrade fails. */
  ASSERT_EQ(0, zint_conf_load_string(conf_xml(pg->port(), "").c_str()));
  harl_init();
  watch(a, check_uuid(tls, 1));
  EXPECT_TRUE(read_until(a, [](const json::object &o) { return is_error(o, "connection to broker was terminated"); }));
}

}  // namespace
