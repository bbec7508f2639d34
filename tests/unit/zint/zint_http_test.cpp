/* Tests of the HTTP/REST and websocket server with real Beast clients over loopback: routing, keep-alive,
 * chunked and closing responses, sub-protocol negotiation, session ends, concurrent queueing,
 * slow readers, shared broadcast copies, idle handling and TLS. */
#include "zint/zint_http.h"

#include "support/test_cert.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
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

int plain_port() {
  static int port = [] {
    int idx = zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr);
    return idx < 0 ? -1 : zint_listener_bound_port(idx);
  }();
  return port;
}

const test_cert &cert() {
  static test_cert tc = test_cert_make();
  return tc;
}

int tls_port() {
  static int port = [] {
    if (cert().cert_file.empty()) return -1;
    int idx = zint_listener_add("127.0.0.1", 0, cert().cert_file.c_str(), cert().key_file.c_str(), nullptr);
    return idx < 0 ? -1 : zint_listener_bound_port(idx);
  }();
  return port;
}

void set_recv_timeout(tcp::socket &s) {
  struct timeval tv = {10, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

/* One masked client frame (payloads under 126 bytes). */
std::string client_frame(uint8_t fin_opcode, const std::string &payload) {
  const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
  std::string f;
  f += char(fin_opcode);
  f += char(0x80 | payload.size());
  f.append(reinterpret_cast<const char *>(key), 4);
  for (size_t i = 0; i < payload.size(); i++) f += char(payload[i] ^ key[i % 4]);
  return f;
}

/* ---- handlers and what they saw ---- */

int echo_captures(zint_http_rest_closure_t *restc, int npats, char **pats) {
  std::string body = std::to_string(npats);
  for (int i = 0; i < npats; i++) body += std::string(",") + pats[i];
  zint_http_response_status_set(restc->http_ctx, 200, "OK");
  zint_http_response_header_set(restc->http_ctx, "Content-Type", "text/plain");
  zint_http_response_append(restc->http_ctx, body.data(), body.size());
  zint_http_response_end(restc->http_ctx);
  return 0;
}

std::atomic<int> rest_frees{0};
void count_rest_free(void *p) {
  rest_frees++;
  delete static_cast<int *>(p);
}

/* Answers like the statistics endpoint: chunked when allowed, else close. */
int chunked_or_close(zint_http_rest_closure_t *restc, int, char **) {
  auto *ctx = restc->http_ctx;
  if (!restc->call_closure) {
    restc->call_closure = new int(1);
    restc->call_closure_free = count_rest_free;
  }
  zint_http_response_status_set(ctx, 200, "OK");
  zint_http_response_header_set(ctx, "Content-Type", "application/json");
  if (!zint_http_response_option_set(ctx, ZINT_HTTP_CHUNKED)) zint_http_response_option_set(ctx, ZINT_HTTP_CLOSE);
  for (int i = 0; i < 3; i++) zint_http_response_append(ctx, "{\"a\":1}", 7);
  zint_http_response_append(ctx, "\n", 1);
  zint_http_response_end(ctx);
  return 0;
}

int forgets_to_answer(zint_http_rest_closure_t *, int, char **) { return 0; }

/* Websocket sessions: every handler call is logged per session; "close-me" answers then returns 1. */
struct ws_state {
  std::mutex mu;
  std::vector<std::pair<int, std::string>> got; /* (opcode, text) */
  std::atomic<int> frees{0};
  std::atomic<int> in_handler{0};
  std::atomic<bool> overlap{false};
  std::atomic<zint_http_session_ctx *> ctx{nullptr}; /* one reference held while set */
};
ws_state ws;

void ws_free(void *p) {
  ws.frees++;
  delete static_cast<int *>(p);
}

int ws_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t len) {
  if (ws.in_handler.fetch_add(1) != 0) ws.overlap = true;
  std::string text(reinterpret_cast<const char *>(msg), len);
  if (!restc->call_closure) {
    restc->call_closure = new int(7);
    restc->call_closure_free = ws_free;
  }
  {
    std::lock_guard<std::mutex> lk(ws.mu);
    ws.got.emplace_back(opcode, text);
  }
  int rv = 0;
  if (text == "hold") {
    zint_http_session_ref_inc(restc->http_ctx);
    ws.ctx = restc->http_ctx;
    zint_http_websocket_queue_msg(restc->http_ctx, opcode, msg, len);
  } else if (text == "close-me") {
    const char err[] = "{\"error\":\"bad\"}";
    zint_http_websocket_queue_msg(restc->http_ctx, 1, reinterpret_cast<const unsigned char *>(err), sizeof err - 1);
    rv = 1;
  } else {
    zint_http_websocket_queue_msg(restc->http_ctx, opcode, msg, len);
  }
  ws.in_handler.fetch_sub(1);
  return rv;
}

void register_once() {
  static bool done = [] {
    EXPECT_EQ(zint_http_rest_register("GET", "/t/", "^item/([0-9]+)/(.*)$", echo_captures), 0);
    EXPECT_EQ(zint_http_rest_register("GET", "/", "^chunky$", chunked_or_close), 0);
    EXPECT_EQ(zint_http_rest_register("GET", "/", "^silent$", forgets_to_answer), 0);
    EXPECT_EQ(zint_http_rest_websocket_register("/ws/", "^(.*)$", "vorn-test", ws_handler), 0);
    return true;
  }();
  (void)done;
}

void reset_ws() {
  if (auto *c = ws.ctx.exchange(nullptr)) zint_http_ctx_session_release(c);
  std::lock_guard<std::mutex> lk(ws.mu);
  ws.got.clear();
  ws.frees = 0;
  ws.overlap = false;
}

struct http_client {
  asio::io_context ioc;
  tcp::socket sock{ioc};
  beast::flat_buffer buf;
  explicit http_client(int port) {
    sock.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(port)));
    set_recv_timeout(sock);
  }
  http::response<http::string_body> get(const std::string &target, unsigned version = 11) {
    http::request<http::empty_body> req{http::verb::get, target, version};
    req.set(http::field::host, "127.0.0.1");
    http::write(sock, req);
    http::response<http::string_body> res;
    http::read(sock, buf, res);
    return res;
  }
};

