/* zint HTTP/REST and websocket server, internals shared by platform/zint/zint_http*.cpp only: the
 * connection record, the counters, limits and lookups its parts share. Free of Beast: a connection's
 * request and response objects live behind a pointer, defined in zint_http_session.cpp. */
#ifndef ZINT_HTTP_INTERNAL_H
#define ZINT_HTTP_INTERNAL_H

#include "zint/zint_http.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <wslay/wslay.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zint_http_impl {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using steady = std::chrono::steady_clock;
typedef asio::strand<asio::io_context::executor_type> strand_t;

constexpr size_t WS_READ_CHUNK = 16 * 1024;

/* ---- limits, counters, refusals (zint_http.cpp) ---- */

zint_http_limits_t limits_snapshot();
/* limits' flush_interval_us, read without the lock by every deferred flush */
extern std::atomic<uint32_t> flush_interval_us;

extern std::atomic<size_t> open_sessions;
/* Started sessions (and detached ones) whose context is not yet destroyed: a connection's context
 * outlives its count in open_sessions while its TLS shutdown runs and while references remain. A
 * context waiting in accept does not count. */
extern std::atomic<size_t> live_sessions;
extern std::atomic<size_t> admitted_conns; /* connections counted against max_connections */
extern std::atomic<size_t> busy_answers;   /* connections over the bound being answered 503 */

/* Counts a refusal and calls the hook. */
void refused(zint_http_refusal_t why);

/* The upgrade hook in force; null: every upgrade is taken. */
zint_http_upgrade_hook_t upgrade_hook();

/* ---- registrations (zint_http.cpp) ---- */

/* The handler bound to method and path (longest prefix first, then registration order), with the
 * captured sub-expressions in caps; null when none matches. */
zint_http_rest_handler_t rest_lookup(std::string_view method, const std::string &path,
                                     std::vector<std::string> *caps);
/* The websocket handler bound to path for the protocol of offered (the client's order of preference)
 * that comes first, that protocol and whether its text messages may share frames; null when none.
 * path_found: some endpoint matched the path. */
zint_http_websocket_handler_t ws_lookup(const std::string &path, const std::vector<std::string> &offered,
                                        std::string *proto, bool *batched, bool *path_found);

/* ---- a message shared by every session it is queued on (zint_http_broadcast.cpp) ---- */

struct shared_buf {
  std::atomic<uint32_t> refs; /* one per queue entry holding it, plus the thread cache */
  size_t len;                 /* body bytes */
  uint8_t opcode;
  uint8_t hlen;               /* frame header bytes before the body */
  unsigned char *frame() { return reinterpret_cast<unsigned char *>(this + 1); }
  size_t frame_len() const { return hlen + len; }
  unsigned char *data() { return frame() + hlen; }
};

void shared_buf_unref(shared_buf *b);
constexpr size_t WS_FRAME_HEADER_MAX = 10;
/* Writes the header of an unmasked final frame of len payload bytes to h (WS_FRAME_HEADER_MAX
 * bytes); returns its length. */
size_t ws_frame_header(unsigned char *h, int opcode, size_t len);

/* A queued message not yet copied into a write batch; the frame is shared. */
struct ws_out_item {
  shared_buf *buf;
};

/* ---- the HTTP side's Beast objects (zint_http_session.cpp) ---- */

struct http_exchange;
struct http_exchange_free {
  void operator()(http_exchange *x) const;
};

/* The websocket writer; one write in flight at most.
 * idle:    no write under way; a wake gathers the next batch and writes it (-> writing), or finds
 *          nothing to write and parks, or finds our close frame out (-> closing);
 * writing: a write is under way; wakes wait for its completion, which goes back to idle;
 * closing: our close frame is written and nothing more goes out; a wake ends the connection once
 *          the peer's close has come, else it (re)arms the close wait. */
enum class ws_writer : uint8_t { idle, writing, closing };

} // namespace zint_http_impl

struct zint_http_session_ctx {
  using strand_t = zint_http_impl::strand_t;
  using tcp = zint_http_impl::tcp;
  using steady = zint_http_impl::steady;
  using error_code = zint_http_impl::error_code;
  using ws_out_item = zint_http_impl::ws_out_item;
  using ws_writer = zint_http_impl::ws_writer;

