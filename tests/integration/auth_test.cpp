/* Access control of a running vorn-c: a token at every upgrade, the grant at every watch, the close when the
 * token expires, the operators' token of the statistics, start-up refusals, and no token text in the log. */
#include "support/vorn_fixture.h"
#include <boost/asio.hpp>

using namespace vorn_test;

namespace {
const string kA = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f31", kB = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f32";
const string kUpgrade =
    " HTTP/1.1\r\nHost: t\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: "
    "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Protocol: vorn\r\n";
std::vector<string> minted; /* every token the tests made, none of which may reach the log */

/* One request on a fresh connection; the answer up to the server's close, or its head for a 101. */
string http_raw(int port, const string &request) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket s(io);
  boost::system::error_code ec;
  s.connect({boost::asio::ip::make_address("127.0.0.1"), (unsigned short) port}, ec);
  timeval tv{10, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  boost::asio::write(s, boost::asio::buffer(request + "\r\n"), ec);
  string out;
  char buf[4096];
  for (size_t n; !(out.rfind("HTTP/1.1 101", 0) == 0 && out.find("\r\n\r\n") != string::npos) &&
                 (n = s.read_some(boost::asio::buffer(buf), ec)) > 0;)
    out.append(buf, n);
  return out;
}
string body(const string &r) { return r.substr(std::min(r.size(), r.find("\r\n\r\n") + 4)); }

struct Service {
  TempDir dir;
  PgCluster pg;
  Vorn v;
  string error, key = dir.path() + "/hmac.key", ops = "ops-7d1e-secret";
  string mint(const string &checks, const string &ttl = "1h") { /* an HS256 token from vorn-token */
    Child c;
    c.start({env_or("VORN_TOOLS_DIR", "build/tools") + "/vorn-token", "--key-file", key, "--checks", checks,
             "--ttl", ttl, "--issuer", "vorn-test"},
            dir.path() + "/token", dir.path() + "/token.err");
    string t = c.wait_exit() == 0 ? c.out() : "vorn-token failed: " + c.err();
    return minted.emplace_back(t.substr(0, t.find('\n')));
  }
  Service() {
    std::ofstream(key) << "k3y-0f-at-least-thirty-two-bytes-9c2e5a\n";
    std::ofstream(dir.path() + "/ops") << ops << "\n";
    if (!pg.start(&error) || !pg.create_database("wdb", &error) || !pg.create_login("vorn", "secret", &error))
      return;
    VornConf c;
    c.pg_port = pg.port();
    c.vorn_extra = "<auth hmac_key_file=\"" + key +
                   "\" issuer=\"vorn-test\" leeway_s=\"0\" stats_token_file=\"" + dir.path() + "/ops\"/>";
    string conf = Vorn::write_conf(dir.path(), "vorn-c", c); /* -d: every debug stream writes too */
    v.proc.start({env_or("VORN_BINARY", "build/vorn-c"), "-D", "-d", "-c", conf}, conf + ".out",
                 conf + ".err");
    v.port = v.proc.await_port("listening on 127.0.0.1:", v.proc.err_path);
    if (v.port < 0 || !wait_until([&] { return v.get("/health").status == 503; })) error = v.tail();
  }
  int64_t stat(std::initializer_list<const char *> path) { /* a counter, read with the operators' token */
    return vorn_test::stat(json::parse(body(http_raw(
                               v.port, "GET /stats.json HTTP/1.0\r\nAuthorization: Bearer " + ops + "\r\n"))),
                           path);
  }
};
Service &service() {
  static Service s;
  return s;
}
#define REQUIRE_SERVICE() ASSERT_EQ("", service().error)
} // namespace

