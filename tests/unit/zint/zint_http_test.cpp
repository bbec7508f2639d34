/* Tests of the HTTP/REST and websocket server through real sockets on loopback. */
#include "zint/zint_conf.h"
#include "zint/zint_http.h"

#include "support/test_cert.h"
#include "support/wait.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

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
int plain() {
  static int port = zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, nullptr, nullptr, nullptr));
  return port;
}

/* One connection to the server: raw HTTP or a websocket. */
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
  /* Sends bytes and reads one response: "status body [chunked]", or "closed". */
  std::string exchange(const std::string &bytes) {
    beast::error_code ec;
    http::response<http::string_body> res;
    asio::write(sock, asio::buffer(bytes), ec);
    if (!ec) http::read(sock, buf, res, ec);
    if (ec == http::error::end_of_stream || ec == asio::error::connection_reset) return "closed";
    if (ec == asio::error::broken_pipe) return "closed";
    if (ec) return ec.message();
    return std::to_string(res.result_int()) + " " + res.body() + (res.chunked() ? " [chunked]" : "");
  }
  void upgrade(const std::string &offer = "chat, vorn-test", const std::string &want = "vorn-test") {
    auto set = [&offer](websocket::request_type &r) { r.set("Sec-WebSocket-Protocol", offer); };
    ws.set_option(websocket::stream_base::decorator(set));
    websocket::response_type res;
    ws.handshake(res, "127.0.0.1", "/ws/x");
    EXPECT_EQ(res["Sec-WebSocket-Protocol"], want);
  }
  /* n messages joined by "|", ended by "close <code>" when the server closes first. */
  std::string reads(int n = 1) {
    std::string out;
    beast::error_code ec;
    for (beast::flat_buffer b; n-- > 0; b.clear()) {
      ws.read(b, ec);
      if (ec == websocket::error::closed)
        return out + (out.empty() ? "" : "|") + "close " + std::to_string(ws.reason().code);
      if (ec) return out + ec.message();
      out += (out.empty() ? "" : "|") + beast::buffers_to_string(b.data());
    }
    return out;
  }
};

/* One masked client frame. */
std::string frame(uint8_t fin_opcode, const std::string &payload) {
  const char key[4] = {0x11, 0x22, 0x33, 0x44};
  std::string f(1, char(fin_opcode));
  f += char(0x80 | payload.size()); /* short payloads only */
  f.append(key, 4);
  for (size_t i = 0; i < payload.size(); i++) f += char(payload[i] ^ key[i % 4]);
  return f;
}
bool queue(zint_http_session_ctx *s, const std::string &m, int opcode = 1) {
  auto bytes = reinterpret_cast<const unsigned char *>(m.data());
  return zint_http_websocket_queue_msg(s, opcode, bytes, m.size());
}

std::atomic<int> rest_frees{0}, ws_frees{0}, in_handler{0}, overlaps{0}, hooked[ZINT_HTTP_REFUSAL_KINDS];
std::atomic<zint_http_session_ctx *> held{nullptr}; /* one reference while set */
void count_free(void *p) { /* closures hold 1 for REST connections, 7 for websocket sessions */
  (*(int *) p == 1 ? rest_frees : ws_frees)++;
  delete (int *) p;
}

int echo_captures(zint_http_rest_closure_t *restc, int npats, char **pats) {
  std::string body = std::to_string(npats);
  for (int i = 0; i < npats; i++) body += std::string(",") + pats[i];
  zint_http_response_append(restc->http_ctx, body.data(), body.size());
  return !zint_http_response_end(restc->http_ctx);
}
/* Answers like the statistics endpoint: chunked when allowed, else closing. */
int chunked_or_close(zint_http_rest_closure_t *restc, int, char **) {
  if (!restc->call_closure) {
    restc->call_closure = new int(1);
    restc->call_closure_free = count_free;
  }
  if (!zint_http_response_option_set(restc->http_ctx, ZINT_HTTP_CHUNKED))
    zint_http_response_option_set(restc->http_ctx, ZINT_HTTP_CLOSE);
  for (int i = 0; i < 3; i++) zint_http_response_append(restc->http_ctx, "{\"a\":1}", 7);
  return !zint_http_response_end(restc->http_ctx);
}
int big(zint_http_rest_closure_t *restc, int, char **) {
  zint_http_response_append(restc->http_ctx, std::string(16 << 20, 'b').data(), 16 << 20);
  return !zint_http_response_end(restc->http_ctx);
}
/* Echoes every message; "hold" keeps a reference in held, "close-me" then ends the session. */
int ws_handler(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t len) {
  overlaps += in_handler++ != 0;
  if (!restc->call_closure) {
    restc->call_closure = new int(7);
    restc->call_closure_free = count_free;
  }
  std::string text(reinterpret_cast<const char *>(msg), len);
  if (text == "hold") {
    zint_http_session_ref_inc(restc->http_ctx);
    held = restc->http_ctx;
  }
  queue(restc->http_ctx, text, opcode);
  in_handler--;
  return text == "close-me";
}
/* Upgrades c and returns its session context (one reference, for the caller to release). "hold" goes
 * in two fragments, the first frame's header split over two writes (two reads on the server). */
