/* Tests of the framework's JSON layer: writer formats, number round trips, strict parsing,
 * UTF-8 handling, member order, conversions and reference sharing. */
#include "zint/zint_json.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace {

/* Owns one reference for the test's scope. */
struct Json {
  zint_json_object *o;
  explicit Json(zint_json_object *obj) : o(obj) {}
  ~Json() { zint_json_object_put(o); }
  Json(const Json &) = delete;
  Json &operator=(const Json &) = delete;
};

std::string write(zint_json_object *o) {
  size_t len = 0;
  const char *t = zint_json_object_to_json_string_len(o, &len);
  return std::string(t, len);
}

std::string write_double(double d) {
  Json j(zint_json_object_new_double(d));
  return write(j.o);
}

/* Parses text (exact length); returns null and sets err on failure. */
zint_json_object *parse(const std::string &text, zint_json_tokener_error *err = nullptr) {
  zint_json_tokener *tok = zint_json_tokener_new();
  zint_json_object *o = zint_json_tokener_parse_ex(tok, text.data(), static_cast<int>(text.size()));
  if (err)
    *err = tok->err;
  zint_json_tokener_free(tok);
  return o;
}

zint_json_tokener_error parse_err(const std::string &text) {
  zint_json_tokener_error err;
  zint_json_object_put(parse(text, &err));
  return err;
}

} // namespace

// what this proves: doubles print the way people read them, shortest form, always as a double
TEST(Json, DoubleFormats) {
  EXPECT_EQ(write_double(1.5), "1.5");
  EXPECT_EQ(write_double(0.5), "0.5");
  EXPECT_EQ(write_double(1733540000.123), "1733540000.123");
  EXPECT_EQ(write_double(1733540000123.0 / 1000.0), "1733540000.123");
  EXPECT_EQ(write_double(2.0), "2.0");
  EXPECT_EQ(write_double(0.0), "0.0");
  EXPECT_EQ(write_double(-0.0), "-0.0");
  EXPECT_EQ(write_double(-12.25), "-12.25");
  EXPECT_EQ(write_double(0.1), "0.1");
  EXPECT_EQ(write_double(0.000001), "0.000001");
  EXPECT_EQ(write_double(1e-7), "1e-7");
  EXPECT_EQ(write_double(1.25e-10), "1.25e-10");
  EXPECT_EQ(write_double(1e20), "100000000000000000000.0");
  EXPECT_EQ(write_double(1e21), "1e+21");
  EXPECT_EQ(write_double(-1.5e300), "-1.5e+300");
  EXPECT_EQ(write_double(DBL_MAX), "1.7976931348623157e+308");
  EXPECT_EQ(write_double(5e-324), "5e-324");
  EXPECT_EQ(write_double(NAN), "null");
  EXPECT_EQ(write_double(INFINITY), "null");
  EXPECT_EQ(write_double(-INFINITY), "null");
}

// what this proves: parse(write(x)) gives back the very same double, for random bit patterns
// and for values in everyday ranges
TEST(Json, DoubleRoundTripProperty) {
  std::mt19937_64 rng(20240607);
  std::uniform_real_distribution<double> everyday(-1e7, 1e7);
  for (int i = 0; i < 200000; i++) {
    double x;
    if (i % 2) {
      uint64_t bits = rng();
      memcpy(&x, &bits, sizeof x);
      if (!std::isfinite(x))
        continue;
    } else {
      x = everyday(rng);
    }
    std::string text = write_double(x);
    zint_json_tokener_error err;
    Json back(parse(text, &err));
    ASSERT_EQ(err, zint_json_tokener_success) << text;
    ASSERT_EQ(zint_json_object_get_type(back.o), zint_json_type_double) << text;
    double y = zint_json_object_get_double(back.o);
    ASSERT_EQ(memcmp(&x, &y, sizeof x), 0) << text;
  }
}

