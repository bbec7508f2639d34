/* hist: log-linear histogram buckets kept sorted by value, with the bus's base64 serialisation
 * (big-endian uint16 bucket count, then per bucket int8 val, int8 exp, big-endian uint64 count).
 * Decoding validates everything before touching the histogram, so a bad text changes nothing. */
#include "hist/hist.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

struct hist_bucket_t {
  int8_t val;     /* 10..99, -99..-10, or 0 for the zero bucket */
  int8_t exp;     /* power of ten; 0 for the zero bucket */
  uint64_t count; /* samples in the bucket, saturating */
};

/* A total order on buckets that matches the order of their values without computing them. */
int hist_order_key(int8_t val, int8_t exp) {
  if (val == 0) return 0;
  int mag = 1 + (exp + 128) * 100 + std::abs(val);
  return val > 0 ? mag : -mag;
}

bool hist_val_valid(int8_t val) { return val == 0 || (val >= 10 && val <= 99) || (val <= -10 && val >= -99); }

const double hist_pow10_exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

double hist_pow10(int e) {
  if (e >= 0 && e <= 22) return hist_pow10_exact[e];
  return std::pow(10.0, e);
}

constexpr char hist_b64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* 0..63 for alphabet bytes, 64 for '=', 255 otherwise. */
struct hist_b64_table_t {
  unsigned char v[256];
  constexpr hist_b64_table_t() : v() {
    for (int i = 0; i < 256; i++) v[i] = 255;
    for (int i = 0; i < 64; i++) v[(unsigned char) hist_b64_alphabet[i]] = (unsigned char) i;
    v[(unsigned char) '='] = 64;
  }
};
constexpr hist_b64_table_t hist_b64_table;

uint64_t hist_add_sat(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

} // namespace

struct histogram {
  std::vector<hist_bucket_t> buckets; /* ascending by value, one entry per (val, exp) */
};

histogram_t *hist_alloc(void) { return new (std::nothrow) histogram; }

void hist_free(histogram_t *h) { delete h; }

int hist_bucket_count(const histogram_t *h) { return h ? (int) h->buckets.size() : 0; }

double hist_bucket_value(int8_t val, int8_t exp) {
  if (val == 0) return 0.0;
  int e = exp - 1;
  /* Multiplying or dividing by an exact power of ten rounds once, so 0.5 and 1.2 come out as the
   * doubles nearest to their decimal text. */
  return e >= 0 ? val * hist_pow10(e) : val / hist_pow10(-e);
}

int hist_bucket_idx(const histogram_t *h, int idx, double *bucket, uint64_t *count) {
  if (!h || idx < 0 || (size_t) idx >= h->buckets.size()) return 0;
  const hist_bucket_t &b = h->buckets[(size_t) idx];
  if (bucket) *bucket = hist_bucket_value(b.val, b.exp);
  if (count) *count = b.count;
  return 1;
}

int hist_insert_raw(histogram_t *h, int8_t val, int8_t exp, uint64_t count) {
  if (!h || !hist_val_valid(val)) return -1;
  if (val == 0) exp = 0;
  int key = hist_order_key(val, exp);
  auto it = std::lower_bound(h->buckets.begin(), h->buckets.end(), key,
                             [](const hist_bucket_t &b, int k) { return hist_order_key(b.val, b.exp) < k; });
  if (it != h->buckets.end() && it->val == val && it->exp == exp) {
    it->count = hist_add_sat(it->count, count);
    return 0;
  }
  if (h->buckets.size() >= HIST_MAX_BUCKETS) return -1;
  try {
    h->buckets.insert(it, hist_bucket_t{val, exp, count});
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return 0;
}

bool hist_bucket_of(double v, int8_t *val, int8_t *exp) {
  if (!std::isfinite(v)) return false;
  if (v == 0.0) {
    *val = 0;
    *exp = 0;
    return true;
  }
  double a = std::fabs(v);
  /* Outside the buckets' range [1.0e-128, 1.0e128) there is no bucket; below it, the division
   * underneath would also divide by a power of ten that underflows to 0. */
  if (a < hist_bucket_value(10, -128) || a >= 1e128) return false;
  int e = (int) std::floor(std::log10(a));
  int d = (int) std::floor(a / hist_pow10(e - 1));
  /* log10 and the division may land one digit off either way (2.3 / 0.1 is 22.999...); settle on
   * the bucket whose lower bound is the largest one not above a, comparing with the very values
   * hist_bucket_value reports. */
  for (int guard = 0; guard < 8; guard++) {
    if (d >= 100) {
      e++;
      d /= 10;
    } else if (d < 10) {
      e--;
      d = (int) std::floor(a / hist_pow10(e - 1));
    } else if (hist_bucket_value((int8_t) d, (int8_t) std::clamp(e, -128, 127)) > a) {
      d--;
    } else if (d < 99 && hist_bucket_value((int8_t) (d + 1), (int8_t) std::clamp(e, -128, 127)) <= a) {
      d++;
    } else if (d == 99 && e < 127 && hist_bucket_value(10, (int8_t) std::clamp(e + 1, -128, 127)) <= a) {
      d = 10;
      e++;
    } else {
      break;
    }
  }
  if (d < 10 || d > 99 || e < -128 || e > 127) return false;
  *val = (int8_t) (v < 0 ? -d : d);
  *exp = (int8_t) e;
  return true;
}

int hist_insert(histogram_t *h, double v, uint64_t count) {
  int8_t val, exp;
  if (!h || !hist_bucket_of(v, &val, &exp)) return -1;
  return hist_insert_raw(h, val, exp, count);
}

size_t hist_b64_decoded_max(size_t len) { return len / 4 * 3 + 3; }

ssize_t hist_b64_decode(const char *src, size_t len, unsigned char *out, size_t cap) {
  if (len % 4 != 0) return -1;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 4) {
    unsigned char c[4];
    for (int k = 0; k < 4; k++) c[k] = hist_b64_table.v[(unsigned char) src[i + k]];
    if (c[0] > 63 || c[1] > 63) return -1;
    int n = 3;
    if (c[2] == 64 || c[3] == 64) {
      /* Padding only in the last quartet, and "x=" may not be followed by a data byte. */
      if (i + 4 != len || (c[2] == 64 && c[3] != 64)) return -1;
      n = c[2] == 64 ? 1 : 2;
    }
    if (c[2] == 255 || c[3] == 255) return -1;
    if (o + (size_t) n > cap) return -1;
    uint32_t w = (uint32_t) c[0] << 18 | (uint32_t) c[1] << 12 | (uint32_t) (c[2] & 63) << 6 | (c[3] & 63);
    out[o++] = (unsigned char) (w >> 16);
    if (n > 1) out[o++] = (unsigned char) (w >> 8);
    if (n > 2) out[o++] = (unsigned char) w;
  }
  return (ssize_t) o;
}

