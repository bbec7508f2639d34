/* The dashboard's file server over real HTTP on loopback, with openat2 and with the walk used where it
 * is missing: types, redirects, the size bound, and every way a request path might leave the web root. */
#include "web_static.h"

#include "zint/zint_conf.h"
#include "zint/zint_http.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace http = boost::beast::http;
const char kSecret[] = "TOP-SECRET-OUTSIDE-THE-ROOT";

struct reply {
  int status = 0;
  std::string type, location, body;
};

/* One GET with the target sent byte for byte as given. */
reply get(int port, const std::string &target) {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::socket sock(ioc);
  sock.connect({boost::asio::ip::make_address("127.0.0.1"), (uint16_t) port});
  struct timeval tv = {10, 0}; /* a stalled answer fails the row instead of hanging */
  setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, "127.0.0.1");
  http::write(sock, req);
  boost::beast::flat_buffer buf;
  http::response<http::string_body> res;
  boost::beast::error_code ec;
  http::read(sock, buf, res, ec);
  if (ec) return {};
  return {(int) res.result_int(), std::string(res[http::field::content_type]), std::string(res[http::field::location]), res.body()};
}

}  // namespace

// what this proves: each target gets exactly its status, type, redirect and body with openat2 and with the walk; no dot segment, separator or control byte in any spelling and no link out of the root reaches a file outside; FIFOs and files over the bound are refused; an unusable root answers 404 until a good one is set
TEST(WebStatic, EveryTargetGetsItsAnswer) {
  char tmpl[] = "/tmp/vorn-web-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string base = tmpl, root = base + "/root";
  for (const std::string &d : {root, root + "/sub", base + "/outside"}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  const std::pair<std::string, std::string> files[] = {
      {base + "/secret.txt", kSecret}, {base + "/outside/secret.txt", kSecret}, {root + "/.hidden", kSecret},
      {root + "/index.html", "<!doctype html>index"}, {root + "/app.js", "console.log(1);"}, {root + "/style.CSS", "body{}"},
      {root + "/data.bin", "\x01\x02"}, {root + "/sub/index.html", "sub index"}, {root + "/sub/a b.txt", "spaced"},
      {root + "/big.txt", std::string(1025, 'x')}, {root + "/edge.txt", std::string(1024, 'y')}};
  for (const auto &[path, text] : files) std::ofstream(path, std::ios::binary) << text;
  for (const auto &[target, link] : {std::pair<std::string, std::string>{base + "/secret.txt", "abs-link"}, {"../secret.txt", "rel-link"},
                                     {"../outside", "dir-link"}, {"app.js", "alias.js"}})
    ASSERT_EQ(symlink(target.c_str(), (root + "/" + link).c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
  ASSERT_EQ(zint_conf_load_string(("<vorn-c><vorn><web root=\"" + root + "\" max_file_bytes=\"1024\"/></vorn></vorn-c>").c_str()), 0);
  web_static_init();
  int idx = zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr);
  ASSERT_GE(idx, 0);
  const int port = zint_listener_bound_port(idx);

  const std::string html = "text/html; charset=utf-8", js = "text/javascript; charset=utf-8", txt = "text/plain; charset=utf-8";
  const std::vector<std::tuple<std::string, int, std::string, std::string, std::string>> rows = { /* target, status, type, location, body */
      {"/ui/", 200, html, "", "<!doctype html>index"}, {"/ui/app.js?v=3", 200, js, "", "console.log(1);"},
      {"/ui/style.CSS", 200, "text/css; charset=utf-8", "", "body{}"}, {"/ui/data.bin", 200, "application/octet-stream", "", "\x01\x02"},
      {"/ui/sub/", 200, html, "", "sub index"}, {"/ui/sub/a%20b.txt", 200, txt, "", "spaced"},
      {"/ui/edge.txt", 200, txt, "", std::string(1024, 'y')}, {"/ui", 301, txt, "/ui/", "moved\n"}, {"/ui/sub", 301, txt, "/ui/sub/", "moved\n"}};
  const std::pair<int, std::vector<std::string>> refused[] = {
      {400, {"/ui/../secret.txt", "/ui/sub/../../secret.txt", "/ui/%2e%2e/secret.txt", "/ui/%2E%2E/secret.txt", "/ui/.%2e/secret.txt",
             "/ui/%2e./secret.txt", "/ui/sub/..%2fsecret.txt", "/ui/sub%2f..%2f..%2fsecret.txt", "/ui/%2fetc%2fpasswd", "/ui/%2Fetc%2Fpasswd",
             "/ui/..%5csecret.txt", "/ui/..\\secret.txt", "/ui/app.js%00.png", "/ui/%0a", "/ui/a%7f", "/ui/%zz", "/ui/%2", "/ui/%",
             "/ui//etc/passwd", "/ui/sub//index.html", "/ui/./index.html", "/ui/.hidden", "/ui/%2ehidden"}},
      {404, {"/ui/abs-link", "/ui/rel-link", "/ui/dir-link/secret.txt", "/ui/dir-link/", "/ui/nope.js", "/ui/sub/nope/",
             "/ui/%252e%252e/secret.txt" /* decoded once only */, "/ui/fifo" /* at once, not stalling */, "/uix", "/ui..%2fsecret.txt"}},
      {500, {"/ui/big.txt"}}};
  for (bool walk : {false, true}) {
    web_static_no_openat2 = walk;
    for (const auto &[target, status, type, location, body] : rows) {
      reply r = get(port, target);
      EXPECT_EQ(std::tie(r.status, r.type, r.location, r.body), std::tie(status, type, location, body)) << target << " walk " << walk;
    }
    for (const auto &[status, targets] : refused)
      for (const std::string &t : targets) {
        reply r = get(port, t);
        EXPECT_EQ(r.status, status) << t << " walk " << walk;
        EXPECT_EQ(std::make_pair(r.body.find(kSecret), r.body.find("xxxx")), std::make_pair(std::string::npos, std::string::npos)) << t;
      }
    reply alias = get(port, "/ui/alias.js"); /* a link inside the root: the walk follows none */
    EXPECT_EQ(std::make_pair(alias.status, alias.body.find("console")), std::make_pair(walk ? 404 : 200, walk ? std::string::npos : 0));
  }
  EXPECT_FALSE(web_static_set_root((root + "/index.html").c_str(), 1024)); /* not a directory */
  EXPECT_EQ(web_static_root(), "");
  EXPECT_EQ(get(port, "/ui/").status, 404);
  EXPECT_TRUE(web_static_set_root(root.c_str(), 1024));
  EXPECT_EQ(get(port, "/ui/").status, 200);
  EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
}
