// Tests of the metric-message library: line decoding for every value type, refusal of every
// malformed field, bundle expansion and its limits. Every input is copied into a heap block of
// exactly its length, so a read past the end shows up under the address sanitizer.
#include "harl/harl.h"
#include "hist/hist.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kSrc = "broker-01.example";
const std::string kUuid = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11";

/* A decoded message whose line lives in an exactly sized heap block owned by the message. */
struct decoded {
  harl_metric_message_t *m = nullptr;
  int rc = 0;
  explicit decoded(const std::string &line, int want = -1, harl_message_type type = MESSAGE_TYPE_NONE) {
    m = (harl_metric_message_t *) calloc(1, sizeof(*m));
    char *copy = (char *) malloc(line.size() ? line.size() : 1);
    memcpy(copy, line.data(), line.size());
    m->original_message = copy;
    m->original_message_len = line.size();
    m->original_allocated = true;
    m->type = type;
    rc = harl_message_decoder_parse_line(m, want);
  }
  ~decoded() { harl_metric_message_free(m); }
  std::string name() const { return std::string(m->id.name, (size_t) m->id.name_len_with_tags); }
};

std::string mline(const std::string &type, const std::string &value, const std::string &metric = "cpu`user",
                  const std::string &time = "1733540000") {
  return "M\t" + kSrc + "\t" + time + "\t" + kUuid + "\t" + metric + "\t" + type + "\t" + value;
}

struct bundle_result {
  int rc = 0;
  std::vector<std::string> lines;
  bool array_null = true;
};

bundle_result expand(const std::string &payload, int max_lines = -1) {
  char *copy = (char *) malloc(payload.size() ? payload.size() : 1);
  memcpy(copy, payload.data(), payload.size());
  char **lines = (char **) 0x1;
  bundle_result r;
  r.rc = harl_check_log_b_to_sm(copy, (int) payload.size(), &lines, max_lines);
  free(copy);
  r.array_null = lines == nullptr;
  for (int i = 0; lines && i < r.rc; i++) {
    r.lines.emplace_back(lines[i] ? lines[i] : "<null>");
    free(lines[i]);
  }
  free(lines);
  return r;
}

std::string b64(const std::string &bytes) {
  std::string out(bytes.size() / 3 * 4 + 8, '\0');
  ssize_t n = hist_b64_encode((const unsigned char *) bytes.data(), bytes.size(), out.data(), out.size());
  out.resize((size_t) n);
  return out;
}

std::string zlib(const std::string &text) {
  uLongf n = compressBound((uLong) text.size());
  std::string out(n, '\0');
  EXPECT_EQ(compress2((Bytef *) out.data(), &n, (const Bytef *) text.data(), (uLong) text.size(), 6), Z_OK);
  out.resize(n);
  return out;
}

std::string bundle(const std::string &count, const std::string &data) {
  return "B\t" + kSrc + "\t1733540000.5\t" + count + "\t" + data + "\n";
}

} // namespace

