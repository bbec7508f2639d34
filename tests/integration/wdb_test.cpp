/* Broker address lookup against a throwaway PostgreSQL cluster: lookups of every row shape, a
 * database that is down or frozen at run time, the start-up test that ends the process with
 * status 1, and passwords that only work when the connection string quotes them. */
#include "support/pg_fixture.h"

#include "vorn_stats.h"
#include "wdb.h"
#include "zint/zint_conf.h"
#include "zint/zint_log.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

namespace {
extern bool in_forked_child;
}

/* The leak checker's hook: no leak check at the exit of a death test's child. */
extern "C" int __lsan_is_turned_off() { return in_forked_child; }

namespace {

const char *kDb = "wdb";
const char *kUser = "vorn_reader";
/* Blank, quote, backslash, '=' and what looks like a further option: every one of them breaks an
 * unquoted libpq connection string. */
const char *kPassword = "s3 cr'et\\ host=/nowhere & <x>";

const char *kFound = "11111111-1111-4111-8111-111111111111";
const char *kMissing = "22222222-2222-4222-8222-222222222222";
const char *kNullIp = "33333333-3333-4333-8333-333333333333";
const char *kEmptyIp = "44444444-4444-4444-8444-444444444444";
const char *kTwoRows = "55555555-5555-4555-8555-555555555555";
const char *kPortZero = "66666666-6666-4666-8666-666666666666";
const char *kPortHigh = "77777777-7777-4777-8777-777777777777";
const char *kPortNull = "88888888-8888-4888-8888-888888888888";
const char *kPortMax = "99999999-9999-4999-8999-999999999999";

std::string xml_escape(const std::string &s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string wdb_conf_xml(int port, const std::string &db, const std::string &user,
                         const std::string &password, int timeout = 2,
                         const std::string &host = "127.0.0.1") {
  return "<vorn-c><vorn><wdb><host>" + xml_escape(host) + "</host><port>" + std::to_string(port) +
         "</port><database>" + xml_escape(db) + "</database><user>" + xml_escape(user) +
         "</user><password>" + xml_escape(password) + "</password><connect_timeout>" +
         std::to_string(timeout) + "</connect_timeout></wdb></vorn></vorn-c>";
}

stats_handle_t *wdb_counter() {
  return stats_register(stats_register_ns(stats_rec, nullptr, "errors"), "wdb", STATS_TYPE_COUNTER);
}

class WdbTest : public ::testing::Test {
 protected:
  /* One cluster for the whole program; held by a raw pointer so that a death test's child, which
   * exits through exit(), runs no destructor that would stop the parent's server. */
  static vorn_test::PgCluster *pg;
  static std::string log_path;

  static void SetUpTestSuite() {
    pg = new vorn_test::PgCluster();
    std::string err;
    ASSERT_TRUE(pg->start(&err)) << err;
    ASSERT_TRUE(pg->create_database(kDb, &err)) << err;
    ASSERT_TRUE(pg->create_login(kUser, kPassword, &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 1, "127.0.0.2", "43191", &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 2, std::nullopt, "43191", &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 3, "", "43191", &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 4, "127.0.0.4", "44000", &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 5, "127.0.0.5", "0", &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 6, "127.0.0.6", "65536", &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 7, "127.0.0.7", std::nullopt, &err)) << err;
    ASSERT_TRUE(pg->add_harl(kDb, 8, "127.0.0.8", "65535", &err)) << err;
    for (auto [uuid, id] : std::vector<std::pair<const char *, int>>{
             {kFound, 1}, {kNullIp, 2}, {kEmptyIp, 3}, {kTwoRows, 4}, {kTwoRows, 1},
             {kPortZero, 5}, {kPortHigh, 6}, {kPortNull, 7}, {kPortMax, 8}})
      ASSERT_TRUE(pg->add_check(kDb, uuid, id, &err)) << err;

    log_path = pg->socket_dir() + "/vorn-error.log";
    ASSERT_EQ(0, zint_log_stream_set_output(zint_error, log_path.c_str(), 0));
    stats_init();
    ASSERT_EQ(0, zint_conf_load_string(wdb_conf_xml(pg->port(), kDb, kUser, kPassword).c_str()));
    wdb_init();
  }

  static void TearDownTestSuite() {
    zint_log_stream_set_output(zint_error, "stderr", -1);
    delete pg;
    pg = nullptr;
  }

  /* Everything logged on the error stream since the previous call. */
  static std::string new_log() {
    static size_t seen = 0;
    zint_log_flush();
    std::ifstream in(log_path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string all = ss.str();
    std::string fresh = all.size() > seen ? all.substr(seen) : "";
    seen = all.size();
    return fresh;
  }

  struct lookup {
    std::string ip;
    bool found = false;
    int port = -12345;  // stays so when the lookup fails
  };
  static lookup find(const char *uuid) {
    lookup l;
    const char *ip = wdb_find_harl_ip(uuid, &l.port);
    if (ip) {
      l.found = true;
      l.ip = ip;
      free(const_cast<char *>(ip));
    }
    return l;
  }
};
vorn_test::PgCluster *WdbTest::pg = nullptr;
std::string WdbTest::log_path;

// A found broker gives its address and port; a check without a row gives null, logs "0 rows
// returned" and counts nothing; an empty address comes back as "" for the caller to refuse.
TEST_F(WdbTest, LookupFoundMissingAndEmptyAddress) {
  new_log();
  uint64_t errs = stats_get_u64(wdb_counter());

  lookup l = find(kFound);
  ASSERT_TRUE(l.found);
  EXPECT_EQ("127.0.0.2", l.ip);
  EXPECT_EQ(43191, l.port);
  EXPECT_EQ("127.0.0.8", find(kPortMax).ip);
  EXPECT_EQ(65535, find(kPortMax).port);

  l = find(kMissing);
  EXPECT_FALSE(l.found);
  EXPECT_EQ(-12345, l.port);
  EXPECT_NE(std::string::npos,
            new_log().find(std::string("Didn't find any harls in wdb (0 rows returned) for uuid: ") +
                           kMissing));

  l = find(kEmptyIp);
  EXPECT_TRUE(l.found);
  EXPECT_EQ("", l.ip);
  EXPECT_EQ(errs, stats_get_u64(wdb_counter()));
}

// Several rows for one check: one lookup answer, an address and port of the same broker.
TEST_F(WdbTest, SeveralRowsGiveOneConsistentBroker) {
  lookup l = find(kTwoRows);
  ASSERT_TRUE(l.found);
  EXPECT_TRUE((l.ip == "127.0.0.4" && l.port == 44000) || (l.ip == "127.0.0.2" && l.port == 43191))
      << l.ip << ":" << l.port;
}

// A null address, and a port that is null, 0 or above 65535, give null and count one error each;
// the null-address message names the broker's harl_id.
TEST_F(WdbTest, UnusableRowsAreCountedFailures) {
  new_log();
  stats_handle_t *wdb = wdb_counter();
  uint64_t errs = stats_get_u64(wdb), total = stats_get_u64(total_err_counter);

  lookup l = find(kNullIp);
  EXPECT_FALSE(l.found);
  EXPECT_EQ(-12345, l.port);
  EXPECT_NE(std::string::npos,
            new_log().find(std::string("ipaddress is null for uuid: ") + kNullIp + ", harl_id: 2\n"));
  for (const char *uuid : {kPortZero, kPortHigh, kPortNull}) {
    l = find(uuid);
    EXPECT_FALSE(l.found) << uuid;
    EXPECT_EQ(-12345, l.port) << uuid;
  }
  EXPECT_EQ(errs + 4, stats_get_u64(wdb));
  EXPECT_EQ(total + 4, stats_get_u64(total_err_counter));
}

// Text that is not a UUID makes the server refuse the query: null, counted, "select_by_uuid
// command failed"; null arguments are refused without a crash.
TEST_F(WdbTest, QueryErrorsAndBadArguments) {
  new_log();
  uint64_t errs = stats_get_u64(wdb_counter());
  EXPECT_FALSE(find("not-a-uuid' or '1'='1").found);
  EXPECT_NE(std::string::npos, new_log().find("select_by_uuid command failed: "));
  EXPECT_EQ(errs + 1, stats_get_u64(wdb_counter()));

  int port = 7;
  EXPECT_EQ(nullptr, wdb_find_harl_ip(nullptr, &port));
  EXPECT_EQ(nullptr, wdb_find_harl_ip(kFound, nullptr));
  EXPECT_EQ(7, port);
}

/* Answers of queued lookups, as "host:port" ("-" for none), in arrival order. */
struct Answers {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> got;
  static void cb(const char *host, int port, void *closure) {
    auto *self = static_cast<Answers *>(closure);
    std::lock_guard<std::mutex> lk(self->mu);
    self->got.push_back(host ? std::string(host) + ":" + std::to_string(port) : "-");
    self->cv.notify_all();
  }
  bool wait(size_t n) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, std::chrono::seconds(30), [&] { return got.size() >= n; });
  }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lk(mu);
    return std::move(got);
  }
};

