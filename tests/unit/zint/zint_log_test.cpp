/* Tests of the log streams: lookup and inheritance, the debug switch, synchronous and asynchronous
 * writing, reopening after rotation, the <logs> configuration and the fatal path. */
#include "zint/zint_conf.h"
#include "zint/zint_log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

/* A fresh directory per test; stream names are unique per test because streams live forever. */
class ZintLog : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zint_log_testXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    zint_log_go_synch();
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  std::string path(const char *name) { return dir_ + "/" + name; }
  static std::string slurp(const std::string &p) {
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string dir_;
};

}  // namespace

// Lookups return one handle per name; new streams start disabled, except debug ones under -d, and
// a child without its own output follows its parent's, also when the parent's changes later.
TEST_F(ZintLog, StreamsLookupInheritanceAndDebugSwitch) {
  EXPECT_EQ(zint_log_stream_find("error"), zint_error);
  EXPECT_EQ(zint_log_stream_find("debug"), zint_debug);
  EXPECT_TRUE(zint_log_stream_enabled(zint_error));
  EXPECT_FALSE(zint_log_stream_enabled(zint_debug));
  zint_log_stream_t a = zint_log_stream_find("t1");
  EXPECT_EQ(zint_log_stream_find("t1"), a);
  EXPECT_FALSE(zint_log_stream_enabled(a));
  EXPECT_EQ(zint_log_stream_output(a), nullptr);

  zint_log_stream_t child = zint_log_stream_find("t1/child");
  ASSERT_EQ(zint_log_stream_set_output(a, path("a.log").c_str(), 0), 0);
  EXPECT_EQ(std::string(zint_log_stream_output(child)), path("a.log"));
  zint_log_stream_t grandchild = zint_log_stream_find("t1/child/deeper");
  EXPECT_EQ(std::string(zint_log_stream_output(grandchild)), path("a.log"));
  ASSERT_EQ(zint_log_stream_set_output(child, "stdout", -1), 0);
  EXPECT_STREQ(zint_log_stream_output(grandchild), "stdout");
  EXPECT_EQ(zint_log_stream_set_output(a, path("missing/dir.log").c_str(), 0), -1);
  EXPECT_EQ(std::string(zint_log_stream_output(a)), path("a.log"));

  /* Debug streams inherit "debug"'s output and follow -d, including ones found afterwards. */
  zint_log_stream_t dx = zint_log_stream_find("debug/t1x");
  zint_log_stream_t notdebug = zint_log_stream_find("debugger");
  EXPECT_STREQ(zint_log_stream_output(dx), "stderr");
  zint_log_enable_debug(true);
  EXPECT_TRUE(zint_log_stream_enabled(zint_debug));
  EXPECT_TRUE(zint_log_stream_enabled(dx));
  EXPECT_TRUE(zint_log_stream_enabled(zint_log_stream_find("debug/t1y")));
  EXPECT_FALSE(zint_log_stream_enabled(notdebug));
  zint_log_stream_set_enabled(dx, false); /* -d wins over configuration */
  EXPECT_TRUE(zint_log_stream_enabled(dx));
  zint_log_enable_debug(false);
  EXPECT_FALSE(zint_log_stream_enabled(dx));
  EXPECT_FALSE(zint_log_stream_enabled(zint_log_stream_find("debug/t1y")));
  zint_log_stream_set_enabled(dx, true);
  EXPECT_TRUE(zint_log_stream_enabled(dx));
}

// Synchronous writes land exactly as formatted, long ones whole; disabled streams write nothing;
// file outputs with timestamps prefix each entry.
TEST_F(ZintLog, SynchronousWritesFormattingAndTimestamps) {
  zint_log_stream_t s = zint_log_stream_find("t2");
  ASSERT_EQ(zint_log_stream_set_output(s, path("s.log").c_str(), 0), 0);
  zint_log(s, "dropped %d\n", 1);
  zint_log_stream_set_enabled(s, true);
  zint_log(s, "entry %d %s\n", 42, "x");
  std::string big(5000, 'b');
  zint_log(s, "%s\n", big.c_str());
  zint_log_stream_set_enabled(s, false);
  zint_log(s, "dropped %d\n", 2);
  EXPECT_EQ(slurp(path("s.log")), "entry 42 x\n" + big + "\n");

  zint_log_stream_t t = zint_log_stream_find("t2/ts");
  ASSERT_EQ(zint_log_stream_set_output(t, path("ts.log").c_str(), -1), 0); /* files: on */
  zint_log_stream_set_enabled(t, true);
  zint_log(t, "stamped\n");
  /* "[YYYY-MM-DDTHH:MM:SS.uuuuuuZ] stamped\n", digits where the pattern has 9s */
  std::string got = slurp(path("ts.log"));
  const std::string shape = "[9999-99-99T99:99:99.999999Z] stamped\n";
  ASSERT_EQ(got.size(), shape.size()) << got;
  for (size_t i = 0; i < shape.size(); i++)
    EXPECT_TRUE(shape[i] == '9' ? isdigit((unsigned char) got[i]) != 0 : got[i] == shape[i]) << got;
}

