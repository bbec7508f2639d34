// Tests of the log-linear histogram codec: bucket values, ordering, base64 round trips and the
// refusal of broken texts without touching the histogram.
#include "hist/hist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct hist_deleter {
  void operator()(histogram_t *h) const { hist_free(h); }
};
using hist_ptr = std::unique_ptr<histogram_t, hist_deleter>;

std::string b64(const std::vector<unsigned char> &raw) {
  std::string out(raw.size() / 3 * 4 + 8, '\0');
  ssize_t n = hist_b64_encode(raw.data(), raw.size(), out.data(), out.size());
  EXPECT_GE(n, 0);
  out.resize((size_t) n);
  return out;
}

std::vector<unsigned char> body(std::vector<std::tuple<int, int, uint64_t>> buckets, int claimed = -1) {
  size_t n = claimed < 0 ? buckets.size() : (size_t) claimed;
  std::vector<unsigned char> raw = {(unsigned char) (n >> 8), (unsigned char) n};
  for (auto &[val, exp, count] : buckets) {
    raw.push_back((unsigned char) (int8_t) val);
    raw.push_back((unsigned char) (int8_t) exp);
    for (int k = 0; k < 8; k++) raw.push_back((unsigned char) (count >> (56 - 8 * k)));
  }
  return raw;
}

std::vector<std::pair<double, uint64_t>> contents(const histogram_t *h) {
  std::vector<std::pair<double, uint64_t>> out;
  for (int i = 0; i < hist_bucket_count(h); i++) {
    double v = -1;
    uint64_t c = 0;
    EXPECT_EQ(hist_bucket_idx(h, i, &v, &c), 1);
    out.emplace_back(v, c);
  }
  return out;
}

} // namespace

// Decoding yields the documented bucket values, sorted ascending whatever the text's order, and
// reports the bytes it consumed (2 + 10 per bucket).
TEST(Hist, DecodesValuesInOrder) {
  hist_ptr h(hist_alloc());
  std::string text = b64(body({{10, 1, 1}, {50, -1, 3}, {-12, 0, 7}, {0, 0, 2}, {12, 0, 4}}));
  EXPECT_EQ(hist_deserialize_b64(h.get(), text.data(), text.size()), 52);
  auto c = contents(h.get());
  ASSERT_EQ(c.size(), 5u);
  EXPECT_EQ(c[0], std::make_pair(-1.2, (uint64_t) 7));
  EXPECT_EQ(c[1], std::make_pair(0.0, (uint64_t) 2));
  EXPECT_EQ(c[2], std::make_pair(0.5, (uint64_t) 3));
  EXPECT_EQ(c[3], std::make_pair(1.2, (uint64_t) 4));
  EXPECT_EQ(c[4], std::make_pair(10.0, (uint64_t) 1));
  double v = 42;
  uint64_t cnt = 42;
  EXPECT_EQ(hist_bucket_idx(h.get(), 5, &v, &cnt), 0);
  EXPECT_EQ(hist_bucket_idx(h.get(), -1, &v, &cnt), 0);
  EXPECT_EQ(v, 42);
}

// Extreme exponents, full 64-bit counts and repeated buckets (summed, saturating) survive decoding.
TEST(Hist, ExtremesAndDuplicates) {
  hist_ptr h(hist_alloc());
  std::string text = b64(body({{99, 127, UINT64_MAX}, {-10, -128, 1}, {99, 127, 5}, {0, 77, 1}, {0, 3, 1}}));
  ASSERT_GT(hist_deserialize_b64(h.get(), text.data(), text.size()), 0);
  auto c = contents(h.get());
  ASSERT_EQ(c.size(), 3u);
  EXPECT_DOUBLE_EQ(c[0].first, -1e-128);
  EXPECT_EQ(c[1], std::make_pair(0.0, (uint64_t) 2));
  EXPECT_DOUBLE_EQ(c[2].first, 9.9e127);
  EXPECT_EQ(c[2].second, UINT64_MAX);
}

