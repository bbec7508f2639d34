/* wdb: broker address lookup in the broker database (PostgreSQL, through libpq). Lookups run on
 * the job queue "wdb", whose threads each keep one persistent connection with the lookup prepared on
 * it; an event thread never waits for the database. Answers are kept per check for a while ("no
 * such check" briefly, failures not at all), and lookups of a check that overlap wait for one query.
 * Answers found in the cache are handed over on the queue "wdb_answers", which never waits for the
 * database either, so they are not held up behind lookups of a stalled server. */
#include "wdb.h"
#include "zint/zint_logsafe.h"

#include "vorn_stats.h"
#include "stats/stats.h"
#include "zint/eventer.h"
#include "zint/zint_common.h"
#include "zint/zint_conf.h"
#include "zint/zint_time.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

/* Settings, written by wdb_init under cache_mu; read by the lookup threads (some without the lock,
 * which a second wdb_init, in tests, must not overlap). */
static char *conn_info;             /* libpq connection string; holds the password, never logged */
static int query_timeout_s = 5;     /* also bounds a query on a server that stalls after connecting */
static int cache_ttl_s = WDB_DEFAULT_CACHE_TTL_S;
static size_t max_pending = WDB_DEFAULT_MAX_PENDING;
/* Bumped by every wdb_init: a thread's connection made under older settings is made again. */
static std::atomic<uint64_t> conn_gen{0};

static const char *select_by_uuid =
    "select n.harl_id, n.ipaddress, n.port from talbrek.checks c join talbrek.harls n using "
    "(harl_id) where c.check_uuid = $1";
static const char *select_by_uuid_name = "select_by_uuid";
static const char *select_test = "select * from talbrek.harls limit 1";

/* Set once by the first wdb_init. */
static stats_handle_t *wdb_err_counter;
static stats_handle_t *lookups;    /* "wdb"/"lookups": queries sent to the database */
static stats_handle_t *cache_hits; /* "wdb"/"cache_hits": lookups answered without a query of their own */
static stats_handle_t *pending;    /* "wdb"/"pending": lookups waiting for a query's answer */
static eventer_jobq_t *lookup_jobq;
static eventer_jobq_t *answer_jobq;

static const int WDB_DEFAULT_CONNECT_TIMEOUT_S = 5;

/* What one query found. */
enum wdb_outcome { WDB_FOUND, WDB_NO_ROW, WDB_FAILED };
struct wdb_answer {
  wdb_outcome outcome = WDB_FAILED;
  std::string host; /* WDB_FOUND: talbrek.harls.ipaddress, possibly "" */
  int port = 0;     /* WDB_FOUND: 1..65535 */
};

/* One caller waiting for an answer. */
struct wdb_waiter {
  wdb_lookup_cb cb;
  void *closure;
};

/* The cache's record of one check: an answer kept until expires_ns, or a query under way with the
 * callers that wait for it. */
struct wdb_entry {
  bool inflight = false;
  wdb_answer answer;       /* !inflight */
  uint64_t expires_ns = 0; /* !inflight */
  std::vector<wdb_waiter> waiters; /* inflight */
};

static std::mutex cache_mu;
static std::unordered_map<std::string, wdb_entry> cache; /* check UUID text as sent -> entry; cache_mu */
static size_t waiting;                                   /* callers in waiters lists; cache_mu */
static size_t sweep_at = 1024;                           /* cache size that triggers a sweep; cache_mu */

/* A job of either queue: a query for uuid (lookup_jobq), or a kept answer for one caller
 * (answer_jobq, uuid empty). */
struct wdb_job {
  std::string uuid;
  wdb_answer answer;
  wdb_waiter waiter; /* answer_jobq only */
};

/* One thread's connection to the database, made on the thread's first lookup. */
struct wdb_conn {
  PGconn *conn = nullptr;
  uint64_t gen = 0;      /* conn_gen it was made under */
  bool prepared = false; /* select_by_uuid is prepared on it */
  void drop() {
    if (conn) PQfinish(conn);
    conn = nullptr;
    prepared = false;
  }
  ~wdb_conn() { drop(); }
};
static thread_local wdb_conn thread_conn;

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

/* Has libpq send one command (send returns libpq's 1 or 0) and waits for its result for at most
 * timeout_s. Returns the first result (the caller clears it) or null with why set; the
 * connection is unusable afterwards in that case. */
