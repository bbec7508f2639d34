/* Test support: real websocket sessions on a loopback listener, for tests that hand session contexts to
 * client records. Each test_ws::client connects and names itself; the server side holds one reference on its
 * session context until the client object goes away. */
#pragma once
#include "support/client.h"
#include "support/wait.h"
#include "zint/zint_http.h"
#include <atomic>
#include <map>
#include <mutex>
namespace test_ws {
using vorn_test::wait_until; /* test_ws::wait_until: used by bench/ */
inline std::mutex mu;
inline std::map<std::string, zint_http_session_ctx *> by_name; /* one reference held per entry */
/* The first message of a session is its name; the handler keeps the context under that name. */
inline int name_handler(zint_http_rest_closure_t *restc, int, const unsigned char *msg, size_t len) {
  std::lock_guard<std::mutex> lk(mu);
  if (by_name.try_emplace(std::string((const char *) msg, len), restc->http_ctx).second)
    zint_http_session_ref_inc(restc->http_ctx);
  return 0;
}
/* Port of a listener with the endpoint "/sessions/" (sub-protocol "test-sessions"). */
inline int port() {
  static int p = [] {
    zint_http_rest_websocket_register("/sessions/", "^(.*)$", "test-sessions", name_handler);
    return zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr));
  }();
  return p;
}
inline std::atomic<int> name_seq{0};
/* A blocking client; ctx is its server-side session context (valid while the object lives). */
struct client {
  vorn_test::WsClient ws;
  std::string name = "s" + std::to_string(name_seq++);
  zint_http_session_ctx *ctx = nullptr;
  client() {
    ws.open(port(), nullptr, "test-sessions", "/sessions/");
    ws.send(name);
    wait_until([&] {
      std::lock_guard<std::mutex> lk(mu);
      return by_name.count(name) && (ctx = by_name[name]);
    });
  }
  ~client() {
    ws.abort();
    std::lock_guard<std::mutex> lk(mu);
    if (by_name.count(name)) zint_http_ctx_session_release(by_name[name]);
    by_name.erase(name);
  }
  /* The next frame; "" after 10 s or an error. */
  std::string read() { return ws.read(std::chrono::seconds(10)).value_or(""); }
  /* The frames the server queued before now (a marker queued now ends them), each followed by a newline. */
  std::string queued() {
    zint_http_websocket_queue_msg(ctx, 1, (const unsigned char *) "marker", 6);
    std::string out;
    for (std::string f; (f = read()) != "marker" && !f.empty();) out += f + "\n";
    return out;
  }
  /* Drops the connection and waits until the server refuses frames for this session. */
  void disconnect() {
    ws.abort();
    wait_until([&] { return !zint_http_websocket_queue_msg(ctx, 1, (const unsigned char *) "p", 1); });
  }
};
} // namespace test_ws
