/* Per-check bus subjects (docs/operations.md, "Scaling"): three nats-server nodes clustered over loopback
 * routes, three vorn-c instances, one on each node, that subscribe only to the subjects of the checks their
 * clients watch. */
#include "support/vorn_fixture.h"

using namespace vorn_test;

namespace {
const string kPrefix = "vorn.check";
constexpr int N = 3; /* nodes, instances, checks */
/* write_conf's file with the firehose <subject> of <mq> replaced by mq. */
string write_conf_mq(const string &dir, const string &name, const VornConf &c, const string &mq) {
  string path = Vorn::write_conf(dir, name, c), text = read_file_text(path);
  const string firehose = "<subject>vorn.metrics.></subject>";
  text.replace(text.find(firehose), firehose.size(), mq);
  std::ofstream(path) << text;
  return path;
}
/* The data frames of check (and metric, when not empty) among frames. */
int data_frames(const std::vector<string> &frames, const string &check, const string &metric = "") {
  return (int) std::count_if(frames.begin(), frames.end(),
                             [&](const string &f) { return is_data(f, check, metric); });
}
} // namespace

// what this proves: a firehose subject beside a check prefix, an unusable prefix, linger or limit and no bus
// host each stop start-up with status 1 and a message that names the setting
TEST(Scale, ContradictoryOrUnusableSettingsAreRefused) {
  TempDir dir;
  const struct {
    string mq, message, bus = VornConf{}.bus;
  } rows[] = {
      {"<subject>vorn.metrics.></subject><check_subject_prefix>vorn.check</check_subject_prefix>",
       "has both <subject> and <check_subject_prefix>"},
      {"<check_subject_prefix></check_subject_prefix>", "check_subject_prefix \"\" is not a subject prefix"},
      {"<check_subject_prefix>vorn.*</check_subject_prefix>", "\"vorn.*\" is not a subject prefix"},
      {"<check_subject_prefix>vorn check</check_subject_prefix>", "\"vorn check\" is not a subject prefix"},
      {"<check_subject_prefix>vorn.check</check_subject_prefix><unsubscribe_after_s>-1</unsubscribe_after_s>",
       "unsubscribe_after_s \"-1\" is not a whole number of seconds"},
      {"<pending_bytes_limit>-1</pending_bytes_limit>", "pending_bytes_limit -1 is negative"},
      {"", "//network/in/mq/host names no bus URL", ""},
  };
  int n = 0;
  for (const auto &row : rows) {
    VornConf c;
    c.bus = row.bus;
    string conf = write_conf_mq(dir.path(), "refused" + std::to_string(n++), c, row.mq);
    Child p;
    ASSERT_TRUE(
        p.start({env_or("VORN_BINARY", "build/vorn-c"), "-D", "-c", conf}, conf + ".out", conf + ".err"));
    EXPECT_EQ(1, p.wait_exit()) << row.mq;
    EXPECT_NE(p.err().find(row.message), string::npos) << p.err();
    EXPECT_EQ(p.err().find("wdb"), string::npos) << p.err(); /* stopped before the database was tried */
  }
}