// Each value type decodes into its union member with the fields the client message reads.
TEST(Harl, DecodesEveryValueType) {
  {
    decoded d(mline("i", "-42") + "\n");
    ASSERT_EQ(d.rc, 1);
    EXPECT_EQ(d.m->type, MESSAGE_TYPE_M);
    EXPECT_EQ(d.m->value.type, METRIC_INT32);
    EXPECT_EQ(d.m->value.value.v_int32, -42);
    EXPECT_FALSE(d.m->value.is_null);
    EXPECT_EQ(d.m->value.whence_ms, 1733540000000u);
    EXPECT_EQ(d.name(), "cpu`user");
    EXPECT_EQ(std::string(d.m->id.source, (size_t) d.m->id.source_len), kSrc);
    const unsigned char want[16] = {0x6a, 0x0e, 0x3d, 0x1c, 0x1b, 0x5f, 0x4c, 0x47,
                                    0x9a, 0x43, 0x0e, 0x6a, 0x2e, 0x4c, 0x8f, 0x11};
    EXPECT_EQ(memcmp(d.m->id.id, want, 16), 0);
  }
  EXPECT_EQ(decoded(mline("0", "2147483647")).m->value.value.v_int32, INT32_MAX);
  EXPECT_EQ(decoded(mline("I", "4294967295")).m->value.value.v_uint32, UINT32_MAX);
  EXPECT_EQ(decoded(mline("l", "-9223372036854775808")).m->value.value.v_int64, INT64_MIN);
  EXPECT_EQ(decoded(mline("L", "18446744073709551615")).m->value.value.v_uint64, UINT64_MAX);
  EXPECT_EQ(decoded(mline("n", "-1.5e3")).m->value.value.v_double, -1500.0);
  EXPECT_EQ(decoded(mline("n", "0.1")).m->value.value.v_double, 0.1);
  {
    decoded d(mline("s", "hello\tworld with spaces"));
    ASSERT_EQ(d.rc, 1);
    EXPECT_EQ(d.m->value.type, METRIC_STRING);
    EXPECT_STREQ(d.m->value.value.v_string, "hello\tworld with spaces");
  }
  {
    decoded d(mline("s", ""));
    ASSERT_EQ(d.rc, 1);
    EXPECT_STREQ(d.m->value.value.v_string, "");
  }
  for (const char *t : {"i", "I", "l", "L", "n", "s", "0"}) {
    decoded d(mline(t, "[[null]]"));
    ASSERT_EQ(d.rc, 1) << t;
    EXPECT_TRUE(d.m->value.is_null) << t;
    EXPECT_EQ(d.m->value.type, (metric_type_t) t[0]) << t;
  }
}

// Histogram lines carry their base64 text as the string value; tag sections stay part of the name.
TEST(Harl, HistogramsAndTags) {
  decoded h("H\t" + kSrc + "\t1733540000.250\t" + kUuid + "\tlatency|ST[env:prod,dc:x]\tAAA=\n");
  ASSERT_EQ(h.rc, 1);
  EXPECT_EQ(h.m->type, MESSAGE_TYPE_H);
  EXPECT_EQ(h.m->value.type, METRIC_HISTOGRAM);
  EXPECT_STREQ(h.m->value.value.v_string, "AAA=");
  EXPECT_EQ(h.m->value.whence_ms, 1733540000250u);
  EXPECT_EQ(h.name(), "latency|ST[env:prod,dc:x]");
  EXPECT_EQ(h.m->id.name_len, 7);

  // The wanted kind filters without calling the other kind malformed.
  EXPECT_EQ(decoded(mline("i", "1"), 'H').rc, 0);
  EXPECT_EQ(decoded(mline("i", "1"), 'M').rc, 1);
  // A caller-set kind that disagrees with the line is refused.
  EXPECT_EQ(decoded(mline("i", "1"), -1, MESSAGE_TYPE_H).rc, -1);
  // A bundle is not a sample.
  EXPECT_EQ(decoded(bundle("0", b64(zlib("")))).rc, 0);
  // Upper-case check ids decode to the same bytes.
  std::string upper = kUuid;
  for (char &c : upper) c = (char) toupper(c);
  decoded u("M\t" + kSrc + "\t1\t" + upper + "\tm\ti\t1");
  ASSERT_EQ(u.rc, 1);
  EXPECT_EQ(u.m->id.id[0], 0x6a);
}

