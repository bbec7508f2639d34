/* Tests of the log streams: inheritance, the debug switch, the <logs> section, synchronous and
 * asynchronous writing and the fatal path. */
#include "zint/zint_conf.h"
#include "zint/zint_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
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
zint_log_stream_t to_file(const char *stream, const std::string &name, int timestamps = 0) {
  zint_log_stream_t s = zint_log_stream_find(stream);
  EXPECT_EQ(zint_log_stream_set_output(s, (dir() + "/" + name).c_str(), timestamps), 0);
  zint_log_stream_set_enabled(s, true);
  return s;
}

}  // namespace

// what this proves: streams start disabled and inherit their parent's output (also when it changes
// later); debug streams follow -d, which wins over configuration; the <logs> section sets outputs,
// disabled flags and timestamps and skips bad entries; entries land exactly as formatted
TEST(ZintLog, StreamsAndConfiguration) {
  zint_log_stream_t a = zint_log_stream_find("t1"), child = zint_log_stream_find("t1/child/deeper");
  EXPECT_EQ(zint_log_stream_find("t1"), a);
  EXPECT_FALSE(zint_log_stream_enabled(a));
  ASSERT_EQ(zint_log_stream_set_output(a, (dir() + "/a.log").c_str(), 0), 0);
  EXPECT_EQ(zint_log_stream_output(child), dir() + "/a.log");
  EXPECT_EQ(zint_log_stream_set_output(a, "/nonexistent/dir.log", 0), -1);
  EXPECT_EQ(zint_log_stream_output(child), dir() + "/a.log");
  zint_log_stream_t dx = zint_log_stream_find("debug/t1x"), notdebug = zint_log_stream_find("debugger");
  zint_log_enable_debug(true);
  zint_log_stream_set_enabled(dx, false);
  EXPECT_EQ(std::vector<bool>({zint_log_stream_enabled(dx), zint_log_stream_enabled(zint_log_stream_find("debug/t1y")),
                               zint_log_stream_enabled(notdebug)}), std::vector<bool>({true, true, false}));
  zint_log_enable_debug(false);
  EXPECT_FALSE(zint_log_stream_enabled(dx));

  std::string xml = "<app><logs><log name=\"t5\" output=\"" + dir() + "/c.log\" timestamps=\"off\"/>"
                    "<log name=\"t5/quiet\" disabled=\"TRUE\"/><log name=\"t5/bad\" output=\"/no/such/dir.log\"/>"
                    "<log name=\"t5/ts\" output=\"" + dir() + "/ts.log\"/><log output=\"stderr\"/></logs></app>";
  ASSERT_EQ(zint_conf_load_string(xml.c_str()), 0);
  zint_conf_log_init_rotate("test", false);
  zint_log(zint_log_stream_find("t5"), "entry %d %s\n", 42, "x");
  zint_log(zint_log_stream_find("t5/quiet"), "not written\n");
  zint_log(zint_log_stream_find("t5/bad"), "%s\n", std::string(5000, 'b').c_str()); /* kept the inherited output */
  zint_log(zint_log_stream_find("t5/ts"), "stamped\n");
  EXPECT_EQ(slurp("c.log"), "entry 42 x\n" + std::string(5000, 'b') + "\n");
  EXPECT_TRUE(std::regex_match(slurp("ts.log"), std::regex("\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z\\] stamped\n")))
      << slurp("ts.log");
}

// what this proves: in asynchronous mode entries from many threads (more than the queue holds)
// arrive whole and in each thread's order
TEST(ZintLog, AsynchronousWriter) {
  zint_log_stream_t s = to_file("t3", "r.log");
  zint_log_go_asynch();
  ASSERT_TRUE(zint_log_is_asynch());
  const int threads = 4, per = 20000;
  std::vector<std::thread> ts;
  for (int t = 0; t < threads; t++)
    ts.emplace_back([&, t] {
      for (int i = 0; i < per; i++) zint_log(s, "t%d %d payload-payload\n", t, i);
    });
  for (auto &th : ts) th.join();
  zint_log_go_synch();
  EXPECT_FALSE(zint_log_is_asynch());
  std::istringstream in(slurp("r.log"));
  std::vector<int> next(threads, 0);
  int t, i;
  char rest[32];
  for (std::string line; std::getline(in, line);) {
    ASSERT_EQ(sscanf(line.c_str(), "t%d %d %31s", &t, &i, rest), 3) << line;
    ASSERT_TRUE(t >= 0 && t < threads && i == next[t]++ && std::string(rest) == "payload-payload") << line;
  }
  EXPECT_EQ(next, std::vector<int>(threads, per));
}

// what this proves: queued entries reach the output on a normal exit and before a fatal message,
// which is written synchronously before the abort
TEST(ZintLog, QueuedEntriesSurviveExitAndFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT({ zint_log_go_asynch(); for (int i = 0; i < 1000; i++) zint_log(zint_error, "queued %d\n", i); exit(0); },
              ::testing::ExitedWithCode(0), "queued 999\n");
  EXPECT_DEATH({ zint_log_go_asynch(); for (int i = 0; i < 1000; i++) zint_log(zint_error, "pending %d\n", i);
                 zint_fatal("[FATAL] assertion (%s) at %s:%d failed\n", "x", "f.cpp", 7); },
               "pending 999\n\\[FATAL\\] assertion \\(x\\) at f.cpp:7 failed");
  EXPECT_DEATH(ZINT_ASSERT(1 + 1 == 3), "\\[FATAL\\] assertion \\(1 \\+ 1 == 3\\) at .*zint_log_test.cpp:[0-9]+ failed");
}
