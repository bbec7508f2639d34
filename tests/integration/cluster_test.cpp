/* Two nats-server nodes clustered over loopback routes, two vorn-c instances, one PostgreSQL
 * (docs/operations.md). */
#include "support/vorn_fixture.h"

using namespace vorn_test;

// what this proves: a sample published on either node reaches the clients of both instances; when one node
// goes its instance moves to the other node (announced by the cluster) and keeps its clients
TEST(Cluster, TwoInstancesTwoNodes) {
  TempDir dir;
  PgCluster pg;
  std::string err;
  ASSERT_TRUE(pg.start(&err) && pg.create_database("wdb", &err) && pg.create_login("vorn", "secret", &err))
      << err;
  int route[2] = {free_loopback_port(), free_loopback_port()};
  ASSERT_NE(route[0], route[1]);
  nats_fixture node[2];
  Vorn v[2];
  WsClient c[2];
  const std::string check = "3c2b1a09-8f7e-4d6c-9b5a-4f3e2d1c0b0a";
  for (int i = 0; i < 2; i++) {
    node[i].extra_args = {"--cluster_name", "vorn",
                          "--cluster",      "nats://127.0.0.1:" + std::to_string(route[i]),
                          "--routes",       "nats://127.0.0.1:" + std::to_string(route[1 - i])};
    ASSERT_TRUE(node[i].start()) << node[i].error;
  }
  for (int i = 0; i < 2; i++) {
    VornConf conf;
    conf.bus = node[i].url();
    conf.pg_port = pg.port();
    ASSERT_TRUE(v[i].start(Vorn::write_conf(dir.path(), "vorn-" + std::to_string(i), conf), &err)) << err;
    ASSERT_TRUE(c[i].open(v[i].port) && c[i].send(watch_of(check)) && c[i].drain().empty());
  }
  auto healthy = [&] {
    return wait_until([&] { return v[0].get("/health").status == 200 && v[1].get("/health").status == 200; },
                      std::chrono::seconds(30));
  };
  /* Publishes on node n until both clients have a line of metric: the routes may still be coming up. */
  auto both_receive = [&](int n, const std::string &metric) {
    Publisher p(node[n].url());
    bool got[2] = {false, false};
    return wait_until(
        [&] {
          p.pub(m_line(check, metric, "1.5"));
          for (int i = 0; i < 2; i++)
            for (const std::string &f : c[i].drain()) got[i] = got[i] || is_data(f, check, metric);
          return got[0] && got[1];
        },
        std::chrono::seconds(30));
  };
  ASSERT_TRUE(healthy()) << v[0].tail() << v[1].tail();
  EXPECT_TRUE(both_receive(0, "via_node_0")) << node[0].log_text() << node[1].log_text();
  EXPECT_TRUE(both_receive(1, "via_node_1"));
  node[1].stop(); /* the cluster announced node 0 to the clients of node 1 */
  EXPECT_TRUE(v[1].logged("message bus connection back at " + node[0].url())) << v[1].tail();
  EXPECT_TRUE(healthy());
  EXPECT_TRUE(both_receive(0, "node_1_gone")) << v[1].tail();
  for (int i = 0; i < 2; i++) {
    c[i].close();
    EXPECT_EQ(0, v[i].proc.stop()) << v[i].tail();
  }
}