// Time fields: whole seconds, 1 to 3 fraction digits, and nothing else.
TEST(Harl, TimeField) {
  struct {
    const char *text;
    bool ok;
    uint64_t ms;
  } cases[] = {{"1733540000", true, 1733540000000u}, {"1733540000.2", true, 1733540000200u},
               {"1733540000.25", true, 1733540000250u}, {"1733540000.007", true, 1733540000007u},
               {"0", true, 0}, {"18446744073709551", true, 18446744073709551000u},
               {"18446744073709551.615", true, UINT64_MAX}, {"18446744073709551.616", false, 0},
               {"18446744073709552", false, 0}, {"99999999999999999999999", false, 0},
               {"1733540000.2500", false, 0}, {"1733540000.", false, 0}, {".5", false, 0},
               {"-1", false, 0}, {"+1", false, 0}, {"1e9", false, 0}, {"", false, 0},
               {" 1", false, 0}, {"1.2.3", false, 0}, {"1.-2", false, 0}};
  for (auto &c : cases) {
    decoded d(mline("i", "1", "m", c.text));
    EXPECT_EQ(d.rc, c.ok ? 1 : -1) << c.text;
    if (c.ok) {
      EXPECT_EQ(d.m->value.whence_ms, c.ms) << c.text;
    }
  }
}

// Every field missing or malformed, out-of-range numbers and wrong UUIDs are refused with -1.
TEST(Harl, RefusesBrokenLines) {
  const std::string h = "H\t" + kSrc + "\t1733540000\t" + kUuid + "\tm\t";
  std::vector<std::string> bad = {
      "", "\n", "M", "M\t", "X\t" + kSrc + "\t1\t" + kUuid + "\tm\ti\t1", "MM\t" + kSrc + "\t1\t" + kUuid + "\tm\ti\t1",
      // fields missing
      "M\t" + kSrc, "M\t" + kSrc + "\t1733540000", "M\t" + kSrc + "\t1733540000\t" + kUuid,
      "M\t" + kSrc + "\t1733540000\t" + kUuid + "\tm", "M\t" + kSrc + "\t1733540000\t" + kUuid + "\tm\ti",
      "H\t" + kSrc + "\t1733540000\t" + kUuid + "\tm",
      // too many fields
      mline("i", "1\t2"), h + "AAA=\textra",
      // source
      "M\tshort\t1733540000\t" + kUuid + "\tm\ti\t1", "M\t\t1733540000\t" + kUuid + "\tm\ti\t1",
      // check
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f1"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f111"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6a0e3d1c11b5f-4c47-9a43-0e6a2e4c8f11"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8fg1"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6z0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f11"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f1-"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, "6a0e3d1c-1b5f-4c47-9a4 -0e6a2e4c8f11"),
      mline("i", "1").replace(mline("i", "1").find(kUuid), 36, ""),
      // metric
      mline("i", "1", ""), mline("i", "1", "|ST[a:b]"), mline("i", "1", "m|ST[a:b"),
      // type
      mline("", "1"), mline("x", "1"), mline("ii", "1"), mline("h", "1"), mline("H", "1"),
      // values
      mline("i", ""), mline("i", "2147483648"), mline("i", "-2147483649"), mline("i", "1.5"), mline("i", " 1"),
      mline("i", "1 "), mline("i", "0x10"), mline("I", "-1"), mline("I", "4294967296"),
      mline("l", "9223372036854775808"), mline("L", "-1"), mline("L", "18446744073709551616"),
      mline("L", "99999999999999999999999999999"), mline("n", ""), mline("n", "abc"), mline("n", "1.5x"),
      mline("n", "inf"), mline("n", "nan"), mline("n", "1e400"), mline("0", "1.5"), mline("i", "[[null]] "),
      mline("i", "[[NULL]]"),
      // a null value does not make an unknown type code acceptable (the type could not hold it)
      mline("x", "[[null]]"), mline("\xb0", "[[null]]"), mline(std::string(1, '\0'), "[[null]]"),
      // embedded NUL
      std::string("M\t") + kSrc + "\t1\t" + kUuid + "\tm" + std::string(1, '\0') + "x\ti\t1",
  };
  for (const std::string &line : bad) {
    decoded d(line);
    EXPECT_EQ(d.rc, -1) << "[" << line << "]";
  }
  EXPECT_EQ(harl_message_decoder_parse_line(nullptr, -1), -1);
  harl_metric_message_t *m = (harl_metric_message_t *) calloc(1, sizeof(*m));
  EXPECT_EQ(harl_message_decoder_parse_line(m, -1), -1);  // no line at all
  harl_metric_message_free(m);
}