// what this proves: integers are exact over the whole int64 and uint64 range, and integer,
// unsigned and double values keep their kind through a parse
TEST(Json, IntegerRangeAndKinds) {
  const int64_t i64min = std::numeric_limits<int64_t>::min();
  const int64_t i64max = std::numeric_limits<int64_t>::max();
  const uint64_t u64max = std::numeric_limits<uint64_t>::max();
  {
    Json a(zint_json_object_new_int64(i64min)), b(zint_json_object_new_int64(i64max));
    Json c(zint_json_object_new_uint64(u64max)), d(zint_json_object_new_int(-42));
    EXPECT_EQ(write(a.o), "-9223372036854775808");
    EXPECT_EQ(write(b.o), "9223372036854775807");
    EXPECT_EQ(write(c.o), "18446744073709551615");
    EXPECT_EQ(write(d.o), "-42");
  }
  {
    Json a(parse("-9223372036854775808"));
    EXPECT_EQ(zint_json_object_get_type(a.o), zint_json_type_int);
    EXPECT_EQ(zint_json_object_get_int64(a.o), i64min);
    Json b(parse("18446744073709551615"));
    EXPECT_EQ(zint_json_object_get_type(b.o), zint_json_type_int);
    EXPECT_EQ(zint_json_object_get_int_overflow(b.o), zint_json_overflow_uint64);
    EXPECT_EQ(zint_json_object_get_uint64(b.o), u64max);
    EXPECT_EQ(write(b.o), "18446744073709551615");
    Json c(parse("1.0"));
    EXPECT_EQ(zint_json_object_get_type(c.o), zint_json_type_double);
    Json d(parse("1e2"));
    EXPECT_EQ(zint_json_object_get_type(d.o), zint_json_type_double);
    Json e(parse("18446744073709551616")); /* beyond uint64: only a double can hold it */
    EXPECT_EQ(zint_json_object_get_type(e.o), zint_json_type_double);
    Json f(parse("[0,-0,7]"));
    EXPECT_EQ(write(f.o), "[0,0,7]");
  }
  /* Switching the mode keeps the bits: a sign-widened -1 marked unsigned. */
  Json p(zint_json_object_new_int(-1));
  ASSERT_EQ(zint_json_object_set_int_overflow(p.o, zint_json_overflow_uint64), 1);
  EXPECT_EQ(write(p.o), "18446744073709551615");
  Json q(zint_json_object_new_int(0));
  zint_json_object_set_int_overflow(q.o, zint_json_overflow_uint64);
  zint_json_object_set_uint64(q.o, u64max);
  EXPECT_EQ(write(q.o), "18446744073709551615");
  Json s(zint_json_object_new_string("x"));
  EXPECT_EQ(zint_json_object_set_int_overflow(s.o, zint_json_overflow_uint64), 0);
  EXPECT_EQ(zint_json_object_set_uint64(s.o, 1), 0);
}

// what this proves: only one complete, valid JSON value is accepted; everything else is an
// error with a meaningful code, and nothing leaks on the way out (ASan)
TEST(Json, ParseFailures) {
  const char *eof_cases[] = {"", "   ", "{", "{\"a\":", "{\"a\":1", "[1,2", "\"abc", "tru", "-"};
  for (const char *t : eof_cases)
    EXPECT_EQ(parse_err(t), zint_json_tokener_error_parse_eof) << t;
  const char *bad_cases[] = {"{} x", "1 2", "{}}", "[1,]", "{\"a\":1,}", "// c\n1", "NaN",
                             "Infinity", "'a'", "{a:1}", "[1 2]", "01", "\"\\x\"",
                             "\"tab\there\"", "\"\\ud800\"", "\"\\udc00\""};
  for (const char *t : bad_cases)
    EXPECT_NE(parse_err(t), zint_json_tokener_success) << t;
  /* Ill-formed UTF-8 inside strings: stray byte, overlong, surrogate, cut-short sequence. */
  const char *utf8_cases[] = {"\"\xff\"", "\"\xc0\xaf\"", "\"\xed\xa0\x80\"", "\"\xe2\x82\"",
                              "{\"k\xe2\x82\":1}", "[\"ok\",\"\xf4\x90\x80\x80\"]"};
  for (const char *t : utf8_cases)
    EXPECT_EQ(parse_err(t), zint_json_tokener_error_parse_utf8) << t;
  /* Partial documents are freed: a large partial tree followed by garbage. */
  std::string big = "[";
  for (int i = 0; i < 1000; i++)
    big += "{\"k\":[\"v\",1,2.5],\"n\":null},";
  EXPECT_EQ(parse_err(big), zint_json_tokener_error_parse_eof);
  EXPECT_EQ(parse_err(big + "x"), zint_json_tokener_error_parse_unexpected);
  /* Depth: the limit itself parses, one more level fails. */
  std::string deep64(64, '['), deep65(65, '[');
  deep64 += std::string(64, ']');
  deep65 += std::string(65, ']');
  EXPECT_EQ(parse_err(deep64), zint_json_tokener_success);
  EXPECT_EQ(parse_err(deep65), zint_json_tokener_error_depth);
  zint_json_tokener *wide = zint_json_tokener_new_ex(1 << 30);
  std::string deep2000 = std::string(2000, '[') + std::string(2000, ']');
  EXPECT_EQ(zint_json_tokener_parse_ex(wide, deep2000.data(), 4000), nullptr);
  EXPECT_EQ(wide->err, zint_json_tokener_error_depth);
  zint_json_tokener_free(wide);
  /* Bad arguments. */
  zint_json_tokener *tok = zint_json_tokener_new();
  EXPECT_EQ(zint_json_tokener_parse_ex(tok, nullptr, 3), nullptr);
  EXPECT_NE(tok->err, zint_json_tokener_success);
  EXPECT_EQ(zint_json_tokener_parse_ex(tok, "{}", -2), nullptr);
  EXPECT_NE(tok->err, zint_json_tokener_success);
  EXPECT_EQ(zint_json_tokener_parse_ex(nullptr, "{}", 2), nullptr);
  zint_json_tokener_free(tok);
  zint_json_tokener_free(nullptr);
}

