/* Tests of the log streams, the asynchronous writer, the fatal path, escaping and the rate limit. */
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_logsafe.h"

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

std::string dir() {
  static std::string d = [] {
    char t[] = "/tmp/zint_log_testXXXXXX";
    return std::string(mkdtemp(t));
  }();
  return d;
}
std::string slurp(const std::string &name) {
  std::stringstream ss;
  ss << std::ifstream(dir() + "/" + name).rdbuf();
  return ss.str();
}
zint_log_stream_t to_file(const char *stream, const std::string &name) {
  zint_log_stream_t s = zint_log_stream_find(stream);
  EXPECT_EQ(zint_log_stream_set_output(s, (dir() + "/" + name).c_str(), 0), 0);
  zint_log_stream_set_enabled(s, true);
  return s;
}
void load_logs(const std::string &logs) {
  ASSERT_EQ(zint_conf_load_string(("<app>" + logs + "</app>").c_str()), 0);
  zint_conf_log_init_rotate("test", false);
}

} // namespace

// what this proves: streams start disabled and inherit their parent's output (also when it changes
// later); debug streams follow -d, which wins over configuration; the <logs> section sets outputs,
// disabled flags and timestamps and skips bad entries; entries land exactly as formatted
TEST(ZintLog, StreamsAndConfiguration) {
  zint_log_stream_t a = zint_log_stream_find("t1"), child = zint_log_stream_find("t1/child/deeper");
  EXPECT_FALSE(zint_log_stream_enabled(a));
  ASSERT_EQ(zint_log_stream_set_output(a, (dir() + "/a.log").c_str(), 0), 0);
  EXPECT_EQ(zint_log_stream_output(child), dir() + "/a.log");
  EXPECT_EQ(zint_log_stream_set_output(a, "/nonexistent/dir.log", 0), -1);
  EXPECT_EQ(zint_log_stream_output(child), dir() + "/a.log");
  zint_log_stream_t dx = zint_log_stream_find("debug/t1x"), dy = zint_log_stream_find("debug/t1y");
  zint_log_enable_debug(true);
  zint_log_stream_set_enabled(dx, false);
  EXPECT_TRUE(zint_log_stream_enabled(dx));
  EXPECT_TRUE(zint_log_stream_enabled(dy));
  EXPECT_FALSE(zint_log_stream_enabled(zint_log_stream_find("debugger")));
  zint_log_enable_debug(false);
  EXPECT_FALSE(zint_log_stream_enabled(dx));

  load_logs("<logs><log name=\"t5\" output=\"" + dir() +
            "/c.log\" timestamps=\"off\"/>"
            "<log name=\"t5/quiet\" disabled=\"TRUE\"/><log name=\"t5/bad\" output=\"/no/such/dir.log\"/>"
            "<log name=\"t5/ts\" output=\"" +
            dir() + "/ts.log\"/><log output=\"stderr\"/></logs>");
  zint_log(zint_log_stream_find("t5"), "entry %d %s\n", 42, "x");
  zint_log(zint_log_stream_find("t5/quiet"), "not written\n");
  /* t5/bad kept the inherited output */
  zint_log(zint_log_stream_find("t5/bad"), "%s\n", std::string(5000, 'b').c_str());
  zint_log(zint_log_stream_find("t5/bad"), "%s\n", std::string(511, 'c').c_str()); /* 512: just too long */
  zint_log(zint_log_stream_find("t5/ts"), "stamped\n");
  EXPECT_EQ(slurp("c.log"), "entry 42 x\n" + std::string(5000, 'b') + "\n" + std::string(511, 'c') + "\n");
  const std::regex stamped("\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z\\] stamped\n");
  EXPECT_TRUE(std::regex_match(slurp("ts.log"), stamped)) << slurp("ts.log");
}

// what this proves: in asynchronous mode entries from many threads (more than the queue holds)
// arrive whole and in each thread's order; a reopen after a rename sends later entries to a new file
// at the configured path while earlier ones stay in the renamed one; a file that cannot be created
// again keeps its old descriptor and is counted as a failure
TEST(ZintLog, AsynchronousWriterAndReopen) {
  zint_log_stream_t s = to_file("t3", "r.log");
  const int stale = zint_log_reopen_all();
  zint_log_go_asynch();
  ASSERT_TRUE(zint_log_is_asynch());
  const int threads = 4, per = 20000;
  std::vector<std::thread> ts;
  for (int t = 0; t < threads; t++)
    ts.emplace_back([&, t] {
      for (int i = 0; i < per; i++) zint_log(s, "t%d %d payload-payload\n", t, i);
    });
  for (auto &th : ts) th.join();
  ASSERT_EQ(rename((dir() + "/r.log").c_str(), (dir() + "/r.log.1").c_str()), 0);
  EXPECT_EQ(zint_log_reopen_all(), stale);
  zint_log(s, "after\n");
  ASSERT_EQ(mkdir((dir() + "/sub").c_str(), 0700), 0);
  zint_log_stream_t u = to_file("t3/sub", "sub/u.log");
  ASSERT_EQ(rename((dir() + "/sub/u.log").c_str(), (dir() + "/u.moved").c_str()), 0);
  ASSERT_EQ(rmdir((dir() + "/sub").c_str()), 0);
  EXPECT_EQ(zint_log_reopen_all(), stale + 1);
  zint_log(u, "still written\n");
  zint_log_go_synch();
  EXPECT_FALSE(zint_log_is_asynch());
  EXPECT_EQ(slurp("r.log") + slurp("u.moved"), "after\nstill written\n");
  std::istringstream in(slurp("r.log.1"));
  std::vector<int> next(threads, 0);
  int t, i;
  char rest[32];
  for (std::string line; std::getline(in, line);) {
    ASSERT_EQ(sscanf(line.c_str(), "t%d %d %31s", &t, &i, rest), 3) << line;
    ASSERT_TRUE(t >= 0 && t < threads && i == next[t]++ && std::string(rest) == "payload-payload") << line;
  }
  EXPECT_EQ(next, std::vector<int>(threads, per));
}

