/* zint websocket broadcast: zint_http_websocket_queue_msg from any thread, the frames shared by every
 * session a message is queued on (one copy per broadcast), and the deferred wake-ups of the writers
 * with the flush gate that wakes each of them at most once per flush interval. */
#include "zint/zint_http_internal.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstring>
#include <new>

using namespace zint_http_impl;

namespace {

/* Server frames are not masked, so one complete frame (header and body) serves every session: it
 * is built once per broadcast and copied straight into each session's write batch. */

std::atomic<size_t> body_copies{0};

shared_buf *shared_buf_new(int opcode, const unsigned char *p, size_t len) {
  body_copies.fetch_add(1, std::memory_order_relaxed);
  unsigned char h[WS_FRAME_HEADER_MAX];
  size_t hl = ws_frame_header(h, opcode, len);
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

} // namespace

size_t zint_http_impl::ws_frame_header(unsigned char *h, int opcode, size_t len) {
  size_t hl = 0;
  h[hl++] = uint8_t(0x80 | (opcode & 0x0f)); /* FIN: one frame per message */
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
  return hl;
}

void zint_http_impl::shared_buf_unref(shared_buf *b) {
  if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    b->~shared_buf();
    ::operator delete(b);
  }
}

namespace {

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
  std::vector<zint_http_session_ctx *> go;       /* those of a flush that go at once (kept: no
                                                    allocation per flush) */
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

} // namespace

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
/* Deferred flushes wake each session's writer at most once per flush interval, and adapt to the
 * session's own rate: a session whose writer the gate has not woken for an interval is quiet, and its
 * flush goes at once; a busy one (woken less than an interval ago) is held until the interval since
 * that wake is up, gathering what comes meanwhile into the same write. Under a steady stream every
 * writer then sends an interval's samples in one write instead of one write each, while a session
 * that gets an occasional sample waits for nothing, whatever the other sessions get.
 * Allocated once and never destroyed (its timer may fire during exit). */
struct flush_gate {
  std::mutex mu; /* guards every field below, and each session's gate_woken */
  /* sessions to wake once their interval is up, each once per flush that deferred it (a session has
   * at most one: its next flush is deferred only after its writer ran), with a reference */
  std::vector<zint_http_session_ctx *> held;
  std::vector<zint_http_session_ctx *> firing; /* held when the timer fired, sorted again (kept: no
                                                  allocation per firing) */
  steady::time_point armed_for = steady::time_point::max(); /* when the timer fires; max: not armed */
  std::optional<asio::steady_timer> timer;                  /* made on the first session's event loop */
};
flush_gate &the_flush_gate() {
  static flush_gate *g = new flush_gate;
  return *g;
}

steady::duration gate_interval() {
  return std::chrono::microseconds(flush_interval_us.load(std::memory_order_relaxed));
}

void flush_gate_fire(const error_code &ec);

/* Makes the gate's timer fire by due (the end of a held session's interval), unless it fires earlier
 * already; g.mu held, g.held not empty. The timer thus fires by the earliest end among the held. */
void flush_gate_arm(flush_gate &g, steady::time_point due) {
  if (due >= g.armed_for) return;
  if (!g.timer) g.timer.emplace(g.held.front()->strand.get_inner_executor());
  g.armed_for = due;
  g.timer->expires_at(due); /* a wait for a later time, if any, completes as cancelled */
  g.timer->async_wait(flush_gate_fire);
}

/* Moves the sessions of v whose interval is up (or who were never woken) to go, stamped as woken now,
 * and the others to the held ones; g.mu held. Returns the earliest end of interval among those it
 * held (max when none). */
steady::time_point flush_gate_sort(flush_gate &g, std::vector<zint_http_session_ctx *> &v,
                                   std::vector<zint_http_session_ctx *> &go, steady::time_point now,
                                   steady::duration ivl) {
  steady::time_point due = steady::time_point::max();
  for (zint_http_session_ctx *ctx : v) {
    if (ctx->gate_woken == steady::time_point{} || now - ctx->gate_woken >= ivl) {
      ctx->gate_woken = now;
      go.push_back(ctx);
    } else {
      g.held.push_back(ctx);
      due = std::min(due, ctx->gate_woken + ivl);
    }
  }
  v.clear();
  return due;
}

void flush_gate_fire(const error_code &ec) {
  if (ec) return; /* re-armed for an earlier time: that wait takes over */
  flush_gate &g = the_flush_gate();
  std::vector<zint_http_session_ctx *> go;
  {
    std::lock_guard<std::mutex> lk(g.mu);
    g.armed_for = steady::time_point::max();
    g.firing.swap(g.held);
    steady::time_point due = flush_gate_sort(g, g.firing, go, steady::now(), gate_interval());
    if (!g.held.empty()) flush_gate_arm(g, due);
  }
  wake_writers(go);
}
} // namespace

void zint_http_websocket_defer_flush(void) {
  tl_deferred.on = false;
  auto &v = tl_deferred.sessions;
  if (v.empty()) return;
  flush_gate &g = the_flush_gate();
  std::vector<zint_http_session_ctx *> &go = tl_deferred.go;
  {
    std::lock_guard<std::mutex> lk(g.mu);
    steady::time_point due = flush_gate_sort(g, v, go, steady::now(), gate_interval());
    if (!g.held.empty()) flush_gate_arm(g, due);
  }
  wake_writers(go);
}

size_t zint_http_websocket_copies(void) { return body_copies.load(std::memory_order_relaxed); }
