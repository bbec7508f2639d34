/* zint HTTP/REST and websocket server. Beast parses HTTP requests and the upgrade; after the 101 the
 * session's frames are handled by wslay over the same Asio stream, so queued messages go out several
 * per write and pongs never interleave with a half-written frame. One strand per connection. */
#include "zint/zint_http.h"

#include "zint/eventer_asio.h"
#include "zint/zint_conf.h"
#include "zint/zint_logsafe.h"
#include "zint/zint_websocket_client.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <openssl/evp.h>
#include <wslay/wslay.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using steady = std::chrono::steady_clock;

namespace {

typedef asio::strand<asio::io_context::executor_type> strand_t;

constexpr size_t HTTP_HEADER_LIMIT = 16 * 1024;
/* Bytes asked of the socket per read of a request. */
constexpr size_t HTTP_READ_CHUNK = 16 * 1024;
/* One line of a chunked body's framing (a chunk-size line with its extensions, or a trailer):
 * Beast keeps a line in the read buffer until its end arrives, so the line is what bounds it. */
constexpr size_t HTTP_LINE_LIMIT = 4 * 1024;
/* Paths are matched with std::regex, whose matcher recurses per character: keep them short. */
constexpr size_t HTTP_PATH_LIMIT = 2048;
constexpr size_t WS_READ_CHUNK = 16 * 1024;
/* Bytes gathered from wslay before a write is started; more frames per system call as it grows. */
constexpr size_t WS_WRITE_BATCH = 64 * 1024;
/* Writes one pump makes straight to a plain socket before it yields the thread. */
constexpr unsigned WS_DIRECT_WRITES = 16;
constexpr auto WS_CLOSE_WAIT = std::chrono::seconds(3);
constexpr auto TLS_HANDSHAKE_DEADLINE = std::chrono::seconds(10);
constexpr auto TLS_SHUTDOWN_WAIT = std::chrono::seconds(1);
constexpr uint16_t WS_CLOSE_GOING_AWAY = 1001;
constexpr uint16_t WS_CLOSE_PROTOCOL = 1002;
constexpr uint16_t WS_CLOSE_POLICY = 1008;
constexpr uint16_t WS_CLOSE_TOO_BIG = 1009;
constexpr uint16_t WS_CLOSE_TRY_AGAIN = 1013;
/* A session ended as too slow whose close frame is not written within this is cut off: a peer that
 * reads nothing would otherwise hold it until the idle timeout. */
constexpr auto WS_SLOW_DEADLINE = std::chrono::seconds(1);
/* What one queued control frame costs beyond its payload (wslay's message record and queue entry),
 * counted against the outbound bound: a flood of empty pings must reach the bound too. */
constexpr size_t WS_CONTROL_COST = 128;
/* A connection over the bound gets this long to send its request before the 503 goes out. */
constexpr auto BUSY_REQUEST_DEADLINE = std::chrono::seconds(2);
/* Connections over the bound that are being answered at once; beyond this they are closed unanswered,
 * so a flood cannot make the answering itself the resource it exhausts. */
constexpr size_t BUSY_ANSWERS_MAX = 64;
constexpr unsigned char TLS_RECORD_HANDSHAKE = 0x16;

/* ---- limits ---- */

std::mutex limits_mu;
zint_http_limits_t limits_current = {1u << 20, 4u << 20, 30000, 90000, 10000, 1000, 10000}; /* limits_mu */
/* limits_current.flush_interval_us, read without the lock by every deferred flush */
std::atomic<uint32_t> flush_interval_us{1000};

zint_http_limits_t limits_snapshot() {
  std::lock_guard<std::mutex> lk(limits_mu);
  return limits_current;
}

/* ---- a message shared by every session it is queued on ---- */

/* Server frames are not masked, so one complete frame (header and body) serves every session: it
 * is built once per broadcast and copied straight into each session's write batch. */
constexpr size_t WS_FRAME_HEADER_MAX = 10;

struct shared_buf {
  std::atomic<uint32_t> refs; /* one per queue entry holding it, plus the thread cache */
  size_t len;                 /* body bytes */
  uint8_t opcode;
  uint8_t hlen;               /* frame header bytes before the body */
  unsigned char *frame() { return reinterpret_cast<unsigned char *>(this + 1); }
  size_t frame_len() const { return hlen + len; }
  unsigned char *data() { return frame() + hlen; }
};

std::atomic<size_t> body_copies{0};

shared_buf *shared_buf_new(int opcode, const unsigned char *p, size_t len) {
  body_copies.fetch_add(1, std::memory_order_relaxed);
  unsigned char h[WS_FRAME_HEADER_MAX];
  size_t hl = 0;
  h[hl++] = uint8_t(0x80 | (opcode & 0x0f)); /* FIN, one frame per message */
  if (len < 126) {
    h[hl++] = uint8_t(len);
  } else if (len <= 0xffff) {
    h[hl++] = 126;
    h[hl++] = uint8_t(len >> 8);
    h[hl++] = uint8_t(len);
  } else {
    h[hl++] = 127;
    for (int i = 7; i >= 0; i--) h[hl++] = uint8_t(uint64_t(len) >> (8 * i));
  }
  void *mem = ::operator new(sizeof(shared_buf) + hl + len);
  auto *b = new (mem) shared_buf;
  b->refs.store(1, std::memory_order_relaxed);
  b->len = len;
  b->opcode = uint8_t(opcode);
  b->hlen = uint8_t(hl);
  memcpy(b->frame(), h, hl);
  if (len) memcpy(b->data(), p, len);
  return b;
}

void shared_buf_unref(shared_buf *b) {
  if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    b->~shared_buf();
    ::operator delete(b);
  }
}

/* The last body queued by this thread: a broadcast queues the same bytes to session after session,
 * and each of them then takes a reference instead of a copy. Compared by content, so a caller that
 * reuses its buffer for other bytes never gets a stale body. */
struct broadcast_cache {
  shared_buf *buf = nullptr; /* one reference held; thread-private */
  ~broadcast_cache() {
    if (buf) shared_buf_unref(buf);
  }
};
thread_local broadcast_cache tl_cache;

/* Sessions whose writer this thread wakes at its next zint_http_websocket_defer_flush. */
struct deferred_posts {
  bool on = false;
  std::vector<zint_http_session_ctx *> sessions; /* one reference held on each; thread-private */
};
thread_local deferred_posts tl_deferred;

shared_buf *shared_buf_acquire(int opcode, const unsigned char *p, size_t len) {
  shared_buf *b = tl_cache.buf;
  if (b && b->len == len && b->opcode == opcode && (len == 0 || memcmp(b->data(), p, len) == 0)) {
    b->refs.fetch_add(1, std::memory_order_relaxed);
    return b;
  }
  b = shared_buf_new(opcode, p, len);
  b->refs.fetch_add(1, std::memory_order_relaxed);
  if (tl_cache.buf) shared_buf_unref(tl_cache.buf);
  tl_cache.buf = b;
  return b;
}

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
};

