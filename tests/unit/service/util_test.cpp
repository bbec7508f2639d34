/* Tests of the shared helpers. */
#include "util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

// what this proves: vorn_asprintf allocates exactly the formatted text and reports its length,
// and reports a failed format as null with length -1
TEST(Util, AsprintfExactText) {
  int len = 0;
  char *buf = nullptr;
  vorn_asprintf(len, buf, "%s%d", "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d", 60000);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(len, 41);
  EXPECT_STREQ(buf, "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d60000");
  free(buf);
  vorn_asprintf(len, buf, "%f", 0.5);
  EXPECT_STREQ(buf, "0.500000");
  EXPECT_EQ(len, 8);
  free(buf);
  std::string big(100000, 'x');
  vorn_asprintf(len, buf, "[%s]", big.c_str());
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(len, 100002);
  EXPECT_EQ(strlen(buf), 100002u);
  free(buf);
  vorn_asprintf(len, buf, "%s", "");
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(len, 0);
  free(buf);
  /* A wide character with no encoding in the "C" locale makes the format fail. */
  const wchar_t euro[] = {0x20AC, 0};
  len = 5;
  buf = reinterpret_cast<char *>(&len);
  vorn_asprintf(len, buf, "%ls", euro);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(len, -1);
}
