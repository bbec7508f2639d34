/* zint HTTP sessions: Beast parses each request (pipelined ones included) under the header, body and
 * chunk-line bounds, the REST handler answers through the zint_http_response_* calls, and a websocket
 * upgrade is checked and answered 101 before the connection is handed to zint_http_websocket.cpp.
 * The one translation unit of the server that includes Beast. */
#include "zint/zint_http_internal.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

using namespace zint_http_impl;
namespace beast = boost::beast;
namespace http = boost::beast::http;

/* The HTTP side's Beast objects of one connection; strand. */
struct zint_http_impl::http_exchange {
  beast::flat_buffer rbuf;
  std::optional<http::request_parser<http::string_body>> parser;
  http::response<http::string_body> res;
  http::response<http::empty_body> ures;
  std::string scratch; /* the text zint_http_request_header/_query handed out last */
};

void zint_http_impl::http_exchange_free::operator()(http_exchange *x) const { delete x; }

namespace {

constexpr size_t HTTP_HEADER_LIMIT = 16 * 1024;
/* Bytes asked of the socket per read of a request. */
constexpr size_t HTTP_READ_CHUNK = 16 * 1024;
/* One line of a chunked body's framing (a chunk-size line with its extensions, or a trailer):
 * Beast keeps a line in the read buffer until its end arrives, so the line is what bounds it. */
constexpr size_t HTTP_LINE_LIMIT = 4 * 1024;
/* Paths are matched with std::regex, whose matcher recurses per character: keep them short. */
constexpr size_t HTTP_PATH_LIMIT = 2048;
/* A connection over the bound gets this long to send its request before the 503 goes out. */
constexpr auto BUSY_REQUEST_DEADLINE = std::chrono::seconds(2);

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

/* Percent-decodes a query component into out ('+' is a space); false for a bad escape or a NUL. */
bool query_decode(std::string_view in, std::string &out) {
  out.clear();
  for (size_t i = 0; i < in.size(); i++) {
    char c = in[i];
    if (c == '+')
      c = ' ';
    else if (c == '%') {
      int hi = i + 2 < in.size() ? zint_hex_value(in[i + 1]) : -1;
      int lo = hi >= 0 ? zint_hex_value(in[i + 2]) : -1;
      if (lo < 0) return false;
      c = char(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    out += c;
  }
  return true;
}

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

/* Answers with a short text/plain body (and closes after it when close is set). */
void send_simple(zint_http_session_ctx *s, http::status st, const char *body, bool close,
                 const char *extra_name = nullptr, const char *extra_value = nullptr) {
  auto &res = s->http->res;
  res = {};
  res.version(s->req_version == 10 ? 10 : 11);
  res.result(st);
  res.set(http::field::content_type, "text/plain");
  if (extra_name) res.set(extra_name, extra_value);
  res.body() = body;
  s->res_status_set = true;
  s->res_active = true;
  s->res_ended = false;
  s->res_chunked = false;
  s->res_close = close;
  zint_http_response_end(s);
}

} // namespace

void zint_http_session_ctx::do_read_request() {
  if (!http) http.reset(new http_exchange);
  auto &parser = http->parser;
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

/* Parses what is buffered (the rest of a pipelined request comes first), then reads more until the
 * request is complete, an error ends it, or its framing breaks a bound. */
void zint_http_session_ctx::parse_request() {
  auto &rbuf = http->rbuf;
  auto &parser = http->parser;
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
      send_simple(this, st, st == http::status::bad_request ? "chunk line too long\n" : "trailers too large\n", true);
      return;
    }
  }
  auto mb = rbuf.prepare(HTTP_READ_CHUNK);
  with_stream([&](auto &st) {
    st.async_read_some(mb, [s = sref(this)](error_code ec2, size_t n) {
      if (s->ended) return;
      s->http->rbuf.commit(n);
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
  const auto &req = http->parser->get();
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
  send_simple(this, http::status::bad_request, why, true);
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
      send_simple(this, http::status::payload_too_large, "request body too large\n", true);
    }
    else if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
      send_simple(this, http::status::request_header_fields_too_large, "request header too large\n", true);
    else if (ec.category() == make_error_code(http::error::bad_target).category() &&
             ec != http::error::end_of_stream && ec != http::error::partial_message)
      send_simple(this, http::status::bad_request, "malformed request\n", true);
    else finish();
    return;
  }
  const auto &req = http->parser->get();
  req_version = req.version();
  req_keep_alive = req.keep_alive();
  if (busy) {
    send_simple(this, http::status::service_unavailable, "too many connections\n", true, "Retry-After", "1");
    return;
  }
  std::string_view target = req.target();
  size_t q = target.find('?');
  std::string path(target.substr(0, q));
  if (path.size() > HTTP_PATH_LIMIT) {
    send_simple(this, http::status::uri_too_long, "request path too long\n", true);
    return;
  }
  if (beast::http::token_list(req[http::field::connection]).exists("upgrade") &&
      beast::iequals(req[http::field::upgrade], "websocket")) {
    handle_upgrade(path);
    return;
  }
  handle_rest(path);
}

void zint_http_session_ctx::handle_rest(const std::string &path) {
  const auto &req = http->parser->get();
  auto &res = http->res;
  std::vector<std::string> caps;
  zint_http_rest_handler_t handler = rest_lookup(req.method_string(), path, &caps);
  if (!handler) {
    send_simple(this, http::status::not_found, "not found\n", false);
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
  auto &res = http->res;
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
      if (ec || !s->http->res.keep_alive()) {
        s->finish();
        return;
      }
      s->do_read_request();
    });
  });
}