/* The registrations, origins and listeners are allocated once and never destroyed: pool threads
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

std::atomic<size_t> open_sessions{0};
/* Started sessions (and detached ones) whose context is not yet destroyed: a connection's context
 * outlives its count in open_sessions while its TLS shutdown runs and while references remain. A
 * context waiting in accept does not count. */
std::atomic<size_t> live_sessions{0};
std::atomic<size_t> admitted_conns{0}; /* connections counted against max_connections */
std::atomic<size_t> busy_answers{0};   /* connections over the bound being answered 503 */

std::atomic<zint_http_refusal_hook_t> refusal_hook{nullptr};
std::atomic<uint64_t> refusal_counts[ZINT_HTTP_REFUSAL_KINDS];

void refused(zint_http_refusal_t why) {
  refusal_counts[why].fetch_add(1, std::memory_order_relaxed);
  if (auto h = refusal_hook.load(std::memory_order_acquire)) h(why);
}

/* Allowed websocket origins, lower case; empty: all. */
std::shared_mutex &origins_mu = *new std::shared_mutex;
std::vector<std::string> &allowed_origins = *new std::vector<std::string>; /* origins_mu */

std::string lower(std::string_view v) {
  std::string out(v);
  for (auto &c : out) c = char(tolower((unsigned char) c));
  return out;
}

std::string base64_encode(const unsigned char *p, size_t n) {
  static const char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t(p[i]) << 16;
    if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
    if (i + 2 < n) v |= p[i + 2];
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    out += i + 1 < n ? tbl[(v >> 6) & 63] : '=';
    out += i + 2 < n ? tbl[v & 63] : '=';
  }
  return out;
}

bool has_crlf(const char *s) { return strpbrk(s, "\r\n") != nullptr; }

} // namespace

/* ---- the connection ---- */

/* A queued message not yet copied into a write batch; the frame is shared. */
struct ws_out_item {
  shared_buf *buf;
};

struct zint_http_session_ctx {
  /* First member, so destroyed last: the count drops after the streams and the TLS state are gone,
   * and a reader that sees it drop (acquire) sees all of that done. */
  struct live_mark {
    bool counted = false;
    void count() {
      counted = true;
      live_sessions.fetch_add(1, std::memory_order_relaxed);
    }
    ~live_mark() {
      if (counted) live_sessions.fetch_sub(1, std::memory_order_release);
    }
  } live;
  std::atomic<int> refs{1}; /* the connection's own reference + async operations + service refs */
  strand_t strand;
  std::optional<tcp::socket> plain;                      /* plain connections; strand */
  std::unique_ptr<asio::ssl::stream<tcp::socket>> tls;   /* TLS connections; strand */
  std::shared_ptr<asio::ssl::context> ssl_ctx;           /* keeps the listener's context alive */
  asio::steady_timer timer;                              /* the one deadline in force; strand */
  uint64_t timer_gen = 0;                                /* outdates fired waits; strand */
  zint_http_rest_closure_t restc{};                      /* handed to every handler; strand */
  bool ended = false;                                    /* finish() ran; strand */
  bool tls_up = false;                                   /* the TLS handshake completed; strand */
  unsigned char peek_byte = 0;                           /* first byte of a TLS connection */
  /* Admission: set by the acceptor before start(), released once by finish(). */
  std::atomic<size_t> *listener_conns = nullptr;         /* the listener's count, when admitted */
  bool admitted = false;                                 /* counted in admitted_conns */
  bool busy = false;                                     /* over the bound: answered 503 */
  bool too_big_reported = false;                         /* the 1009 close was counted; strand */
  bool dropped = false;  /* finish() cuts the connection: no close_notify, unsent bytes discarded; strand */

  /* HTTP request/response; strand */
  beast::flat_buffer rbuf;
  std::optional<http::request_parser<http::string_body>> parser;
  http::response<http::string_body> res;
  http::response<http::empty_body> ures;
  bool res_active = false, res_ended = false, res_status_set = false;
  bool res_chunked = false, res_close = false, req_keep_alive = false;
  bool req_checked = false; /* the request's header passed check_request_header */
  unsigned req_version = 11;

  /* websocket side; strand unless noted */
  zint_http_limits_t lim{};
  wslay_event_context_ptr wctx = nullptr; /* null while parked: an idle session holds none */
  /* Where the peer's byte stream stands, so that wslay's 8 KiB context can be given back between
   * messages: header bytes of the next frame seen, payload bytes of the current frame still due,
   * and whether a fragmented data message is open. */
  uint8_t in_hdr[14];
  uint8_t in_hdr_have = 0;
  uint64_t in_payload_left = 0;
  bool in_fragmented = false;
  zint_http_websocket_handler_t ws_handler = nullptr;
  std::vector<unsigned char> inbuf;      /* TLS reads, and bytes that came with the upgrade */
  const unsigned char *in_ptr = nullptr; /* what wslay reads from: inbuf or the thread's buffer */
  size_t in_off = 0, in_len = 0;
  bool reading = false;
  std::string outbuf;                    /* the write in flight: control frames, then data frames */
  bool write_in_flight = false;
  unsigned direct_depth = 0;             /* nested pumps after writes the kernel took whole */
  std::vector<ws_out_item> sending;      /* taken from pending, copied into batches from send_at */
  size_t send_at = 0;
  uint16_t close_code = 0; /* close to send once the queued data is out */
  bool close_queued = false;
  bool slow_ended = false;                     /* end_too_slow ran */
  std::shared_ptr<asio::steady_timer> slow_timer; /* its deadline on the close; null until then */
  steady::time_point last_activity, last_ping;

  /* shared with queueing threads */
  std::mutex mu;
  std::vector<ws_out_item> pending;      /* mu */
  bool flush_posted = false;             /* a wake-up of the writer is on its way; mu */
  uint64_t wake_gen = 0;                 /* counts the wake-ups queue_msg asked for; mu */
  bool accepting = false;                /* an open websocket that takes frames; mu */
  bool slow_posted = false;              /* queue_msg found the bound passed and posted
                                            end_too_slow; mu */
  std::atomic<size_t> queued_bytes{0};   /* accepted, not yet handed to the socket writer */

  /* A detached session (no connection) hands every queued message to sink instead; set at
   * creation, null for real connections. */
  zint_http_frame_sink_t sink = nullptr;
  void *sink_arg = nullptr;

  explicit zint_http_session_ctx(asio::io_context &ioc)
      : strand(asio::make_strand(ioc)), timer(strand) {
    restc.http_ctx = this;
  }
  ~zint_http_session_ctx() {
    for (auto &it : pending) shared_buf_unref(it.buf);
    for (size_t i = send_at; i < sending.size(); i++) shared_buf_unref(sending[i].buf);
    if (wctx) wslay_event_context_free(wctx);
  }

