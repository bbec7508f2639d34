/* Tests of the dashboard's file server over real HTTP on loopback: content types, redirects, and
 * every way a request path might try to leave the web root (dot segments plain and encoded, encoded
 * separators, control bytes, symbolic links out of the root), with and without openat2. */
#include "web_static.h"

#include "zint/zint_conf.h"
#include "zint/zint_http.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

const char kSecret[] = "TOP-SECRET-OUTSIDE-THE-ROOT";

struct reply {
  int status = 0;
  std::string type, location, body;
};

int port() {
  static int p = [] {
    int idx = zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr);
    return idx < 0 ? -1 : zint_listener_bound_port(idx);
  }();
  return p;
}

/* One GET with the target sent byte for byte as given. */
reply get(const std::string &target) {
  reply out;
  asio::io_context ioc;
  tcp::socket sock(ioc);
  sock.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(port())));
  struct timeval tv = {10, 0};
  setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, "127.0.0.1");
  req.keep_alive(false);
  http::write(sock, req);
  beast::flat_buffer buf;
  http::response_parser<http::string_body> p;
  p.body_limit(64 * 1024 * 1024);
  beast::error_code ec;
  http::read(sock, buf, p, ec);
  if (ec) return out;
  auto &res = p.get();
  out.status = res.result_int();
  out.type = std::string(res[http::field::content_type]);
  out.location = std::string(res[http::field::location]);
  out.body = res.body();
  return out;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

/* base/secret.txt and base/outside/secret.txt lie beside the root base/root. */
class WebStatic : public ::testing::Test {
 protected:
  static std::string base, root;

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/vorn-web-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base = tmpl;
    root = base + "/root";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base + "/outside").c_str(), 0755), 0);
    write_file(base + "/secret.txt", kSecret);
    write_file(base + "/outside/secret.txt", kSecret);
    write_file(root + "/index.html", "<!doctype html>index");
    write_file(root + "/app.js", "console.log(1);");
    write_file(root + "/style.CSS", "body{}");
    write_file(root + "/data.bin", "\x01\x02");
    write_file(root + "/sub/index.html", "sub index");
    write_file(root + "/sub/a b.txt", "spaced");
    write_file(root + "/.hidden", kSecret);
    write_file(root + "/big.txt", std::string(4096, 'x'));
    write_file(root + "/edge.txt", std::string(1024, 'y'));
    ASSERT_EQ(symlink((base + "/secret.txt").c_str(), (root + "/abs-link").c_str()), 0);
    ASSERT_EQ(symlink("../secret.txt", (root + "/rel-link").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (root + "/dir-link").c_str()), 0);
    ASSERT_EQ(symlink("app.js", (root + "/alias.js").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);

    std::string conf = "<vorn-c><vorn><web root=\"" + root + "\" max_file_bytes=\"1024\"/></vorn></vorn-c>";
    ASSERT_EQ(zint_conf_load_string(conf.c_str()), 0);
    web_static_init();
    ASSERT_GT(port(), 0);
  }

  static void TearDownTestSuite() {
    std::string cmd = "rm -rf '" + base + "'";
    (void) system(cmd.c_str());
  }

  void TearDown() override { web_static_no_openat2 = false; }
};
std::string WebStatic::base, WebStatic::root;

} // namespace

// what this proves: files are served with the type of their extension (case-insensitive), the
// bare /ui and directories without '/' are redirected, '/' names the index, escapes are decoded,
// the query string is ignored and missing files answer 404
TEST_F(WebStatic, ServesFilesWithTypesAndRedirects) {
  EXPECT_EQ(web_static_root(), root);
  auto idx = get("/ui/");
  EXPECT_EQ(idx.status, 200);
  EXPECT_EQ(idx.body, "<!doctype html>index");
  EXPECT_EQ(idx.type, "text/html; charset=utf-8");
  auto js = get("/ui/app.js?v=3");
  EXPECT_EQ(js.status, 200);
  EXPECT_EQ(js.type, "text/javascript; charset=utf-8");
  EXPECT_EQ(js.body, "console.log(1);");
  EXPECT_EQ(get("/ui/style.CSS").type, "text/css; charset=utf-8");
  EXPECT_EQ(get("/ui/data.bin").type, "application/octet-stream");
  EXPECT_EQ(get("/ui/sub/").body, "sub index");
  EXPECT_EQ(get("/ui/sub/a%20b.txt").body, "spaced");

  auto bare = get("/ui");
  EXPECT_EQ(bare.status, 301);
  EXPECT_EQ(bare.location, "/ui/");
  auto dir = get("/ui/sub");
  EXPECT_EQ(dir.status, 301);
  EXPECT_EQ(dir.location, "/ui/sub/");

  EXPECT_EQ(get("/ui/nope.js").status, 404);
  EXPECT_EQ(get("/ui/sub/nope/").status, 404);
  EXPECT_NE(get("/uix").status, 200); /* not under the prefix's path */
}

