/* Tests of the HTTP/REST and websocket server through real sockets on loopback. */
#include "zint/zint_http.h"

#include "support/test_cert.h"
#include "support/wait.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using namespace std::chrono_literals;

namespace {

const test_cert &cert() {
  static test_cert tc = test_cert_make();
  return tc;
}
int listener(bool tls = false) {
  return zint_listener_add("127.0.0.1", 0, tls ? cert().cert_file.c_str() : nullptr, tls ? cert().key_file.c_str() : nullptr, nullptr);
}
int plain() {
  static int port = zint_listener_bound_port(listener());
  return port;
}

/* One connection to the server (with a small receive buffer when rcvbuf is set): raw HTTP or a websocket. */
struct client {
  asio::io_context ioc;
  websocket::stream<asio::ip::tcp::socket> ws{ioc};
  asio::ip::tcp::socket &sock = ws.next_layer();
  beast::flat_buffer buf;
  explicit client(int port = plain(), int rcvbuf = 0) {
    sock.open(asio::ip::tcp::v4());
    if (rcvbuf) sock.set_option(asio::socket_base::receive_buffer_size(rcvbuf));
    sock.connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port});
    struct timeval tv = {10, 0};
    setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  /* Sends bytes and reads one response: "status body [chunked] [retry N]", or "closed". */
  std::string exchange(const std::string &bytes) {
    beast::error_code ec;
    http::response<http::string_body> res;
    asio::write(sock, asio::buffer(bytes), ec);
    if (!ec) http::read(sock, buf, res, ec);
    if (ec) return ec == http::error::end_of_stream || ec == asio::error::connection_reset || ec == asio::error::broken_pipe ? "closed" : ec.message();
    std::string retry(res[http::field::retry_after]);
    return std::to_string(res.result_int()) + " " + res.body() + (res.chunked() ? " [chunked]" : "") + (retry.empty() ? "" : " [retry " + retry + "]");
  }
  void upgrade() {
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type &r) { r.set("Sec-WebSocket-Protocol", "chat, vorn-test"); }));
    websocket::response_type res;
    ws.handshake(res, "127.0.0.1", "/ws/x");
    EXPECT_EQ(res["Sec-WebSocket-Protocol"], "vorn-test");
  }
  void send(const std::string &m) { ws.write(asio::buffer(m)); }
  /* n messages joined by "|", binary ones marked "b:"; with to_close, every message up to the
   * server's close and then "close <code>". */
  std::string reads(int n = 1, bool to_close = false) {
    std::string out;
    beast::error_code ec;
    for (beast::flat_buffer b; to_close || n-- > 0; b.clear()) {
      ws.read(b, ec);
      if (ec) return out + (ec == websocket::error::closed ? "close " + std::to_string(ws.reason().code) : ec.message());
      out += std::string(to_close || out.empty() ? "" : "|") + (ws.got_text() ? "" : "b:") + beast::buffers_to_string(b.data()) + (to_close ? "|" : "");
    }
    return out;
  }
};

/* One masked client frame. */
std::string frame(uint8_t fin_opcode, const std::string &payload) {
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  std::string f(1, char(fin_opcode));
  if (payload.size() < 126) f += char(0x80 | payload.size());
  else f += {char(0xfe), char(payload.size() >> 8), char(payload.size())};
  f.append(key, 4);
  for (size_t i = 0; i < payload.size(); i++) f += char(payload[i] ^ key[i % 4]);
  return f;
}
bool queue(zint_http_session_ctx *s, const std::string &m, int opcode = 1) {
  return zint_http_websocket_queue_msg(s, opcode, reinterpret_cast<const unsigned char *>(m.data()), m.size());
}

std::atomic<int> rest_frees{0}, ws_frees{0}, in_handler{0}, overlaps{0}, hooked[ZINT_HTTP_REFUSAL_KINDS];
std::atomic<zint_http_session_ctx *> held{nullptr}; /* one reference while set */
void count_rest_free(void *p) { rest_frees++, delete (int *) p; }
void count_ws_free(void *p) { ws_frees++, delete (int *) p; }

