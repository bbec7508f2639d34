/* Tests of the websocket client against local servers on loopback: our own websocket server (plain and
 * TLS with a certificate made at run time), a port nobody listens on, a peer that accepts TCP and
 * says nothing, and a Beast server that stops reading after the upgrade. */
#include "zint/zint_websocket_client.h"

#include "zint/zint_http.h"
#include "support/test_cert.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

namespace {

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds max = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + max;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

/* ---- the server side: our own websocket server ---- */

std::atomic<zint_http_session_ctx *> held{nullptr}; /* one reference while set */
std::atomic<int> server_frees{0};
void server_free(void *p) {
  server_frees++;
  delete static_cast<int *>(p);
}

/* "echo:X" answers X with the same opcode, "hold" keeps the session for the test, "bye" closes. */
int server_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t len) {
  std::string m(reinterpret_cast<const char *>(msg), len);
  if (!restc->call_closure) {
    restc->call_closure = new int(1);
    restc->call_closure_free = server_free;
  }
  if (m.rfind("echo:", 0) == 0)
    zint_http_websocket_queue_msg(restc->http_ctx, opcode, msg + 5, len - 5);
  else if (m == "hold") {
    zint_http_session_ref_inc(restc->http_ctx);
    held = restc->http_ctx;
  } else if (m == "bye")
    return 1;
  return 0;
}

const test_cert &cert() {
  static test_cert tc = test_cert_make();
  return tc;
}

int server_port(bool tls) {
  static int plain = [] {
    zint_http_rest_websocket_register("/wsc/", "^(.*)$", "wsc-test", server_handler);
    int i = zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr);
    return i < 0 ? -1 : zint_listener_bound_port(i);
  }();
  static int secure = [] {
    if (cert().cert_file.empty()) return -1;
    int i = zint_listener_add("127.0.0.1", 0, cert().cert_file.c_str(), cert().key_file.c_str(), nullptr);
    return i < 0 ? -1 : zint_listener_bound_port(i);
  }();
  return tls ? secure : plain;
}

/* ---- the client side: what the handlers saw ---- */

struct probe {
  std::mutex mu;
  std::vector<std::string> events;
  std::atomic<int> cleanups{0};
  std::atomic<zint_websocket_client_t *> client{nullptr};
  bool closure_ok = true;
  std::string ready_sends;          /* sent from the ready handler when not empty */
  bool ready_result = true;
  int msgs_before_false = 1;        /* the message handler returns false on this message */
  std::atomic<int> ticks_before_false{-1}; /* the tick handler returns false on this tick; -1 never */
  void add(const std::string &e) {
    std::lock_guard<std::mutex> lk(mu);
    events.push_back(e);
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> lk(mu);
    return events;
  }
};

zint_boolean on_ready(zint_websocket_client_t *c, void *cl) {
  auto *p = static_cast<probe *>(cl);
  if (zint_websocket_client_get_closure(c) != cl) p->closure_ok = false;
  p->add("ready");
  if (!p->ready_sends.empty()) zint_websocket_client_send(c, 1, p->ready_sends.data(), p->ready_sends.size());
  p->client = c;
  return p->ready_result;
}

zint_boolean on_msg(zint_websocket_client_t *c, int opcode, const unsigned char *msg, size_t len, void *cl) {
  auto *p = static_cast<probe *>(cl);
  if (zint_websocket_client_get_closure(c) != cl) p->closure_ok = false;
  p->add("msg:" + std::to_string(opcode) + ":" + std::string(reinterpret_cast<const char *>(msg), len));
  std::lock_guard<std::mutex> lk(p->mu);
  return --p->msgs_before_false > 0;
}

void on_cleanup(zint_websocket_client_t *, void *cl) {
  auto *p = static_cast<probe *>(cl);
  p->add("cleanup");
  p->cleanups++;
}

zint_boolean on_tick(zint_websocket_client_t *, void *cl) {
  auto *p = static_cast<probe *>(cl);
  return p->ticks_before_false < 0 || --p->ticks_before_false > 0;
}

const zint_websocket_client_callbacks cbs = {on_ready, on_msg, on_cleanup, on_tick};

