#include "zint/zint_conf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

/* What each getter makes of path: "string|int32|boolean", "-" where it answers false. */
std::string lookup(const char *path) {
  char *s = nullptr;
  int32_t i = -99;
  zint_boolean b0 = false, b1 = true;
  std::string out = zint_conf_get_string(ZINT_CONF_ROOT, path, &s) ? s : "-";
  free(s);
  bool found = zint_conf_get_int32(ZINT_CONF_ROOT, path, &i);
  out += found ? "|" + std::to_string(i) : i == -99 ? "|-" : "|changed";
  bool ok = zint_conf_get_boolean(ZINT_CONF_ROOT, path, &b0);
  ok = zint_conf_get_boolean(ZINT_CONF_ROOT, path, &b1) && ok;
  out += ok ? "|" + std::to_string(b0 && b1) : !b0 && b1 ? "|-" : "|changed";
  return out;
}

} // namespace

// what this proves: paths find texts, int32 and booleans convert strictly, failures leave outputs alone
TEST(ZintConf, LookupRows) {
  ASSERT_EQ(zint_conf_load_string(R"(<vorn-c><wdb><host>db1</host><port> 5432 </port></wdb><nums
    a="2147483647" b="-2147483648" c="2147483648" d="12abc" g="+3" h="010"/><bools t1="TRUE" t2="on"
    t4="yes" f1="False" f2="OFF" f3="0" f4="no" bad="maybe"/></vorn-c>)"),
            0);
  std::string got; /* each path's lookup, ";" after each */
  for (const char *path :
       {"//wdb/host", "//wdb/port", "//nums/@a", "//nums/@b", "//nums/@c", "//nums/@d", "//nums/@g",
        "//nums/@h", "//bools/@t1", "//bools/@t2", "//bools/@t4", "//bools/@f1", "//bools/@f2", "//bools/@f3",
        "//bools/@f4", "//bools/@bad", "//wdb/password", "//wdb["})
    got += lookup(path) + ";";
  EXPECT_EQ(
      got,
      "db1|-|-; 5432 |5432|-;2147483647|2147483647|-;-2147483648|-2147483648|-;2147483648|-|-;12abc|-|-;"
      "+3|3|-;010|10|-;TRUE|-|1;on|-|1;yes|-|1;False|-|0;OFF|-|0;0|0|0;no|-|0;maybe|-|-;-|-|-;-|-|-;");
  uint64_t v = 7;
  EXPECT_TRUE(zint_conf_parse_u64("18446744073709551615", UINT64_MAX, &v));
  EXPECT_FALSE(zint_conf_parse_u64("11", 10, &v));
  EXPECT_EQ(v, UINT64_MAX);
}
