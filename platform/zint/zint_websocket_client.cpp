/* zint websocket client on Beast's websocket stream over a zint byte stream (plain or TLS, one
 * instantiation for both). Resolve, TCP connect, TLS and the upgrade share one deadline; afterwards
 * Beast's idle timeout with keep-alive pings ends a connection whose peer has gone silent. All work
 * of one client runs on its own strand. */
#include "zint/zint_websocket_client.h"
#include "zint/zint_byte_stream.h"
#include "zint/zint_logsafe.h"

#include "zint/eventer_asio.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

/* What the C interface hands out; the connection lives in the derived record. */
struct zint_websocket_client {
  void *closure = nullptr; /* the caller's; never touched here */
  virtual ~zint_websocket_client() = default;
  virtual bool send(int opcode, const void *buf, size_t len) = 0;
};

namespace {

typedef asio::strand<asio::io_context::executor_type> strand_t;
typedef websocket::stream<zint::byte_stream> ws_t;

/* How long a close handshake that we started may take before the socket is simply closed. */
constexpr auto CLOSE_HANDSHAKE_TIMEOUT = std::chrono::milliseconds(ZINT_WEBSOCKET_CLIENT_CLOSE_MS);

std::mutex limits_mu;
zint_websocket_client_limits_t limits_current = {10000, 60000, 16u << 20}; /* limits_mu */

zint_websocket_client_limits_t limits_snapshot() {
  std::lock_guard<std::mutex> lk(limits_mu);
  return limits_current;
}

struct wsc final : zint_websocket_client, std::enable_shared_from_this<wsc> {
  strand_t strand;
  tcp::resolver resolver;
  std::shared_ptr<asio::ssl::context> ssl_ctx; /* outlives the stream; null for plain */
  ws_t ws;
  asio::steady_timer deadline; /* connect deadline, then the deadline of a close we started */
  asio::steady_timer ticker;   /* runs cb.tick_callback while open */
  zint_websocket_client_callbacks cb;
  std::string host, port, path, protocol;
  bool verify_host = false;
  zint_websocket_client_limits_t lim;
  beast::flat_buffer rbuf;
  websocket::response_type hs_res;

  /* strand state */
  bool connected = false, finished = false, closing = false, close_after_write = false;
  bool writing = false;
  std::deque<std::pair<std::string, bool>> wq; /* (bytes, is_text) waiting to be written */
  std::shared_ptr<wsc> self;                   /* the framework's own reference until cleanup */

  std::mutex mu;
  bool accepting = false; /* send() takes messages; mu */
  std::atomic<bool> gate{false}; /* set once zint_websocket_client_new_noref is returning */

  wsc(asio::io_context &ioc, std::shared_ptr<asio::ssl::context> sctx)
      : strand(asio::make_strand(ioc)), resolver(strand), ssl_ctx(std::move(sctx)),
        ws(make_ws(strand, ssl_ctx.get())), deadline(strand), ticker(strand), lim(limits_snapshot()) {}

  static zint::byte_stream make_ws(strand_t &st, asio::ssl::context *sctx) {
    if (sctx) return zint::byte_stream(beast::tcp_stream(st), *sctx);
    return zint::byte_stream(beast::tcp_stream(st));
  }

  std::shared_ptr<wsc> ref() { return this->shared_from_this(); }

  void wait_gate() { gate.wait(false, std::memory_order_acquire); }

  void start() {
    deadline.expires_after(std::chrono::milliseconds(lim.connect_timeout_ms));
    deadline.async_wait([s = ref()](error_code ec) {
      if (ec || s->connected || s->finished) return;
      s->fail("connect deadline passed");
    });
    ws.set_option(websocket::stream_base::timeout{websocket::stream_base::none(),
                                                  websocket::stream_base::none(), false});
    resolver.async_resolve(host, port, [s = ref()](error_code ec, tcp::resolver::results_type r) {
      if (s->finished) return;
      if (ec) return s->fail(ec.message().c_str());
      s->ws.next_layer().tcp().async_connect(r, [s](error_code ec2, const tcp::endpoint &) {
        if (s->finished) return;
        if (ec2) return s->fail(ec2.message().c_str());
        s->on_connected();
      });
    });
  }

