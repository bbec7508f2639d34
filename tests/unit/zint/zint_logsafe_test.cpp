/* Tests of log hygiene: escaping and cutting of foreign text, and the per-call-site rate limit with
 * its "suppressed" summary, written to a real log file. */
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_logsafe.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::string file_text(const std::string &path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

size_t count(const std::string &hay, const std::string &needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) n++;
  return n;
}

} // namespace

// what this proves: control bytes (newlines that would forge a log entry, escape sequences that
// would drive a terminal), DEL, backslashes, C1 controls and malformed UTF-8 come out escaped, while
// printable ASCII and well-formed UTF-8 stay as they are
TEST(ZintLogSafe, EscapesWhatATerminalOrAReaderWouldMisread) {
  EXPECT_EQ(zint_log_clean("plain text 123"), "plain text 123");
  EXPECT_EQ(zint_log_clean("a\nFAKE [FATAL] entry\r\t"), "a\\nFAKE [FATAL] entry\\r\\t");
  EXPECT_EQ(zint_log_clean("\x1b[31mred\x7f"), "\\x1b[31mred\\x7f");
  EXPECT_EQ(zint_log_clean("back\\slash"), "back\\\\slash");
  EXPECT_EQ(zint_log_clean(std::string("nul\0byte", 8).c_str(), 8), "nul\\x00byte");
  EXPECT_EQ(zint_log_clean("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
  EXPECT_EQ(zint_log_clean("c1 \xc2\x9b"), "c1 \\xc2\\x9b");                 /* U+009B, CSI */
  EXPECT_EQ(zint_log_clean("bad \xff\xc3("), "bad \\xff\\xc3(");            /* stray and cut-off */
  EXPECT_EQ(zint_log_clean("overlong \xc0\xaf \xe0\x80\xaf"), "overlong \\xc0\\xaf \\xe0\\x80\\xaf");
  EXPECT_EQ(zint_log_clean("surrogate \xed\xa0\x80"), "surrogate \\xed\\xa0\\x80");
  EXPECT_EQ(zint_log_clean(nullptr), "(null)");
  EXPECT_EQ(zint_log_clean(nullptr, 5), "(null)");
  EXPECT_EQ(zint_log_clean(""), "");
}

// what this proves: long text is cut at the bound with the whole length named, never inside a UTF-8
// character, and text at the bound is kept whole
TEST(ZintLogSafe, CutsAtTheBoundOnACharacterBoundary) {
  std::string at(ZINT_LOG_TEXT_MAX, 'x');
  EXPECT_EQ(zint_log_clean(at.c_str()), at);
  std::string over = at + "y";
  EXPECT_EQ(zint_log_clean(over.c_str()), at + "...(" + std::to_string(over.size()) + " bytes)");
  EXPECT_EQ(zint_log_clean("abcdef", 6, 3), "abc...(6 bytes)");
  /* "ab" then a two-byte character that would straddle a bound of 3 */
  EXPECT_EQ(zint_log_clean("ab\xc3\xa9z", 5, 3), "ab...(5 bytes)");
  /* an escape counts as one input byte: the bound limits what was read, output stays bounded too */
  std::string ctl(1000, '\x01');
  std::string out = zint_log_clean(ctl.c_str(), ctl.size());
  EXPECT_EQ(out.size(), ZINT_LOG_TEXT_MAX * 4 + std::string("...(1000 bytes)").size());
}

// what this proves: a call site writes at most the configured number of messages per second; the
// rest are counted and reported, before the next message written, as one number; each second starts
// a new allowance; 0 means no limit
TEST(ZintLogSafe, LimiterAdmitsPerSecondAndCountsTheRest) {
  uint32_t saved = zint_log_limit_get();
  zint_log_limit_set(3);
  zint_log_limiter_t lim{};
  uint64_t skipped = 99;
  int admitted = 0;
  for (int i = 0; i < 10; i++) admitted += zint_log_limiter_admit(&lim, 100, &skipped);
  EXPECT_EQ(admitted, 3);
  EXPECT_TRUE(zint_log_limiter_admit(&lim, 101, &skipped));
  EXPECT_EQ(skipped, 7u);
  EXPECT_TRUE(zint_log_limiter_admit(&lim, 101, &skipped));
  EXPECT_EQ(skipped, 0u);
  zint_log_limit_set(0);
  for (int i = 0; i < 100; i++) EXPECT_TRUE(zint_log_limiter_admit(&lim, 101, &skipped));
  zint_log_limit_set(saved);
}

// what this proves: through a real stream, a flood from one call site leaves at most the allowance
// per second in the file followed by a single "suppressed K similar messages" line with the exact
// count, naming the call site; another call site keeps its own allowance; threads flooding one site
// lose no count
TEST(ZintLogSafe, FloodOfOneCallSiteIsSummarised) {
  char dir[] = "/tmp/zint-logsafe-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/log";
  zint_log_stream_t ls = zint_log_stream_find("test/logsafe");
  ASSERT_EQ(zint_log_stream_set_output(ls, path.c_str(), 0), 0);
  zint_log_stream_set_enabled(ls, true);
  uint32_t saved = zint_log_limit_get();
  zint_log_limit_set(5);

  static zint_log_limiter_t site_a, site_b;
  /* Align to the start of a second so the flood stays inside one window. */
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::this_thread::sleep_for(std::chrono::nanoseconds(1000000000 - ts.tv_nsec));
  auto second = [] {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long) now.tv_sec;
  };
  long first_second = second();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; i++) zint_log_limited(&site_a, "src/some_file.cpp:42", ls, "flood %d\n", i);
    });
  for (auto &t : threads) t.join();
  /* On a loaded machine the flood may cross into the next second, which brings a new allowance. */
  size_t windows = (size_t) (second() - first_second + 1);
  for (int i = 0; i < 5; i++) zint_log_limited(&site_b, "other.cpp:7", ls, "other %d\n", i);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  zint_log_limited(&site_a, "src/some_file.cpp:42", ls, "after the flood\n");
  zint_log_flush();

  std::string text = file_text(path);
  size_t admitted = count(text, "flood "), suppressed = 0;
  const std::string said = "some_file.cpp:42: suppressed ";
  for (size_t at = text.find(said); at != std::string::npos; at = text.find(said, at + 1))
    suppressed += std::stoul(text.substr(at + said.size()));
  EXPECT_EQ(admitted + suppressed, 200u) << text; /* threads lose no count */
  EXPECT_GE(admitted, 5u) << text;
  EXPECT_LE(admitted, 5u * windows) << text;
  if (windows == 1) {
    EXPECT_EQ(admitted, 5u) << text;
    EXPECT_EQ(count(text, "some_file.cpp:42: suppressed 195 similar messages\n"), 1u) << text;
  }
  EXPECT_EQ(count(text, "other "), 5u) << text;
  size_t sup = text.find("suppressed"), after = text.find("after the flood\n");
  EXPECT_TRUE(sup != std::string::npos && after != std::string::npos && sup < after) << text;
  EXPECT_EQ(text.find("src/"), std::string::npos) << "the site is named by its file name";

  zint_log_limit_set(saved);
  zint_log_stream_set_enabled(ls, false);
}

