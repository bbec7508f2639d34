/* Test support: a nats-server child process on loopback. The first start lets the server pick a
 * free port ("-p -1") and reads it from the server's log; restart() brings it back on the same
 * port, so clients can be seen reconnecting. Stopped by PID, never by name. */
#ifndef VORN_TEST_NATS_FIXTURE_H
#define VORN_TEST_NATS_FIXTURE_H

#include "child_death.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vorn_test {

struct nats_fixture {
  pid_t pid = -1;      /* the running server, or -1 */
  int port = -1;       /* chosen on the first start, kept for restarts */
  std::string log_path; /* the server's stderr, kept for diagnostics */
  std::string error;   /* why the last start failed */
  std::vector<std::string> extra_args; /* appended to the command line (e.g. cluster options) */

  nats_fixture() = default;
  nats_fixture(const nats_fixture &) = delete;
  nats_fixture &operator=(const nats_fixture &) = delete;
  ~nats_fixture() {
    stop();
    if (!log_path.empty()) std::filesystem::remove(log_path);
  }

  /* The server binary: VORN_NATS_SERVER overrides the one on PATH. */
  static std::string binary() {
    const char *env = getenv("VORN_NATS_SERVER");
    return env && *env ? env : "nats-server";
  }

  std::string url() const { return "nats://127.0.0.1:" + std::to_string(port); }

  /* Starts the server (on the kept port after the first start) and waits until it accepts
   * connections. False, with error set, when it does not come up within timeout. */
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    if (pid > 0) return true;
    if (log_path.empty()) {
      char tmpl[] = "/tmp/vorn-nats-XXXXXX";
      int fd = mkstemp(tmpl);
      if (fd < 0) return fail("mkstemp failed");
      close(fd);
      log_path = tmpl;
    }
    int log_fd = open(log_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (log_fd < 0) return fail("cannot open " + log_path);
    std::string port_arg = port > 0 ? std::to_string(port) : "-1";
    std::string bin = binary();
    std::vector<std::string> args = {bin, "-a", "127.0.0.1", "-p", port_arg};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      die_with_parent(parent);
      dup2(log_fd, 1);
      dup2(log_fd, 2);
      execvp(bin.c_str(), argv.data());
      _exit(127);
    }
    close(log_fd);
    if (pid < 0) return fail("fork failed");
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return fail("nats-server exited: " + log_text());
      }
      if (port <= 0) port = reported_port();
      if (port > 0 && accepts()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return fail("nats-server did not come up: " + log_text());
  }

  /* Stops the server (SIGTERM, then SIGKILL after 5 s) and reaps it. */
  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
  }

  bool restart() {
    stop();
    return start();
  }

  std::string log_text() const {
    std::ifstream in(log_path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

private:
  bool fail(const std::string &why) {
    error = why;
    return false;
  }

  /* The port from "Listening for client connections on 127.0.0.1:<port>", or -1 so far. */
  int reported_port() const {
    std::string text = log_text();
    const std::string marker = "Listening for client connections on ";
    size_t at = text.find(marker);
    if (at == std::string::npos) return -1;
    size_t colon = text.find(':', at + marker.size());
    size_t eol = text.find('\n', at);
    if (colon == std::string::npos || eol == std::string::npos || colon > eol) return -1;
    return atoi(text.c_str() + colon + 1);
  }

  bool accepts() const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t) port);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
  }
};

} // namespace vorn_test

#endif
