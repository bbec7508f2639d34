/* The operations endpoints of the real service: GET /health follows the message-bus connection
 * through a nats-server stop and restart, and through a start while the bus is still down;
 * GET /metrics serves the same tree as GET /stats.json in the exposition format. */
#include "ops_support.h"

#include "support/nats_fixture.h"
#include "support/pg_fixture.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

const std::string kCheck = "7b1d2e3f-4a5b-4c6d-8e7f-9a0b1c2d3e4f";

struct Env {
  vorn_test::TempDir dir;
  vorn_test::PgCluster pg;
  std::string error;
  Env() {
    if (dir.path().empty()) error = "mkdtemp failed";
    else if (!pg.start(&error) || !pg.create_database("wdb", &error) || !pg.create_login("vorn", "ops-secret", &error))
      if (error.empty()) error = "PostgreSQL did not start";
  }
  bool start(ops::Instance &v, const std::string &name, const std::string &urls, std::string *err) {
    return v.start(e2e::env_or("VORN_BINARY", "build/vorn-c"), dir.path(), name, urls, pg.port(), "wdb", "vorn",
                   "ops-secret", err);
  }
};

Env &env() {
  static Env e;
  return e;
}

#define REQUIRE_ENV() ASSERT_TRUE(env().error.empty()) << env().error

bool health_is(const ops::Instance &v, int status, const std::string &needle, e2e::HttpReply *last) {
  return e2e::wait_until([&] {
    *last = v.get("/health");
    return last->status == status && last->body.find(needle) != std::string::npos;
  }, std::chrono::seconds(30));
}

} // namespace

// what this proves: /health is 200 while the bus is connected, turns 503 with the reason once
// nats-server is stopped, and 200 again after it restarts; the service keeps serving meanwhile
// and samples flow again after the reconnection
TEST(Health, FollowsBusThroughRestart) {
  REQUIRE_ENV();
  vorn_test::nats_fixture nats;
  ASSERT_TRUE(nats.start()) << nats.error;
  ops::Instance v;
  std::string err;
  ASSERT_TRUE(env().start(v, "health", nats.url(), &err)) << err;
  e2e::HttpReply r;
  ASSERT_TRUE(health_is(v, 200, "ok: message bus connected", &r)) << r.status << " " << r.body << v.log();
  EXPECT_EQ(r.content_type, "text/plain; charset=utf-8");
  EXPECT_EQ(r.body.back(), '\n');

  nats.stop();
  ASSERT_TRUE(health_is(v, 503, "message bus down: connection lost", &r)) << r.status << " " << r.body;
  EXPECT_NE(r.body.find("reconnecting"), std::string::npos) << r.body;
  EXPECT_EQ(v.get("/stats.json").status, 200) << "the rest of the service still answers";

  ASSERT_TRUE(nats.start()) << nats.error;
  ASSERT_TRUE(health_is(v, 200, "ok: message bus connected", &r)) << r.status << " " << r.body << v.log();

  e2e::WsClient c;
  ASSERT_TRUE(c.open(v.port, &err)) << err;
  ASSERT_TRUE(c.send("{\"watch\":[{\"id\":\"" + kCheck + "\"}]}"));
  ASSERT_TRUE(c.drain().empty()) << "watch refused";
  ops::Publisher p(nats.url());
  ASSERT_TRUE(p.ok());
  /* The subscription is re-sent by the client after the reconnect; publish until a line arrives. */
  bool got = e2e::wait_until([&] {
    p.pub(ops::m_line(kCheck, ops::unique_time(), "after_restart", "1"));
    for (const std::string &x : c.drain())
      if (x.find("\"metric_name\":\"after_restart\"") != std::string::npos) return true;
    return false;
  });
  EXPECT_TRUE(got) << v.log();
  c.close();
  EXPECT_EQ(v.proc.stop(SIGTERM), 0);
}

// what this proves: a service started while no bus answers reports "not connected yet" with 503,
// and 200 once a nats-server appears on the configured port
TEST(Health, StartWithoutBus) {
  REQUIRE_ENV();
  vorn_test::nats_fixture nats;
  nats.port = vorn_test::pg_free_loopback_port();
  ASSERT_GT(nats.port, 0);
  ops::Instance v;
  std::string err;
  ASSERT_TRUE(env().start(v, "nobus", nats.url(), &err)) << err;
  e2e::HttpReply r;
  ASSERT_TRUE(health_is(v, 503, "message bus down: not connected yet", &r)) << r.status << " " << r.body;
  ASSERT_TRUE(nats.start()) << nats.error;
  ASSERT_TRUE(health_is(v, 200, "ok: message bus connected", &r)) << r.status << " " << r.body << v.log();
  EXPECT_EQ(v.proc.stop(SIGTERM), 0);
}

// what this proves: GET /metrics on the running service has the exposition content type, only
// well-formed lines, the tree's values under their documented names (an API error shows under
// module="api" and in the total), and a scrape is not counted in "requests"
TEST(Metrics, ServedByTheService) {
  REQUIRE_ENV();
  vorn_test::nats_fixture nats;
  ASSERT_TRUE(nats.start()) << nats.error;
  ops::Instance v;
  std::string err;
  ASSERT_TRUE(env().start(v, "metrics", nats.url(), &err)) << err;
  e2e::WsClient c;
  ASSERT_TRUE(c.open(v.port, &err)) << err;
  c.ask("this is not json");
  c.close();

  int64_t req1 = v.stat({"requests"});
  e2e::HttpReply m = v.get("/metrics");
  int64_t req2 = v.stat({"requests"});
  EXPECT_EQ(req2, req1 + 1) << "a scrape is not a request";
  ASSERT_EQ(m.status, 200);
  EXPECT_EQ(m.content_type, "text/plain; version=0.0.4; charset=utf-8");
  static const std::regex line_re(
      "# (HELP|TYPE) [a-zA-Z_:][a-zA-Z0-9_:]* .*|"
      "[a-zA-Z_:][a-zA-Z0-9_:]*(\\{[a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\""
      "(,[a-zA-Z_][a-zA-Z0-9_]*=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\")*\\})? -?[0-9]+");
  std::istringstream in(m.body);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    lines++;
    EXPECT_TRUE(std::regex_match(line, line_re)) << line;
  }
  EXPECT_GT(lines, 20);
  auto has = [&](const std::string &s) { return m.body.find(s) != std::string::npos; };
  EXPECT_TRUE(has("\n# TYPE vorn_errors_total counter\n")) << m.body;
  EXPECT_TRUE(has("\nvorn_errors_total{module=\"api\"} 1\n")) << m.body;
  EXPECT_TRUE(has("\nvorn_errors_all_total 1\n")) << m.body;
  EXPECT_TRUE(has("\nvorn_requests_total " + std::to_string(req1) + "\n")) << m.body;
  EXPECT_TRUE(has("\nvorn_websocket_watches{source=\"check\"} 0\n")) << m.body;
  EXPECT_TRUE(has("\nvorn_agents_connections{agent=\"global\"} 0\n")) << m.body;
  EXPECT_TRUE(has("\nvorn_mq_details_info{host=\"" + nats.url() + "\",type=\"pask\"} 1\n")) << m.body;
  EXPECT_EQ(v.proc.stop(SIGTERM), 0);
}
