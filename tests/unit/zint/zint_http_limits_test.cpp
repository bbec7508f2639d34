/* Tests of the server's protective refusals with real clients over loopback: connection bounds
 * (global and per listener) answered 503, oversized websocket messages and bodies, websocket
 * origins, plain HTTP on a TLS listener, and the listener settings read from the configuration.
 * Every refusal must reach the service's hook exactly once. */
#include "zint/zint_conf.h"
#include "zint/zint_http.h"

#include "support/test_cert.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
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

std::atomic<int> hooked[ZINT_HTTP_REFUSAL_KINDS];
void record_refusal(zint_http_refusal_t why) { hooked[why]++; }

int ok_handler(zint_http_rest_closure_t *restc, int, char **) {
  zint_http_response_append(restc->http_ctx, "ok", 2);
  zint_http_response_end(restc->http_ctx);
  return 0;
}

/* A response far larger than what the socket buffers of both ends hold. */
int big_handler(zint_http_rest_closure_t *restc, int, char **) {
  std::string body(16 << 20, 'b');
  zint_http_response_append(restc->http_ctx, body.data(), body.size());
  zint_http_response_end(restc->http_ctx);
  return 0;
}

int echo_ws(zint_http_rest_closure_t *restc, int opcode, const unsigned char *msg, size_t len) {
  zint_http_websocket_queue_msg(restc->http_ctx, opcode, msg, len);
  return 0;
}

void register_once() {
  static bool done = [] {
    zint_http_rest_register("GET", "/lim/", "^ok$", ok_handler);
    zint_http_rest_register("POST", "/lim/", "^ok$", ok_handler);
    zint_http_rest_register("GET", "/lim/", "^big$", big_handler);
    zint_http_rest_websocket_register("/lim/", "^ws$", "lim-test", echo_ws);
    zint_http_set_refusal_hook(record_refusal);
    return true;
  }();
  (void) done;
}

int add_listener(const char *cert = nullptr, const char *key = nullptr) {
  int idx = zint_listener_add("127.0.0.1", 0, cert, key, nullptr);
  return idx;
}

const test_cert &cert() {
  static test_cert tc = test_cert_make();
  return tc;
}

struct reply {
  int status = 0;
  std::string body, retry_after, error;
};

/* One request on a fresh connection; origin "" sends none. */
reply request(int port, http::verb verb, const std::string &target, const std::string &body = "") {
  reply out;
  asio::io_context ioc;
  tcp::socket s(ioc);
  beast::error_code ec;
  s.connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port}, ec);
  if (ec) return out.error = ec.message(), out;
  struct timeval tv = {10, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  http::request<http::string_body> req{verb, target, 11};
  req.set(http::field::host, "127.0.0.1");
  req.body() = body;
  req.prepare_payload();
  http::write(s, req, ec);
  beast::flat_buffer b;
  http::response<http::string_body> res;
  if (!ec) http::read(s, b, res, ec);
  if (ec) return out.error = ec.message(), out;
  out.status = res.result_int();
  out.body = res.body();
  out.retry_after = std::string(res[http::field::retry_after]);
  return out;
}

struct raw_reply {
  int status = 0;
  bool closed = false; /* the server closed the connection after its answer */
};

/* Sends bytes as they are on a fresh connection; the first answer, and whether the connection then
 * ends (no second answer to bytes that would make another request). */
raw_reply raw_exchange(int port, const std::string &bytes) {
  raw_reply out;
  asio::io_context ioc;
  tcp::socket s(ioc);
  beast::error_code ec;
  s.connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port}, ec);
  struct timeval tv = {10, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  asio::write(s, asio::buffer(bytes), ec);
  beast::flat_buffer b;
  http::response<http::string_body> res;
  http::read(s, b, res, ec);
  if (ec) return out;
  out.status = res.result_int();
  char c;
  s.read_some(asio::buffer(&c, 1), ec);
  out.closed = b.size() == 0 && (ec == asio::error::eof || ec == asio::error::connection_reset);
  return out;
}

