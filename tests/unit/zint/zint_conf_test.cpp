/* Tests of the XML configuration: lookups by path, absent paths leaving outputs alone, value
 * conversion, bad documents and bad paths. */
#include "zint/zint_conf.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *kDoc = R"(<vorn-c lockfile="/tmp/x.lock">
  <pools handle_pask_messages_in_jobq="Yes"/>
  <network><in><mq><host>nats://127.0.0.1:4222</host><subject> a.b </subject></mq></in></network>
  <vorn><wdb><host>db1</host><port> 5432 </port><user>vorn</user></wdb></vorn>
  <harls><sslconfig><ca_chain>/etc/ca.pem</ca_chain><key>/k</key><key>/k2</key></sslconfig></harls>
  <listeners><listener address="127.0.0.1" port="8080"/><listener address="::1" port="0">tls</listener></listeners>
  <nums a="2147483647" b="-2147483648" c="2147483648" d="12abc" e="" f="0x10" g="+3" h="010"/>
  <bools t1="TRUE" t2="on" t3="1" t4="yes" f1="False" f2="OFF" f3="0" f4="no" bad="maybe"/>
</vorn-c>)";

std::string write_temp(const std::string &text) {
  char path[] = "/tmp/zint_conf_testXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t) text.size());
  close(fd);
  return path;
}

std::string get_string(const char *path) {
  char *s = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, path, &s)) return "<absent>";
  std::string r = s;
  free(s);
  return r;
}

}  // namespace

// Elements' text and attributes are found by path, from the root or relative to a section.
TEST(ZintConf, FindsElementsAttributesAndSections) {
  ASSERT_EQ(zint_conf_load_string(kDoc), 0);
  EXPECT_EQ(get_string("//vorn/wdb/host"), "db1");
  EXPECT_EQ(get_string("//network/in/mq/host"), "nats://127.0.0.1:4222");
  EXPECT_EQ(get_string("//pools/@handle_pask_messages_in_jobq"), "Yes");
  EXPECT_EQ(get_string("//network/in/mq/subject"), " a.b "); /* strings are not trimmed */
  EXPECT_EQ(zint_conf_root_attribute("lockfile"), "/tmp/x.lock");
  EXPECT_EQ(zint_conf_root_attribute("nothing"), "");

  zint_conf_section_t mq = zint_conf_get_section(ZINT_CONF_ROOT, "//network/in/mq");
  ASSERT_NE(mq, nullptr);
  char *host = nullptr;
  ASSERT_TRUE(zint_conf_get_string(mq, "host", &host));
  EXPECT_STREQ(host, "nats://127.0.0.1:4222");
  free(host);
  EXPECT_EQ(zint_conf_get_section(ZINT_CONF_ROOT, "//network/out"), nullptr);
  EXPECT_EQ(zint_conf_get_section(ZINT_CONF_ROOT, "//pools/@handle_pask_messages_in_jobq"), nullptr);

  int32_t port = 0;
  EXPECT_TRUE(zint_conf_get_int32(ZINT_CONF_ROOT, "//vorn/wdb/port", &port));
  EXPECT_EQ(port, 5432);
  zint_boolean b = false;
  EXPECT_TRUE(zint_conf_get_boolean(ZINT_CONF_ROOT, "//pools/@handle_pask_messages_in_jobq", &b));
  EXPECT_TRUE(b);
}

// Absent paths, bad paths and values that do not convert answer false and leave the output alone.
TEST(ZintConf, AbsentOrUnconvertibleLeavesOutputUntouched) {
  ASSERT_EQ(zint_conf_load_string(kDoc), 0);
  char sentinel[] = "keep";
  char *s = sentinel;
  EXPECT_FALSE(zint_conf_get_string(ZINT_CONF_ROOT, "//vorn/wdb/password", &s));
  EXPECT_FALSE(zint_conf_get_string(ZINT_CONF_ROOT, "//pools/@nothing", &s));
  EXPECT_FALSE(zint_conf_get_string(ZINT_CONF_ROOT, "//vorn[", &s));        /* invalid XPath */
  EXPECT_FALSE(zint_conf_get_string(ZINT_CONF_ROOT, "count(//vorn)", &s));  /* not a node set */
  EXPECT_FALSE(zint_conf_get_string(ZINT_CONF_ROOT, nullptr, &s));
  EXPECT_EQ(s, sentinel);

  int32_t i = 77;
  EXPECT_FALSE(zint_conf_get_int32(ZINT_CONF_ROOT, "//vorn/wdb/nope", &i));
  EXPECT_FALSE(zint_conf_get_int32(ZINT_CONF_ROOT, "//vorn/wdb/host", &i));
  EXPECT_EQ(i, 77);
  zint_boolean b = true;
  EXPECT_FALSE(zint_conf_get_boolean(ZINT_CONF_ROOT, "//bools/@missing", &b));
  EXPECT_FALSE(zint_conf_get_boolean(ZINT_CONF_ROOT, "//bools/@bad", &b));
  EXPECT_TRUE(b);
  b = false;
  EXPECT_FALSE(zint_conf_get_boolean(ZINT_CONF_ROOT, "//bools/@bad", &b));
  EXPECT_FALSE(b);
  EXPECT_EQ(zint_conf_get_hash(ZINT_CONF_ROOT, "//harls/missing"), nullptr);
}

