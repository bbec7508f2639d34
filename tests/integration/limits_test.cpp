/* Process tests of the operator limits and the security settings of vorn-c: the watch-list bound,
 * the connection bound, the message size bound and the origin list, each answered as documented and
 * counted under "errors" with "errors"/"total" the sum of the others; foreign text escaped in the
 * log; the database password absent from the log and the statistics; the privilege drop done before
 * the listening socket exists. One service process (with its own PostgreSQL) serves most tests. */
#include "e2e_support.h"

#include <pwd.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace {

using namespace e2e;

const std::string kPassword = "Pw-7f3c1e-never-logged";
const std::string kBusSecret = "Bus-5e1a-never-shown"; /* in the message bus URL */
const std::string kIdA = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f21";
const std::string kIdB = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f22";
const std::string kIdC = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f23";
constexpr int kMaxConnections = 4;

/* A database and a service configured with small bounds. */
struct Service {
  vorn_test::TempDir dir;
  vorn_test::PgCluster pg;
  Child vorn;
  int port = -1;
  std::string setup_error;

  std::string conf(const std::string &password) {
    std::string path = dir.path() + "/vorn-c-" + std::to_string(seq++) + ".conf";
    std::ofstream(path) << "<vorn-c lockfile=\"" << dir.path() << "/lock-" << seq << "\">"
                        << "<logs><log name=\"error\" output=\"stderr\"/></logs>"
                        << "<listeners><listener address=\"127.0.0.1\" port=\"0\" max_connections=\""
                        << kMaxConnections << "\"/></listeners>"
                        << "<http max_message_bytes=\"4096\" allowed_origins=\"https://dash.example\"/>"
                        << "<network><in><mq><host>nats://vorn:" << kBusSecret << "@127.0.0.1:1</host></mq></in></network>"
                        << "<vorn><api max_watches=\"2\"/><wdb><host>127.0.0.1</host><port>" << pg.port()
                        << "</port><database>wdb</database><user>vorn</user><password>" << password
                        << "</password></wdb></vorn></vorn-c>\n";
    chmod(path.c_str(), 0644);
    return path;
  }

  /* Starts the service; its port once /stats.json answers, or -1. */
  int start(Child &c, const std::vector<std::string> &extra, const std::string &conf_path) {
    std::vector<std::string> args = {env_or("VORN_BINARY", "build/vorn-c"), "-D", "-d"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("-c");
    args.push_back(conf_path);
    std::string tag = std::to_string(seq++);
    if (!c.start(args, dir.path() + "/out-" + tag, dir.path() + "/err-" + tag)) return -1;
    int p = -1;
    const std::string marker = "listening on 127.0.0.1:";
    wait_until([&] {
      std::string text = c.err();
      size_t at = text.find(marker);
      if (at == std::string::npos || text.find('\n', at) == std::string::npos) return false;
      p = atoi(text.c_str() + at + marker.size());
      return true;
    }, std::chrono::seconds(60));
    return p;
  }

  Service() {
    chmod(dir.path().c_str(), 0755); /* readable after a privilege drop */
    std::string err;
    if (!pg.start(&err) || !pg.create_database("wdb", &err) || !pg.create_login("vorn", kPassword, &err)) {
      setup_error = err;
      return;
    }
    port = start(vorn, {}, conf(kPassword));
    if (port <= 0 || !wait_until([&] { return http_get(port, "/stats.json").status == 200; }, std::chrono::seconds(60)))
      setup_error = "vorn-c did not start:\n" + vorn.err();
  }
  ~Service() {
    if (vorn.running()) vorn.stop();
  }
  json::value stats() {
    boost::system::error_code ec;
    json::value v = json::parse(http_get(port, "/stats.json").body, ec);
    return ec ? json::value() : v;
  }
  int seq = 0;
};

Service *service() {
  static Service *s = new Service; /* lives to the end of the program; stopped by its destructor */
  static struct stopper {
    ~stopper() { delete s; }
  } stop_at_exit;
  return s;
}

#define REQUIRE_SERVICE()                                                                          \
  do {                                                                                             \
    ASSERT_TRUE(service()->setup_error.empty()) << service()->setup_error;                         \
  } while (0)

/* Errors counted so far must add up: "total" is the sum of the named counters. */
void expect_errors_add_up(const json::value &tree) {
  EXPECT_EQ(stat(tree, {"errors", "total"}), error_sum(tree)) << json::serialize(tree);
}

/* A raw websocket upgrade; the status line's code. */
int upgrade_status(int port, const std::string &origin) {
  asio::io_context ioc;
  tcp::socket s(ioc);
  beast::error_code ec;
  s.connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port}, ec);
  if (ec) return -1;
  struct timeval tv = {20, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  http::request<http::empty_body> req{http::verb::get, "/", 11};
  req.set(http::field::host, "127.0.0.1");
  req.set(http::field::upgrade, "websocket");
  req.set(http::field::connection, "Upgrade");
  req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  req.set(http::field::sec_websocket_version, "13");
  req.set(http::field::sec_websocket_protocol, "vorn");
  if (!origin.empty()) req.set(http::field::origin, origin);
  http::write(s, req, ec);
  beast::flat_buffer b;
  http::response_parser<http::empty_body> p;
  p.skip(true);
  if (!ec) http::read_header(s, b, p, ec);
  return ec ? -1 : p.get().result_int();
}

