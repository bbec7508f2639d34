#include "zint/zint_json.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <sstream>

namespace {

std::string write(zint_json_object *o) {
  size_t len = 0;
  const char *t = zint_json_object_to_json_string_len(o, &len);
  return std::string(t, len);
}

/* "type:text" of the parsed document (len bytes of text), or "error N". */
std::string parse(const std::string &text, int len = -2, int depth = 0) {
  zint_json_tokener *tok = depth ? zint_json_tokener_new_ex(depth) : zint_json_tokener_new();
  zint_json_object *o = zint_json_tokener_parse_ex(tok, text.data(), len == -2 ? (int) text.size() : len);
  std::string out = tok->err ? "error " + std::to_string(tok->err)
                             : std::to_string(zint_json_object_get_type(o)) + ":" + write(o);
  zint_json_tokener_free(tok);
  zint_json_object_put(o);
  return out;
}

zint_json_object *str(const std::string &s) { return zint_json_object_new_string_bytes(s.data(), s.size()); }
zint_json_object *array(std::initializer_list<zint_json_object *> items) {
  zint_json_object *a = zint_json_object_new_array();
  for (zint_json_object *o : items) zint_json_object_array_add(a, o);
  return a;
}

} // namespace

// what this proves: exact writer output: shortest doubles, 64-bit ints, escapes, U+FFFD, member order
TEST(Json, WriterRows) {
  zint_json_object *minus_one_unsigned = zint_json_object_new_int(-1);
  zint_json_object_set_int_overflow(minus_one_unsigned, zint_json_overflow_uint64);
  zint_json_object *edited = zint_json_object_new_object();
  zint_json_object_object_add(edited, "error", str("bad"));
  zint_json_object_object_add(edited, "id", str("u"));
  zint_json_object_object_add(edited, "period", zint_json_object_new_int(60000));
  zint_json_object_object_add(edited, "type", str("watch"));
  zint_json_object_object_add(edited, "id", str("v"));
  zint_json_object_object_del(edited, "error");
  zint_json_object_object_add(edited, "k\"\xff", zint_json_object_new_boolean(1));
  zint_json_object *doubles = zint_json_object_new_array();
  for (double d : {1.5, 1733540000123.0 / 1000.0, 2.0, -0.0, 0.1, 0.000001, 1e-7, 1.25e-10, 1e20, 1e21,
                   DBL_MAX, 5e-324, (double) NAN, (double) -INFINITY})
    zint_json_object_array_add(doubles, zint_json_object_new_double(d));
  struct {
    zint_json_object *o;
    std::string want;
  } rows[] = {
      {doubles,
       "[1.5,1733540000.123,2.0,-0.0,0.1,0.000001,1e-7,1.25e-10,100000000000000000000.0,1e+21,"
       "1.7976931348623157e+308,5e-324,null,null]"},
      {array({zint_json_object_new_int64(INT64_MIN), zint_json_object_new_int(-42),
              zint_json_object_new_uint64(UINT64_MAX), minus_one_unsigned}),
       "[-9223372036854775808,-42,18446744073709551615,18446744073709551615]"},
      {array({str("q\"b\\s/"), str("\b\f\n\r\t\x01\x1f\x7f"), str(std::string("nul\0x", 5))}),
       "[\"q\\\"b\\\\s/\",\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\",\"nul\\u0000x\"]"},
      {array({str("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), str("a\xff!"), str("cut\xe2\x82"),
              str("cut\xe2\x82x"), str("\xc0\xaf"), str("\xed\xa0\x80")}),
       "[\"caf\xc3\xa9 \xe2\x82\xac "
       "\xf0\x9f\x98\x80\",\"a\xef\xbf\xbd!\",\"cut\xef\xbf\xbd\",\"cut\xef\xbf\xbdx\","
       "\"\xef\xbf\xbd\xef\xbf\xbd\",\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"]"},
      {array({zint_json_object_new_string_len("cpu-and-more", 3), nullptr, zint_json_object_new_object()}),
       "[\"cpu\",null,{}]"},
      {edited, "{\"id\":\"v\",\"period\":60000,\"type\":\"watch\",\"k\\\"\xef\xbf\xbd\":true}"},
      {nullptr, "null"}};
  for (auto &r : rows) {
    EXPECT_EQ(write(r.o), r.want);
    EXPECT_EQ(parse(write(r.o)).rfind("error", 0), std::string::npos) << r.want; /* the text always parses */
    zint_json_object_put(r.o);
  }
}

// what this proves: one whole valid value parses exactly, the rest fails with its code; readers clamp
TEST(Json, ParseRows) {
  std::string big = "[";
  for (int i = 0; i < 1000; i++) big += "{\"k\":[\"v\",1,2.5],\"n\":null},";
  const std::string deep64 = std::string(64, '[') + std::string(64, ']');
  struct {
    std::string text, want;
    int len = -2, depth = 0;
  } rows[] = {
      {"[-9223372036854775808,18446744073709551615]", "5:[-9223372036854775808,18446744073709551615]"},
      {"[1.0,1e2,18446744073709551616,-0,true,null]", "5:[1.0,100.0,18446744073709552000.0,0,true,null]"},
      {" {\"type\":\"heartbeat\"}\n\t garbage", "4:{\"type\":\"heartbeat\"}", 24},
      {"\"\\u00e9\\ud83d\\ude00\"", "6:\"\xc3\xa9\xf0\x9f\x98\x80\""},
      {"\"a\\u0000b\\\"\\\\\\/\\n\"", "6:\"a\\u0000b\\\"\\\\/\\n\""},
      {"{\"a\":1,\"b\":2,\"a\":3}", "4:{\"a\":3,\"b\":2}"},
      {deep64, "5:" + deep64},
      {std::string(65, '[') + std::string(65, ']'), "error 1"},
      {std::string(2000, '[') + std::string(2000, ']'), "error 1", -2, 1 << 30},
      {"{}", "error 5", -3}};
  for (auto &r : rows) EXPECT_EQ(parse(r.text, r.len, r.depth), r.want) << r.text.substr(0, 80);
  const std::pair<std::string, std::vector<std::string>> refused[] = {
      {"error 2", {"", "{\"a\":1", "\"abc", "tru", big}},
      {"error 3", {big + "x", "1 2", "[1,]", "{\"a\":1,}", "NaN", "{a:1}", "01", "\"\\x\"", "\"\\ud800\""}},
      {"error 4", {"\"\xff\"", "\"\xed\xa0\x80\"", "{\"k\xe2\x82\":1}", "[\"ok\",\"\xf4\x90\x80\x80\"]"}}};
  for (auto &[want, texts] : refused)
    for (auto &t : texts) EXPECT_EQ(parse(t), want) << t.substr(0, 80);
  /* each member: int int64 uint64 double boolean string */
  zint_json_object *doc = zint_json_tokener_parse(
      "{\"s\":\"60000\",\"neg\":-5,\"big\":18446744073709551615,\"d\":-2.75,\"hd\":-1e300,"
      "\"txt\":\"abc\",\"huge\":\"99999999999999999999\",\"sd\":\"-2.5e1\"}");
  const char *reads[][2] = {
      {"s", "60000 60000 60000 60000 1 60000"},
      {"neg", "-5 -5 0 -5 1 -"},
      {"big", "2147483647 9223372036854775807 18446744073709551615 1.84467e+19 1 -"},
      {"d", "-2 -2 0 -2.75 1 -"},
      {"hd", "-2147483648 -9223372036854775808 0 -1e+300 1 -"},
      {"txt", "0 0 0 0 1 abc"},
      {"missing", "0 0 0 0 0 -"},
      {"huge", "2147483647 9223372036854775807 18446744073709551615 1e+20 1 99999999999999999999"},
      {"sd", "0 0 0 -25 1 -2.5e1"}};
  for (auto &r : reads) {
    zint_json_object *m = zint_json_object_object_get(doc, r[0]);
    const char *s = zint_json_object_get_string(m);
    std::ostringstream o;
    o << zint_json_object_get_int(m) << " " << zint_json_object_get_int64(m) << " "
      << zint_json_object_get_uint64(m) << " " << zint_json_object_get_double(m) << " "
      << (int) zint_json_object_get_boolean(m) << " " << (s ? s : "-");
    EXPECT_EQ(o.str(), r[1]) << r[0];
  }
  zint_json_object_put(doc);
}

// what this proves: a wide object (found through its index) keeps the object rules: a repeated key keeps its
// first place and takes the last value; after deletions every other member, short or long key, is still found
TEST(Json, WideObjects) {
  auto key = [](int i) { return "k" + std::string((size_t) (i % 7) * 5, 'x') + std::to_string(i); };
  std::string text = "{";
  for (int i = 0; i < 300; i++) text += "\"" + key(i) + "\":" + std::to_string(i) + ",";
  zint_json_object *o = zint_json_tokener_parse((text + "\"" + key(0) + "\":-1}").c_str());
  ASSERT_EQ(zint_json_object_object_length(o), 300u);
  EXPECT_EQ(write(o).rfind("{\"k0\":-1,\"k" + std::string(5, 'x') + "1\":1,", 0), 0u);
  for (int i = 1; i < 300; i += 3) zint_json_object_object_del(o, key(i).c_str());
  for (int i = 0; i <= 300; i++) {
    zint_json_object *v = nullptr; /* 0: absent; no member holds 0 */
    bool found = zint_json_object_object_get_ex(o, key(i).c_str(), &v);
    EXPECT_EQ(found ? zint_json_object_get_int64(v) : 0, i % 3 == 1 || i == 300 ? 0 : i ? i : -1) << key(i);
  }
  zint_json_object_put(o);
}