struct ws_client {
  asio::io_context ioc;
  websocket::stream<tcp::socket> s{ioc};
  int status = 0; /* HTTP status of a refused upgrade */
  std::string body;
  /* Empty on success, else why. */
  std::string open(int port, const std::string &origin = "") {
    beast::error_code ec;
    s.next_layer().connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port}, ec);
    if (ec) return ec.message();
    struct timeval tv = {10, 0};
    setsockopt(s.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    s.set_option(websocket::stream_base::decorator([origin](websocket::request_type &r) {
      r.set(http::field::sec_websocket_protocol, "lim-test");
      if (!origin.empty()) r.set(http::field::origin, origin);
    }));
    websocket::response_type res;
    s.handshake(res, "127.0.0.1", "/lim/ws", ec);
    status = res.result_int();
    body = res.body();
    return ec ? ec.message() : "";
  }
  std::string echo(const std::string &text) {
    beast::error_code ec;
    s.write(asio::buffer(text), ec);
    beast::flat_buffer b;
    if (!ec) s.read(b, ec);
    return ec ? "<" + ec.message() + ">" : beast::buffers_to_string(b.data());
  }
};

uint64_t refusals(zint_http_refusal_t k) { return zint_http_refusals(k); }

class HttpLimits : public ::testing::Test {
 protected:
  zint_http_limits_t saved{};
  void SetUp() override {
    register_once();
    zint_http_limits_get(&saved);
    zint_http_allowed_origins_set(nullptr, 0);
    ASSERT_TRUE(wait_until([] { return zint_http_open_sessions() == 0; }, std::chrono::seconds(30)));
  }
  void TearDown() override {
    EXPECT_TRUE(wait_until([] { return zint_http_open_sessions() == 0; }, std::chrono::seconds(30)));
    zint_http_limits_set(&saved);
    zint_http_allowed_origins_set(nullptr, 0);
  }
};

} // namespace

// what this proves: a listener's own bound answers the connection after the last one 503 with
// Retry-After and "too many connections", counts it once, leaves the admitted sessions working, and
// admits again once a session has ended; other listeners are not affected by it
TEST_F(HttpLimits, PerListenerBoundAnswers503AndRecovers) {
  int idx = add_listener();
  ASSERT_GE(idx, 0);
  int port = zint_listener_bound_port(idx);
  zint_listener_set_max_connections(idx, 2);
  int other = zint_listener_bound_port(add_listener());

  auto a = std::make_unique<ws_client>(), b = std::make_unique<ws_client>();
  ASSERT_EQ(a->open(port), "");
  ASSERT_EQ(b->open(port), "");
  uint64_t before = refusals(ZINT_HTTP_REFUSED_CONNECTIONS);
  int hooked_before = hooked[ZINT_HTTP_REFUSED_CONNECTIONS];

  reply r = request(port, http::verb::get, "/lim/ok");
  EXPECT_EQ(r.status, 503) << r.error;
  EXPECT_EQ(r.body, "too many connections\n");
  EXPECT_EQ(r.retry_after, "1");
  ws_client c;
  EXPECT_NE(c.open(port), "");
  EXPECT_EQ(c.status, 503);
  EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_CONNECTIONS), before + 2);
  EXPECT_EQ(hooked[ZINT_HTTP_REFUSED_CONNECTIONS], hooked_before + 2);

  EXPECT_EQ(request(other, http::verb::get, "/lim/ok").status, 200);
  EXPECT_EQ(a->echo("still here"), "still here");

  a.reset();
  EXPECT_TRUE(wait_until([&] { return request(port, http::verb::get, "/lim/ok").status == 200; }));
  EXPECT_EQ(b->echo("b"), "b");
}

// what this proves: the global bound counts the connections of every listener together, and a
// refused connection does not use up a place (the count goes back once the refusal is answered)
TEST_F(HttpLimits, GlobalBoundAcrossListeners) {
  int p1 = zint_listener_bound_port(add_listener()), p2 = zint_listener_bound_port(add_listener());
  zint_http_limits_t l = saved;
  l.max_connections = 2;
  zint_http_limits_set(&l);
  ws_client a, b;
  ASSERT_EQ(a.open(p1), "");
  ASSERT_EQ(b.open(p2), "");
  for (int i = 0; i < 3; i++) EXPECT_EQ(request(i % 2 ? p1 : p2, http::verb::get, "/lim/ok").status, 503);
  EXPECT_EQ(a.echo("x"), "x");
  l.max_connections = 3;
  zint_http_limits_set(&l);
  EXPECT_EQ(request(p1, http::verb::get, "/lim/ok").status, 200);
  l.max_connections = 0; /* no bound */
  zint_http_limits_set(&l);
  std::vector<std::unique_ptr<ws_client>> many;
  for (int i = 0; i < 5; i++) {
    many.push_back(std::make_unique<ws_client>());
    EXPECT_EQ(many.back()->open(p2), "");
  }
}