std::string watch(const std::string &id, const std::string &extra = "") {
  return "{\"watch\":[{\"id\":\"" + id + "\"" + extra + "}]}";
}

} // namespace

// what this proves: a session holds at most max_watches streams: one more is refused with an error
// frame naming the stream and counted in "errors"/"watch_limit"; a re-watch of a held stream (a new
// filter), before or at the bound, and watches whose subscription failed take no room; after an
// unwatch there is room again
TEST(Limits, WatchListBound) {
  REQUIRE_SERVICE();
  Service *s = service();
  WsClient c;
  ASSERT_TRUE(c.open(s->port));
  int64_t before = stat(s->stats(), {"errors", "watch_limit"});
  ASSERT_GE(before, 0);
  ASSERT_TRUE(c.send(watch(kIdA)));
  ASSERT_TRUE(c.send(watch(kIdA, ",\"metrics\":[\"cpu\"]")));
  EXPECT_EQ(c.ask(watch("not-a-uuid")), error_frame("pask watch request failed", "watch", "not-a-uuid"));
  EXPECT_EQ(c.ask(watch("not-a-uuid")), error_frame("pask watch request failed", "watch", "not-a-uuid"));
  ASSERT_TRUE(c.send(watch(kIdB)));
  EXPECT_TRUE(c.drain().empty());
  EXPECT_EQ(c.ask(watch(kIdC)),
            "{\"error\":\"watch limit reached: a session may hold 2 watches\",\"id\":\"" + kIdC + "\",\"type\":\"watch\"}");
  ASSERT_TRUE(c.send(watch(kIdA, ",\"metrics\":[\"mem\"]")));
  EXPECT_TRUE(c.drain().empty());
  json::value tree = s->stats();
  EXPECT_EQ(stat(tree, {"errors", "watch_limit"}), before + 1);
  EXPECT_EQ(stat(tree, {"websocket", "watches", "check"}), 2);
  expect_errors_add_up(tree);

  ASSERT_TRUE(c.send("{\"unwatch\":[{\"id\":\"" + kIdB + "\"}]}"));
  ASSERT_TRUE(c.send(watch(kIdC)));
  EXPECT_TRUE(c.drain().empty());
  EXPECT_EQ(stat(s->stats(), {"websocket", "watches", "check"}), 2);
  c.close();
  EXPECT_TRUE(wait_until([&] { return stat(s->stats(), {"websocket", "watches", "check"}) == 0; }));
}

// what this proves: past the listener's max_connections a new connection is answered 503 before any
// upgrade and counted in "errors"/"too_many_connections"; the open sessions keep working, and a
// place that frees up is taken again
TEST(Limits, ConnectionBound) {
  REQUIRE_SERVICE();
  Service *s = service();
  int64_t before = stat(s->stats(), {"errors", "too_many_connections"});
  std::vector<std::unique_ptr<WsClient>> held;
  for (int i = 0; i < kMaxConnections; i++) {
    held.push_back(std::make_unique<WsClient>());
    ASSERT_TRUE(held.back()->open(s->port)) << i;
  }
  HttpReply r = http_get(s->port, "/stats.json");
  EXPECT_EQ(r.status, 503) << r.error;
  EXPECT_EQ(r.body, "too many connections\n");
  WsClient extra;
  std::string why;
  EXPECT_FALSE(extra.open(s->port, &why));
  EXPECT_EQ(held[0]->ask("{\"type\":\"heartbeat\"}"), "{\"type\":\"heartbeat\"}");
  /* Two places free up, so the statistics request below has one even if the server is still
   * ending the second session. */
  for (int i = 0; i < 2; i++) {
    held.back()->close();
    held.pop_back();
  }
  json::value tree = s->stats();
  EXPECT_EQ(stat(tree, {"errors", "too_many_connections"}), before + 2);
  expect_errors_add_up(tree);
  for (auto &c : held) c->close();
}

// what this proves: a message over max_message_bytes ends the session with close code 1009 and is
// counted in "errors"/"message_too_big"; a message at the bound is handled
TEST(Limits, MessageSizeBound) {
  REQUIRE_SERVICE();
  Service *s = service();
  int64_t before = stat(s->stats(), {"errors", "message_too_big"});
  WsClient c;
  ASSERT_TRUE(c.open(s->port));
  std::string at_bound = "{\"type\":\"heartbeat\",\"pad\":\"" + std::string(4096 - 29, 'x') + "\"}";
  ASSERT_EQ(at_bound.size(), 4096u);
  EXPECT_EQ(c.ask(at_bound), "{\"type\":\"heartbeat\"}");
  ASSERT_TRUE(c.send(std::string(5000, ' ')));
  EXPECT_FALSE(c.read());
  EXPECT_EQ(c.ws.reason().code, 1009);
  json::value tree;
  EXPECT_TRUE(wait_until([&] {
    tree = s->stats();
    return stat(tree, {"errors", "message_too_big"}) == before + 1;
  }));
  expect_errors_add_up(tree);
}