// what this proves: accepted texts parse whatever surrounds them within the given length, one
// tokener serves many parses and resets its error, and len -1 reads up to the NUL
TEST(Json, ParseSuccessAndTokenerReuse) {
  zint_json_tokener *tok = zint_json_tokener_new();
  EXPECT_EQ(zint_json_tokener_parse_ex(tok, "{", 1), nullptr);
  EXPECT_EQ(tok->err, zint_json_tokener_error_parse_eof);
  const char *text = " {\"type\":\"heartbeat\"}\n\t garbage";
  zint_json_object *o = zint_json_tokener_parse_ex(tok, text, 24);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(tok->err, zint_json_tokener_success);
  EXPECT_STREQ(zint_json_object_get_string(zint_json_object_object_get(o, "type")), "heartbeat");
  zint_json_object_put(o);
  o = zint_json_tokener_parse_ex(tok, "[true,false,null,\"\\u00e9\\ud83d\\ude00\"]", -1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(write(o), "[true,false,null,\"\xc3\xa9\xf0\x9f\x98\x80\"]");
  zint_json_object_put(o);
  /* "null" is a valid document whose value is the null object. */
  EXPECT_EQ(zint_json_tokener_parse_ex(tok, "null", 4), nullptr);
  EXPECT_EQ(tok->err, zint_json_tokener_success);
  zint_json_tokener_free(tok);
  /* Strings with escapes and a NUL keep every byte. */
  Json s(parse("\"a\\u0000b\\\"\\\\\\/\\n\""));
  ASSERT_EQ(zint_json_object_get_string_len(s.o), 7u);
  EXPECT_EQ(std::string(zint_json_object_get_string(s.o), 7), std::string("a\0b\"\\/\n", 7));
  EXPECT_EQ(write(s.o), "\"a\\u0000b\\\"\\\\/\\n\"");
}

// what this proves: the writer escapes what JSON requires and replaces every ill-formed UTF-8
// sequence (including a multi-byte character cut short) with U+FFFD, so its text always parses
TEST(Json, WriterEscapingAndUtf8Replacement) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain", "\"plain\""},
      {"q\"b\\s", "\"q\\\"b\\\\s\""},
      {"\b\f\n\r\t\x01\x1f\x7f", "\"\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"a\xff" "b", "\"a\xef\xbf\xbd" "b\""},
      {"cut\xe2\x82", "\"cut\xef\xbf\xbd\""},
      {"cut\xe2\x82x", "\"cut\xef\xbf\xbdx\""},
      {"\xf0\x9f\x98", "\"\xef\xbf\xbd\""},
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
      {"\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const Case &c : cases) {
    Json s(zint_json_object_new_string_bytes(c.in.data(), c.in.size()));
    std::string text = write(s.o);
    EXPECT_EQ(text, c.out);
    zint_json_tokener_error err;
    Json back(parse(text, &err));
    EXPECT_EQ(err, zint_json_tokener_success) << text;
  }
  /* Keys are escaped the same way. */
  Json o(zint_json_object_new_object());
  zint_json_object_object_add(o.o, "k\"\xff", zint_json_object_new_int(1));
  EXPECT_EQ(write(o.o), "{\"k\\\"\xef\xbf\xbd\":1}");
}

