// Tests of the metric-message library: bus lines, bundles and their limits. Inputs live in heap blocks of
// exactly their length, so a read past the end shows under ASan.
#include "harl/harl.h"
#include "hist/hist.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

const std::string kSrc = "broker-01.example";
const std::string kUuid = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11";
const unsigned char kId[16] = {0x6a, 0x0e, 0x3d, 0x1c, 0x1b, 0x5f, 0x4c, 0x47,
                               0x9a, 0x43, 0x0e, 0x6a, 0x2e, 0x4c, 0x8f, 0x11};

std::string mline(const std::string &type, const std::string &value, const std::string &metric = "m",
                  const std::string &time = "1", const std::string &id = kUuid) {
  return "M\t" + kSrc + "\t" + time + "\t" + id + "\t" + metric + "\t" + type + "\t" + value;
}

/* Decodes line (want, preset kind) and describes the outcome: "kind type value @ms name/len" for a
 * decoded sample, "other" for a well-formed line of another kind, "! why" for a refusal. */
std::string decode(const std::string &line, int want = -1, harl_message_type preset = MESSAGE_TYPE_NONE) {
  auto *m = (harl_metric_message_t *) calloc(1, sizeof(harl_metric_message_t));
  m->original_message = (char *) memcpy(malloc(line.size() + !line.size()), line.data(), line.size());
  m->type = preset;
  m->original_message_len = line.size();
  m->original_allocated = true;
  const char *why = nullptr;
  /* Twice in place: the second decode releases what the first attached (ASan sees a leak). */
  int rc = harl_message_decoder_parse_line_why(m, want, &why);
  EXPECT_EQ(harl_message_decoder_parse_line_why(m, want, &why), rc);
  std::ostringstream o;
  o.precision(17);
  const harl_metric_value_t &v = m->value;
  if (rc == 1) {
    o << (char) m->type << " " << (char) v.type << " ";
    if (v.is_null) o << "null";
    else if (v.type == METRIC_INT32 || v.type == METRIC_GUESS) o << v.value.v_int32;
    else if (v.type == METRIC_UINT32) o << v.value.v_uint32;
    else if (v.type == METRIC_INT64) o << v.value.v_int64;
    else if (v.type == METRIC_UINT64) o << v.value.v_uint64;
    else if (v.type == METRIC_DOUBLE) o << v.value.v_double;
    else o << "[" << v.value.v_string << "]";
    o << " @" << v.whence_ms << " " << std::string(m->id.name, (size_t) m->id.name_len_with_tags) << "/"
      << m->id.name_len << (memcmp(m->id.id, kId, 16) ? " BAD ID" : "")
      << (std::string(m->id.source, (size_t) m->id.source_len) == kSrc ? "" : " BAD SOURCE");
  }
  if (rc != 1) o << (rc == 0 ? "other" : "! " + std::string(why ? why : "(no reason)"));
  harl_metric_message_free(m);
  return o.str();
}

std::string zlib(const std::string &text) {
  uLongf n = compressBound((uLong) text.size());
  std::string out(n, '\0');
  EXPECT_EQ(compress2((Bytef *) out.data(), &n, (const Bytef *) text.data(), (uLong) text.size(), 6), Z_OK);
  out.resize(n);
  return out;
}

std::string b64(const std::string &bytes) {
  std::string out(bytes.size() / 3 * 4 + 8, '\0');
  auto raw = (const unsigned char *) bytes.data();
  out.resize((size_t) hist_b64_encode(raw, bytes.size(), out.data(), out.size()));
  return out;
}

std::string bundle(const std::string &count, const std::string &data) {
  return "B\t" + kSrc + "\t1733540000.5\t" + count + "\t" + data + "\n";
}

/* Expands a bundle: its lines joined by "|", or "! why" (and checks that *lines stays null). */
std::string expand(const std::string &payload, int max_lines = -1) {
  char *copy = (char *) memcpy(malloc(payload.size() + !payload.size()), payload.data(), payload.size());
  char **lines = (char **) 0x1;
  const char *why = nullptr;
  int rc = harl_check_log_b_to_sm_why(copy, (int) payload.size(), &lines, max_lines, &why);
  free(copy);
  std::string out = rc < 0 ? "! " + std::string(why ? why : "(no reason)") : std::to_string(rc) + ":";
  EXPECT_TRUE(rc > 0 || lines == nullptr);
  for (int i = 0; i < rc; i++) {
    out += (i ? "|" : "") + std::string(lines[i]);
    free(lines[i]);
  }
  if (rc > 0) free(lines);
  return out;
}

}  // namespace

