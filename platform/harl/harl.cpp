/* harl: decoder of the bus's metric lines and expander of bundles. Every parser works on
 * (pointer, length) without relying on a terminator, refuses what does not match the line format
 * exactly, and bounds what a bundle may inflate to before allocating for it. */
#include "harl/harl.h"

#include "hist/hist.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

const char harl_why_no_memory[] = "out of memory";

namespace {

/* Shortest source that keeps the time field's TAB at byte 10 or later, where duplicate
 * suppression looks for it. */
constexpr size_t harl_min_source_len = 8;
/* A single line may not be longer than a whole inflated bundle. */
constexpr size_t harl_max_line_len = HARL_BUNDLE_MAX_TEXT;

/* Splits s at TABs into at most max fields; the last field keeps any further TABs. Returns the
 * number of fields. */
size_t harl_split(std::string_view s, std::string_view *out, size_t max) {
  size_t n = 0;
  while (n + 1 < max) {
    size_t tab = s.find('\t');
    if (tab == std::string_view::npos) break;
    out[n++] = s.substr(0, tab);
    s.remove_prefix(tab + 1);
  }
  out[n++] = s;
  return n;
}

/* Strips one trailing newline and refuses embedded NUL bytes, which would cut texts short later. */
bool harl_line_view(const char *p, size_t len, std::string_view *out) {
  if (!p || len > harl_max_line_len) return false;
  if (len > 0 && p[len - 1] == '\n') len--;
  if (memchr(p, '\0', len)) return false;
  *out = std::string_view(p, len);
  return true;
}

bool harl_source_valid(std::string_view s) { return s.size() >= harl_min_source_len; }

template <typename T> bool harl_parse_int(std::string_view s, T *out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out, 10);
  return ec == std::errc() && end == s.data() + s.size();
}

/* The value of every byte as a hex digit, -1 for bytes that are not one. */
constexpr std::array<signed char, 256> harl_hex_table = [] {
  std::array<signed char, 256> t{};
  for (int c = 0; c < 256; c++) {
    t[c] = -1;
    if (c >= '0' && c <= '9') t[c] = (signed char) (c - '0');
    if (c >= 'a' && c <= 'f') t[c] = (signed char) (c - 'a' + 10);
    if (c >= 'A' && c <= 'F') t[c] = (signed char) (c - 'A' + 10);
  }
  return t;
}();

int harl_hex(char c) { return harl_hex_table[(unsigned char) c]; }

char *harl_strndup(std::string_view s) {
  char *p = (char *) malloc(s.size() + 1);
  if (!p) return nullptr;
  memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

/* The value owns a string only for these types and only when not null. */
bool harl_value_owns_string(const harl_metric_value_t &v) {
  return (v.type == METRIC_STRING || v.type == METRIC_HISTOGRAM) && !v.is_null;
}

void harl_value_release(harl_metric_value_t *v) {
  if (harl_value_owns_string(*v)) free(v->value.v_string);
  memset(v, 0, sizeof(*v));
}

/* The type codes of the line format: a value's type only ever holds one of these. */
bool harl_code_known(char code) {
  switch (code) {
  case METRIC_GUESS:
  case METRIC_INT32:
  case METRIC_UINT32:
  case METRIC_INT64:
  case METRIC_UINT64:
  case METRIC_DOUBLE:
  case METRIC_STRING:
  case METRIC_HISTOGRAM:
  case METRIC_HISTOGRAM_CUMULATIVE: return true;
  default: return false;
  }
}

/* Decodes the value field of an "M" line into v. An unknown code is refused before anything else,
 * a null value included: metric_type_t cannot hold an arbitrary byte. */
bool harl_parse_value(char code, std::string_view s, harl_metric_value_t *v) {
  if (!harl_code_known(code)) {
    v->type = METRIC_ABSENT;
    return false;
  }
  v->type = (metric_type_t) code;
  if (s == "[[null]]") {
    v->is_null = true;
    return true;
  }
  if (code != METRIC_STRING && s.find('\t') != std::string_view::npos) return false;
  switch (code) {
  case METRIC_INT32:
  case METRIC_GUESS: return harl_parse_int(s, &v->value.v_int32);
  case METRIC_UINT32: return harl_parse_int(s, &v->value.v_uint32);
  case METRIC_INT64: return harl_parse_int(s, &v->value.v_int64);
  case METRIC_UINT64: return harl_parse_int(s, &v->value.v_uint64);
  case METRIC_DOUBLE: {
    if (s.empty()) return false;
    double d = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
    /* JSON has no infinity or NaN, so a client could not read them. */
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(d)) return false;
    v->value.v_double = d;
    return true;
  }
  case METRIC_STRING:
    v->value.v_string = harl_strndup(s);
    if (!v->value.v_string) {
      v->type = METRIC_ABSENT;
      return false;
    }
    return true;
  default: v->type = METRIC_ABSENT; return false;
  }
}