template <class Send>
static PGresult *wdb_exec_timed(PGconn *conn, Send send, int timeout_s, std::string &why) {
  if (!send()) {
    why = PQerrorMessage(conn);
    return nullptr;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  PGresult *first = nullptr;
  for (;;) {
    while (PQisBusy(conn)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) {
        why = "no answer within " + std::to_string(timeout_s) + " s";
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

/* A connection string holds the password: wiped before it is freed. */
static void wdb_conn_info_free(char *info) {
  if (!info) return;
  explicit_bzero(info, strlen(info));
  free(info);
}

/* Reads one required configuration text; exits with status 1 when it is absent. */
static char *wdb_conf_required(const char *path) {
  char *v = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, path, &v) || !v) {
    zint_log(zint_error, "wdb:wdb_init missing configuration value %s\n", path);
    exit(1);
  }
  return v;
}


/* An attribute of <vorn><wdb> as a whole number in lo..hi, or def when absent; exits with status 1
 * when it is present and anything else. */
static uint64_t wdb_conf_attr(const char *name, uint64_t lo, uint64_t hi, uint64_t def) {
  std::string path = std::string("//vorn/wdb/@") + name;
  char *text = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, path.c_str(), &text) || !text) return def;
  uint64_t v = 0;
  bool ok = zint_conf_parse_u64(text, hi, &v) && v >= lo;
  if (!ok) {
    zint_log(zint_error, "wdb:wdb_init <wdb %s=\"%s\"> is not a whole number in %llu..%llu\n", name,
             ZINT_LOG_TEXT(text), (unsigned long long) lo, (unsigned long long) hi);
    free(text);
    exit(1);
  }
  free(text);
  return v;
}

static int wdb_lookup_asynch(eventer_t, int mask, void *closure, struct timeval *);
static int wdb_answer_asynch(eventer_t, int mask, void *closure, struct timeval *);

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
  int threads = (int) wdb_conf_attr("threads", 1, 64, WDB_DEFAULT_THREADS);
  size_t pending_max = (size_t) wdb_conf_attr("max_pending", 1, 1000000, WDB_DEFAULT_MAX_PENDING);
  int ttl = (int) wdb_conf_attr("cache_ttl_s", 0, 86400, WDB_DEFAULT_CACHE_TTL_S);

  if (port < 1 || port > 65535) {
    zint_log(zint_error, "wdb:wdb_init port %d is outside 1..65535\n", port);
    exit(1);
  }
  /* libpq waits forever for 0 or less; a hung database would then hold a lookup thread forever. */
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
  /* libpq rounds a connect_timeout of 1 up to 2 seconds; queries get the same bound. */
  int qtimeout = timeout < 2 ? 2 : timeout;

  PGconn *conn = PQconnectdb(built);
  if (PQstatus(conn) != CONNECTION_OK) {
    zint_log(zint_error, "Test connection to wdb failed: %s\n", ZINT_LOG_TEXT(pq_error_text(conn).c_str()));
    PQfinish(conn);
    wdb_conn_info_free(built);
    exit(1);
  }
  std::string why;
  PGresult *res = wdb_exec_timed(
      conn, [&] { return PQsendQueryParams(conn, select_test, 0, nullptr, nullptr, nullptr, nullptr, 0); },
      qtimeout, why);
  if (PQresultStatus(res) != PGRES_TUPLES_OK) {
    zint_log(zint_error, "SELECT test failed: %s\n",
             ZINT_LOG_TEXT(res ? pq_error_text(conn).c_str() : trim_nl(why.c_str()).c_str()));
    PQclear(res);
    PQfinish(conn);
    wdb_conn_info_free(built);
    exit(1);
  }
  PQclear(res);
  PQfinish(conn);

  if (!wdb_err_counter) {
    wdb_err_counter =
        stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "wdb", STATS_TYPE_COUNTER);
    stats_ns_t *ns = stats_register_ns(stats_rec, nullptr, "wdb");
    lookups = stats_register(ns, "lookups", STATS_TYPE_COUNTER);
    cache_hits = stats_register(ns, "cache_hits", STATS_TYPE_COUNTER);
    pending = stats_register(ns, "pending", STATS_TYPE_UINT64);
    eventer_name_callback("wdb_lookup_asynch", wdb_lookup_asynch);
    eventer_name_callback("wdb_answer_asynch", wdb_answer_asynch);
  }
  /* Bounded by max_pending before a job is queued; an existing queue keeps its threads. */
  lookup_jobq = eventer_jobq_create("wdb", threads, 0, 0);
  answer_jobq = eventer_jobq_create("wdb_answers", 1, 0, 0);
  ZINT_ASSERT(lookup_jobq && answer_jobq);
  /* Under cache_mu, which every lookup thread takes when it settles an answer: a second call
   * comes after the lookups that ended. Kept answers may be of another database; lookups under
   * way keep their callers. */
  std::lock_guard<std::mutex> lk(cache_mu);
  wdb_conn_info_free(conn_info);
  conn_info = built;
  conn_gen.fetch_add(1);
  query_timeout_s = qtimeout;
  cache_ttl_s = ttl;
  max_pending = pending_max;
  for (auto it = cache.begin(); it != cache.end();) it = it->second.inflight ? std::next(it) : cache.erase(it);
}