// what this proves: members keep insertion order when written and iterated; a re-added name
// keeps its place; parsing keeps document order; deletion keeps the rest in order
TEST(Json, MemberOrder) {
  Json o(zint_json_object_new_object());
  zint_json_object_object_add(o.o, "error", zint_json_object_new_string("bad"));
  zint_json_object_object_add(o.o, "id", zint_json_object_new_string("u"));
  zint_json_object_object_add(o.o, "period", zint_json_object_new_int(60000));
  zint_json_object_object_add(o.o, "type", zint_json_object_new_string("watch"));
  EXPECT_EQ(write(o.o), "{\"error\":\"bad\",\"id\":\"u\",\"period\":60000,\"type\":\"watch\"}");
  zint_json_object_object_add(o.o, "id", zint_json_object_new_string("v"));
  EXPECT_EQ(write(o.o), "{\"error\":\"bad\",\"id\":\"v\",\"period\":60000,\"type\":\"watch\"}");
  zint_json_object_object_del(o.o, "id");
  zint_json_object_object_del(o.o, "absent");
  EXPECT_EQ(write(o.o), "{\"error\":\"bad\",\"period\":60000,\"type\":\"watch\"}");
  zint_json_object_object_del(o.o, "type");
  zint_json_object_object_add(o.o, "z", nullptr);
  EXPECT_EQ(write(o.o), "{\"error\":\"bad\",\"period\":60000,\"z\":null}");

  const std::string longkey(40, 'k');
  std::string text = "{\"zeta\":1,\"alpha\":2,\"" + longkey + "\":3,\"mid\":null,\"b\":[]}";
  Json p(parse(text));
  std::string keys;
  for (zint_json_entry *e = zint_json_object_get_object_head(p.o); e; e = zint_json_entry_next(e))
    keys += std::string(zint_json_entry_key(e)) + "=" + write(zint_json_entry_value(e)) + ";";
  EXPECT_EQ(keys, "zeta=1;alpha=2;" + longkey + "=3;mid=null;b=[];");
  EXPECT_EQ(write(p.o), text);
  EXPECT_EQ(zint_json_object_object_length(p.o), 5u);
  zint_json_object *v = nullptr;
  EXPECT_TRUE(zint_json_object_object_get_ex(p.o, "mid", &v));
  EXPECT_EQ(v, nullptr);
  EXPECT_FALSE(zint_json_object_object_get_ex(p.o, "nope", &v));
  Json empty(zint_json_object_new_object());
  EXPECT_EQ(zint_json_object_get_object_head(empty.o), nullptr);
  EXPECT_EQ(write(empty.o), "{}");
  /* Duplicate names in a document: the later value wins, at the first position. */
  Json d(parse("{\"a\":1,\"b\":2,\"a\":3}"));
  EXPECT_EQ(write(d.o), "{\"a\":3,\"b\":2}");
}