zint_http_session_ctx *hold(client &c, const std::string &offer = "chat, vorn-test",
                            const std::string &protocol = "vorn-test") {
  c.upgrade(offer, protocol);
  const std::string frames = frame(0x01, "ho") + frame(0x80, "ld");
  asio::write(c.sock, asio::buffer(frames.substr(0, 1)));
  std::this_thread::sleep_for(20ms); /* a separate read on the server: nothing to wait for */
  asio::write(c.sock, asio::buffer(frames.substr(1)));
  EXPECT_EQ(c.reads(), "hold");
  return held.exchange(nullptr);
}
template <typename T>
void limit(T zint_http_limits_t::*field, T v) {
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
      for (const char *method : {"GET", "POST"})
        zint_http_rest_register(method, "/t/", "^item/([0-9]+)/(.*)$", echo_captures);
      zint_http_rest_register("GET", "/", "^chunky$", chunked_or_close);
      auto silent = [](zint_http_rest_closure_t *, int, char **) { return 0; };
      zint_http_rest_register("GET", "/", "^silent$", silent);
      zint_http_rest_register("GET", "/", "^big$", big);
      zint_http_rest_websocket_register("/ws/", "^(.*)$", "vorn-test", ws_handler);
      zint_http_rest_websocket_register("/ws/", "^(.*)$", "x", ws_handler);
      zint_http_rest_websocket_register_batched("/ws/", "^(.*)$", "x.batch", ws_handler);
      zint_http_set_refusal_hook([](zint_http_refusal_t why) { hooked[why]++; });
      return true;
    }();
    ASSERT_TRUE(once && plain() > 0 && !cert().cert_file.empty());
    zint_http_limits_get(&saved);
    rest_frees = 0;
    ws_frees = 0;
    overlaps = 0;
  }
  void TearDown() override { /* sessions end asynchronously and must not count in the next test */
    auto ended = [] { return zint_http_open_sessions() == 0 && zint_http_live_sessions() == 0; };
    EXPECT_TRUE(vorn_test::wait_until(ended, 30s));
    zint_http_limits_set(&saved);
    zint_http_allowed_origins_set(nullptr, 0);
  }
};

} // namespace