  /* First member, so destroyed last: the count drops after the streams and the TLS state are gone,
   * and a reader that sees it drop (acquire) sees all of that done. */
  struct live_mark {
    bool counted = false;
    void count() {
      counted = true;
      zint_http_impl::live_sessions.fetch_add(1, std::memory_order_relaxed);
    }
    ~live_mark() {
      if (counted) zint_http_impl::live_sessions.fetch_sub(1, std::memory_order_release);
    }
  } live;
  std::atomic<int> refs{1}; /* the connection's own reference + async operations + service refs */
  strand_t strand;
  std::optional<tcp::socket> plain;                              /* plain connections; strand */
  std::unique_ptr<boost::asio::ssl::stream<tcp::socket>> tls;    /* TLS connections; strand */
  std::shared_ptr<boost::asio::ssl::context> ssl_ctx;            /* keeps the listener's context alive */
  boost::asio::steady_timer timer;                       /* the one deadline in force; strand */
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

  /* HTTP request/response; strand. The read buffer, parser and responses are made by the first
   * request and given back at the upgrade: they would stay with every idle websocket session. */
  std::unique_ptr<zint_http_impl::http_exchange, zint_http_impl::http_exchange_free> http;
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
  bool ws_batch = false; /* text messages queued together go out as one frame, "\n" between them */
  std::vector<unsigned char> inbuf;      /* TLS reads, and bytes that came with the upgrade */
  const unsigned char *in_ptr = nullptr; /* what wslay reads from: inbuf or the thread's buffer */
  size_t in_off = 0, in_len = 0;
  bool reading = false;
  std::string outbuf;                    /* the write in flight: control frames, then data frames */
  ws_writer writer = ws_writer::idle;
  std::vector<ws_out_item> sending;      /* taken from pending, copied into batches from send_at */
  size_t send_at = 0;
  uint16_t close_code = 0; /* close to send once the queued data is out */
  bool close_queued = false;
  bool slow_ended = false;                     /* end_too_slow ran */
  std::shared_ptr<boost::asio::steady_timer> slow_timer; /* its deadline on the close; null until then */
  /* zint_http_websocket_close_after: its timer (null until the first call), the close it sends, and whether
   * it came due before the websocket started; strand */
  std::shared_ptr<boost::asio::steady_timer> close_timer;
  uint16_t timed_close_code = 0;
  std::string timed_close_reason;
  bool timed_close_due = false;
  std::string close_reason; /* reason of our close frame; empty: "closing"; strand */
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
  /* when the flush gate last woke the writer (zint_http_broadcast.cpp), epoch: never; the gate's lock */
  steady::time_point gate_woken{};

  /* A detached session (no connection) hands every queued message to sink instead; set at
   * creation, null for real connections. */
  zint_http_frame_sink_t sink = nullptr;
  void *sink_arg = nullptr;

  explicit zint_http_session_ctx(boost::asio::io_context &ioc)
      : strand(boost::asio::make_strand(ioc)), timer(strand) {
    restc.http_ctx = this;
  }
  ~zint_http_session_ctx() {
    for (auto &it : pending) zint_http_impl::shared_buf_unref(it.buf);
    for (size_t i = send_at; i < sending.size(); i++) zint_http_impl::shared_buf_unref(sending[i].buf);
    if (wctx) wslay_event_context_free(wctx);
  }

  template <class F> void with_stream(F &&f) {
    if (tls) f(*tls);
    else f(*plain);
  }
  tcp::socket &lowest() { return tls ? tls->next_layer() : *plain; }

  /* the connection (zint_http.cpp) */
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

  /* HTTP (zint_http_session.cpp) */
  void do_read_request();
  void parse_request();
  bool check_request_header();
  void arm_write_deadline();
  void on_request(error_code ec);
  void handle_rest(const std::string &path);
  void handle_upgrade(const std::string &path);
  void send_response();

  /* websocket (zint_http_websocket.cpp) */
  void start_ws(zint_http_websocket_handler_t h, size_t leftover);
  void do_ws_read();
  void on_ws_readable();
  void process_input();
  void deliver(uint8_t opcode, const uint8_t *msg, size_t len);
  void begin_close(uint16_t code, bool do_pump);
  void timed_close();
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
  /* the writer's steps (see ws_writer) */
  enum class batch { failed, again, empty, ready };  /* what gather_batch found */
  enum class taken { failed, part, whole };          /* what write_direct handed the kernel */
  batch gather_batch();
  void append_frame();
  taken write_direct();
  void start_write();
  void on_write_done(error_code ec);
  void on_drained();
  void close_wait();
};

namespace zint_http_impl {

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

} // namespace zint_http_impl

#endif
