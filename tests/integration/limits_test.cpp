/* The operator limits and security settings of a running vorn-c: bounds answered and counted, secrets kept,
 * privileges. */
#include "support/vorn_fixture.h"
#include <pwd.h>

using namespace vorn_test;

namespace {
const std::string kPassword = "Pw-7f3c1e-never-logged", kBusSecret = "Bus-5e1a-never-shown";
const std::string kIdA = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f21",
                  kIdB = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f22",
                  kIdC = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f23";

struct Service {
  TempDir dir;
  PgCluster pg;
  Vorn vorn;
  std::string error;
  std::string conf(const std::string &name, const std::string &password) {
    VornConf c;
    c.bus = "nats://vorn:" + kBusSecret + "@127.0.0.1:1", c.password = password, c.pg_port = pg.port();
    c.listener_attrs = " max_connections=\"4\"", c.vorn_extra = "<api max_watches=\"2\"/>";
    c.extra = "<http max_message_bytes=\"4096\" allowed_origins=\"https://dash.example\"/>";
    return Vorn::write_conf(dir.path(), name, c);
  }
  Service() {
    chmod(dir.path().c_str(), 0755); /* readable after a privilege drop */
    if (!pg.start(&error) || !pg.create_database("wdb", &error) ||
        !pg.create_login("vorn", kPassword, &error))
      return;
    vorn.start(conf("main", kPassword), &error, {"-d"});
  }
};
Service &service() {
  static Service s;
  return s;
}
#define REQUIRE_SERVICE() ASSERT_EQ("", service().error)
} // namespace

// what this proves: a session holds at most max_watches streams: one more is refused with an error frame
// naming it and counted in "errors"/"watch_limit"; a re-watch of a held stream and a watch whose subscription
// failed take no room; after an unwatch there is room again
TEST(Limits, WatchListBound) {
  REQUIRE_SERVICE();
  Vorn &v = service().vorn;
  WsClient c;
  ASSERT_TRUE(c.open(v.port));
  int64_t before = v.stat({"errors", "watch_limit"});
  for (const std::string &w :
       {watch_of(kIdA), watch_of(kIdA, 0, ",\"metrics\":[\"cpu\"]"), watch_of("not-a-uuid"), watch_of(kIdB),
        watch_of(kIdC), watch_of(kIdA, 0, ",\"metrics\":[\"mem\"]")})
    ASSERT_TRUE(c.send(w));
  EXPECT_EQ((std::vector<std::string>{
                "{\"error\":\"pask watch request failed\",\"id\":\"not-a-uuid\",\"type\":\"watch\"}",
                error_frame("watch limit reached: a session may hold 2 watches", "watch", kIdC)}),
            c.drain());
  json::value tree = v.stats();
  EXPECT_EQ(before + 1, stat(tree, {"errors", "watch_limit"}));
  EXPECT_EQ(2, stat(tree, {"websocket", "watches", "check"}));
  ASSERT_TRUE(c.send("{\"unwatch\":[{\"id\":\"" + kIdB + "\"}]}") && c.send(watch_of(kIdC)));
  EXPECT_EQ(std::vector<std::string>{}, c.drain());
  EXPECT_EQ(2, v.stat({"websocket", "watches", "check"}));
  c.close();
  EXPECT_TRUE(wait_until([&] { return v.stat({"websocket", "watches", "check"}) == 0; }));
}

// what this proves: past max_connections a connection gets 503 "too many connections" before any upgrade; an
// upgrade from an origin not listed gets 403 (the listed one and none are upgraded); a message over
// max_message_bytes ends the session with 1009 (one at the bound is handled); each refusal counts once under
// its own name in "errors", the total stays their sum, open sessions go on
TEST(Limits, RefusalsAreAnsweredAndCounted) {
  REQUIRE_SERVICE();
  Vorn &v = service().vorn;
  json::value s0 = v.stats();
  {
    std::vector<std::unique_ptr<WsClient>> held;
    for (int i = 0; i < 4; i++)
      ASSERT_TRUE((held.emplace_back(new WsClient), held.back()->open(v.port))) << i;
    HttpReply r = v.get("/stats.json");
    EXPECT_EQ(503, r.status) << r.error;
    EXPECT_EQ("too many connections\n", r.body);
    WsClient extra;
    EXPECT_FALSE(extra.open(v.port));
    EXPECT_EQ(503, extra.upgrade_status);
    EXPECT_EQ(kHeartbeat, held[0]->ask(kHeartbeat));
    for (auto &c : held) c->close();
  }
  for (auto [origin, status] :
       {std::pair<std::string, int>{"https://evil.example", 403}, {"https://dash.example", 101}, {"", 101}}) {
    WsClient c;
    EXPECT_EQ(status == 101, c.open(v.port, nullptr, "vorn", "/", 0, origin));
    EXPECT_EQ(status, c.upgrade_status) << origin;
  }
  WsClient c;
  ASSERT_TRUE(c.open(v.port));
  EXPECT_EQ(kHeartbeat, c.ask("{\"type\":\"heartbeat\",\"pad\":\"" + std::string(4096 - 29, 'x') + "\"}"));
  ASSERT_TRUE(c.send(std::string(4097, ' ')));
  EXPECT_FALSE(c.read());
  EXPECT_EQ(1009, c.close_code());
  json::value s;
  EXPECT_TRUE(wait_until([&] {
    s = v.stats();
    return stat(s, {"errors", "message_too_big"}) == stat(s0, {"errors", "message_too_big"}) + 1;
  }));
  EXPECT_EQ(stat(s0, {"errors", "too_many_connections"}) + 2, stat(s, {"errors", "too_many_connections"}));
  EXPECT_EQ(stat(s0, {"errors", "origin_refused"}) + 1, stat(s, {"errors", "origin_refused"}));
  EXPECT_EQ(stat(s0, {"errors", "total"}) + 4, stat(s, {"errors", "total"}));
  EXPECT_EQ(stat(s, {"errors", "total"}), error_sum(s));
}

