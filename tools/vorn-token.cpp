/* vorn-token: mints an HS256 access token for vorn-c's websocket sessions, signed with the service's
 * <vorn><auth hmac_key_file> key. The claims are "exp" (now + --ttl), "iat", "vorn_checks" (the granted check
 * ids, or ["*"]) and, when given, "iss" and "aud". Prints the token and a newline. */
#include "auth.h"

#include <boost/json.hpp>

#include <openssl/crypto.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace json = boost::json;

namespace {

int usage(const char *prog) {
  fprintf(stderr,
          "usage: %s --key-file FILE --checks ID,ID...|'*' --ttl DURATION "
          "[--issuer ISS] [--audience AUD]\n"
          "  Prints an HS256 token for vorn-c signed with the key in FILE (its "
          "bytes, one trailing\n"
          "  newline removed; at least 32 bytes). --checks names the checks it "
          "may watch ('*': all).\n"
          "  DURATION: a whole number of seconds, or with a suffix s, m, h or "
          "d (e.g. 15m, 1h).\n",
          prog);
  return 2;
}

/* Seconds of "90", "90s", "15m", "1h", "1d"; -1 when malformed, zero or above ten years. */
long long parse_ttl(const std::string &t) {
  size_t digits = 0;
  while (digits < t.size() && isdigit((unsigned char) t[digits])) digits++;
  if (digits == 0 || digits > 9 || t.size() - digits > 1) return -1;
  long long v = std::stoll(t.substr(0, digits));
  char unit = digits < t.size() ? t[digits] : 's';
  long long mul = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : -1;
  long long s = mul < 0 ? -1 : v * mul;
  return s > 0 && s <= 10LL * 366 * 86400 ? s : -1;
}

bool read_key(const std::string &path, std::string *key) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) key->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  OPENSSL_cleanse(buf, sizeof buf);
  if (!key->empty() && key->back() == '\n') key->pop_back();
  return ok;
}

} // namespace

int main(int argc, char **argv) {
  std::string key_file, checks, ttl_text, issuer, audience;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    std::string *dst = a == "--key-file"   ? &key_file
                       : a == "--checks"   ? &checks
                       : a == "--ttl"      ? &ttl_text
                       : a == "--issuer"   ? &issuer
                       : a == "--audience" ? &audience
                                           : nullptr;
    if (!dst || i + 1 >= argc) return usage(argv[0]);
    *dst = argv[++i];
  }
  long long ttl = parse_ttl(ttl_text);
  if (key_file.empty() || checks.empty() || ttl < 0) return usage(argv[0]);
  std::string key;
  if (!read_key(key_file, &key)) {
    fprintf(stderr, "vorn-token: cannot read %s: %s\n", key_file.c_str(), strerror(errno));
    return 1;
  }
  if (key.size() < 32) {
    fprintf(stderr, "vorn-token: %s holds fewer than 32 bytes\n", key_file.c_str());
    return 1;
  }
  json::array granted;
  for (size_t at = 0; at <= checks.size();) {
    size_t comma = std::min(checks.find(',', at), checks.size());
    std::string id = checks.substr(at, comma - at);
    for (char &c : id) c = char(tolower((unsigned char) c));
    if (id.empty() || (id == "*" && checks != "*")) {
      fprintf(stderr, "vorn-token: --checks takes check ids separated by "
                      "commas, or '*' alone\n");
      return 2;
    }
    granted.emplace_back(id);
    at = comma + 1;
  }
  long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  json::object claims{{"exp", now + ttl}, {"iat", now}, {"vorn_checks", granted}};
  if (!issuer.empty()) claims["iss"] = issuer;
  if (!audience.empty()) claims["aud"] = audience;
  std::string token = auth_sign_hs256(key, R"({"alg":"HS256","typ":"JWT"})", json::serialize(claims));
  OPENSSL_cleanse(key.data(), key.size());
  if (token.empty()) {
    fprintf(stderr, "vorn-token: HMAC-SHA256 failed\n");
    return 1;
  }
  printf("%s\n", token.c_str());
  return 0;
}