// A message can be decoded again in place; the previous string value is released, not leaked.
TEST(Harl, RedecodeReleasesPreviousValue) {
  std::string a = mline("s", "first"), b = mline("i", "7");
  harl_metric_message_t *m = (harl_metric_message_t *) calloc(1, sizeof(*m));
  m->original_message = a.data();
  m->original_message_len = a.size();
  ASSERT_EQ(harl_message_decoder_parse_line(m, -1), 1);
  m->original_message = b.data();
  m->original_message_len = b.size();
  ASSERT_EQ(harl_message_decoder_parse_line(m, -1), 1);
  EXPECT_EQ(m->value.value.v_int32, 7);
  m->original_message = "garbage";
  m->original_message_len = 7;
  EXPECT_EQ(harl_message_decoder_parse_line(m, -1), -1);
  harl_metric_message_free(m);  // line not allocated: left alone
}

// A bundle hands back its lines in order, whatever their kind, and the builder round-trips.
TEST(Harl, BundleExpansion) {
  std::vector<std::string> in = {mline("i", "1"), "H\t" + kSrc + "\t1\t" + kUuid + "\th\tAAA=", "X\tother kind",
                                 "", mline("s", "last")};
  std::string text;
  for (size_t i = 0; i < in.size(); i++) text += (i ? "\n" : "") + in[i];
  bundle_result r = expand(bundle("5", b64(zlib(text))));
  ASSERT_EQ(r.rc, 5);
  EXPECT_EQ(r.lines, in);
  // A trailing newline in the text is a terminator, not an extra empty line.
  EXPECT_EQ(expand(bundle("5", b64(zlib(text + "\n")))).lines, in);
  // Empty bundle: no lines, no array.
  r = expand(bundle("0", b64(zlib(""))));
  EXPECT_EQ(r.rc, 0);
  EXPECT_TRUE(r.array_null);

  size_t len = 0;
  char *built = harl_bundle_build(kSrc.c_str(), "1733540000.5", text.data(), text.size(), 5, &len);
  ASSERT_NE(built, nullptr);
  EXPECT_EQ(strlen(built), len);
  EXPECT_EQ(expand(std::string(built, len)).lines, in);
  free(built);
  EXPECT_EQ(harl_bundle_build("short", "1", "a", 1, 1, nullptr), nullptr);
  EXPECT_EQ(harl_bundle_build("with\ttab.....", "1", "a", 1, 1, nullptr), nullptr);
  EXPECT_EQ(harl_bundle_build(kSrc.c_str(), "1\t2", "a", 1, 1, nullptr), nullptr);
}

// Broken bundles are refused as a whole: fields, base64, zlib, trailing bytes and lying counts.
TEST(Harl, RefusesBrokenBundles) {
  std::string z = zlib("a\nb\nc");
  std::string good = b64(z);
  ASSERT_EQ(expand(bundle("3", good)).rc, 3);
  std::string corrupt = z;
  corrupt[z.size() / 2] ^= 0x55;
  std::vector<std::string> bad = {
      "", "B", "B\t" + kSrc + "\t1\t3", bundle("3", good).substr(1),
      "B\tshort\t1\t3\t" + good, "B\t" + kSrc + "\tnow\t3\t" + good, bundle("", good), bundle("-1", good),
      bundle("x", good), bundle("99999999999", good), bundle("100001", good),
      bundle("2", good), bundle("4", good),                                  // count lies
      bundle("3", good.substr(0, good.size() - 1)), bundle("3", "!!!!"),    // bad base64
      bundle("3", good + "\tx"), bundle("3", ""),                           // extra field, no data
      bundle("3", b64("not zlib at all")),                                  // bad zlib
      bundle("3", b64(z.substr(0, z.size() - 3))),                          // truncated zlib
      bundle("3", b64(corrupt)),                                            // corrupt zlib
      bundle("3", b64(z + "xyz")),                                          // bytes after the stream
      bundle("2", b64(zlib(std::string("a\n") + '\0'))),                    // NUL in the text
      "M\t" + kSrc + "\t1\t3\t" + good,                                     // not a bundle
  };
  for (const std::string &p : bad) {
    bundle_result r = expand(p);
    EXPECT_EQ(r.rc, -1) << "[" << p << "]";
    EXPECT_TRUE(r.array_null) << p;
  }
  char **lines = (char **) 0x1;
  EXPECT_EQ(harl_check_log_b_to_sm(nullptr, 0, &lines, -1), -1);
  EXPECT_EQ(lines, nullptr);
  EXPECT_EQ(harl_check_log_b_to_sm("B", -5, &lines, -1), -1);
  // A caller's tighter line limit applies.
  EXPECT_EQ(expand(bundle("3", good), 2).rc, -1);
  EXPECT_EQ(expand(bundle("3", good), 3).rc, 3);
}

