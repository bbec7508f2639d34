/* Test support: a throwaway PostgreSQL 15 cluster in a temporary directory, on a free loopback port and a
 * Unix socket in that directory, run as "postgres" when the test runs as root. Loads db/schema.sql, fills
 * rows, stops (by PID), freezes and resumes the server. */
#pragma once
#include "support/process.h"
#include <libpq-fe.h>
#include <pwd.h>
#include <optional>
namespace vorn_test {
using std::string;
class PgCluster {
 public:
  ~PgCluster() { stop(); }
  /* initdb (password authentication on TCP, trust on the socket) and start; err says why not. */
  bool start(string *err) {
    struct passwd *pw = geteuid() == 0 ? getpwnam("postgres") : nullptr; /* the server refuses root */
    std::ofstream(dir_.path() + "/pwfile") << "postgres-test\n";
    if (pw && (chown(dir_.path().c_str(), pw->pw_uid, pw->pw_gid) ||
               chown((dir_.path() + "/pwfile").c_str(), pw->pw_uid, pw->pw_gid))) {
      *err = "cannot hand " + dir_.path() + " to postgres";
      return false;
    }
    uid_ = pw ? pw->pw_uid : (uid_t) -1;
    gid_ = pw ? pw->pw_gid : (gid_t) -1;
    Child initdb;
    initdb.start(
        {bin("initdb"), "-D", dir_.path() + "/data", "-U", "postgres", "--pwfile=" + dir_.path() + "/pwfile",
         "--auth-local=trust", "--auth-host=scram-sha-256", "--encoding=UTF8", "--locale=C", "--no-sync"},
        log_path(), log_path(), -1, uid_, gid_);
    if (initdb.wait_exit(std::chrono::seconds(120)) != 0) {
      *err = "initdb failed:\n" + log_text();
      return false;
    }
    for (int attempt = 0; attempt < 5; attempt++) /* another process may take the free port first */
      if (launch_on(free_loopback_port(), err)) return true;
    return false;
  }
  bool restart(string *err) { return launch_on(port_, err); } /* same directory and port, after stop() */
  /* Fast shutdown: open sessions end, as in a real restart. */
  void stop() {
    thaw();
    pm_.stop(SIGINT);
  }
  /* Stops the postmaster and every process it started: connections are accepted by the kernel but never
   * answered, and queries on open ones get no answer either. */
  void freeze() { signal_all(SIGSTOP); }
  void thaw() { signal_all(SIGCONT); }
  int port() const { return port_; }
  const string &socket_dir() const { return dir_.path(); }
  string log_text() const { return read_file_text(log_path()); }
  /* Runs SQL as the superuser over the socket, with text parameters (nullopt = SQL null) if any. */
  bool exec(const string &db, const string &sql, string *err = nullptr,
            const std::vector<std::optional<string>> &params = {}) {
    std::vector<const char *> v;
    for (const auto &p : params) v.push_back(p ? p->c_str() : nullptr);
    PGconn *conn = PQconnectdb(
        ("host=" + dir_.path() + " port=" + std::to_string(port_) + " user=postgres dbname=" + db).c_str());
    PGresult *res =
        PQstatus(conn) != CONNECTION_OK ? nullptr
        : v.empty()                     ? PQexec(conn, sql.c_str()) /* several statements (a schema) */
                    : PQexecParams(conn, sql.c_str(), (int) v.size(), nullptr, v.data(), nullptr, nullptr, 0);
    bool ok = res && (PQresultStatus(res) == PGRES_COMMAND_OK || PQresultStatus(res) == PGRES_TUPLES_OK);
    if (!ok && err) *err = res ? PQresultErrorMessage(res) : PQerrorMessage(conn);
    PQclear(res);
    PQfinish(conn);
    return ok;
  }
  /* A database with the schema file (VORN_SOURCE_DIR/db/schema.sql unless given). */
  bool create_database(const string &db, string *err, string schema = "") {
    string sql = read_file_text(schema.empty() ? env_or("VORN_SOURCE_DIR", ".") + "/db/schema.sql" : schema);
    return exec("postgres", "create database " + quote(db, '"'), err) &&
           exec(db, sql.empty() ? "no schema" : sql, err);
  }
  /* A login role that must authenticate with its password over TCP, and may read every table. */
  bool create_login(const string &user, const string &password, string *err) {
    return exec("postgres", "create role " + quote(user, '"') + " login password " + quote(password, '\''),
                err) &&
           exec("postgres", "grant pg_read_all_data to " + quote(user, '"'), err);
  }
  bool add_harl(const string &db, int harl_id, std::optional<string> ip, std::optional<string> port,
                string *err = nullptr) {
    return exec(db, "insert into talbrek.harls (harl_id, ipaddress, port) values ($1, $2, $3)", err,
                {std::to_string(harl_id), std::move(ip), std::move(port)});
  }
  bool add_check(const string &db, const string &uuid, int harl_id, string *err = nullptr) {
    return exec(db, "insert into talbrek.checks (check_uuid, harl_id) values ($1, $2)", err,
                {uuid, std::to_string(harl_id)});
  }

 private:
  TempDir dir_;   /* data/, the socket, postgres.log; owned by the server user */
  Child pm_;      /* the postmaster */
  int port_ = -1; /* TCP port on 127.0.0.1 (also names the Unix socket) */
  uid_t uid_ = (uid_t) -1;
  gid_t gid_ = (gid_t) -1;
  static string bin(const char *name) {
    return env_or("VORN_PG_BINDIR", "/usr/lib/postgresql/15/bin") + "/" + name;
  }
  static string quote(const string &s, char q) { /* standard_conforming_strings: only q is doubled */
    string out(1, q);
    for (char c : s) out += c == q ? string(2, c) : string(1, c);
    return out + q;
  }
  string log_path() const { return dir_.path() + "/postgres.log"; }
  /* To the postmaster and each of its children, which start sessions of their own. */
  void signal_all(int sig) {
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
      string st = read_file_text(e.path() / "stat"); /* "pid (comm) state ppid ...": comm may hold ')' */
      long ppid = -1;
      if (st.rfind(')') != string::npos && sscanf(st.c_str() + st.rfind(')') + 1, " %*c %ld", &ppid) == 1 &&
          ppid == pm_.pid)
        kill(atoi(e.path().filename().c_str()), sig);
    }
    if (pm_.running()) kill(pm_.pid, sig);
  }
  bool launch_on(int port, string *err) {
    port_ = port;
    pm_.start({bin("postgres"), "-D", dir_.path() + "/data", "-p", std::to_string(port), "-c",
               "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=" + dir_.path(), "-c",
               "fsync=off", "-c", "synchronous_commit=off"},
              log_path(), log_path(), -1, uid_, gid_);
    auto ready = [&] {
      return exec("postgres", "select 1") || pm_.wait_exit(std::chrono::milliseconds(0)) != -2;
    };
    if (wait_until(ready, std::chrono::seconds(60)) && pm_.running()) return true;
    *err = "postgres did not become ready:\n" + log_text();
    pm_.stop(SIGKILL);
    return false;
  }
};
} // namespace vorn_test
