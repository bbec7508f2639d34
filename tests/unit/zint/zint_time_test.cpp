/* Tests of the clocks and of UUID generation, text form and parsing. */
#include "zint/zint_time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
#include <string>

// what this proves: UUID texts parse in either case to their bytes and print back in lower case;
// anything else is refused without touching the output or reading past the given length (ASan);
// generated UUIDs are distinct version 4 / RFC variant values that round-trip through their text
TEST(ZintTime, UuidRows) {
  const char *lower = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
  struct row {
    std::string text;
    size_t len;
    int rc;
  } rows[] = {{lower, 36, 0},
              {"1B4E28BA-2FA1-11D2-883F-0016D3CCA427", 36, 0},
              {lower, 35, -1},
              {"", 0, -1},
              {std::string(lower) + "7", 37, -1},
              {"1b4e28ba2fa1-11d2-883f-0016d3cca4277", 36, -1},
              {"1b4e28ba-2fa1-11d2-883f-0016d3cca42g", 36, -1},
              {"1b4e28ba-2fa1-11d2-883f+0016d3cca427", 36, -1},
              {" 1b4e28ba-2fa1-11d2-883f-0016d3cca42", 36, -1}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    char *exact = new char[r.len + 1];
    memcpy(exact, r.text.data(), r.len);
    exact[r.len] = 'x'; /* not a terminator: only len counts */
    uuid_t u;
    char back[37] = "untouched";
    memset(u, 0xee, sizeof u);
    EXPECT_EQ(zint_uuid_parse_len(exact, r.len, u), r.rc);
    if (r.rc == 0) zint_uuid_unparse_lower(u, back);
    EXPECT_STREQ(back, r.rc == 0 ? lower : "untouched");
    EXPECT_EQ(u[0], r.rc == 0 ? 0x1b : 0xee);
    delete[] exact;
  }
  EXPECT_EQ(zint_uuid_parse(nullptr, nullptr), -1);
  std::set<std::string> seen;
  for (int i = 0; i < 1000; i++) {
    uuid_t u, back;
    char text[37];
    zint_uuid_generate(u);
    zint_uuid_unparse_lower(u, text);
    ASSERT_EQ(zint_uuid_parse(text, back), 0);
    ASSERT_TRUE(u[6] >> 4 == 4 && (u[8] & 0xc0) == 0x80 && memcmp(u, back, 16) == 0) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}
