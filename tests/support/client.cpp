#include "support/client.h"
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
namespace vorn_test {
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using ec_t = beast::error_code;
static const tcp::endpoint at_port(int port) {
  return {asio::ip::make_address("127.0.0.1"), (unsigned short) port};
}
/* Starts op(handler) and runs it for up to max; on timeout cancels s and lets the handler run. */
template <class Op>
static ec_t run(asio::io_context &ioc, tcp::socket &s, Op op, std::chrono::milliseconds max) {
  ec_t ec = asio::error::timed_out;
  bool done = false;
  op([&](ec_t e, size_t = 0) { ec = e, done = true; });
  ioc.restart(), ioc.run_for(max);
  if (!done) s.cancel(ec), ioc.restart(), ioc.run(), ec = asio::error::timed_out;
  return ec;
}
HttpReply http_get(int port, const std::string &target) {
  asio::io_context ioc;
  tcp::socket s(ioc);
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, "127.0.0.1");
  beast::flat_buffer buf;
  http::response<http::string_body> res;
  ec_t ec;
  s.connect(at_port(port), ec);
  if (!ec) http::write(s, req, ec);
  if (!ec)
    ec = run(
        ioc, s, [&](auto h) { http::async_read(s, buf, res, h); }, std::chrono::seconds(20));
  if (ec) return {0, "", "", ec.message()};
  s.shutdown(tcp::socket::shutdown_send, ec);
  char sink[512];
  while (!run(
      ioc, s, [&](auto h) { s.async_read_some(asio::buffer(sink), h); }, std::chrono::seconds(20))) {}
  return {(int) res.result_int(), std::string(res[http::field::content_type]), res.body(), ""};
}
struct WsClient::Impl {
  asio::io_context ioc;
  websocket::stream<tcp::socket> ws{ioc};
  tcp::socket &sock() { return ws.next_layer(); }
};
WsClient::WsClient() : impl_(std::make_unique<Impl>()) {}
WsClient::~WsClient() { abort(); }
bool WsClient::open(int port, std::string *err, const std::string &protocol, const std::string &path,
                    int rcvbuf, const std::string &origin) {
  ec_t ec;
  impl_->sock().open(tcp::v4(), ec);
  if (!ec && rcvbuf) impl_->sock().set_option(asio::socket_base::receive_buffer_size(rcvbuf), ec);
  if (!ec) impl_->sock().connect(at_port(port), ec);
  impl_->ws.set_option(websocket::stream_base::decorator([=](websocket::request_type &r) {
    r.set(http::field::sec_websocket_protocol, protocol);
    if (!origin.empty()) r.set(http::field::origin, origin);
  }));
  websocket::response_type res;
  if (!ec)
    ec = run(
        impl_->ioc, impl_->sock(), [&](auto h) { impl_->ws.async_handshake(res, "127.0.0.1", path, h); },
        std::chrono::seconds(20));
  upgrade_status = res.result_int();
  if (ec && err) *err = ec.message();
  return !ec;
}
bool WsClient::send(const std::string &text, bool binary) {
  ec_t ec;
  impl_->ws.binary(binary), impl_->ws.write(asio::buffer(text), ec);
  return ec ? (last_error = ec.message(), false) : true;
}
bool WsClient::send_raw(const std::string &bytes) {
  ec_t ec;
  return asio::write(impl_->sock(), asio::buffer(bytes), ec), !ec;
}
std::optional<std::string> WsClient::read(std::chrono::milliseconds max) {
  beast::flat_buffer b;
  if (ec_t ec = run(
          impl_->ioc, impl_->sock(), [&](auto h) { impl_->ws.async_read(b, h); }, max))
    return last_error = ec.message(), std::nullopt;
  return beast::buffers_to_string(b.data());
}
std::string WsClient::ask(const std::string &text, bool binary) {
  std::optional<std::string> f = send(text, binary) ? read() : std::nullopt;
  return f ? *f : "<no frame: " + last_error + ">";
}
std::vector<std::string> WsClient::drain() {
  const std::string heartbeat = "{\"type\":\"heartbeat\"}";
  std::vector<std::string> out;
  std::optional<std::string> f = send(heartbeat) ? read() : std::nullopt;
  for (; f && *f != heartbeat; f = read()) out.push_back(*f);
  if (!f) out.push_back("<no frame: " + last_error + ">");
  return out;
}
std::optional<std::string> WsClient::read_until(const std::function<bool(const std::string &)> &pred,
                                                std::vector<std::string> *skipped) {
  while (auto f = read())
    if (pred(*f))
      return f;
    else if (skipped)
      skipped->push_back(*f);
  return std::nullopt;
}
void WsClient::close() {
  ec_t ec;
  impl_->ws.close(websocket::close_code::normal, ec); /* returns once the server's close frame is read */
  abort();
}
void WsClient::abort() {
  ec_t ec;
  impl_->sock().close(ec);
}
int WsClient::close_code() const { return impl_->ws.reason().code; }
std::string WsClient::close_reason() const { return impl_->ws.reason().reason.c_str(); }
} // namespace vorn_test
