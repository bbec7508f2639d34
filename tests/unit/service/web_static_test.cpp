/* The dashboard's file server over real HTTP on loopback, with openat2 and with the walk used where it is
 * missing: every way a request path might leave the web root, and the size bound. Types and pages are
 * proven by the browser test. */
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
#include <vector>

namespace {
namespace http = boost::beast::http;
const char kSecret[] = "TOP-SECRET-OUTSIDE-THE-ROOT";

struct reply {
  int status = 0;
  std::string body;
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
  return ec ? reply{} : reply{(int) res.result_int(), res.body()};
}
} // namespace

// what this proves: no dot segment, separator or control byte in any spelling and no link out of the root
// reaches a file outside, with openat2 and with the walk; a link inside is followed by openat2 only; FIFOs
// and files over the bound are refused and one of exactly the bound served whole
TEST(WebStatic, NothingOutsideTheRoot) {
  char tmpl[] = "/tmp/vorn-web-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string base = tmpl, root = base + "/root";
  for (const std::string &d : {root, root + "/sub", base + "/outside"}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  const std::pair<std::string, std::string> files[] = {{base + "/secret.txt", kSecret},
                                                       {base + "/outside/secret.txt", kSecret},
                                                       {root + "/.hidden", kSecret},
                                                       {root + "/index.html", "index"},
                                                       {root + "/app.js", "console.log(1);"},
                                                       {root + "/sub/index.html", "sub index"},
                                                       {root + "/big.txt", std::string(1025, 'x')},
                                                       {root + "/edge.txt", std::string(1024, 'y')}};
  for (const auto &[path, text] : files) std::ofstream(path, std::ios::binary) << text;
  for (const auto &[target, link] : {std::pair<std::string, std::string>{base + "/secret.txt", "abs-link"},
                                     {"../secret.txt", "rel-link"},
                                     {"../outside", "dir-link"},
                                     {"app.js", "alias.js"}})
    ASSERT_EQ(symlink(target.c_str(), (root + "/" + link).c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
  ASSERT_EQ(
      zint_conf_load_string(
          ("<vorn-c><vorn><web root=\"" + root + "\" max_file_bytes=\"1024\"/></vorn></vorn-c>").c_str()),
      0);
  web_static_init();
  int idx = zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr);
  ASSERT_GE(idx, 0);
  const int port = zint_listener_bound_port(idx);
  const std::pair<int, std::vector<std::string>> refused[] = {
      {400,
       {"/ui/../secret.txt",
        "/ui/sub/../../secret.txt",
        "/ui/%2e%2e/secret.txt",
        "/ui/.%2e/secret.txt",
        "/ui/%2e./secret.txt",
        "/ui/sub/..%2fsecret.txt",
        "/ui/sub%2f..%2f..%2fsecret.txt",
        "/ui/%2fetc%2fpasswd",
        "/ui/..%5csecret.txt",
        "/ui/..\\secret.txt",
        "/ui/app.js%00.png",
        "/ui/%0a",
        "/ui/a%7f",
        "/ui/%zz",
        "/ui/%",
        "/ui//etc/passwd",
        "/ui/sub//index.html",
        "/ui/./index.html",
        "/ui/.hidden",
        "/ui/%2ehidden"}},
      {404,
       {"/ui/abs-link", "/ui/rel-link", "/ui/dir-link/secret.txt", "/ui/dir-link/", "/ui/nope.js",
        "/ui/sub/nope/", "/ui/%252e%252e/secret.txt" /* decoded once only */,
        "/ui/fifo" /* at once, not stalling */, "/uix", "/ui..%2fsecret.txt"}},
      {500, {"/ui/big.txt"}}};
  for (bool walk : {false, true}) {
    web_static_no_openat2 = walk;
    for (const auto &[status, targets] : refused)
      for (const std::string &t : targets) {
        reply r = get(port, t);
        EXPECT_EQ(r.status, status) << t << " walk " << walk;
        EXPECT_EQ(std::make_pair(r.body.find(kSecret), r.body.find("xxxx")),
                  std::make_pair(std::string::npos, std::string::npos))
            << t;
      }
    EXPECT_EQ(get(port, "/ui/edge.txt").body + get(port, "/ui/sub/index.html").body,
              std::string(1024, 'y') + "sub index");
    reply alias = get(port, "/ui/alias.js"); /* a link inside the root: the walk follows none */
    EXPECT_EQ(std::make_pair(alias.status, alias.body.find("console")),
              std::make_pair(walk ? 404 : 200, walk ? std::string::npos : 0));
  }
  EXPECT_EQ(system(("rm -rf '" + base + "'").c_str()), 0);
}
