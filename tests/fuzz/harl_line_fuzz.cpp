/* Fuzzes the metric-message library's line decoder on its own: the input is one bus line. Properties:
 * the result is 1, 0 or -1; a decoded line's name and source lie inside the line; asking for the
 * kind it is gives the same answer, asking for the other kind gives 0; one trailing newline changes
 * nothing; a decoded time and UUID read back the same through the library's own field parsers. */
#include "harl/harl.h"
#include "zint/zint_time.h"

#include "fuzz_support.h"

#include <cstring>
#include <string>

namespace {
struct decoded {
  harl_metric_message_t *m;
  int rc;
  decoded(const std::string &line, int want) {
    m = (harl_metric_message_t *) calloc(1, sizeof(*m));
    char *copy = (char *) malloc(line.size() ? line.size() : 1); /* exactly sized */
    memcpy(copy, line.data(), line.size());
    m->original_message = copy;
    m->original_message_len = line.size();
    m->original_allocated = true;
    rc = harl_message_decoder_parse_line(m, want);
  }
  ~decoded() { harl_metric_message_free(m); }
  decoded(const decoded &) = delete;
  decoded &operator=(const decoded &) = delete;
};

bool inside(const harl_metric_message_t *m, const char *p, int len) {
  const char *b = m->original_message, *e = b + m->original_message_len;
  return len >= 0 && (len == 0 || (p >= b && p + len <= e));
}

/* A decoding as text (identity, time, type, null, value: a string's text, else the value's bytes), for comparing two
 * decodings of one line. Messages are zeroed before decoding, so the bytes a narrow type leaves alone are 0. */
std::string text_of(const harl_metric_message_t *m) {
  const harl_metric_value_t &v = m->value;
  uint64_t bits = 0;
  memcpy(&bits, &v.value, 8);
  bool str = !v.is_null && (v.type == METRIC_STRING || v.type == METRIC_HISTOGRAM);
  return std::string((const char *) m->id.id, 16) + "/" + std::string(m->id.name, (size_t) m->id.name_len_with_tags) + "/" +
         std::to_string(m->id.name_len) + "/" + std::string(m->id.source, (size_t) m->id.source_len) + "/" + std::to_string(m->type) +
         "/" + std::to_string(v.whence_ms) + "/" + std::to_string(v.type) + "/" + std::to_string(v.is_null) + "/" +
         (str ? std::string(v.value.v_string ? v.value.v_string : "(null)") : std::to_string(bits));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line(reinterpret_cast<const char *>(data), size);
  decoded any(line, -1);
  FUZZ_REQUIRE(any.rc >= -1 && any.rc <= 1, line);

  if (line.empty() || line.back() != '\n') {
    decoded nl(line + "\n", -1);
    FUZZ_REQUIRE(nl.rc == any.rc, line);
    if (any.rc == 1) FUZZ_REQUIRE(text_of(nl.m) == text_of(any.m), line);
  }
  if (any.rc != 1) return 0;

  const harl_metric_message_t *m = any.m;
  FUZZ_REQUIRE(m->type == MESSAGE_TYPE_M || m->type == MESSAGE_TYPE_H, line);
  FUZZ_REQUIRE(inside(m, m->id.name, m->id.name_len_with_tags) && inside(m, m->id.source, m->id.source_len), line);
  FUZZ_REQUIRE(m->id.name_len >= 0 && m->id.name_len <= m->id.name_len_with_tags, line);
  bool str = m->type == MESSAGE_TYPE_H || (!m->value.is_null && m->value.type == METRIC_STRING);
  FUZZ_REQUIRE(!str || m->value.value.v_string != nullptr, line);

  int kind = m->type, other = kind == 'M' ? 'H' : 'M';
  decoded same(line, kind), wrong(line, other);
  FUZZ_REQUIRE(same.rc == 1 && text_of(same.m) == text_of(m) && wrong.rc == 0, line);

  /* The fields read back through the library's own parsers: time is field 3, UUID field 4. */
  size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1), t4 = line.find('\t', t3 + 1);
  FUZZ_REQUIRE(t4 != std::string::npos, line);
  uint64_t ms = 0;
  FUZZ_REQUIRE(harl_parse_time_ms(line.data() + t2 + 1, t3 - t2 - 1, &ms) && ms == m->value.whence_ms, line);
  unsigned char id[16];
  FUZZ_REQUIRE(harl_parse_uuid(line.data() + t3 + 1, t4 - t3 - 1, id) && memcmp(id, m->id.id, 16) == 0, line);
  char text[37] = {0};
  zint_uuid_unparse_lower(m->id.id, text);
  std::string given = line.substr(t3 + 1, 36);
  for (char &c : given) c = (char) tolower((unsigned char) c);
  FUZZ_REQUIRE(given == text, line);
  return 0;
}
