#include "hist/hist.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <tuple>

namespace {
using hist_ptr = std::unique_ptr<histogram_t, decltype(&hist_free)>;
hist_ptr make() { return hist_ptr(hist_alloc(), hist_free); }

/* Base64 of a bucket count (claimed, or the real one), then val, exp, 64-bit count per bucket. */
using buckets = std::vector<std::tuple<int, int, uint64_t>>;
std::string text(const buckets &bs, int claimed = -1, const std::string &extra = "") {
  size_t n = claimed < 0 ? bs.size() : (size_t) claimed;
  std::string raw{(char) (n >> 8), (char) n};
  for (auto &[val, exp, count] : bs) {
    raw += {(char) val, (char) exp};
    for (int k = 56; k >= 0; k -= 8) raw += (char) (count >> k);
  }
  raw += extra;
  std::string out(raw.size() / 3 * 4 + 8, '\0');
  auto bytes = (const unsigned char *) raw.data();
  out.resize((size_t) hist_b64_encode(bytes, raw.size(), out.data(), out.size()));
  return out;
}
std::string contents(const histogram_t *h) { /* "value:count ..." lowest first */
  std::ostringstream o;
  double v;
  uint64_t c;
  for (int i = 0; hist_bucket_idx(h, i, &v, &c) == 1; i++) o << (i ? " " : "") << v << ":" << c;
  return o.str();
}
} // namespace

// what this proves: values map to the right decimal bucket at every edge and each bucket maps back to itself
TEST(Hist, BucketEdges) {
  const double values[] = {1.0,  0.1,  0.99, 9.99,   1000.0,  1e-5,     -0.25, 99.5,    1e22,     2.3,
                           0.29, -2.3, 1.15, 5e-324, -1e-300, 9.9e-129, 1e128, DBL_MAX, INFINITY, NAN};
  std::string got;
  for (double v : values) {
    int8_t val = 0, exp = 0;
    hist_ptr h = make();
    const bool ok = hist_bucket_of(v, &val, &exp);
    EXPECT_EQ(hist_insert(h.get(), v, 1), ok ? 0 : -1) << v;
    got += ok ? std::to_string(val) + "e" + std::to_string(exp) + " " : "- ";
  }
  EXPECT_EQ(got, "10e0 10e-1 99e-1 99e0 10e3 10e-5 -25e-1 99e1 10e22 23e0 29e-1 -23e0 11e0 - - - - - - - ");
  for (int e = -128; e <= 127; e++)
    for (int d = -99; d <= 99; d += d == -10 ? 20 : 1) {
      int8_t val = 0, exp = 0;
      ASSERT_TRUE(hist_bucket_of(hist_bucket_value((int8_t) d, (int8_t) e), &val, &exp)) << d << "e" << e;
      ASSERT_EQ(std::make_pair((int) val, (int) exp), std::make_pair(d, e));
    }
}

// what this proves: texts decode to sorted, merged, saturated buckets; broken ones change nothing
TEST(Hist, DecodeRows) {
  /* "consumed contents" after decoding text into a histogram holding 2:9 */
  auto decoded = [](const std::string &text) {
    hist_ptr h = make();
    EXPECT_EQ(hist_insert_raw(h.get(), 20, 0, 9), 0);
    const ssize_t consumed = hist_deserialize_b64(h.get(), text.data(), text.size());
    return std::to_string(consumed) + " " + contents(h.get());
  };
  struct row {
    std::string text;
    ssize_t consumed;
    std::string want;
  } rows[] = {{"AAA=", 2, "2:9"},
              {text({{15, 2, 1}}, -1, "\xab\xcd"), 12, "2:9 150:1"},
              {text({{10, 1, 1}, {50, -1, 3}, {-12, 0, 7}, {0, 0, 2}, {12, 0, 4}}), 52,
               "-1.2:7 0:2 0.5:3 1.2:4 2:9 10:1"},
              {text({{99, 127, UINT64_MAX}, {-10, -128, 1}, {99, 127, 5}, {0, 77, 1}, {0, 3, 1}, {20, 0, 1}}),
               62, "-1e-128:1 0:2 2:10 9.9e+127:18446744073709551615"}};
  for (const std::string &broken :
       {std::string(), std::string("AA=="), std::string("A*A="), std::string("AAA=AAAA"),
        text({{20, 0, 1}}, 2), text({{9, 0, 1}}), text({{-9, 0, 1}}), text({{20, 0, 1}, {5, 1, 1}}),
        text({{20, 0, 1}}).substr(0, 12)})
    EXPECT_EQ(decoded(broken), "-1 2:9") << broken;
  for (auto &r : rows) EXPECT_EQ(decoded(r.text), std::to_string(r.consumed) + " " + r.want) << r.text;
  char exact[5]; /* four characters and the NUL: one byte less is refused */
  EXPECT_EQ(hist_b64_encode((const unsigned char *) "ab", 2, exact, 4), -1);
  EXPECT_EQ(hist_b64_encode((const unsigned char *) "ab", 2, exact, 5), 4);
  EXPECT_STREQ(exact, "YWI=");
}