// what this proves: each instance receives only the lines of the checks its clients watch (its
// "mq"/"firehose" equals the frames its client got; an upper-case id subscribes to nothing), whichever node
// they were published on; a payload sent twice reaches the client once; subscriptions made while the bus is
// down and those a node restart cut are made again; once the last watcher left and the linger passed, the
// instance no longer receives the check and holds no subscription
TEST(Scale, PerCheckSubjectsAcrossThreeNodes) {
  TempDir dir;
  PgCluster pg;
  string err;
  ASSERT_TRUE(pg.start(&err) && pg.create_database("wdb", &err) && pg.create_login("vorn", "secret", &err))
      << err;
  int route[N];
  for (int &r : route) r = free_loopback_port();
  ASSERT_TRUE(route[0] != route[1] && route[1] != route[2] && route[0] != route[2]);
  nats_fixture node[N];
  Vorn v[N];
  WsClient c[N];
  const string check[N] = {"7e570000-0000-4000-8000-00000000000a", "7e570000-0000-4000-8000-00000000000b",
                           "7e570000-0000-4000-8000-00000000000c"};
  for (int i = 0; i < N; i++) {
    string routes;
    for (int j = 0; j < N; j++)
      if (j != i) routes += (routes.empty() ? "" : ",") + ("nats://127.0.0.1:" + std::to_string(route[j]));
    node[i].extra_args = {"--cluster_name", "vorn",
                          "--cluster",      "nats://127.0.0.1:" + std::to_string(route[i]),
                          "--routes",       routes};
  }
  node[N - 1].port = free_loopback_port(); /* up only after the instances: the last starts without its bus */
  for (int i = 0; i < N - 1; i++) ASSERT_TRUE(node[i].start()) << node[i].error;
  for (int i = 0; i < N; i++) {
    VornConf conf;
    conf.bus = node[i].url();
    conf.pg_port = pg.port();
    string mq = "<check_subject_prefix>" + kPrefix +
                "</check_subject_prefix><unsubscribe_after_s>1</unsubscribe_after_s>";
    ASSERT_TRUE(v[i].start(write_conf_mq(dir.path(), "vorn-" + std::to_string(i), conf, mq), &err)) << err;
    EXPECT_EQ(0, v[i].stat({"mq", "subscriptions"}));
    ASSERT_TRUE(c[i].open(v[i].port) && c[i].send(watch_of(check[i])) && c[i].drain().empty());
  }
  /* Instance 1 is also asked for check 0 in upper case, which never matches a line: no subscription. */
  string upper = check[0];
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_TRUE(c[1].send(watch_of(upper)) && c[1].drain().empty());
  for (int i = 0; i < N; i++) {
    EXPECT_TRUE(wait_until([&] { return v[i].stat({"mq", "subscriptions"}) == 1; })) << v[i].tail();
  }
  ASSERT_TRUE(node[N - 1].start()) << node[N - 1].error;
  Publisher pub[N] = {Publisher(node[0].url()), Publisher(node[1].url()), Publisher(node[2].url())};
  auto publish = [&](int n, int k, const string &metric) {
    return pub[n].pub(m_line(check[k], metric, "1.5"), kPrefix + "." + check[k]);
  };
  /* Per client: data frames, frames of "round", "twice" and pask-pub's; payloads its instance got twice,
   * lines beyond one in its bundles. */
  int frames[N] = {}, rounds[N] = {}, twice_frames[N] = {}, generated[N] = {}, twice[N] = {}, bundled[N] = {};
  auto take = [&](int k, const string &metric) {
    std::vector<string> got = c[k].drain();
    frames[k] += data_frames(got, check[k]);
    rounds[k] += data_frames(got, check[k], "round");
    twice_frames[k] += data_frames(got, check[k], "twice");
    for (const char *m : {"metric_0", "metric_1", "metric_2"}) generated[k] += data_frames(got, check[k], m);
    return data_frames(got, check[k], metric) > 0;
  };
  /* Publishes lines of check k on node n until its client has one (interest crosses routes meanwhile). */
  auto reaches = [&](int n, int k, const string &metric) {
    return wait_until(
        [&] {
          publish(n, k, metric);
          return take(k, metric);
        },
        std::chrono::seconds(30));
  };
  /* True once instance k's "mq"/"firehose" equals what its client got: nothing of another check came in. */
  auto only_own_lines = [&](int k) {
    int64_t firehose = -1;
    bool settled = wait_until([&] {
      take(k, "");
      return (firehose = v[k].stat({"mq", "firehose"})) == frames[k] + twice[k] - bundled[k];
    });
    return settled ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "firehose " << firehose << ", frames " << frames[k];
  };
  for (int n = 0; n < N; n++)
    for (int k = 0; k < N; k++) EXPECT_TRUE(reaches(n, k, "warm_" + std::to_string(n))) << v[k].tail();
  for (int round = 0; round < 20; round++) /* every line of every check on every node */
    for (int n = 0; n < N; n++)
      for (int k = 0; k < N; k++) EXPECT_TRUE(publish(n, k, "round"));
  string same = m_line(check[0], "twice", "2.5");
  EXPECT_TRUE(pub[1].pub(same, kPrefix + "." + check[0]) && pub[1].pub(same, kPrefix + "." + check[0]));
  twice[0] = 1;
  Child gen; /* six bundles of three lines, each of one check, on its subject: two per check */
  ASSERT_TRUE(gen.start(
      {env_or("VORN_TOOLS_DIR", "build/tools") + "/pask-pub", "-u", node[0].url(), "--check-subjects",
       kPrefix, "-g", "--first-check", "10", "-c", "3", "-m", "3", "-n", "18", "-k", "bundle", "-b", "3"},
      dir.path() + "/pub.out", dir.path() + "/pub.err"));
  EXPECT_EQ(0, gen.wait_exit()) << gen.err();
  for (int k = 0; k < N; k++) { /* each publisher's marker comes after its lines of every check */
    bundled[k] = 4;
    for (int n = 0; n < N; n++) EXPECT_TRUE(reaches(n, k, "marker_" + std::to_string(n)));
    EXPECT_TRUE(wait_until([&] {
      take(k, "");
      return rounds[k] == 20 * N && generated[k] == 6;
    })) << rounds[k]
        << " " << generated[k];
    EXPECT_TRUE(only_own_lines(k));
    EXPECT_EQ(k == 0 ? 1 : 0, twice_frames[k]);
  }

  /* instance 0 moves to another node or comes back to node 0: either way it subscribes again */
  node[0].stop();
  ASSERT_TRUE(node[0].start()) << node[0].error;
  EXPECT_TRUE(v[0].logged("message bus connection back at")) << v[0].tail();
  for (int n = 0; n < N; n++) EXPECT_TRUE(reaches(n, 0, "after_restart_" + std::to_string(n))) << v[0].tail();
  EXPECT_TRUE(only_own_lines(0));
  EXPECT_EQ(1, v[0].stat({"mq", "subscriptions"}));

  /* The linger: a marker client of check 1 on instance 0 tells when a line of check 0 sent before it would
   * have arrived (one publisher, one subscriber connection: in order). */
  WsClient marker;
  ASSERT_TRUE(marker.open(v[0].port) && marker.send(watch_of(check[1])) && marker.drain().empty());
  EXPECT_TRUE(wait_until([&] { return v[0].stat({"mq", "subscriptions"}) == 2; }));
  c[0].close();
  EXPECT_TRUE(wait_until([&] { return v[0].stat({"mq", "subscriptions"}) == 1; }, std::chrono::seconds(20)));
  int probe = 0;
  EXPECT_TRUE(wait_until(
      [&] {
        int64_t before = v[0].stat({"mq", "firehose"});
        string metric = "probe_" + std::to_string(probe++);
        publish(0, 0, metric);
        publish(0, 1, metric);
        return marker.read_until([&](const string &f) { return is_data(f, check[1], metric); }) &&
               v[0].stat({"mq", "firehose"}) == before + 1;
      },
      std::chrono::seconds(30)))
      << v[0].tail();
  marker.close();
  EXPECT_TRUE(wait_until([&] { return v[0].stat({"mq", "subscriptions"}) == 0; }));
  EXPECT_NE(v[0].get("/metrics").body.find("\nvorn_mq_subscriptions 0\n"), string::npos);
  for (int i = 1; i < N; i++) {
    EXPECT_EQ(1, v[i].stat({"mq", "subscriptions"}));
    c[i].close();
  }
  for (int i = 0; i < N; i++) EXPECT_EQ(0, v[i].proc.stop()) << v[i].tail();
}