// what this proves: requests are routed with their captures over kept-alive connections, answered
// chunked or closing as the protocol allows, and every request a proxy could read differently or that
// would hold the buffer without end is answered with its status and the connection closed; refused
// upgrades and plain HTTP on a TLS listener get readable answers; each refusal is counted once
TEST_F(Http, RequestRows) {
  limit<size_t>(&zint_http_limits_t::max_message_bytes, 1000);
  const char *origins[] = {"https://dash.example.com", "http://127.0.0.1:8080"};
  zint_http_allowed_origins_set(origins, 2);
  const char *cf = cert().cert_file.c_str(), *kf = cert().key_file.c_str();
  const int tls = zint_listener_bound_port(zint_listener_add("127.0.0.1", 0, cf, kf, nullptr));
  auto req = [](const std::string &start, const std::string &headers = "") {
    return start + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
  };
  const std::string upgrade =
      "Upgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  const std::string ws = upgrade + "Sec-WebSocket-Protocol: vorn-test\r\n";
  const std::string chunked = req("POST /t/item/1/c", "Transfer-Encoding: chunked\r\n");
  const std::string again = req("GET /t/item/1/x");
  std::string trailers; /* trailers that pass the header limit with their last byte */
  while (trailers.size() + 101 <= 16384 - 5) trailers += "X-T: " + std::string(94, 'a') + "\r\n";
  trailers += "X-U: " + std::string(16384 - 5 + 1 - trailers.size() - 5, 'u');
  const std::string kept = " | 200 2,1,x", closed = " | closed", chunky = "200 {\"a\":1}{\"a\":1}{\"a\":1}";
  const std::string te = "400 unsupported transfer-encoding\n | closed";
  const std::string host = "400 request needs one Host header\n | closed";
  const std::string evil = "Origin: https://evil.example\r\n";
  const std::string bad_origin = "403 origin not allowed\n" + closed;
  auto te_req = [&](const std::string &v) {
    return req("POST /t/item/1/c", "Transfer-Encoding: " + v + "\r\n");
  };
  const std::string a2030(2030, 'a');
  const int size = ZINT_HTTP_REFUSED_MESSAGE_SIZE, origin = ZINT_HTTP_REFUSED_ORIGIN;
  struct row {
    std::string bytes, want;
    int refusal = -1, port = 0;
  } rows[] = {
      {req("GET /t/item/42/rest/of?x=1"), "200 2,42,rest/of" + kept},
      {req("GET /t/item/1/" + a2030), "200 2,1," + a2030 + kept},
      {req("GET /t/item/1/" + std::string(3000, 'a')), "414 request path too long\n" + closed},
      {req("GET /t/item/abc/x"), "404 not found\n" + kept},
      {req("GET /silent"), "500 handler produced no response\n" + kept},
      {req("GET /chunky"), chunky + " [chunked]" + kept},
      {"GET /chunky HTTP/1.0\r\nHost: x\r\n\r\n", chunky + closed},
      {req("POST /t/item/1/c", "Content-Length: 1000\r\n") + std::string(1000, 'c'), "200 2,1,c" + kept},
      {req("POST /t/item/1/c", "Content-Length: 1001\r\n") + std::string(1001, 'c'),
       "413 request body too large\n" + closed, size},
      {chunked + "3;name=\"value\"\r\nabc\r\n0\r\nX-Trailer: t\r\n\r\n", "200 2,1,c" + kept},
      {chunked + "3;" + std::string(4095, 'e'), "400 chunk line too long\n" + closed},
      {chunked + "3\r\nabc\r\n0\r\n" + trailers, "431 trailers too large\n" + closed},
      {chunked + "3e9\r\n", "413 request body too large\n" + closed, size},
      {"NOT HTTP AT ALL\r\n\r\n", "400 malformed request\n" + closed},
      {te_req("xchunked") + again, te},
      {te_req("chunked, gzip") + again, te},
      {te_req("gzip, chunked") + "0\r\n\r\n" + again, te},
      {"GET /t/item/1/x HTTP/1.1\r\n\r\n", host},
      {req("GET /t/item/1/x", "Host: b\r\n"), host},
      {req("GET /ws/x", ws + "Origin: https://dash.example.com\r\n" + evil), bad_origin, origin},
      {req("GET /t/item/1/x"), "400 this listener requires TLS\n" + closed, ZINT_HTTP_REFUSED_PLAINTEXT,
       tls}};
  auto tally = [] { /* every refusal counter and its hook calls */
                    std::vector<uint64_t> t;
                    for (int k = 0; k < ZINT_HTTP_REFUSAL_KINDS; k++) {
                      t.push_back(zint_http_refusals((zint_http_refusal_t) k));
                      t.push_back(hooked[k]);
                    }
                    return t;
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.bytes.substr(0, 100));
    std::vector<uint64_t> want = tally();
    if (r.refusal >= 0) {
      want[2 * r.refusal]++;
      want[2 * r.refusal + 1]++;
    }
    client c(r.port ? r.port : plain());
    std::string first = c.exchange(r.bytes);
    EXPECT_EQ(first + " | " + c.exchange(again), r.want);
    EXPECT_EQ(tally(), want);
  }
  EXPECT_TRUE(zint_http_origin_allowed("HTTPS://Dash.Example.com"));
  EXPECT_TRUE(zint_http_origin_allowed(nullptr));
  for (const char *o : {"https://dash.example.com.evil.example", "https://dash.example.com:8443", "null", ""})
    EXPECT_FALSE(zint_http_origin_allowed(o)) << o;
  EXPECT_TRUE(vorn_test::wait_until([] { return rest_frees == 2; })) << "one closure freed per connection";
}

