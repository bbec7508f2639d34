/* Test support: the one HTTP and websocket test client, blocking, on 127.0.0.1; reads give up after
 * a timeout instead of hanging the test. */
#ifndef VORN_TEST_CLIENT_H
#define VORN_TEST_CLIENT_H
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
/* GET target; after the reply it half-closes and waits for the server's close, so the server no
 * longer counts the connection on return. */
HttpReply http_get(int port, const std::string &target);

class WsClient {
 public:
  WsClient();
  ~WsClient();
  /* Connects and upgrades naming the sub-protocol (and Origin, when given); rcvbuf > 0 shrinks the
   * receive buffer first. upgrade_status is the HTTP status of the answer. */
  bool open(int port, std::string *err = nullptr, const std::string &protocol = "vorn", const std::string &path = "/",
            int rcvbuf = 0, const std::string &origin = "");
  bool send(const std::string &text, bool binary = false);
  bool send_raw(const std::string &bytes);                    /* bytes as they are (hand-made frames) */
  bool send_fragments(const std::string &text, size_t piece); /* one text message in fragments */
  /* The next frame; nullopt after an error, the server's close or max without a frame. */
  std::optional<std::string> read(std::chrono::milliseconds max = std::chrono::seconds(20));
  std::string ask(const std::string &text, bool binary = false); /* send, then the next frame or "<no frame: why>" */
  /* The frames that arrive before the reply to a heartbeat sent now: all that were queued so far. */
  std::vector<std::string> drain();
  /* Reads until a frame satisfies pred; the frames before it go to skipped. */
  std::optional<std::string> read_until(const std::function<bool(const std::string &)> &pred,
                                        std::vector<std::string> *skipped = nullptr);
  std::string read_raw_to_end(); /* bytes until the server ends the connection, then "<eof>" or "<why>" */
  void close();                  /* close handshake, then up to the end of the session on both sides */
  void abort();                  /* drops the TCP connection */
  int close_code() const;        /* of the server's close frame; 0 before one */
  std::string close_reason() const;
  int upgrade_status = 0;
  std::string last_error; /* why the last read or send failed */

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn_test
#endif
