/* Tests of the JSON layer: writer and parser. */
#include "zint/zint_json.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

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

zint_json_object *dbl(double d) { return zint_json_object_new_double(d); }
zint_json_object *str(const std::string &s) { return zint_json_object_new_string_bytes(s.data(), s.size()); }

zint_json_object *obj(std::initializer_list<std::pair<const char *, zint_json_object *>> members) {
  zint_json_object *o = zint_json_object_new_object();
  for (auto &[k, v] : members) zint_json_object_object_add(o, k, v);
  return o;
}

}  // namespace

// what this proves: the writer prints doubles in their shortest exact form (always as a double),
// integers exactly over int64 and uint64, escapes what JSON requires and replaces ill-formed UTF-8
// with U+FFFD (so its text always parses), and keeps members in insertion order through re-adds
// and deletes
TEST(Json, WriterRows) {
  zint_json_object *minus_one_unsigned = zint_json_object_new_int(-1);
  zint_json_object_set_int_overflow(minus_one_unsigned, zint_json_overflow_uint64);
  zint_json_object *period = zint_json_object_new_int(60000);
  zint_json_object *edited = obj({{"error", str("bad")}, {"id", str("u")}, {"period", period}});
  zint_json_object_object_add(edited, "type", str("watch"));
  zint_json_object_object_add(edited, "id", str("v"));
  zint_json_object_object_del(edited, "error");
  zint_json_object_object_del(edited, "absent");
  zint_json_object_object_add(edited, "z", nullptr);
  zint_json_object_object_add(edited, "k\"\xff", zint_json_object_new_boolean(1));
  struct { zint_json_object *o; std::string want; } rows[] = {
      {dbl(1.5), "1.5"}, {dbl(1733540000123.0 / 1000.0), "1733540000.123"}, {dbl(2.0), "2.0"},
      {dbl(-0.0), "-0.0"}, {dbl(0.1), "0.1"}, {dbl(0.000001), "0.000001"}, {dbl(1e-7), "1e-7"},
      {dbl(1.25e-10), "1.25e-10"}, {dbl(1e20), "100000000000000000000.0"}, {dbl(1e21), "1e+21"},
      {dbl(DBL_MAX), "1.7976931348623157e+308"}, {dbl(5e-324), "5e-324"}, {dbl(NAN), "null"},
      {dbl(-INFINITY), "null"},
      {zint_json_object_new_int64(INT64_MIN), "-9223372036854775808"}, {zint_json_object_new_int(-42), "-42"},
      {zint_json_object_new_uint64(UINT64_MAX), "18446744073709551615"},
      {minus_one_unsigned, "18446744073709551615"},
      {str("q\"b\\s/"), "\"q\\\"b\\\\s/\""},
      {str("\b\f\n\r\t\x01\x1f\x7f"), "\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\""},
      {str(std::string("nul\0x", 5)), "\"nul\\u0000x\""},
      {str("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {str("a\xff" "b"), "\"a\xef\xbf\xbd" "b\""}, {str("cut\xe2\x82"), "\"cut\xef\xbf\xbd\""},
      {str("cut\xe2\x82x"), "\"cut\xef\xbf\xbdx\""}, {str("\xc0\xaf"), "\"\xef\xbf\xbd\xef\xbf\xbd\""},
      {str("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {zint_json_object_new_string_len("cpu-and-more", 3), "\"cpu\""},
      {zint_json_object_new_string_len("a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d", 37),
       "\"a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d\""},
      {edited, "{\"id\":\"v\",\"period\":60000,\"type\":\"watch\",\"z\":null,\"k\\\"\xef\xbf\xbd\":true}"},
      {zint_json_object_new_object(), "{}"}, {nullptr, "null"},
      {zint_json_object_new_string(nullptr), "null"},
  };
  for (auto &r : rows) {
    EXPECT_EQ(write(r.o), r.want);
    EXPECT_EQ(parse(write(r.o)).rfind("error", 0), std::string::npos) << r.want; /* the text always parses */
    zint_json_object_put(r.o);
  }
}

// what this proves: exactly one complete, valid value is accepted, with its number kinds, escapes,
// document order and last-wins duplicates; everything else is refused with its own error code,
// partial trees are freed (ASan), and depth is bounded at the tokener's limit
TEST(Json, ParseRows) {
  const std::string eof = "error 2", bad = "error 3", utf8 = "error 4", depth = "error 1";
  std::string big = "[";
  for (int i = 0; i < 1000; i++) big += "{\"k\":[\"v\",1,2.5],\"n\":null},";
  struct { std::string text, want; int len = -2, depth = 0; } rows[] = {
      {"-9223372036854775808", "3:-9223372036854775808"}, {"18446744073709551615", "3:18446744073709551615"},
      {"1.0", "2:1.0"}, {"1e2", "2:100.0"}, {"18446744073709551616", "2:18446744073709552000.0"},
      {"[0,-0,7]", "5:[0,0,7]"}, {"null", "0:null"}, {"[true,false,null]", "5:[true,false,null]"},
      {" {\"type\":\"heartbeat\"}\n\t garbage", "4:{\"type\":\"heartbeat\"}", 24},
      {"\"\\u00e9\\ud83d\\ude00\"", "6:\"\xc3\xa9\xf0\x9f\x98\x80\""}, {"[\"x\"]", "5:[\"x\"]", -1},
      {"\"a\\u0000b\\\"\\\\\\/\\n\"", "6:\"a\\u0000b\\\"\\\\/\\n\""},
      {"{\"zeta\":1,\"alpha\":2,\"mid\":null,\"b\":[]}", "4:{\"zeta\":1,\"alpha\":2,\"mid\":null,\"b\":[]}"},
      {"{\"a\":1,\"b\":2,\"a\":3}", "4:{\"a\":3,\"b\":2}"},
      {std::string(64, '[') + std::string(64, ']'), "5:" + std::string(64, '[') + std::string(64, ']')},
      {std::string(65, '[') + std::string(65, ']'), depth},
      {std::string(2000, '[') + std::string(2000, ']'), depth, -2, 1 << 30},
      {"", eof}, {"   ", eof}, {"{", eof}, {"{\"a\":", eof}, {"{\"a\":1", eof}, {"[1,2", eof}, {"\"abc", eof},
      {"tru", eof}, {"-", eof}, {big, eof}, {big + "x", bad}, {"{} x", bad}, {"1 2", bad}, {"{}}", bad},
      {"[1,]", bad}, {"{\"a\":1,}", bad}, {"// c\n1", bad}, {"NaN", bad}, {"Infinity", bad}, {"'a'", bad},
      {"{a:1}", bad}, {"[1 2]", bad}, {"01", bad}, {"\"\\x\"", bad}, {"\"tab\there\"", bad},
      {"\"\\ud800\"", bad}, {"\"\\udc00\"", bad}, {"\"\xff\"", utf8}, {"\"\xc0\xaf\"", utf8},
      {"\"\xed\xa0\x80\"", utf8}, {"\"\xe2\x82\"", utf8}, {"{\"k\xe2\x82\":1}", utf8},
      {"[\"ok\",\"\xf4\x90\x80\x80\"]", utf8}, {"{}", "error 5", -3},
  };
  for (auto &r : rows) EXPECT_EQ(parse(r.text, r.len, r.depth), r.want) << r.text.substr(0, 80);
  zint_json_tokener *tok = zint_json_tokener_new();
  EXPECT_EQ(zint_json_tokener_parse_ex(tok, nullptr, 3), nullptr);
  EXPECT_NE(tok->err, zint_json_tokener_success);
  EXPECT_EQ(zint_json_tokener_parse_ex(nullptr, "{}", 2), nullptr);
  zint_json_tokener_free(tok);
}
