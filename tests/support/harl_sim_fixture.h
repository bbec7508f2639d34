/* Test support: runs build/tools/harl-sim (the broker simulator) on a free loopback port, reads
 * the port it prints, follows its event log and stops it by PID. Also makes a throwaway TLS
 * certificate for 127.0.0.1 with the openssl command. */
#ifndef VORN_TEST_HARL_SIM_FIXTURE_H
#define VORN_TEST_HARL_SIM_FIXTURE_H

#include "child_death.h"

#include <boost/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vorn_test {

/* A private temporary directory, removed with its contents on destruction. */
class TempDir {
 public:
  TempDir() {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    if (!path_.empty() && getpid() == owner_) {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;  // empty when mkdtemp failed
  pid_t owner_ = getpid();
};

inline std::string read_file_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

/* A self-signed certificate for 127.0.0.1 (and localhost) valid for a day: cert.pem, key.pem. */
inline bool make_test_certificate(const std::string &dir, std::string *cert, std::string *key) {
  *cert = dir + "/cert.pem";
  *key = dir + "/key.pem";
  std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
                    " -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
                    *key + " -out " + *cert + " > " + dir + "/openssl.log 2>&1";
  return system(cmd.c_str()) == 0;
}

/* True when the event record e is of the given kind. */
inline bool event_is(const boost::json::object &e, const char *kind) {
  const boost::json::value *v = e.if_contains("event");
  return v && v->is_string() && v->as_string() == kind;
}

/* One running simulator. */
class HarlSim {
 public:
  HarlSim() = default;
  HarlSim(const HarlSim &) = delete;
  HarlSim &operator=(const HarlSim &) = delete;
  ~HarlSim() { stop(); }

  /* Starts harl-sim with extra options (the fixture adds --port 0 and --events); waits for its
   * "listening on" line. False with err (and the simulator's stderr) on failure. */
  bool start(const std::vector<std::string> &extra, std::string *err) {
    if (dir_.path().empty()) {
      *err = "mkdtemp failed";
      return false;
    }
    const char *tools = getenv("VORN_TOOLS_DIR");
    std::string bin = std::string(tools ? tools : "build/tools") + "/harl-sim";
    events_ = dir_.path() + "/events.jsonl";
    stderr_ = dir_.path() + "/harl-sim.err";
    std::vector<std::string> args = {bin, "--port", "0", "--events", events_};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      *err = "pipe failed";
      return false;
    }
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      die_with_parent(parent);
      dup2(out[1], 1);
      int fd = open(stderr_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (fd >= 0) dup2(fd, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_fd_ = out[0];
    if (pid_ < 0) {
      *err = "fork failed";
      return false;
    }
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      struct pollfd pfd = {out_fd_, POLLIN, 0};
      char buf[256];
      ssize_t n = 0;
      if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0 ||
          (n = read(out_fd_, buf, sizeof buf)) <= 0) {
        *err = "harl-sim did not report its port: " + read_file_text(stderr_);
        stop();
        return false;
      }
      line.append(buf, static_cast<size_t>(n));
    }
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) {
      *err = "unexpected first line: " + line;
      stop();
      return false;
    }
    port_ = atoi(line.c_str() + prefix.size());
    return port_ > 0;
  }

  /* SIGTERM by PID and wait; returns the exit status (-1 when it did not exit normally or was not
   * running). Escalates to SIGKILL after 30 seconds. */
  int stop() {
    if (out_fd_ >= 0) {
      close(out_fd_);
      out_fd_ = -1;
    }
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    pid_t r = 0;
    while ((r = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return r > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string &dir() const { return dir_.path(); }
  std::string stderr_text() const { return read_file_text(stderr_); }

  /* The events logged so far: {"event":"connect"|"request"|"bad_request"|"refused"|"close",
   * "conn":N, ...}. */
  std::vector<boost::json::object> events() const {
    std::vector<boost::json::object> out;
    std::istringstream in(read_file_text(events_));
    std::string line;
    while (std::getline(in, line)) {
      boost::system::error_code ec;
      boost::json::value v = boost::json::parse(line, ec);
      if (!ec && v.is_object()) out.push_back(v.as_object());
    }
    return out;
  }

  /* Waits until some event satisfies pred; returns it, or an empty object after the timeout. */
  boost::json::object wait_event(const std::function<bool(const boost::json::object &)> &pred,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      for (const auto &e : events())
        if (pred(e)) return e;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return {};
  }

  size_t count_events(const std::string &kind) const {
    size_t n = 0;
    for (const auto &e : events())
      if (event_is(e, kind.c_str())) n++;
    return n;
  }

 private:
  TempDir dir_;          // events file and the simulator's stderr
  std::string events_, stderr_;
  pid_t pid_ = -1;       // the simulator, our child; -1 when not running
  int out_fd_ = -1;      // read end of its stdout
  int port_ = -1;
};

}  // namespace vorn_test

#endif
