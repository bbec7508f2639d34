/* Test support: a nats-server child on loopback. The first start lets the server pick a free port ("-p -1")
 * and reads it from its log; a later start comes back on the same port. Stopped by PID. */
#pragma once
#include "support/process.h"
namespace vorn_test {
struct nats_fixture {
  int port = -1;                       /* chosen on the first start (or set before it), kept for restarts */
  std::string error;                   /* why the last start failed */
  std::vector<std::string> extra_args; /* appended to the command line (e.g. cluster options) */
  std::string url() const { return "nats://127.0.0.1:" + std::to_string(port); }
  std::string log_text() const { return proc_.err(); }
  /* Starts the server and waits until its log says it listens; false with error otherwise. */
  bool start() {
    if (proc_.running()) return true;
    std::vector<std::string> args = {env_or("VORN_NATS_SERVER", "nats-server"), "-a", "127.0.0.1", "-p",
                                     port > 0 ? std::to_string(port) : "-1"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    proc_.start(args, dir_.path() + "/out", dir_.path() + "/nats.log");
    int p = proc_.await_port("Listening for client connections on 127.0.0.1:", proc_.err_path,
                             std::chrono::seconds(15));
    if (p <= 0) {
      error = "nats-server did not come up: " + log_text();
      stop();
      return false;
    }
    port = p;
    return true;
  }
  void stop() { proc_.stop(SIGTERM, std::chrono::seconds(5)); }

 private:
  TempDir dir_; /* holds the log */
  Child proc_;
};
} // namespace vorn_test
