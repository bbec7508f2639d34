/* Broker address lookups against a throwaway PostgreSQL cluster: every row shape, queued lookups and
 * their cache, a database that stops or freezes at run time, and the start-up test. */
#include "support/pg_fixture.h"
#include "support/wait.h"

#include "vorn_stats.h"
#include "wdb.h"
#include "zint/zint_conf.h"
#include "zint/zint_log.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <map>
#include <fstream>
#include <mutex>
#include <sstream>

namespace {
bool in_forked_child = false; /* a death test's child: its lookup threads' memory is not a leak */
}
extern "C" int __lsan_is_turned_off() { return in_forked_child; }

namespace {

/* Blank, quote, backslash, '=' and a further option: each breaks an unquoted connection string. */
const char *kPassword = "s3 cr'et\\ host=/nowhere & <x>";
const char *kFound = "11111111-1111-4111-8111-111111111111", *kMissing = "22222222-2222-4222-8222-222222222222";

std::string uuid_of(int n) { return std::string(8, '0' + n) + "-1111-4111-8111-111111111111"; }

std::string conf(int port, const std::string &attrs = "", const std::string &password = "s3 cr&apos;et\\ host=/nowhere &amp; &lt;x>",
                 int timeout = 2) {
  return "<vorn-c><vorn><wdb" + attrs + "><host>127.0.0.1</host><port>" + std::to_string(port) +
         "</port><database>wdb</database><user>vorn_reader</user><password>" + password + "</password><connect_timeout>" +
         std::to_string(timeout) + "</connect_timeout></wdb></vorn></vorn-c>";
}
uint64_t stat(const char *ns, const char *name, stats_type_t type = STATS_TYPE_COUNTER) {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, ns), name, type));
}

/* Answers of queued lookups as "host:port" ("-" for none), in arrival order. */
struct Answers {
  std::mutex mu;
  std::vector<std::string> got;
  static void cb(const char *host, int port, void *closure) {
    auto *self = static_cast<Answers *>(closure);
    std::lock_guard<std::mutex> lk(self->mu);
    self->got.push_back(host ? std::string(host) + ":" + std::to_string(port) : "-");
  }
  std::vector<std::string> wait(size_t n) {
    vorn_test::wait_until([&] { std::lock_guard<std::mutex> lk(mu); return got.size() >= n; }, std::chrono::seconds(30));
    std::lock_guard<std::mutex> lk(mu);
    return got;
  }
};

class WdbTest : public ::testing::Test {
 protected:
  static inline vorn_test::PgCluster *pg;  // a raw pointer: a death test's child runs no destructor
  static inline std::string log_path;

  static void SetUpTestSuite() {
    pg = new vorn_test::PgCluster();
    std::string err;
    ASSERT_TRUE(pg->start(&err) && pg->create_database("wdb", &err) && pg->create_login("vorn_reader", kPassword, &err)) << err;
    /* harl_id n serves check uuid_of(n); check 9 has the rows of brokers 4 and 1. */
    std::optional<std::string> rows[][2] = {{"127.0.0.2", "43191"}, {std::nullopt, "43191"}, {"", "43191"},
        {"127.0.0.4", "44000"}, {"127.0.0.5", "0"}, {"127.0.0.6", "65536"}, {"127.0.0.7", std::nullopt}, {"127.0.0.8", "65535"}};
    for (int n = 1; n <= 8; n++)
      ASSERT_TRUE(pg->add_harl("wdb", n, rows[n - 1][0], rows[n - 1][1], &err) && pg->add_check("wdb", uuid_of(n), n, &err)) << err;
    ASSERT_TRUE(pg->add_check("wdb", uuid_of(9), 4, &err) && pg->add_check("wdb", uuid_of(9), 1, &err)) << err;
    log_path = pg->socket_dir() + "/vorn-error.log";
    ASSERT_EQ(0, zint_log_stream_set_output(zint_error, log_path.c_str(), 0));
    stats_init();
    reinit();
  }
  static void TearDownTestSuite() {
    zint_log_stream_set_output(zint_error, "stderr", -1);
    delete pg;
  }
  /* Reconfigures the lookups; a second wdb_init also empties the cache. */
  static void reinit(const std::string &attrs = "") {
    ASSERT_EQ(0, zint_conf_load_string(conf(pg->port(), attrs).c_str()));
    wdb_init();
  }
  static std::string new_log() {  // the error log since the previous call
    static size_t seen = 0;
    zint_log_flush();
    std::stringstream ss;
    ss << std::ifstream(log_path).rdbuf();
    std::string all = ss.str(), fresh = all.substr(std::min(seen, all.size()));
    seen = all.size();
    return fresh;
  }
  static std::string find(const std::string &uuid) {  // "host:port", or "-" with the port untouched
    int port = -7;
    const char *ip = wdb_find_harl_ip(uuid.c_str(), &port);
    std::string out = ip ? std::string(ip) + ":" + std::to_string(port) : port == -7 ? "-" : "-:changed";
    free(const_cast<char *>(ip));
    return out;
  }
};

