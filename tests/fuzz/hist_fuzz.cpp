/* Fuzzes the histogram codec with the input as histogram text, base64 bytes, buckets and samples: decoded
 * buckets ascend, survive a re-encoding and double when decoded twice; a refused text changes nothing; base64
 * round-trips; inserters refuse exactly what has no bucket (rows and edges: unit/hist/hist_test). */
#include "fuzz_support.h"
#include "hist/hist.h"

namespace {
using buckets_t = std::vector<std::pair<double, uint64_t>>;
using hist_ptr = std::unique_ptr<histogram_t, decltype(&hist_free)>;
hist_ptr new_hist() { return hist_ptr(hist_alloc(), hist_free); }
buckets_t buckets_of(const histogram_t *h) {
  buckets_t out;
  int n = hist_bucket_count(h);
  for (int i = 0; i <= n; i++) {
    double v = 1;
    uint64_t c = 1;
    int found = hist_bucket_idx(h, i, &v, &c);
    FUZZ_REQUIRE(i < n ? found == 1 : found == 0 && v == 1 && c == 1, "hist_bucket_idx");
    if (i < n) out.emplace_back(v, c);
  }
  return out;
}
void check_decoded(const histogram_t *h, std::string_view input) {
  buckets_t b = buckets_of(h);
  for (size_t i = 1; i < b.size(); i++) FUZZ_REQUIRE(b[i - 1].first < b[i].first, input);
  size_t len = 0;
  std::unique_ptr<char, decltype(&free)> encoded(hist_serialize_b64(h, &len), free);
  FUZZ_REQUIRE(encoded && strlen(encoded.get()) == len, "hist_serialize_b64");
  std::string text(encoded.get(), len);
  hist_ptr again = new_hist();
  ssize_t used = hist_deserialize_b64(again.get(), text.data(), text.size());
  FUZZ_REQUIRE(used == (ssize_t) (2 + 10 * b.size()) && buckets_of(again.get()) == b, text);
  /* Decoding into a histogram adds: the same text twice doubles every count. */
  FUZZ_REQUIRE(hist_deserialize_b64(again.get(), text.data(), text.size()) == used, text);
  for (auto &[v, count] : b) count = count > UINT64_MAX / 2 ? UINT64_MAX : count * 2;
  FUZZ_REQUIRE(buckets_of(again.get()) == b, text);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::quiet_logs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  hist_ptr h = new_hist(), fresh = new_hist(), inserted = new_hist();
  FUZZ_REQUIRE(hist_insert_raw(h.get(), 12, 3, 5) == 0, "seed bucket");
  buckets_t before = buckets_of(h.get());
  ssize_t used = hist_deserialize_b64(h.get(), data, size);
  FUZZ_REQUIRE(used > 0 || (used == -1 && buckets_of(h.get()) == before), text); /* refused: no change */
  if (used > 0) FUZZ_REQUIRE(hist_deserialize_b64(fresh.get(), data, size) == used, text);
  check_decoded(fresh.get(), text);
  std::string enc((size + 2) / 3 * 4 + 1, '?');
  FUZZ_REQUIRE(hist_b64_encode(data, size, enc.data(), enc.size()) == (ssize_t) enc.size() - 1, "encode");
  std::vector<unsigned char> dec(hist_b64_decoded_max(enc.size() - 1));
  ssize_t m = hist_b64_decode(enc.data(), enc.size() - 1, dec.data(), dec.size());
  FUZZ_REQUIRE(m == (ssize_t) size && memcmp(dec.data(), data, size) == 0, "base64 round trip");
  for (size_t i = 0; i + 10 <= size && i < 400; i += 10) { /* raw buckets: 10 bytes each */
    int8_t val = (int8_t) data[i], exp = (int8_t) data[i + 1];
    uint64_t count = 0;
    memcpy(&count, data + i + 2, 8);
    bool valid = val == 0 || (val >= 10 && val <= 99) || (val <= -10 && val >= -99);
    FUZZ_REQUIRE(hist_insert_raw(inserted.get(), val, exp, count) == (valid ? 0 : -1), std::to_string(val));
  }
  check_decoded(inserted.get(), "inserted buckets");
  for (size_t i = 0; i + 8 <= size && i < 400; i += 8) { /* samples: 8-byte doubles */
    double v;
    memcpy(&v, data + i, 8);
    int8_t val = 0, exp = 0;
    FUZZ_REQUIRE(hist_insert(h.get(), v, 1) == (hist_bucket_of(v, &val, &exp) ? 0 : -1), std::to_string(v));
  }
  return 0;
}