int echo_captures(zint_http_rest_closure_t *restc, int npats, char **pats) {
  std::string body = std::to_string(npats);
  for (int i = 0; i < npats; i++) body += std::string(",") + pats[i];
  zint_http_response_append(restc->http_ctx, body.data(), body.size());
  return !zint_http_response_end(restc->http_ctx);
}
/* Answers like the statistics endpoint: chunked when allowed, else closing. */
int chunked_or_close(zint_http_rest_closure_t *restc, int, char **) {
  if (!restc->call_closure) restc->call_closure = new int(1), restc->call_closure_free = count_rest_free;
  if (!zint_http_response_option_set(restc->http_ctx, ZINT_HTTP_CHUNKED)) zint_http_response_option_set(restc->http_ctx, ZINT_HTTP_CLOSE);
  for (int i = 0; i < 3; i++) zint_http_response_append(restc->http_ctx, "{\"a\":1}", 7);
  return !zint_http_response_end(restc->http_ctx);
}
/* Echoes every message; "hold" keeps a reference in held, "close-me" answers then returns 1. */
int ws_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t len) {
  overlaps += in_handler++ != 0;
  if (!restc->call_closure) restc->call_closure = new int(7), restc->call_closure_free = count_ws_free;
  std::string text(reinterpret_cast<const char *>(msg), len);
  if (text == "hold") zint_http_session_ref_inc(restc->http_ctx), held = restc->http_ctx;
  queue(restc->http_ctx, text == "close-me" ? "{\"error\":\"bad\"}" : text, opcode);
  in_handler--;
  return text == "close-me";
}
/* Upgrades c and returns its session context (one reference, for the caller to release). */
zint_http_session_ctx *hold(client &c) {
  c.upgrade();
  c.send("hold");
  EXPECT_EQ(c.reads(), "hold");
  return held.exchange(nullptr);
}
template <typename T> void limit(T zint_http_limits_t::*field, T v) {
  zint_http_limits_t l;
  zint_http_limits_get(&l);
  l.*field = v;
  zint_http_limits_set(&l);
}

class Http : public ::testing::Test {
 protected:
  zint_http_limits_t saved{};
  void SetUp() override {
    static bool once = [] {
      for (const char *method : {"GET", "POST"}) zint_http_rest_register(method, "/t/", "^item/([0-9]+)/(.*)$", echo_captures);
      zint_http_rest_register("GET", "/", "^chunky$", chunked_or_close);
      zint_http_rest_register("GET", "/", "^silent$", [](zint_http_rest_closure_t *, int, char **) { return 0; });
      zint_http_rest_websocket_register("/ws/", "^(.*)$", "vorn-test", ws_handler);
      zint_http_set_refusal_hook([](zint_http_refusal_t why) { hooked[why]++; });
      return true;
    }();
    ASSERT_TRUE(once && plain() > 0 && !cert().cert_file.empty());
    zint_http_limits_get(&saved);
    rest_frees = ws_frees = overlaps = 0;
  }
  void TearDown() override { /* sessions end asynchronously and must not count in the next test */
    EXPECT_TRUE(vorn_test::wait_until([] { return zint_http_open_sessions() == 0 && zint_http_live_sessions() == 0; }, 30s));
    zint_http_limits_set(&saved);
    zint_http_allowed_origins_set(nullptr, 0);
  }
};

}  // namespace

