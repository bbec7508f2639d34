/* Tests of the websocket client against peers on loopback: our own server (plain and TLS), a port
 * nobody listens on, a peer that accepts TCP and says nothing, one that upgrades and goes silent. */
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
std::atomic<int> server_frees{0};
void free_server_closure(void *p) {
  server_frees++;
  delete (int *) p;
}
/* Our server's handler: "echo:X" answers X with the same opcode, "big" answers 2000 bytes, "bye" closes. */
int serve(zint_http_rest_closure_t *restc, int op, const unsigned char *msg, size_t len) {
  std::string m(reinterpret_cast<const char *>(msg), len);
  if (!restc->call_closure) {
    restc->call_closure = new int(1);
    restc->call_closure_free = free_server_closure;
  }
  std::string reply = m == "big" ? std::string(2000, 'b') : m.rfind("echo:", 0) == 0 ? m.substr(5) : "";
  auto bytes = reinterpret_cast<const unsigned char *>(reply.data());
  if (!reply.empty()) zint_http_websocket_queue_msg(restc->http_ctx, op, bytes, reply.size());
  return m == "bye";
}
int server_port(bool tls) {
  static int plain = [] {
    zint_http_rest_websocket_register("/wsc/", "^(.*)$", "wsc-test", serve);
    return zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr));
  }();
  static int secure = zint_listener_bound_port(
      zint_listener_add("127.0.0.1", 0, cert().cert_file.c_str(), cert().key_file.c_str(), nullptr));
  return tls ? secure : plain;
}

/* One peer and how the client's handlers answer it: ready sends ready_sends and returns ready_result,
 * the message handler returns false at the msgs-th message, the tick handler at the ticks-th tick. */
struct row {
  const char *name;
  int port;
  const zint_conf_hash_t *ssl;
  std::string ready_sends, want;
  bool ready_result = true;
  int msgs = 1, ticks = -1; /* -1: never */
  uint32_t idle_ms = 60000;
};
/* What the client's handlers saw, in order. */
struct probe {
  explicit probe(const row &r) : r(r), msgs_before_false(r.msgs), ticks_before_false(r.ticks) {}
  const row &r;
  std::mutex mu;
  std::string events;
  std::atomic<int> cleanups{0};
  std::atomic<zint_websocket_client_t *> client{nullptr};
  int msgs_before_false, ticks_before_false;
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
      return p->r.ready_result;
    },
    [](zint_websocket_client_t *, int op, const unsigned char *msg, size_t len, void *cl) -> zint_boolean {
      auto *p = static_cast<probe *>(cl);
      p->add("msg:" + std::to_string(op) + ":" + std::string(reinterpret_cast<const char *>(msg), len));
      return --p->msgs_before_false > 0;
    },
    [](zint_websocket_client_t *, void *cl) {
      static_cast<probe *>(cl)->add("cleanup");
      static_cast<probe *>(cl)->cleanups++;
    },
    [](zint_websocket_client_t *, void *cl) -> zint_boolean {
      auto *p = static_cast<probe *>(cl);
      return p->ticks_before_false < 0 || --p->ticks_before_false > 0;
    }};

} // namespace

