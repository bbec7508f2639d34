/* Test support: real websocket sessions on a loopback listener, for tests that hand session
 * contexts to client records. Each test_ws_client connects, names itself, and the server side keeps
 * one reference on its session context until the client object goes away. */
#ifndef VORN_TEST_WS_SESSIONS_H
#define VORN_TEST_WS_SESSIONS_H

#include "zint/zint_http.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace test_ws {

inline bool wait_until(const std::function<bool()> &pred,
                       std::chrono::milliseconds max = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + max;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct registry {
  std::mutex mu;
  std::map<std::string, zint_http_session_ctx *> by_name; /* one reference held per entry */
};
inline registry &sessions() {
  static registry r;
  return r;
}

/* The first message of a session is its name; the handler keeps the context under that name. */
inline int name_handler(zint_http_rest_closure_t *restc, int, const unsigned char *msg, size_t len) {
  std::string name(reinterpret_cast<const char *>(msg), len);
  std::lock_guard<std::mutex> lk(sessions().mu);
  if (!sessions().by_name.count(name)) {
    zint_http_session_ref_inc(restc->http_ctx);
    sessions().by_name[name] = restc->http_ctx;
  }
  return 0;
}

/* Port of a listener with the endpoint "/sessions/" (sub-protocol "test-sessions"). */
inline int port() {
  static int p = [] {
    zint_http_rest_websocket_register("/sessions/", "^(.*)$", "test-sessions", name_handler);
    int idx = zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr);
    return idx < 0 ? -1 : zint_listener_bound_port(idx);
  }();
  return p;
}

inline std::atomic<int> &name_seq() {
  static std::atomic<int> n{0};
  return n;
}

namespace beast = boost::beast;
namespace asio = boost::asio;

/* A blocking client; ctx is its server-side session context (valid while the object lives). */
struct client {
  asio::io_context ioc;
  beast::websocket::stream<asio::ip::tcp::socket> ws{ioc};
  std::string name;
  zint_http_session_ctx *ctx = nullptr;

  client() : name("s" + std::to_string(name_seq()++)) {
    ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port())});
    struct timeval tv = {10, 0};
    setsockopt(ws.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ws.set_option(beast::websocket::stream_base::decorator([](beast::websocket::request_type &r) {
      r.set(beast::http::field::sec_websocket_protocol, "test-sessions");
    }));
    ws.handshake("127.0.0.1", "/sessions/");
    ws.write(asio::buffer(name));
    wait_until([&] {
      std::lock_guard<std::mutex> lk(sessions().mu);
      auto it = sessions().by_name.find(name);
      if (it == sessions().by_name.end()) return false;
      ctx = it->second;
      return true;
    });
  }
  ~client() {
    beast::error_code ec;
    ws.next_layer().close(ec);
    std::lock_guard<std::mutex> lk(sessions().mu);
    auto it = sessions().by_name.find(name);
    if (it != sessions().by_name.end()) {
      zint_http_ctx_session_release(it->second);
      sessions().by_name.erase(it);
    }
  }
  /* The next frame as text; "" after 10 seconds without one or an error. (A blocking read would
   * wait for ever: the socket's receive timeout only makes asio poll again.) */
  std::string read() {
    beast::flat_buffer b;
    beast::error_code ec;
    bool done = false;
    ws.async_read(b, [&](beast::error_code e, std::size_t) {
      ec = e;
      done = true;
    });
    ioc.restart();
    ioc.run_for(std::chrono::seconds(10));
    if (!done) { /* give up: cancel and let the handler run before b goes */
      ws.next_layer().cancel(ec);
      ioc.restart();
      ioc.run();
      return std::string();
    }
    return ec ? std::string() : beast::buffers_to_string(b.data());
  }
  /* Drops the connection and waits until the server refuses frames for this session. */
  void disconnect() {
    beast::error_code ec;
    ws.next_layer().shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    ws.next_layer().close(ec);
    wait_until([&] { return !zint_http_websocket_queue_msg(ctx, 1, (const unsigned char *) "p", 1); });
  }
};

} // namespace test_ws

#endif