// what this proves: a websocket message over max_message_bytes closes the session with 1009 and is
// counted once; a request body over it is answered 413 and counted; messages at the bound pass
TEST_F(HttpLimits, OversizeMessageAndBodyCounted) {
  int port = zint_listener_bound_port(add_listener());
  zint_http_limits_t l = saved;
  l.max_message_bytes = 100;
  zint_http_limits_set(&l);
  uint64_t before = refusals(ZINT_HTTP_REFUSED_MESSAGE_SIZE);
  int hooked_before = hooked[ZINT_HTTP_REFUSED_MESSAGE_SIZE];
  {
    ws_client c;
    ASSERT_EQ(c.open(port), "");
    EXPECT_EQ(c.echo(std::string(100, 'a')), std::string(100, 'a'));
    EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_MESSAGE_SIZE), before);
    EXPECT_EQ(c.echo(std::string(101, 'b')), "<The WebSocket stream was gracefully closed at both endpoints>");
    EXPECT_EQ(c.s.reason().code, 1009);
  }
  EXPECT_TRUE(wait_until([&] { return refusals(ZINT_HTTP_REFUSED_MESSAGE_SIZE) == before + 1; }));
  EXPECT_EQ(request(port, http::verb::post, "/lim/ok", std::string(100, 'c')).status, 200);
  EXPECT_EQ(request(port, http::verb::post, "/lim/ok", std::string(101, 'c')).status, 413);
  EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_MESSAGE_SIZE), before + 2);
  EXPECT_EQ(hooked[ZINT_HTTP_REFUSED_MESSAGE_SIZE], hooked_before + 2);
}

// what this proves: requests a proxy could read differently, or that would hold the connection's
// buffer without end, are answered with their status and the connection is closed (nothing after
// them is served as a request); a chunked body within the bounds, with extensions and trailers, is
// served
TEST_F(HttpLimits, HostileRequestsRefusedAndClosed) {
  int port = zint_listener_bound_port(add_listener());
  zint_http_limits_t l = saved;
  l.max_message_bytes = 1000;
  zint_http_limits_set(&l);
  const std::string post = "POST /lim/ok HTTP/1.1\r\nHost: x\r\n";
  const std::string chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string smuggled = "GET /lim/ok HTTP/1.1\r\nHost: x\r\n\r\n";
  /* Trailers that pass the header limit with their last byte ("\r\n0\r\n" is left unparsed too). */
  std::string trailers;
  while (trailers.size() + 101 <= 16384 - 5) trailers += "X-T: " + std::string(94, 'a') + "\r\n";
  trailers += "X-U: " + std::string(16384 - 5 + 1 - trailers.size() - 5, 'u');
  struct row {
    const char *name;
    std::string bytes;
    int status;
  };
  const row rows[] = {
      {"not HTTP", "NOT HTTP AT ALL\r\n\r\n", 400},
      {"chunked within bounds", post + "Connection: close\r\nTransfer-Encoding: chunked\r\n\r\n"
                                       "3;name=\"value\"\r\nabc\r\n0\r\nX-Trailer: t\r\n\r\n", 200},
      {"chunk extension past the line bound", chunked + "3;" + std::string(4095, 'e'), 400},
      {"trailers past the header limit", chunked + "3\r\nabc\r\n0\r\n" + trailers, 431},
      {"chunked body over max_message_bytes", chunked + "3e9\r\n", 413},
      {"transfer-encoding gzip", post + "Transfer-Encoding: gzip\r\n\r\n" + smuggled, 400},
      {"transfer-encoding xchunked", post + "Transfer-Encoding: xchunked\r\n\r\n" + smuggled, 400},
      {"transfer-encoding chunked, gzip", post + "Transfer-Encoding: chunked, gzip\r\n\r\n" + smuggled, 400},
      {"transfer-encoding gzip, chunked", post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + smuggled, 400},
      {"empty transfer-encoding", post + "Transfer-Encoding: \r\n\r\n" + smuggled, 400},
      {"no Host", "GET /lim/ok HTTP/1.1\r\n\r\n", 400},
      {"two Hosts", "GET /lim/ok HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    raw_reply got = raw_exchange(port, r.bytes);
    EXPECT_EQ(got.status, r.status);
    EXPECT_TRUE(got.closed);
  }
}

// what this proves: a response the peer does not read is abandoned after write_timeout_ms and its
// connection closed; the peer gets a part of it, never all
TEST_F(HttpLimits, UnreadResponseAbandonedAfterWriteDeadline) {
  int port = zint_listener_bound_port(add_listener());
  zint_http_limits_t l = saved;
  l.write_timeout_ms = 200;
  zint_http_limits_set(&l);
  asio::io_context ioc;
  tcp::socket s(ioc);
  s.open(tcp::v4());
  s.set_option(asio::socket_base::receive_buffer_size(4096));
  s.connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port});
  struct timeval tv = {10, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  asio::write(s, asio::buffer(std::string("GET /lim/big HTTP/1.1\r\nHost: x\r\n\r\n")));
  /* The server may not have taken the connection yet; without the deadline the write would then
   * wait for the reader for ever. */
  ASSERT_TRUE(wait_until([] { return zint_http_open_sessions() == 1; }));
  EXPECT_TRUE(wait_until([] { return zint_http_open_sessions() == 0; }));
  size_t got = 0;
  beast::error_code ec;
  char buf[65536];
  while (!ec) got += s.read_some(asio::buffer(buf), ec);
  EXPECT_TRUE(ec == asio::error::eof || ec == asio::error::connection_reset) << ec.message();
  EXPECT_LT(got, size_t(16 << 20));
}

