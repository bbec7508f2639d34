/* Test support: the one HTTP and websocket test client, blocking, on 127.0.0.1; every read gives up after a
 * timeout instead of hanging the test. */
#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
namespace vorn_test {
struct HttpReply {
  int status = 0; /* 0 without a reply; error says why */
  std::string content_type, body, error;
};
/* GET target; after the reply it waits for the server's close, so the server no longer counts the connection.
 */
HttpReply http_get(int port, const std::string &target);
class WsClient {
 public:
  WsClient();
  ~WsClient();
  /* Connects (rcvbuf > 0: a smaller receive buffer), upgrades naming the sub-protocol and Origin if given. */
  bool open(int port, std::string *err = nullptr, const std::string &protocol = "vorn",
            const std::string &path = "/", int rcvbuf = 0, const std::string &origin = "");
  bool send(const std::string &text, bool binary = false);
  bool send_raw(const std::string &bytes); /* bytes as they are: hand-made frames */
  /* The next frame; nothing after an error, the server's close or max without one (last_error says which). */
  std::optional<std::string> read(std::chrono::milliseconds max = std::chrono::seconds(20));
  /* send, then the next frame or "<no frame: why>" */
  std::string ask(const std::string &text, bool binary = false);
  std::vector<std::string> drain(); /* the frames before the reply to a heartbeat sent now: all queued */
  std::optional<std::string> read_until(const std::function<bool(const std::string &)> &pred,
                                        std::vector<std::string> *skipped = nullptr);
  void close();           /* close handshake, up to the server's close frame */
  void abort();           /* drops the TCP connection */
  int close_code() const; /* of the server's close frame; 0 before one */
  std::string close_reason() const;
  int upgrade_status = 0; /* the HTTP status that answered the upgrade */
  std::string last_error;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
} // namespace vorn_test