// In asynchronous mode every entry from many threads arrives whole and in each thread's order,
// after a flush and after returning to synchronous mode.
TEST_F(ZintLog, AsynchronousWritesFromManyThreadsArriveWholeAndOrdered) {
  zint_log_stream_t s = zint_log_stream_find("t3");
  ASSERT_EQ(zint_log_stream_set_output(s, path("a.log").c_str(), 0), 0);
  zint_log_stream_set_enabled(s, true);
  zint_log_go_asynch();
  ASSERT_TRUE(zint_log_is_asynch());
  zint_log(s, "first\n");
  zint_log_flush();
  EXPECT_EQ(slurp(path("a.log")), "first\n");

  const int threads = 4, per = 20000; /* more than the queue bound, so producers must wait */
  std::vector<std::thread> ts;
  for (int t = 0; t < threads; t++)
    ts.emplace_back([&, t] {
      for (int i = 0; i < per; i++) zint_log(s, "t%d %d %s\n", t, i, "payload-payload-payload");
    });
  for (auto &th : ts) th.join();
  zint_log_go_synch();
  EXPECT_FALSE(zint_log_is_asynch());

  std::ifstream f(path("a.log"));
  std::string line;
  std::getline(f, line);
  EXPECT_EQ(line, "first");
  std::vector<int> next(threads, 0);
  int lines = 0;
  while (std::getline(f, line)) {
    int t, i;
    char rest[64];
    ASSERT_EQ(sscanf(line.c_str(), "t%d %d %63s", &t, &i, rest), 3) << line;
    ASSERT_STREQ(rest, "payload-payload-payload");
    ASSERT_TRUE(t >= 0 && t < threads);
    ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
    next[t]++;
    lines++;
  }
  EXPECT_EQ(lines, threads * per);
}

// After the file is renamed away, a reopen sends new entries to a fresh file at the old path,
// and what was queued before the reopen stays in the renamed file.
TEST_F(ZintLog, ReopenAfterRenameStartsAFreshFile) {
  zint_log_stream_t s = zint_log_stream_find("t4");
  ASSERT_EQ(zint_log_stream_set_output(s, path("r.log").c_str(), 0), 0);
  zint_log_stream_set_enabled(s, true);
  /* Earlier tests' directories are gone, so their files fail to reopen: count relative to that. */
  int stale = zint_log_reopen_all();
  zint_log_go_asynch();
  zint_log(s, "before\n");
  ASSERT_EQ(rename(path("r.log").c_str(), path("r.log.1").c_str()), 0);
  EXPECT_EQ(zint_log_reopen_all(), stale);
  zint_log(s, "after\n");
  zint_log_go_synch();
  EXPECT_EQ(slurp(path("r.log.1")), "before\n");
  EXPECT_EQ(slurp(path("r.log")), "after\n");

  /* A file that can no longer be created is reported and the old descriptor kept. */
  std::string sub = path("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  zint_log_stream_t u = zint_log_stream_find("t4/sub");
  ASSERT_EQ(zint_log_stream_set_output(u, (sub + "/u.log").c_str(), 0), 0);
  zint_log_stream_set_enabled(u, true);
  ASSERT_EQ(rename((sub + "/u.log").c_str(), path("u.moved").c_str()), 0);
  ASSERT_EQ(rmdir(sub.c_str()), 0);
  EXPECT_EQ(zint_log_reopen_all(), stale + 1);
  zint_log(u, "still written\n");
  EXPECT_EQ(slurp(path("u.moved")), "still written\n");
}

// The <logs> section sets outputs, the disabled flag and timestamps; bad entries are skipped.
TEST_F(ZintLog, ConfigurationSectionAppliesToStreams) {
  std::string xml = "<app><logs>"
                    "<log name=\"t5\" output=\"" + path("c.log") + "\" timestamps=\"off\"/>"
                    "<log name=\"t5/quiet\" disabled=\"TRUE\"/>"
                    "<log name=\"t5/bad\" output=\"" + path("no/such/dir.log") + "\"/>"
                    "<log output=\"stderr\"/>"
                    "</logs></app>";
  ASSERT_EQ(zint_conf_load_string(xml.c_str()), 0);
  zint_conf_log_init_rotate("test", false);
  zint_log_stream_t s = zint_log_stream_find("t5");
  zint_log_stream_t quiet = zint_log_stream_find("t5/quiet");
  zint_log_stream_t bad = zint_log_stream_find("t5/bad");
  EXPECT_TRUE(zint_log_stream_enabled(s));
  EXPECT_FALSE(zint_log_stream_enabled(quiet));
  EXPECT_TRUE(zint_log_stream_enabled(bad));
  EXPECT_EQ(std::string(zint_log_stream_output(quiet)), path("c.log"));
  EXPECT_EQ(std::string(zint_log_stream_output(bad)), path("c.log")); /* kept the inherited one */
  zint_log(s, "configured\n");
  zint_log(quiet, "not written\n");
  EXPECT_EQ(slurp(path("c.log")), "configured\n");
}

// Entries queued in asynchronous mode reach the output on a normal exit and before a fatal
// message, which is written synchronously before the abort.
TEST_F(ZintLog, QueuedEntriesSurviveExitAndFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        zint_log_go_asynch();
        for (int i = 0; i < 1000; i++) zint_log(zint_error, "queued %d\n", i);
        exit(0);
      },
      ::testing::ExitedWithCode(0), "queued 999\n");
  EXPECT_DEATH(
      {
        zint_log_go_asynch();
        for (int i = 0; i < 1000; i++) zint_log(zint_error, "pending %d\n", i);
        zint_fatal("[FATAL] assertion (%s) at %s:%d failed\n", "x", "f.cpp", 7);
      },
      "pending 999\n\\[FATAL\\] assertion \\(x\\) at f.cpp:7 failed");
  EXPECT_DEATH(ZINT_ASSERT(1 + 1 == 3), "\\[FATAL\\] assertion \\(1 \\+ 1 == 3\\) at .*zint_log_test.cpp:[0-9]+ failed");
}