// what this proves: with an origin list, an upgrade naming another origin is answered 403 "origin not
// allowed" and counted; listed origins match without regard to case; an upgrade without Origin is
// accepted; "*" and an empty list accept every origin, but never two Origin headers; plain REST
// requests are not affected
TEST_F(HttpLimits, WebsocketOrigins) {
  EXPECT_TRUE(zint_http_origin_allowed("https://anything.example"));
  const char *list[] = {"https://dash.example.com", "http://127.0.0.1:8080"};
  zint_http_allowed_origins_set(list, 2);
  EXPECT_TRUE(zint_http_origin_allowed(nullptr));
  EXPECT_TRUE(zint_http_origin_allowed("HTTPS://Dash.Example.com"));
  EXPECT_FALSE(zint_http_origin_allowed("https://dash.example.com.evil.example"));
  EXPECT_FALSE(zint_http_origin_allowed("https://dash.example.com:8443"));
  EXPECT_FALSE(zint_http_origin_allowed("null"));
  EXPECT_FALSE(zint_http_origin_allowed(""));

  int port = zint_listener_bound_port(add_listener());
  uint64_t before = refusals(ZINT_HTTP_REFUSED_ORIGIN);
  {
    ws_client c;
    EXPECT_NE(c.open(port, "https://evil.example"), "");
    EXPECT_EQ(c.status, 403);
    EXPECT_EQ(c.body, "origin not allowed\n");
  }
  EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_ORIGIN), before + 1);
  {
    ws_client good, none;
    EXPECT_EQ(good.open(port, "https://DASH.example.com"), "");
    EXPECT_EQ(good.echo("hi"), "hi");
    EXPECT_EQ(none.open(port), "");
  }
  EXPECT_EQ(request(port, http::verb::get, "/lim/ok").status, 200);
  const char *star[] = {"*"};
  zint_http_allowed_origins_set(star, 1);
  ws_client any;
  EXPECT_EQ(any.open(port, "https://evil.example"), "");
  EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_ORIGIN), before + 1);
  /* Two Origin headers: refused even when every origin is allowed, for a proxy may check the other. */
  raw_reply two = raw_exchange(port, "GET /lim/ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                     "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: lim-test\r\n"
                                     "Origin: https://dash.example.com\r\nOrigin: https://evil.example\r\n\r\n");
  EXPECT_EQ(two.status, 403);
  EXPECT_TRUE(two.closed);
  EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_ORIGIN), before + 2);
}

