/* Broker address lookups against a throwaway PostgreSQL cluster: the connection string, every row shape,
 * queued lookups and their cache, a frozen database, and the start-up test. */
#include "support/pg_fixture.h"
#include "vorn_stats.h"
#include "wdb.h"
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <mutex>
static bool in_forked_child = false; /* a death test's child: its lookup threads' memory is not a leak */
extern "C" int __lsan_is_turned_off() { return in_forked_child; }
namespace {
const char *kFound = "11111111-1111-4111-8111-111111111111",
           *kMissing = "22222222-2222-4222-8222-222222222222";
std::string uuid_of(int n) { return std::string(8, '0' + n) + "-1111-4111-8111-111111111111"; }
/* The password holds a blank, a quote, a backslash and a further option: unquoted, each breaks the string. */
std::string conf(int port, const std::string &attrs = "", const char *timeout = "2") {
  return "<vorn-c><vorn><wdb" + attrs + "><host>127.0.0.1</host><port>" + std::to_string(port) +
         "</port><database>wdb</database><user>reader</user><password>s3 cr&apos;et\\ host=/x</password>"
         "<connect_timeout>" +
         timeout + "</connect_timeout></wdb></vorn></vorn-c>";
}
uint64_t stat(const char *ns, const char *name, stats_type_t type = STATS_TYPE_COUNTER) {
  return stats_get_u64(stats_register(stats_register_ns(stats_rec, nullptr, ns), name, type));
}
vorn_test::PgCluster *pg;                    /* a raw pointer: a death test's child runs no destructor */
void reinit(const std::string &attrs = "") { /* a second wdb_init also empties the cache */
  ASSERT_EQ(0, zint_conf_load_string(conf(pg->port(), attrs).c_str()));
  wdb_init();
}
std::string find(const std::string &uuid) { /* "host:port", or "-" with the port untouched */
  int port = -7;
  const char *ip = wdb_find_harl_ip(uuid.c_str(), &port);
  std::string out = ip ? std::string(ip) + ":" + std::to_string(port) : port == -7 ? "-" : "-:changed";
  free(const_cast<char *>(ip));
  return out;
}
/* Answers of queued lookups as "host:port" ("-" for none); wait(n) gives them sorted once there are n. */
struct Answers {
  std::mutex mu;
  std::vector<std::string> got;
  static void cb(const char *host, int port, void *self) {
    std::lock_guard<std::mutex> lk(static_cast<Answers *>(self)->mu);
    static_cast<Answers *>(self)->got.push_back(host ? std::string(host) + ":" + std::to_string(port) : "-");
  }
  std::vector<std::string> wait(size_t n) {
    std::vector<std::string> out;
    vorn_test::wait_until([&] {
      std::lock_guard<std::mutex> lk(mu);
      out = got;
      return out.size() >= n;
    });
    std::sort(out.begin(), out.end());
    return out;
  }
};
class Wdb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pg = new vorn_test::PgCluster();
    std::string err;
    ASSERT_TRUE(pg->start(&err) && pg->create_database("wdb", &err) &&
                pg->create_login("reader", "s3 cr'et\\ host=/x", &err))
        << err;
    /* Broker n runs check uuid_of(n); check 9 has the rows of brokers 4 and 1. */
    std::optional<std::string> rows[][2] = {
        {"127.0.0.2", "43191"},      {std::nullopt, "43191"}, {"", "43191"},
        {"127.0.0.4", "44000"},      {"127.0.0.5", "0"},      {"127.0.0.6", "65536"},
        {"127.0.0.7", std::nullopt}, {"127.0.0.8", "65535"}};
    for (int n = 1; n <= 8; n++)
      ASSERT_TRUE(pg->add_harl("wdb", n, rows[n - 1][0], rows[n - 1][1], &err) &&
                  pg->add_check("wdb", uuid_of(n), n, &err));
    ASSERT_TRUE(pg->add_check("wdb", uuid_of(9), 4, &err) && pg->add_check("wdb", uuid_of(9), 1, &err))
        << err;
    ASSERT_EQ(0, zint_log_stream_set_output(zint_error, (pg->socket_dir() + "/vorn-error.log").c_str(), 0));
    stats_init();
    reinit();
  }
  static void TearDownTestSuite() { delete pg; }
};
// what this proves: a password that needs quoting logs in; row shapes, cache and failures as documented
TEST_F(Wdb, ConnectionStringAndLookups) {
  struct {
    std::string uuid, answer; /* "a|b": either will do */
    bool failure;
    std::string log;
  } rows[] = {
      {kFound, "127.0.0.2:43191", false, ""},
      {uuid_of(3), ":43191", false, ""},
      {uuid_of(8), "127.0.0.8:65535", false, ""},
      {kMissing, "-", false,
       std::string("Didn't find any harls in wdb (0 rows returned) for uuid: ") + kMissing},
      {uuid_of(2), "-", true, "ipaddress is null for uuid: " + uuid_of(2) + ", harl_id: 2\n"},
      {uuid_of(5), "-", true, ""},
      {uuid_of(7), "-", true, ""},
      {uuid_of(9), "127.0.0.4:44000|127.0.0.2:43191", false, ""},
      {"not-a-uuid' or '1'='1", "-", true, "select_by_uuid command failed: "},
  };
  for (auto &r : rows) {
    SCOPED_TRACE(r.uuid);
    uint64_t errs = stat("errors", "wdb"), total = stats_get_u64(total_err_counter),
             queries = stat("wdb", "lookups");
    auto fits = [&](const std::string &got) {
      return ("|" + r.answer + "|").find("|" + got + "|") != std::string::npos;
    };
    std::string got = find(r.uuid);
    EXPECT_TRUE(fits(got)) << got;
    Answers answers;
    size_t burst = r.failure ? 1 : 50; /* failures are not shared by the lookups waiting behind them */
    for (size_t round = 1; round <= 2; round++) { /* the second after the first's answers */
      for (size_t i = 0; i < burst; i++) ASSERT_TRUE(wdb_lookup_harl(r.uuid.c_str(), Answers::cb, &answers));
      answers.wait(burst * round);
    }
    std::vector<std::string> queued = answers.wait(2 * burst);
    EXPECT_TRUE(fits(queued[0])) << queued[0];
    EXPECT_EQ(queued, std::vector<std::string>(2 * burst, queued[0]));
    EXPECT_EQ(stat("wdb", "lookups") - queries, r.failure ? 3u : 2u); /* the direct one included */
    EXPECT_EQ(stat("errors", "wdb") - errs, r.failure ? 3u : 0u);
    EXPECT_EQ(stats_get_u64(total_err_counter) - total, r.failure ? 3u : 0u);
    zint_log_flush();
    EXPECT_NE(vorn_test::read_file_text(pg->socket_dir() + "/vorn-error.log").find(r.log), std::string::npos);
  }
  reinit(" cache_ttl_s=\"0\"");
  EXPECT_EQ(0u, stat("wdb", "pending", STATS_TYPE_UINT64));
  EXPECT_EQ(nullptr, wdb_find_harl_ip(kFound, nullptr));
  pg->freeze();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ("-", find(kFound));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20)); /* 2 s configured */
  pg->thaw();
}
void start_up(const std::string &xml) { /* in a death test's child */
  in_forked_child = true;
  zint_log_stream_set_output(zint_error, "stderr", 0);
  if (zint_conf_load_string(xml.c_str()) == 0) wdb_init();
  _exit(0);
}
// what this proves: the start-up test ends the process with status 1 and its reason
TEST_F(Wdb, StartupTestExitsWithStatusOne) {
  std::string err, bare = conf(pg->port());
  ASSERT_TRUE(pg->exec("postgres", "create database bare", &err)) << err;
  bare.replace(bare.find(">wdb<"), 5, ">bare<");
  std::vector<std::pair<std::string, std::string>> rows = {
      {bare, "SELECT test failed: "},
      {conf(70000), "port 70000 is outside 1..65535"},
      {conf(pg->port(), "", "0"), "connect_timeout 0"},
      {"<vorn-c><vorn><wdb><host>h</host><port>1</port></wdb></vorn></vorn-c>",
       "missing configuration value //vorn/wdb/database"}};
  for (const char *attr :
       {"threads=\"0\"", "threads=\"65\"", "max_pending=\"0\"", "cache_ttl_s=\"-1\"", "cache_ttl_s=\"1d\""})
    rows.emplace_back(conf(pg->port(), std::string(" ") + attr), "is not a whole number in");
  for (auto &[xml, message] : rows) EXPECT_EXIT(start_up(xml), ::testing::ExitedWithCode(1), message) << xml;
}
} // namespace
