/* Tests of the websocket client for what the broker tests cannot make a peer do: an unknown CA, another
 * sub-protocol, a message over the limit, silence after the upgrade, and sending from another thread. */
#include "zint/zint_http.h"
#include "zint/zint_websocket_client.h"

#include "support/test_cert.h"
#include "support/wait.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;

namespace {

const test_cert &cert() {
  static test_cert tc = test_cert_make();
  return tc;
}
/* Our server's handler: "echo:X" answers X with the same opcode, "big" answers 2000 bytes. */
int serve(zint_http_rest_closure_t *restc, int op, const unsigned char *msg, size_t len) {
  std::string m(reinterpret_cast<const char *>(msg), len);
  std::string reply = m == "big" ? std::string(2000, 'b') : m.substr(5);
  zint_http_websocket_queue_msg(restc->http_ctx, op, (const unsigned char *) reply.data(), reply.size());
  return 0;
}
/* Upgrades one connection naming the sub-protocol name, then reads nothing until done. */
void silent_peer(tcp::acceptor &a, const char *name, const std::atomic<bool> &done) {
  websocket::stream<tcp::socket> ws(a.accept());
  auto pick = [name](websocket::response_type &res) { res.set("Sec-WebSocket-Protocol", name); };
  ws.set_option(websocket::stream_base::decorator(pick));
  boost::beast::error_code ec; /* the client may refuse the answer and go */
  ws.accept(ec);
  vorn_test::wait_until([&] { return done.load(); });
}

/* One peer: ready sends ready_sends, the message handler returns false at the msgs-th message, the
 * tick handler at the ticks-th tick (-1: never). */
struct row {
  const char *name;
  int port;
  const zint_conf_hash_t *ssl;
  std::string ready_sends, want;
  int msgs = 1, ticks = -1;
  uint32_t idle_ms = 60000;
};
/* What the client's handlers saw, in order. */
struct probe {
  explicit probe(const row &r) : r(r), msgs_left(r.msgs), ticks_left(r.ticks) {}
  const row &r;
  std::mutex mu;
  std::string events;
  std::atomic<int> cleanups{0};
  std::atomic<zint_websocket_client_t *> client{nullptr};
  int msgs_left, ticks_left;
  void add(const std::string &e) {
    std::lock_guard<std::mutex> lk(mu);
    events += (events.empty() ? "" : ",") + e;
  }
};
const zint_websocket_client_callbacks cbs = {
    [](zint_websocket_client_t *c, void *cl) -> zint_boolean {
      auto *p = static_cast<probe *>(cl);
      p->add(zint_websocket_client_get_closure(c) == cl ? "ready" : "ready with a wrong closure");
      const std::string &sends = p->r.ready_sends;
      if (!sends.empty()) zint_websocket_client_send(c, 1, sends.data(), sends.size());
      p->client = c;
      return true;
    },
    [](zint_websocket_client_t *, int op, const unsigned char *msg, size_t len, void *cl) -> zint_boolean {
      auto *p = static_cast<probe *>(cl);
      p->add("msg:" + std::to_string(op) + ":" + std::string(reinterpret_cast<const char *>(msg), len));
      return --p->msgs_left > 0;
    },
    [](zint_websocket_client_t *, void *cl) {
      static_cast<probe *>(cl)->add("cleanup");
      static_cast<probe *>(cl)->cleanups++;
    },
    [](zint_websocket_client_t *, void *cl) -> zint_boolean {
      auto *p = static_cast<probe *>(cl);
      return p->ticks_left < 0 || --p->ticks_left > 0;
    }};

} // namespace

// what this proves: messages arrive in order with their opcode (also sent from another thread) until
// the handler returns false; a message over the limit, an unknown CA, another sub-protocol, silence
// after the upgrade (idle timeout, or the tick handler giving up) each end in exactly one cleanup
TEST(WebsocketClient, Rows) {
  zint_http_rest_websocket_register("/wsc/", "^(.*)$", "wsc-test", serve);
  const int plain = zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr));
  const char *cf = cert().cert_file.c_str(), *kf = cert().key_file.c_str();
  const int tls = zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, cf, kf, nullptr));
  ASSERT_TRUE(plain > 0 && tls > 0);
  zint_websocket_client_limits_t saved;
  zint_websocket_client_limits_get(&saved);
  eventer_pool_t *pool = eventer_pool("default");
  asio::io_context ioc;
  const tcp::endpoint any{asio::ip::make_address("127.0.0.1"), 0};
  tcp::acceptor upgrades(ioc, any), other(ioc, any);
  const int mute = upgrades.local_endpoint().port(), wrong = other.local_endpoint().port();
  const zint_conf_hash_t unknown{{"verify", "true"}};
  const row rows[] = {
      {"messages then false", plain, nullptr, "echo:hello", "ready,msg:1:hello,msg:2:bin,cleanup", 2},
      {"over the message limit", plain, nullptr, "big", "ready,cleanup"},
      {"unknown CA", tls, &unknown, "", "cleanup"},
      {"silent after upgrade", mute, nullptr, "", "ready,cleanup", 1, -1, 300},
      {"tick gives up", mute, nullptr, "", "ready,cleanup", 1, 2},
      {"other sub-protocol", wrong, nullptr, "", "cleanup", 1, -1, 300}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    zint_websocket_client_limits_t l = saved;
    l.connect_timeout_ms = 300;
    l.idle_timeout_ms = r.idle_ms;
    l.max_message_bytes = 1000;
    zint_websocket_client_limits_set(&l);
    std::atomic<bool> done{false};
    std::thread peer([&] {
      if (r.port == mute || r.port == wrong)
        silent_peer(r.port == mute ? upgrades : other, r.port == mute ? "wsc-test" : "other", done);
    });
    probe p(r);
    ASSERT_TRUE(
        zint_websocket_client_new_noref("127.0.0.1", r.port, "/wsc/x", "wsc-test", &cbs, &p, pool, r.ssl));
    if (r.msgs == 2) {
      ASSERT_TRUE(vorn_test::wait_until([&] { return p.client.load() != nullptr; }));
      EXPECT_TRUE(zint_websocket_client_send(p.client, 2, "echo:bin", 8));
    }
    EXPECT_TRUE(vorn_test::wait_until([&] { return p.cleanups == 1; }));
    EXPECT_FALSE(vorn_test::wait_until([&] { return p.cleanups > 1; }, std::chrono::milliseconds(20)));
    EXPECT_EQ(p.events, r.want);
    done = true;
    peer.join();
  }
  zint_websocket_client_limits_set(&saved);
  /* Unusable TLS settings or port make the creation fail without any handler call. */
  probe never(rows[0]);
  const zint_conf_hash_t missing{{"ca_chain", "/nonexistent/ca.pem"}}, garbled{{"verify", "maybe"}};
  for (const zint_conf_hash_t *ssl : {&missing, &garbled})
    EXPECT_FALSE(zint_websocket_client_new_noref("127.0.0.1", tls, "/wsc/x", "p", &cbs, &never, pool, ssl));
  EXPECT_FALSE(zint_websocket_client_new_noref("127.0.0.1", 0, "/wsc/x", "p", &cbs, &never, pool, nullptr));
  EXPECT_EQ(never.events, "");
}