// what this proves: each row shape gives its address and port or null, the failures among them counted (in "errors"/
// "wdb" and the total) and logged with their reason, a check without a row only logged; several rows give one broker
TEST_F(WdbTest, LookupOfEveryRowShape) {
  struct {
    std::string uuid, answer;  // answer: "a|b" when either will do
    uint64_t errors;
    std::string log;
  } rows[] = {
      {uuid_of(1), "127.0.0.2:43191", 0, ""},
      {kMissing, "-", 0, std::string("Didn't find any harls in wdb (0 rows returned) for uuid: ") + kMissing},
      {uuid_of(2), "-", 1, "ipaddress is null for uuid: " + uuid_of(2) + ", harl_id: 2\n"},
      {uuid_of(3), ":43191", 0, ""},
      {uuid_of(5), "-", 1, ""}, {uuid_of(6), "-", 1, ""}, {uuid_of(7), "-", 1, ""},
      {uuid_of(8), "127.0.0.8:65535", 0, ""},
      {uuid_of(9), "127.0.0.4:44000|127.0.0.2:43191", 0, ""},
      {"not-a-uuid' or '1'='1", "-", 1, "select_by_uuid command failed: "},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.uuid);
    new_log();
    uint64_t errs = stat("errors", "wdb"), total = stats_get_u64(total_err_counter);
    std::string got = find(r.uuid);
    EXPECT_NE(("|" + r.answer + "|").find("|" + got + "|"), std::string::npos) << got;
    EXPECT_EQ(stat("errors", "wdb"), errs + r.errors);
    EXPECT_EQ(stats_get_u64(total_err_counter), total + r.errors);
    EXPECT_NE(new_log().find(r.log), std::string::npos);
  }
  int port = 7;
  EXPECT_EQ(nullptr, wdb_find_harl_ip(nullptr, &port));
  EXPECT_EQ(nullptr, wdb_find_harl_ip(kFound, nullptr));
  EXPECT_EQ(7, port);
}

// what this proves: a burst of queued lookups for one check costs one query and everybody gets the answer; a found
// broker and "no such check" are kept, failures asked again, and with the cache off each round is a query
TEST_F(WdbTest, QueuedLookupsShareQueriesAndCacheAnswers) {
  struct {
    const char *attrs;
    std::string uuid;
    int burst, rounds;
    uint64_t queries;
    const char *answer;
  } rows[] = {
      {"", kFound, 100, 2, 1, "127.0.0.2:43191"}, {"", kMissing, 3, 2, 1, "-"}, {"", uuid_of(3), 1, 2, 1, ":43191"},
      {"", uuid_of(2), 1, 2, 2, "-"}, {" cache_ttl_s=\"0\"", kFound, 1, 3, 3, "127.0.0.2:43191"},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.uuid + r.attrs);
    reinit(r.attrs);
    uint64_t q0 = stat("wdb", "lookups"), h0 = stat("wdb", "cache_hits");
    Answers answers;
    for (int round = 0; round < r.rounds; round++) {
      for (int i = 0; i < r.burst; i++) ASSERT_TRUE(wdb_lookup_harl(r.uuid.c_str(), Answers::cb, &answers));
      answers.wait(r.burst * (round + 1));
    }
    EXPECT_EQ(std::vector<std::string>(r.burst * r.rounds, r.answer), answers.wait(r.burst * r.rounds));
    EXPECT_EQ(q0 + r.queries, stat("wdb", "lookups"));
    EXPECT_EQ(h0 + r.burst * r.rounds - r.queries, stat("wdb", "cache_hits"));
  }
  EXPECT_EQ(0u, stat("wdb", "pending", STATS_TYPE_UINT64));
  reinit();
}