// what this proves: requests are routed with their captures over kept-alive connections, answered
// chunked or closing as the protocol allows, and every request a proxy could read differently or that
// would hold the buffer without end is answered with its status and the connection closed; refused
// upgrades and plain HTTP on a TLS listener get readable answers; each refusal is counted once
TEST_F(Http, RequestRows) {
  limit<size_t>(&zint_http_limits_t::max_message_bytes, 1000);
  const char *origins[] = {"https://dash.example.com", "http://127.0.0.1:8080"};
  zint_http_allowed_origins_set(origins, 2);
  const int tls = zint_listener_bound_port(listener(true));
  auto req = [](const std::string &start, const std::string &headers = "") { return start + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n"; };
  const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\n", proto = "Sec-WebSocket-Protocol: vorn-test\r\n";
  const std::string chunked = req("POST /t/item/1/c", "Transfer-Encoding: chunked\r\n"), again = req("GET /t/item/1/x");
  std::string trailers; /* trailers that pass the header limit with their last byte */
  while (trailers.size() + 101 <= 16384 - 5) trailers += "X-T: " + std::string(94, 'a') + "\r\n";
  trailers += "X-U: " + std::string(16384 - 5 + 1 - trailers.size() - 5, 'u');
  const std::string kept = " | 200 2,1,x", closed = " | closed", chunky = "200 {\"a\":1}{\"a\":1}{\"a\":1}";
  const std::string te = "400 unsupported transfer-encoding\n | closed", host = "400 request needs one Host header\n | closed";
  const int size = ZINT_HTTP_REFUSED_MESSAGE_SIZE, origin = ZINT_HTTP_REFUSED_ORIGIN;
  struct row {
    std::string bytes, want;
    int refusal = -1, port = 0;
  } rows[] = {
      {req("GET /t/item/42/rest/of?x=1"), "200 2,42,rest/of" + kept},
      {req("GET /t/item/1/" + std::string(2030, 'a')), "200 2,1," + std::string(2030, 'a') + kept},
      {req("GET /t/item/1/" + std::string(3000, 'a')), "414 request path too long\n" + closed},
      {req("GET /t/item/abc/x"), "404 not found\n" + kept}, {req("GET /ws/not-an-upgrade"), "404 not found\n" + kept},
      {req("GET /silent"), "500 handler produced no response\n" + kept}, {req("GET /chunky"), chunky + " [chunked]" + kept},
      {"GET /chunky HTTP/1.0\r\nHost: x\r\n\r\n", chunky + closed},
      {req("POST /t/item/1/c", "Content-Length: 1000\r\n") + std::string(1000, 'c'), "200 2,1,c" + kept},
      {req("POST /t/item/1/c", "Content-Length: 1001\r\n") + std::string(1001, 'c'), "413 request body too large\n" + closed, size},
      {chunked + "3;name=\"value\"\r\nabc\r\n0\r\nX-Trailer: t\r\n\r\n", "200 2,1,c" + kept},
      {chunked + "3;" + std::string(4095, 'e'), "400 chunk line too long\n" + closed},
      {chunked + "3\r\nabc\r\n0\r\n" + trailers, "431 trailers too large\n" + closed},
      {chunked + "3e9\r\n", "413 request body too large\n" + closed, size},
      {"NOT HTTP AT ALL\r\n\r\n", "400 malformed request\n" + closed},
      {req("POST /t/item/1/c", "Transfer-Encoding: gzip\r\n") + again, te},
      {req("POST /t/item/1/c", "Transfer-Encoding: xchunked\r\n") + again, te},
      {req("POST /t/item/1/c", "Transfer-Encoding: chunked, gzip\r\n") + again, te},
      {req("POST /t/item/1/c", "Transfer-Encoding: gzip, chunked\r\n") + "0\r\n\r\n" + again, te},
      {req("POST /t/item/1/c", "Transfer-Encoding: \r\n") + again, te}, {"GET /t/item/1/x HTTP/1.1\r\n\r\n", host},
      {req("GET /t/item/1/x", "Host: b\r\n"), host},
      {req("GET /ws/x", upgrade + "Sec-WebSocket-Protocol: chat\r\n"), "400 no supported websocket sub-protocol offered\n" + closed},
      {req("GET /elsewhere", upgrade + proto), "404 not found\n" + closed},
      {req("GET /ws/x", upgrade + proto + "Origin: https://evil.example\r\n"), "403 origin not allowed\n" + closed, origin},
      {req("GET /ws/x", upgrade + proto + "Origin: https://dash.example.com\r\nOrigin: https://evil.example\r\n"),
       "403 origin not allowed\n" + closed, origin},
      {req("GET /t/item/1/x"), "400 this listener requires TLS\n" + closed, ZINT_HTTP_REFUSED_PLAINTEXT, tls},
  };
  auto tally = [] { /* every refusal counter and its hook calls */
    std::vector<uint64_t> t;
    for (int k = 0; k < ZINT_HTTP_REFUSAL_KINDS; k++) t.push_back(zint_http_refusals((zint_http_refusal_t) k)), t.push_back(hooked[k]);
    return t;
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.bytes.substr(0, 100));
    std::vector<uint64_t> want = tally();
    if (r.refusal >= 0) want[2 * r.refusal]++, want[2 * r.refusal + 1]++;
    client c(r.port ? r.port : plain());
    std::string first = c.exchange(r.bytes);
    EXPECT_EQ(first + " | " + c.exchange(again), r.want);
    EXPECT_EQ(tally(), want);
  }
  EXPECT_TRUE(zint_http_origin_allowed("HTTPS://Dash.Example.com") && zint_http_origin_allowed(nullptr));
  for (const char *o : {"https://dash.example.com.evil.example", "https://dash.example.com:8443", "null", ""})
    EXPECT_FALSE(zint_http_origin_allowed(o)) << o;
  EXPECT_TRUE(vorn_test::wait_until([] { return rest_frees == 2; })) << "the closure is freed once per connection";
  EXPECT_EQ(zint_http_rest_register("GET", "/", "([unclosed", echo_captures), -1);
  EXPECT_EQ(zint_http_rest_websocket_register("/", "^x$", "", ws_handler), -1);
}

