/* Test support: child processes started and stopped by PID with their output in files, private temporary
 * directories, free loopback ports. */
#pragma once
#include "support/wait.h"
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>
namespace vorn_test {
inline std::string env_or(const char *name, const std::string &dflt) {
  return getenv(name) && *getenv(name) ? getenv(name) : dflt;
}
inline std::string read_file_text(const std::string &path) {
  return (std::stringstream() << std::ifstream(path).rdbuf()).str();
}
/* A loopback port that nothing listened on a moment ago (for servers that cannot bind port 0). */
inline int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof sa;
  bool ok = bind(fd, (sockaddr *) &sa, sizeof sa) == 0 && getsockname(fd, (sockaddr *) &sa, &len) == 0;
  close(fd);
  return ok ? ntohs(sa.sin_port) : -1;
}
/* A private temporary directory (path() empty when mkdtemp failed), removed by the process that made it. */
class TempDir {
 public:
  TempDir() : path_(env_or("TMPDIR", "/tmp") + "/vorn-test-XXXXXX") {
    path_ = mkdtemp(path_.data()) ? path_ : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty() && getpid() == owner_) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  pid_t owner_ = getpid();
};
/* A child process in a session of its own (PATH searched), killed when the test program ends however it
 * ends, its stdout and stderr appended to files, stdin from in_fd (-1: /dev/null), run as uid/gid when given.
 * A forked copy of the test program (death test) leaves it alone. */
struct Child {
  pid_t pid = -1, owner = getpid();
  int status = -1; /* wait status once reaped */
  std::string out_path, err_path;
  Child() = default;
  Child(const Child &) = delete;
  ~Child() { stop(SIGKILL); }
  bool start(const std::vector<std::string> &args, const std::string &out, const std::string &err,
             int in_fd = -1, uid_t uid = -1, gid_t gid = -1) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    out_path = out;
    err_path = err;
    if (uid == (uid_t) -1) { /* else the child makes them as uid */
      std::ofstream{out, std::ios::trunc};
      std::ofstream{err, std::ios::app};
    }
    pid_t parent = getpid();
    if ((pid = fork()) != 0) return pid > 0; /* the child makes only async-signal-safe calls until exec */
    if (uid != (uid_t) -1 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int n = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY);
    if (getppid() != parent || o < 0 || e < 0 || n < 0 || dup2(n, 0) < 0 || dup2(o, 1) < 0 ||
        dup2(e, 2) < 0 || setsid() < 0)
      _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  std::string out() const { return read_file_text(out_path); }
  std::string err() const { return read_file_text(err_path); }
  bool running() const { return pid > 0; }
  /* The exit code; -2 on timeout (it still runs), -1 when it ended by a signal. */
  int wait_exit(std::chrono::milliseconds max = std::chrono::seconds(30)) {
    if (pid > 0 && !wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, max)) return -2;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  /* sig by PID and wait; SIGKILL when it does not end within max. Returns as wait_exit. */
  int stop(int sig = SIGTERM, std::chrono::milliseconds max = std::chrono::seconds(30)) {
    int rc = pid > 0 && getpid() == owner && kill(pid, sig) == 0 ? wait_exit(max) : -1;
    if (rc == -2) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      pid = -1;
    }
    return rc;
  }
  /* The port in the first "<marker><port>\n" of file, waited for; -1 when the process ends first. */
  int await_port(const std::string &marker, const std::string &file,
                 std::chrono::milliseconds max = std::chrono::seconds(60)) {
    int port = -1;
    wait_until(
        [&] {
          std::string text = read_file_text(file);
          size_t at = text.find(marker);
          if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            port = atoi(text.c_str() + at + marker.size());
          return port > 0 || wait_exit(std::chrono::milliseconds(0)) != -2;
        },
        max);
    return port;
  }
};
} // namespace vorn_test
