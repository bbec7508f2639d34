/* Scaling past one process, as docs/operations.md describes it: two nats-server nodes clustered
 * over loopback routes, two vorn-c instances each connected to a different node, one PostgreSQL.
 * A line published on either node reaches the watchers on both instances; when one node goes, its
 * instance moves to the other node; when the whole bus goes, both report unhealthy and recover. */
#include "ops_support.h"

#include "support/nats_fixture.h"
#include "support/pg_fixture.h"

#include <gtest/gtest.h>

namespace {

const std::string kCheck = "3c2b1a09-8f7e-4d6c-9b5a-4f3e2d1c0b0a";

/* Publishes lines named metric on the publisher until both clients have received one of them:
 * the first publications may go out before the routes between the nodes are up. */
bool both_receive(ops::Publisher &p, e2e::WsClient &a, e2e::WsClient &b, const std::string &metric) {
  bool got_a = false, got_b = false;
  const std::string needle = "\"metric_name\":\"" + metric + "\"";
  return e2e::wait_until([&] {
    p.pub(ops::m_line(kCheck, ops::unique_time(), metric, "1"));
    for (const std::string &f : a.drain()) got_a = got_a || f.find(needle) != std::string::npos;
    for (const std::string &f : b.drain()) got_b = got_b || f.find(needle) != std::string::npos;
    return got_a && got_b;
  }, std::chrono::seconds(30));
}

} // namespace

// what this proves: with a two-node NATS cluster, a sample published on either node reaches the
// clients of both vorn-c instances; losing one node moves its instance to the other node without
// losing its clients; losing both makes both unhealthy (503) until a node is back
TEST(Cluster, TwoInstancesTwoNodes) {
  vorn_test::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  vorn_test::PgCluster pg;
  std::string err;
  ASSERT_TRUE(pg.start(&err)) << err;
  ASSERT_TRUE(pg.create_database("wdb", &err)) << err;
  ASSERT_TRUE(pg.create_login("vorn", "cluster-secret", &err)) << err;

  int route_a = vorn_test::pg_free_loopback_port(), route_b = route_a;
  for (int i = 0; i < 10 && route_b == route_a; i++) route_b = vorn_test::pg_free_loopback_port();
  ASSERT_GT(route_a, 0);
  ASSERT_GT(route_b, 0);
  ASSERT_NE(route_a, route_b);
  auto route = [](int p) { return "nats://127.0.0.1:" + std::to_string(p); };
  vorn_test::nats_fixture node_a, node_b;
  node_a.extra_args = {"--cluster_name", "vorn", "--cluster", route(route_a), "--routes", route(route_b)};
  node_b.extra_args = {"--cluster_name", "vorn", "--cluster", route(route_b), "--routes", route(route_a)};
  ASSERT_TRUE(node_a.start()) << node_a.error;
  ASSERT_TRUE(node_b.start()) << node_b.error;

  std::string bin = e2e::env_or("VORN_BINARY", "build/vorn-c");
  ops::Instance va, vb;
  ASSERT_TRUE(va.start(bin, dir.path(), "vorn-a", node_a.url(), pg.port(), "wdb", "vorn", "cluster-secret", &err)) << err;
  ASSERT_TRUE(vb.start(bin, dir.path(), "vorn-b", node_b.url(), pg.port(), "wdb", "vorn", "cluster-secret", &err)) << err;
  ASSERT_TRUE(e2e::wait_until([&] { return va.get("/health").status == 200 && vb.get("/health").status == 200; }))
      << va.log() << vb.log();

  e2e::WsClient ca, cb;
  ASSERT_TRUE(ca.open(va.port, &err)) << err;
  ASSERT_TRUE(cb.open(vb.port, &err)) << err;
  const std::string watch = "{\"watch\":[{\"id\":\"" + kCheck + "\"}]}";
  ASSERT_TRUE(ca.send(watch) && cb.send(watch));
  ASSERT_TRUE(ca.drain().empty());
  ASSERT_TRUE(cb.drain().empty());

  {
    ops::Publisher on_a(node_a.url());
    ASSERT_TRUE(on_a.ok());
    EXPECT_TRUE(both_receive(on_a, ca, cb, "via_node_a")) << node_a.log_text() << node_b.log_text();
  }
  {
    ops::Publisher on_b(node_b.url());
    ASSERT_TRUE(on_b.ok());
    EXPECT_TRUE(both_receive(on_b, ca, cb, "via_node_b"));
  }
  /* Each instance counted the lines it took from its own node. */
  EXPECT_GT(va.stat({"mq", "firehose"}), 0);
  EXPECT_GT(vb.stat({"mq", "firehose"}), 0);

  /* The cluster announces its nodes to connected clients, so instance B, configured with node B
   * only, moves to node A when B goes, and its clients keep receiving. */
  node_b.stop();
  const std::string moved = "message bus connection back at " + node_a.url();
  EXPECT_TRUE(e2e::wait_until([&] { return vb.proc.err().find(moved) != std::string::npos; }, std::chrono::seconds(30)))
      << vb.log();
  EXPECT_TRUE(e2e::wait_until([&] { return vb.get("/health").status == 200; })) << vb.get("/health").body;
  EXPECT_EQ(va.get("/health").status, 200);
  {
    ops::Publisher on_a(node_a.url());
    EXPECT_TRUE(both_receive(on_a, ca, cb, "node_b_gone")) << vb.log();
  }

  /* With the whole bus gone, both report it; both recover when a node is back. */
  node_a.stop();
  e2e::HttpReply r;
  EXPECT_TRUE(e2e::wait_until([&] { return (r = va.get("/health")).status == 503; })) << r.body;
  EXPECT_NE(r.body.find("message bus down"), std::string::npos) << r.body;
  EXPECT_TRUE(e2e::wait_until([&] { return (r = vb.get("/health")).status == 503; })) << r.body;
  ASSERT_TRUE(node_a.start()) << node_a.error;
  EXPECT_TRUE(e2e::wait_until([&] { return va.get("/health").status == 200 && vb.get("/health").status == 200; },
                              std::chrono::seconds(30)))
      << va.log() << vb.log();
  {
    ops::Publisher on_a(node_a.url());
    EXPECT_TRUE(both_receive(on_a, ca, cb, "after_node_a_back")) << va.log() << vb.log();
  }

  ca.close();
  cb.close();
  EXPECT_EQ(va.proc.stop(SIGTERM), 0);
  EXPECT_EQ(vb.proc.stop(SIGTERM), 0);
}
