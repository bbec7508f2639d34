/* zint byte stream: the two real streams behind zint::byte_stream, plain TCP and TLS over TCP. The
 * only place where Asio's TLS stream and Beast's teardowns are instantiated for the websocket users
 * of the framework and its tools. */
#include "zint/zint_byte_stream.h"

#include <boost/asio/append.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace zint {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;

/* The real stream completes on its own executor (the connection's strand, where Beast's websocket
 * runs its steps anyway): the type-erased handler's executor cannot be required to never block, which
 * Asio's composed operations (the TLS shutdown among them) need. */
template <class Stream, class Handler> auto on_stream(Stream &s, Handler &&h) {
  return asio::bind_executor(s.get_executor(), std::forward<Handler>(h));
}

struct plain_layer final : byte_stream::layer {
  beast::tcp_stream s;

  explicit plain_layer(beast::tcp_stream &&tcp) : s(std::move(tcp)) {}
  beast::tcp_stream &tcp() override { return s; }
  SSL *tls_handle() override { return nullptr; }
  void verify_host_name(const std::string &) override {}
  void read_some(const byte_stream::pieces<asio::mutable_buffer> &b, byte_stream::io_handler h) override {
    s.async_read_some(b, on_stream(s, std::move(h)));
  }
  void write_some(const byte_stream::pieces<asio::const_buffer> &b, byte_stream::io_handler h) override {
    s.async_write_some(b, on_stream(s, std::move(h)));
  }
  void handshake(asio::ssl::stream_base::handshake_type, byte_stream::done_handler h) override {
    asio::post(on_stream(s, asio::append(std::move(h), byte_stream::error_code())));
  }
  void teardown(beast::role_type role, byte_stream::done_handler h) override {
    using beast::websocket::async_teardown;
    async_teardown(role, s, on_stream(s, std::move(h)));
  }
};

struct tls_layer final : byte_stream::layer {
  beast::ssl_stream<beast::tcp_stream> s;

  tls_layer(beast::tcp_stream &&tcp, asio::ssl::context &ctx) : s(std::move(tcp), ctx) {}
  beast::tcp_stream &tcp() override { return s.next_layer(); }
  SSL *tls_handle() override { return s.native_handle(); }
  void verify_host_name(const std::string &host) override {
    s.set_verify_callback(asio::ssl::host_name_verification(host));
  }
  void read_some(const byte_stream::pieces<asio::mutable_buffer> &b, byte_stream::io_handler h) override {
    s.async_read_some(b, on_stream(s, std::move(h)));
  }
  void write_some(const byte_stream::pieces<asio::const_buffer> &b, byte_stream::io_handler h) override {
    s.async_write_some(b, on_stream(s, std::move(h)));
  }
  void handshake(asio::ssl::stream_base::handshake_type type, byte_stream::done_handler h) override {
    s.async_handshake(type, on_stream(s, std::move(h)));
  }
  void teardown(beast::role_type role, byte_stream::done_handler h) override {
    using beast::websocket::async_teardown;
    async_teardown(role, s, on_stream(s, std::move(h)));
  }
};

} // namespace

byte_stream::byte_stream(beast::tcp_stream &&tcp) : impl(std::make_unique<plain_layer>(std::move(tcp))) {}

byte_stream::byte_stream(beast::tcp_stream &&tcp, asio::ssl::context &ctx)
    : impl(std::make_unique<tls_layer>(std::move(tcp), ctx)) {}

void beast_close_socket(byte_stream &stream) {
  boost::system::error_code ec;
  stream.tcp().socket().close(ec);
}

} // namespace zint