  void on_connected() {
    if (SSL *tls = ws.next_layer().tls_handle()) {
      error_code ec;
      asio::ip::make_address(host, ec);
      if (ec && !SSL_set_tlsext_host_name(tls, host.c_str())) return fail("cannot set TLS server name");
      if (verify_host) ws.next_layer().verify_host_name(host);
      ws.next_layer().async_handshake(asio::ssl::stream_base::client, [s = ref()](error_code ec2) {
        if (s->finished) return;
        if (ec2) return s->fail(ec2.message().c_str());
        s->do_upgrade();
      });
    } else {
      do_upgrade();
    }
  }

  void do_upgrade() {
    std::string proto = protocol;
    ws.set_option(websocket::stream_base::decorator([proto](websocket::request_type &req) {
      req.set(http::field::sec_websocket_protocol, proto);
    }));
    ws.read_message_max(lim.max_message_bytes);
    ws.async_handshake(hs_res, host + ":" + port, path, [s = ref()](error_code ec) {
      if (s->finished) return;
      if (ec) return s->fail(ec.message().c_str());
      auto got = s->hs_res[http::field::sec_websocket_protocol];
      if (!got.empty() && got != s->protocol) return s->fail("server chose another sub-protocol");
      s->on_open();
    });
  }

  void on_open() {
    connected = true;
    deadline.cancel();
    websocket::stream_base::timeout t{CLOSE_HANDSHAKE_TIMEOUT, websocket::stream_base::none(), false};
    if (lim.idle_timeout_ms) {
      t.idle_timeout = std::chrono::milliseconds(lim.idle_timeout_ms);
      t.keep_alive_pings = true;
    }
    ws.set_option(t);
    {
      std::lock_guard<std::mutex> lk(mu);
      accepting = true;
    }
    wait_gate();
    if (!cb.ready_callback || !cb.ready_callback(this, closure)) {
      begin_close();
      return;
    }
    do_read();
    if (cb.tick_callback) do_tick();
  }

  void do_tick() {
    ticker.expires_after(std::chrono::milliseconds(ZINT_WEBSOCKET_CLIENT_TICK_MS));
    ticker.async_wait([s = ref()](error_code ec) {
      if (ec || s->finished || s->closing) return;
      if (!s->cb.tick_callback(s.get(), s->closure)) return s->begin_close();
      s->do_tick();
    });
  }

  void do_read() {
    ws.async_read(rbuf, [s = ref()](error_code ec, size_t) {
      if (s->finished) return;
      if (ec) return s->fail(ec == websocket::error::closed ? nullptr : ec.message().c_str());
      if (s->closing) return s->do_read(); /* draining until the close reply */
      auto data = s->rbuf.cdata();
      bool ok = !s->cb.msg_callback ||
                s->cb.msg_callback(s.get(), s->ws.got_text() ? 1 : 2,
                                   static_cast<const unsigned char *>(data.data()), data.size(), s->closure);
      s->rbuf.consume(s->rbuf.size());
      if (!ok) s->begin_close();
      if (!s->finished) s->do_read();
    });
  }

  bool send(int opcode, const void *buf, size_t len) override {
    if ((opcode != 1 && opcode != 2) || (!buf && len)) return false;
    std::string copy(static_cast<const char *>(buf), len);
    {
      std::lock_guard<std::mutex> lk(mu);
      if (!accepting) return false;
    }
    asio::post(strand, [s = ref(), m = std::move(copy), text = opcode == 1]() mutable {
      if (s->finished || s->closing) return;
      s->wq.emplace_back(std::move(m), text);
      if (!s->writing) s->do_write();
    });
    return true;
  }

  void do_write() {
    writing = true;
    ws.text(wq.front().second);
    ws.async_write(asio::buffer(wq.front().first), [s = ref()](error_code ec, size_t) {
      s->writing = false;
      if (s->finished) return;
      if (ec) return s->fail(ec.message().c_str());
      if (!s->wq.empty()) s->wq.pop_front();
      if (s->close_after_write) return s->start_close();
      if (!s->wq.empty()) s->do_write();
    });
  }

