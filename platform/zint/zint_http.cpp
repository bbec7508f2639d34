/* zint HTTP/REST and websocket server: the connection's life (TLS start, timers, the one end that
 * frees the service's closure), limits and configuration, allowed origins, refusal counts, the
 * handler registrations, and detached sessions. The listeners, HTTP sessions, websocket sessions
 * and the broadcast queue live in zint_http_{listener,session,websocket,broadcast}.cpp. */
#include "zint/zint_http_internal.h"

#include "zint/zint_conf.h"
#include "zint/zint_websocket_client.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <shared_mutex>

using namespace zint_http_impl;

namespace {

constexpr auto TLS_HANDSHAKE_DEADLINE = std::chrono::seconds(10);
constexpr auto TLS_SHUTDOWN_WAIT = std::chrono::seconds(1);
constexpr unsigned char TLS_RECORD_HANDSHAKE = 0x16;

/* ---- limits ---- */

std::mutex limits_mu;
zint_http_limits_t limits_current = {1u << 20, 4u << 20, 30000, 90000, 10000, 2500, 10000}; /* limits_mu */

/* ---- registrations ---- */

struct rest_reg {
  std::string method, prefix;
  std::regex re;
  zint_http_rest_handler_t handler;
};
struct ws_reg {
  std::string prefix, protocol;
  std::regex re;
  zint_http_websocket_handler_t handler;
  bool batched;
};

/* The registrations and origins are allocated once and never destroyed: pool threads
 * may still be serving a connection, or ending one, while the process exits. */
std::shared_mutex &reg_mu = *new std::shared_mutex;
std::vector<rest_reg> &rest_regs = *new std::vector<rest_reg>; /* longest prefix first, then
                                                                 registration order; reg_mu */
std::vector<ws_reg> &ws_regs = *new std::vector<ws_reg>;       /* same order; reg_mu */

template <class T> void reg_insert(std::vector<T> &v, T &&r) {
  auto pos = std::find_if(v.begin(), v.end(),
                          [&](const T &x) { return x.prefix.size() < r.prefix.size(); });
  v.insert(pos, std::move(r));
}

/* Matches rest (path after prefix) and returns the captured sub-expressions. */
bool reg_match(const std::regex &re, const std::string &rest, std::vector<std::string> *caps) {
  std::smatch m;
  if (!std::regex_search(rest, m, re)) return false;
  if (caps) {
    caps->clear();
    for (size_t i = 1; i < m.size(); i++) caps->push_back(m[i].matched ? m[i].str() : std::string());
  }
  return true;
}

std::atomic<zint_http_refusal_hook_t> refusal_hook{nullptr};
std::atomic<zint_http_upgrade_hook_t> upgrade_hook_fn{nullptr};
std::atomic<uint64_t> refusal_counts[ZINT_HTTP_REFUSAL_KINDS];

/* Allowed websocket origins, lower case; empty: all. */
std::shared_mutex &origins_mu = *new std::shared_mutex;
std::vector<std::string> &allowed_origins = *new std::vector<std::string>; /* origins_mu */

std::string lower(std::string_view v) {
  std::string out(v);
  for (auto &c : out) c = char(tolower((unsigned char) c));
  return out;
}

} // namespace

/* limits_current.flush_interval_us, read without the lock by every deferred flush */
std::atomic<uint32_t> zint_http_impl::flush_interval_us{2500};

zint_http_limits_t zint_http_impl::limits_snapshot() {
  std::lock_guard<std::mutex> lk(limits_mu);
  return limits_current;
}

std::atomic<size_t> zint_http_impl::open_sessions{0};
std::atomic<size_t> zint_http_impl::live_sessions{0};
std::atomic<size_t> zint_http_impl::admitted_conns{0};
std::atomic<size_t> zint_http_impl::busy_answers{0};

void zint_http_impl::refused(zint_http_refusal_t why) {
  refusal_counts[why].fetch_add(1, std::memory_order_relaxed);
  if (auto h = refusal_hook.load(std::memory_order_acquire)) h(why);
}

zint_http_upgrade_hook_t zint_http_impl::upgrade_hook() {
  return upgrade_hook_fn.load(std::memory_order_acquire);
}

/* The service's closures of a session, each freed once: the handler's, then the hook's. */
static void free_closures(zint_http_rest_closure_t &restc) {
  if (restc.call_closure_free) {
    auto fn = restc.call_closure_free;
    restc.call_closure_free = nullptr;
    fn(restc.call_closure);
  }
  restc.call_closure = nullptr;
  if (restc.session_data_free) {
    auto fn = restc.session_data_free;
    restc.session_data_free = nullptr;
    fn(restc.session_data);
  }
  restc.session_data = nullptr;
}