  template <class F> void with_stream(F &&f) {
    if (tls) f(*tls);
    else f(*plain);
  }
  tcp::socket &lowest() { return tls ? tls->next_layer() : *plain; }

  void start();
  void refuse_plaintext();
  void arm_timer(steady::duration d, void (*fn)(zint_http_session_ctx *));
  void finish();
  void drop();
  void tls_shutdown();
  void close_socket() {
    error_code ec;
    lowest().shutdown(tcp::socket::shutdown_both, ec);
    lowest().close(ec);
  }

  void do_read_request();
  void parse_request();
  bool check_request_header();
  void arm_write_deadline();
  void on_request(error_code ec);
  void handle_rest(const http::request<http::string_body> &req, const std::string &path);
  void handle_upgrade(const http::request<http::string_body> &req, const std::string &path);
  void send_simple(http::status st, const char *body, bool close, const char *extra_name = nullptr,
                   const char *extra_value = nullptr);
  void send_response();

  void start_ws(zint_http_websocket_handler_t h);
  void do_ws_read();
  void on_ws_readable();
  void process_input();
  void deliver(uint8_t opcode, const uint8_t *msg, size_t len);
  void begin_close(uint16_t code, bool do_pump);
  void end_too_slow(bool do_pump);
  void release_pending();
  void discard_queued();
  bool ws_unpark();
  void ws_try_park();
  void track_frames(const unsigned char *p, size_t n);
  bool ws_read_enabled() const { return !wctx || wslay_event_get_read_enabled(wctx); }
  bool ws_close_sent() const { return wctx && wslay_event_get_close_sent(wctx); }
  void pump();
  void pump_if_latest(uint64_t gen);
  void arm_ws_tick();
  void on_ws_tick();
};

namespace {

/* A counted reference held by each pending asynchronous operation. */
struct sref {
  zint_http_session_ctx *p;
  explicit sref(zint_http_session_ctx *s) : p(s) { p->refs.fetch_add(1, std::memory_order_relaxed); }
  sref(const sref &o) : p(o.p) { p->refs.fetch_add(1, std::memory_order_relaxed); }
  sref(sref &&o) noexcept : p(o.p) { o.p = nullptr; }
  sref &operator=(const sref &) = delete;
  ~sref() {
    if (p) zint_http_ctx_session_release(p);
  }
  zint_http_session_ctx *operator->() const { return p; }
};

} // namespace

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
    if (!write_in_flight) tls_shutdown(); /* else the write's completion starts it */
  } else {
    close_socket();
  }
  if (restc.call_closure_free) {
    auto fn = restc.call_closure_free;
    restc.call_closure_free = nullptr;
    fn(restc.call_closure);
  }
  restc.call_closure = nullptr;
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

/* ---- HTTP ---- */

void zint_http_session_ctx::do_read_request() {
  parser.emplace();
  parser->header_limit(HTTP_HEADER_LIMIT);
  parser->body_limit(limits_snapshot().max_message_bytes);
  parser->eager(true);
  req_checked = false;
  uint32_t idle = limits_snapshot().idle_timeout_ms;
  if (busy) arm_timer(BUSY_REQUEST_DEADLINE, [](zint_http_session_ctx *s) { s->close_socket(); });
  else if (idle) arm_timer(std::chrono::milliseconds(idle), [](zint_http_session_ctx *s) { s->close_socket(); });
  parse_request();
}

namespace {

/* What a chunked body leaves unparsed in the read buffer is the start of a chunk-size line (after
 * the CRLF that ends the chunk before it) or, after the last chunk, the trailers: Beast waits for a
 * whole line, and for the whole trailer section, before it parses any of it. Each line is bounded by
 * HTTP_LINE_LIMIT (400) and the trailers by the header limit (431); ok otherwise. */
http::status chunk_framing_breach(std::string_view b) {
  if (b.size() > HTTP_HEADER_LIMIT) return http::status::request_header_fields_too_large;
  if (b.substr(0, 2) == "\r\n") b.remove_prefix(2);
  for (;;) {
    size_t eol = b.find("\r\n");
    if (std::min(eol, b.size()) > HTTP_LINE_LIMIT) return http::status::bad_request;
    if (eol == std::string_view::npos) return http::status::ok;
    b.remove_prefix(eol + 2);
  }
}

} // namespace

/* Parses what is buffered (the rest of a pipelined request comes first), then reads more until the
 * request is complete, an error ends it, or its framing breaks a bound. */
void zint_http_session_ctx::parse_request() {
  error_code ec;
  while (rbuf.size() && !parser->is_done()) {
    size_t used = parser->put(rbuf.data(), ec);
    rbuf.consume(used);
    if (ec == http::error::need_more) break;
    if (ec) {
      on_request(ec);
      return;
    }
    if (parser->is_header_done() && !req_checked && !check_request_header()) return;
    if (used == 0) break;
  }
  if (parser->is_done()) {
    on_request({});
    return;
  }
  if (parser->is_header_done() && !req_checked && !check_request_header()) return;
  if (parser->is_header_done() && parser->chunked()) {
    auto st = chunk_framing_breach(
        std::string_view(static_cast<const char *>(rbuf.data().data()), rbuf.size()));
    if (st != http::status::ok) {
      timer_gen++;
      timer.cancel();
      send_simple(st, st == http::status::bad_request ? "chunk line too long\n" : "trailers too large\n", true);
      return;
    }
  }
  auto mb = rbuf.prepare(HTTP_READ_CHUNK);
  with_stream([&](auto &st) {
    st.async_read_some(mb, [s = sref(this)](error_code ec2, size_t n) {
      if (s->ended) return;
      s->rbuf.commit(n);
      if (ec2) {
        s->on_request(ec2);
        return;
      }
      s->parse_request();
    });
  });
}

/* Refuses, before any of the body is read, what a proxy in front of us could read differently:
 * a Transfer-Encoding other than exactly "chunked" (the body would otherwise be taken for the next
 * request), and an HTTP/1.1 request without exactly one Host. False when it answered. */
bool zint_http_session_ctx::check_request_header() {
  req_checked = true;
  const auto &req = parser->get();
  req_version = req.version();
  const char *why = nullptr;
  auto te = req.equal_range(http::field::transfer_encoding);
  size_t nte = size_t(std::distance(te.first, te.second));
  if (nte) {
    std::string_view v = te.first->value();
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    if (nte > 1 || !beast::iequals(v, "chunked")) why = "unsupported transfer-encoding\n";
  }
  size_t nhost = req.count(http::field::host);
  if (!why && (nhost > 1 || (nhost == 0 && req.version() >= 11))) why = "request needs one Host header\n";
  if (!why) return true;
  timer_gen++;
  timer.cancel();
  send_simple(http::status::bad_request, why, true);
  return false;
}