// what this proves: a value shared by several parents stays valid whichever parent goes first,
// and get/put report the last release (ASan checks the frees)
TEST(Json, ReferenceSharing) {
  zint_json_object *shared = zint_json_object_new_array();
  zint_json_object_array_add(shared, zint_json_object_new_string("s"));
  zint_json_object *a = zint_json_object_new_object();
  zint_json_object *b = zint_json_object_new_array();
  zint_json_object_object_add(a, "v", zint_json_object_get(shared));
  zint_json_object_array_add(b, zint_json_object_get(shared));
  EXPECT_EQ(zint_json_object_put(shared), 0); /* the parents still hold it */
  EXPECT_EQ(zint_json_object_put(a), 1);
  EXPECT_EQ(write(b), "[[\"s\"]]");
  EXPECT_EQ(zint_json_object_put(b), 1);
  EXPECT_EQ(zint_json_object_put(nullptr), 0);
  EXPECT_EQ(zint_json_object_get(nullptr), nullptr);

  /* Relaying a parsed member into a new object, releasing either side first. */
  for (int order = 0; order < 2; order++) {
    zint_json_object *msg = parse("{\"type\":\"M\",\"cpu\":{\"x\":[1,2]}}");
    zint_json_object *val = zint_json_object_get(zint_json_object_object_get(msg, "cpu"));
    zint_json_object *out = zint_json_object_new_object();
    zint_json_object_object_add(out, "value", val);
    if (order == 0) {
      zint_json_object_put(msg);
      EXPECT_EQ(write(out), "{\"value\":{\"x\":[1,2]}}");
      zint_json_object_put(out);
    } else {
      zint_json_object_put(out);
      EXPECT_EQ(write(msg), "{\"type\":\"M\",\"cpu\":{\"x\":[1,2]}}");
      zint_json_object_put(msg);
    }
  }
  /* Adding to a non-container, or a container to itself, fails and releases the value. */
  Json s(zint_json_object_new_string("x"));
  EXPECT_EQ(zint_json_object_object_add(s.o, "k", zint_json_object_new_int(1)), -1);
  EXPECT_EQ(zint_json_object_array_add(s.o, zint_json_object_new_int(1)), -1);
  zint_json_object *self = zint_json_object_new_object();
  EXPECT_EQ(zint_json_object_object_add(self, "me", self), -1); /* consumed our reference */
}

// what this proves: every reader behaves sanely for every type and for null, with clamping
TEST(Json, ReadersConvertSafely) {
  Json doc(parse("{\"s\":\"60000\",\"neg\":-5,\"big\":18446744073709551615,\"d\":-2.75,"
                 "\"hd\":1e300,\"t\":true,\"f\":false,\"txt\":\"abc\",\"arr\":[1],\"o\":{},"
                 "\"n\":null,\"ds\":\" 1.5\",\"es\":\"\",\"huge\":\"99999999999999999999\"}"));
  auto m = [&](const char *k) { return zint_json_object_object_get(doc.o, k); };
  EXPECT_EQ(zint_json_object_get_int(m("s")), 60000);
  EXPECT_EQ(zint_json_object_get_int(m("neg")), -5);
  EXPECT_EQ(zint_json_object_get_int(m("big")), INT32_MAX);
  EXPECT_EQ(zint_json_object_get_int(m("d")), -2);
  EXPECT_EQ(zint_json_object_get_int(m("hd")), INT32_MAX);
  EXPECT_EQ(zint_json_object_get_int(m("t")), 1);
  EXPECT_EQ(zint_json_object_get_int(m("txt")), 0);
  EXPECT_EQ(zint_json_object_get_int(m("arr")), 0);
  EXPECT_EQ(zint_json_object_get_int(m("n")), 0);
  EXPECT_EQ(zint_json_object_get_int(m("missing")), 0);
  EXPECT_EQ(zint_json_object_get_int64(m("big")), INT64_MAX);
  EXPECT_EQ(zint_json_object_get_int64(m("huge")), INT64_MAX);
  EXPECT_EQ(zint_json_object_get_uint64(m("neg")), 0u);
  EXPECT_EQ(zint_json_object_get_uint64(m("d")), 0u);
  EXPECT_EQ(zint_json_object_get_uint64(m("hd")), UINT64_MAX);
  EXPECT_EQ(zint_json_object_get_uint64(m("s")), 60000u);
  EXPECT_EQ(zint_json_object_get_uint64(m("huge")), UINT64_MAX);
  EXPECT_DOUBLE_EQ(zint_json_object_get_double(m("neg")), -5.0);
  EXPECT_DOUBLE_EQ(zint_json_object_get_double(m("big")), 18446744073709551615.0);
  EXPECT_DOUBLE_EQ(zint_json_object_get_double(m("s")), 60000.0);
  EXPECT_DOUBLE_EQ(zint_json_object_get_double(m("ds")), 0.0); /* not wholly a number */
  EXPECT_DOUBLE_EQ(zint_json_object_get_double(m("o")), 0.0);
  EXPECT_TRUE(zint_json_object_get_boolean(m("t")));
  EXPECT_FALSE(zint_json_object_get_boolean(m("f")));
  EXPECT_TRUE(zint_json_object_get_boolean(m("txt")));
  EXPECT_FALSE(zint_json_object_get_boolean(m("es")));
  EXPECT_FALSE(zint_json_object_get_boolean(m("n")));
  EXPECT_STREQ(zint_json_object_get_string(m("txt")), "abc");
  EXPECT_EQ(zint_json_object_get_string(m("neg")), nullptr);
  EXPECT_EQ(zint_json_object_get_string(m("n")), nullptr);
  EXPECT_EQ(zint_json_object_get_string(m("missing")), nullptr);
  EXPECT_EQ(zint_json_object_get_string(nullptr), nullptr);
  EXPECT_EQ(zint_json_object_array_length(m("arr")), 1u);
  EXPECT_EQ(zint_json_object_array_length(m("o")), 0u);
  EXPECT_EQ(zint_json_object_array_get_idx(m("arr"), 1), nullptr);
  EXPECT_EQ(zint_json_object_array_get_idx(m("o"), 0), nullptr);
  EXPECT_EQ(zint_json_object_object_get(m("arr"), "x"), nullptr);
  EXPECT_EQ(zint_json_object_get_object_head(m("arr")), nullptr);
  EXPECT_TRUE(zint_json_object_is_type(m("n"), zint_json_type_null));
  EXPECT_TRUE(zint_json_object_is_type(m("o"), zint_json_type_object));
  Json nan(zint_json_object_new_double(NAN));
  EXPECT_EQ(zint_json_object_get_int64(nan.o), 0);
  EXPECT_EQ(zint_json_object_get_uint64(nan.o), 0u);
}