// what this proves: every kind and value type decodes to the fields the client message reads, time
// fields take 0 to 3 fraction digits up to 64-bit milliseconds, and each malformed field is refused
// with its own reason
TEST(Harl, LineRows) {
  const std::string val = "! value malformed or out of range for its type";
  const std::string id = "! bad check id", time = "! bad time";
  const std::string fields = "! wrong number of fields", type = "! unknown value type";
  std::string upper = kUuid;
  for (char &c : upper) c = (char) toupper(c);
  struct row {
    std::string line, want;
    int want_kind = -1;
    harl_message_type preset = MESSAGE_TYPE_NONE;
  } rows[] = {
      {mline("i", "-42") + "\n", "M i -42 @1000 m/1"}, {mline("0", "2147483647"), "M 0 2147483647 @1000 m/1"},
      {mline("I", "4294967295"), "M I 4294967295 @1000 m/1"},
      {mline("n", "0.1"), "M n 0.10000000000000001 @1000 m/1"},
      {mline("l", "-9223372036854775808"), "M l -9223372036854775808 @1000 m/1"},
      {mline("n", "-1.5e3"), "M n -1500 @1000 m/1"},
      {mline("L", "18446744073709551615"), "M L 18446744073709551615 @1000 m/1"},
      {mline("s", ""), "M s [] @1000 m/1"},
      {mline("s", "hello\tworld with spaces"), "M s [hello\tworld with spaces] @1000 m/1"},
      {mline("L", "[[null]]"), "M L null @1000 m/1"}, {mline("s", "[[null]]"), "M s null @1000 m/1"},
      {mline("i", "1", "cpu`user", "1733540000.2", upper), "M i 1 @1733540000200 cpu`user/8"},
      {"H\t" + kSrc + "\t1733540000.250\t" + kUuid + "\tlatency|ST[env:prod,dc:x]\tAAA=\n",
       "H h [AAA=] @1733540000250 latency|ST[env:prod,dc:x]/7"},
      {mline("i", "1", "m", "1.007"), "M i 1 @1007 m/1"}, {mline("i", "1", "m", "0"), "M i 1 @0 m/1"},
      {mline("i", "1", "m", "18446744073709551.615"), "M i 1 @18446744073709551615 m/1"},
      {mline("i", "1"), "other", 'H'}, {mline("i", "1"), "! not the kind expected", -1, MESSAGE_TYPE_H},
      {bundle("0", "x"), "other"}, {"", "! kind is not one character"},
      {"MM\t" + kSrc, "! kind is not one character"},
      {"X\t" + kSrc + "\t1\t" + kUuid + "\tm\ti\t1", "! not a sample kind"},
      {"M\t" + kSrc + "\t1\t" + kUuid + "\tm\ti", fields}, {"H\t" + kSrc + "\t1\t" + kUuid + "\tm", fields},
      {"H\t" + kSrc + "\t1\t" + kUuid + "\tm\tAAA=\tx", fields},
      {mline("i", "1").replace(2, kSrc.size(), "short"), "! source shorter than 8 bytes"},
      {mline("i", "1", "m", "18446744073709551.616"), time},
      {mline("i", "1", "m", "18446744073709552"), time}, {mline("i", "1", "m", "1.2500"), time},
      {mline("i", "1", "m", "1."), time}, {mline("i", "1", "m", ".5"), time},
      {mline("i", "1", "m", "-1"), time}, {mline("i", "1", "m", "+1"), time},
      {mline("i", "1", "m", " 1"), time}, {mline("i", "1", "m", "1.-2"), time},
      {mline("i", "1", "m", "1", kUuid.substr(1)), id}, {mline("i", "1", "m", "1", kUuid + "1"), id},
      {mline("i", "1", "m", "1", "6a0e3d1c11b5f-4c47-9a43-0e6a2e4c8f11"), id},
      {mline("i", "1", "m", "1", "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8fg1"), id},
      {mline("i", "1", "m", "1", "6z0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11"), id},
      {mline("i", "1", ""), "! empty metric name"}, {mline("i", "1", "|ST[a:b]"), "! empty metric name"},
      {mline("i", "1", "m|ST[a:b"), "! tag section does not end the metric field"}, {mline("", "1"), type},
      {mline("ii", "1"), type}, {mline("x", "[[null]]"), type}, {mline("i", "1\t2"), val},
      {mline("i", ""), val}, {mline("i", "2147483648"), val}, {mline("i", "-2147483649"), val},
      {mline("i", "1.5"), val}, {mline("i", " 1"), val}, {mline("i", "0x10"), val}, {mline("I", "-1"), val},
      {mline("I", "4294967296"), val}, {mline("l", "9223372036854775808"), val},
      {mline("L", "18446744073709551616"), val}, {mline("n", "1.5x"), val}, {mline("n", "inf"), val},
      {mline("n", "nan"), val}, {mline("n", "1e400"), val}, {mline("0", "1.5"), val},
      {mline("i", "[[NULL]]"), val}, {mline("h", "1"), val},
      {mline("i", "1", std::string("m\0x", 3)), "! line over 16 MiB or holding a NUL byte"},
  };
  for (auto &r : rows) EXPECT_EQ(decode(r.line, r.want_kind, r.preset), r.want) << r.line;
  EXPECT_EQ(harl_message_decoder_parse_line(nullptr, -1), -1);
}