/* The response being written must be taken whole within write_timeout_ms: a peer that reads
 * nothing would hold the connection and the response for as long as it likes. */
void zint_http_session_ctx::arm_write_deadline() {
  uint32_t ms = limits_snapshot().write_timeout_ms;
  if (ms) arm_timer(std::chrono::milliseconds(ms), [](zint_http_session_ctx *s) { s->drop(); });
}

void zint_http_session_ctx::on_request(error_code ec) {
  if (ended) return;
  timer_gen++;
  timer.cancel();
  if (ec) {
    if (busy) finish();
    else if (ec == http::error::body_limit) {
      refused(ZINT_HTTP_REFUSED_MESSAGE_SIZE);
      send_simple(http::status::payload_too_large, "request body too large\n", true);
    }
    else if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
      send_simple(http::status::request_header_fields_too_large, "request header too large\n", true);
    else if (ec.category() == make_error_code(http::error::bad_target).category() &&
             ec != http::error::end_of_stream && ec != http::error::partial_message)
      send_simple(http::status::bad_request, "malformed request\n", true);
    else finish();
    return;
  }
  const auto &req = parser->get();
  req_version = req.version();
  req_keep_alive = req.keep_alive();
  if (busy) {
    send_simple(http::status::service_unavailable, "too many connections\n", true, "Retry-After", "1");
    return;
  }
  std::string_view target = req.target();
  size_t q = target.find('?');
  std::string path(target.substr(0, q));
  if (path.size() > HTTP_PATH_LIMIT) {
    send_simple(http::status::uri_too_long, "request path too long\n", true);
    return;
  }
  if (beast::http::token_list(req[http::field::connection]).exists("upgrade") &&
      beast::iequals(req[http::field::upgrade], "websocket")) {
    handle_upgrade(req, path);
    return;
  }
  handle_rest(req, path);
}

void zint_http_session_ctx::send_simple(http::status st, const char *body, bool close,
                                        const char *extra_name, const char *extra_value) {
  res = {};
  res.version(req_version == 10 ? 10 : 11);
  res.result(st);
  res.set(http::field::content_type, "text/plain");
  if (extra_name) res.set(extra_name, extra_value);
  res.body() = body;
  res_status_set = true;
  res_active = true;
  res_ended = false;
  res_chunked = false;
  res_close = close;
  zint_http_response_end(this);
}

void zint_http_session_ctx::handle_rest(const http::request<http::string_body> &req,
                                        const std::string &path) {
  zint_http_rest_handler_t handler = nullptr;
  std::vector<std::string> caps;
  {
    std::shared_lock<std::shared_mutex> lk(reg_mu);
    for (const auto &r : rest_regs) {
      if (r.method != req.method_string()) continue;
      if (path.compare(0, r.prefix.size(), r.prefix) != 0) continue;
      if (!reg_match(r.re, path.substr(r.prefix.size()), &caps)) continue;
      handler = r.handler;
      break;
    }
  }
  if (!handler) {
    send_simple(http::status::not_found, "not found\n", false);
    return;
  }
  res = {};
  res.version(req_version == 10 ? 10 : 11);
  res.result(http::status::ok);
  res_active = true;
  res_ended = res_status_set = res_chunked = res_close = false;
  std::vector<char *> pats;
  for (auto &c : caps) pats.push_back(c.data());
  pats.push_back(nullptr);
  handler(&restc, int(caps.size()), pats.data());
  if (ended) return;
  if (!res_ended) {
    if (!res_status_set && res.body().empty()) {
      zint_log(zint_error, "http: handler for %s ended no response\n", path.c_str());
      res.result(http::status::internal_server_error);
      res.body() = "handler produced no response\n";
    }
    zint_http_response_end(this);
  }
}

void zint_http_session_ctx::send_response() {
  res.keep_alive(req_keep_alive && !res_close);
  if (res_chunked) res.chunked(true);
  else res.prepare_payload();
  arm_write_deadline();
  with_stream([&](auto &st) {
    http::async_write(st, res, [s = sref(this)](error_code ec, size_t) {
      if (s->ended) return;
      s->timer_gen++;
      s->timer.cancel();
      s->res_active = false;
      if (ec || !s->res.keep_alive()) {
        s->finish();
        return;
      }
      s->do_read_request();
    });
  });
}

void zint_http_session_ctx::handle_upgrade(const http::request<http::string_body> &req,
                                           const std::string &path) {
  /* The offered sub-protocols, in the client's order of preference. */
  std::vector<std::string> offered;
  {
    std::string_view v = req[http::field::sec_websocket_protocol];
    while (!v.empty()) {
      size_t c = v.find(',');
      std::string_view tok = v.substr(0, c);
      while (!tok.empty() && (tok.front() == ' ' || tok.front() == '\t')) tok.remove_prefix(1);
      while (!tok.empty() && (tok.back() == ' ' || tok.back() == '\t')) tok.remove_suffix(1);
      if (!tok.empty()) offered.emplace_back(tok);
      if (c == std::string_view::npos) break;
      v.remove_prefix(c + 1);
    }
  }
  zint_http_websocket_handler_t handler = nullptr;
  std::string proto;
  bool path_found = false;
  {
    std::shared_lock<std::shared_mutex> lk(reg_mu);
    for (const auto &r : ws_regs) {
      if (path.compare(0, r.prefix.size(), r.prefix) != 0) continue;
      if (!reg_match(r.re, path.substr(r.prefix.size()), nullptr)) continue;
      path_found = true;
      if (std::find(offered.begin(), offered.end(), r.protocol) == offered.end()) continue;
      handler = r.handler;
      proto = r.protocol;
      break;
    }
  }
  if (!path_found) {
    send_simple(http::status::not_found, "not found\n", true);
    return;
  }
  if (!handler) {
    send_simple(http::status::bad_request, "no supported websocket sub-protocol offered\n", true);
    return;
  }
  /* Browsers always name the page's origin; other clients usually send none, and are not the
   * ones a cross-site page could borrow. Two Origin headers are refused: a check of one of them
   * says nothing of the one another reader would take. */
  size_t norigin = req.count(http::field::origin);
  if (norigin > 1 ||
      (norigin == 1 && !zint_http_origin_allowed(std::string(req[http::field::origin]).c_str()))) {
    refused(ZINT_HTTP_REFUSED_ORIGIN);
    send_simple(http::status::forbidden, "origin not allowed\n", true);
    return;
  }
  std::string_view key = req[http::field::sec_websocket_key];
  if (req.method() != http::verb::get || req.version() < 11 || key.size() != 24) {
    send_simple(http::status::bad_request, "malformed websocket upgrade\n", true);
    return;
  }
  if (req[http::field::sec_websocket_version] != "13") {
    send_simple(http::status::upgrade_required, "websocket version 13 required\n", true,
                "Sec-WebSocket-Version", "13");
    return;
  }
  std::string k(key);
  k += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  if (!EVP_Digest(k.data(), k.size(), md, &mdlen, EVP_sha1(), nullptr)) {
    send_simple(http::status::internal_server_error, "digest failure\n", true);
    return;
  }
  ures = {};
  ures.version(11);
  ures.result(http::status::switching_protocols);
  ures.set(http::field::upgrade, "websocket");
  ures.set(http::field::connection, "Upgrade");
  ures.set(http::field::sec_websocket_accept, base64_encode(md, mdlen));
  ures.set(http::field::sec_websocket_protocol, proto);
  arm_write_deadline();
  with_stream([&](auto &st) {
    http::async_write(st, ures, [s = sref(this), handler](error_code ec, size_t) {
      if (s->ended) return;
      s->timer_gen++;
      s->timer.cancel();
      if (ec) {
        s->finish();
        return;
      }
      s->start_ws(handler);
    });
  });
}