bool start(probe &p, int port, const zint_conf_hash_t *ssl = nullptr, const char *path = "/wsc/x") {
  return zint_websocket_client_new_noref("127.0.0.1", port, path, "wsc-test", &cbs, &p, eventer_pool("default"),
                                         ssl);
}

/* The final state: exactly one cleanup, and nothing after it. */
std::vector<std::string> finished(probe &p) {
  EXPECT_TRUE(wait_until([&] { return p.cleanups.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20)); /* would show a second cleanup */
  EXPECT_EQ(p.cleanups.load(), 1);
  EXPECT_TRUE(p.closure_ok);
  return p.seen();
}

class WebsocketClient : public ::testing::Test {
 protected:
  zint_websocket_client_limits_t saved{};
  zint_http_limits_t saved_http{};
  void SetUp() override {
    ASSERT_GT(server_port(false), 0);
    zint_websocket_client_limits_get(&saved);
    zint_http_limits_get(&saved_http);
    server_frees = 0;
  }
  void TearDown() override {
    if (auto *c = held.exchange(nullptr)) zint_http_ctx_session_release(c);
    zint_websocket_client_limits_set(&saved);
    zint_http_limits_set(&saved_http);
  }
};

} // namespace

// what this proves: ready comes after the handshake, messages arrive in order with their opcode (text
// sent from the ready handler, binary sent from another thread), a false result closes, then exactly
// one cleanup; the server sees its session end
TEST_F(WebsocketClient, ReadyMessageCleanupOrder) {
  probe p;
  p.ready_sends = "echo:hello";
  p.msgs_before_false = 2;
  ASSERT_TRUE(start(p, server_port(false)));
  ASSERT_TRUE(wait_until([&] { return p.client.load() != nullptr; }));
  EXPECT_TRUE(zint_websocket_client_send(p.client, 2, "echo:bin", 8));
  auto ev = finished(p);
  EXPECT_EQ(ev, (std::vector<std::string>{"ready", "msg:1:hello", "msg:2:bin", "cleanup"}));
  EXPECT_TRUE(wait_until([] { return server_frees.load() == 1; }));
}

// what this proves: a connect that is refused, and a peer that accepts TCP but never answers the
// upgrade, each give one cleanup and no ready; the silent one only at the connect deadline
TEST_F(WebsocketClient, RefusedAndSilentPeers) {
  asio::io_context ioc;
  int dead_port;
  {
    tcp::acceptor a(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    dead_port = a.local_endpoint().port();
  }
  probe refused;
  ASSERT_TRUE(start(refused, dead_port));
  EXPECT_EQ(finished(refused), std::vector<std::string>{"cleanup"});

  zint_websocket_client_limits_t l = saved;
  l.connect_timeout_ms = 300;
  zint_websocket_client_limits_set(&l);
  tcp::acceptor silent(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)); /* never accepts */
  probe quiet;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(start(quiet, silent.local_endpoint().port()));
  EXPECT_EQ(finished(quiet), std::vector<std::string>{"cleanup"});
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
}

// what this proves: a false ready result closes without any message, and a server that closes the
// session (here with 1008) gives one cleanup after ready
TEST_F(WebsocketClient, FalseReadyAndServerClose) {
  probe no;
  no.ready_result = false;
  ASSERT_TRUE(start(no, server_port(false)));
  EXPECT_EQ(finished(no), (std::vector<std::string>{"ready", "cleanup"}));

  probe bye;
  bye.ready_sends = "bye";
  ASSERT_TRUE(start(bye, server_port(false)));
  EXPECT_EQ(finished(bye), (std::vector<std::string>{"ready", "cleanup"}));
  EXPECT_TRUE(wait_until([] { return server_frees.load() == 1; }));
}

