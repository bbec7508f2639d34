/* Tests of log hygiene: escaping and cutting of foreign text, and the per-call-site rate limit. */
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_logsafe.h"

#include "support/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// what this proves: control bytes (forged log lines, terminal escapes), DEL, backslashes, C1
// controls and malformed UTF-8 come out escaped while well-formed UTF-8 stays; long text is cut at
// the bound on a character boundary with its whole length named
TEST(ZintLogSafe, CleanRows) {
  std::string at(ZINT_LOG_TEXT_MAX, 'x'), ctl(1000, '\x01'), esc;
  for (int i = 0; i < ZINT_LOG_TEXT_MAX; i++) esc += "\\x01";
  struct row {
    std::string in;
    size_t max;
    std::string out;
  } rows[] = {{"a\nFAKE [FATAL]\r\t", 200, "a\\nFAKE [FATAL]\\r\\t"}, {"\x1b[31mred\x7f", 200, "\\x1b[31mred\\x7f"},
              {"back\\slash", 200, "back\\\\slash"}, {std::string("nul\0b", 5), 200, "nul\\x00b"},
              {"caf\xc3\xa9 \xf0\x9f\x98\x80", 200, "caf\xc3\xa9 \xf0\x9f\x98\x80"}, {"c1 \xc2\x9b", 200, "c1 \\xc2\\x9b"},
              {"bad \xff\xc3(", 200, "bad \\xff\\xc3("}, {"\xc0\xaf \xed\xa0\x80", 200, "\\xc0\\xaf \\xed\\xa0\\x80"},
              {at, 200, at}, {at + "y", 200, at + "...(201 bytes)"}, {"abcdef", 3, "abc...(6 bytes)"},
              {"ab\xc3\xa9z", 3, "ab...(5 bytes)"}, {ctl, 200, esc + "...(1000 bytes)"}, {"", 200, ""}};
  for (const row &r : rows) EXPECT_EQ(zint_log_clean(r.in.data(), r.in.size(), r.max), r.out) << r.in;
  EXPECT_EQ(zint_log_clean(nullptr), "(null)");
}

// what this proves: a site admits the allowance per second and counts the rest without losing one
// to racing threads; written through a stream, each kind of a site has its own allowance and the
// first message after a flood is preceded by the exact "suppressed" line naming the site's file;
// <logs limit_per_second> sets the allowance, 0 lifting it and a non-number keeping the old one
TEST(ZintLogSafe, Limiter) {
  uint32_t saved = zint_log_limit_get();
  zint_log_limit_set(5);
  zint_log_limiter_t lim{};
  std::vector<std::thread> ts;
  std::atomic<int> admitted{0};
  uint64_t skipped = 99;
  for (int t = 0; t < 4; t++)
    ts.emplace_back([&] {
      for (int i = 0; i < 1000; i++) admitted += zint_log_limiter_admit(&lim, 100, &skipped) ? 1 : 0;
    });
  for (auto &t : ts) t.join();
  EXPECT_EQ(admitted.load(), 5);
  EXPECT_TRUE(zint_log_limiter_admit(&lim, 101, &skipped));
  EXPECT_EQ(skipped, 3995u);

  char dir[] = "/tmp/zint-logsafe-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  zint_log_stream_t ls = zint_log_stream_find("test/logsafe");
  ASSERT_EQ(zint_log_stream_set_output(ls, (std::string(dir) + "/log").c_str(), 0), 0);
  zint_log_stream_set_enabled(ls, true);
  zint_log_limit_set(1);
  static zint_log_keyed_limiter_t kl;
  auto next_second = [] {
    auto s = [] { struct timespec n; clock_gettime(CLOCK_MONOTONIC, &n); return n.tv_sec; };
    time_t now = s();
    ASSERT_TRUE(vorn_test::wait_until([&] { return s() != now; }));
  };
  std::string copy = "B"; /* the same text at another address is the same kind */
  next_second();
  for (const char *k : {"A", "A", "B", "A", copy.c_str()}) zint_log_limited_key(&kl, "src/api.cpp:1", k, ls, "%s\n", k);
  next_second();
  for (const char *k : {"A", "B"}) zint_log_limited_key(&kl, "src/api.cpp:1", k, ls, "%s\n", k);
  zint_log_flush();
  std::stringstream text;
  text << std::ifstream(std::string(dir) + "/log").rdbuf();
  EXPECT_EQ(text.str(), "A\nB\napi.cpp:1 (A): suppressed 2 similar messages\nA\n"
                        "api.cpp:1 (B): suppressed 1 similar messages\nB\n");
  for (auto [attr, want] : std::vector<std::pair<std::string, uint32_t>>{{"3", 3}, {"lots", 3}, {"0", 0}}) {
    ASSERT_EQ(zint_conf_load_string(("<c><logs limit_per_second=\"" + attr + "\"/></c>").c_str()), 0);
    zint_conf_log_init_rotate("test", false);
    EXPECT_EQ(zint_log_limit_get(), want) << attr;
  }
  zint_log_limit_set(saved);
}