/* ---- websocket via wslay ---- */

namespace {

ssize_t ws_recv_cb(wslay_event_context_ptr wctx, uint8_t *buf, size_t len, int, void *ud) {
  auto *s = static_cast<zint_http_session_ctx *>(ud);
  size_t avail = s->in_len - s->in_off;
  if (avail == 0) {
    wslay_event_set_error(wctx, WSLAY_ERR_WOULDBLOCK);
    return -1;
  }
  size_t n = std::min(avail, len);
  memcpy(buf, s->in_ptr + s->in_off, n);
  s->in_off += n;
  return ssize_t(n);
}

ssize_t ws_send_cb(wslay_event_context_ptr wctx, const uint8_t *data, size_t len, int, void *ud) {
  auto *s = static_cast<zint_http_session_ctx *>(ud);
  if (s->outbuf.size() >= WS_WRITE_BATCH) {
    wslay_event_set_error(wctx, WSLAY_ERR_WOULDBLOCK);
    return -1;
  }
  s->outbuf.append(reinterpret_cast<const char *>(data), len);
  return ssize_t(len);
}

void ws_msg_cb(wslay_event_context_ptr, const wslay_event_on_msg_recv_arg *arg, void *ud) {
  auto *s = static_cast<zint_http_session_ctx *>(ud);
  if (arg->opcode == WSLAY_TEXT_FRAME || arg->opcode == WSLAY_BINARY_FRAME)
    s->deliver(arg->opcode, arg->msg, arg->msg_length);
}

/* Plain sessions read into one buffer per thread instead of one per session: an idle session then
 * holds no read buffer, and wslay consumes every byte before the handler returns. */
thread_local unsigned char tl_read_buf[WS_READ_CHUNK];

const wslay_event_callbacks ws_callbacks = {ws_recv_cb, ws_send_cb, nullptr, nullptr, nullptr,
                                            nullptr, ws_msg_cb};

} // namespace

/* Parking: between messages, with nothing queued in wslay and no close under way, a session's wslay
 * context is in the state of a new one, so it is freed and made again when the next bytes arrive
 * or a control frame must go out. Idle sessions then hold no 8 KiB of wslay buffers each. */
bool zint_http_session_ctx::ws_unpark() {
  if (wctx) return true;
  if (wslay_event_context_server_init(&wctx, &ws_callbacks, this) != 0) {
    wctx = nullptr;
    finish();
    return false;
  }
  wslay_event_config_set_max_recv_msg_length(wctx, lim.max_message_bytes);
  return true;
}

void zint_http_session_ctx::ws_try_park() {
  if (!wctx || close_code || in_hdr_have || in_payload_left || in_fragmented) return;
  if (wslay_event_want_write(wctx) || !wslay_event_get_read_enabled(wctx) ||
      !wslay_event_get_write_enabled(wctx) || wslay_event_get_close_sent(wctx) ||
      wslay_event_get_close_received(wctx))
    return;
  wslay_event_context_free(wctx);
  wctx = nullptr;
}

/* Follows frame boundaries in the bytes handed to wslay (headers only; payloads are skipped). */
void zint_http_session_ctx::track_frames(const unsigned char *p, size_t n) {
  while (n) {
    if (in_payload_left) {
      size_t k = size_t(std::min<uint64_t>(in_payload_left, n));
      in_payload_left -= k;
      p += k;
      n -= k;
      continue;
    }
    in_hdr[in_hdr_have++] = *p++;
    n--;
    if (in_hdr_have < 2) continue;
    uint8_t len7 = in_hdr[1] & 0x7f;
    size_t need = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + ((in_hdr[1] & 0x80) ? 4 : 0);
    if (in_hdr_have < need) continue;
    uint64_t len = len7;
    if (len7 == 126) len = (uint64_t(in_hdr[2]) << 8) | in_hdr[3];
    if (len7 == 127) {
      len = 0;
      for (int i = 0; i < 8; i++) len = (len << 8) | in_hdr[2 + i];
    }
    uint8_t opcode = in_hdr[0] & 0x0f;
    if (opcode < 8) in_fragmented = !(in_hdr[0] & 0x80); /* data or continuation frame */
    in_payload_left = len;
    in_hdr_have = 0;
  }
}

void zint_http_session_ctx::start_ws(zint_http_websocket_handler_t h) {
  lim = limits_snapshot();
  if (!ws_unpark()) return;
  ws_handler = h;
  in_off = 0;
  in_len = rbuf.size();
  if (tls || in_len) inbuf.resize(tls ? std::max(WS_READ_CHUNK, in_len) : in_len);
  in_ptr = inbuf.data();
  if (in_len) asio::buffer_copy(asio::buffer(inbuf.data(), in_len), rbuf.data());
  /* The HTTP side is done: give its buffers back, they would stay with every idle session. */
  rbuf.consume(rbuf.size());
  rbuf.shrink_to_fit();
  parser.reset();
  res = {};
  ures = {};
  if (!tls) {
    error_code ec;
    plain->non_blocking(true, ec);
  }
  {
    std::lock_guard<std::mutex> lk(mu);
    accepting = true;
  }
  last_activity = last_ping = steady::now();
  arm_ws_tick();
  if (in_len) process_input();
  else do_ws_read();
}

/* Reads for as long as the connection lives: once wslay stops reading (a close arrived, or a message
 * was too large) the bytes are dropped, so the peer's close reply and its end of stream are seen. */
void zint_http_session_ctx::do_ws_read() {
  if (ended || reading) return;
  reading = true;
  if (!tls) {
    plain->async_wait(tcp::socket::wait_read, [s = sref(this)](error_code ec) {
      s->reading = false;
      if (s->ended) return;
      if (ec) {
        s->finish();
        return;
      }
      s->on_ws_readable();
    });
    return;
  }
  tls->async_read_some(asio::buffer(inbuf.data(), inbuf.size()), [s = sref(this)](error_code ec, size_t n) {
    s->reading = false;
    if (s->ended) return;
    if (ec) {
      s->finish();
      return;
    }
    s->last_activity = steady::now();
    if (!s->ws_read_enabled()) {
      s->do_ws_read();
      return;
    }
    s->in_ptr = s->inbuf.data();
    s->in_off = 0;
    s->in_len = n;
    s->process_input();
  });
}

