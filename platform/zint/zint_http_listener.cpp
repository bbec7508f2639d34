/* zint HTTP listeners: the acceptors on a pool's event loop, admission against the global and the
 * listener's connection bounds (over them a connection is answered 503, past BUSY_ANSWERS_MAX closed
 * unanswered), TLS contexts, and the <listeners> configuration. */
#include "zint/zint_http_internal.h"

#include "zint/eventer_asio.h"
#include "zint/zint_conf.h"

#include <boost/asio/dispatch.hpp>

#include <cstdlib>

using namespace zint_http_impl;

namespace {

/* Connections over the bound that are being answered at once; beyond this they are closed unanswered,
 * so a flood cannot make the answering itself the resource it exhausts. */
constexpr size_t BUSY_ANSWERS_MAX = 64;

struct listener {
  std::string address;
  int port = 0;
  std::atomic<size_t> max_conns{0}; /* 0: only the global bound */
  std::atomic<size_t> conns{0};     /* admitted connections of this listener */
  tcp::acceptor acc;
  std::shared_ptr<asio::ssl::context> ssl_ctx;
  asio::steady_timer retry;
  asio::io_context &ioc;
  explicit listener(asio::io_context &c) : acc(c), retry(c), ioc(c) {}

  /* Counts the connection against the global and the listener's bound; false (and nothing
   * counted, the refusal reported) when either is full. */
  bool admit(zint_http_session_ctx *s) {
    size_t gmax = limits_snapshot().max_connections, lmax = max_conns.load(std::memory_order_relaxed);
    size_t g = admitted_conns.fetch_add(1, std::memory_order_relaxed) + 1;
    size_t l = conns.fetch_add(1, std::memory_order_relaxed) + 1;
    if ((gmax && g > gmax) || (lmax && l > lmax)) {
      admitted_conns.fetch_sub(1, std::memory_order_relaxed);
      conns.fetch_sub(1, std::memory_order_relaxed);
      refused(ZINT_HTTP_REFUSED_CONNECTIONS);
      return false;
    }
    s->admitted = true;
    s->listener_conns = &conns;
    return true;
  }

  void do_accept() {
    auto *s = new zint_http_session_ctx(ioc);
    s->plain.emplace(s->strand);
    acc.async_accept(*s->plain, [this, s](error_code ec) {
      if (ec) {
        delete s; /* never started: no operation refers to it */
        if (ec == asio::error::operation_aborted) return;
        /* Out of descriptors and the like: try again shortly instead of spinning. */
        zint_log(zint_error, "accept on %s:%d failed: %s\n", address.c_str(), port, ec.message().c_str());
        retry.expires_after(std::chrono::milliseconds(100));
        retry.async_wait([this](error_code) { do_accept(); });
        return;
      }
      if (!admit(s)) {
        /* Answering costs a little; past that, the connection is simply closed. */
        if (busy_answers.fetch_add(1, std::memory_order_relaxed) >= BUSY_ANSWERS_MAX) {
          busy_answers.fetch_sub(1, std::memory_order_relaxed);
          error_code ec2;
          s->plain->close(ec2);
          delete s;
          do_accept();
          return;
        }
        s->busy = true;
      }
      /* Samples are small frames written as they come: without this, a frame written while the
       * previous one is not yet acknowledged waits for the peer's delayed acknowledgement. */
      error_code nd;
      s->plain->set_option(tcp::no_delay(true), nd);
      if (ssl_ctx) {
        s->ssl_ctx = ssl_ctx;
        s->tls = std::make_unique<asio::ssl::stream<tcp::socket>>(std::move(*s->plain), *ssl_ctx);
        s->plain.reset();
      }
      asio::dispatch(s->strand, [s] { s->start(); });
      do_accept();
    });
  }
};

/* The listeners are allocated once and never destroyed: pool threads may still be serving a
 * connection, or ending one, while the process exits. */
std::mutex listeners_mu;
/* Never shrinks; listeners_mu. A session counts itself out of its listener when it ends. */
std::vector<std::unique_ptr<listener>> &listeners = *new std::vector<std::unique_ptr<listener>>;

} // namespace

