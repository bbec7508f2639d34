#include "harl/harl.h"
#include "hist/hist.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

const std::string kSrc = "broker-01.example";
const std::string kUuid = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11";

std::string mline(const std::string &type, const std::string &value, const std::string &metric = "m",
                  const std::string &time = "1", const std::string &id = kUuid) {
  return "M\t" + kSrc + "\t" + time + "\t" + id + "\t" + metric + "\t" + type + "\t" + value;
}

/* "kind type value @ms name/len" of a decoded sample, "other" for another kind, "! why" if refused. */
std::string decode(const std::string &line, harl_message_type preset = MESSAGE_TYPE_NONE) {
  auto *m = (harl_metric_message_t *) calloc(1, sizeof(harl_metric_message_t));
  m->original_message = (char *) memcpy(malloc(line.size() + !line.size()), line.data(), line.size());
  m->type = preset;
  m->original_message_len = line.size();
  m->original_allocated = true;
  const char *why = nullptr;
  /* Twice in place: the second decode releases what the first attached (ASan sees a leak). */
  int rc = harl_message_decoder_parse_line_why(m, -1, &why);
  EXPECT_EQ(harl_message_decoder_parse_line_why(m, -1, &why), rc);
  std::ostringstream o;
  o.precision(17);
  const harl_metric_value_t &v = m->value;
  if (rc == 1) {
    o << (char) m->type << " " << (char) v.type << " ";
    if (v.is_null)
      o << "null";
    else if (v.type == METRIC_INT32 || v.type == METRIC_GUESS)
      o << v.value.v_int32;
    else if (v.type == METRIC_UINT32)
      o << v.value.v_uint32;
    else if (v.type == METRIC_INT64)
      o << v.value.v_int64;
    else if (v.type == METRIC_UINT64)
      o << v.value.v_uint64;
    else if (v.type == METRIC_DOUBLE)
      o << v.value.v_double;
    else
      o << "[" << v.value.v_string << "]";
    o << " @" << v.whence_ms << " " << std::string(m->id.name, (size_t) m->id.name_len_with_tags) << "/"
      << m->id.name_len
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

} // namespace

// what this proves: each kind and value type decodes to exact fields; a malformed field gets its own reason
TEST(Harl, LineRows) {
  struct row {
    std::string line, want;
    harl_message_type preset = MESSAGE_TYPE_NONE;
  } rows[] = {{mline("i", "-42") + "\n", "M i -42 @1000 m/1"},
              {mline("0", "2147483647"), "M 0 2147483647 @1000 m/1"},
              {mline("I", "4294967295"), "M I 4294967295 @1000 m/1"},
              {mline("n", "0.1"), "M n 0.10000000000000001 @1000 m/1"},
              {mline("l", "-9223372036854775808"), "M l -9223372036854775808 @1000 m/1"},
              {mline("L", "18446744073709551615"), "M L 18446744073709551615 @1000 m/1"},
              {mline("s", ""), "M s [] @1000 m/1"},
              {mline("s", "hello\tworld with spaces"), "M s [hello\tworld with spaces] @1000 m/1"},
              {mline("L", "[[null]]"), "M L null @1000 m/1"},
              {mline("i", "1", "cpu`user", "1733540000.2", "6A0E3D1C-1B5F-4C47-9A43-0E6A2E4C8F11"),
               "M i 1 @1733540000200 cpu`user/8"},
              {"H\t" + kSrc + "\t1733540000.250\t" + kUuid + "\tlatency|ST[env:prod,dc:x]\tAAA=\n",
               "H h [AAA=] @1733540000250 latency|ST[env:prod,dc:x]/7"},
              {mline("i", "1", "m", "1.007"), "M i 1 @1007 m/1"},
              {mline("i", "1", "m", "18446744073709551.615"), "M i 1 @18446744073709551615 m/1"},
              {mline("i", "1"), "! not the kind expected", MESSAGE_TYPE_H},
              {bundle("0", "x"), "other"}};
  for (auto &r : rows) EXPECT_EQ(decode(r.line, r.preset), r.want) << r.line;
  auto t = [](const std::string &time) { return mline("i", "1", "m", time); };
  auto id = [](const std::string &id) { return mline("i", "1", "m", "1", id); };
  const std::pair<std::string, std::vector<std::string>> refused[] = {
      {"kind is not one character", {"", "MM\t" + kSrc}},
      {"not a sample kind", {"X\t" + kSrc + "\t1\t" + kUuid + "\tm\ti\t1"}},
      {"wrong number of fields",
       {"M\t" + kSrc + "\t1\t" + kUuid + "\tm\ti", "H\t" + kSrc + "\t1\t" + kUuid + "\tm\tAAA=\tx"}},
      {"source shorter than 8 bytes", {mline("i", "1").replace(2, kSrc.size(), "short")}},
      {"bad time",
       {t("18446744073709551.616"), t("18446744073709552"), t("1.2500"), t("1."), t(".5"), t("-1")}},
      {"bad check id",
       {id(kUuid + "1"), id("6a0e3d1c11b5f-4c47-9a43-0e6a2e4c8f11"),
        id("6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8fg1")}},
      {"empty metric name", {mline("i", "1", ""), mline("i", "1", "|ST[a:b]")}},
      {"tag section does not end the metric field", {mline("i", "1", "m|ST[a:b")}},
      {"unknown value type", {mline("", "1"), mline("ii", "1"), mline("x", "[[null]]")}},
      {"value malformed or out of range for its type",
       {mline("i", "1\t2"), mline("i", ""), mline("i", "2147483648"), mline("i", "-2147483649"),
        mline("i", "1.5"), mline("I", "-1"), mline("I", "4294967296"), mline("l", "9223372036854775808"),
        mline("L", "18446744073709551616"), mline("n", "nan"), mline("n", "1e400"), mline("h", "1")}},
      {"line over 16 MiB or holding a NUL byte", {mline("i", "1", std::string("m\0x", 3))}}};
  for (auto &[why, lines] : refused)
    for (auto &l : lines) EXPECT_EQ(decode(l), "! " + why) << l;
}

// what this proves: bundles expand to their lines up to exact limits; each broken part gets its own reason
TEST(Harl, BundleRows) {
  const std::string hline = "H\t" + kSrc + "\t1\t" + kUuid + "\th\tAAA=";
  const std::string text = mline("i", "1") + "\n" + hline + "\nX\tother\n\nlast";
  const std::string lines = "5:" + mline("i", "1") + "|" + hline + "|X\tother||last";
  const std::string z = zlib("a\nb\nc"), good = b64(z), corrupt = z.substr(0, 5) + "\x55" + z.substr(6);
  struct row {
    std::string payload, want;
    int max_lines = -1;
  } rows[] = {{bundle("5", b64(zlib(text))), lines},
              {bundle("5", b64(zlib(text + "\n"))), lines},
              {bundle("0", b64(zlib(""))), "0:"},
              {bundle("3", good), "3:a|b|c", 3},
              {bundle("3", good), "! bundle: count malformed or out of range", 2}};
  for (auto &r : rows) EXPECT_EQ(expand(r.payload, r.max_lines), r.want) << r.payload;
  const std::string big(HARL_BUNDLE_MAX_TEXT, 'a'), max = std::to_string(HARL_BUNDLE_MAX_LINES);
  std::string many = "x";
  for (int i = 1; i < HARL_BUNDLE_MAX_LINES; i++) many += "\nx";
  EXPECT_EQ(expand(bundle("1", b64(zlib(big)))).size(), 2 + big.size());
  EXPECT_EQ(expand(bundle(max, b64(zlib(many)))).size(), max.size() + 1 + many.size());
  const std::pair<std::string, std::vector<std::string>> refused[] = {
      {"wrong number of fields", {"", "B\t" + kSrc + "\t1\t3"}},
      {"not a bundle line", {"M\t" + kSrc + "\t1\t3\t" + good}},
      {"source shorter than 8 bytes", {"B\tshort\t1\t3\t" + good}},
      {"bad time", {"B\t" + kSrc + "\tnow\t3\t" + good}},
      {"count malformed or out of range",
       {bundle("", good), bundle("-1", good), bundle("99999999999", good),
        bundle(std::to_string(HARL_BUNDLE_MAX_LINES + 1), b64(zlib(many + "\nx")))}},
      {"count differs from the lines found",
       {bundle("2", good), bundle("4", good), bundle(max, b64(zlib(many + "\nx")))}},
      {"bad base64", {bundle("3", good.substr(0, good.size() - 1)), bundle("3", "!!!!")}},
      {"broken or truncated zlib data",
       {bundle("3", b64(z.substr(0, z.size() - 3))), bundle("3", b64(corrupt))}},
      {"bytes after the zlib stream", {bundle("3", b64(z + "xyz"))}},
      {"inflated text holds a NUL byte", {bundle("2", b64(zlib(std::string("a\n\0", 3))))}},
      {"inflated text over 16 MiB", {bundle("1", b64(zlib(big + "a")))}}};
  for (auto &[why, payloads] : refused)
    for (auto &p : payloads) EXPECT_EQ(expand(p), "! bundle: " + why) << p.substr(0, 100);
}
