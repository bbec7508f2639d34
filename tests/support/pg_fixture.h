/* Test support: a throwaway PostgreSQL 15 cluster in a temporary directory, listening on a free
 * loopback port and on a Unix socket inside that directory. Runs the server as "postgres" when the
 * test runs as root, loads db/schema.sql, fills rows and can stop, freeze and resume the server. */
#ifndef VORN_TEST_PG_FIXTURE_H
#define VORN_TEST_PG_FIXTURE_H

#include "child_death.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vorn_test {

/* Where the server binaries live; VORN_PG_BINDIR overrides it. */
inline std::string pg_bindir() {
  const char *env = getenv("VORN_PG_BINDIR");
  return env && *env ? env : "/usr/lib/postgresql/15/bin";
}

/* A port that nothing listened on a moment ago. PostgreSQL cannot bind port 0, so the fixture asks
 * the kernel for one and retries with another when the server loses the race for it. */
inline int pg_free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  socklen_t len = sizeof sa;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
    port = ntohs(sa.sin_port);
  close(fd);
  return port;
}

/* Quotes a value for libpq's connection-string syntax. */
inline std::string pg_conninfo_quote(const std::string &v) {
  std::string out = "'";
  for (char c : v) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

/* One cluster. Not copyable; the destructor stops the server and removes the directory. */
class PgCluster {
 public:
  PgCluster() = default;
  PgCluster(const PgCluster &) = delete;
  PgCluster &operator=(const PgCluster &) = delete;
  ~PgCluster() {
    if (getpid() != owner_) return;  // a forked child (death test) must not stop the parent's server
    stop();
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  /* initdb a new cluster (password authentication on TCP, trust on the Unix socket) and start it.
   * On failure err says why (with the server's log). */
  bool start(std::string *err) {
    if (!make_dir(err) || !initdb(err)) return false;
    for (int attempt = 0; attempt < 5; attempt++) {
      if (launch(err)) return true;
    }
    return false;
  }

  /* Starts the server again on the same data directory and port after stop(). */
  bool restart(std::string *err) { return launch_on(port_, err); }

  /* SIGINT by PID (fast shutdown: open sessions, such as the service's persistent connections,
   * are ended, as in a real restart), then wait for the exit; a frozen server is resumed first.
   * Escalates to SIGQUIT and SIGKILL if the server does not go within 30 seconds each. */
  void stop() {
    if (pid_ <= 0 || getpid() != owner_) return;
    thaw();
    for (int sig : {SIGINT, SIGQUIT, SIGKILL}) {
      kill(pid_, sig);
      if (wait_exit(std::chrono::seconds(30))) break;
    }
    pid_ = -1;
  }

  /* Freeze and thaw the whole server, the postmaster and every process it started (the sessions
   * of open connections included): new connections are accepted by the kernel but never answered,
   * and queries on open ones get no answer either. */
  void freeze() { signal_all(SIGSTOP); }
  void thaw() { signal_all(SIGCONT); }

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string &socket_dir() const { return dir_; }
  std::string log_text() const {
    std::ifstream in(dir_ + "/postgres.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  /* Superuser connection over the Unix socket (trust), for the test's own set-up. */
  std::string admin_conninfo(const std::string &db = "postgres") const {
    return "host=" + pg_conninfo_quote(dir_) + " port=" + std::to_string(port_) +
           " user=postgres dbname=" + pg_conninfo_quote(db) + " connect_timeout=10";
  }

  /* Runs SQL text (several statements allowed) as the superuser; false with err on failure. */
  bool exec(const std::string &db, const std::string &sql, std::string *err = nullptr) {
    PGconn *conn = PQconnectdb(admin_conninfo(db).c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
      PGresult *res = PQexec(conn, sql.c_str());
      ExecStatusType st = PQresultStatus(res);
      ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
      if (!ok && err) *err = PQresultErrorMessage(res);
      PQclear(res);
    } else if (err) {
      *err = PQerrorMessage(conn);
    }
    PQfinish(conn);
    return ok;
  }

  /* Runs one statement with text parameters (nullopt = SQL null). */
  bool exec_params(const std::string &db, const std::string &sql,
                   const std::vector<std::optional<std::string>> &params,
                   std::string *err = nullptr) {
    std::vector<const char *> values;
    for (const auto &p : params) values.push_back(p ? p->c_str() : nullptr);
    PGconn *conn = PQconnectdb(admin_conninfo(db).c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
      PGresult *res = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0);
      ExecStatusType st = PQresultStatus(res);
      ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
      if (!ok && err) *err = PQresultErrorMessage(res);
      PQclear(res);
    } else if (err) {
      *err = PQerrorMessage(conn);
    }
    PQfinish(conn);
    return ok;
  }

  /* Creates a database and loads the schema file into it (VORN_SOURCE_DIR/db/schema.sql unless a
   * path is given). */
  bool create_database(const std::string &db, std::string *err, std::string schema_path = "") {
    if (schema_path.empty()) {
      const char *src = getenv("VORN_SOURCE_DIR");
      schema_path = std::string(src ? src : ".") + "/db/schema.sql";
    }
    std::ifstream in(schema_path);
    if (!in) {
      if (err) *err = "cannot read " + schema_path;
      return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    return exec("postgres", "create database " + quote_ident(db), err) && exec(db, ss.str(), err);
  }

  /* A login role that must authenticate with its password over TCP. */
  bool create_login(const std::string &user, const std::string &password, std::string *err) {
    return exec("postgres",
                "create role " + quote_ident(user) + " login password " + quote_literal(password),
                err) &&
           exec("postgres", "grant pg_read_all_data to " + quote_ident(user), err);
  }

  bool add_harl(const std::string &db, int harl_id, std::optional<std::string> ip,
                std::optional<std::string> port, std::string *err = nullptr) {
    return exec_params(db, "insert into talbrek.harls (harl_id, ipaddress, port) values ($1, $2, $3)",
                       {std::to_string(harl_id), std::move(ip), std::move(port)}, err);
  }
  bool add_check(const std::string &db, const std::string &uuid, int harl_id,
                 std::string *err = nullptr) {
    return exec_params(db, "insert into talbrek.checks (check_uuid, harl_id) values ($1, $2)",
                       {uuid, std::to_string(harl_id)}, err);
  }

  static std::string quote_ident(const std::string &s) {
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  }
  static std::string quote_literal(const std::string &s) {
    std::string out = "E'";
    for (char c : s) {
      if (c == '\'' || c == '\\') out += c;
      out += c;
    }
    return out + "'";
  }

 private:
  /* sig to the postmaster and to each of its children (found by their parent in /proc). */
  void signal_all(int sig) {
    if (pid_ <= 0) return;
    kill(pid_, sig);
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
      std::string name = e.path().filename();
      if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream in(e.path() / "stat");
      std::string stat;
      if (!std::getline(in, stat)) continue;
      // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so read after the last ')'.
      size_t close = stat.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(stat.substr(close + 1));
      char state;
      long ppid = 0;
      if (rest >> state >> ppid && ppid == pid_) kill(static_cast<pid_t>(std::stol(name)), sig);
    }
  }

  std::string dir_;  // temporary directory: data/, the socket, postgres.log; owned by the server user
  int port_ = -1;    // TCP port on 127.0.0.1 (also names the Unix socket)
  pid_t pid_ = -1;   // the postmaster, our child; -1 when not running
  pid_t owner_ = getpid();  // the process that made the cluster and alone may stop or remove it
  uid_t uid_ = 0;    // the user the server runs as
  gid_t gid_ = 0;

  bool make_dir(std::string *err) {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorn-pg-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
      *err = "mkdtemp failed";
      return false;
    }
    dir_ = buf.data();
    uid_ = geteuid();
    gid_ = getegid();
    if (uid_ == 0) {
      // The server refuses to run as root.
      struct passwd *pw = getpwnam("postgres");
      if (!pw) {
        *err = "running as root but there is no postgres user";
        return false;
      }
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
      if (chown(dir_.c_str(), uid_, gid_) != 0) {
        *err = "chown of " + dir_ + " failed";
        return false;
      }
    }
    return true;
  }

  /* Runs argv as the server user with output appended to postgres.log; returns the child's PID. */
  pid_t spawn(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::string log = dir_ + "/postgres.log";
    bool drop = geteuid() == 0;
    uid_t uid = uid_;
    gid_t gid = gid_;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    // Child: only async-signal-safe calls until exec.
    if (drop && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    die_with_parent(parent);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    setsid();  // a terminal's ^C goes to the test, which then stops the server itself
    execv(argv[0], argv.data());
    _exit(127);
  }

  bool initdb(std::string *err) {
    std::string pwfile = dir_ + "/pwfile";
    {
      std::ofstream pw(pwfile);
      pw << "postgres-test\n";
    }
    if (chown(pwfile.c_str(), uid_, gid_) != 0) {
      *err = "chown of pwfile failed";
      return false;
    }
    pid_t pid = spawn({pg_bindir() + "/initdb", "-D", dir_ + "/data", "-U", "postgres",
                       "--pwfile=" + pwfile, "--auth-local=trust", "--auth-host=scram-sha-256",
                       "--encoding=UTF8", "--locale=C", "--no-sync"});
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      *err = "initdb failed:\n" + log_text();
      return false;
    }
    return true;
  }

  bool launch(std::string *err) {
    int port = pg_free_loopback_port();
    if (port <= 0) {
      *err = "no free port";
      return false;
    }
    return launch_on(port, err);
  }

  bool launch_on(int port, std::string *err) {
    port_ = port;
    pid_ = spawn({pg_bindir() + "/postgres", "-D", dir_ + "/data", "-p", std::to_string(port),
                  "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + dir_,
                  "-c", "fsync=off", "-c", "full_page_writes=off", "-c", "synchronous_commit=off",
                  "-c", "logging_collector=off", "-c", "max_connections=50"});
    if (pid_ < 0) {
      *err = "fork failed";
      return false;
    }
    std::string probe = admin_conninfo();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *err = "postgres exited during start-up:\n" + log_text();
        return false;
      }
      if (PQping(probe.c_str()) == PQPING_OK) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *err = "postgres did not become ready:\n" + log_text();
    stop();
    return false;
  }

  bool wait_exit(std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || r < 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

}  // namespace vorn_test

#endif