int zint_listener_add(const char *address, int port, const char *certificate_file,
                      const char *key_file, eventer_pool_t *pool) {
  if (!address || port < 0 || port > 65535 || (!certificate_file != !key_file)) {
    zint_log(zint_error, "listener: bad address, port or ssl settings\n");
    return -1;
  }
  if (!pool) pool = eventer_pool("default");
  if (!pool) {
    zint_log(zint_error, "listener: no event pool to run on\n");
    return -1;
  }
  auto &ioc = eventer_pool_io_context(pool);
  auto l = std::make_unique<listener>(ioc);
  l->address = address;
  error_code ec;
  auto addr = asio::ip::make_address(address, ec);
  if (ec) {
    zint_log(zint_error, "listener: bad address '%s'\n", address);
    return -1;
  }
  if (certificate_file) {
    l->ssl_ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    l->ssl_ctx->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                            asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                            asio::ssl::context::no_tlsv1_1);
    l->ssl_ctx->use_certificate_chain_file(certificate_file, ec);
    if (!ec) l->ssl_ctx->use_private_key_file(key_file, asio::ssl::context::pem, ec);
    if (ec) {
      zint_log(zint_error, "listener %s:%d: cannot load certificate '%s' / key '%s': %s\n", address,
               port, certificate_file, key_file, ec.message().c_str());
      return -1;
    }
  }
  tcp::endpoint ep(addr, uint16_t(port));
  l->acc.open(ep.protocol(), ec);
  if (!ec) l->acc.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) l->acc.bind(ep, ec);
  if (!ec) l->acc.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    zint_log(zint_error, "cannot listen on %s:%d: %s\n", address, port, ec.message().c_str());
    return -1;
  }
  l->port = l->acc.local_endpoint(ec).port();
  zint_log(zint_error, "listening on %s:%d\n", address, l->port);
  std::lock_guard<std::mutex> lk(listeners_mu);
  listeners.push_back(std::move(l));
  listeners.back()->do_accept();
  return int(listeners.size() - 1);
}

void zint_listener_set_max_connections(int index, size_t max) {
  std::lock_guard<std::mutex> lk(listeners_mu);
  if (index < 0 || size_t(index) >= listeners.size()) return;
  listeners[size_t(index)]->max_conns.store(max, std::memory_order_relaxed);
}

int zint_listener_bound_port(int index) {
  std::lock_guard<std::mutex> lk(listeners_mu);
  if (index < 0 || size_t(index) >= listeners.size()) return -1;
  return listeners[size_t(index)]->port;
}

int zint_listener_count(void) {
  std::lock_guard<std::mutex> lk(listeners_mu);
  return int(listeners.size());
}

int zint_listener_init(const char *appname) {
  (void)appname;
  int rv = 0;
  bool require_tls = false;
  char *rt = nullptr;
  if (zint_conf_get_string(ZINT_CONF_ROOT, "//listeners/@require_tls", &rt) &&
      !zint_conf_get_boolean(ZINT_CONF_ROOT, "//listeners/@require_tls", &require_tls)) {
    /* The operator meant to say something about TLS: take the safe reading. */
    zint_log(zint_error, "listeners: require_tls=\"%s\" is not a boolean; plain listeners refused\n", rt);
    require_tls = true;
  }
  free(rt);
  auto elems = zint_conf_get_elements("//listeners/listener");
  for (size_t i = 0; i < elems.size(); i++) {
    auto &a = elems[i];
    auto ait = a.find("address");
    auto pit = a.find("port");
    uint64_t port = 0;
    if (ait == a.end() || pit == a.end() || !zint_conf_parse_u64(pit->second, 65535, &port)) {
      zint_log(zint_error, "listener %zu: needs address and a port in 0..65535\n", i + 1);
      rv = -1;
      continue;
    }
    std::string xp = "(//listeners/listener)[" + std::to_string(i + 1) + "]/ssl";
    auto ssl = zint_conf_get_elements(xp.c_str());
    const char *cert = nullptr, *key = nullptr;
    if (!ssl.empty()) {
      auto c = ssl[0].find("certificate_file"), k = ssl[0].find("key_file");
      if (c == ssl[0].end() || k == ssl[0].end()) {
        zint_log(zint_error, "listener %s:%llu: <ssl> needs certificate_file and key_file\n",
                 ait->second.c_str(), (unsigned long long)port);
        rv = -1;
        continue;
      }
      cert = c->second.c_str();
      key = k->second.c_str();
    }
    if (require_tls && !cert) {
      zint_log(zint_error, "listener %s:%llu: not started, require_tls is set and it has no <ssl>\n",
               ait->second.c_str(), (unsigned long long)port);
      rv = -1;
      continue;
    }
    uint64_t maxc = 0;
    auto mit = a.find("max_connections");
    if (mit != a.end() && !zint_conf_parse_u64(mit->second, UINT32_MAX, &maxc)) {
      zint_log(zint_error, "listener %s:%llu: ignoring max_connections=\"%s\" (not a number in range)\n",
               ait->second.c_str(), (unsigned long long)port, mit->second.c_str());
      maxc = 0;
    }
    int idx = zint_listener_add(ait->second.c_str(), int(port), cert, key, nullptr);
    if (idx < 0) rv = -1;
    else if (maxc) zint_listener_set_max_connections(idx, size_t(maxc));
  }
  return rv;
}