// what this proves: with allowed_origins set, an upgrade from another origin is answered 403 and
// counted in "errors"/"origin_refused"; the listed origin and a client without Origin are upgraded
TEST(Limits, OriginList) {
  REQUIRE_SERVICE();
  Service *s = service();
  int64_t before = stat(s->stats(), {"errors", "origin_refused"});
  EXPECT_EQ(upgrade_status(s->port, "https://evil.example"), 403);
  EXPECT_EQ(upgrade_status(s->port, "https://dash.example"), 101);
  EXPECT_EQ(upgrade_status(s->port, ""), 101);
  json::value tree;
  EXPECT_TRUE(wait_until([&] {
    tree = s->stats();
    return stat(tree, {"errors", "origin_refused"}) == before + 1;
  }));
  expect_errors_add_up(tree);
}

// what this proves: client text that reaches the log (an id with a terminal escape and a forged line
// break) is written escaped, on one line
TEST(Limits, ClientTextEscapedInLog) {
  REQUIRE_SERVICE();
  Service *s = service();
  WsClient c;
  ASSERT_TRUE(c.open(s->port));
  std::string reply = c.ask("{\"watch\":[{\"id\":\"\\u001b[31mX\\n[FATAL] forged\",\"period\":1000}]}");
  EXPECT_NE(reply.find("broker watch request failed"), std::string::npos) << reply;
  c.close();
  ASSERT_TRUE(wait_until([&] { return s->vorn.err().find("forged") != std::string::npos; }));
  std::string log = s->vorn.err();
  EXPECT_NE(log.find("'\\x1b[31mX\\n[FATAL] forged'"), std::string::npos) << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find("\n[FATAL] forged"), std::string::npos);
}

// what this proves: the database password and the message bus credentials are in neither the log
// (debug on) nor the statistics, and a wrong password ends start-up with a message that does not
// repeat it
TEST(Limits, DatabasePasswordNeverShown) {
  REQUIRE_SERVICE();
  Service *s = service();
  std::string stats = http_get(s->port, "/stats.json").body;
  ASSERT_NE(stats.find("\"host\""), std::string::npos) << stats; /* the bus URL is shown, redacted */
  for (const std::string &secret : {kPassword, kBusSecret}) {
    EXPECT_EQ(s->vorn.err().find(secret), std::string::npos) << secret;
    EXPECT_EQ(stats.find(secret), std::string::npos) << secret;
  }

  const std::string wrong = "Wrong-9b2d-secret";
  Child bad;
  s->start(bad, {}, s->conf(wrong));
  EXPECT_EQ(bad.wait_exit(std::chrono::seconds(60)), 1);
  std::string log = bad.err();
  EXPECT_NE(log.find("Test connection to wdb failed: "), std::string::npos) << log;
  EXPECT_EQ(log.find(wrong), std::string::npos) << log;
}

// what this proves: run as root with -u nobody, the listening socket already belongs to nobody (the
// kernel records its creator), so privileges were dropped before any client could connect; the
// process itself runs as nobody
TEST(Limits, PrivilegesDroppedBeforeListening) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  REQUIRE_SERVICE();
  struct passwd *pw = getpwnam("nobody");
  if (!pw) GTEST_SKIP() << "no user nobody";
  Service *s = service();
  Child c;
  int port = s->start(c, {"-u", "nobody"}, s->conf(kPassword));
  ASSERT_GT(port, 0) << c.err();
  /* The socket answers: from here on a client could be served. */
  asio::io_context ioc;
  tcp::socket sock(ioc);
  beast::error_code ec;
  sock.connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port}, ec);
  ASSERT_FALSE(ec) << ec.message();

  std::ifstream status("/proc/" + std::to_string(c.pid) + "/status");
  std::string line, uids;
  while (std::getline(status, line))
    if (line.starts_with("Uid:")) uids = line;
  std::string u = std::to_string(pw->pw_uid);
  EXPECT_EQ(uids, "Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u);

  /* /proc/net/tcp: "sl local rem st tx:rx tr:when retr uid ..."; the listener is state 0A. */
  std::ifstream tcp_table("/proc/net/tcp");
  char want[16];
  snprintf(want, sizeof want, ":%04X", port);
  int listen_uid = -1;
  std::getline(tcp_table, line);
  while (std::getline(tcp_table, line)) {
    std::istringstream in(line);
    std::string sl, local, remote, st, txrx, trwhen, retr;
    int uid;
    in >> sl >> local >> remote >> st >> txrx >> trwhen >> retr >> uid;
    if (st == "0A" && local.ends_with(want)) listen_uid = uid;
  }
  EXPECT_EQ(listen_uid, (int) pw->pw_uid);
  EXPECT_EQ(c.stop(), 0) << c.err();
}