zint_http_rest_handler_t zint_http_impl::rest_lookup(std::string_view method, const std::string &path,
                                                     std::vector<std::string> *caps) {
  std::shared_lock<std::shared_mutex> lk(reg_mu);
  for (const auto &r : rest_regs) {
    if (r.method != method) continue;
    if (path.compare(0, r.prefix.size(), r.prefix) != 0) continue;
    if (!reg_match(r.re, path.substr(r.prefix.size()), caps)) continue;
    return r.handler;
  }
  return nullptr;
}

zint_http_websocket_handler_t zint_http_impl::ws_lookup(const std::string &path,
                                                        const std::vector<std::string> &offered,
                                                        std::string *proto, bool *batched, bool *path_found) {
  std::shared_lock<std::shared_mutex> lk(reg_mu);
  const ws_reg *best = nullptr;
  size_t best_rank = offered.size();
  for (const auto &r : ws_regs) {
    if (path.compare(0, r.prefix.size(), r.prefix) != 0) continue;
    if (!reg_match(r.re, path.substr(r.prefix.size()), nullptr)) continue;
    *path_found = true;
    size_t rank = size_t(std::find(offered.begin(), offered.end(), r.protocol) - offered.begin());
    if (rank < best_rank) {
      best = &r;
      best_rank = rank;
    }
  }
  if (!best) return nullptr;
  *proto = best->protocol;
  *batched = best->batched;
  return best->handler;
}

/* ---- the connection ---- */

void zint_http_session_ref_inc(zint_http_session_ctx *ctx) {
  if (ctx) ctx->refs.fetch_add(1, std::memory_order_relaxed);
}