stats_handle_t *wdb_stat(const char *name, stats_type_t type = STATS_TYPE_COUNTER) {
  return stats_register(stats_register_ns(stats_rec, nullptr, "wdb"), name, type);
}

/* Reconfigures the lookups (a second wdb_init also empties the cache). */
void wdb_reinit(int pg_port, const std::string &wdb_attrs) {
  std::string xml = wdb_conf_xml(pg_port, kDb, kUser, kPassword);
  xml.replace(xml.find("<wdb>"), 5, "<wdb " + wdb_attrs + ">");
  ASSERT_EQ(0, zint_conf_load_string(xml.c_str()));
  wdb_init();
}

// Queued lookups: a burst for one check costs one query and everybody gets its answer; answers
// are kept (a found broker for the cache's time, "no such check" too), failures are asked again,
// and with the cache off every lookup after an answer is a query of its own.
TEST_F(WdbTest, QueuedLookupsShareQueriesAndCacheAnswers) {
  stats_handle_t *lookups = wdb_stat("lookups"), *hits = wdb_stat("cache_hits");
  struct row {
    const char *attrs;
    const char *uuid;
    int burst;   // lookups queued at once
    int rounds;  // bursts, each after the previous one's answers
    uint64_t queries;
    const char *answer;
  };
  const row rows[] = {
      {"", kFound, 100, 2, 1, "127.0.0.2:43191"},
      {"", kMissing, 3, 2, 1, "-"},
      {"", kEmptyIp, 1, 2, 1, ":43191"},
      {"", kNullIp, 1, 2, 2, "-"},          // a failure is not kept
      {"cache_ttl_s=\"0\"", kFound, 1, 3, 3, "127.0.0.2:43191"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(std::string(r.uuid) + " " + r.attrs);
    wdb_reinit(pg->port(), r.attrs);
    uint64_t q0 = stats_get_u64(lookups), h0 = stats_get_u64(hits);
    Answers answers;
    for (int round = 0; round < r.rounds; round++) {
      for (int i = 0; i < r.burst; i++) ASSERT_TRUE(wdb_lookup_harl(r.uuid, Answers::cb, &answers));
      ASSERT_TRUE(answers.wait(r.burst * (round + 1)));
    }
    std::vector<std::string> got = answers.take();
    EXPECT_EQ(std::vector<std::string>(r.burst * r.rounds, r.answer), got);
    EXPECT_EQ(q0 + r.queries, stats_get_u64(lookups));
    EXPECT_EQ(h0 + r.burst * r.rounds - r.queries, stats_get_u64(hits));
  }
  EXPECT_EQ(0u, stats_get_u64(wdb_stat("pending", STATS_TYPE_UINT64)));
  wdb_reinit(pg->port(), "");
}

// A frozen server holds no caller: lookups are queued at once, up to max_pending waiting callers
// (one check's second caller counts too), the rest refused; once the server is back every queued
// lookup gets an answer and the next ones find the broker again.
TEST_F(WdbTest, FrozenDatabaseQueuesLookupsUpToTheBound) {
  wdb_reinit(pg->port(), "max_pending=\"3\"");
  stats_handle_t *pending = wdb_stat("pending", STATS_TYPE_UINT64);
  Answers answers;
  pg->freeze();
  EXPECT_TRUE(wdb_lookup_harl(kFound, Answers::cb, &answers));
  EXPECT_TRUE(wdb_lookup_harl(kMissing, Answers::cb, &answers));
  EXPECT_TRUE(wdb_lookup_harl(kFound, Answers::cb, &answers));
  EXPECT_FALSE(wdb_lookup_harl(kPortMax, Answers::cb, &answers));
  EXPECT_FALSE(wdb_lookup_harl(kFound, Answers::cb, &answers));
  EXPECT_EQ(3u, stats_get_u64(pending));
  pg->thaw();
  ASSERT_TRUE(answers.wait(3));
  EXPECT_EQ(0u, stats_get_u64(pending));
  answers.take();
  wdb_reinit(pg->port(), "");
  ASSERT_TRUE(wdb_lookup_harl(kFound, Answers::cb, &answers));
  ASSERT_TRUE(answers.wait(1));
  EXPECT_EQ(std::vector<std::string>{"127.0.0.2:43191"}, answers.take());
}

// With the database stopped every lookup fails, is counted and logged, and the next lookup after
// a restart succeeds again on a new connection.
TEST_F(WdbTest, DatabaseDownAtRunTime) {
  new_log();
  uint64_t errs = stats_get_u64(wdb_counter());
  pg->stop();
  EXPECT_FALSE(find(kFound).found);
  EXPECT_FALSE(find(kFound).found);
  EXPECT_NE(std::string::npos, new_log().find("wdb_find_harl_ip connection to wdb failed: "));
  EXPECT_EQ(errs + 2, stats_get_u64(wdb_counter()));
  std::string err;
  ASSERT_TRUE(pg->restart(&err)) << err;
  EXPECT_TRUE(find(kFound).found);
}

// A frozen server accepts the TCP connection but never answers: the lookup gives up after the
// configured connect timeout (2 s here) instead of blocking its thread for good.
TEST_F(WdbTest, FrozenDatabaseTimesOut) {
  new_log();
  uint64_t errs = stats_get_u64(wdb_counter());
  pg->freeze();
  auto t0 = std::chrono::steady_clock::now();
  lookup l = find(kFound);
  auto waited = std::chrono::steady_clock::now() - t0;
  pg->thaw();
  EXPECT_FALSE(l.found);
  EXPECT_EQ(errs + 1, stats_get_u64(wdb_counter()));
  // The thread's connection from earlier lookups waits for its query's answer; a new one for the
  // connection to complete.
  std::string log = new_log();
  EXPECT_TRUE(log.find("select_by_uuid command failed: no answer within 2 s") != std::string::npos ||
              log.find("wdb_find_harl_ip connection to wdb failed: ") != std::string::npos)
      << log;
  // Bounded by the timeout, not by the server: far below "forever", generous for slow machines.
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_TRUE(find(kFound).found);
}

// Each value lands in the connection string as exactly one value: libpq's own parser reads back
// what was configured, however many blanks, quotes and backslashes it holds.
TEST(WdbConnInfo, ValuesRoundTripThroughLibpqParser) {
  char *ci = wdb_make_conn_info("/tmp/sock dir", 6543, "d'b name", "u\\ser", kPassword, 7);
  ASSERT_NE(nullptr, ci);
  char *errmsg = nullptr;
  PQconninfoOption *opts = PQconninfoParse(ci, &errmsg);
  ASSERT_NE(nullptr, opts) << (errmsg ? errmsg : "");
  std::map<std::string, std::string> got;
  for (PQconninfoOption *o = opts; o->keyword; o++)
    if (o->val) got[o->keyword] = o->val;
  PQconninfoFree(opts);
  free(ci);
  EXPECT_EQ("/tmp/sock dir", got["host"]);
  EXPECT_EQ("6543", got["port"]);
  EXPECT_EQ("d'b name", got["dbname"]);
  EXPECT_EQ("u\\ser", got["user"]);
  EXPECT_EQ(kPassword, got["password"]);
  EXPECT_EQ("7", got["connect_timeout"]);
  EXPECT_EQ(6u, got.size());

  ci = wdb_make_conn_info("h", 1, "d", "u", nullptr, 5);
  opts = PQconninfoParse(ci, nullptr);
  ASSERT_NE(nullptr, opts);
  for (PQconninfoOption *o = opts; o->keyword; o++) {
    if (std::string(o->keyword) == "password") {
      EXPECT_EQ(nullptr, o->val);
    }
  }
  PQconninfoFree(opts);
  free(ci);
}

/* Set in a death test's child, which is forked from a process whose lookup threads hold memory that
 * only their stacks reach: not leaked, but the leak check at the child's exit would count it. */
bool in_forked_child = false;

/* The start-up test in a child process: exits with status 1 and the given message on stderr. */
void expect_init_exits(const std::string &xml, const char *message_regex) {
  EXPECT_EXIT(
      {
        in_forked_child = true;
        zint_log_stream_set_output(zint_error, "stderr", 0);
        if (zint_conf_load_string(xml.c_str()) != 0) _exit(99);
        wdb_init();
        _exit(0);
      },
      ::testing::ExitedWithCode(1), message_regex);
}

// The start-up test ends the process with status 1: database down, table missing, a wrong
// password that would have been read as further options if unquoted, and unusable configuration.
TEST_F(WdbTest, StartupTestExitsWithStatusOne) {
  int down = vorn_test::pg_free_loopback_port();
  expect_init_exits(wdb_conf_xml(down, kDb, kUser, kPassword), "Test connection to wdb failed: ");

  std::string err;
  ASSERT_TRUE(pg->exec("postgres", "create database bare", &err)) << err;
  expect_init_exits(wdb_conf_xml(pg->port(), "bare", kUser, kPassword), "SELECT test failed: ");

  // Read as options, "x user=postgres" would log in as the trusted superuser over the socket.
  expect_init_exits(wdb_conf_xml(pg->port(), kDb, kUser, "x host=" + pg->socket_dir() +
                                                              " user=postgres"),
                    "Test connection to wdb failed: .*password authentication failed");

  expect_init_exits(wdb_conf_xml(70000, kDb, kUser, kPassword), "port 70000 is outside 1..65535");
  expect_init_exits(wdb_conf_xml(pg->port(), kDb, kUser, kPassword, 0), "connect_timeout 0");
  expect_init_exits("<vorn-c><vorn><wdb><host>127.0.0.1</host><port>5432</port></wdb></vorn></vorn-c>",
                    "missing configuration value //vorn/wdb/database");
  for (const char *attr : {"threads=\"0\"", "threads=\"65\"", "max_pending=\"0\"", "cache_ttl_s=\"-1\"",
                           "cache_ttl_s=\"1d\""}) {
    std::string xml = wdb_conf_xml(pg->port(), kDb, kUser, kPassword);
    xml.replace(xml.find("<wdb>"), 5, std::string("<wdb ") + attr + ">");
    expect_init_exits(xml, "is not a whole number in");
  }
}

// The service binary itself ends with status 1 when its database is down at start-up.
TEST_F(WdbTest, ServiceExitsWithStatusOneWhenDatabaseIsDown) {
  const char *bin = getenv("VORN_BINARY");
  if (!bin || access(bin, X_OK) != 0) GTEST_SKIP() << "service binary not built";
  std::string conf = pg->socket_dir() + "/down.conf";
  {
    std::ofstream out(conf);
    std::string xml = wdb_conf_xml(vorn_test::pg_free_loopback_port(), kDb, kUser, kPassword);
    // Its own lock file and the error log on stderr, where this test reads it.
    xml.replace(0, strlen("<vorn-c>"),
                "<vorn-c lockfile=\"" + pg->socket_dir() +
                    "/vorn-c.lock\"><logs><log name=\"error\" output=\"stderr\"/></logs>");
    out << xml;
  }
  // timeout: a binary that never tests its database would otherwise run on.
  std::string cmd = "timeout 60 " + std::string(bin) + " -D -c " + conf + " > " + pg->socket_dir() +
                    "/service.out 2>&1";
  int status = system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  std::ifstream in(pg->socket_dir() + "/service.out");
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_NE(std::string::npos, ss.str().find("Test connection to wdb failed: ")) << ss.str();
}

}  // namespace
