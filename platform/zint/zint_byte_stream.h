/* zint byte stream: one connection type for plain TCP and TLS alike, the kind chosen at run time.
 * Beast's websocket and HTTP templates instantiated over it are compiled once for both kinds; each
 * read, write, handshake and teardown reaches the real stream through one virtual call, whose
 * templates are compiled once, in zint_byte_stream.cpp. Meets Beast's AsyncStream requirements and
 * brings the websocket teardown and socket close that Beast finds by argument-dependent lookup. */
#ifndef ZINT_BYTE_STREAM_H
#define ZINT_BYTE_STREAM_H

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <openssl/ssl.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace zint {

class byte_stream {
public:
  using executor_type = boost::asio::any_io_executor;
  using error_code = boost::system::error_code;
  using io_handler = boost::asio::any_completion_handler<void(error_code, std::size_t)>;
  using done_handler = boost::asio::any_completion_handler<void(error_code)>;

  /* The first pieces of a buffer sequence. A read or write may transfer less than asked, so a
   * longer sequence is simply cut; Beast's frames use two or three pieces. */
  template <class Buffer> struct pieces {
    std::array<Buffer, 8> at;
    std::size_t n = 0;
    const Buffer *begin() const { return at.data(); }
    const Buffer *end() const { return at.data() + n; }
  };

  /* The real stream behind; implemented in zint_byte_stream.cpp for plain TCP and for TLS. */
  struct layer {
    virtual ~layer() = default;
    virtual boost::beast::tcp_stream &tcp() = 0;
    virtual SSL *tls_handle() = 0; /* null for plain TCP */
    virtual void verify_host_name(const std::string &host) = 0;
    virtual void read_some(const pieces<boost::asio::mutable_buffer> &b, io_handler h) = 0;
    virtual void write_some(const pieces<boost::asio::const_buffer> &b, io_handler h) = 0;
    virtual void handshake(boost::asio::ssl::stream_base::handshake_type type, done_handler h) = 0;
    virtual void teardown(boost::beast::role_type role, done_handler h) = 0;
  };

  /* Plain TCP over tcp, or TLS with ctx over tcp; ctx must outlive the stream. */
  explicit byte_stream(boost::beast::tcp_stream &&tcp);
  byte_stream(boost::beast::tcp_stream &&tcp, boost::asio::ssl::context &ctx);
  byte_stream(byte_stream &&) = default;
  byte_stream &operator=(byte_stream &&) = default;

  executor_type get_executor() { return impl->tcp().get_executor(); }
  /* The TCP connection underneath (connect, expiry, close). */
  boost::beast::tcp_stream &tcp() { return impl->tcp(); }
  /* The OpenSSL connection of a TLS stream (server name, verification); null for plain TCP. */
  SSL *tls_handle() { return impl->tls_handle(); }
  /* A TLS client's check that the server's certificate names host; nothing on plain TCP. */
  void verify_host_name(const std::string &host) { impl->verify_host_name(host); }

  template <class MutableBufferSequence, class Token>
  auto async_read_some(const MutableBufferSequence &buffers, Token &&token) {
    return boost::asio::async_initiate<Token, void(error_code, std::size_t)>(
        [](auto h, layer *l, const pieces<boost::asio::mutable_buffer> &b) {
          l->read_some(b, io_handler(std::move(h)));
        },
        token, impl.get(), cut<boost::asio::mutable_buffer>(buffers));
  }

  template <class ConstBufferSequence, class Token>
  auto async_write_some(const ConstBufferSequence &buffers, Token &&token) {
    return boost::asio::async_initiate<Token, void(error_code, std::size_t)>(
        [](auto h, layer *l, const pieces<boost::asio::const_buffer> &b) {
          l->write_some(b, io_handler(std::move(h)));
        },
        token, impl.get(), cut<boost::asio::const_buffer>(buffers));
  }

  /* The TLS handshake; on a plain stream it completes at once without error. */
  template <class Token>
  auto async_handshake(boost::asio::ssl::stream_base::handshake_type type, Token &&token) {
    return boost::asio::async_initiate<Token, void(error_code)>(
        [](auto h, layer *l, boost::asio::ssl::stream_base::handshake_type t) {
          l->handshake(t, done_handler(std::move(h)));
        },
        token, impl.get(), type);
  }

  /* Websocket teardown as Beast's for the real stream: TLS close_notify, then the TCP shutdown. */
  template <class Handler> void async_teardown(boost::beast::role_type role, Handler &&handler) {
    impl->teardown(role, done_handler(std::forward<Handler>(handler)));
  }

private:
  template <class Buffer, class Sequence> static pieces<Buffer> cut(const Sequence &seq) {
    pieces<Buffer> p;
    auto end = boost::asio::buffer_sequence_end(seq);
    for (auto it = boost::asio::buffer_sequence_begin(seq); it != end; ++it) {
      Buffer b(*it);
      if (b.size() == 0) continue;
      if (p.n == p.at.size()) break;
      p.at[p.n++] = b;
    }
    return p;
  }

  std::unique_ptr<layer> impl;
};

/* Found by Beast's websocket stream through argument-dependent lookup. */
template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, byte_stream &stream, TeardownHandler &&handler) {
  stream.async_teardown(role, std::forward<TeardownHandler>(handler));
}
void beast_close_socket(byte_stream &stream);

} // namespace zint

#endif