void zint_http_ctx_session_release(zint_http_session_ctx *ctx) {
  if (!ctx) return;
  if (ctx->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  /* Torn down on its own strand, never inline on a foreign thread (which may hold service locks).
   * A detached session has no strand work and nothing in its destructor that calls out. */
  if (ctx->sink || ctx->strand.running_in_this_thread()) delete ctx;
  else asio::post(ctx->strand, [ctx] { delete ctx; });
}

void zint_http_session_ctx::arm_timer(steady::duration d, void (*fn)(zint_http_session_ctx *)) {
  uint64_t gen = ++timer_gen;
  timer.expires_after(d);
  timer.async_wait([s = sref(this), gen, fn](error_code ec) {
    if (ec || s->ended || gen != s->timer_gen) return;
    fn(s.p);
  });
}

void zint_http_session_ctx::start() {
  live.count();
  open_sessions.fetch_add(1, std::memory_order_relaxed);
  if (!tls) {
    do_read_request();
    return;
  }
  arm_timer(TLS_HANDSHAKE_DEADLINE, [](zint_http_session_ctx *s) { s->close_socket(); });
  /* A TLS client starts with a handshake record; anything else is most likely plain HTTP, which
   * gets a readable refusal instead of a handshake failure it cannot explain. */
  lowest().async_receive(asio::buffer(&peek_byte, 1), asio::socket_base::message_peek,
                         [s = sref(this)](error_code ec, size_t n) {
    if (s->ended) return;
    if (ec || n == 0) {
      s->finish();
      return;
    }
    if (s->peek_byte != TLS_RECORD_HANDSHAKE) {
      s->refuse_plaintext();
      return;
    }
    s->tls->async_handshake(asio::ssl::stream_base::server, [s](error_code ec2) {
      if (s->ended) return;
      if (ec2) {
        s->finish();
        return;
      }
      s->tls_up = true;
      s->do_read_request();
    });
  });
}

void zint_http_session_ctx::refuse_plaintext() {
  static const char answer[] = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"
                               "Content-Length: 27\r\nConnection: close\r\n\r\n"
                               "this listener requires TLS\n";
  refused(ZINT_HTTP_REFUSED_PLAINTEXT);
  asio::async_write(lowest(), asio::buffer(answer, sizeof answer - 1),
                    [s = sref(this)](error_code, size_t) { s->finish(); });
}

/* close_notify, then the socket closes; a peer that does not answer within a second is cut off. */
void zint_http_session_ctx::tls_shutdown() {
  auto t = std::make_shared<asio::steady_timer>(strand, TLS_SHUTDOWN_WAIT);
  t->async_wait([s = sref(this)](error_code) { s->close_socket(); });
  tls->async_shutdown([s = sref(this), t](error_code) {
    t->cancel();
    s->close_socket();
  });
}

/* Ends the connection once: no handler runs after this, the service's closure is freed here, on
 * the strand, and queue_msg refuses from now on. The memory goes with the last reference. */
void zint_http_session_ctx::finish() {
  if (ended) return;
  ended = true;
  release_pending();
  timer_gen++;
  timer.cancel();
  if (slow_timer) slow_timer->cancel();
  if (close_timer) close_timer->cancel();
  if (admitted) {
    admitted = false;
    admitted_conns.fetch_sub(1, std::memory_order_relaxed);
    if (listener_conns) listener_conns->fetch_sub(1, std::memory_order_relaxed);
  }
  if (busy) {
    busy = false;
    busy_answers.fetch_sub(1, std::memory_order_relaxed);
  }
  if (tls && tls_up && !dropped) {
    /* Say close_notify so that TLS peers see a clean end. Pending reads and writes are cancelled
     * first: their handlers see `ended`. A write still in flight (say the reply to the peer's
     * close) must end before close_notify starts: two writes at once on one TLS stream lose
     * records, and the peer then sees its connection cut without close_notify. */
    error_code ec;
    lowest().cancel(ec);
    if (writer != ws_writer::writing) tls_shutdown(); /* else the write's completion starts it */
  } else {
    close_socket();
  }
  free_closures(restc);
  open_sessions.fetch_sub(1, std::memory_order_relaxed);
  zint_http_ctx_session_release(this); /* the connection's own reference */
}

/* Cuts the connection of a peer that takes nothing: a graceful close would leave its unsent bytes,
 * and the socket with them, in the kernel until the peer reads or the kernel gives up. */
void zint_http_session_ctx::drop() {
  if (ended) return;
  dropped = true;
  error_code ec;
  lowest().set_option(asio::socket_base::linger(true, 0), ec);
  finish();
}

/* ---- detached sessions ---- */

namespace {
/* Strand and timer owner of detached sessions; never run, since they never post work. Never
 * destroyed either: a session whose last reference goes during exit (a deferred release) still
 * destroys its timer against it. */
asio::io_context &detached_ioc() {
  static asio::io_context *ioc = new asio::io_context;
  return *ioc;
}
} // namespace

zint_http_session_ctx *zint_http_detached_session_new(zint_http_frame_sink_t sink, void *arg) {
  if (!sink) return nullptr;
  auto *s = new zint_http_session_ctx(detached_ioc());
  s->live.count();
  s->sink = sink;
  s->sink_arg = arg;
  s->accepting = true;
  return s;
}

zint_http_rest_closure_t *zint_http_session_restc(zint_http_session_ctx *ctx) {
  return ctx ? &ctx->restc : nullptr;
}

void zint_http_detached_session_end(zint_http_session_ctx *ctx) {
  if (!ctx || !ctx->sink || ctx->ended) return;
  ctx->ended = true;
  {
    std::lock_guard<std::mutex> lk(ctx->mu);
    ctx->accepting = false;
  }
  free_closures(ctx->restc);
  zint_http_ctx_session_release(ctx);
}

/* ---- registration ---- */

int zint_http_rest_register(const char *method, const char *prefix, const char *regex,
                            zint_http_rest_handler_t handler) {
  if (!method || !prefix || !regex || !handler) {
    zint_log(zint_error, "zint_http_rest_register: null argument\n");
    return -1;
  }
  rest_reg r;
  try {
    r.re = std::regex(regex);
  } catch (const std::regex_error &e) {
    zint_log(zint_error, "zint_http_rest_register: bad regex '%s': %s\n", regex, e.what());
    return -1;
  }
  r.method = method;
  r.prefix = prefix;
  r.handler = handler;
  std::unique_lock<std::shared_mutex> lk(reg_mu);
  reg_insert(rest_regs, std::move(r));
  return 0;
}

namespace {

int websocket_register(const char *prefix, const char *regex, const char *protocol,
                       zint_http_websocket_handler_t handler, bool batched) {
  if (!prefix || !regex || !protocol || !*protocol || !handler) {
    zint_log(zint_error, "zint_http_rest_websocket_register: null argument\n");
    return -1;
  }
  ws_reg r;
  try {
    r.re = std::regex(regex);
  } catch (const std::regex_error &e) {
    zint_log(zint_error, "zint_http_rest_websocket_register: bad regex '%s': %s\n", regex, e.what());
    return -1;
  }
  r.prefix = prefix;
  r.protocol = protocol;
  r.handler = handler;
  r.batched = batched;
  std::unique_lock<std::shared_mutex> lk(reg_mu);
  reg_insert(ws_regs, std::move(r));
  return 0;
}

} // namespace

int zint_http_rest_websocket_register(const char *prefix, const char *regex, const char *protocol,
                                      zint_http_websocket_handler_t handler) {
  return websocket_register(prefix, regex, protocol, handler, false);
}

int zint_http_rest_websocket_register_batched(const char *prefix, const char *regex, const char *protocol,
                                              zint_http_websocket_handler_t handler) {
  return websocket_register(prefix, regex, protocol, handler, true);
}

/* ---- configuration ---- */

void zint_http_limits_get(zint_http_limits_t *out) {
  if (out) *out = limits_snapshot();
}

void zint_http_limits_set(const zint_http_limits_t *in) {
  if (!in) return;
  std::lock_guard<std::mutex> lk(limits_mu);
  limits_current = *in;
  flush_interval_us.store(in->flush_interval_us, std::memory_order_relaxed);
}

void zint_http_rest_init(void) {
  zint_websocket_client_conf_init();
  auto elems = zint_conf_get_elements("//http");
  if (elems.empty()) return;
  zint_http_limits_t l = limits_snapshot();
  struct field {
    const char *name;
    uint64_t max;
    void (*set)(zint_http_limits_t &, uint64_t);
  };
  static const field fields[] = {
      {"max_message_bytes", uint64_t(1) << 31, [](zint_http_limits_t &x, uint64_t v) { x.max_message_bytes = v; }},
      {"outbound_queue_bytes", uint64_t(1) << 40, [](zint_http_limits_t &x, uint64_t v) { x.outbound_queue_bytes = v; }},
      {"ping_interval_ms", UINT32_MAX, [](zint_http_limits_t &x, uint64_t v) { x.ping_interval_ms = uint32_t(v); }},
      {"idle_timeout_ms", UINT32_MAX, [](zint_http_limits_t &x, uint64_t v) { x.idle_timeout_ms = uint32_t(v); }},
      {"max_connections", UINT32_MAX, [](zint_http_limits_t &x, uint64_t v) { x.max_connections = v; }},
      {"flush_interval_us", 1000000, [](zint_http_limits_t &x, uint64_t v) { x.flush_interval_us = uint32_t(v); }},
      {"write_timeout_ms", UINT32_MAX, [](zint_http_limits_t &x, uint64_t v) { x.write_timeout_ms = uint32_t(v); }},
  };
  for (const auto &f : fields) {
    auto it = elems[0].find(f.name);
    if (it == elems[0].end()) continue;
    uint64_t v;
    if (!zint_conf_parse_u64(it->second, f.max, &v)) {
      zint_log(zint_error, "http: ignoring %s=\"%s\" (not a number in range)\n", f.name, it->second.c_str());
      continue;
    }
    f.set(l, v);
  }
  zint_http_limits_set(&l);
  auto oit = elems[0].find("allowed_origins");
  if (oit != elems[0].end()) {
    std::vector<std::string> list;
    std::string cur;
    for (char c : oit->second + " ") {
      if (c == ' ' || c == ',' || c == '\t' || c == '\n' || c == '\r') {
        if (!cur.empty()) list.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    std::vector<const char *> ptrs;
    for (auto &o : list) ptrs.push_back(o.c_str());
    zint_http_allowed_origins_set(ptrs.data(), ptrs.size());
  }
}

void zint_http_allowed_origins_set(const char *const *origins, size_t count) {
  std::vector<std::string> v;
  for (size_t i = 0; i < count; i++)
    if (origins && origins[i] && *origins[i]) v.push_back(lower(origins[i]));
  std::unique_lock<std::shared_mutex> lk(origins_mu);
  allowed_origins.swap(v);
}

zint_boolean zint_http_origin_allowed(const char *origin) {
  if (!origin) return true;
  std::string o = lower(origin);
  std::shared_lock<std::shared_mutex> lk(origins_mu);
  if (allowed_origins.empty()) return true;
  for (const auto &a : allowed_origins)
    if (a == "*" || a == o) return true;
  return false;
}

void zint_http_set_upgrade_hook(zint_http_upgrade_hook_t hook) {
  upgrade_hook_fn.store(hook, std::memory_order_release);
}

void zint_http_set_refusal_hook(zint_http_refusal_hook_t hook) {
  refusal_hook.store(hook, std::memory_order_release);
}

uint64_t zint_http_refusals(zint_http_refusal_t why) {
  if (unsigned(why) >= ZINT_HTTP_REFUSAL_KINDS) return 0;
  return refusal_counts[why].load(std::memory_order_relaxed);
}

size_t zint_http_open_sessions(void) { return open_sessions.load(std::memory_order_relaxed); }
size_t zint_http_live_sessions(void) { return live_sessions.load(std::memory_order_acquire); }