struct ws_client {
  asio::io_context ioc;
  websocket::stream<tcp::socket> s{ioc};
  websocket::response_type res;
  explicit ws_client(int rcvbuf = 0) {
    if (rcvbuf) {
      s.next_layer().open(tcp::v4());
      s.next_layer().set_option(asio::socket_base::receive_buffer_size(rcvbuf));
    }
  }
  beast::error_code connect(int port, const std::string &path, const std::string &protocols) {
    beast::error_code ec;
    s.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(port)), ec);
    if (ec) return ec;
    set_recv_timeout(s.next_layer());
    s.set_option(websocket::stream_base::decorator([protocols](websocket::request_type &r) {
      if (!protocols.empty()) r.set(http::field::sec_websocket_protocol, protocols);
    }));
    s.handshake(res, "127.0.0.1", path, ec);
    return ec;
  }
  std::string read(bool *text = nullptr) {
    beast::flat_buffer b;
    s.read(b);
    if (text) *text = s.got_text();
    return beast::buffers_to_string(b.data());
  }
  void send(const std::string &m, bool text = true) {
    s.text(text);
    s.write(asio::buffer(m));
  }
};

/* Starts a session and makes the handler keep a reference to its context in ws.ctx. */
zint_http_session_ctx *hold_session(ws_client &c) {
  EXPECT_FALSE(c.connect(plain_port(), "/ws/x", "vorn-test"));
  c.send("hold");
  EXPECT_TRUE(wait_until([] { return ws.ctx.load() != nullptr; }));
  return ws.ctx.load();
}

class Http : public ::testing::Test {
 protected:
  zint_http_limits_t saved{};
  void SetUp() override {
    register_once();
    ASSERT_GT(plain_port(), 0);
    reset_ws();
    zint_http_limits_get(&saved);
  }
  void TearDown() override {
    /* The clients are gone; their sessions end asynchronously and must not count in the next test. */
    reset_ws();
    EXPECT_TRUE(wait_until([] { return zint_http_open_sessions() == 0; }, std::chrono::seconds(30)));
    reset_ws();
    /* ...and their contexts are destroyed (a TLS one after its shutdown), before the next test or
     * the process's exit tears down what they use. */
    EXPECT_TRUE(wait_until([] { return zint_http_live_sessions() == 0; }, std::chrono::seconds(30)));
    zint_http_limits_set(&saved);
  }
};

} // namespace