// what this proves: an upgrade without a valid token gets 401 with its body before any websocket, one with a
// valid token by query or header opens; /stats.json and /metrics answer only with the operators' token,
// /health without; each refusal counts in "errors"/"auth_refused"
TEST(Auth, RequestsNeedTheirToken) {
  REQUIRE_SERVICE();
  Service &s = service();
  int64_t before = s.stat({"errors", "auth_refused"});
  const string up = "GET /?access_token=";
  string good = s.mint(kA), foreign = good.substr(0, good.rfind('.')) + ".c2lnbmVkIGVsc2V3aGVyZQ";
  struct {
    string request, status, body;
  } rows[] = {{"GET /" + kUpgrade, "401", "token missing\n"},
              {up + "abc" + kUpgrade, "401", "token invalid\n"},
              {"GET /" + kUpgrade + "Authorization: Basic dTpw\r\n", "401", "token missing\n"},
              {up + foreign + kUpgrade, "401", "token invalid\n"},
              {"GET /?x=1&access_token=" + good + kUpgrade, "101", ""},
              {"GET /" + kUpgrade + "Authorization: Bearer " + good + "\r\n", "101", ""},
              {"GET /stats.json HTTP/1.0\r\n", "401", "token missing\n"},
              {"GET /metrics HTTP/1.0\r\nAuthorization: Bearer nope\r\n", "401", "token invalid\n"},
              {"GET /metrics HTTP/1.0\r\nAuthorization: Bearer " + s.ops + "\r\n", "200", "\n"},
              {"GET /health HTTP/1.0\r\n", "503", "message bus down"}};
  for (const auto &row : rows) {
    string r = http_raw(s.v.port, row.request);
    EXPECT_EQ(row.status, r.substr(9, 3)) << row.request;
    EXPECT_NE(string::npos, body(r).find(row.body)) << r;
  }
  EXPECT_EQ(before + 6, s.stat({"errors", "auth_refused"}));
}

// what this proves: a watch outside the grant gets the error frame, counts in "errors"/"forbidden" and
// subscribes nothing, the granted check is watched, an unwatch needs no grant, ["*"] grants every check; the
// session ends with close 1008 "token expired" when its token runs out, after which the token is refused; no
// token text reached the log
TEST(Auth, SessionsKeepToTheirToken) {
  REQUIRE_SERVICE();
  Service &s = service();
  int64_t before = s.stat({"errors", "forbidden"});
  string t = s.mint(kA, "3s");
  WsClient one, all;
  ASSERT_TRUE(one.open(s.v.port, nullptr, "vorn", "/?access_token=" + t));
  ASSERT_TRUE(one.send(watch_of(kB, 5000)) && one.send(watch_of(kA)) &&
              one.send("{\"unwatch\":[{\"id\":\"" + kB + "\"}]}"));
  EXPECT_EQ(std::vector<string>{error_frame("watch not permitted for this check", "watch", kB, 5000)},
            one.drain());
  EXPECT_EQ(before + 1, s.stat({"errors", "forbidden"}));
  EXPECT_EQ(1, s.stat({"websocket", "watches", "check"}));
  EXPECT_EQ(0, s.stat({"websocket", "watches", "stream"}));
  ASSERT_TRUE(all.open(s.v.port, nullptr, "vorn", "/?access_token=" + s.mint("*")) && all.send(watch_of(kB)));
  EXPECT_EQ(std::vector<string>{}, all.drain());
  EXPECT_EQ(std::nullopt, one.read(std::chrono::seconds(10)));
  EXPECT_EQ(1008, one.close_code());
  EXPECT_EQ("token expired", one.close_reason());
  EXPECT_EQ("token expired\n", body(http_raw(s.v.port, "GET /?access_token=" + t + kUpgrade)));
  string log = s.v.log();
  EXPECT_NE(string::npos, log.find("auth: websocket upgrade refused: signature does not verify"));
  for (const string &m : minted) EXPECT_EQ(string::npos, log.find(m.substr(m.rfind('.') + 1))) << m;
  EXPECT_EQ(string::npos, log.find(s.ops));
}

// what this proves: an unusable <auth> (both key files, a short key, a file that is no public key, an unknown
// attribute) stops start-up with status 1 and says why
TEST(Auth, StartUpRefusals) {
  TempDir dir;
  string d = dir.path();
  std::ofstream(d + "/short") << "thirty-one-bytes-of-hmac-key-01\n";
  struct {
    string attrs, message;
  } rows[] = {{"hmac_key_file=\"/x\" public_key_file=\"/y\"", "exactly one of"},
              {"hmac_key_file=\"" + d + "/short\"", "fewer than 32 bytes"},
              {"public_key_file=\"" + d + "/short\"", "is not a PEM public key"},
              {"hmac_keyfile=\"/x\"", "unknown attribute hmac_keyfile"}};
  for (const auto &row : rows) {
    VornConf c;
    c.vorn_extra = "<auth " + row.attrs + "/>";
    string conf = Vorn::write_conf(dir.path(), "bad", c);
    Child p;
    p.start({env_or("VORN_BINARY", "build/vorn-c"), "-D", "-c", conf}, conf + ".out", conf + ".err");
    EXPECT_EQ(1, p.wait_exit()) << row.attrs;
    EXPECT_NE(string::npos, p.err().find(row.message)) << p.err();
  }
}