/* (Re)makes the thread's connection; false (logged, counted) when the database cannot be reached. */
static bool wdb_connect(wdb_conn &c) {
  c.drop();
  c.gen = conn_gen.load();
  c.conn = PQconnectdb(conn_info);
  if (PQstatus(c.conn) != CONNECTION_OK) {
    ZINT_LOG_LIMITED(zint_error, "wdb_find_harl_ip connection to wdb failed: %s\n",
                     ZINT_LOG_TEXT(pq_error_text(c.conn).c_str()));
    c.drop();
    report_error(wdb_err_counter);
    return false;
  }
  return true;
}

/* select_by_uuid for uuid on c, prepared first if it is not yet. Null with why set when no result
 * came. A connection left unusable is dropped; lost tells whether the server had ended it. */
static PGresult *wdb_select(wdb_conn &c, const char *uuid, std::string &why, bool &lost) {
  PGconn *conn = c.conn;
  if (!c.prepared) {
    PGresult *r = wdb_exec_timed(
        conn, [&] { return PQsendPrepare(conn, select_by_uuid_name, select_by_uuid, 1, nullptr); },
        query_timeout_s, why);
    if (PQresultStatus(r) != PGRES_COMMAND_OK) {
      if (r) why = PQresultErrorMessage(r);
      PQclear(r);
      lost = PQstatus(conn) != CONNECTION_OK;
      c.drop();
      return nullptr;
    }
    PQclear(r);
    c.prepared = true;
  }
  const char *params[1] = {uuid};
  PGresult *res = wdb_exec_timed(
      conn, [&] { return PQsendQueryPrepared(conn, select_by_uuid_name, 1, params, nullptr, nullptr, 0); },
      query_timeout_s, why);
  /* After a timeout the connection still waits for that answer; after a lost server it is dead. */
  lost = PQstatus(conn) != CONNECTION_OK;
  if (!res || lost) c.drop();
  return res;
}

/* One lookup on the calling thread's connection. A connection that had served earlier lookups and
 * turns out lost (the server restarted or cut idle connections) is made again once at once, so that
 * such a loss costs no lookup. */
static wdb_answer wdb_query(const char *uuid) {
  wdb_conn &c = thread_conn;
  wdb_answer a;
  PGresult *res = nullptr;
  std::string why;
  for (int attempt = 0; attempt < 2; attempt++) {
    bool fresh = false;
    if (!c.conn || c.gen != conn_gen.load() || PQstatus(c.conn) != CONNECTION_OK) {
      if (!wdb_connect(c)) return a;
      fresh = true;
    }
    stats_add64(lookups, 1);
    why.clear();
    bool lost = false;
    res = wdb_select(c, uuid, why, lost);
    if (PQresultStatus(res) == PGRES_TUPLES_OK || fresh || !lost) break;
    PQclear(res); /* a reused connection was lost: once more on a new one */
    res = nullptr;
  }

  if (PQresultStatus(res) != PGRES_TUPLES_OK) {
    ZINT_LOG_LIMITED(zint_error, "select_by_uuid command failed: %s\n",
                     ZINT_LOG_TEXT(trim_nl(res ? PQresultErrorMessage(res) : why.c_str()).c_str()));
    PQclear(res);
    report_error(wdb_err_counter);
    return a;
  }
  if (PQntuples(res) == 0) {
    ZINT_LOG_LIMITED(zint_error, "Didn't find any harls in wdb (0 rows returned) for uuid: %s\n", ZINT_LOG_TEXT(uuid));
    PQclear(res);
    a.outcome = WDB_NO_ROW;
    return a;
  }
  if (PQnfields(res) < 3) {
    /* The query names three columns; fewer means the server answered something else. */
    ZINT_LOG_LIMITED(zint_error, "Didn't find any harls in wdb (0 fields returned?) for uuid: %s\n", ZINT_LOG_TEXT(uuid));
    PQclear(res);
    report_error(wdb_err_counter);
    return a;
  }
  int harl_id = static_cast<int>(strtol(PQgetvalue(res, 0, 0), nullptr, 10));
  if (PQgetisnull(res, 0, 1)) {
    ZINT_LOG_LIMITED(zint_error, "ipaddress is null for uuid: %s, harl_id: %d\n", ZINT_LOG_TEXT(uuid), harl_id);
    PQclear(res);
    report_error(wdb_err_counter);
    return a;
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
    return a;
  }
  a.outcome = WDB_FOUND;
  a.host = PQgetvalue(res, 0, 1);
  a.port = static_cast<int>(p);
  PQclear(res);
  return a;
}