  /* Stops taking messages and closes once the write in flight (Beast allows one) is done. */
  void begin_close() {
    if (closing || finished) return;
    closing = true;
    {
      std::lock_guard<std::mutex> lk(mu);
      accepting = false;
    }
    ticker.cancel();
    /* A peer that reads nothing would hold the write in flight, and with it the close, for ever. */
    deadline.expires_after(CLOSE_HANDSHAKE_TIMEOUT);
    deadline.async_wait([s = ref()](error_code ec) {
      if (!ec) s->fail("close not completed in time");
    });
    if (writing) {
      /* The front message is the write in flight: Beast still reads its bytes, and its
       * completion pops it. Dropping it here freed the buffer under the write. */
      wq.erase(wq.begin() + 1, wq.end());
      close_after_write = true;
    } else {
      wq.clear();
      start_close();
    }
  }

  void start_close() {
    close_after_write = false;
    ws.async_close(websocket::close_code::normal, [s = ref()](error_code) { s->finish(); });
  }

  void fail(const char *why) {
    if (why && !finished)
      zint_log(zint_debug, "websocket client %s:%s%s: %s\n", ZINT_LOG_TEXT(host.c_str()),
               ZINT_LOG_TEXT(port.c_str()), ZINT_LOG_TEXT(path.c_str()), ZINT_LOG_TEXT(why));
    finish();
  }

  /* The one ending: the socket is closed, then the cleanup handler runs once on the strand. */
  void finish() {
    if (finished) return;
    finished = true;
    {
      std::lock_guard<std::mutex> lk(mu);
      accepting = false;
    }
    deadline.cancel();
    ticker.cancel();
    resolver.cancel();
    error_code ec;
    ws.next_layer().tcp().socket().close(ec);
    wq.clear();
    wait_gate();
    if (cb.cleanup_callback) cb.cleanup_callback(this, closure);
    self.reset(); /* freed when the last pending operation lets go */
  }
};

bool conf_true(const std::string &v, bool *out) {
  if (!strcasecmp(v.c_str(), "true") || v == "1" || !strcasecmp(v.c_str(), "yes") || !strcasecmp(v.c_str(), "on")) {
    *out = true;
    return true;
  }
  if (!strcasecmp(v.c_str(), "false") || v == "0" || !strcasecmp(v.c_str(), "no") || !strcasecmp(v.c_str(), "off")) {
    *out = false;
    return true;
  }
  return false;
}

/* Builds the client TLS context from the settings; null (logged) when they cannot be used. */
std::shared_ptr<asio::ssl::context> make_ssl_ctx(const zint_conf_hash_t &conf, bool *verify) {
  auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  ctx->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                   asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                   asio::ssl::context::no_tlsv1_1);
  *verify = true;
  auto get = [&](const char *k) -> const std::string * {
    auto it = conf.find(k);
    return it == conf.end() || it->second.empty() ? nullptr : &it->second;
  };
  if (auto v = get("verify"); v && !conf_true(*v, verify)) {
    zint_log(zint_error, "websocket client: sslconfig verify \"%s\" is not true or false\n", v->c_str());
    return nullptr;
  }
  error_code ec;
  if (auto ca = get("ca_chain")) {
    ctx->load_verify_file(*ca, ec);
    if (ec) {
      zint_log(zint_error, "websocket client: cannot load ca_chain '%s': %s\n", ca->c_str(), ec.message().c_str());
      return nullptr;
    }
  } else if (*verify) {
    ctx->set_default_verify_paths(ec);
  }
  auto cert = get("certificate_file");
  auto key = get("key_file");
  if (key && !cert) {
    zint_log(zint_error, "websocket client: sslconfig key_file without certificate_file\n");
    return nullptr;
  }
  if (cert) {
    ctx->use_certificate_chain_file(*cert, ec);
    if (!ec) ctx->use_private_key_file(key ? *key : *cert, asio::ssl::context::pem, ec);
    if (ec) {
      zint_log(zint_error, "websocket client: cannot load certificate '%s' / key '%s': %s\n", cert->c_str(),
               key ? key->c_str() : cert->c_str(), ec.message().c_str());
      return nullptr;
    }
  }
  ctx->set_verify_mode(*verify ? asio::ssl::verify_peer : asio::ssl::verify_none);
  return ctx;
}