// what this proves: the same bytes queued to sessions in a row share one copy, a buffer rewritten in
// place is copied again; deferred frames go out at the flush in order, text ones joined by "\n" into
// one frame only on a session of a batched protocol (the client's first choice wins); a session's
// flushes wait out its flush interval while another session's go at once; a message
// arrives whole from a split header and fragments; threads queueing while the client closes neither
// crash nor leak, calls after the end return false, the closure is freed once; no handler overlap
TEST_F(Http, SharedCopiesDeferredAndQueueWhileClosing) {
  limit<size_t>(&zint_http_limits_t::outbound_queue_bytes, size_t(1) << 30);
  client c, other;
  zint_http_session_ctx *ctx = hold(c), *o = hold(other);
  unsigned char buf[] = "broadcast AAAA";
  size_t copies = zint_http_websocket_copies();
  zint_http_websocket_defer_begin();
  EXPECT_TRUE(zint_http_websocket_queue_msg(ctx, 1, buf, 14));
  EXPECT_TRUE(zint_http_websocket_queue_msg(o, 1, buf, 14));
  memcpy(buf + 10, "BBBB", 4);
  EXPECT_TRUE(zint_http_websocket_queue_msg(o, 1, buf, 14));
  zint_http_websocket_defer_flush();
  EXPECT_EQ(zint_http_websocket_copies() - copies, 2u);
  EXPECT_EQ(c.reads(), "broadcast AAAA");
  EXPECT_EQ(other.reads(2), "broadcast AAAA|broadcast BBBB");
  client batching[2]; /* open to the end: their closures count in ws_frees */
  const std::tuple<std::string, std::string, int, std::string> offers[] = {
      {"x.batch, x", "x.batch", 1, "a\nb\nc"}, {"x, x.batch", "x", 3, "a|b|c"}};
  for (int i = 0; i < 2; i++) {
    const auto &[offer, protocol, frames, want] = offers[i];
    zint_http_session_ctx *s = hold(batching[i], offer, protocol);
    zint_http_websocket_defer_begin();
    for (const char *m : {"a", "b", "c"}) queue(s, m);
    zint_http_websocket_defer_flush();
    EXPECT_EQ(batching[i].reads(frames), want) << offer;
    zint_http_ctx_session_release(s);
  }
  /* The gate, per session: o, woken by its first flush, is busy for a second and its next flush waits;
   * a session the gate never woke goes at once meanwhile. */
  limit<uint32_t>(&zint_http_limits_t::flush_interval_us, 1000000);
  client quiet;
  zint_http_session_ctx *q = hold(quiet);
  const std::string first(126, 'f'); /* the first length that takes two more bytes */
  auto flush = [](zint_http_session_ctx *s, const std::string &m) {
    zint_http_websocket_defer_begin();
    queue(s, m);
    zint_http_websocket_defer_flush();
  };
  flush(o, first);
  EXPECT_EQ(other.reads(), first);
  flush(o, "second");
  flush(q, "q");
  EXPECT_EQ(quiet.reads(), "q");
  EXPECT_EQ(other.sock.available(), 0u) << "held for the rest of its interval";
  EXPECT_EQ(other.reads(), "second");
  zint_http_ctx_session_release(o);
  zint_http_ctx_session_release(q);

  std::atomic<long> accepted{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; t++)
    producers.emplace_back([&, t] {
      while (ws_frees == 0) {
        if (queue(ctx, "frame from " + std::to_string(t)))
          accepted++;
        else
          std::this_thread::yield();
      }
    });
  for (int i = 0; i < 50; i++) EXPECT_EQ(c.reads().rfind("frame from ", 0), 0u);
  c.ws.close(websocket::close_code::normal); /* reads and drops frames until the close reply */
  EXPECT_TRUE(vorn_test::wait_until([] { return ws_frees == 1; }, 60s));
  for (auto &t : producers) t.join();
  EXPECT_GT(accepted.load(), 50);
  EXPECT_FALSE(queue(ctx, "late"));
  zint_http_ctx_session_release(ctx);
  EXPECT_EQ(ws_frees.load(), 1);
  EXPECT_EQ(overlaps.load(), 0);
}