// what this proves: string constructors never read past the text; null text is JSON null
TEST(Json, StringConstructorsStayInBounds) {
  const char *uuid = "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d";
  Json id(zint_json_object_new_string_len(uuid, 37));
  EXPECT_EQ(zint_json_object_get_string_len(id.o), 36u);
  Json cut(zint_json_object_new_string_len("0123456789012345678901234567890123456789", 37));
  EXPECT_EQ(zint_json_object_get_string_len(cut.o), 37u);
  char unterminated[3] = {'c', 'p', 'u'};
  Json name(zint_json_object_new_string_len(unterminated, 3));
  EXPECT_EQ(write(name.o), "\"cpu\"");
  EXPECT_EQ(zint_json_object_new_string(nullptr), nullptr);
  EXPECT_EQ(zint_json_object_new_string_len(nullptr, 4), nullptr);
  Json e(zint_json_object_new_string_bytes(nullptr, 0));
  EXPECT_EQ(write(e.o), "\"\"");
}

// what this proves: the serialised text stays put while the object is unchanged and follows a
// change; a client-data-message-shaped object serialises exactly
TEST(Json, SerialisedTextOwnership) {
  Json o(zint_json_object_new_object());
  zint_json_object *check = zint_json_object_new_object();
  zint_json_object_object_add(o.o, "check", check);
  zint_json_object_object_add(check, "id", zint_json_object_new_string("u"));
  zint_json_object_object_add(check, "time", zint_json_object_new_double(1500 / 1000.0));
  zint_json_object_object_add(check, "type", zint_json_object_new_string("M"));
  zint_json_object_object_add(check, "value", zint_json_object_new_int(42));
  const char *t1 = zint_json_object_to_json_string(o.o);
  EXPECT_STREQ(t1, "{\"check\":{\"id\":\"u\",\"time\":1.5,\"type\":\"M\",\"value\":42}}");
  EXPECT_EQ(zint_json_object_to_json_string(o.o), t1);
  zint_json_object_set_int(zint_json_object_object_get(check, "value"), 43);
  EXPECT_STREQ(zint_json_object_to_json_string(o.o),
               "{\"check\":{\"id\":\"u\",\"time\":1.5,\"type\":\"M\",\"value\":43}}");
  EXPECT_STREQ(zint_json_object_to_json_string(nullptr), "null");
}