// what this proves: the regex's captures reach the handler, query strings are ignored, unmatched paths
// get a short 404, and all of it runs over one kept-alive connection
TEST_F(Http, RestRoutingAnd404OverKeepAlive) {
  http_client c(plain_port());
  auto r1 = c.get("/t/item/42/rest/of?x=1");
  EXPECT_EQ(r1.result_int(), 200);
  EXPECT_EQ(r1.body(), "2,42,rest/of");
  EXPECT_TRUE(r1.keep_alive());
  auto r2 = c.get("/t/item/abc/x");
  EXPECT_EQ(r2.result_int(), 404);
  EXPECT_FALSE(r2.body().empty());
  EXPECT_LT(r2.body().size(), 64u);
  auto r3 = c.get("/t/item/7/");
  EXPECT_EQ(r3.body(), "2,7,");
  auto r4 = c.get("/ws/not-an-upgrade");
  EXPECT_EQ(r4.result_int(), 404);
}

// what this proves: CHUNKED gives a chunked HTTP/1.1 body on a kept connection; on HTTP/1.0 it is
// refused, CLOSE ends the connection after the body; a handler that answers nothing gets a 500; the
// REST closure is freed once per connection, when it ends
TEST_F(Http, ChunkedCloseAndClosureFree) {
  rest_frees = 0;
  {
    http_client c(plain_port());
    auto r = c.get("/chunky");
    EXPECT_EQ(r.result_int(), 200);
    EXPECT_TRUE(r.chunked());
    EXPECT_EQ(r.body(), "{\"a\":1}{\"a\":1}{\"a\":1}\n");
    EXPECT_EQ(r[http::field::content_type], "application/json");
    auto again = c.get("/chunky");
    EXPECT_EQ(again.body(), r.body());
    EXPECT_EQ(c.get("/silent").result_int(), 500);
    EXPECT_EQ(rest_frees.load(), 0);
  }
  EXPECT_TRUE(wait_until([] { return rest_frees.load() == 1; }));

  http_client c10(plain_port());
  auto r = c10.get("/chunky", 10);
  EXPECT_FALSE(r.chunked());
  EXPECT_EQ(r.body(), "{\"a\":1}{\"a\":1}{\"a\":1}\n");
  char byte;
  boost::system::error_code ec;
  c10.sock.read_some(asio::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, asio::error::eof);
  EXPECT_TRUE(wait_until([] { return rest_frees.load() == 2; }));
}

// what this proves: long paths are matched up to the limit and refused with 414 beyond it, and bad
// registrations are refused
TEST_F(Http, LongPathsAndBadRegistrations) {
  http_client c2(plain_port());
  std::string long_tail(2030, 'a');
  auto ok = c2.get("/t/item/1/" + long_tail);
  EXPECT_EQ(ok.body(), "2,1," + long_tail);
  EXPECT_EQ(c2.get("/t/item/1/" + std::string(3000, 'a')).result_int(), 414);

  EXPECT_EQ(zint_http_rest_register("GET", "/", "([unclosed", echo_captures), -1);
  EXPECT_EQ(zint_http_rest_register(nullptr, "/", "^x$", echo_captures), -1);
  EXPECT_EQ(zint_http_rest_websocket_register("/", "^x$", "", ws_handler), -1);
}

// what this proves: an upgrade succeeds only when the client offers the endpoint's sub-protocol, the
// reply names it, and an unknown path or protocol is refused without a session
TEST_F(Http, SubProtocolNegotiation) {
  ws_client ok;
  EXPECT_FALSE(ok.connect(plain_port(), "/ws/anything", "chat, vorn-test"));
  EXPECT_EQ(ok.res[http::field::sec_websocket_protocol], "vorn-test");

  ws_client wrong;
  EXPECT_TRUE(wrong.connect(plain_port(), "/ws/anything", "chat"));
  EXPECT_EQ(wrong.res.result_int(), 400);
  ws_client none;
  EXPECT_TRUE(none.connect(plain_port(), "/ws/anything", ""));
  ws_client nopath;
  EXPECT_TRUE(nopath.connect(plain_port(), "/elsewhere", "vorn-test"));
  EXPECT_EQ(nopath.res.result_int(), 404);
}