// Integers are whole decimal int32 values only; booleans take every documented spelling.
TEST(ZintConf, ConvertsIntegersAndBooleansStrictly) {
  ASSERT_EQ(zint_conf_load_string(kDoc), 0);
  struct { const char *path; bool ok; int32_t v; } ints[] = {
      {"//nums/@a", true, INT32_MAX}, {"//nums/@b", true, INT32_MIN}, {"//nums/@c", false, 0},
      {"//nums/@d", false, 0},        {"//nums/@e", false, 0},        {"//nums/@f", false, 0},
      {"//nums/@g", true, 3},         {"//nums/@h", true, 10}};
  for (auto &c : ints) {
    int32_t v = -99;
    EXPECT_EQ(zint_conf_get_int32(ZINT_CONF_ROOT, c.path, &v), c.ok) << c.path;
    EXPECT_EQ(v, c.ok ? c.v : -99) << c.path;
  }
  for (const char *t : {"t1", "t2", "t3", "t4"}) {
    zint_boolean v = false;
    EXPECT_TRUE(zint_conf_get_boolean(ZINT_CONF_ROOT, ("//bools/@" + std::string(t)).c_str(), &v));
    EXPECT_TRUE(v) << t;
  }
  for (const char *f : {"f1", "f2", "f3", "f4"}) {
    zint_boolean v = true;
    EXPECT_TRUE(zint_conf_get_boolean(ZINT_CONF_ROOT, ("//bools/@" + std::string(f)).c_str(), &v));
    EXPECT_FALSE(v) << f;
  }
}

// The unsigned parser takes plain digits only: no sign, no white space before or after (a sign
// after white space once wrapped to a huge accepted value), nothing above the bound.
TEST(ZintConf, ParsesUnsignedStrictly) {
  uint64_t v = 7;
  EXPECT_TRUE(zint_conf_parse_u64("0", 10, &v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(zint_conf_parse_u64("18446744073709551615", UINT64_MAX, &v));
  EXPECT_EQ(v, UINT64_MAX);
  for (const char *bad : {"", " -5", "\n 0", " 5", "-1", "+1", "5 ", "0x10", "18446744073709551616"}) {
    v = 7;
    EXPECT_FALSE(zint_conf_parse_u64(bad, UINT64_MAX, &v)) << bad;
    EXPECT_EQ(v, 7u) << bad;
  }
  EXPECT_FALSE(zint_conf_parse_u64("11", 10, &v));
  EXPECT_EQ(v, 7u);
}

// Hashes list child elements (last repeat wins); element lists carry attributes and text.
TEST(ZintConf, HashesAndElementLists) {
  ASSERT_EQ(zint_conf_load_string(kDoc), 0);
  std::unique_ptr<zint_conf_hash_t> h(zint_conf_get_hash(ZINT_CONF_ROOT, "//harls/sslconfig"));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->size(), 2u);
  EXPECT_EQ((*h)["ca_chain"], "/etc/ca.pem");
  EXPECT_EQ((*h)["key"], "/k2");
  std::unique_ptr<zint_conf_hash_t> empty(zint_conf_get_hash(ZINT_CONF_ROOT, "//pools"));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(zint_conf_get_hash(ZINT_CONF_ROOT, "//pools/@handle_pask_messages_in_jobq"), nullptr);

  auto ls = zint_conf_get_elements("//listeners/listener");
  ASSERT_EQ(ls.size(), 2u);
  EXPECT_EQ(ls[0]["address"], "127.0.0.1");
  EXPECT_EQ(ls[0]["port"], "8080");
  EXPECT_EQ(ls[1]["address"], "::1");
  EXPECT_EQ(ls[1][""], "tls");
  EXPECT_TRUE(zint_conf_get_elements("//nothing/here").empty());
  EXPECT_TRUE(zint_conf_get_elements("//[").empty());
}

// Files: a good file loads (also through the frame's file name); a bad one fails and the
// previously loaded document stays in force.
TEST(ZintConf, LoadsFilesAndKeepsOldDocumentOnFailure) {
  std::string good = write_temp("<r><a>one</a></r>");
  std::string bad = write_temp("<r><a>two</a>");
  std::string empty = write_temp("");
  std::string comment = write_temp("<!-- only a comment -->");

  zint_conf_set_file(nullptr);
  EXPECT_EQ(zint_conf_load(nullptr), -1);
  zint_conf_set_file(good.c_str());
  EXPECT_STREQ(zint_conf_file(), good.c_str());
  ASSERT_EQ(zint_conf_load(nullptr), 0);
  EXPECT_EQ(get_string("//r/a"), "one");

  EXPECT_EQ(zint_conf_load(bad.c_str()), -1);
  EXPECT_EQ(zint_conf_load(empty.c_str()), -1);
  EXPECT_EQ(zint_conf_load(comment.c_str()), -1);
  EXPECT_EQ(zint_conf_load("/nonexistent/dir/file.conf"), -1);
  EXPECT_EQ(zint_conf_load("/tmp"), -1);        /* a directory */
  std::string fifo = good + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(zint_conf_load(fifo.c_str()), -1);  /* refused without waiting for a writer */
  unlink(fifo.c_str());
  EXPECT_EQ(zint_conf_load_string("not xml"), -1);
  EXPECT_EQ(zint_conf_load_string(nullptr), -1);
  EXPECT_EQ(get_string("//r/a"), "one");

  for (auto &p : {good, bad, empty, comment}) unlink(p.c_str());
}