// what this proves: no spelling of a dot segment, separator or control byte reaches the file
// system, whether plain, percent-encoded in either case, or mixed; none leaks the outside file
TEST_F(WebStatic, RefusesTraversalSpellings) {
  const char *targets[] = {
      "/ui/../secret.txt",        "/ui/sub/../../secret.txt", "/ui/%2e%2e/secret.txt",
      "/ui/%2E%2E/secret.txt",    "/ui/.%2e/secret.txt",      "/ui/%2e./secret.txt",
      "/ui/sub/..%2fsecret.txt",  "/ui/sub%2f..%2f..%2fsecret.txt", "/ui/%2fetc%2fpasswd",
      "/ui/%2Fetc%2Fpasswd",      "/ui/..%5csecret.txt",      "/ui/..\\secret.txt",
      "/ui/app.js%00.png",        "/ui/%0a",                  "/ui/a%7f",
      "/ui/%zz",                  "/ui/%2",                   "/ui/%",
      "/ui//etc/passwd",          "/ui/sub//index.html",      "/ui/./index.html",
      "/ui/.hidden",              "/ui/%2ehidden",
  };
  for (const char *t : targets) {
    auto r = get(t);
    EXPECT_EQ(r.status, 400) << t;
    EXPECT_EQ(r.body.find(kSecret), std::string::npos) << t;
  }
  /* Decoded once only: "%2e%2e" is then a plain (missing) name. */
  EXPECT_EQ(get("/ui/%252e%252e/secret.txt").status, 404);
  /* Outside the handler's pattern: the framework's 404. */
  auto r = get("/ui..%2fsecret.txt");
  EXPECT_NE(r.status, 200);
  EXPECT_EQ(r.body.find(kSecret), std::string::npos);
}

// what this proves: symbolic links that lead out of the root (absolute, relative, through a
// directory) are not followed, with openat2 and with the walk used where openat2 is missing; a
// link within the root is served by openat2 and refused by the walk, which follows no link
TEST_F(WebStatic, SymbolicLinksNeverLeaveTheRoot) {
  for (bool walk : {false, true}) {
    web_static_no_openat2 = walk;
    for (const char *t : {"/ui/abs-link", "/ui/rel-link", "/ui/dir-link/secret.txt", "/ui/dir-link/"}) {
      auto r = get(t);
      EXPECT_EQ(r.status, 404) << t << (walk ? " (walk)" : " (openat2)");
      EXPECT_EQ(r.body.find(kSecret), std::string::npos) << t;
    }
    auto alias = get("/ui/alias.js");
    if (walk) EXPECT_EQ(alias.status, 404);
    else EXPECT_EQ(alias.body, "console.log(1);");
    EXPECT_EQ(get("/ui/sub/index.html").body, "sub index") << (walk ? "walk" : "openat2");
  }
}

// what this proves: a FIFO in the root answers 404 at once instead of stalling the server; files
// above the configured bound are refused and a file of exactly the bound is served whole
TEST_F(WebStatic, FifoAndSizeBound) {
  EXPECT_EQ(get("/ui/fifo").status, 404);
  auto big = get("/ui/big.txt");
  EXPECT_EQ(big.status, 500);
  EXPECT_EQ(big.body.find("xxxx"), std::string::npos);
  auto edge = get("/ui/edge.txt");
  EXPECT_EQ(edge.status, 200);
  EXPECT_EQ(edge.body.size(), 1024u);
}

// what this proves: a root that cannot be opened leaves the pages answering 404 (the service runs
// on), and setting a good root again restores them
TEST_F(WebStatic, MissingRootAnswers404) {
  EXPECT_FALSE(web_static_set_root((base + "/no-such-dir").c_str(), 1024));
  EXPECT_EQ(web_static_root(), "");
  EXPECT_EQ(get("/ui/").status, 404);
  EXPECT_FALSE(web_static_set_root((root + "/index.html").c_str(), 1024)); /* not a directory */
  EXPECT_TRUE(web_static_set_root(root.c_str(), 1024));
  EXPECT_EQ(get("/ui/").status, 200);
}
