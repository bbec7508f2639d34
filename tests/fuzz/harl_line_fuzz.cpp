/* Fuzzes the line decoder with one bus line: 1, 0 or -1; name and source inside the line; its own kind
 * decodes the same, the other gives 0; a trailing newline changes nothing; time and UUID agree with the
 * library's field parsers. */
#include "fuzz_support.h"
#include "harl/harl.h"

namespace {
using message = std::unique_ptr<harl_metric_message_t, decltype(&harl_metric_message_free)>;
/* Decodes an exactly sized copy of the line. */
message decode(const std::string &line, int want, int *rc) {
  message m((harl_metric_message_t *) calloc(1, sizeof(harl_metric_message_t)), harl_metric_message_free);
  m->original_message = (char *) memcpy(malloc(std::max<size_t>(line.size(), 1)), line.data(), line.size());
  m->original_message_len = line.size();
  m->original_allocated = true;
  *rc = harl_message_decoder_parse_line(m.get(), want);
  return m;
}
bool inside(const harl_metric_message_t *m, const char *p, int len) {
  const char *b = m->original_message;
  return len >= 0 && (len == 0 || (p >= b && p + len <= b + m->original_message_len));
}
/* A decoding as text (identity, time, type, null, value: a string's text, else the value's bytes, zero
 * where a narrow type leaves them), to compare two decodings. */
std::string text_of(const harl_metric_message_t *m) {
  const harl_metric_value_t &v = m->value;
  uint64_t bits = 0;
  memcpy(&bits, &v.value, 8);
  bool str = !v.is_null && (v.type == METRIC_STRING || v.type == METRIC_HISTOGRAM);
  std::string out((const char *) m->id.id, 16);
  for (int64_t n : {(int64_t) m->id.name_len, (int64_t) m->type, (int64_t) v.whence_ms, (int64_t) v.type,
                    (int64_t) v.is_null})
    out += "/" + std::to_string(n);
  out += "/" + std::string(m->id.name, (size_t) m->id.name_len_with_tags) + "/" +
         std::string(m->id.source, (size_t) m->id.source_len) + "/";
  return out + (!str ? std::to_string(bits) : v.value.v_string ? v.value.v_string : "(null)");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string line(reinterpret_cast<const char *>(data), size);
  int rc = 0, nl_rc = 0, same_rc = 0, wrong_rc = 0;
  message m = decode(line, -1, &rc);
  FUZZ_REQUIRE(rc >= -1 && rc <= 1, line);
  if (line.empty() || line.back() != '\n') {
    message nl = decode(line + "\n", -1, &nl_rc);
    FUZZ_REQUIRE(nl_rc == rc && (rc != 1 || text_of(nl.get()) == text_of(m.get())), line);
  }
  if (rc != 1) return 0;
  FUZZ_REQUIRE(m->type == MESSAGE_TYPE_M || m->type == MESSAGE_TYPE_H, line);
  FUZZ_REQUIRE(inside(m.get(), m->id.name, m->id.name_len_with_tags) &&
                   inside(m.get(), m->id.source, m->id.source_len) && m->id.name_len >= 0 &&
                   m->id.name_len <= m->id.name_len_with_tags,
               line);
  bool str = m->type == MESSAGE_TYPE_H || (!m->value.is_null && m->value.type == METRIC_STRING);
  FUZZ_REQUIRE(!str || m->value.value.v_string != nullptr, line);
  message same = decode(line, m->type, &same_rc), wrong = decode(line, m->type == 'M' ? 'H' : 'M', &wrong_rc);
  FUZZ_REQUIRE(same_rc == 1 && text_of(same.get()) == text_of(m.get()) && wrong_rc == 0, line);
  /* The fields read back through the library's own parsers: time is field 3, UUID field 4. */
  size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
  size_t t4 = line.find('\t', t3 + 1);
  FUZZ_REQUIRE(t4 != std::string::npos, line);
  uint64_t ms = 0;
  FUZZ_REQUIRE(harl_parse_time_ms(line.data() + t2 + 1, t3 - t2 - 1, &ms) && ms == m->value.whence_ms, line);
  unsigned char id[16];
  FUZZ_REQUIRE(harl_parse_uuid(line.data() + t3 + 1, t4 - t3 - 1, id) && memcmp(id, m->id.id, 16) == 0, line);
  return 0;
}
