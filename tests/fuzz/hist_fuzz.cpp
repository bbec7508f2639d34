/* Fuzzes the histogram codec. The input is taken three ways: as base64 histogram text, as raw
 * bytes for the base64 codec, and as (val, exp, count) and double samples for the inserters.
 * Properties: a text that decodes gives ascending buckets, re-encodes to a text that decodes to the
 * same buckets, and decoding it twice doubles every count (saturating); a text that does not decode
 * changes nothing; base64 round-trips any bytes; every bucket maps back to itself and every finite
 * sample lands in the bucket whose range holds it. */
#include "hist/hist.h"
#include "fuzz_support.h"
#include <cmath>
#include <cstring>
#include <memory>

namespace {
using buckets_t = std::vector<std::pair<double, uint64_t>>;

struct hist_del { void operator()(histogram_t *h) const { hist_free(h); } };
using hist_ptr = std::unique_ptr<histogram_t, hist_del>;

buckets_t buckets_of(const histogram_t *h) {
  buckets_t out;
  int n = hist_bucket_count(h);
  double v = 1;
  uint64_t c = 1;
  for (int i = 0; i < n; i++, v = 1, c = 1) {
    FUZZ_REQUIRE(hist_bucket_idx(h, i, &v, &c) == 1, "hist_bucket_idx in range");
    out.emplace_back(v, c);
  }
  FUZZ_REQUIRE(hist_bucket_idx(h, n, &v, &c) == 0 && v == 1 && c == 1, "hist_bucket_idx past the end");
  return out;
}

void check_decoded(const histogram_t *h, std::string_view input) {
  buckets_t b = buckets_of(h);
  for (size_t i = 1; i < b.size(); i++) FUZZ_REQUIRE(b[i - 1].first < b[i].first, input);
  size_t len = 0;
  char *encoded = hist_serialize_b64(h, &len);
  FUZZ_REQUIRE(encoded && strlen(encoded) == len, "hist_serialize_b64");
  std::string text(encoded, len);
  free(encoded);
  hist_ptr again(hist_alloc());
  ssize_t used = hist_deserialize_b64(again.get(), text.data(), text.size());
  FUZZ_REQUIRE(used == (ssize_t) (2 + 10 * b.size()), text);
  FUZZ_REQUIRE(buckets_of(again.get()) == b, text);

  /* Decoding into a histogram adds: the same text twice doubles every count. */
  FUZZ_REQUIRE(hist_deserialize_b64(again.get(), text.data(), text.size()) == used, text);
  buckets_t twice = buckets_of(again.get());
  FUZZ_REQUIRE(twice.size() == b.size(), text);
  for (size_t i = 0; i < b.size(); i++) {
    uint64_t want = b[i].second > UINT64_MAX / 2 ? UINT64_MAX : b[i].second * 2;
    FUZZ_REQUIRE(twice[i].first == b[i].first && twice[i].second == want, text);
  }

  for (const auto &[v, count] : b) { /* every bucket's value is the lower bound of that bucket */
    int8_t val = 0, exp = 0;
    FUZZ_REQUIRE(hist_bucket_of(v, &val, &exp) && hist_bucket_value(val, exp) == v, std::to_string(v));
  }
}

void check_base64(const uint8_t *data, size_t size) {
  std::vector<char> enc((size + 2) / 3 * 4 + 1);
  ssize_t n = hist_b64_encode(data, size, enc.data(), enc.size());
  FUZZ_REQUIRE(n == (ssize_t) enc.size() - 1 && enc[(size_t) n] == '\0', "hist_b64_encode");
  FUZZ_REQUIRE(hist_b64_encode(data, size, enc.data(), enc.size() - 1) == -1, "hist_b64_encode capacity");
  std::vector<unsigned char> dec(hist_b64_decoded_max((size_t) n));
  ssize_t m = hist_b64_decode(enc.data(), (size_t) n, dec.data(), dec.size());
  FUZZ_REQUIRE(m == (ssize_t) size && memcmp(dec.data(), data, size) == 0, "base64 round trip");

  /* Text that does decode encodes back to text that decodes to the same bytes. */
  std::vector<unsigned char> raw(hist_b64_decoded_max(size));
  ssize_t r = hist_b64_decode(reinterpret_cast<const char *>(data), size, raw.data(), raw.size());
  if (r < 0) return;
  FUZZ_REQUIRE(size % 4 == 0 && (size_t) r <= size / 4 * 3, "decoded length");
  std::vector<char> back(((size_t) r + 2) / 3 * 4 + 1);
  ssize_t bn = hist_b64_encode(raw.data(), (size_t) r, back.data(), back.size());
  std::vector<unsigned char> raw2(raw.size());
  FUZZ_REQUIRE(bn == (ssize_t) size && hist_b64_decode(back.data(), (size_t) bn, raw2.data(), raw2.size()) == r &&
                   memcmp(raw.data(), raw2.data(), (size_t) r) == 0, "re-encoded text");
}

/* The bucket after (val, exp) in value order, for val > 0: its value is the upper end of the range. */
bool next_bucket_value(int8_t val, int8_t exp, double *out) {
  if (val == 99 && exp == 127) return false;
  *out = val < 99 ? hist_bucket_value((int8_t) (val + 1), exp) : hist_bucket_value(10, (int8_t) (exp + 1));
  return true;
}

void check_inserts(const uint8_t *data, size_t size) {
  hist_ptr h(hist_alloc());
  /* Raw buckets: 10 bytes each. */
  for (size_t i = 0; i + 10 <= size && i < 400; i += 10) {
    int8_t val = (int8_t) data[i], exp = (int8_t) data[i + 1];
    uint64_t count = 0;
    memcpy(&count, data + i + 2, 8);
    bool valid = val == 0 || (val >= 10 && val <= 99) || (val <= -10 && val >= -99);
    FUZZ_REQUIRE(hist_insert_raw(h.get(), val, exp, count) == (valid ? 0 : -1), std::to_string(val));
  }
  check_decoded(h.get(), "inserted buckets");

  /* Samples: 8-byte doubles. */
  for (size_t i = 0; i + 8 <= size && i < 400; i += 8) {
    double v;
    memcpy(&v, data + i, 8);
    int8_t val = 0, exp = 0;
    if (!hist_bucket_of(v, &val, &exp)) {
      FUZZ_REQUIRE(hist_insert(h.get(), v, 1) == -1, std::to_string(v));
      continue;
    }
    FUZZ_REQUIRE(hist_insert(h.get(), v, 1) == 0, std::to_string(v));
    double a = std::fabs(v), lo = std::fabs(hist_bucket_value(val, exp)), hi = INFINITY;
    char detail[128];
    snprintf(detail, sizeof detail, "%.17g in bucket (%d, %d)", v, val, exp);
    FUZZ_REQUIRE(v == 0 ? val == 0 : ((v < 0) == (val < 0) && lo <= a && (!next_bucket_value((int8_t) std::abs(val), exp, &hi) || a < hi)), detail);
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool quiet = (fuzz::quiet_logs(), true);
  (void) quiet;
  std::string_view text(reinterpret_cast<const char *>(data), size);
  hist_ptr h(hist_alloc());
  FUZZ_REQUIRE(hist_insert_raw(h.get(), 12, 3, 5) == 0, "seed bucket");
  buckets_t before = buckets_of(h.get());
  ssize_t used = hist_deserialize_b64(h.get(), data, size);
  if (used <= 0) {
    FUZZ_REQUIRE(used == -1 && buckets_of(h.get()) == before, text); /* a refused text changes nothing */
  } else {
    hist_ptr fresh(hist_alloc());
    FUZZ_REQUIRE(hist_deserialize_b64(fresh.get(), data, size) == used, text);
    check_decoded(fresh.get(), text);
  }
  check_base64(data, size);
  check_inserts(data, size);
  return 0;
}
