/* The dashboard's file server over real HTTP, with openat2 and with the walk used where it is missing. */
#include "web_static.h"
#include "zint/zint_conf.h"
#include "zint/zint_http.h"
#include "support/client.h"
#include "support/process.h"
#include <gtest/gtest.h>
#include <sys/stat.h>

// what this proves: no request path or link reaches a file outside the root; FIFOs and oversize refused
TEST(WebStatic, NothingOutsideTheRoot) {
  const std::string secret = "TOP-SECRET-OUTSIDE-THE-ROOT";
  vorn_test::TempDir dir;
  const std::string base = dir.path(), root = base + "/root";
  for (const std::string &d : {root, root + "/sub", base + "/outside"}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
  for (const std::string &path : {base + "/secret.txt", base + "/outside/secret.txt", root + "/.hidden"})
    std::ofstream(path) << secret;
  const std::pair<std::string, std::string> files[] = {{root + "/app.js", "console.log(1);"},
                                                       {root + "/sub/index.html", "sub index"},
                                                       {root + "/big.txt", std::string(1025, 'x')},
                                                       {root + "/edge.txt", std::string(1024, 'y')}};
  for (const auto &[path, text] : files) std::ofstream(path) << text;
  for (const auto &[target, link] : {std::pair<std::string, std::string>{base + "/secret.txt", "abs-link"},
                                     {"../outside", "dir-link"},
                                     {"app.js", "alias.js"}})
    ASSERT_EQ(symlink(target.c_str(), (root + "/" + link).c_str()), 0);
  ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0644), 0);
  const std::string conf =
      "<vorn-c><vorn><web root=\"" + root + "\" max_file_bytes=\"1024\"/></vorn></vorn-c>";
  ASSERT_EQ(zint_conf_load_string(conf.c_str()), 0);
  web_static_init();
  const int port = zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr));
  ASSERT_GT(port, 0);
  const std::pair<int, std::vector<std::string>> refused[] = {
      {400,
       {"/ui/../secret.txt", "/ui/%2e%2e/secret.txt", "/ui/sub/..%2fsecret.txt", "/ui/%2fetc%2fpasswd",
        "/ui/..%5csecret.txt", "/ui/app.js%00.png", "/ui/%0a", "/ui/a%7f", "/ui/%zz", "/ui/%",
        "/ui//etc/passwd", "/ui/./index.html", "/ui/.hidden"}},
      {404,
       {"/ui/abs-link", "/ui/dir-link/secret.txt", "/ui/nope.js",
        "/ui/%252e%252e/secret.txt" /* decoded once */, "/ui/fifo" /* at once, not stalling */, "/uix",
        "/ui..%2fsecret.txt"}},
      {500, {"/ui/big.txt"}}};
  for (bool walk : {false, true}) {
    web_static_no_openat2 = walk;
    for (const auto &[status, targets] : refused)
      for (const std::string &t : targets) {
        SCOPED_TRACE(t + (walk ? " (walk)" : ""));
        vorn_test::HttpReply r = vorn_test::http_get(port, t);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(std::make_pair(r.body.find(secret), r.body.find("xxxx")),
                  std::make_pair(std::string::npos, std::string::npos));
      }
    EXPECT_EQ(
        vorn_test::http_get(port, "/ui/edge.txt").body + vorn_test::http_get(port, "/ui/sub/index.html").body,
        std::string(1024, 'y') + "sub index");
    vorn_test::HttpReply alias = vorn_test::http_get(port, "/ui/alias.js"); /* the walk follows no link */
    EXPECT_EQ(std::make_pair(alias.status, alias.body.find("console")),
              std::make_pair(walk ? 404 : 200, walk ? std::string::npos : 0));
  }
}