// what this proves: a fragmented control frame and a 64-bit length with its top bit set close the
// session with 1002; a handler result of 1 closes with 1008 after the frames queued before it
TEST_F(Http, FrameRows) {
  const std::string p1002 = "close 1002";
  const std::pair<std::string, std::string> rows[] = {
      {frame(0x09, "p"), p1002},
      {std::string("\x82\xff\x80\0\0\0\0\0\0\0\x11\x22\x33\x44", 14), p1002},
      {frame(0x81, "close-me"), "close-me|close 1008"}};
  for (const auto &[bytes, want] : rows) {
    SCOPED_TRACE(want);
    client c;
    c.upgrade();
    asio::write(c.sock, asio::buffer(bytes));
    EXPECT_EQ(c.reads(3), want);
  }
  EXPECT_TRUE(vorn_test::wait_until([] { return ws_frees == 1; })) << "the one session a handler saw";
}

// what this proves: a response the peer does not read is cut at the write deadline; an idle
// keep-alive connection and a websocket peer that sends nothing, only ever being pinged, are closed at
// the idle timeout (the peer with 1001) while a client that reads outlives it; require_tls keeps
// plain listeners from starting (also when it is not a boolean)
TEST_F(Http, DeadlinesAndListenerSettings) {
  limit<uint32_t>(&zint_http_limits_t::write_timeout_ms, 200);
  limit<uint32_t>(&zint_http_limits_t::ping_interval_ms, 50);
  limit<uint32_t>(&zint_http_limits_t::idle_timeout_ms, 300);
  client slow(plain(), 4096), idle;
  asio::write(slow.sock, asio::buffer(std::string("GET /big HTTP/1.1\r\nHost: x\r\n\r\n")));
  EXPECT_EQ(idle.exchange("GET /t/item/1/x HTTP/1.1\r\nHost: x\r\n\r\n"), "200 2,1,x");
  EXPECT_EQ(idle.exchange(""), "closed");
  EXPECT_TRUE(vorn_test::wait_until([] { return zint_http_open_sessions() == 0; })); /* the deadline */
  size_t got = 0;
  beast::error_code ec;
  for (char b[65536]; !ec;) got += slow.sock.read_some(asio::buffer(b), ec);
  EXPECT_LT(got, size_t(16 << 20)) << ec.message();
  ec = {};
  client reading, silent;
  zint_http_session_ctx *ctx = hold(reading);
  std::thread reader([&] { EXPECT_EQ(reading.reads(), "still here"); });
  silent.upgrade(); /* and then reads nothing, so it answers no ping */
  EXPECT_TRUE(vorn_test::wait_until([] { return zint_http_open_sessions() == 1; }));
  std::string pings_then_close;
  for (char b[256]; !ec;) pings_then_close.append(b, silent.sock.read_some(asio::buffer(b), ec));
  size_t pings = 0;
  while (pings_then_close.compare(2 * pings, 2, std::string("\x89\0", 2)) == 0) pings++;
  EXPECT_GT(pings, 0u);
  EXPECT_EQ(pings_then_close.substr(2 * pings),
            "\x88\x09\x03\xe9"
            "closing");
  EXPECT_TRUE(queue(ctx, "still here"));
  reader.join();
  zint_http_ctx_session_release(ctx);

  for (const char *attr : {"true", "maybe", "false"}) {
    std::string conf =
        std::string("<t><listeners require_tls=\"") + attr + "\">" +
        "<listener address=\"127.0.0.1\" port=\"0\"/><listener address=\"127.0.0.1\" port=\"0\">" +
        "<ssl certificate_file=\"" + cert().cert_file + "\" key_file=\"" + cert().key_file +
        "\"/></listener></listeners></t>";
    ASSERT_EQ(zint_conf_load_string(conf.c_str()), 0);
    int n = zint_listener_count();
    EXPECT_EQ(zint_listener_init("test"), attr[0] == 'f' ? 0 : -1) << attr;
    EXPECT_EQ(zint_listener_count(), n + (attr[0] == 'f' ? 2 : 1)) << attr;
  }
}