// what this proves: text and binary messages reach the handler with their opcode, handler calls never
// overlap, and call_closure_free runs exactly once after the client closes
TEST_F(Http, MessagesOpcodesAndOneClosureFree) {
  {
    ws_client c;
    ASSERT_FALSE(c.connect(plain_port(), "/ws/a", "vorn-test"));
    c.send("hello", true);
    std::string bin("\x00\x01\xff", 3);
    c.send(bin, false);
    for (int i = 0; i < 200; i++) c.send("m" + std::to_string(i));
    bool text = false;
    EXPECT_EQ(c.read(&text), "hello");
    EXPECT_TRUE(text);
    EXPECT_EQ(c.read(&text), bin);
    EXPECT_FALSE(text);
    for (int i = 0; i < 200; i++) EXPECT_EQ(c.read(), "m" + std::to_string(i));
    c.s.close(websocket::close_code::normal);
  }
  EXPECT_TRUE(wait_until([] { return ws.frees.load() == 1; }));
  std::lock_guard<std::mutex> lk(ws.mu);
  ASSERT_EQ(ws.got.size(), 202u);
  EXPECT_EQ(ws.got[0], std::make_pair(1, std::string("hello")));
  EXPECT_EQ(ws.got[1].first, 2);
  EXPECT_FALSE(ws.overlap.load());
  EXPECT_EQ(ws.frees.load(), 1);
}

