/* Operations of the real service: GET /health through bus outages, GET /metrics, signals. */
#include "support/vorn_fixture.h"
#include <regex>

using namespace vorn_test;

namespace {
struct Env {
  TempDir dir;
  PgCluster pg;
  std::string error;
  Env() {
    pg.start(&error) && pg.create_database("wdb", &error) && pg.create_login("vorn", "secret", &error);
  }
  bool start(Vorn &v, const std::string &name, const std::string &bus, std::string *err) {
    VornConf c;
    c.bus = bus, c.pg_port = pg.port();
    return v.start(Vorn::write_conf(dir.path(), name, c), err);
  }
};
Env &env() {
  static Env e;
  return e;
}
/* Waits until /health answers status with a body that starts with text. */
bool health_is(const Vorn &v, int status, const std::string &text, HttpReply *last) {
  return wait_until(
      [&] { return (*last = v.get("/health")).status == status && last->body.rfind(text, 0) == 0; },
      std::chrono::seconds(30));
}
} // namespace

// what this proves: a service started while no bus answers reports "not connected yet" with 503; it turns 200
// (text/plain, one line) once a nats-server appears on the configured port, 503 "connection lost ...
// reconnecting" when it stops (the rest of the service still answers) and 200 again after it restarts, and
// samples flow again after the reconnection; SIGHUP reopens the logs and SIGTERM ends it
TEST(Ops, HealthFollowsTheBus) {
  ASSERT_EQ("", env().error);
  nats_fixture nats;
  nats.port = free_loopback_port();
  Vorn v;
  std::string err;
  ASSERT_TRUE(env().start(v, "health", nats.url(), &err)) << err;
  HttpReply r;
  EXPECT_TRUE(health_is(v, 503, "message bus down: not connected yet, trying for ", &r))
      << r.status << " " << r.body;
  ASSERT_TRUE(nats.start()) << nats.error;
  EXPECT_TRUE(health_is(v, 200, "ok: message bus connected for ", &r))
      << r.status << " " << r.body << v.tail();
  EXPECT_EQ("text/plain; charset=utf-8", r.content_type);
  EXPECT_EQ(std::regex_match(r.body, std::regex("ok: message bus connected for [0-9]+ s\n")), true) << r.body;
  nats.stop();
  EXPECT_TRUE(health_is(v, 503, "message bus down: connection lost ", &r)) << r.status << " " << r.body;
  EXPECT_EQ(
      std::regex_match(r.body, std::regex("message bus down: connection lost [0-9]+ s ago, reconnecting\n")),
      true)
      << r.body;
  EXPECT_EQ(200, v.get("/stats.json").status);
  ASSERT_TRUE(nats.start()) << nats.error;
  EXPECT_TRUE(health_is(v, 200, "ok: message bus connected for ", &r))
      << r.status << " " << r.body << v.tail();
  const std::string check = "7b1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f";
  WsClient c;
  ASSERT_TRUE(c.open(v.port) && c.send(watch_of(check)) && c.drain().empty());
  Publisher p(nats.url());
  EXPECT_TRUE(
      wait_until([&] { /* the subscription is sent again after the reconnection: publish until one arrives */
                       p.pub(m_line(check, "after_restart", "1.5"));
                       return c.read(std::chrono::milliseconds(100)).has_value();
      }));
  c.close();
  kill(v.proc.pid, SIGHUP);
  EXPECT_TRUE(v.logged("SIGHUP, reopening log files")) << v.tail();
  EXPECT_EQ(200, v.get("/stats.json").status);
  EXPECT_EQ(0, v.proc.stop(SIGTERM)) << v.tail();
  EXPECT_NE(std::string::npos, v.log().find("SIGTERM"));
}

// what this proves: GET /metrics has the exposition content type, only well-formed lines, the tree's values
// under their documented names (an API error under module="api" and in the total, the bus under its URL), and
// a scrape is not counted in "requests" while a GET of /stats.json is
TEST(Ops, MetricsServedByTheService) {
  ASSERT_EQ("", env().error);
  nats_fixture nats;
  ASSERT_TRUE(nats.start()) << nats.error;
  Vorn v;
  std::string err;
  ASSERT_TRUE(env().start(v, "metrics", nats.url(), &err)) << err;
  WsClient c;
  ASSERT_TRUE(c.open(v.port));
  EXPECT_EQ(error_frame("Unable to parse incoming json", "neither"), c.ask("this is not json"));
  int64_t req1 = v.stat({"requests"});
  HttpReply m = v.get("/metrics");
  EXPECT_EQ(req1 + 1, v.stat({"requests"})) << "a scrape is not a request";
  ASSERT_EQ(200, m.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", m.content_type);
  static const std::regex line_re(
      "# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* "
      ".*|[a-zA-Z_:][a-zA-Z0-9_:]*(\\{[a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\\\n]|"
      "\\\\[\\\\\"n])*\"(,[a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\")*\\})? -?[0-9]+");
  std::istringstream in(m.body);
  int lines = 0;
  for (std::string line; std::getline(in, line); lines++)
    EXPECT_TRUE(std::regex_match(line, line_re)) << line;
  EXPECT_GT(lines, 20);
  for (const std::string &want : std::vector<std::string>{
           "\n# TYPE vorn_errors_total counter\n", "\nvorn_errors_total{module=\"api\"} 1\n",
           "\nvorn_errors_all_total 1\n", "\nvorn_requests_total " + std::to_string(req1) + "\n",
           "\nvorn_websocket_watches{source=\"check\"} 0\n",
           "\nvorn_websocket_watches{source=\"stream\"} 0\n",
           "\nvorn_agents_connections{agent=\"global\"} 0\n",
           "\nvorn_mq_details_info{host=\"" + nats.url() + "\",type=\"pask\"} 1\n"})
    EXPECT_NE(std::string::npos, m.body.find(want)) << want << m.body;
  c.close();
  EXPECT_EQ(0, v.proc.stop(SIGTERM)) << v.tail();
}