struct harl_inflate_guard {
  z_stream zs{};
  bool live = false;
  ~harl_inflate_guard() {
    if (live) inflateEnd(&zs);
  }
};

/* Inflates a complete zlib stream into out, refusing more than limit bytes, truncated or corrupt
 * data and bytes after the stream's end. Null on success, else why not. */
const char *harl_inflate_bounded(const unsigned char *in, size_t in_len, size_t limit, std::vector<char> *out) {
  static const char broken[] = "bundle: broken or truncated zlib data";
  static const char too_big[] = "bundle: inflated text over 16 MiB";
  harl_inflate_guard g;
  if (inflateInit(&g.zs) != Z_OK) return harl_why_no_memory; /* its only failure with default settings */
  g.live = true;
  g.zs.next_in = const_cast<unsigned char *>(in);
  g.zs.avail_in = (uInt) in_len;
  size_t have = 0;
  try {
    /* Start near the usual ratio and grow by doubling, never past limit + 1 (the extra byte
     * tells an oversized text from one of exactly limit bytes). */
    out->resize(std::min(limit + 1, std::max<size_t>(4096, in_len * 4)));
    for (;;) {
      if (have == out->size()) {
        if (out->size() > limit) return too_big;
        out->resize(std::min(limit + 1, out->size() * 2));
      }
      g.zs.next_out = (Bytef *) out->data() + have;
      g.zs.avail_out = (uInt) (out->size() - have);
      int rc = inflate(&g.zs, Z_NO_FLUSH);
      have = out->size() - g.zs.avail_out;
      if (have > limit) return too_big;
      if (rc == Z_STREAM_END) break;
      if (rc == Z_BUF_ERROR && g.zs.avail_in == 0) return broken; /* truncated */
      if (rc == Z_MEM_ERROR) return harl_why_no_memory;
      if (rc != Z_OK && rc != Z_BUF_ERROR) return broken;
    }
  } catch (const std::bad_alloc &) {
    return harl_why_no_memory;
  }
  if (g.zs.avail_in != 0) return "bundle: bytes after the zlib stream";
  out->resize(have);
  return nullptr;
}

/* Sets *why (when asked for) and returns -1: the result of every refusal. */
int harl_refuse(const char **why, const char *text) {
  if (why) *why = text;
  return -1;
}

} // namespace

bool harl_parse_time_ms(const char *s, size_t len, uint64_t *ms) {
  std::string_view t(s, len);
  size_t dot = t.find('.');
  std::string_view whole = t.substr(0, dot);
  std::string_view frac = dot == std::string_view::npos ? std::string_view() : t.substr(dot + 1);
  if (dot != std::string_view::npos && (frac.empty() || frac.size() > 3)) return false;
  for (char c : frac)
    if (c < '0' || c > '9') return false;
  if (whole.empty() || whole[0] == '-' || whole[0] == '+') return false;
  uint64_t sec = 0;
  if (!harl_parse_int(whole, &sec)) return false;
  uint64_t f = 0;
  for (size_t i = 0; i < 3; i++) f = f * 10 + (i < frac.size() ? (uint64_t) (frac[i] - '0') : 0);
  uint64_t r;
  if (__builtin_mul_overflow(sec, (uint64_t) 1000, &r) || __builtin_add_overflow(r, f, &r)) return false;
  *ms = r;
  return true;
}