// what this proves: a bundle hands back its lines in order whatever their kind, and the builder's
// output expands back; broken bundles (fields, base64, zlib, trailing bytes, lying counts, a tighter
// caller limit) are refused as a whole with their reason
TEST(Harl, BundleRows) {
  const std::string hline = "H\t" + kSrc + "\t1\t" + kUuid + "\th\tAAA=";
  const std::string text = mline("i", "1") + "\n" + hline + "\nX\tother\n\nlast";
  const std::string lines = "5:" + mline("i", "1") + "|" + hline + "|X\tother||last";
  size_t len = 0;
  char *raw = harl_bundle_build(kSrc.c_str(), "1.5", text.data(), text.size(), 5, &len);
  std::unique_ptr<char, decltype(&free)> built(raw, free);
  ASSERT_NE(built, nullptr);
  const std::string built_line(built.get(), len);
  const std::string z = zlib("a\nb\nc"), good = b64(z), corrupt = z.substr(0, 5) + "\x55" + z.substr(6);
  const std::string count = "! bundle: count malformed or out of range";
  const std::string differs = "! bundle: count differs from the lines found";
  const std::string broken = "! bundle: broken or truncated zlib data", base64 = "! bundle: bad base64";
  struct row {
    std::string payload, want;
    int max_lines = -1;
  } rows[] = {
      {bundle("5", b64(zlib(text))), lines}, {bundle("5", b64(zlib(text + "\n"))), lines},
      {built_line, lines}, {bundle("0", b64(zlib(""))), "0:"}, {bundle("3", good), "3:a|b|c", 3},
      {bundle("3", good), count, 2}, {"", "! bundle: wrong number of fields"},
      {"B\t" + kSrc + "\t1\t3", "! bundle: wrong number of fields"}, {bundle("3", good + "\tx"), base64},
      {"M\t" + kSrc + "\t1\t3\t" + good, "! bundle: not a bundle line"},
      {"B\tshort\t1\t3\t" + good, "! bundle: source shorter than 8 bytes"},
      {"B\t" + kSrc + "\tnow\t3\t" + good, "! bundle: bad time"}, {bundle("", good), count},
      {bundle("-1", good), count}, {bundle("x", good), count}, {bundle("99999999999", good), count},
      {bundle("100001", good), count}, {bundle("2", good), differs}, {bundle("4", good), differs},
      {bundle("3", good.substr(0, good.size() - 1)), base64}, {bundle("3", "!!!!"), base64},
      {bundle("3", ""), broken}, {bundle("3", b64("not zlib at all")), broken},
      {bundle("3", b64(z.substr(0, z.size() - 3))), broken}, {bundle("3", b64(corrupt)), broken},
      {bundle("3", b64(z + "xyz")), "! bundle: bytes after the zlib stream"},
      {bundle("2", b64(zlib(std::string("a\n\0", 3)))), "! bundle: inflated text holds a NUL byte"},
  };
  for (auto &r : rows) EXPECT_EQ(expand(r.payload, r.max_lines), r.want) << r.payload;
  EXPECT_EQ(harl_bundle_build("short", "1", "a", 1, 1, nullptr), nullptr);
  EXPECT_EQ(harl_bundle_build("with\ttab.....", "1", "a", 1, 1, nullptr), nullptr);
  EXPECT_EQ(harl_bundle_build(kSrc.c_str(), "1\t2", "a", 1, 1, nullptr), nullptr);
}

// what this proves: the text and line limits are exact: 16 MiB or 100,000 lines pass, one more is refused
TEST(Harl, BundleLimits) {
  std::string big(HARL_BUNDLE_MAX_TEXT, 'a');
  EXPECT_EQ(expand(bundle("1", b64(zlib(big)))).size(), 2 + big.size());
  EXPECT_EQ(expand(bundle("1", b64(zlib(big + "a")))), "! bundle: inflated text over 16 MiB");
  std::string many = "x";
  for (int i = 1; i < HARL_BUNDLE_MAX_LINES; i++) many += "\nx";
  const std::string max = std::to_string(HARL_BUNDLE_MAX_LINES);
  EXPECT_EQ(expand(bundle(max, b64(zlib(many)))).size(), max.size() + 1 + many.size());
  EXPECT_EQ(expand(bundle(std::to_string(HARL_BUNDLE_MAX_LINES + 1), b64(zlib(many + "\nx")))),
            "! bundle: count malformed or out of range");
  EXPECT_EQ(expand(bundle(max, b64(zlib(many + "\nx")))), "! bundle: count differs from the lines found");
}