// what this proves: each close for what the client sent carries its own code, after the frames
// queued before it: a handler result of 1 (1008, its error frame first), a message over the size
// limit (1009), framing that breaks the protocol (1002)
TEST_F(Http, ClosesForWhatTheClientSent) {
  zint_http_limits_t l = saved;
  l.max_message_bytes = 1000;
  zint_http_limits_set(&l);
  const std::string mask = "\x11\x22\x33\x44";
  struct row {
    const char *name;
    std::string bytes; /* a message to send, or raw frames when raw */
    bool raw;
    uint16_t code;
    std::string first; /* the frames expected before the close */
  };
  const row rows[] = {
      {"handler result 1", "close-me", false, 1008, "{\"error\":\"bad\"}"},
      {"message over the limit", std::string(2000, 'b'), false, 1009, ""},
      {"ping over 125 bytes", std::string("\x89\xfe\x00\x7e", 4) + mask + std::string(126, 'p'), true, 1002, ""},
      {"fragmented ping", client_frame(0x09, "p"), true, 1002, ""},
      {"64-bit length with the top bit set", std::string("\x82\xff\x80\0\0\0\0\0\0\0", 10) + mask, true, 1002, ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    ws_client c;
    ASSERT_FALSE(c.connect(plain_port(), "/ws/a", "vorn-test"));
    if (r.raw) asio::write(c.s.next_layer(), asio::buffer(r.bytes));
    else c.send(r.bytes);
    std::string frames; /* every data frame before the close */
    beast::error_code ec;
    for (beast::flat_buffer b; !ec; b.clear()) {
      c.s.read(b, ec);
      frames += beast::buffers_to_string(b.data());
    }
    EXPECT_EQ(frames, r.first);
    EXPECT_EQ(ec, websocket::error::closed);
    EXPECT_EQ(c.s.reason().code, r.code);
  }
}

// what this proves: many threads queueing on a session while it closes neither crash nor leak; every
// call after the session's end returns false, and the closure is freed exactly once
TEST_F(Http, ConcurrentQueueWhileClosing) {
  zint_http_limits_t l = saved;
  l.outbound_queue_bytes = size_t(1) << 30; /* the client's own close ends it, not its pace */
  zint_http_limits_set(&l);
  size_t base = zint_http_open_sessions();
  ws_client c;
  auto *ctx = hold_session(c);
  ASSERT_NE(ctx, nullptr);
  std::atomic<bool> go{true};
  std::atomic<long> accepted{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; t++)
    producers.emplace_back([&, t] {
      std::string m = "frame from " + std::to_string(t);
      while (go) {
        if (zint_http_websocket_queue_msg(ctx, 1, reinterpret_cast<const unsigned char *>(m.data()), m.size()))
          accepted++;
        else if (ws.frees.load() == 1)
          break;
        else
          std::this_thread::yield(); /* a full queue: leave the loop threads their share */
      }
    });
  EXPECT_EQ(c.read(), "hold");
  for (int i = 0; i < 50; i++) EXPECT_EQ(c.read().rfind("frame from ", 0), 0u);
  c.s.close(websocket::close_code::normal); /* reads and drops frames until the close reply */
  EXPECT_TRUE(wait_until([] { return ws.frees.load() == 1; }, std::chrono::seconds(60)));
  for (auto &t : producers) t.join();
  go = false;
  EXPECT_GT(accepted.load(), 50);
  const unsigned char late[] = "late";
  EXPECT_FALSE(zint_http_websocket_queue_msg(ctx, 1, late, 4));
  EXPECT_EQ(ws.frees.load(), 1);
  EXPECT_EQ(zint_http_open_sessions(), base);
}

// what this proves: a session whose frames do not fit under its bound is ended, counted once: a
// client that reads again gets a gap-free prefix of its frames then close 1013 "client too slow",
// later frames are refused, and another session keeps receiving every frame in order
TEST_F(Http, SlowClientEndedWith1013OthersKeepReceiving) {
  /* A session keeps the bound in force when it was upgraded: the fast one has room for all. */
  zint_http_limits_t l = saved;
  l.outbound_queue_bytes = size_t(1) << 30;
  zint_http_limits_set(&l);
  ws_client slow(4096), fast;
  auto *bctx = hold_session(fast);
  ws.ctx = nullptr;
  l.outbound_queue_bytes = 64 * 1024;
  zint_http_limits_set(&l);
  uint64_t slow_before = zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT);
  auto *actx = hold_session(slow);
  ASSERT_TRUE(actx && bctx);
  EXPECT_EQ(slow.read(), "hold");
  EXPECT_EQ(fast.read(), "hold");

  std::atomic<long> received{0};
  std::atomic<bool> in_order{true};
  std::thread reader([&] {
    for (long expect = 0;; expect++) {
      std::string m = fast.read();
      if (m == "end") return;
      if (std::stol(m.substr(0, m.find(' '))) != expect) in_order = false;
      received++;
    }
  });
  std::string pad(1000, 'x');
  long sent_b = 0, refused_a_at = -1;
  auto q = [&](zint_http_session_ctx *s, long n) {
    std::string m = std::to_string(n) + " " + pad;
    return zint_http_websocket_queue_msg(s, 1, reinterpret_cast<const unsigned char *>(m.data()), m.size());
  };
  for (long i = 0; i < 200000 && refused_a_at < 0; i++) {
    if (!q(actx, sent_b)) refused_a_at = i;
    while (!q(bctx, sent_b)) std::this_thread::yield(); /* the fast reader drains; never ended */
    sent_b++;
  }
  ASSERT_GE(refused_a_at, 0);
  /* Read at once: a client that takes nothing for a second is cut off instead. */
  long got = 0;
  beast::error_code ec;
  for (;;) {
    beast::flat_buffer b;
    slow.s.read(b, ec);
    if (ec) break;
    ASSERT_EQ(std::stol(beast::buffers_to_string(b.data())), got);
    got++;
  }
  EXPECT_EQ(ec, websocket::error::closed);
  EXPECT_EQ(slow.s.reason().code, 1013);
  EXPECT_EQ(slow.s.reason().reason, "client too slow");
  EXPECT_GT(got, 0);
  EXPECT_LE(got, refused_a_at); /* frames not yet taken by the writer are dropped */
  for (int i = 0; i < 200; i++, sent_b++) {
    EXPECT_FALSE(q(actx, sent_b));
    while (!q(bctx, sent_b)) std::this_thread::yield();
  }
  const unsigned char end[] = "end";
  while (!zint_http_websocket_queue_msg(bctx, 1, end, 3)) std::this_thread::yield();
  reader.join();
  EXPECT_EQ(received.load(), sent_b);
  EXPECT_TRUE(in_order.load());
  EXPECT_EQ(zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT), slow_before + 1);
  zint_http_ctx_session_release(bctx);
}