// what this proves: client text that reaches the log is written escaped on one line; the database password
// and the bus credentials are in neither the log (debug on) nor the statistics; a wrong password ends
// start-up with status 1 and a message that does not repeat it
TEST(Limits, LogAndStatisticsKeepSecrets) {
  REQUIRE_SERVICE();
  Vorn &v = service().vorn;
  WsClient c;
  ASSERT_TRUE(c.open(v.port));
  EXPECT_NE(std::string::npos,
            c.ask("{\"watch\":[{\"id\":\"\\u001b[31mX\\n[FATAL] forged\",\"period\":1000}]}")
                .find("broker watch request failed"));
  ASSERT_TRUE(v.logged("'\\x1b[31mX\\n[FATAL] forged'"));
  EXPECT_EQ(std::string::npos, v.log().find('\x1b'));
  EXPECT_EQ(std::string::npos, v.log().find("\n[FATAL] forged"));
  std::string stats = v.get("/stats.json").body;
  EXPECT_NE(std::string::npos, stats.find("\"host\": \"nats://")) << stats;
  for (const std::string &secret : {kPassword, kBusSecret}) {
    EXPECT_EQ(std::string::npos, v.log().find(secret)) << secret;
    EXPECT_EQ(std::string::npos, stats.find(secret)) << secret;
  }
  Vorn bad;
  std::string conf = service().conf("wrong", "Wrong-9b2d-secret");
  ASSERT_TRUE(bad.proc.start({env_or("VORN_BINARY", "build/vorn-c"), "-D", "-c", conf}, conf + ".out",
                             conf + ".err"));
  EXPECT_EQ(1, bad.proc.wait_exit(std::chrono::seconds(60)));
  EXPECT_NE(std::string::npos, bad.log().find("Test connection to wdb failed: ")) << bad.log();
  EXPECT_EQ(std::string::npos, bad.log().find("Wrong-9b2d-secret"));
}

// what this proves: as root with -u nobody, the listening socket already belongs to nobody (the kernel
// records its creator), so privileges were dropped before any client could connect
TEST(Limits, PrivilegesDroppedBeforeListening) {
  struct passwd *pw = getpwnam("nobody");
  if (geteuid() != 0 || !pw) GTEST_SKIP() << "needs root and a user nobody";
  REQUIRE_SERVICE();
  Vorn v;
  std::string err;
  ASSERT_TRUE(v.start(service().conf("nobody", kPassword), &err, {"-u", "nobody"})) << err;
  std::string u = std::to_string(pw->pw_uid),
              status = read_file_text("/proc/" + std::to_string(v.proc.pid) + "/status");
  EXPECT_NE(std::string::npos, status.find("\nUid:\t" + u + "\t" + u + "\t" + u + "\t" + u + "\n"));
  char local[32];
  snprintf(local, sizeof local, ":%04X 00000000:0000 0A",
           v.port); /* /proc/net/tcp: local, remote, state LISTEN */
  std::string table = read_file_text("/proc/net/tcp");
  size_t at = table.find(local);
  ASSERT_NE(std::string::npos, at);
  std::istringstream rest(table.substr(at + strlen(local)));
  std::string txrx, tr, retr;
  int uid = -1;
  rest >> txrx >> tr >> retr >> uid;
  EXPECT_EQ((int) pw->pw_uid, uid);
  EXPECT_EQ(0, v.proc.stop());
}
