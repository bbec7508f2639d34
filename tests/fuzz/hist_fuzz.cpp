/* Fuzzes the histogram codec, taking the input as base64 histogram text, as raw bytes for the base64 codec,
 * and as (val, exp, count) buckets and double samples for the inserters. Properties: a text that decodes
 * gives ascending buckets, re-encodes to a text decoding to the same buckets, and decoding it twice doubles
 * every count (saturating); a refused text changes nothing; base64 round-trips any bytes and any text it
 * decodes; an inserter refuses exactly what has no bucket (bucket edges: unit/hist/hist_test). */
#include "fuzz_support.h"
#include "hist/hist.h"
#include <cstring>
#include <memory>

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
/* base64 of bytes, checked against its exact length and a buffer one byte short. */
std::string encode(const unsigned char *data, size_t size) {
  std::string enc((size + 2) / 3 * 4 + 1, '?');
  FUZZ_REQUIRE(
      hist_b64_encode(data, size, enc.data(), enc.size()) == (ssize_t) enc.size() - 1 && enc.back() == 0,
      "hist_b64_encode");
  FUZZ_REQUIRE(hist_b64_encode(data, size, enc.data(), enc.size() - 1) == -1, "hist_b64_encode capacity");
  enc.pop_back();
  return enc;
}
void check_base64(const uint8_t *data, size_t size) {
  std::string enc = encode(data, size);
  std::vector<unsigned char> dec(hist_b64_decoded_max(enc.size()));
  ssize_t m = hist_b64_decode(enc.data(), enc.size(), dec.data(), dec.size());
  FUZZ_REQUIRE(m == (ssize_t) size && memcmp(dec.data(), data, size) == 0, "base64 round trip");
  /* Text that does decode encodes back to the same text (the input with its padding). */
  std::vector<unsigned char> raw(hist_b64_decoded_max(size));
  ssize_t r = hist_b64_decode(reinterpret_cast<const char *>(data), size, raw.data(), raw.size());
  if (r < 0) return;
  FUZZ_REQUIRE(size % 4 == 0 && (size_t) r <= size / 4 * 3, "decoded length");
  std::string back = encode(raw.data(), (size_t) r);
  std::vector<unsigned char> raw2(raw.size());
  FUZZ_REQUIRE(back.size() == size && hist_b64_decode(back.data(), size, raw2.data(), raw2.size()) == r &&
                   memcmp(raw.data(), raw2.data(), (size_t) r) == 0,
               "re-encoded text");
}
void check_inserts(const uint8_t *data, size_t size) {
  hist_ptr h = new_hist();
  for (size_t i = 0; i + 10 <= size && i < 400; i += 10) { /* raw buckets: 10 bytes each */
    int8_t val = (int8_t) data[i], exp = (int8_t) data[i + 1];
    uint64_t count = 0;
    memcpy(&count, data + i + 2, 8);
    bool valid = val == 0 || (val >= 10 && val <= 99) || (val <= -10 && val >= -99);
    FUZZ_REQUIRE(hist_insert_raw(h.get(), val, exp, count) == (valid ? 0 : -1), std::to_string(val));
  }
  check_decoded(h.get(), "inserted buckets");
  for (size_t i = 0; i + 8 <= size && i < 400; i += 8) { /* samples: 8-byte doubles */
    double v;
    memcpy(&v, data + i, 8);
    int8_t val = 0, exp = 0;
    FUZZ_REQUIRE(hist_insert(h.get(), v, 1) == (hist_bucket_of(v, &val, &exp) ? 0 : -1), std::to_string(v));
  }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzz::quiet_logs(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  hist_ptr h = new_hist();
  FUZZ_REQUIRE(hist_insert_raw(h.get(), 12, 3, 5) == 0, "seed bucket");
  buckets_t before = buckets_of(h.get());
  ssize_t used = hist_deserialize_b64(h.get(), data, size);
  FUZZ_REQUIRE(used > 0 || (used == -1 && buckets_of(h.get()) == before), text); /* refused: no change */
  if (used > 0) {
    hist_ptr fresh = new_hist();
    FUZZ_REQUIRE(hist_deserialize_b64(fresh.get(), data, size) == used, text);
    check_decoded(fresh.get(), text);
  }
  check_base64(data, size);
  check_inserts(data, size);
  return 0;
}
