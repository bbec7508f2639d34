/* Test support: runs tools/harl-sim (the broker simulator) on a free loopback port, reads the port it prints,
 * follows its event log and stops it by PID. */
#pragma once
#include "support/process.h"
#include <boost/json.hpp>
#include <algorithm>
namespace vorn_test {
inline bool event_is(const boost::json::object &e, const char *kind) {
  return e.if_contains("event") && e.at("event") == kind;
}
class HarlSim {
 public:
  /* Starts harl-sim with extra options (--port 0 and --events are added) and waits for its "listening on
   * 127.0.0.1:<port>" line; false with err (and its output) on failure. */
  bool start(const std::vector<std::string> &extra, std::string *err) {
    std::vector<std::string> args = {env_or("VORN_TOOLS_DIR", "build/tools") + "/harl-sim", "--port", "0",
                                     "--events", events_};
    args.insert(args.end(), extra.begin(), extra.end());
    proc_.start(args, dir_.path() + "/out", dir_.path() + "/err");
    port_ = proc_.await_port("listening on 127.0.0.1:", proc_.out_path, std::chrono::seconds(30));
    if (port_ > 0) return true;
    *err = "harl-sim did not report its port: " + proc_.out() + proc_.err();
    stop();
    return false;
  }
  int stop() { return proc_.stop(); } /* SIGTERM by PID; the exit status, -1 when not a normal exit */
  int port() const { return port_; }
  pid_t pid() const { return proc_.pid; }
  /* The events so far: {"event":"connect"|"request"|"bad_request"|"refused"|"close","conn":N,...}. */
  std::vector<boost::json::object> events() const {
    std::vector<boost::json::object> out;
    std::istringstream in(read_file_text(events_));
    boost::system::error_code ec;
    for (std::string line; std::getline(in, line);)
      if (boost::json::value v = boost::json::parse(line, ec); !ec && v.is_object())
        out.push_back(v.as_object());
    return out;
  }
  /* The first event that satisfies pred, waited for; an empty object after the timeout. */
  boost::json::object wait_event(const std::function<bool(const boost::json::object &)> &pred,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    std::vector<boost::json::object> seen;
    auto it = seen.end();
    auto found = [&] {
      seen = events();
      it = std::ranges::find_if(seen, pred);
      return it != seen.end();
    };
    wait_until(found, timeout);
    return it != seen.end() ? *it : boost::json::object();
  }

 private:
  TempDir dir_; /* events, stdout and stderr of the simulator */
  std::string events_ = dir_.path() + "/events.jsonl";
  Child proc_;
  int port_ = -1;
};
} // namespace vorn_test