// The text and line limits are exact: 16 MiB or 100,000 lines pass, one more is refused.
TEST(Harl, BundleLimits) {
  std::string big(HARL_BUNDLE_MAX_TEXT, 'a');
  bundle_result r = expand(bundle("1", b64(zlib(big))));
  ASSERT_EQ(r.rc, 1);
  EXPECT_EQ(r.lines[0].size(), big.size());
  big.push_back('a');
  EXPECT_EQ(expand(bundle("1", b64(zlib(big)))).rc, -1);
  std::string many;
  for (int i = 0; i < HARL_BUNDLE_MAX_LINES; i++) many += i ? "\nx" : "x";
  EXPECT_EQ(expand(bundle(std::to_string(HARL_BUNDLE_MAX_LINES), b64(zlib(many)))).rc, HARL_BUNDLE_MAX_LINES);
  many += "\nx";
  EXPECT_EQ(expand(bundle(std::to_string(HARL_BUNDLE_MAX_LINES + 1), b64(zlib(many)))).rc, -1);
  EXPECT_EQ(expand(bundle(std::to_string(HARL_BUNDLE_MAX_LINES), b64(zlib(many)))).rc, -1);
}

// A zlib bomb (256 MiB of newlines in about 256 KiB) is refused while the process's peak memory grows
// by far less than the bomb's size.
TEST(Harl, ZlibBombRefusedWithBoundedMemory) {
  z_stream zs{};
  ASSERT_EQ(deflateInit2(&zs, 9, Z_DEFLATED, 15, 9, Z_RLE), Z_OK);
  std::string chunk(1 << 20, '\n'), z(1 << 21, '\0');
  size_t have = 0;
  for (int i = 0; i < 256; i++) {
    zs.next_in = (Bytef *) chunk.data();
    zs.avail_in = (uInt) chunk.size();
    while (zs.avail_in) {
      if (have == z.size()) z.resize(z.size() * 2);
      zs.next_out = (Bytef *) z.data() + have;
      zs.avail_out = (uInt) (z.size() - have);
      ASSERT_NE(deflate(&zs, i == 255 ? Z_FINISH : Z_NO_FLUSH), Z_STREAM_ERROR);
      have = z.size() - zs.avail_out;
    }
  }
  for (int rc = Z_OK; rc != Z_STREAM_END;) {
    if (have == z.size()) z.resize(z.size() * 2);
    zs.next_out = (Bytef *) z.data() + have;
    zs.avail_out = (uInt) (z.size() - have);
    rc = deflate(&zs, Z_FINISH);
    have = z.size() - zs.avail_out;
  }
  deflateEnd(&zs);
  z.resize(have);
  std::string payload = bundle("50000", b64(z));
  chunk = {};
  struct rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  EXPECT_EQ(expand(payload).rc, -1);
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB of peak growth";
}