ssize_t hist_b64_encode(const unsigned char *src, size_t len, char *out, size_t cap) {
  size_t need = (len + 2) / 3 * 4;
  if (cap < need + 1) return -1;
  size_t o = 0;
  for (size_t i = 0; i < len; i += 3) {
    size_t n = std::min<size_t>(3, len - i);
    uint32_t w = (uint32_t) src[i] << 16;
    if (n > 1) w |= (uint32_t) src[i + 1] << 8;
    if (n > 2) w |= src[i + 2];
    out[o++] = hist_b64_alphabet[(w >> 18) & 63];
    out[o++] = hist_b64_alphabet[(w >> 12) & 63];
    out[o++] = n > 1 ? hist_b64_alphabet[(w >> 6) & 63] : '=';
    out[o++] = n > 2 ? hist_b64_alphabet[w & 63] : '=';
  }
  out[o] = '\0';
  return (ssize_t) o;
}

ssize_t hist_deserialize_b64(histogram_t *h, const void *b64, size_t len) {
  if (!h || (!b64 && len)) return -1;
  std::vector<unsigned char> raw;
  try {
    raw.resize(hist_b64_decoded_max(len));
  } catch (const std::bad_alloc &) {
    return -1;
  }
  ssize_t n = hist_b64_decode((const char *) b64, len, raw.data(), raw.size());
  if (n < 2) return -1;
  size_t nb = (size_t) raw[0] << 8 | raw[1];
  size_t used = 2 + nb * 10;
  if ((size_t) n < used) return -1;
  for (size_t i = 0; i < nb; i++)
    if (!hist_val_valid((int8_t) raw[2 + i * 10])) return -1;
  /* Everything is valid. Sort and merge instead of inserting one by one, so that a text of many
   * buckets in a hostile order still costs n log n. */
  std::vector<hist_bucket_t> in;
  std::vector<hist_bucket_t> merged;
  try {
    in.reserve(nb + h->buckets.size());
    for (size_t i = 0; i < nb; i++) {
      const unsigned char *p = &raw[2 + i * 10];
      uint64_t count = 0;
      for (int k = 0; k < 8; k++) count = count << 8 | p[2 + k];
      int8_t val = (int8_t) p[0];
      in.push_back(hist_bucket_t{val, val == 0 ? (int8_t) 0 : (int8_t) p[1], count});
    }
    in.insert(in.end(), h->buckets.begin(), h->buckets.end());
    std::stable_sort(in.begin(), in.end(), [](const hist_bucket_t &a, const hist_bucket_t &b) {
      return hist_order_key(a.val, a.exp) < hist_order_key(b.val, b.exp);
    });
    merged.reserve(in.size());
    for (const hist_bucket_t &b : in) {
      if (!merged.empty() && merged.back().val == b.val && merged.back().exp == b.exp)
        merged.back().count = hist_add_sat(merged.back().count, b.count);
      else
        merged.push_back(b);
    }
  } catch (const std::bad_alloc &) {
    return -1;
  }
  if (merged.size() > HIST_MAX_BUCKETS) return -1;
  h->buckets.swap(merged);
  return (ssize_t) used;
}

char *hist_serialize_b64(const histogram_t *h, size_t *len_out) {
  if (!h) return nullptr;
  size_t nb = h->buckets.size();
  std::vector<unsigned char> raw(2 + nb * 10);
  raw[0] = (unsigned char) (nb >> 8);
  raw[1] = (unsigned char) nb;
  for (size_t i = 0; i < nb; i++) {
    unsigned char *p = &raw[2 + i * 10];
    p[0] = (unsigned char) h->buckets[i].val;
    p[1] = (unsigned char) h->buckets[i].exp;
    for (int k = 0; k < 8; k++) p[2 + k] = (unsigned char) (h->buckets[i].count >> (56 - 8 * k));
  }
  size_t cap = (raw.size() + 2) / 3 * 4 + 1;
  char *out = (char *) malloc(cap);
  if (!out) return nullptr;
  ssize_t n = hist_b64_encode(raw.data(), raw.size(), out, cap);
  if (len_out) *len_out = (size_t) n;
  return out;
}