// what this proves: a frozen database holds no caller: up to max_pending lookups wait (a check's second caller counts),
// the rest are refused at once, and all waiting get their answer once it thaws; a lookup on the calling thread gives up
// after the connect timeout; a stopped database fails lookups (counted, logged) until it is back
TEST_F(WdbTest, FrozenAndStoppedDatabase) {
  reinit(" max_pending=\"3\"");
  Answers answers;
  std::string port_max = uuid_of(8);
  pg->freeze();
  for (const char *uuid : {kFound, kMissing, kFound}) EXPECT_TRUE(wdb_lookup_harl(uuid, Answers::cb, &answers));
  for (const char *uuid : {port_max.c_str(), kFound}) EXPECT_FALSE(wdb_lookup_harl(uuid, Answers::cb, &answers));
  EXPECT_EQ(3u, stat("wdb", "pending", STATS_TYPE_UINT64));
  pg->thaw();
  std::vector<std::string> got = answers.wait(3);
  std::sort(got.begin(), got.end());
  EXPECT_EQ((std::vector<std::string>{"-", "127.0.0.2:43191", "127.0.0.2:43191"}), got);
  EXPECT_TRUE(vorn_test::wait_until([] { return stat("wdb", "pending", STATS_TYPE_UINT64) == 0; }));
  uint64_t errs = stat("errors", "wdb");
  pg->freeze();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ("-", find(kFound));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));  // 2 s configured; never "forever"
  pg->thaw();
  EXPECT_EQ(errs + 1, stat("errors", "wdb"));
  new_log();
  pg->stop();
  EXPECT_EQ("-", find(kFound));
  EXPECT_EQ("-", find(kFound));
  EXPECT_NE(std::string::npos, new_log().find("wdb_find_harl_ip connection to wdb failed: "));
  EXPECT_EQ(errs + 3, stat("errors", "wdb"));
  std::string err;
  ASSERT_TRUE(pg->restart(&err)) << err;
  EXPECT_EQ("127.0.0.2:43191", find(kFound));
  reinit();
}

// what this proves: each value lands in the connection string as exactly one value, however it is quoted
TEST(WdbConnInfo, ValuesRoundTripThroughLibpqParser) {
  for (const char *password : {kPassword, (const char *) nullptr}) {
    char *ci = wdb_make_conn_info("/tmp/sock dir", 6543, "d'b name", "u\\ser", password, 7);
    PQconninfoOption *opts = PQconninfoParse(ci, nullptr);
    ASSERT_NE(nullptr, opts) << ci;
    std::map<std::string, std::string> got;
    for (PQconninfoOption *o = opts; o->keyword; o++)
      if (o->val) got[o->keyword] = o->val;
    PQconninfoFree(opts);
    free(ci);
    std::map<std::string, std::string> want = {{"host", "/tmp/sock dir"}, {"port", "6543"}, {"dbname", "d'b name"},
                                               {"user", "u\\ser"}, {"connect_timeout", "7"}};
    if (password) want["password"] = password;
    EXPECT_EQ(want, got);
  }
}

// what this proves: the start-up test ends the process with status 1 and its reason: database down, table missing, a
// wrong password that unquoted would have logged in as the trusted superuser, unusable configuration
TEST_F(WdbTest, StartupTestExitsWithStatusOne) {
  std::string err;
  ASSERT_TRUE(pg->exec("postgres", "create database bare", &err)) << err;
  std::string bare = conf(pg->port());
  bare.replace(bare.find(">wdb<"), 5, ">bare<");
  std::pair<std::string, const char *> rows[] = {
      {conf(vorn_test::pg_free_loopback_port()), "Test connection to wdb failed: "},
      {bare, "SELECT test failed: "},
      {conf(pg->port(), "", "x host=" + pg->socket_dir() + " user=postgres"), "Test connection to wdb failed: .*password authentication failed"},
      {conf(70000), "port 70000 is outside 1..65535"},
      {conf(pg->port(), "", "pw", 0), "connect_timeout 0"},
      {"<vorn-c><vorn><wdb><host>127.0.0.1</host><port>5432</port></wdb></vorn></vorn-c>", "missing configuration value //vorn/wdb/database"},
      {conf(pg->port(), " threads=\"0\""), "is not a whole number in"}, {conf(pg->port(), " threads=\"65\""), "is not a whole number in"},
      {conf(pg->port(), " max_pending=\"0\""), "is not a whole number in"}, {conf(pg->port(), " cache_ttl_s=\"-1\""), "is not a whole number in"},
      {conf(pg->port(), " cache_ttl_s=\"1d\""), "is not a whole number in"},
  };
  for (auto &[xml, message] : rows)
    EXPECT_EXIT(
        {
          in_forked_child = true;
          zint_log_stream_set_output(zint_error, "stderr", 0);
          if (zint_conf_load_string(xml.c_str()) != 0) _exit(99);
          wdb_init();
          _exit(0);
        },
        ::testing::ExitedWithCode(1), message)
        << xml;
}

}  // namespace
