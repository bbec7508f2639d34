/* Tests of the clocks and of UUID generation, text form and parsing. */
#include "zint/zint_time.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>

// Generated UUIDs are version 4 / RFC variant, distinct, and round-trip through their text.
TEST(ZintTime, UuidGenerateUnparseParseRoundTrip) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; i++) {
    uuid_t u;
    zint_uuid_generate(u);
    EXPECT_EQ(u[6] >> 4, 4);
    EXPECT_EQ(u[8] & 0xc0, 0x80);
    char text[37];
    memset(text, 'X', sizeof text);
    zint_uuid_unparse_lower(u, text);
    ASSERT_EQ(strlen(text), 36u);
    for (int k = 0; k < 36; k++) {
      if (k == 8 || k == 13 || k == 18 || k == 23)
        EXPECT_EQ(text[k], '-');
      else
        EXPECT_TRUE(isdigit(text[k]) || (text[k] >= 'a' && text[k] <= 'f')) << text;
    }
    uuid_t back;
    ASSERT_EQ(zint_uuid_parse(text, back), 0);
    EXPECT_EQ(memcmp(u, back, 16), 0);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

// Known text parses to known bytes in either case and prints back in lower case.
TEST(ZintTime, UuidParseKnownValueEitherCase) {
  const unsigned char want[16] = {0x1b, 0x4e, 0x28, 0xba, 0x2f, 0xa1, 0x11, 0xd2,
                                  0x88, 0x3f, 0x00, 0x16, 0xd3, 0xcc, 0xa4, 0x27};
  uuid_t u;
  ASSERT_EQ(zint_uuid_parse("1B4E28BA-2FA1-11D2-883F-0016D3CCA427", u), 0);
  EXPECT_EQ(memcmp(u, want, 16), 0);
  char text[37];
  zint_uuid_unparse_lower(u, text);
  EXPECT_STREQ(text, "1b4e28ba-2fa1-11d2-883f-0016d3cca427");
}

// Bad text is refused with -1, leaves the output alone and is never read past its length.
TEST(ZintTime, UuidParseRejectsBadTextWithoutOverreading) {
  const char *bad[] = {"",
                       "1b4e28ba-2fa1-11d2-883f-0016d3cca42",    /* 35 */
                       "1b4e28ba-2fa1-11d2-883f-0016d3cca4277",  /* 37 */
                       "1b4e28ba2fa1-11d2-883f-0016d3cca4277",   /* dash missing */
                       "1b4e28ba-2fa1-11d2-883f-0016d3cca42g",   /* not hex */
                       "1b4e28ba-2fa1-11d2-883f+0016d3cca427",   /* wrong separator */
                       "-1b4e28ba2fa1-11d2-883f-0016d3cca427",
                       " 1b4e28ba-2fa1-11d2-883f-0016d3cca42"};
  uuid_t u;
  memset(u, 0xee, sizeof u);
  for (const char *b : bad) EXPECT_EQ(zint_uuid_parse(b, u), -1) << b;
  EXPECT_EQ(zint_uuid_parse(nullptr, u), -1);
  for (unsigned char c : u) EXPECT_EQ(c, 0xee);

  /* Exactly-sized heap buffers without terminators: the sanitizer build catches any overread. */
  const char *good = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
  std::unique_ptr<char[]> exact(new char[36]);
  memcpy(exact.get(), good, 36);
  EXPECT_EQ(zint_uuid_parse_len(exact.get(), 36, u), 0);
  EXPECT_EQ(u[0], 0x1b);
  EXPECT_EQ(zint_uuid_parse_len(exact.get(), 35, u), -1);
  std::unique_ptr<char[]> unterminated(new char[37]);
  memcpy(unterminated.get(), good, 36);
  unterminated[36] = 'x';
  EXPECT_EQ(zint_uuid_parse(unterminated.get(), u), -1);
}

// The monotonic clocks never go back and agree with each other; wall time matches time().
TEST(ZintTime, ClocksAreMonotonicAndWallTimeIsCurrent) {
  uint64_t prev = zint_get_nanos();
  for (int i = 0; i < 10000; i++) {
    uint64_t now = zint_get_nanos();
    ASSERT_GE(now, prev);
    prev = now;
  }
  uint64_t a = zint_get_nanos();
  zint_hrtime_t h = zint_gethrtime();
  uint64_t b = zint_get_nanos();
  EXPECT_GE(h, a);
  EXPECT_LE(h, b);
  struct timeval tv;
  time_t before = time(nullptr);
  ASSERT_EQ(zint_gettimeofday(&tv, nullptr), 0);
  time_t after = time(nullptr);
  EXPECT_GE(tv.tv_sec, before);
  EXPECT_LE(tv.tv_sec, after);
  EXPECT_LT(tv.tv_usec, 1000000);
}
