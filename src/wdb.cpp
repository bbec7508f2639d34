/* wdb: broker address lookup in the broker database (PostgreSQL, through libpq). The connection
 * string is built once at start-up; every lookup opens, uses and closes its own connection, so the
 * module holds no connection and needs no lock. */
#include "wdb.h"
#include "zint/zint_logsafe.h"

#include "stats.h"
#include "stats/stats.h"
#include "zint/zint_common.h"
#include "zint/zint_conf.h"

#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

/* Read-only after wdb_init. */
static char *conn_info;             /* libpq connection string; holds the password, never logged */
static int query_timeout_s = 5;     /* also bounds a query on a server that stalls after connecting */
static const char *select_by_uuid =
    "select n.harl_id, n.ipaddress, n.port from talbrek.checks c join talbrek.harls n using "
    "(harl_id) where c.check_uuid = $1";
static const char *select_test = "select * from talbrek.harls limit 1";
static stats_handle_t *wdb_err_counter;

static const int WDB_DEFAULT_CONNECT_TIMEOUT_S = 5;

/* libpq's connection-string syntax: a value in single quotes with \ and ' escaped by a backslash.
 * Unquoted, a blank in a password would end the value and the rest would be read as options. */
static void wdb_append_quoted(std::string &out, const char *keyword, const char *value) {
  if (!out.empty()) out += ' ';
  out += keyword;
  out += " = '";
  for (const char *p = value; *p; p++) {
    if (*p == '\\' || *p == '\'') out += '\\';
    out += *p;
  }
  out += '\'';
}

char *wdb_make_conn_info(const char *host, int port, const char *dbname, const char *user,
                         const char *password, int connect_timeout_s) {
  std::string s;
  s.reserve(256);
  wdb_append_quoted(s, "host", host);
  wdb_append_quoted(s, "port", std::to_string(port).c_str());
  wdb_append_quoted(s, "dbname", dbname);
  wdb_append_quoted(s, "user", user);
  if (password) wdb_append_quoted(s, "password", password);
  wdb_append_quoted(s, "connect_timeout", std::to_string(connect_timeout_s).c_str());
  return strdup(s.c_str());
}

/* Sends sql and waits for its result for at most query_timeout_s. Returns the first result (the
 * caller clears it) or null with why set; the connection is unusable afterwards in that case. */
static PGresult *wdb_exec_timed(PGconn *conn, const char *sql, int nparams, const char *const *params,
                                std::string &why) {
  if (!PQsendQueryParams(conn, sql, nparams, nullptr, params, nullptr, nullptr, 0)) {
    why = PQerrorMessage(conn);
    return nullptr;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(query_timeout_s);
  PGresult *first = nullptr;
  for (;;) {
    while (PQisBusy(conn)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) {
        why = "no answer within " + std::to_string(query_timeout_s) + " s";
        PQclear(first);
        return nullptr;
      }
      struct pollfd pfd = {PQsocket(conn), POLLIN, 0};
      int r = poll(&pfd, 1, static_cast<int>(left));
      if (r < 0 && errno != EINTR) {
        why = std::string("poll: ") + strerror(errno);
        PQclear(first);
        return nullptr;
      }
      if (r > 0 && !PQconsumeInput(conn)) {
        why = PQerrorMessage(conn);
        PQclear(first);
        return nullptr;
      }
    }
    PGresult *res = PQgetResult(conn);
    if (!res) break;
    if (!first)
      first = res;
    else
      PQclear(res);
  }
  if (!first) why = PQerrorMessage(conn);
  return first;
}

/* libpq's messages end in a newline (several lines at times); logged cleaned, as one line. */
static std::string trim_nl(const char *text) {
  std::string t = text ? text : "";
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t;
}

static std::string pq_error_text(PGconn *conn) { return trim_nl(PQerrorMessage(conn)); }

/* Reads one required configuration text; exits with status 1 when it is absent. */
static char *wdb_conf_required(const char *path) {
  char *v = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, path, &v) || !v) {
    zint_log(zint_error, "wdb:wdb_init missing configuration value %s\n", path);
    exit(1);
  }
  return v;
}