// what this proves: queued entries reach the output on a normal exit and before a fatal message
TEST(ZintLog, QueuedEntriesSurviveExitAndFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto flood = [](const char *format) {
    zint_log_go_asynch();
    for (int i = 0; i < 1000; i++) zint_log(zint_error, format, i);
  };
  EXPECT_EXIT(
      {
        flood("queued %d\n");
        exit(0);
      },
      ::testing::ExitedWithCode(0), "queued 999\n");
  EXPECT_DEATH(
      {
        flood("pending %d\n");
        zint_fatal("[FATAL] assertion (%s) at %s:%d failed\n", "x", "f.cpp", 7);
      },
      "pending 999\n\\[FATAL\\] assertion \\(x\\) at f.cpp:7 failed");
}

// what this proves: control bytes (forged log lines, terminal escapes), DEL, backslashes, C1
// controls and malformed UTF-8 come out escaped while well-formed UTF-8 stays; long text is cut at
// the bound on a character boundary with its whole length named
TEST(ZintLog, CleanRows) {
  std::string at(ZINT_LOG_TEXT_MAX, 'x'), ctl(1000, '\x01'), esc;
  for (int i = 0; i < ZINT_LOG_TEXT_MAX; i++) esc += "\\x01";
  struct row {
    std::string in;
    size_t max;
    std::string out;
  } rows[] = {{"\x1b[31mred\x7f\n", 200, "\\x1b[31mred\\x7f\\n"},
              {"back\\slash", 200, "back\\\\slash"},
              {"caf\xc3\xa9 \xf0\x9f\x98\x80", 200, "caf\xc3\xa9 \xf0\x9f\x98\x80"},
              {"c1 \xc2\x9b", 200, "c1 \\xc2\\x9b"},
              {"bad \xff\xc3(", 200, "bad \\xff\\xc3("},
              {"\xc0\xaf \xed\xa0\x80", 200, "\\xc0\\xaf \\xed\\xa0\\x80"},
              {at, 200, at},
              {at + "y", 200, at + "...(201 bytes)"},
              {"ab\xc3\xa9z", 3, "ab...(5 bytes)"},
              {ctl, 200, esc + "...(1000 bytes)"},
              {std::string("nul\0", 4), 200, "nul\\x00"}};
  for (const row &r : rows) EXPECT_EQ(zint_log_clean(r.in.data(), r.in.size(), r.max), r.out) << r.in;
  EXPECT_EQ(zint_log_clean(nullptr), "(null)");
}

// what this proves: a site admits the allowance per second and counts the rest without losing one
// to racing threads; written through a stream, each kind of a site has its own allowance and the
// first message after a flood is preceded by the exact "suppressed" line naming the site's file;
// <logs limit_per_second> sets the allowance, 0 lifting it and a non-number keeping the old one
TEST(ZintLog, Limiter) {
  uint32_t saved = zint_log_limit_get();
  zint_log_limit_set(5);
  zint_log_limiter_t lim{};
  std::vector<std::thread> ts;
  std::atomic<int> admitted{0};
  for (int t = 0; t < 4; t++)
    ts.emplace_back([&] {
      uint64_t mine; /* each thread its own output */
      for (int i = 0; i < 1000; i++) admitted += zint_log_limiter_admit(&lim, 100, &mine) ? 1 : 0;
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(admitted.load(), 5);
  uint64_t skipped = 99;
  EXPECT_TRUE(zint_log_limiter_admit(&lim, 101, &skipped));
  EXPECT_EQ(skipped, 3995u);

  zint_log_stream_t ls = to_file("test/logsafe", "limited.log");
  zint_log_limit_set(1);
  static zint_log_keyed_limiter_t kl;
  auto next_second = [] {
    auto secs = [] {
      struct timespec n;
      clock_gettime(CLOCK_MONOTONIC, &n);
      return n.tv_sec;
    };
    time_t now = secs();
    ASSERT_TRUE(vorn_test::wait_until([&] { return secs() != now; }));
  };
  std::string copy = "B"; /* the same text at another address is the same kind */
  next_second();
  for (const char *k : {"A", "A", "B", "A", copy.c_str()})
    zint_log_limited_key(&kl, "src/api.cpp:1", k, ls, "%s\n", k);
  next_second();
  for (const char *k : {"A", "B"}) zint_log_limited_key(&kl, "src/api.cpp:1", k, ls, "%s\n", k);
  zint_log_flush();
  EXPECT_EQ(slurp("limited.log"),
            "A\nB\napi.cpp:1 (A): suppressed 2 similar messages\nA\n"
            "api.cpp:1 (B): suppressed 1 similar messages\nB\n");
  for (auto [attr, want] : std::vector<std::pair<std::string, uint32_t>>{{"3", 3}, {"lots", 3}, {"0", 0}}) {
    load_logs("<logs limit_per_second=\"" + attr + "\"/>");
    EXPECT_EQ(zint_log_limit_get(), want) << attr;
  }
  zint_log_limit_set(saved);
}