// what this proves: messages reach the handler with their opcode, also when a frame header arrives
// in pieces or a message in fragments; each close carries its own code after the frames queued
// before it: handler result 1 (1008), a message over the limit (1009, counted), broken framing (1002)
TEST_F(Http, WebsocketRows) {
  limit<size_t>(&zint_http_limits_t::max_message_bytes, 1000);
  const std::string bye = frame(0x81, "close-me"), err = "{\"error\":\"bad\"}|close 1008", split = frame(0x81, "split header");
  struct row {
    std::vector<std::string> pieces; /* written one by one */
    std::string want;
  } rows[] = {
      {{bye}, err},
      {{frame(0x81, std::string(1000, 'a')) + frame(0x82, std::string("\0\xff", 2)) + bye}, std::string(1000, 'a') + "|b:" + std::string("\0\xff", 2) + "|" + err},
      {{frame(0x81, std::string(1001, 'a'))}, "close 1009"},
      {{split.substr(0, 1), split.substr(1, 3), split.substr(4), bye}, "split header|" + err},
      {{frame(0x01, "frag-"), frame(0x80, "mented"), bye}, "frag-mented|" + err},
      {{std::string("\x89\xfe\x00\x7e\x11\x22\x33\x44", 8) + std::string(126, 'p')}, "close 1002"},
      {{frame(0x09, "p")}, "close 1002"},
      {{std::string("\x82\xff\x80\0\0\0\0\0\0\0\x11\x22\x33\x44", 14)}, "close 1002"},
  };
  uint64_t oversize = zint_http_refusals(ZINT_HTTP_REFUSED_MESSAGE_SIZE);
  for (const row &r : rows) {
    SCOPED_TRACE(r.want);
    client c;
    c.upgrade();
    for (const std::string &p : r.pieces) {
      asio::write(c.sock, asio::buffer(p));
      std::this_thread::sleep_for(20ms); /* a separate read on the server: nothing to wait for */
    }
    EXPECT_EQ(c.reads(0, true), r.want);
  }
  EXPECT_EQ(zint_http_refusals(ZINT_HTTP_REFUSED_MESSAGE_SIZE), oversize + 1);
  EXPECT_TRUE(vorn_test::wait_until([&] { return ws_frees == 4; })) << "once per session that reached the handler";
  EXPECT_EQ(overlaps.load(), 0);
}