// Serialising and decoding again gives the same buckets; an empty histogram is 2 bytes ("AAA=").
TEST(Hist, RoundTrip) {
  hist_ptr h(hist_alloc()), back(hist_alloc());
  size_t len = 0;
  char *empty = hist_serialize_b64(h.get(), &len);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "AAA=");
  EXPECT_EQ(hist_deserialize_b64(back.get(), empty, len), 2);
  EXPECT_EQ(hist_bucket_count(back.get()), 0);
  free(empty);

  for (double v : {0.5, 0.5, 10.0, -3.14159, 0.0, 1e-9, 123456.0, 7e100})
    ASSERT_EQ(hist_insert(h.get(), v, 1), 0) << v;
  EXPECT_EQ(hist_insert(h.get(), std::numeric_limits<double>::infinity(), 1), -1);
  EXPECT_EQ(hist_insert(h.get(), std::nan(""), 1), -1);
  EXPECT_EQ(hist_insert(h.get(), 1e-300, 1), -1);
  char *text = hist_serialize_b64(h.get(), &len);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(strlen(text), len);
  ASSERT_EQ(hist_deserialize_b64(back.get(), text, len), (ssize_t) (2 + 7 * 10));
  free(text);
  EXPECT_EQ(contents(back.get()), contents(h.get()));
  auto c = contents(back.get());
  EXPECT_DOUBLE_EQ(c[0].first, -3.1);
  EXPECT_EQ(c[3].first, 0.5);
  EXPECT_EQ(c[3].second, 2u);
  EXPECT_EQ(c[5].first, 120000.0);
}

// Every value lands in the bucket whose lower bound is the largest not above it, including exact
// powers of ten where log10 rounding could pick a neighbour.
TEST(Hist, BucketOfBoundaries) {
  struct {
    double v;
    int val, exp;
  } cases[] = {{1.0, 10, 0},   {0.1, 10, -1},   {0.99, 99, -1}, {9.99, 99, 0},  {1000, 10, 3},
               {1e-5, 10, -5}, {-0.25, -25, -1}, {0.3, 30, -1}, {99.5, 99, 1}, {1e22, 10, 22}};
  for (auto &c : cases) {
    int8_t val = 0, exp = 0;
    ASSERT_TRUE(hist_bucket_of(c.v, &val, &exp)) << c.v;
    EXPECT_EQ(val, c.val) << c.v;
    EXPECT_EQ(exp, c.exp) << c.v;
    EXPECT_LE(std::fabs(hist_bucket_value(val, exp)), std::fabs(c.v)) << c.v;
  }
}

// Every bucket's own value maps back to that bucket, and values one digit above a bucket boundary
// after rounding (2.3 is 22.999... tenths) land in the upper bucket, not the one below.
TEST(Hist, BucketOfEveryBucketValue) {
  for (int e = -128; e <= 127; e++)
    for (int d = 10; d <= 99; d++)
      for (int sign : {1, -1}) {
        double v = hist_bucket_value((int8_t) (sign * d), (int8_t) e);
        int8_t val = 0, exp = 0;
        ASSERT_TRUE(hist_bucket_of(v, &val, &exp)) << d << "e" << e;
        ASSERT_EQ(val, sign * d) << v;
        ASSERT_EQ(exp, e) << v;
      }
  struct {
    double v;
    int val, exp;
  } cases[] = {{2.3, 23, 0}, {0.29, 29, -1}, {5.1, 51, 0}, {-2.3, -23, 0}, {1.15, 11, 0}};
  /* Outside the range of the buckets: refused, also where the arithmetic would underflow. */
  hist_ptr h(hist_alloc());
  for (double v : {5e-324, -1e-300, 9.9e-129, 1e128, -1e300, std::numeric_limits<double>::max()}) {
    int8_t val = 0, exp = 0;
    EXPECT_FALSE(hist_bucket_of(v, &val, &exp)) << v;
    EXPECT_EQ(hist_insert(h.get(), v, 1), -1) << v;
  }
  EXPECT_EQ(hist_bucket_count(h.get()), 0);
  for (auto &c : cases) {
    int8_t val = 0, exp = 0;
    ASSERT_TRUE(hist_bucket_of(c.v, &val, &exp)) << c.v;
    EXPECT_EQ(val, c.val) << c.v;
    EXPECT_EQ(exp, c.exp) << c.v;
  }
}