// what this proves: pongs count against the bound: a peer that pings and never reads is ended as
// too slow, and its connection is cut within the close deadline although it never takes the close
TEST_F(Http, PingsWithoutReadingEndAsSlowClient) {
  zint_http_limits_t l = saved;
  l.outbound_queue_bytes = 64 * 1024;
  zint_http_limits_set(&l);
  uint64_t slow_before = zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT);
  size_t base = zint_http_open_sessions();
  ws_client c(4096);
  ASSERT_FALSE(c.connect(plain_port(), "/ws/p", "vorn-test"));
  tcp::socket &sock = c.s.next_layer();
  struct timeval tv = {10, 0};
  setsockopt(sock.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  /* Pings with the largest payload, so that the kernel's buffers fill after a few MB. */
  std::string ping;
  for (int i = 0; i < 512; i++) ping += client_frame(0x89, std::string(125, 'p'));
  std::atomic<bool> stop{false};
  std::thread flooder([&] {
    beast::error_code ec;
    while (!stop && !ec) asio::write(sock, asio::buffer(ping), ec);
  });
  EXPECT_TRUE(wait_until([&] { return zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT) == slow_before + 1; },
                         std::chrono::seconds(60)));
  auto ended_at = std::chrono::steady_clock::now();
  /* Without the deadline it would stay until the idle timeout (90 s). */
  EXPECT_TRUE(wait_until([&] { return zint_http_open_sessions() == base; }, std::chrono::seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - ended_at, std::chrono::seconds(5));
  stop = true;
  flooder.join();
  EXPECT_EQ(zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT), slow_before + 1);
}

// what this proves: frames written while the peer does not read (the socket takes only part of a
// batch, the rest waits for it to drain) arrive whole and in order once it reads, and a session
// that gets frames faster than one call writes them yields and still delivers every one
TEST_F(Http, WritesTheSocketTakesInPartArriveWholeAndInOrder) {
  zint_http_limits_t l = saved;
  l.outbound_queue_bytes = 16 * 1024 * 1024;
  zint_http_limits_set(&l);
  ws_client c(4096);
  auto *s = hold_session(c);
  ASSERT_TRUE(s);
  EXPECT_EQ(c.read(), "hold");
  std::string body(7000, 'y');
  const int n = 1200; /* about 8 MiB: far beyond what both socket buffers hold */
  for (int i = 0; i < n; i++) {
    std::string m = std::to_string(i) + " " + body;
    ASSERT_TRUE(zint_http_websocket_queue_msg(s, 1, reinterpret_cast<const unsigned char *>(m.data()), m.size()));
  }
  for (int i = 0; i < n; i++) {
    std::string m = c.read();
    ASSERT_EQ(m.substr(0, m.find(' ')), std::to_string(i));
    ASSERT_EQ(m.size(), std::to_string(i).size() + 1 + body.size());
  }
  /* Small frames one by one, each waking the writer on its own. */
  for (int i = 0; i < 2000; i++) {
    std::string m = "s" + std::to_string(i);
    ASSERT_TRUE(zint_http_websocket_queue_msg(s, 1, reinterpret_cast<const unsigned char *>(m.data()), m.size()));
  }
  for (int i = 0; i < 2000; i++) ASSERT_EQ(c.read(), "s" + std::to_string(i));
  /* the fixture releases the session's reference */
}

// what this proves: the same bytes queued to several sessions in a row share one copy, and a caller
// that rewrites its buffer in place between two calls still gets the new bytes delivered
TEST_F(Http, BroadcastSharesCopyButNeverStaleBytes) {
  ws_client c1, c2, c3;
  auto *s1 = hold_session(c1);
  ws.ctx = nullptr;
  auto *s2 = hold_session(c2);
  ws.ctx = nullptr;
  auto *s3 = hold_session(c3);
  for (auto *c : {&c1, &c2, &c3}) EXPECT_EQ(c->read(), "hold");
  unsigned char buf[] = "broadcast AAAA";
  size_t before = zint_http_websocket_copies();
  EXPECT_TRUE(zint_http_websocket_queue_msg(s1, 1, buf, sizeof buf - 1));
  EXPECT_TRUE(zint_http_websocket_queue_msg(s2, 1, buf, sizeof buf - 1));
  memcpy(buf + 10, "BBBB", 4);
  EXPECT_TRUE(zint_http_websocket_queue_msg(s3, 1, buf, sizeof buf - 1));
  EXPECT_EQ(zint_http_websocket_copies() - before, 2u);
  EXPECT_EQ(c1.read(), "broadcast AAAA");
  EXPECT_EQ(c2.read(), "broadcast AAAA");
  EXPECT_EQ(c3.read(), "broadcast BBBB");
  zint_http_ctx_session_release(s1);
  zint_http_ctx_session_release(s2);
}