void zint_http_session_ctx::on_ws_readable() {
  error_code ec;
  size_t n = plain->read_some(asio::buffer(tl_read_buf, sizeof tl_read_buf), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    do_ws_read();
    return;
  }
  if (ec) {
    finish();
    return;
  }
  last_activity = steady::now();
  if (!ws_read_enabled()) {
    do_ws_read();
    return;
  }
  in_ptr = tl_read_buf;
  in_off = 0;
  in_len = n;
  process_input();
}

void zint_http_session_ctx::process_input() {
  if (!ws_unpark()) return;
  track_frames(in_ptr + in_off, in_len - in_off);
  int r = wslay_event_recv(wctx);
  if (r == WSLAY_ERR_PROTO || r == WSLAY_ERR_CALLBACK_FAILURE) {
    /* Framing wslay cannot parse past (a control frame over 125 bytes or fragmented, a length
     * with the top bit set), reported as a failure of the receive callback, which itself never
     * fails. That context takes no close of ours any more: a fresh one sends the 1002 and reads
     * nothing, so the rest is drained until the peer closes or the close wait ends. */
    wslay_event_context_free(wctx);
    wctx = nullptr;
    in_hdr_have = 0;
    in_payload_left = 0;
    in_fragmented = false;
    discard_queued();
    if (!ws_unpark()) return;
    wslay_event_shutdown_read(wctx);
    static const char reason[] = "protocol error";
    close_code = WS_CLOSE_PROTOCOL;
    close_queued = true;
    wslay_event_queue_close(wctx, close_code, reinterpret_cast<const uint8_t *>(reason), sizeof reason - 1);
  } else if (r != 0) {
    finish();
    return;
  }
  if (ended) return;
  in_off = in_len = 0;
  in_ptr = nullptr;
  if (!tls && !inbuf.empty()) std::vector<unsigned char>().swap(inbuf); /* the upgrade's leftovers */
  if (!wslay_event_get_read_enabled(wctx)) {
    /* A close arrived or a message was too large: wslay has queued the close reply. */
    std::lock_guard<std::mutex> lk(mu);
    accepting = false;
  }
  /* Pongs wslay queued for the peer's pings wait behind the write in flight like every frame: a
   * peer that pings and never reads would otherwise grow them without end. */
  if (wslay_event_get_queued_msg_length(wctx) + wslay_event_get_queued_msg_count(wctx) * WS_CONTROL_COST +
          queued_bytes.load(std::memory_order_relaxed) > lim.outbound_queue_bytes)
    end_too_slow(false);
  if (ended) return;
  pump();
  do_ws_read();
}

void zint_http_session_ctx::deliver(uint8_t opcode, const uint8_t *msg, size_t len) {
  if (ended || close_code) return;
  int r = ws_handler(&restc, opcode, msg, len);
  /* Inside wslay_event_recv: the close is queued by the pump that follows it. */
  if (r != 0 && !ended) begin_close(WS_CLOSE_POLICY, false);
}

/* Stops taking frames; the close itself is queued by pump() once what was queued before is out. */
void zint_http_session_ctx::begin_close(uint16_t code, bool do_pump) {
  if (close_code || ended) return;
  close_code = code;
  {
    std::lock_guard<std::mutex> lk(mu);
    accepting = false;
  }
  if (do_pump) pump();
}

/* Takes no more frames and releases those queued by other threads and not yet taken by the writer. */
void zint_http_session_ctx::release_pending() {
  std::vector<ws_out_item> unsent;
  {
    std::lock_guard<std::mutex> lk(mu);
    accepting = false;
    unsent.swap(pending);
  }
  for (auto &it : unsent) {
    queued_bytes.fetch_sub(it.buf->len, std::memory_order_relaxed);
    shared_buf_unref(it.buf);
  }
}

/* Takes no more frames and drops those not yet handed to the socket writer. */
void zint_http_session_ctx::discard_queued() {
  release_pending();
  for (size_t i = send_at; i < sending.size(); i++) {
    queued_bytes.fetch_sub(sending[i].buf->len, std::memory_order_relaxed);
    shared_buf_unref(sending[i].buf);
  }
  sending.clear();
  send_at = 0;
}

/* The peer does not take its frames as fast as they come: the frames still queued are dropped, the
 * write in flight completes, then the close 1013 tells the client to come back; one that does not
 * take even that within WS_SLOW_DEADLINE is cut off. Counted and logged once per session. */
void zint_http_session_ctx::end_too_slow(bool do_pump) {
  if (ended || slow_ended) return;
  slow_ended = true;
  discard_queued();
  refused(ZINT_HTTP_REFUSED_SLOW_CLIENT);
  error_code ec;
  auto peer = lowest().remote_endpoint(ec);
  std::string addr = ec ? std::string("?") : peer.address().to_string() + ":" + std::to_string(peer.port());
  ZINT_LOG_LIMITED(zint_error, "websocket: client %s too slow (more than %zu bytes waiting for it), closing with 1013\n",
                   addr.c_str(), lim.outbound_queue_bytes);
  slow_timer = std::make_shared<asio::steady_timer>(strand, WS_SLOW_DEADLINE);
  slow_timer->async_wait([s = sref(this)](error_code ec2) {
    if (ec2 || s->ended) return;
    if (s->write_in_flight || !s->ws_close_sent()) s->drop();
    else s->finish(); /* the close went out; its reply did not come */
  });
  if (!close_queued) {
    static const char reason[] = "client too slow";
    if (!ws_unpark()) return;
    close_code = WS_CLOSE_TRY_AGAIN;
    close_queued = true;
    wslay_event_queue_close(wctx, close_code, reinterpret_cast<const uint8_t *>(reason), sizeof reason - 1);
  }
  if (do_pump) pump();
}

/* The writer queue_msg posted for wake-up gen. A pump that ran meanwhile (say the one that follows
 * a handler's reply, which queues from inside the read) took what was queued then, and frames
 * queued after it have their own wake-up (a deferred one waits for its flush): the post then has
 * nothing left to do, and must not write those frames ahead of their flush. */
void zint_http_session_ctx::pump_if_latest(uint64_t gen) {
  {
    std::lock_guard<std::mutex> lk(mu);
    if (!flush_posted || wake_gen != gen) return;
  }
  pump();
}

/* Writes what is queued, one write in flight: first the control frames wslay has (pongs, pings,
 * the close), then whole data frames copied from the shared frames, up to WS_WRITE_BATCH bytes per
 * write. The session's lock is held only to take the queue, never during the write. */