// what this proves: TLS is used when sslconfig has settings; verification against the generated CA
// passes, an unknown CA fails as a failed connect, verify=false connects; unusable settings make the
// creation fail without any handler
TEST_F(WebsocketClient, TlsSettings) {
  ASSERT_GT(server_port(true), 0);
  zint_conf_hash_t good{{"ca_chain", cert().cert_file}, {"verify", "true"}};
  probe ok;
  ok.ready_sends = "echo:secure";
  ASSERT_TRUE(start(ok, server_port(true), &good));
  EXPECT_EQ(finished(ok), (std::vector<std::string>{"ready", "msg:1:secure", "cleanup"}));

  zint_conf_hash_t unknown_ca{{"verify", "true"}};
  probe bad;
  ASSERT_TRUE(start(bad, server_port(true), &unknown_ca));
  EXPECT_EQ(finished(bad), std::vector<std::string>{"cleanup"});

  zint_conf_hash_t noverify{{"verify", "false"}};
  probe lax;
  lax.ready_result = false;
  ASSERT_TRUE(start(lax, server_port(true), &noverify));
  EXPECT_EQ(finished(lax), (std::vector<std::string>{"ready", "cleanup"}));

  probe never;
  zint_conf_hash_t missing{{"ca_chain", "/nonexistent/ca.pem"}};
  zint_conf_hash_t garbled{{"verify", "maybe"}};
  zint_conf_hash_t key_only{{"key_file", cert().key_file}};
  EXPECT_FALSE(start(never, server_port(true), &missing));
  EXPECT_FALSE(start(never, server_port(true), &garbled));
  EXPECT_FALSE(start(never, server_port(true), &key_only));
  EXPECT_FALSE(zint_websocket_client_new_noref(nullptr, 1, "/", "p", &cbs, &never, eventer_pool("default"), nullptr));
  EXPECT_FALSE(zint_websocket_client_new_noref("h", 0, "/", "p", &cbs, &never, eventer_pool("default"), nullptr));
  EXPECT_FALSE(zint_websocket_client_new_noref("h", 1, "nope", "p", &cbs, &never, eventer_pool("default"), nullptr));
  EXPECT_FALSE(zint_websocket_client_new_noref("h", 1, "/", "p", nullptr, &never, eventer_pool("default"), nullptr));
  EXPECT_FALSE(zint_websocket_client_new_noref("h", 1, "/", "p", &cbs, &never, nullptr, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(never.seen().empty());
}

// what this proves: a client that only listens survives three idle timeouts (its pings are answered),
// and still receives what the server sends afterwards
TEST_F(WebsocketClient, ListeningClientSurvivesIdleTimeouts) {
  zint_http_limits_t hl = saved_http;
  hl.ping_interval_ms = 0; /* only the client's pings keep this connection busy */
  hl.idle_timeout_ms = 0;
  zint_http_limits_set(&hl);
  zint_websocket_client_limits_t l = saved;
  l.idle_timeout_ms = 300;
  zint_websocket_client_limits_set(&l);
  probe p;
  p.ready_sends = "hold";
  ASSERT_TRUE(start(p, server_port(false)));
  ASSERT_TRUE(wait_until([] { return held.load() != nullptr; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000)); /* the time itself is under test */
  EXPECT_EQ(p.cleanups.load(), 0);
  const unsigned char late[] = "late";
  EXPECT_TRUE(zint_http_websocket_queue_msg(held, 1, late, 4));
  EXPECT_EQ(finished(p), (std::vector<std::string>{"ready", "msg:1:late", "cleanup"}));
}

// what this proves: a peer that completes the upgrade and then goes silent (reads nothing, so answers
// no ping nor a close) ends the connection with one cleanup: at the idle timeout, or soon after a tick
// handler gives it up, long before the idle timeout
TEST_F(WebsocketClient, SilentPeerEndsAtIdleTimeoutOrTick) {
  struct row {
    uint32_t idle_ms;
    int ticks;
  };
  for (row r : {row{300, -1}, row{600000, 2}}) {
    SCOPED_TRACE(r.ticks);
    zint_websocket_client_limits_t l = saved;
    l.idle_timeout_ms = r.idle_ms;
    zint_websocket_client_limits_set(&l);
    asio::io_context ioc;
    tcp::acceptor acc(ioc, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    std::atomic<bool> done{false};
    std::thread server([&] {
      websocket::stream<tcp::socket> ws(acc.accept());
      ws.set_option(websocket::stream_base::decorator(
          [](websocket::response_type &r) { r.set(http::field::sec_websocket_protocol, "wsc-test"); }));
      ws.accept();
      while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    probe p;
    p.ticks_before_false = r.ticks;
    ASSERT_TRUE(start(p, acc.local_endpoint().port()));
    EXPECT_EQ(finished(p), (std::vector<std::string>{"ready", "cleanup"}));
    done = true;
    server.join();
  }
}