bool harl_parse_uuid(const char *s, size_t len, unsigned char out[16]) {
  /* Where each byte's two digits start: 8-4-4-4-12 digits with a dash between groups. */
  static constexpr unsigned char at[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  if (len != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  unsigned char tmp[16];
  int bad = 0;
  for (int o = 0; o < 16; o++) {
    int hi = harl_hex(s[at[o]]), lo = harl_hex(s[at[o] + 1]);
    bad |= hi | lo; /* negative when either is not a digit */
    tmp[o] = (unsigned char) ((unsigned) hi << 4 | (unsigned) lo);
  }
  if (bad < 0) return false;
  memcpy(out, tmp, 16);
  return true;
}

int harl_message_decoder_parse_line(harl_metric_message_t *msg, int want) {
  return harl_message_decoder_parse_line_why(msg, want, nullptr);
}

int harl_message_decoder_parse_line_why(harl_metric_message_t *msg, int want, const char **why) {
  if (why) *why = nullptr;
  if (!msg) return harl_refuse(why, "no line");
  harl_value_release(&msg->value);
  memset(&msg->id, 0, sizeof(msg->id));
  std::string_view line;
  if (!harl_line_view(msg->original_message, msg->original_message_len, &line))
    return harl_refuse(why, "line over 16 MiB or holding a NUL byte");
  std::string_view f[7];
  size_t nf = harl_split(line, f, 7);
  if (f[0].size() != 1) return harl_refuse(why, "kind is not one character");
  char kind = f[0][0];
  if (kind == MESSAGE_TYPE_B) return 0;
  if (kind != MESSAGE_TYPE_M && kind != MESSAGE_TYPE_H) return harl_refuse(why, "not a sample kind");
  if (want != -1 && want != kind) return 0;
  if (msg->type != MESSAGE_TYPE_NONE && msg->type != kind) return harl_refuse(why, "not the kind expected");
  if (nf != (kind == MESSAGE_TYPE_M ? 7u : 6u)) return harl_refuse(why, "wrong number of fields");

  if (!harl_source_valid(f[1])) return harl_refuse(why, "source shorter than 8 bytes");
  uint64_t whence = 0;
  if (!harl_parse_time_ms(f[2].data(), f[2].size(), &whence)) return harl_refuse(why, "bad time");
  unsigned char id[16];
  if (!harl_parse_uuid(f[3].data(), f[3].size(), id)) return harl_refuse(why, "bad check id");

  std::string_view metric = f[4];
  size_t name_len = metric.size();
  size_t tags = metric.find("|ST[");
  if (tags != std::string_view::npos) {
    if (metric.back() != ']') return harl_refuse(why, "tag section does not end the metric field");
    name_len = tags;
  }
  if (name_len == 0) return harl_refuse(why, "empty metric name");

  harl_metric_value_t v{};
  if (kind == MESSAGE_TYPE_M) {
    if (f[5].size() != 1 || !harl_code_known(f[5][0])) return harl_refuse(why, "unknown value type");
    if (!harl_parse_value(f[5][0], f[6], &v)) {
      bool no_memory = f[5][0] == METRIC_STRING;
      harl_value_release(&v);
      return harl_refuse(why, no_memory ? harl_why_no_memory : "value malformed or out of range for its type");
    }
  } else {
    /* The histogram text is checked where it is decoded; here it only has to be one field. */
    if (f[5].find('\t') != std::string_view::npos) return harl_refuse(why, "wrong number of fields");
    v.type = METRIC_HISTOGRAM;
    v.value.v_string = harl_strndup(f[5]);
    if (!v.value.v_string) return harl_refuse(why, harl_why_no_memory);
  }
  v.whence_ms = whence;

  msg->type = (harl_message_type) kind;
  memcpy(msg->id.id, id, 16);
  msg->id.source = f[1].data();
  msg->id.source_len = (int) f[1].size();
  msg->id.name = metric.data();
  msg->id.name_len = (int) name_len;
  msg->id.name_len_with_tags = (int) metric.size();
  msg->value = v;
  return 1;
}

void harl_metric_message_free(harl_metric_message_t *msg) {
  if (!msg) return;
  harl_value_release(&msg->value);
  if (msg->original_allocated) free(const_cast<char *>(msg->original_message));
  free(msg);
}

int harl_check_log_b_to_sm(const char *payload, int len, char ***lines, int max_lines) {
  return harl_check_log_b_to_sm_why(payload, len, lines, max_lines, nullptr);
}

int harl_check_log_b_to_sm_why(const char *payload, int len, char ***lines, int max_lines, const char **why) {
  if (why) *why = nullptr;
  if (!lines) return harl_refuse(why, "no place for the lines");
  *lines = nullptr;
  if (len < 0 || (max_lines != -1 && max_lines < 0)) return harl_refuse(why, "negative length or line limit");
  size_t limit_lines = max_lines == -1 ? HARL_BUNDLE_MAX_LINES : std::min(max_lines, HARL_BUNDLE_MAX_LINES);
  std::string_view line;
  if (!harl_line_view(payload, (size_t) len, &line)) return harl_refuse(why, "bundle: over 16 MiB or holding a NUL byte");
  std::string_view f[5];
  if (harl_split(line, f, 5) != 5) return harl_refuse(why, "bundle: wrong number of fields");
  if (f[0] != "B") return harl_refuse(why, "bundle: not a bundle line");
  if (!harl_source_valid(f[1])) return harl_refuse(why, "bundle: source shorter than 8 bytes");
  uint64_t whence;
  if (!harl_parse_time_ms(f[2].data(), f[2].size(), &whence)) return harl_refuse(why, "bundle: bad time");
  uint32_t count = 0;
  if (!harl_parse_int(f[3], &count) || count > limit_lines)
    return harl_refuse(why, "bundle: count malformed or out of range");

  std::vector<unsigned char> packed;
  std::vector<char> text;
  try {
    packed.resize(hist_b64_decoded_max(f[4].size()));
  } catch (const std::bad_alloc &) {
    return harl_refuse(why, harl_why_no_memory);
  }
  ssize_t plen = hist_b64_decode(f[4].data(), f[4].size(), packed.data(), packed.size());
  if (plen < 0) return harl_refuse(why, "bundle: bad base64");
  if (const char *broken = harl_inflate_bounded(packed.data(), (size_t) plen, HARL_BUNDLE_MAX_TEXT, &text))
    return harl_refuse(why, broken);
  packed = {};

  std::string_view all(text.data(), text.size());
  if (!all.empty() && all.back() == '\n') all.remove_suffix(1);
  if (memchr(all.data(), '\0', all.size())) return harl_refuse(why, "bundle: inflated text holds a NUL byte");
  size_t found = all.empty() ? 0 : (size_t) std::count(all.begin(), all.end(), '\n') + 1;
  if (found != count) return harl_refuse(why, "bundle: count differs from the lines found");
  if (count == 0) return 0;

  char **out = (char **) calloc(count, sizeof(char *));
  if (!out) return harl_refuse(why, harl_why_no_memory);
  for (size_t i = 0; i < count; i++) {
    size_t nl = all.find('\n');
    out[i] = harl_strndup(all.substr(0, nl));
    if (!out[i]) {
      for (size_t k = 0; k < i; k++) free(out[k]);
      free(out);
      return harl_refuse(why, harl_why_no_memory);
    }
    all.remove_prefix(nl == std::string_view::npos ? all.size() : nl + 1);
  }
  *lines = out;
  return (int) count;
}

char *harl_bundle_build(const char *source, const char *time_text, const char *text, size_t text_len,
                        int count, size_t *len_out) {
  if (!source || !time_text || (!text && text_len) || count < 0) return nullptr;
  std::string_view src(source);
  if (!harl_source_valid(src) || src.find('\t') != std::string_view::npos) return nullptr;
  uint64_t whence;
  if (!harl_parse_time_ms(time_text, strlen(time_text), &whence)) return nullptr;
  uLongf zlen = compressBound((uLong) text_len);
  std::vector<unsigned char> z;
  std::vector<char> b64;
  try {
    z.resize(zlen);
    if (compress2(z.data(), &zlen, (const Bytef *) text, (uLong) text_len, Z_DEFAULT_COMPRESSION) != Z_OK)
      return nullptr;
    b64.resize(((size_t) zlen + 2) / 3 * 4 + 1);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  ssize_t blen = hist_b64_encode(z.data(), zlen, b64.data(), b64.size());
  if (blen < 0) return nullptr;
  size_t cap = src.size() + strlen(time_text) + (size_t) blen + 32;
  char *out = (char *) malloc(cap);
  if (!out) return nullptr;
  int n = snprintf(out, cap, "B\t%s\t%s\t%d\t%s\n", source, time_text, count, b64.data());
  if (n < 0 || (size_t) n >= cap) {
    free(out);
    return nullptr;
  }
  if (len_out) *len_out = (size_t) n;
  return out;
}