void zint_http_session_ctx::pump() {
  if (ended || write_in_flight) return;
  bool more_pending;
  {
    std::lock_guard<std::mutex> lk(mu);
    flush_posted = false;
    if (send_at == sending.size()) {
      sending.clear(); /* keeps its capacity: no allocation per batch */
      send_at = 0;
      sending.swap(pending);
    }
    more_pending = !pending.empty();
  }
  outbuf.clear();
  if (wctx && wslay_event_send(wctx) != 0) {
    finish();
    return;
  }
  if (!too_big_reported && ws_close_sent() &&
      wslay_event_get_status_code_sent(wctx) == WS_CLOSE_TOO_BIG) {
    too_big_reported = true;
    refused(ZINT_HTTP_REFUSED_MESSAGE_SIZE);
  }
  if (!close_queued) {
    while (send_at < sending.size() && outbuf.size() < WS_WRITE_BATCH) {
      shared_buf *b = sending[send_at++].buf;
      outbuf.append(reinterpret_cast<const char *>(b->frame()), b->frame_len());
      queued_bytes.fetch_sub(b->len, std::memory_order_relaxed);
      shared_buf_unref(b);
    }
  }
  if (close_code && !close_queued && send_at == sending.size() && !more_pending &&
      !(wctx && wslay_event_want_write(wctx))) {
    static const char reason[] = "closing";
    if (!ws_unpark()) return;
    close_queued = true;
    wslay_event_queue_close(wctx, close_code, reinterpret_cast<const uint8_t *>(reason), sizeof reason - 1);
    if (wslay_event_send(wctx) != 0) {
      finish();
      return;
    }
  }
  if (outbuf.empty() && more_pending && !close_queued) {
    /* Messages queued after the take above: go round again rather than wait for their post. */
    pump();
    return;
  }
  if (!outbuf.empty()) {
    if (!tls) {
      /* The socket is non-blocking: hand the kernel what it takes now, on this thread, instead of a
       * write operation whose completion goes through the event loop (and may wake another thread
       * for every write). Only what it does not take waits for the socket to become writable. */
      error_code ec;
      size_t done = plain->write_some(asio::buffer(outbuf), ec);
      if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
        finish();
        return;
      }
      if (done == outbuf.size()) {
        if (direct_depth < WS_DIRECT_WRITES) {
          ++direct_depth;
          pump();
          --direct_depth;
        } else { /* a session that keeps getting frames lets the others on this thread have a turn */
          asio::post(strand, [s = sref(this)] { s->pump(); });
        }
        return;
      }
      outbuf.erase(0, done);
    }
    write_in_flight = true;
    with_stream([&](auto &st) {
      asio::async_write(st, asio::buffer(outbuf), [s = sref(this)](error_code ec, size_t) {
        s->write_in_flight = false;
        if (s->ended) {
          /* No write starts after finish(): this one was in flight then, and close_notify waited. */
          if (s->tls_up && !s->dropped) s->tls_shutdown();
          return;
        }
        if (ec) {
          s->finish();
          return;
        }
        s->pump();
      });
    });
    return;
  }
  if (!ws_close_sent()) {
    ws_try_park();
    return;
  }
  {
    if (wslay_event_get_close_received(wctx)) {
      finish();
      return;
    }
    /* wslay reads no more (a message was too large): the peer's close reply cannot be seen, so end
     * our side of the stream after the close frame; the peer then closes and the drain sees it. */
    if (!tls && !wslay_event_get_read_enabled(wctx)) {
      error_code ec;
      plain->shutdown(tcp::socket::shutdown_send, ec);
    }
    arm_timer(WS_CLOSE_WAIT, [](zint_http_session_ctx *s) { s->finish(); });
  }
}

void zint_http_session_ctx::arm_ws_tick() {
  if (close_code || (lim.ping_interval_ms == 0 && lim.idle_timeout_ms == 0)) return;
  auto now = steady::now();
  auto next = steady::time_point::max();
  if (lim.ping_interval_ms) next = last_ping + std::chrono::milliseconds(lim.ping_interval_ms);
  if (lim.idle_timeout_ms)
    next = std::min(next, last_activity + std::chrono::milliseconds(lim.idle_timeout_ms));
  auto d = std::max<steady::duration>(next - now, std::chrono::milliseconds(1));
  arm_timer(d, [](zint_http_session_ctx *s) { s->on_ws_tick(); });
}

void zint_http_session_ctx::on_ws_tick() {
  if (ws_close_sent()) return;
  auto now = steady::now();
  if (lim.idle_timeout_ms && now - last_activity >= std::chrono::milliseconds(lim.idle_timeout_ms)) {
    /* The close handshake may never finish with a dead peer: the close wait ends it. */
    begin_close(WS_CLOSE_GOING_AWAY, true);
    arm_timer(WS_CLOSE_WAIT, [](zint_http_session_ctx *s) { s->finish(); });
    return;
  }
  if (lim.ping_interval_ms && now - last_ping >= std::chrono::milliseconds(lim.ping_interval_ms)) {
    last_ping = now;
    if (!ws_unpark()) return;
    wslay_event_msg ping{WSLAY_PING, nullptr, 0};
    wslay_event_queue_msg(wctx, &ping);
    pump();
  }
  arm_ws_tick();
}

zint_boolean zint_http_websocket_queue_msg(zint_http_session_ctx *ctx, int opcode,
                                           const unsigned char *buf, size_t len) {
  if (!ctx || (opcode != WSLAY_TEXT_FRAME && opcode != WSLAY_BINARY_FRAME) || (!buf && len)) return false;
  if (ctx->sink) {
    std::lock_guard<std::mutex> lk(ctx->mu);
    return ctx->accepting && ctx->sink(ctx->sink_arg, opcode, buf, len);
  }
  /* A broadcast finds the frame in this thread's cache: a reference, no copy. One lock per call. */
  shared_buf *b = shared_buf_acquire(opcode, buf, len);
  bool post = false, slow = false;
  uint64_t gen = 0;
  {
    std::lock_guard<std::mutex> lk(ctx->mu);
    size_t q = ctx->queued_bytes.load(std::memory_order_relaxed);
    if (!ctx->accepting) {
      shared_buf_unref(b);
      b = nullptr;
    } else if (len > ctx->lim.outbound_queue_bytes || q > ctx->lim.outbound_queue_bytes - len) {
      /* Too slow: it takes nothing more; its strand ends it and drops what is still queued. */
      shared_buf_unref(b);
      b = nullptr;
      ctx->accepting = false;
      slow = !ctx->slow_posted;
      ctx->slow_posted = true;
    } else {
      ctx->queued_bytes.fetch_add(len, std::memory_order_relaxed);
      ctx->pending.push_back(ws_out_item{b});
      post = !ctx->flush_posted;
      ctx->flush_posted = true;
      if (post) gen = ++ctx->wake_gen;
    }
  }
  if (slow) asio::post(ctx->strand, [s = sref(ctx)] { s->end_too_slow(true); });
  if (!b) return false;
  if (post) {
    if (tl_deferred.on) {
      ctx->refs.fetch_add(1, std::memory_order_relaxed);
      tl_deferred.sessions.push_back(ctx);
    } else {
      asio::post(ctx->strand, [s = sref(ctx), gen] { s->pump_if_latest(gen); });
    }
  }
  return true;
}