void wdb_init(void) {
  char *host = wdb_conf_required("//vorn/wdb/host");
  int32_t port = 0;
  if (!zint_conf_get_int32(ZINT_CONF_ROOT, "//vorn/wdb/port", &port)) {
    zint_log(zint_error, "wdb:wdb_init missing or non-numeric configuration value %s\n",
             "//vorn/wdb/port");
    exit(1);
  }
  char *database = wdb_conf_required("//vorn/wdb/database");
  char *user = wdb_conf_required("//vorn/wdb/user");
  /* A database that trusts this host or reads a password file needs none. */
  char *password = nullptr;
  zint_conf_get_string(ZINT_CONF_ROOT, "//vorn/wdb/password", &password);
  int32_t timeout = WDB_DEFAULT_CONNECT_TIMEOUT_S;
  zint_conf_get_int32(ZINT_CONF_ROOT, "//vorn/wdb/connect_timeout", &timeout);

  if (port < 1 || port > 65535) {
    zint_log(zint_error, "wdb:wdb_init port %d is outside 1..65535\n", port);
    exit(1);
  }
  /* libpq waits forever for 0 or less; a hung database would then hold a stream's lock forever. */
  if (timeout < 1) {
    zint_log(zint_error, "wdb:wdb_init connect_timeout %d is not a positive number of seconds\n",
             timeout);
    exit(1);
  }
  char *built = wdb_make_conn_info(host, port, database, user, password, timeout);
  free(host);
  free(database);
  free(user);
  if (password) {
    explicit_bzero(password, strlen(password));
    free(password);
  }
  if (!built) {
    zint_log(zint_error, "wdb:wdb_init vorn_asprintf failed\n");
    exit(1);
  }
  if (conn_info) {
    explicit_bzero(conn_info, strlen(conn_info));
    free(conn_info);
  }
  conn_info = built;
  /* libpq rounds a connect_timeout of 1 up to 2 seconds; queries get the same bound. */
  query_timeout_s = timeout < 2 ? 2 : timeout;

  PGconn *conn = PQconnectdb(conn_info);
  if (PQstatus(conn) != CONNECTION_OK) {
    zint_log(zint_error, "Test connection to wdb failed: %s\n", ZINT_LOG_TEXT(pq_error_text(conn).c_str()));
    PQfinish(conn);
    exit(1);
  }
  std::string why;
  PGresult *res = wdb_exec_timed(conn, select_test, 0, nullptr, why);
  if (PQresultStatus(res) != PGRES_TUPLES_OK) {
    zint_log(zint_error, "SELECT test failed: %s\n",
             ZINT_LOG_TEXT(res ? pq_error_text(conn).c_str() : trim_nl(why.c_str()).c_str()));
    PQclear(res);
    PQfinish(conn);
    exit(1);
  }
  PQclear(res);
  PQfinish(conn);

  wdb_err_counter =
      stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "wdb", STATS_TYPE_COUNTER);
}

const char *wdb_find_harl_ip(const char *uuid, int *port) {
  if (!uuid || !port || !conn_info) {
    zint_log(zint_error, "wdb_find_harl_ip called without %s\n",
             !conn_info ? "wdb_init" : "a uuid or port");
    return nullptr;
  }
  PGconn *conn = PQconnectdb(conn_info);
  if (PQstatus(conn) != CONNECTION_OK) {
    ZINT_LOG_LIMITED(zint_error, "wdb_find_harl_ip connection to wdb failed: %s\n",
                     ZINT_LOG_TEXT(pq_error_text(conn).c_str()));
    PQfinish(conn);
    report_error(wdb_err_counter);
    return nullptr;
  }
  std::string why;
  const char *params[1] = {uuid};
  PGresult *res = wdb_exec_timed(conn, select_by_uuid, 1, params, why);
  /* No connection outlives the call; the result stays valid without it. */
  PQfinish(conn);

  if (PQresultStatus(res) != PGRES_TUPLES_OK) {
    ZINT_LOG_LIMITED(zint_error, "select_by_uuid command failed: %s\n",
                     ZINT_LOG_TEXT(trim_nl(res ? PQresultErrorMessage(res) : why.c_str()).c_str()));
    PQclear(res);
    report_error(wdb_err_counter);
    return nullptr;
  }
  if (PQntuples(res) == 0) {
    ZINT_LOG_LIMITED(zint_error, "Didn't find any harls in wdb (0 rows returned) for uuid: %s\n", ZINT_LOG_TEXT(uuid));
    PQclear(res);
    return nullptr;
  }
  if (PQnfields(res) < 3) {
    /* The query names three columns; fewer means the server answered something else. */
    ZINT_LOG_LIMITED(zint_error, "Didn't find any harls in wdb (0 fields returned?) for uuid: %s\n", ZINT_LOG_TEXT(uuid));
    PQclear(res);
    report_error(wdb_err_counter);
    return nullptr;
  }
  int harl_id = static_cast<int>(strtol(PQgetvalue(res, 0, 0), nullptr, 10));
  if (PQgetisnull(res, 0, 1)) {
    ZINT_LOG_LIMITED(zint_error, "ipaddress is null for uuid: %s, harl_id: %d\n", ZINT_LOG_TEXT(uuid), harl_id);
    PQclear(res);
    report_error(wdb_err_counter);
    return nullptr;
  }
  /* A port that is null, not a number or outside 1..65535 cannot be connected to: the broker is
   * treated as having no address. */
  const char *port_text = PQgetvalue(res, 0, 2);
  char *end = nullptr;
  errno = 0;
  long p = strtol(port_text, &end, 10);
  if (errno != 0 || end == port_text || *end != '\0' || p < 1 || p > 65535) {
    ZINT_LOG_LIMITED(zint_error, "port '%s' is not usable for uuid: %s, harl_id: %d\n",
                     ZINT_LOG_TEXT(port_text), ZINT_LOG_TEXT(uuid), harl_id);
    PQclear(res);
    report_error(wdb_err_counter);
    return nullptr;
  }
  char *ip = strdup(PQgetvalue(res, 0, 1));
  PQclear(res);
  ZINT_ASSERT(ip != nullptr);
  *port = static_cast<int>(p);
  return ip;
}