// Broken texts are refused with -1 and leave an already filled histogram exactly as it was.
TEST(Hist, RefusesBrokenText) {
  hist_ptr h(hist_alloc());
  std::string good = b64(body({{20, 0, 9}}));
  ASSERT_GT(hist_deserialize_b64(h.get(), good.data(), good.size()), 0);
  std::vector<std::string> bad = {
      "",                                   // nothing
      "AA=",                                // length not a multiple of 4
      "AA==",                               // one byte: no bucket count
      "A*A=",                               // byte outside the alphabet
      "A=AA",                               // padding in the middle
      "AAA=AAAA",                           // data after padding
      "AA=A",                               // "x=" followed by data
      b64(body({{20, 0, 1}}, 2)),           // count claims more buckets than the body holds
      b64(body({{20, 0, 1}}, 65535)),       // huge claim, tiny body
      b64(body({{9, 0, 1}})),               // val below 10
      b64(body({{100, 0, 1}})),             // val above 99
      b64(body({{-9, 0, 1}})),              // negative val above -10
      b64(body({{20, 0, 1}, {5, 1, 1}})),   // second bucket invalid: nothing is applied
  };
  for (const std::string &t : bad) {
    EXPECT_EQ(hist_deserialize_b64(h.get(), t.data(), t.size()), -1) << t;
    auto c = contents(h.get());
    ASSERT_EQ(c.size(), 1u) << t;
    EXPECT_EQ(c[0], std::make_pair(2.0, (uint64_t) 9)) << t;
  }
  // The given length is honoured: a valid text cut short is refused, bytes past len are not read.
  EXPECT_EQ(hist_deserialize_b64(h.get(), good.data(), good.size() - 4), -1);
  EXPECT_EQ(hist_deserialize_b64(nullptr, good.data(), good.size()), -1);
}

// Trailing decoded bytes after the last bucket are not counted as consumed.
TEST(Hist, ConsumedExcludesTrailingBytes) {
  hist_ptr h(hist_alloc());
  auto raw = body({{15, 2, 1}});
  raw.push_back(0xab);
  raw.push_back(0xcd);
  std::string t = b64(raw);
  EXPECT_EQ(hist_deserialize_b64(h.get(), t.data(), t.size()), 12);
  EXPECT_EQ(hist_bucket_count(h.get()), 1);
}

// A text holding every distinct bucket in descending order decodes to a sorted histogram, and a
// second copy merges into the same buckets instead of adding new ones.
TEST(Hist, EveryBucket) {
  std::vector<std::tuple<int, int, uint64_t>> all;
  for (int e = 127; e >= -128; e--)
    for (int v = 99; v >= 10; v--) all.emplace_back(v, e, 1);
  all.emplace_back(0, 0, 1);
  for (int e = -128; e <= 127; e++)
    for (int v = -10; v >= -99; v--) all.emplace_back(v, e, 1);
  std::string t = b64(body(all));
  hist_ptr h(hist_alloc());
  ASSERT_EQ(hist_deserialize_b64(h.get(), t.data(), t.size()), (ssize_t) (2 + 10 * all.size()));
  ASSERT_EQ(hist_bucket_count(h.get()), (int) all.size());
  ASSERT_EQ(hist_deserialize_b64(h.get(), t.data(), t.size()), (ssize_t) (2 + 10 * all.size()));
  ASSERT_EQ(hist_bucket_count(h.get()), (int) all.size());
  double prev = -INFINITY;
  for (int i = 0; i < hist_bucket_count(h.get()); i++) {
    double v;
    uint64_t c;
    hist_bucket_idx(h.get(), i, &v, &c);
    ASSERT_LT(prev, v) << i;
    ASSERT_EQ(c, 2u) << i;
    prev = v;
  }
}