// what this proves: ready comes after the handshake, messages arrive in order with their opcode
// (also sent from another thread), and a false result of any handler, a server close, a refused or
// silent connect, a peer that goes silent after the upgrade (at the idle timeout or when the tick
// handler gives up), a message over the client's limit, an unknown CA each end in exactly one cleanup
TEST(WebsocketClient, Rows) {
  ASSERT_TRUE(server_port(false) > 0 && server_port(true) > 0);
  zint_websocket_client_limits_t saved;
  zint_websocket_client_limits_get(&saved);
  eventer_pool_t *pool = eventer_pool("default");
  asio::io_context ioc;
  const tcp::endpoint any{asio::ip::make_address("127.0.0.1"), 0};
  tcp::acceptor silent(ioc, any), upgrades(ioc, any), other(ioc, any);
  const int dead = tcp::acceptor(ioc, any).local_endpoint().port(); /* closed again at once */
  const int quiet = silent.local_endpoint().port(), mute = upgrades.local_endpoint().port();
  const int wrong = other.local_endpoint().port(); /* upgrades naming another sub-protocol */
  const int plain = server_port(false), tls = server_port(true);
  const zint_conf_hash_t good{{"ca_chain", cert().cert_file}, {"verify", "true"}};
  const zint_conf_hash_t unknown{{"verify", "true"}}, lax{{"verify", "false"}};
  const row rows[] = {
      {"messages then false", plain, nullptr, "echo:hello", "ready,msg:1:hello,msg:2:bin,cleanup", true, 2},
      {"false ready", plain, nullptr, "", "ready,cleanup", false},
      {"server closes", plain, nullptr, "bye", "ready,cleanup"},
      {"over the message limit", plain, nullptr, "big", "ready,cleanup"},
      {"tls", tls, &good, "echo:secure", "ready,msg:1:secure,cleanup"},
      {"tls without verification", tls, &lax, "", "ready,cleanup", false},
      {"unknown CA", tls, &unknown, "", "cleanup"},
      {"refused", dead, nullptr, "", "cleanup"},
      {"silent TCP peer", quiet, nullptr, "", "cleanup"},
      {"silent after upgrade", mute, nullptr, "", "ready,cleanup", true, 1, -1, 300},
      {"tick gives up", mute, nullptr, "", "ready,cleanup", true, 1, 2},
      {"other sub-protocol", wrong, nullptr, "", "cleanup", true, 1, -1, 300}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    zint_websocket_client_limits_t l = saved;
    l.connect_timeout_ms = 300;
    l.idle_timeout_ms = r.idle_ms;
    l.max_message_bytes = 1000;
    zint_websocket_client_limits_set(&l);
    std::atomic<bool> done{false};
    std::thread peer(
        [&] { /* upgrades, then reads nothing until the row is done */
              if (r.port != mute && r.port != wrong) return;
              websocket::stream<tcp::socket> ws(r.port == mute ? upgrades.accept() : other.accept());
              const char *name = r.port == mute ? "wsc-test" : "other";
              auto pick = [name](websocket::response_type &res) { res.set("Sec-WebSocket-Protocol", name); };
              ws.set_option(websocket::stream_base::decorator(pick));
              boost::beast::error_code ec; /* the client may refuse the answer and go */
              ws.accept(ec);
              vorn_test::wait_until([&] { return done.load(); });
        });
    probe p(r);
    int frees = server_frees;
    ASSERT_TRUE(
        zint_websocket_client_new_noref("127.0.0.1", r.port, "/wsc/x", "wsc-test", &cbs, &p, pool, r.ssl));
    if (r.msgs == 2) {
      ASSERT_TRUE(vorn_test::wait_until([&] { return p.client.load() != nullptr; }));
      EXPECT_TRUE(zint_websocket_client_send(p.client, 2, "echo:bin", 8));
    }
    EXPECT_TRUE(vorn_test::wait_until([&] { return p.cleanups == 1; }));
    EXPECT_FALSE(vorn_test::wait_until([&] { return p.cleanups > 1; }, std::chrono::milliseconds(20)));
    EXPECT_EQ(p.events, r.want);
    const int ours = (r.port == plain || r.port == tls) && !r.ready_sends.empty();
    EXPECT_TRUE(vorn_test::wait_until([&] { return server_frees - frees == ours; })) << "the session ended";
    done = true;
    peer.join();
  }
  zint_websocket_client_limits_set(&saved);
  /* Unusable settings make the creation fail without any handler call. */
  const row none{"none", tls, nullptr, "", ""};
  probe never(none);
  const zint_conf_hash_t missing{{"ca_chain", "/nonexistent/ca.pem"}}, garbled{{"verify", "maybe"}};
  const zint_conf_hash_t key_only{{"key_file", cert().key_file}};
  for (const zint_conf_hash_t *ssl : {&missing, &garbled, &key_only})
    EXPECT_FALSE(zint_websocket_client_new_noref("127.0.0.1", tls, "/wsc/x", "p", &cbs, &never, pool, ssl));
  EXPECT_FALSE(zint_websocket_client_new_noref("127.0.0.1", 0, "/wsc/x", "p", &cbs, &never, pool, nullptr));
  EXPECT_EQ(never.events, "");
}