// what this proves: plain HTTP spoken to a TLS listener gets a readable 400 "this listener requires
// TLS" (not a silent reset), is counted, and TLS clients of the same listener keep working
TEST_F(HttpLimits, PlainHttpOnTlsListenerRefused) {
  ASSERT_FALSE(cert().cert_file.empty());
  int port = zint_listener_bound_port(add_listener(cert().cert_file.c_str(), cert().key_file.c_str()));
  uint64_t before = refusals(ZINT_HTTP_REFUSED_PLAINTEXT);
  reply r = request(port, http::verb::get, "/lim/ok");
  EXPECT_EQ(r.status, 400) << r.error;
  EXPECT_EQ(r.body, "this listener requires TLS\n");
  EXPECT_EQ(refusals(ZINT_HTTP_REFUSED_PLAINTEXT), before + 1);
  EXPECT_EQ(hooked[ZINT_HTTP_REFUSED_PLAINTEXT], (int) (before + 1));

  asio::io_context ioc;
  asio::ssl::context ctx(asio::ssl::context::tls_client);
  ctx.set_verify_mode(asio::ssl::verify_none);
  beast::ssl_stream<tcp::socket> s(ioc, ctx);
  s.next_layer().connect({asio::ip::make_address("127.0.0.1"), (unsigned short) port});
  s.handshake(asio::ssl::stream_base::client);
  http::request<http::empty_body> req{http::verb::get, "/lim/ok", 11};
  req.set(http::field::host, "127.0.0.1");
  http::write(s, req);
  beast::flat_buffer b;
  http::response<http::string_body> res;
  http::read(s, b, res);
  EXPECT_EQ(res.result_int(), 200);
  EXPECT_EQ(res.body(), "ok");
  beast::error_code ec;
  s.shutdown(ec);
}

// what this proves: from the configuration, <listeners require_tls> keeps plain listeners from
// starting (reported as a failure) while TLS ones start; a listener's max_connections is applied;
// <http max_connections>, write_timeout_ms and allowed_origins are read, and a non-boolean
// require_tls is taken as on
TEST_F(HttpLimits, ListenerConfiguration) {
  ASSERT_FALSE(cert().cert_file.empty());
  std::string conf = cert().dir + "/limits.conf";
  auto write = [&](const std::string &listeners_attr, const std::string &http_attrs) {
    std::ofstream(conf) << "<t><listeners " << listeners_attr << ">"
                        << "<listener address=\"127.0.0.1\" port=\"0\" max_connections=\"1\"/>"
                        << "<listener address=\"127.0.0.1\" port=\"0\"><ssl certificate_file=\""
                        << cert().cert_file << "\" key_file=\"" << cert().key_file << "\"/></listener>"
                        << "</listeners><http " << http_attrs << "/></t>";
    return zint_conf_load(conf.c_str()) == 0;
  };
  for (const char *attr : {"require_tls=\"true\"", "require_tls=\"maybe\""}) {
    ASSERT_TRUE(write(attr, ""));
    int n = zint_listener_count();
    EXPECT_EQ(zint_listener_init("test"), -1) << attr;
    ASSERT_EQ(zint_listener_count(), n + 1) << attr; /* only the TLS one */
  }

  ASSERT_TRUE(write("require_tls=\"false\"",
                    "max_connections=\"77\" write_timeout_ms=\"1234\" allowed_origins=\"https://a.example, https://b.example\""));
  int n = zint_listener_count();
  EXPECT_EQ(zint_listener_init("test"), 0);
  ASSERT_EQ(zint_listener_count(), n + 2);
  zint_http_rest_init();
  zint_http_limits_t l;
  zint_http_limits_get(&l);
  EXPECT_EQ(l.max_connections, 77u);
  EXPECT_EQ(l.write_timeout_ms, 1234u);
  EXPECT_TRUE(zint_http_origin_allowed("https://b.example"));
  EXPECT_FALSE(zint_http_origin_allowed("https://c.example"));

  int port = zint_listener_bound_port(n); /* the plain one, bounded to 1 */
  ws_client a;
  ASSERT_EQ(a.open(port), "");
  EXPECT_EQ(request(port, http::verb::get, "/lim/ok").status, 503);
}
