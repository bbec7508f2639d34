// Tests of the histogram codec: bucket edges, texts decoded to whole histograms, round trips.
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
}  // namespace

// what this proves: a value lands in the bucket whose lower bound is the largest not above it (also
// at powers of ten and just under a boundary after rounding), every bucket's own value maps back to
// it, and magnitudes outside the decimal range are refused
TEST(Hist, BucketEdges) {
  struct row {
    double v;
    bool ok;
    int val, exp;
  } rows[] = {
      {1.0, true, 10, 0}, {0.1, true, 10, -1}, {0.99, true, 99, -1}, {9.99, true, 99, 0}, {1000, true, 10, 3},
      {1e-5, true, 10, -5}, {-0.25, true, -25, -1}, {99.5, true, 99, 1}, {1e22, true, 10, 22},
      {2.3, true, 23, 0}, {0.29, true, 29, -1}, {-2.3, true, -23, 0}, {1.15, true, 11, 0},
      {5e-324, false, 0, 0}, {-1e-300, false, 0, 0}, {9.9e-129, false, 0, 0}, {1e128, false, 0, 0},
      {DBL_MAX, false, 0, 0}, {INFINITY, false, 0, 0}, {NAN, false, 0, 0},
  };
  for (auto &r : rows) {
    int8_t val = 0, exp = 0;
    hist_ptr h = make();
    EXPECT_EQ(hist_bucket_of(r.v, &val, &exp), r.ok) << r.v;
    EXPECT_EQ(std::make_pair((int) val, (int) exp), std::make_pair(r.val, r.exp)) << r.v;
    EXPECT_EQ(hist_insert(h.get(), r.v, 1), r.ok ? 0 : -1) << r.v;
  }
  for (int e = -128; e <= 127; e++)
    for (int d = -99; d <= 99; d += d == -10 ? 20 : 1) {
      int8_t val = 0, exp = 0;
      ASSERT_TRUE(hist_bucket_of(hist_bucket_value((int8_t) d, (int8_t) e), &val, &exp)) << d << "e" << e;
      ASSERT_EQ(std::make_pair((int) val, (int) exp), std::make_pair(d, e));
    }
}

// what this proves: texts decode to their buckets sorted by value whatever their order, repeats add up
// (saturating), zero buckets merge whatever their exponent, trailing bytes are not counted; broken
// texts are refused with -1 and leave the histogram as it was; serialising gives the same buckets back
TEST(Hist, DecodeRowsAndRoundTrip) {
  struct row {
    std::string text;
    ssize_t consumed;
    std::string want;
  } rows[] = {
      {"AAA=", 2, "2:9"}, {text({{15, 2, 1}}, -1, "\xab\xcd"), 12, "2:9 150:1"},
      {text({{10, 1, 1}, {50, -1, 3}, {-12, 0, 7}, {0, 0, 2}, {12, 0, 4}}), 52,
       "-1.2:7 0:2 0.5:3 1.2:4 2:9 10:1"},
      {text({{99, 127, UINT64_MAX}, {-10, -128, 1}, {99, 127, 5}, {0, 77, 1}, {0, 3, 1}, {20, 0, 1}}), 62,
       "-1e-128:1 0:2 2:10 9.9e+127:18446744073709551615"},
      {"", -1, ""}, {"AA=", -1, ""}, {"AA==", -1, ""}, {"A*A=", -1, ""}, {"A=AA", -1, ""},
      {"AAA=AAAA", -1, ""}, {text({{20, 0, 1}}, 2), -1, ""}, {text({{20, 0, 1}}, 65535), -1, ""},
      {text({{9, 0, 1}}), -1, ""}, {text({{100, 0, 1}}), -1, ""}, {text({{-9, 0, 1}}), -1, ""},
      {text({{20, 0, 1}, {5, 1, 1}}), -1, ""}, {text({{20, 0, 1}}).substr(0, 12), -1, ""},
  };
  for (auto &r : rows) {
    hist_ptr h = make();
    ASSERT_EQ(hist_insert_raw(h.get(), 20, 0, 9), 0);
    EXPECT_EQ(hist_deserialize_b64(h.get(), r.text.data(), r.text.size()), r.consumed) << r.text;
    EXPECT_EQ(contents(h.get()), r.consumed < 0 ? "2:9" : r.want) << r.text;
  }
  EXPECT_EQ(hist_deserialize_b64(nullptr, "AAA=", 4), -1);
  char exact[5]; /* four characters and the NUL: one byte less is refused */
  EXPECT_EQ(hist_b64_encode((const unsigned char *) "ab", 2, exact, 4), -1);
  EXPECT_EQ(hist_b64_encode((const unsigned char *) "ab", 2, exact, 5), 4);
  EXPECT_STREQ(exact, "YWI=");
  hist_ptr h = make(), back = make();
  for (double v : {0.5, 0.5, 10.0, -3.14159, 0.0, 1e-9, 123456.0, 7e100})
    ASSERT_EQ(hist_insert(h.get(), v, 1), 0);
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> t(hist_serialize_b64(h.get(), &len), free);
  EXPECT_EQ(hist_deserialize_b64(back.get(), t.get(), len), 2 + 7 * 10);
  EXPECT_EQ(contents(back.get()), "-3.1:1 0:1 1e-09:1 0.5:2 10:1 120000:1 7e+100:1");
  buckets all = {{0, 0, 1}}; /* every bucket, out of order */
  for (int e = 127; e >= -128; e--)
    for (int v = 99; v >= 10; v--) {
      all.emplace_back(v, e, 1);
      all.emplace_back(-v, -e - 1, 1);
    }
  std::string every = text(all);
  hist_ptr e = make();
  for (int pass = 0; pass < 2; pass++)
    ASSERT_EQ(hist_deserialize_b64(e.get(), every.data(), every.size()), (ssize_t) (2 + 10 * all.size()));
  EXPECT_EQ(hist_bucket_count(e.get()), (int) all.size());
  double prev = -INFINITY, v;
  uint64_t c;
  for (int i = 0; hist_bucket_idx(e.get(), i, &v, &c) == 1; i++) {
    ASSERT_TRUE(prev < v && c == 2) << i;
    prev = v;
  }
}