void zint_http_websocket_defer_begin(void) { tl_deferred.on = true; }

/* Sessions whose writers one posted handler runs in a row. */
constexpr size_t DEFER_CHUNK = 64;

/* Wakes the writers of v (each holding a reference) and empties v. One handler per chunk of
 * sessions, posted to the event loop, runs their writers one after the other, each on its own
 * strand (inline when the strand is free): a thread wake-up per chunk instead of one per session.
 * The chunk holds the references taken when the sessions were deferred; they go as each session's
 * writer is dispatched. */
static void wake_writers(std::vector<zint_http_session_ctx *> &v) {
  for (size_t at = 0; at < v.size(); at += DEFER_CHUNK) {
    auto chunk = std::make_shared<std::vector<zint_http_session_ctx *>>(
        v.begin() + long(at), v.begin() + long(std::min(v.size(), at + DEFER_CHUNK)));
    asio::post(v[at]->strand.get_inner_executor(), [chunk] {
      for (zint_http_session_ctx *ctx : *chunk) {
        asio::dispatch(ctx->strand, [s = sref(ctx)] { s->pump(); });
        zint_http_ctx_session_release(ctx);
      }
      chunk->clear();
    });
  }
  v.clear();
}

namespace {
/* Deferred flushes from all threads wake the writers at most once per flush interval: the
 * first flush after a quiet interval goes at once, later ones are held and go together when the
 * interval is up. Under a steady stream of samples every writer then sends the samples of an
 * interval in one write instead of one write each; an occasional sample waits for nothing.
 * Allocated once and never destroyed (its timer may fire during exit). */
struct flush_gate {
  std::mutex mu;                               /* guards every field below */
  std::vector<zint_http_session_ctx *> held;   /* sessions to wake when the timer fires, each once
                                                  per flush that deferred it, with a reference */
  steady::time_point last{};                   /* when writers were last woken */
  bool armed = false;                          /* the timer will fire and wake held */
  std::optional<asio::steady_timer> timer;     /* made on the first session's event loop */
};
flush_gate &the_flush_gate() {
  static flush_gate *g = new flush_gate;
  return *g;
}
}  // namespace

static void flush_gate_fire(const error_code &ec) {
  if (ec) return;
  flush_gate &g = the_flush_gate();
  std::vector<zint_http_session_ctx *> go;
  {
    std::lock_guard<std::mutex> lk(g.mu);
    g.armed = false;
    g.last = steady::now();
    go.swap(g.held);
  }
  wake_writers(go);
}

void zint_http_websocket_defer_flush(void) {
  tl_deferred.on = false;
  auto &v = tl_deferred.sessions;
  if (v.empty()) return;
  flush_gate &g = the_flush_gate();
  {
    std::lock_guard<std::mutex> lk(g.mu);
    auto now = steady::now();
    auto ivl = std::chrono::microseconds(flush_interval_us.load(std::memory_order_relaxed));
    if (g.armed || now - g.last < ivl) {
      g.held.insert(g.held.end(), v.begin(), v.end());
      v.clear();
      if (!g.armed) {
        g.armed = true;
        if (!g.timer) g.timer.emplace(g.held.front()->strand.get_inner_executor());
        g.timer->expires_at(g.last + ivl);
        g.timer->async_wait(flush_gate_fire);
      }
      return;
    }
    g.last = now;
  }
  wake_writers(v);
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
  if (ctx->restc.call_closure_free) {
    auto fn = ctx->restc.call_closure_free;
    ctx->restc.call_closure_free = nullptr;
    fn(ctx->restc.call_closure);
  }
  zint_http_ctx_session_release(ctx);
}

/* ---- responses ---- */

zint_boolean zint_http_response_status_set(zint_http_session_ctx *ctx, int code, const char *reason) {
  if (!ctx || !ctx->res_active || ctx->res_ended || code < 100 || code > 999) return false;
  if (reason && has_crlf(reason)) return false;
  ctx->res.result(unsigned(code));
  if (reason && *reason) ctx->res.reason(reason);
  ctx->res_status_set = true;
  return true;
}

zint_boolean zint_http_response_header_set(zint_http_session_ctx *ctx, const char *name,
                                           const char *value) {
  if (!ctx || !ctx->res_active || ctx->res_ended || !name || !*name || !value) return false;
  if (has_crlf(name) || has_crlf(value) || strchr(name, ':')) return false;
  ctx->res.set(name, value);
  return true;
}

zint_boolean zint_http_response_option_set(zint_http_session_ctx *ctx, uint32_t option) {
  if (!ctx || !ctx->res_active || ctx->res_ended) return false;
  if (option == ZINT_HTTP_CHUNKED) {
    if (ctx->req_version < 11) return false;
    ctx->res_chunked = true;
    return true;
  }
  if (option == ZINT_HTTP_CLOSE) {
    ctx->res_close = true;
    return true;
  }
  return false;
}

zint_boolean zint_http_response_append(zint_http_session_ctx *ctx, const void *buf, size_t len) {
  if (!ctx || !ctx->res_active || ctx->res_ended || (!buf && len)) return false;
  ctx->res.body().append(static_cast<const char *>(buf), len);
  return true;
}

zint_boolean zint_http_response_end(zint_http_session_ctx *ctx) {
  if (!ctx || !ctx->res_active || ctx->res_ended || ctx->ended) return false;
  ctx->res_ended = true;
  ctx->send_response();
  return true;
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

int zint_http_rest_websocket_register(const char *prefix, const char *regex, const char *protocol,
                                      zint_http_websocket_handler_t handler) {
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
  std::unique_lock<std::shared_mutex> lk(reg_mu);
  reg_insert(ws_regs, std::move(r));
  return 0;
}

/* ---- listeners ---- */

namespace {

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

void zint_http_set_refusal_hook(zint_http_refusal_hook_t hook) {
  refusal_hook.store(hook, std::memory_order_release);
}

uint64_t zint_http_refusals(zint_http_refusal_t why) {
  if (unsigned(why) >= ZINT_HTTP_REFUSAL_KINDS) return 0;
  return refusal_counts[why].load(std::memory_order_relaxed);
}

size_t zint_http_open_sessions(void) { return open_sessions.load(std::memory_order_relaxed); }
size_t zint_http_live_sessions(void) { return live_sessions.load(std::memory_order_acquire); }

size_t zint_http_websocket_copies(void) { return body_copies.load(std::memory_order_relaxed); }
