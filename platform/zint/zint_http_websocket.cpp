/* zint websocket sessions: after the 101, frames are handled by wslay over the connection's Asio
 * stream. Reading and parking of the wslay context, the close handshake, pings and idle ends, and the
 * writer (a state machine: idle, writing, closing; see ws_writer) that sends queued messages several
 * per write, so that pongs never interleave with a half-written frame. */
#include "zint/zint_http_internal.h"

#include "zint/zint_logsafe.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>

using namespace zint_http_impl;

namespace {

/* Bytes gathered from wslay before a write is started; more frames per system call as it grows. */
constexpr size_t WS_WRITE_BATCH = 64 * 1024;
/* Writes one pump makes straight to a plain socket before it yields the thread. */
constexpr unsigned WS_DIRECT_WRITES = 16;
constexpr auto WS_CLOSE_WAIT = std::chrono::seconds(3);
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

/* The 101 is written; inbuf holds the leftover bytes that came with the upgrade (and, on TLS, is
 * the read buffer from now on). */
void zint_http_session_ctx::start_ws(zint_http_websocket_handler_t h, size_t leftover) {
  lim = limits_snapshot();
  if (!ws_unpark()) return;
  ws_handler = h;
  in_off = 0;
  in_len = leftover;
  in_ptr = inbuf.data();
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
  if (timed_close_due) timed_close();
  if (ended) return;
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
    /* The fresh context has sent no close: a writer that had seen the old one's go out writes
     * this one too. */
    if (writer == ws_writer::closing) writer = ws_writer::idle;
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

/* The close of zint_http_websocket_close_after: like the idle end, a peer that never answers it is cut off
 * after the close wait. Before the websocket started it waits for start_ws. */
void zint_http_session_ctx::timed_close() {
  if (ended) return;
  if (!ws_handler) {
    timed_close_due = true;
    return;
  }
  timed_close_due = false;
  if (close_code) return; /* closing already, with its own reason */
  close_reason = timed_close_reason;
  begin_close(timed_close_code, true);
  if (!ended) arm_timer(WS_CLOSE_WAIT, [](zint_http_session_ctx *s) { s->finish(); });
}

zint_boolean zint_http_websocket_close_after(zint_http_session_ctx *ctx, uint64_t delay_ms, uint16_t code,
                                             const char *reason) {
  if (!ctx || ctx->ended || ctx->sink || code < 1000 || code > 4999 || (reason && strlen(reason) > 123))
    return false;
  ctx->timed_close_code = code;
  ctx->timed_close_reason = reason ? reason : "";
  if (!ctx->close_timer) ctx->close_timer = std::make_shared<asio::steady_timer>(ctx->strand);
  /* steady_clock counts nanoseconds in 64 bits: bound the delay far below its range */
  ctx->close_timer->expires_after(std::chrono::milliseconds(std::min<uint64_t>(delay_ms, uint64_t(1) << 40)));
  ctx->close_timer->async_wait([s = sref(ctx)](error_code ec) {
    if (ec || s->ended) return;
    s->timed_close();
  });
  return true;
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
    if (s->writer == ws_writer::writing || !s->ws_close_sent()) s->drop();
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

/* ---- the writer ---- */

/* Wakes the writer (see ws_writer). While idle it writes what is queued, one write in flight: batch
 * after batch while a plain socket's kernel takes each whole (WS_DIRECT_WRITES of them, then it
 * yields the thread), until one must wait for the socket or nothing is left. */
void zint_http_session_ctx::pump() {
  if (ended || writer == ws_writer::writing) return;
  if (writer == ws_writer::closing) {
    close_wait();
    return;
  }
  for (unsigned direct = 0; !ended;) {
    switch (gather_batch()) {
    case batch::failed:
      return;
    case batch::again:
      continue; /* messages queued after the take: go round again rather than wait for their post */
    case batch::empty:
      on_drained();
      return;
    case batch::ready:
      break;
    }
    if (tls) {
      start_write();
      return;
    }
    switch (write_direct()) {
    case taken::failed:
      return;
    case taken::part:
      start_write();
      return;
    case taken::whole:
      break;
    }
    if (++direct == WS_DIRECT_WRITES) {
      /* a session that keeps getting frames lets the others on this thread have a turn */
      asio::post(strand, [s = sref(this)] { s->pump(); });
      return;
    }
  }
}

/* Fills outbuf with the next write: first the control frames wslay has (pongs, pings, the close),
 * then whole data frames copied from the shared frames, up to WS_WRITE_BATCH bytes; queues the
 * close of begin_close once everything before it is out. The session's lock is held only to take
 * the queue, never during the write. */
zint_http_session_ctx::batch zint_http_session_ctx::gather_batch() {
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
    return batch::failed;
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
    std::string_view reason =
        close_reason.empty() ? std::string_view("closing") : std::string_view(close_reason);
    if (!ws_unpark()) return batch::failed;
    close_queued = true;
    wslay_event_queue_close(wctx, close_code, reinterpret_cast<const uint8_t *>(reason.data()),
                            reason.size());
    if (wslay_event_send(wctx) != 0) {
      finish();
      return batch::failed;
    }
  }
  if (!outbuf.empty()) return batch::ready;
  return more_pending && !close_queued ? batch::again : batch::empty;
}

/* The socket is non-blocking: hand the kernel what it takes now, on this thread, instead of a write
 * operation whose completion goes through the event loop (and may wake another thread for every
 * write). Only what it does not take waits for the socket to become writable; it stays in outbuf. */
zint_http_session_ctx::taken zint_http_session_ctx::write_direct() {
  error_code ec;
  size_t done = plain->write_some(asio::buffer(outbuf), ec);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
    finish();
    return taken::failed;
  }
  if (done == outbuf.size()) return taken::whole;
  outbuf.erase(0, done);
  return taken::part;
}

/* idle -> writing: outbuf goes out as one write operation. */
void zint_http_session_ctx::start_write() {
  writer = ws_writer::writing;
  with_stream([&](auto &st) {
    asio::async_write(st, asio::buffer(outbuf),
                      [s = sref(this)](error_code ec, size_t) { s->on_write_done(ec); });
  });
}

/* writing -> idle, and on with what was queued meanwhile. */
void zint_http_session_ctx::on_write_done(error_code ec) {
  writer = ws_writer::idle;
  if (ended) {
    /* No write starts after finish(): this one was in flight then, and close_notify waited. */
    if (tls_up && !dropped) tls_shutdown();
    return;
  }
  if (ec) {
    finish();
    return;
  }
  pump();
}

/* Nothing to write: an open session may park; once our close frame is out, idle -> closing. */
void zint_http_session_ctx::on_drained() {
  if (!ws_close_sent()) {
    ws_try_park();
    return;
  }
  writer = ws_writer::closing;
  close_wait();
}

/* Closing: the peer's close ends the connection; until it comes, the close wait runs (armed again
 * by each wake). */
void zint_http_session_ctx::close_wait() {
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

/* ---- pings and the idle timeout ---- */

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