// what this proves: threads queueing on a session while its client closes neither crash nor leak;
// every call after the end returns false and the closure is freed exactly once (TSan, ASan)
TEST_F(Http, ConcurrentQueueWhileClosing) {
  limit<size_t>(&zint_http_limits_t::outbound_queue_bytes, size_t(1) << 30);
  client c;
  zint_http_session_ctx *ctx = hold(c);
  std::atomic<long> accepted{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; t++)
    producers.emplace_back([&, t] {
      while (ws_frees == 0) queue(ctx, "frame from " + std::to_string(t)) ? accepted++ : (std::this_thread::yield(), 0);
    });
  for (int i = 0; i < 50; i++) EXPECT_EQ(c.reads().rfind("frame from ", 0), 0u);
  c.ws.close(websocket::close_code::normal); /* reads and drops frames until the close reply */
  EXPECT_TRUE(vorn_test::wait_until([] { return ws_frees == 1; }, 60s));
  for (auto &t : producers) t.join();
  EXPECT_GT(accepted.load(), 50);
  EXPECT_FALSE(queue(ctx, "late"));
  zint_http_ctx_session_release(ctx);
  EXPECT_EQ(ws_frees.load(), 1);
}

// what this proves: a session whose frames do not fit under its bound is ended and counted once: it
// gets a gap-free prefix of its frames then close 1013 "client too slow" and later frames are refused,
// while a session upgraded under a larger bound receives every frame in order (partly written to a
// full socket); the same bytes queued to several sessions in a row share one copy, but a buffer
// rewritten in place between two calls is copied again
TEST_F(Http, SlowClientEndedOthersReceiveEverything) {
  limit<size_t>(&zint_http_limits_t::outbound_queue_bytes, size_t(1) << 30);
  client slow(plain(), 4096), fast(plain(), 4096), third;
  zint_http_session_ctx *b = hold(fast), *t = hold(third);
  limit<size_t>(&zint_http_limits_t::outbound_queue_bytes, 64 * 1024);
  zint_http_session_ctx *a = hold(slow);
  uint64_t before = zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT);
  std::atomic<long> received{0}, disorder{0};
  std::thread reader([&] {
    for (long n = 0;; n++) {
      std::string m = fast.reads();
      if (m == "end") return;
      disorder += std::stol(m) != n || m.size() != std::to_string(n).size() + 7001;
      received++;
    }
  });
  const std::string pad(7000, 'x');
  long sent = 0, refused_at = -1;
  for (; sent < 200000 && refused_at < 0; sent++) {
    std::string m = std::to_string(sent) + " " + pad;
    if (!queue(a, m)) refused_at = sent;
    while (!queue(b, m)) std::this_thread::yield(); /* the fast reader drains; never ended */
  }
  ASSERT_GE(refused_at, 0);
  long frames = 0, in_order = 0;
  beast::error_code ec;
  for (beast::flat_buffer m; slow.ws.read(m, ec), !ec; m.clear(), frames++)
    in_order += std::stol(beast::buffers_to_string(m.data())) == frames;
  EXPECT_EQ(ec, websocket::error::closed);
  EXPECT_EQ(std::to_string(slow.ws.reason().code) + " " + std::string(slow.ws.reason().reason.data(), slow.ws.reason().reason.size()), "1013 client too slow");
  EXPECT_TRUE(frames > 0 && frames <= refused_at && in_order == frames) << frames << " " << in_order;
  EXPECT_FALSE(queue(a, "after the end"));
  while (!queue(b, "end")) std::this_thread::yield();
  reader.join();
  EXPECT_EQ(received.load(), sent);
  EXPECT_EQ(disorder.load(), 0);
  EXPECT_EQ(zint_http_refusals(ZINT_HTTP_REFUSED_SLOW_CLIENT), before + 1);

  unsigned char buf[] = "broadcast AAAA";
  size_t copies = zint_http_websocket_copies();
  EXPECT_TRUE(zint_http_websocket_queue_msg(b, 1, buf, 14) && zint_http_websocket_queue_msg(t, 1, buf, 14));
  memcpy(buf + 10, "BBBB", 4);
  EXPECT_TRUE(zint_http_websocket_queue_msg(t, 1, buf, 14));
  EXPECT_EQ(zint_http_websocket_copies() - copies, 2u);
  EXPECT_EQ(fast.reads(), "broadcast AAAA");
  EXPECT_EQ(third.reads(2), "broadcast AAAA|broadcast BBBB");
  for (auto *s : {a, b, t}) zint_http_ctx_session_release(s);
}