void zint_http_session_ctx::handle_upgrade(const std::string &path) {
  const auto &req = http->parser->get();
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
  std::string proto;
  bool path_found = false;
  zint_http_websocket_handler_t handler = ws_lookup(path, offered, &proto, &ws_batch, &path_found);
  if (!path_found) {
    send_simple(this, http::status::not_found, "not found\n", true);
    return;
  }
  if (!handler) {
    send_simple(this, http::status::bad_request, "no supported websocket sub-protocol offered\n", true);
    return;
  }
  /* Browsers always name the page's origin; other clients usually send none, and are not the
   * ones a cross-site page could borrow. Two Origin headers are refused: a check of one of them
   * says nothing of the one another reader would take. */
  size_t norigin = req.count(http::field::origin);
  if (norigin > 1 ||
      (norigin == 1 && !zint_http_origin_allowed(std::string(req[http::field::origin]).c_str()))) {
    refused(ZINT_HTTP_REFUSED_ORIGIN);
    send_simple(this, http::status::forbidden, "origin not allowed\n", true);
    return;
  }
  std::string_view key = req[http::field::sec_websocket_key];
  if (req.method() != http::verb::get || req.version() < 11 || key.size() != 24) {
    send_simple(this, http::status::bad_request, "malformed websocket upgrade\n", true);
    return;
  }
  if (req[http::field::sec_websocket_version] != "13") {
    send_simple(this, http::status::upgrade_required, "websocket version 13 required\n", true,
                "Sec-WebSocket-Version", "13");
    return;
  }
  if (zint_http_upgrade_hook_t hook = upgrade_hook()) {
    zint_http_upgrade_verdict_t v{};
    hook(this, &v);
    if (v.status) {
      if (v.session_data_free) v.session_data_free(v.session_data);
      http::status st = v.status >= 400 && v.status <= 599 ? http::status(v.status) : http::status::forbidden;
      send_simple(this, st, v.body ? v.body : "", true, v.header_name,
                  v.header_name ? v.header_value : nullptr);
      return;
    }
    restc.session_data = v.session_data;
    restc.session_data_free = v.session_data_free;
  }
  std::string k(key);
  k += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdlen = 0;
  if (!EVP_Digest(k.data(), k.size(), md, &mdlen, EVP_sha1(), nullptr)) {
    send_simple(this, http::status::internal_server_error, "digest failure\n", true);
    return;
  }
  auto &ures = http->ures;
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
      /* Bytes that came with the upgrade go to the websocket reader (on TLS, inbuf is its read
       * buffer from now on). The HTTP side is done: give its buffers back, they would stay with
       * every idle session. */
      auto &rbuf = s->http->rbuf;
      size_t in_len = rbuf.size();
      if (s->tls || in_len) s->inbuf.resize(s->tls ? std::max(WS_READ_CHUNK, in_len) : in_len);
      if (in_len) asio::buffer_copy(asio::buffer(s->inbuf.data(), in_len), rbuf.data());
      s->http.reset();
      s->start_ws(handler, in_len);
    });
  });
}

/* ---- the request ---- */

const char *zint_http_request_header(zint_http_session_ctx *ctx, const char *name) {
  if (!ctx || !name || !ctx->http || !ctx->http->parser) return nullptr;
  const auto &req = ctx->http->parser->get();
  auto range = req.equal_range(name);
  if (range.first == range.second || std::next(range.first) != range.second) return nullptr;
  ctx->http->scratch.assign(range.first->value());
  return ctx->http->scratch.c_str();
}

const char *zint_http_request_query(zint_http_session_ctx *ctx, const char *name) {
  if (!ctx || !name || !ctx->http || !ctx->http->parser) return nullptr;
  std::string_view target = ctx->http->parser->get().target();
  size_t q = target.find('?');
  if (q == std::string_view::npos) return nullptr;
  std::string_view rest = target.substr(q + 1);
  std::optional<std::string_view> found;
  std::string decoded;
  while (!rest.empty()) {
    size_t amp = rest.find('&');
    std::string_view part = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    size_t eq = part.find('=');
    if (!query_decode(part.substr(0, eq), decoded) || decoded != name) continue;
    if (found) return nullptr;
    found = eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1);
  }
  if (!found || !query_decode(*found, ctx->http->scratch)) return nullptr;
  return ctx->http->scratch.c_str();
}

/* ---- responses ---- */

zint_boolean zint_http_response_status_set(zint_http_session_ctx *ctx, int code, const char *reason) {
  if (!ctx || !ctx->res_active || ctx->res_ended || code < 100 || code > 999) return false;
  if (reason && has_crlf(reason)) return false;
  ctx->http->res.result(unsigned(code));
  if (reason && *reason) ctx->http->res.reason(reason);
  ctx->res_status_set = true;
  return true;
}

zint_boolean zint_http_response_header_set(zint_http_session_ctx *ctx, const char *name,
                                           const char *value) {
  if (!ctx || !ctx->res_active || ctx->res_ended || !name || !*name || !value) return false;
  if (has_crlf(name) || has_crlf(value) || strchr(name, ':')) return false;
  ctx->http->res.set(name, value);
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
  ctx->http->res.body().append(static_cast<const char *>(buf), len);
  return true;
}

zint_boolean zint_http_response_end(zint_http_session_ctx *ctx) {
  if (!ctx || !ctx->res_active || ctx->res_ended || ctx->ended) return false;
  ctx->res_ended = true;
  ctx->send_response();
  return true;
}