zint_boolean client_start(asio::io_context &ioc, std::shared_ptr<asio::ssl::context> sctx, bool verify,
                          const char *host, int port, const char *path, const char *protocol,
                          const zint_websocket_client_callbacks *callbacks, void *closure) {
  auto c = std::make_shared<wsc>(ioc, std::move(sctx));
  c->closure = closure;
  c->cb = *callbacks;
  c->host = host;
  c->port = std::to_string(port);
  c->path = path;
  c->protocol = protocol;
  c->verify_host = verify;
  c->self = c;
  asio::post(c->strand, [c] { c->start(); });
  c->gate.store(true, std::memory_order_release);
  c->gate.notify_all();
  return true;
}

} // namespace

zint_boolean zint_websocket_client_new_noref(const char *host, int port, const char *path,
                                             const char *protocol,
                                             const zint_websocket_client_callbacks *callbacks,
                                             void *closure, eventer_pool_t *pool,
                                             const zint_conf_hash_t *sslconfig) {
  if (!host || !*host || port < 1 || port > 65535 || !path || path[0] != '/' || !protocol || !*protocol ||
      !callbacks || !pool) {
    zint_log(zint_error, "websocket client: bad arguments (host, port 1..65535, path, protocol, pool)\n");
    return false;
  }
  if (strpbrk(host, "\r\n") || strpbrk(path, "\r\n") || strpbrk(protocol, "\r\n,")) {
    zint_log(zint_error, "websocket client: control characters in host, path or protocol\n");
    return false;
  }
  auto &ioc = eventer_pool_io_context(pool);
  if (sslconfig && !sslconfig->empty()) {
    bool verify = true;
    auto sctx = make_ssl_ctx(*sslconfig, &verify);
    if (!sctx) return false;
    return client_start(ioc, std::move(sctx), verify, host, port, path, protocol, callbacks, closure);
  }
  return client_start(ioc, nullptr, false, host, port, path, protocol, callbacks, closure);
}

zint_boolean zint_websocket_client_send(zint_websocket_client_t *client, int opcode, const void *buf,
                                        size_t len) {
  return client && client->send(opcode, buf, len);
}

void *zint_websocket_client_get_closure(zint_websocket_client_t *client) {
  return client ? client->closure : nullptr;
}

void zint_websocket_client_limits_get(zint_websocket_client_limits_t *out) {
  if (out) *out = limits_snapshot();
}

void zint_websocket_client_limits_set(const zint_websocket_client_limits_t *in) {
  if (!in) return;
  std::lock_guard<std::mutex> lk(limits_mu);
  limits_current = *in;
}

void zint_websocket_client_conf_init(void) {
  auto elems = zint_conf_get_elements("//websocket_client");
  if (elems.empty()) return;
  auto l = limits_snapshot();
  auto &a = elems[0];
  auto take = [&](const char *name, uint64_t max, bool zero_ok, auto set) {
    auto it = a.find(name);
    if (it == a.end()) return;
    uint64_t v;
    if (!zint_conf_parse_u64(it->second, max, &v) || (v == 0 && !zero_ok)) {
      zint_log(zint_error, "websocket_client: ignoring %s=\"%s\" (not a number in range)\n", name,
               it->second.c_str());
      return;
    }
    set(v);
  };
  take("connect_timeout_ms", UINT32_MAX, false, [&](uint64_t v) { l.connect_timeout_ms = uint32_t(v); });
  take("idle_timeout_ms", UINT32_MAX, true, [&](uint64_t v) { l.idle_timeout_ms = uint32_t(v); });
  take("max_message_bytes", uint64_t(1) << 31, false, [&](uint64_t v) { l.max_message_bytes = size_t(v); });
  zint_websocket_client_limits_set(&l);
}