// what this proves: between defer_begin and defer_flush frames are accepted but no session writes;
// the flush sends every one, in order and with its opcode, including bodies that need the 2-byte and
// 8-byte frame lengths; a flush without a begin does nothing
TEST_F(Http, DeferredWakeupsHoldWritesUntilFlush) {
  ws_client c1, c2;
  auto *s1 = hold_session(c1);
  ws.ctx = nullptr;
  auto *s2 = hold_session(c2);
  EXPECT_EQ(c1.read(), "hold");
  EXPECT_EQ(c2.read(), "hold");
  zint_http_websocket_defer_flush();
  const std::string small = "one", mid(300, 'm'), big(70000, 'b');
  auto q = [](zint_http_session_ctx *s, int op, const std::string &m) {
    return zint_http_websocket_queue_msg(s, op, reinterpret_cast<const unsigned char *>(m.data()), m.size());
  };
  zint_http_websocket_defer_begin();
  for (auto *s : {s1, s2}) {
    EXPECT_TRUE(q(s, 1, small));
    EXPECT_TRUE(q(s, 2, mid));
    EXPECT_TRUE(q(s, 1, big));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(c1.s.next_layer().available(), 0u) << "a deferred session wrote before the flush";
  EXPECT_EQ(c2.s.next_layer().available(), 0u);
  zint_http_websocket_defer_flush();
  for (auto *c : {&c1, &c2}) {
    bool text = false;
    EXPECT_EQ(c->read(&text), small);
    EXPECT_TRUE(text);
    EXPECT_EQ(c->read(&text), mid);
    EXPECT_FALSE(text);
    EXPECT_EQ(c->read(&text), big);
    EXPECT_TRUE(text);
  }
  /* Back to immediate wake-ups. */
  EXPECT_TRUE(q(s1, 1, small));
  EXPECT_EQ(c1.read(), small);
  zint_http_ctx_session_release(s1);
}

// what this proves: deferred flushes within one flush interval are merged: the first after a quiet
// interval writes at once, the next is held (nothing written) until the interval is up and then
// delivered, not lost; an interval of 0 writes every flush at once
TEST_F(Http, DeferredFlushesWithinAnIntervalGoTogether) {
  zint_http_limits_t saved, l;
  zint_http_limits_get(&saved);
  l = saved;
  l.flush_interval_us = 500000;
  zint_http_limits_set(&l);
  ws_client c1;
  auto *s1 = hold_session(c1);
  EXPECT_EQ(c1.read(), "hold");
  auto send = [&](const std::string &m) {
    zint_http_websocket_defer_begin();
    EXPECT_TRUE(zint_http_websocket_queue_msg(s1, 1, reinterpret_cast<const unsigned char *>(m.data()), m.size()));
    zint_http_websocket_defer_flush();
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(550)); /* no flush in the last interval */
  send("first");
  EXPECT_EQ(c1.read(), "first");
  /* The writer goes on with whatever is queued when its write completes: let that happen first. */
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto t0 = std::chrono::steady_clock::now();
  send("second");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(c1.s.next_layer().available(), 0u) << "a flush within the interval wrote at once";
  EXPECT_EQ(c1.read(), "second");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));

  l.flush_interval_us = 0;
  zint_http_limits_set(&l);
  std::this_thread::sleep_for(std::chrono::milliseconds(550)); /* the held timer, if any, is done */
  for (const char *m : {"third", "fourth"}) {
    send(m);
    EXPECT_EQ(c1.read(), m);
  }
  zint_http_limits_set(&saved);
  /* s1 is still in ws.ctx: the fixture releases it. */
}


// what this proves: a session that gives its websocket state back between messages still reads a
// frame whose header arrives in pieces, continues a fragmented message across reads, answers a ping
// and completes the close handshake afterwards
TEST_F(Http, IdleSessionKeepsFramingAcrossReads) {
  ws_client c;
  ASSERT_FALSE(c.connect(plain_port(), "/ws/a", "vorn-test"));
  c.send("first");
  EXPECT_EQ(c.read(), "first");
  auto raw = [&](const std::string &bytes) {
    asio::write(c.s.next_layer(), asio::buffer(bytes));
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); /* a separate read on the server */
  };
  std::string f = client_frame(0x81, "split header");
  raw(f.substr(0, 1));
  raw(f.substr(1, 3));
  raw(f.substr(4));
  EXPECT_EQ(c.read(), "split header");
  raw(client_frame(0x01, "frag-"));
  raw(client_frame(0x80, "mented"));
  EXPECT_EQ(c.read(), "frag-mented");
  bool pong = false;
  c.s.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::pong) pong = true;
  });
  c.s.ping({});
  c.send("after ping");
  EXPECT_EQ(c.read(), "after ping");
  EXPECT_TRUE(pong);
  c.s.close(websocket::close_code::normal);
  EXPECT_TRUE(wait_until([] { return ws.frees.load() == 1; }));
}