// what this proves: <logs limit_per_second> sets the allowance (0 switches the limit off) and a value
// that is not a number keeps the one in force
TEST(ZintLogSafe, AllowanceFromConfiguration) {
  uint32_t saved = zint_log_limit_get();
  char dir[] = "/tmp/zint-logsafe-conf-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/c.conf";
  for (auto [attr, want] : std::vector<std::pair<std::string, uint32_t>>{{"3", 3}, {"lots", 3}, {"0", 0}, {"-1", 0}}) {
    std::ofstream(path) << "<c><logs limit_per_second=\"" << attr << "\"/></c>";
    ASSERT_EQ(zint_conf_load(path.c_str()), 0);
    zint_conf_log_init_rotate("test", false);
    EXPECT_EQ(zint_log_limit_get(), want) << attr;
  }
  zint_log_limit_set(saved);
}

// what this proves: with kinds, a flood of one kind does not hide the first messages of another at
// the same call site, and the summary names the kind whose messages were left out
TEST(ZintLogSafe, KindsHaveTheirOwnAllowance) {
  char dir[] = "/tmp/zint-logsafe-kinds-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/log";
  zint_log_stream_t ls = zint_log_stream_find("test/logsafe-kinds");
  ASSERT_EQ(zint_log_stream_set_output(ls, path.c_str(), 0), 0);
  zint_log_stream_set_enabled(ls, true);
  uint32_t saved = zint_log_limit_get();
  zint_log_limit_set(4);
  static zint_log_keyed_limiter_t kl;
  static const char *const kinds[] = {"bad json", "no watch", "k3", "k4", "k5", "k6", "k7", "k8", "k9"};
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::this_thread::sleep_for(std::chrono::nanoseconds(1000000000 - ts.tv_nsec));
  for (int i = 0; i < 30; i++) zint_log_limited_key(&kl, "api.cpp:1", kinds[0], ls, "%s\n", kinds[0]);
  /* same text at another address is the same kind */
  std::string copy = kinds[1];
  for (int i = 0; i < 3; i++) zint_log_limited_key(&kl, "api.cpp:1", kinds[1], ls, "%s\n", kinds[1]);
  zint_log_limited_key(&kl, "api.cpp:1", copy.c_str(), ls, "%s\n", kinds[1]);
  zint_log_limited_key(&kl, "api.cpp:1", copy.c_str(), ls, "%s\n", kinds[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  zint_log_limited_key(&kl, "api.cpp:1", kinds[0], ls, "%s\n", kinds[0]);
  zint_log_limited_key(&kl, "api.cpp:1", kinds[1], ls, "%s\n", kinds[1]);
  /* more kinds than slots: the last slot is shared, nothing breaks */
  for (int i = 2; i < 9; i++) EXPECT_TRUE(zint_log_limited_key(&kl, "api.cpp:1", kinds[i], ls, "%s\n", kinds[i]));
  zint_log_flush();
  std::string text = file_text(path);
  EXPECT_EQ(count(text, "bad json\n"), 5u) << text;
  EXPECT_EQ(count(text, "no watch\n"), 5u) << text;
  EXPECT_EQ(count(text, "api.cpp:1 (bad json): suppressed 26 similar messages\n"), 1u) << text;
  EXPECT_EQ(count(text, "api.cpp:1 (no watch): suppressed 1 similar messages\n"), 1u) << text;
  zint_log_limit_set(saved);
  zint_log_stream_set_enabled(ls, false);
}