const char *wdb_find_harl_ip(const char *uuid, int *port) {
  if (!uuid || !port || !conn_info) {
    zint_log(zint_error, "wdb_find_harl_ip called without %s\n",
             !conn_info ? "wdb_init" : "a uuid or port");
    return nullptr;
  }
  wdb_answer a = wdb_query(uuid);
  if (a.outcome != WDB_FOUND) return nullptr;
  char *ip = strdup(a.host.c_str());
  ZINT_ASSERT(ip != nullptr);
  *port = a.port;
  return ip;
}

static void wdb_deliver(const wdb_answer &a, const wdb_waiter &w) {
  w.cb(a.outcome == WDB_FOUND ? a.host.c_str() : nullptr, a.port, w.closure);
}

/* Drops expired answers once the cache has doubled since the last sweep; cache_mu held. */
static void wdb_sweep(uint64_t now) {
  if (cache.size() < sweep_at) return;
  for (auto it = cache.begin(); it != cache.end();)
    it = !it->second.inflight && it->second.expires_ns <= now ? cache.erase(it) : std::next(it);
  sweep_at = std::max<size_t>(1024, cache.size() * 2);
}

zint_boolean wdb_lookup_harl(const char *uuid, wdb_lookup_cb cb, void *closure) {
  if (!uuid || !cb || !lookup_jobq) return false;
  uint64_t now = zint_get_nanos();
  std::unique_lock<std::mutex> lk(cache_mu);
  auto it = cache.find(uuid);
  if (it != cache.end() && !it->second.inflight && it->second.expires_ns > now) {
    wdb_job *job = new wdb_job{{}, it->second.answer, {cb, closure}};
    lk.unlock();
    stats_add64(cache_hits, 1);
    zint_boolean queued = eventer_add_asynch(answer_jobq, eventer_alloc_asynch(wdb_answer_asynch, job));
    ZINT_ASSERT(queued); /* the queues have no bound of their own */
    return true;
  }
  if (waiting >= max_pending) return false;
  if (it != cache.end() && it->second.inflight) {
    it->second.waiters.push_back({cb, closure});
    waiting++;
    lk.unlock();
    stats_add64(pending, 1);
    stats_add64(cache_hits, 1);
    return true;
  }
  wdb_sweep(now);
  wdb_entry &e = cache[uuid];
  e.inflight = true;
  e.answer = wdb_answer();
  e.waiters.assign(1, {cb, closure});
  waiting++;
  lk.unlock();
  stats_add64(pending, 1);
  zint_boolean queued =
      eventer_add_asynch(lookup_jobq, eventer_alloc_asynch(wdb_lookup_asynch, new wdb_job{uuid, {}, {}}));
  ZINT_ASSERT(queued);
  return true;
}

/* The query's answer goes to every caller that waited for it and, unless it is a failure or the
 * cache is off, into the cache. */
static void wdb_settle(wdb_job *job) {
  std::vector<wdb_waiter> waiters;
  {
    std::lock_guard<std::mutex> lk(cache_mu);
    auto it = cache.find(job->uuid);
    ZINT_ASSERT(it != cache.end()); /* an entry under way leaves only here */
    waiters.swap(it->second.waiters);
    waiting -= waiters.size();
    int ttl = job->answer.outcome == WDB_FOUND    ? cache_ttl_s
              : job->answer.outcome == WDB_NO_ROW ? std::min(cache_ttl_s, WDB_NO_ROW_TTL_S)
                                                   : 0;
    if (ttl > 0) {
      it->second.inflight = false;
      it->second.answer = job->answer;
      it->second.expires_ns = zint_get_nanos() + (uint64_t) ttl * 1000000000ull;
    } else {
      cache.erase(it);
    }
  }
  stats_add64(pending, -(int64_t) waiters.size());
  for (const wdb_waiter &w : waiters) wdb_deliver(job->answer, w);
}

static int wdb_lookup_asynch(eventer_t, int mask, void *closure, struct timeval *) {
  wdb_job *job = static_cast<wdb_job *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) job->answer = wdb_query(job->uuid.c_str());
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    wdb_settle(job);
    delete job;
  }
  return 0;
}

static int wdb_answer_asynch(eventer_t, int mask, void *closure, struct timeval *) {
  wdb_job *job = static_cast<wdb_job *>(closure);
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    wdb_deliver(job->answer, job->waiter);
    delete job;
  }
  return 0;
}