// what this proves: a client that only listens (answering pings inside its reads) outlives three idle
// timeouts and still receives, while a peer that answers nothing is dropped after the idle timeout
TEST_F(Http, ListenerSurvivesIdleTimeoutsSilentPeerDropped) {
  zint_http_limits_t l = saved;
  l.ping_interval_ms = 100;
  l.idle_timeout_ms = 300;
  zint_http_limits_set(&l);
  size_t base = zint_http_open_sessions();
  ws_client c;
  auto *ctx = hold_session(c);
  EXPECT_EQ(c.read(), "hold");
  /* The held peer reads all along, so it answers every ping and outlives several idle timeouts. */
  std::atomic<bool> got{false};
  std::thread reader([&] {
    try {
      for (std::string m; (m = c.read()) != "bye";)
        if (m == "still here") got = true;
    } catch (const std::exception &) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000)); /* the time itself is under test */
  const unsigned char m[] = "still here";
  EXPECT_TRUE(zint_http_websocket_queue_msg(ctx, 1, m, sizeof m - 1));
  EXPECT_TRUE(wait_until([&] { return got.load(); }));
  EXPECT_EQ(ws.frees.load(), 0);

  /* A raw peer that upgrades and then never reads or answers is dropped; the answering one stays. */
  asio::io_context ioc;
  tcp::socket raw(ioc);
  raw.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(plain_port())));
  std::string req = "GET /ws/raw HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                    "Sec-WebSocket-Protocol: vorn-test\r\n\r\n";
  asio::write(raw, asio::buffer(req));
  EXPECT_TRUE(wait_until([&] { return zint_http_open_sessions() == base + 2; }));
  EXPECT_TRUE(wait_until([&] { return zint_http_open_sessions() == base + 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(400)); /* more than one idle timeout */
  EXPECT_EQ(zint_http_open_sessions(), base + 1);
  EXPECT_EQ(ws.frees.load(), 0);
  const unsigned char bye[] = "bye";
  EXPECT_TRUE(zint_http_websocket_queue_msg(ctx, 1, bye, sizeof bye - 1));
  reader.join();
}

// what this proves: TLS listeners serve REST and websocket sessions with a certificate made at run time
TEST_F(Http, TlsRestAndWebsocket) {
  ASSERT_GT(tls_port(), 0);
  asio::io_context ioc;
  asio::ssl::context sctx(asio::ssl::context::tls_client);
  sctx.load_verify_file(cert().cert_file);
  sctx.set_verify_mode(asio::ssl::verify_peer);
  {
    beast::ssl_stream<tcp::socket> s(ioc, sctx);
    s.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(tls_port())));
    set_recv_timeout(s.next_layer());
    s.handshake(asio::ssl::stream_base::client);
    http::request<http::empty_body> req{http::verb::get, "/t/item/5/z", 11};
    req.set(http::field::host, "localhost");
    http::write(s, req);
    beast::flat_buffer b;
    http::response<http::string_body> res;
    http::read(s, b, res);
    EXPECT_EQ(res.body(), "2,5,z");
  }
  websocket::stream<beast::ssl_stream<tcp::socket>> w(ioc, sctx);
  beast::get_lowest_layer(w).connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), uint16_t(tls_port())));
  set_recv_timeout(beast::get_lowest_layer(w));
  w.next_layer().handshake(asio::ssl::stream_base::client);
  w.set_option(websocket::stream_base::decorator(
      [](websocket::request_type &r) { r.set(http::field::sec_websocket_protocol, "vorn-test"); }));
  w.handshake("localhost", "/ws/tls");
  w.write(asio::buffer(std::string("over tls")));
  beast::flat_buffer b;
  w.read(b);
  EXPECT_EQ(beast::buffers_to_string(b.data()), "over tls");
  w.close(websocket::close_code::normal);
  EXPECT_TRUE(wait_until([] { return ws.frees.load() == 1; }));
}
