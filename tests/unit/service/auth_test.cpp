/* Token checks of src/auth with keys made per run (HMAC, RSA, P-256): rows of tokens and their answers. */
#include "auth.h"
#include "support/process.h"
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/pem.h>

using vorn_test::TempDir;
namespace {
const int64_t kNow = 1800000000;
const std::string kA = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f21", kB = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f22";
std::string b64url(const std::string &in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  out.resize(EVP_EncodeBlock((unsigned char *) &out[0], (const unsigned char *) in.data(), (int) in.size()));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char &c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}
std::string file(const TempDir &d, const std::string &name, const std::string &bytes, EVP_PKEY *pub = 0) {
  std::string path = d.path() + "/" + name;
  FILE *f = fopen(path.c_str(), "w");
  pub ? PEM_write_PUBKEY(f, pub) : (int) fwrite(bytes.data(), 1, bytes.size(), f);
  return fclose(f), path;
}
/* A token, signed as JWS has it: HMAC with secret, else with k (ES256 as raw r||s). */
std::string token(const char *alg, const std::string &claims, EVP_PKEY *k, const std::string &secret) {
  std::string in = b64url(std::string("{\"alg\":\"") + alg + "\"}") + "." + b64url(claims);
  unsigned char out[1024], rs[64];
  size_t n = sizeof out;
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  if (!k)
    EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret.data(), secret.size(),
              (const unsigned char *) in.data(), in.size(), out, n, &n);
  else
    EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, k),
        EVP_DigestSign(md, out, &n, (const unsigned char *) in.data(), in.size());
  EVP_MD_CTX_free(md);
  if (!k || !EVP_PKEY_is_a(k, "EC")) return in + "." + b64url(std::string((char *) out, n));
  const unsigned char *p = out;
  ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, (long) n);
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs, 32), BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs + 32, 32);
  return ECDSA_SIG_free(sig), in + "." + b64url(std::string((char *) rs, 64));
}
} // namespace

// what this proves: for each kind of key a token passes only with the key's algorithm, its own signature,
// exp ahead (leeway counted), nbf passed, the configured iss and aud, and grants the listed checks; keys of
// other kinds (EC off P-256, RSA below 2048 bits) are refused
TEST(Auth, TokenVerdictsPerKeyKind) {
  TempDir dir;
  std::string secret = "a-secret-of-forty-bytes-made-for-tests-0";
  EVP_PKEY *rsa = EVP_RSA_gen(2048), *ec = EVP_EC_gen("P-256");
  const std::string exp = ",\"exp\":" + std::to_string(kNow + 60),
                    iss = "{\"iss\":\"vorn-test\",\"aud\":[\"x\",\"dash\"]";
  const std::string grant_a = iss + exp + ",\"vorn_checks\":[\"" + kA + "\"]}",
                    all = iss + exp + ",\"vorn_checks\":[\"*\"]}";
  for (EVP_PKEY *k : {(EVP_PKEY *) nullptr, rsa, ec}) {
    const char *alg = !k ? "HS256" : k == rsa ? "RS256" : "ES256";
    auth_settings_t s;
    std::string key_file = k ? file(dir, alg, "", k) : file(dir, alg, secret + "\n"), err;
    (k ? s.public_key_file : s.hmac_key_file) = key_file;
    s.issuer = "vorn-test", s.audience = "dash";
    auth_verifier_t *v = auth_verifier_new(s, &err);
    ASSERT_NE(nullptr, v) << alg << ": " << err;
    auto mint = [&](const std::string &claims) { return token(alg, claims, k, secret); };
    std::string good = mint(grant_a), bad_sig = good,
                mid = good.substr(good.find('.'), good.rfind('.') - good.find('.'));
    bad_sig[good.size() - 5] = good[good.size() - 5] == 'A' ? 'B' : 'A';
    std::string other = k ? token("HS256", grant_a, nullptr, vorn_test::read_file_text(key_file))
                          : token("RS256", grant_a, rsa, ""); /* the HS256 secret: the public PEM */
    auto at = [&](int64_t t, const char *name) {
      return iss + exp + ",\"" + name + "\":" + std::to_string(kNow + t) + "}";
    };
    const auth_result_t ok = AUTH_OK, bad = AUTH_TOKEN_INVALID;
    struct {
      std::string name, token;
      auth_result_t want;
    } rows[] = {
        {"valid", good, ok},
        {"payload changed", std::string(good).replace(good.find(mid), mid.size(), "." + b64url(all)), bad},
        {"signature changed", bad_sig, bad},
        {"alg none", b64url("{\"alg\":\"none\"}") + mid + ".", bad},
        {"another algorithm", other, bad},
        {"the key's signature, another alg named", token(k ? "HS256" : "none", grant_a, k, secret), bad},
        {"expired beyond the leeway", mint(at(-30, "exp")), AUTH_TOKEN_EXPIRED},
        {"expired within the leeway", mint(at(-29, "exp")), ok},
        {"nbf in the future", mint(at(31, "nbf")), bad},
        {"wrong iss", mint("{\"iss\":\"other\",\"aud\":\"dash\"" + exp + "}"), bad},
        {"wrong aud", mint("{\"iss\":\"vorn-test\",\"aud\":\"other\"" + exp + "}"), bad},
        {"no exp", mint(iss + "}"), bad}};
    for (auto &row : rows) {
      auth_grant_t g;
      EXPECT_EQ(row.want, auth_verify(v, row.token, kNow, &g, nullptr)) << alg << ": " << row.name;
    }
    auth_grant_t one, none;
    ASSERT_TRUE(!auth_verify(v, good, kNow, &one, nullptr) &&
                !auth_verify(v, mint(iss + exp + "}"), kNow, &none, nullptr));
    EXPECT_TRUE(auth_grant_permits(one, kA) && !auth_grant_permits(one, kB) && !auth_grant_permits(none, kA));
    auth_verifier_free(v);
  }
  std::string err;
  for (auto [k, why] : {std::pair{EVP_EC_gen("P-384"), "P-256"}, {EVP_RSA_gen(1024), "2048 bits"}}) {
    auth_settings_t s; /* keys of other kinds are refused */
    s.public_key_file = file(dir, "other", "", k);
    EXPECT_TRUE(!auth_verifier_new(s, &err) && err.find(why) != std::string::npos) << err;
    EVP_PKEY_free(k);
  }
  EVP_PKEY_free(rsa), EVP_PKEY_free(ec);
}
