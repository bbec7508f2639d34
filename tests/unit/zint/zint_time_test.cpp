#include "zint/zint_time.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>

// what this proves: UUID texts parse exactly (either case, no overread) and generated v4 UUIDs are distinct
TEST(ZintTime, UuidRows) {
  /* "text first-byte" of what parses from exactly text's bytes (no terminator), "refused 238" if nothing */
  auto parsed = [](const std::string &text) {
    std::unique_ptr<char[]> exact(new char[text.size()]);
    memcpy(exact.get(), text.data(), text.size());
    uuid_t u;
    char back[37] = "refused";
    memset(u, 0xee, sizeof u);
    if (zint_uuid_parse_len(exact.get(), text.size(), u) == 0) zint_uuid_unparse_lower(u, back);
    return std::string(back) + " " + std::to_string(u[0]);
  };
  const std::string lower = "1b4e28ba-2fa1-11d2-883f-0016d3cca427";
  EXPECT_EQ(parsed(lower), lower + " 27");
  EXPECT_EQ(parsed("1B4E28BA-2FA1-11D2-883F-0016D3CCA427"), lower + " 27");
  for (const std::string &t :
       {lower.substr(0, 35), lower + "7", std::string("1b4e28ba2fa1-11d2-883f-0016d3cca4277"),
        std::string("1b4e28ba-2fa1-11d2-883f-0016d3cca42g")})
    EXPECT_EQ(parsed(t), "refused 238") << t;
  std::set<std::string> seen;
  for (int i = 0; i < 1000; i++) {
    uuid_t u;
    char text[37];
    zint_uuid_generate(u);
    zint_uuid_unparse_lower(u, text);
    ASSERT_TRUE(u[6] >> 4 == 4 && (u[8] & 0xc0) == 0x80) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}
