/* Fuzzes the token reader: the input, split at its first newline into header and claims, is signed with the
 * fuzzer's key to reach every check. A passing token has alg HS256, exp ahead, a sorted lower-case grant. */
#include "auth.h"
#include "fuzz_support.h"
#include <unistd.h>
#include <algorithm>
#include <fstream>

namespace {
const int64_t kNow = 1800000000;
const std::string kKey = "a-fuzzing-key-of-thirty-two-byte";
auth_verifier_t *verifier;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::quiet_logs();
  std::string path = "/tmp/vorn-auth-fuzz-" + std::to_string(getpid()), err;
  std::ofstream(path) << kKey;
  auth_settings_t s;
  s.hmac_key_file = path;
  verifier = auth_verifier_new(s, &err);
  unlink(path.c_str());
  FUZZ_REQUIRE(verifier, err);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view in((const char *) data, size), header = in.substr(0, in.find('\n'));
  auth_grant_t g;
  FUZZ_REQUIRE(auth_verify(verifier, in, kNow, &g, nullptr) != AUTH_OK, in);
  std::string token = auth_sign_hs256(kKey, header, in.substr(std::min(in.size(), header.size() + 1)));
  if (auth_verify(verifier, token, kNow, &g, nullptr) != AUTH_OK) return 0;
  FUZZ_REQUIRE(boost::json::parse(std::string(header)).at("alg") == "HS256", in); /* it parses: it passed */
  FUZZ_REQUIRE(g.exp > kNow - 30 && std::is_sorted(g.checks.begin(), g.checks.end()), in);
  for (const std::string &c : g.checks) FUZZ_REQUIRE(std::none_of(c.begin(), c.end(), isupper), c);
  return 0;
}
