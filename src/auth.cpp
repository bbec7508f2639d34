/* auth: JWT access tokens checked at every websocket upgrade, their grants checked at every watch, and the
 * operators' token of /stats.json and /metrics. The algorithm is the configured key's: HS256 (HMAC-SHA256),
 * RS256 (RSA PKCS#1 v1.5 with SHA-256) or ES256 (ECDSA P-256 with SHA-256); every signature and digest is
 * OpenSSL's. Tokens are never logged, counted by text or kept past the check. */
#include "auth.h"

#include "vorn_stats.h"
#include "zint/zint_conf.h"
#include "zint/zint_json.h"
#include "zint/zint_logsafe.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <strings.h>

stats_handle_t *auth_refused_err_counter;
stats_handle_t *forbidden_err_counter;

struct auth_verifier {
  const char *alg;    /* "HS256", "RS256" or "ES256": the only one a token may name */
  std::string secret; /* HS256 key */
  EVP_PKEY *pkey;     /* RS256/ES256 key; owned */
  std::string issuer, audience;
  int64_t leeway_s;
};

namespace {

/* A token longer than this is no token of ours (the HTTP header bound is 16 KiB anyway). */
constexpr size_t AUTH_TOKEN_MAX = 8192;
constexpr size_t AUTH_HMAC_MIN_KEY = 32;

/* Written by auth_init on the start-up thread, read-only afterwards. */
auth_verifier_t *ws_verifier = nullptr; /* null: websocket upgrades need no token */
unsigned char stats_token_sha[32];      /* SHA-256 of the operators' token */
bool stats_token_set = false;

struct json_put {
  void operator()(zint_json_object *o) const { zint_json_object_put(o); }
};
using json_ptr = std::unique_ptr<zint_json_object, json_put>;

/* The file's bytes with one trailing newline removed; false with *err when it cannot be read. */
bool read_secret_file(const std::string &path, std::string *out, std::string *err) {
  FILE *f = fopen(path.c_str(), "rb");
  out->clear();
  char buf[4096];
  size_t n = 0;
  while (f && (n = fread(buf, 1, sizeof buf, f)) > 0 && out->size() < (1u << 20)) out->append(buf, n);
  bool failed = !f || ferror(f);
  int e = errno;
  if (f) fclose(f);
  OPENSSL_cleanse(buf, sizeof buf);
  if (failed) {
    *err = "cannot read '" + path + "': " + strerror(e);
    return false;
  }
  if (!out->empty() && out->back() == '\n') out->pop_back();
  return true;
}

/* base64url without padding (RFC 7515 section 2); false for any other character or length. */
bool b64url_decode(std::string_view in, std::string *out) {
  out->clear();
  if (in.size() % 4 == 1) return false;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : in) {
    int v = c >= 'A' && c <= 'Z'   ? c - 'A'
            : c >= 'a' && c <= 'z' ? c - 'a' + 26
            : c >= '0' && c <= '9' ? c - '0' + 52
            : c == '-'             ? 62
            : c == '_'             ? 63
                                   : -1;
    if (v < 0) return false;
    acc = (acc << 6) | uint32_t(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(char((acc >> bits) & 0xff));
    }
  }
  return true;
}

/* The decoded part as a JSON object, or null. */
json_ptr parse_object(std::string_view b64) {
  std::string text;
  if (!b64url_decode(b64, &text)) return nullptr;
  zint_json_tokener *tok = zint_json_tokener_new();
  json_ptr obj(zint_json_tokener_parse_ex(tok, text.data(), int(text.size())));
  bool ok = tok->err == 0 && zint_json_object_is_type(obj.get(), zint_json_type_object);
  zint_json_tokener_free(tok);
  return ok ? std::move(obj) : nullptr;
}

std::string b64url_encode(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                          reinterpret_cast<const unsigned char *>(in.data()), int(in.size()));
  out.resize(size_t(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char &c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

/* A NumericDate claim: seconds since the epoch, fractions dropped; false when absent or no number. */
bool numeric_date(zint_json_object *claims, const char *name, int64_t *out) {
  zint_json_object *v = zint_json_object_object_get(claims, name);
  if (!zint_json_object_is_type(v, zint_json_type_int) && !zint_json_object_is_type(v, zint_json_type_double))
    return false;
  *out = zint_json_object_get_int64(v);
  return true;
}

bool verify_signature(const auth_verifier_t *v, std::string_view input, const std::string &sig) {
  if (v->secret.size()) {
    unsigned char md[EVP_MAX_MD_SIZE];
    size_t mdlen = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, v->secret.data(), v->secret.size(),
                   reinterpret_cast<const unsigned char *>(input.data()), input.size(), md, sizeof md,
                   &mdlen))
      return false;
    return sig.size() == mdlen && CRYPTO_memcmp(md, sig.data(), mdlen) == 0;
  }
  std::string der = sig;
  if (strcmp(v->alg, "ES256") == 0) {
    /* JWS carries r and s as 32 bytes each; OpenSSL verifies the DER form of the pair. */
    if (sig.size() != 64) return false;
    ECDSA_SIG *es = ECDSA_SIG_new();
    BIGNUM *r = BN_bin2bn(reinterpret_cast<const unsigned char *>(sig.data()), 32, nullptr);
    BIGNUM *s = BN_bin2bn(reinterpret_cast<const unsigned char *>(sig.data()) + 32, 32, nullptr);
    bool owned = es && r && s && ECDSA_SIG_set0(es, r, s); /* es owns r and s from here */
    if (!owned) {
      BN_free(r);
      BN_free(s);
    }
    unsigned char *p = nullptr;
    int n = owned ? i2d_ECDSA_SIG(es, &p) : -1;
    ECDSA_SIG_free(es);
    if (n <= 0) return false;
    der.assign(reinterpret_cast<char *>(p), size_t(n));
    OPENSSL_free(p);
  }
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  bool ok = md && EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, v->pkey) == 1 &&
            EVP_DigestVerify(md, reinterpret_cast<const unsigned char *>(der.data()), der.size(),
                             reinterpret_cast<const unsigned char *>(input.data()), input.size()) == 1;
  EVP_MD_CTX_free(md);
  return ok;
}

/* "aud" names audience: the text itself or an array holding it. */
bool audience_named(zint_json_object *aud, const std::string &audience) {
  const char *one = zint_json_object_get_string(aud);
  if (one) return audience == one;
  for (size_t i = 0; i < zint_json_object_array_length(aud); i++) {
    const char *a = zint_json_object_get_string(zint_json_object_array_get_idx(aud, i));
    if (a && audience == a) return true;
  }
  return false;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out) c = char(tolower((unsigned char) c));
  return out;
}

/* "vorn_checks" into g; false when present and not an array of texts. */
bool read_grant(zint_json_object *claims, auth_grant_t *g) {
  zint_json_object *list = zint_json_object_object_get(claims, "vorn_checks");
  if (!list) return true;
  if (!zint_json_object_is_type(list, zint_json_type_array)) return false;
  for (size_t i = 0; i < zint_json_object_array_length(list); i++) {
    zint_json_object *e = zint_json_object_array_get_idx(list, i);
    if (!zint_json_object_is_type(e, zint_json_type_string)) return false;
    std::string_view id(zint_json_object_get_string(e), zint_json_object_get_string_len(e));
    if (id == "*")
      g->all = true;
    else
      g->checks.push_back(lower(id));
  }
  std::sort(g->checks.begin(), g->checks.end());
  return true;
}

/* The token of an upgrade: "Authorization: Bearer <token>", else the query's access_token. */
bool request_token(zint_http_session_ctx *ctx, std::string *out) {
  if (const char *h = zint_http_request_header(ctx, "Authorization")) {
    std::string_view v(h);
    if (v.size() > 7 && strncasecmp(h, "Bearer ", 7) == 0) {
      v.remove_prefix(7);
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
      out->assign(v);
      if (!out->empty()) return true;
    }
  }
  const char *q = zint_http_request_query(ctx, "access_token");
  if (!q || !*q) return false;
  out->assign(q);
  return true;
}

const char *refusal_body(auth_result_t r) {
  return r == AUTH_TOKEN_MISSING   ? "token missing\n"
         : r == AUTH_TOKEN_EXPIRED ? "token expired\n"
                                   : "token invalid\n";
}

void grant_free(void *g) { delete static_cast<auth_grant_t *>(g); }

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

/* Admits an upgrade that presents a valid token; the session keeps its grant and is closed with 1008 "token
 * expired" once the token's exp (with the leeway) has passed. */
void auth_upgrade_hook(zint_http_session_ctx *ctx, zint_http_upgrade_verdict_t *verdict) {
  std::string token;
  auto *g = new auth_grant_t;
  int64_t now = now_ms();
  const char *why = "no token presented";
  auth_result_t r =
      request_token(ctx, &token) ? auth_verify(ws_verifier, token, now / 1000, g, &why) : AUTH_TOKEN_MISSING;
  OPENSSL_cleanse(token.data(), token.size());
  if (r != AUTH_OK) {
    delete g;
    report_error(auth_refused_err_counter);
    ZINT_LOG_LIMITED_KEY(zint_error, why, "auth: websocket upgrade refused: %s\n", why);
    verdict->status = 401;
    verdict->body = refusal_body(r);
    verdict->header_name = "WWW-Authenticate";
    verdict->header_value = "Bearer";
    return;
  }
  verdict->session_data = g;
  verdict->session_data_free = grant_free;
  int64_t end_ms = (g->exp + ws_verifier->leeway_s) * 1000;
  zint_http_websocket_close_after(ctx, uint64_t(std::max<int64_t>(end_ms - now, 0)), 1008, "token expired");
}

/* An attribute of <vorn><auth>; false when absent. */
bool attr(const zint_conf_attrs_t &a, const char *name, std::string *out) {
  auto it = a.find(name);
  if (it == a.end()) return false;
  *out = it->second;
  return true;
}

} // namespace

auth_verifier_t *auth_verifier_new(const auth_settings_t &s, std::string *err) {
  if (s.hmac_key_file.empty() == s.public_key_file.empty()) {
    *err = "give exactly one of hmac_key_file and public_key_file";
    return nullptr;
  }
  if (s.leeway_s < 0 || s.leeway_s > 86400) {
    *err = "leeway_s must be a whole number in 0..86400";
    return nullptr;
  }
  std::unique_ptr<auth_verifier_t, void (*)(auth_verifier_t *)> v(new auth_verifier_t{}, auth_verifier_free);
  v->issuer = s.issuer;
  v->audience = s.audience;
  v->leeway_s = s.leeway_s;
  if (!s.hmac_key_file.empty()) {
    if (!read_secret_file(s.hmac_key_file, &v->secret, err)) return nullptr;
    if (v->secret.size() < AUTH_HMAC_MIN_KEY) {
      *err = "hmac_key_file '" + s.hmac_key_file + "' holds fewer than 32 bytes";
      return nullptr;
    }
    v->alg = "HS256";
    return v.release();
  }
  const std::string &path = s.public_key_file;
  FILE *f = fopen(path.c_str(), "r");
  if (!f) {
    *err = "cannot read '" + path + "': " + strerror(errno);
    return nullptr;
  }
  v->pkey = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
  fclose(f);
  char group[64] = "";
  size_t glen = 0;
  if (!v->pkey)
    *err = "'" + path + "' is not a PEM public key (BEGIN PUBLIC KEY)";
  else if (EVP_PKEY_is_a(v->pkey, "RSA") && EVP_PKEY_get_bits(v->pkey) >= 2048)
    v->alg = "RS256";
  else if (EVP_PKEY_is_a(v->pkey, "RSA"))
    *err = "'" + path + "' is an RSA key of fewer than 2048 bits";
  else if (EVP_PKEY_is_a(v->pkey, "EC") && EVP_PKEY_get_group_name(v->pkey, group, sizeof group, &glen) &&
           strcmp(group, "prime256v1") == 0)
    v->alg = "ES256";
  else
    *err = "'" + path + "' is neither an RSA key nor an EC key on P-256";
  return v->alg ? v.release() : nullptr;
}

void auth_verifier_free(auth_verifier_t *v) {
  if (!v) return;
  OPENSSL_cleanse(v->secret.data(), v->secret.size());
  EVP_PKEY_free(v->pkey);
  delete v;
}

auth_result_t auth_verify(const auth_verifier_t *v, std::string_view token, int64_t now_s,
                          auth_grant_t *grant, const char **why) {
  const char *unused;
  const char *&reason = why ? *why : unused;
  auto fail = [&reason](auth_result_t result, const char *what) {
    reason = what;
    return result;
  };
  if (token.empty()) return fail(AUTH_TOKEN_MISSING, "no token presented");
  size_t d1 = token.find('.'), d2 = d1 == std::string_view::npos ? d1 : token.find('.', d1 + 1);
  if (token.size() > AUTH_TOKEN_MAX || d2 == std::string_view::npos ||
      token.find('.', d2 + 1) != std::string_view::npos)
    return fail(AUTH_TOKEN_INVALID, "not three dot-separated parts");
  json_ptr header = parse_object(token.substr(0, d1));
  if (!header) return fail(AUTH_TOKEN_INVALID, "header is not base64url JSON");
  const char *alg = zint_json_object_get_string(zint_json_object_object_get(header.get(), "alg"));
  if (!alg || strcmp(alg, v->alg) != 0) return fail(AUTH_TOKEN_INVALID, "algorithm is not the key's");
  if (zint_json_object_object_get_ex(header.get(), "crit", nullptr))
    return fail(AUTH_TOKEN_INVALID, "header names critical extensions");
  std::string sig;
  if (!b64url_decode(token.substr(d2 + 1), &sig) || !verify_signature(v, token.substr(0, d2), sig))
    return fail(AUTH_TOKEN_INVALID, "signature does not verify");
  json_ptr claims = parse_object(token.substr(d1 + 1, d2 - d1 - 1));
  if (!claims) return fail(AUTH_TOKEN_INVALID, "claims are not base64url JSON");
  int64_t exp = 0, nbf = 0;
  if (!numeric_date(claims.get(), "exp", &exp)) return fail(AUTH_TOKEN_INVALID, "no exp claim");
  if (exp > INT64_MAX / 2000 || exp < -INT64_MAX / 2000)
    return fail(AUTH_TOKEN_INVALID, "exp out of range");
  if (now_s >= exp + v->leeway_s) return fail(AUTH_TOKEN_EXPIRED, "token expired");
  if (zint_json_object_object_get_ex(claims.get(), "nbf", nullptr) &&
      (!numeric_date(claims.get(), "nbf", &nbf) || nbf > now_s + v->leeway_s))
    return fail(AUTH_TOKEN_INVALID, "token not yet valid (nbf)");
  const char *iss = zint_json_object_get_string(zint_json_object_object_get(claims.get(), "iss"));
  if (!v->issuer.empty() && (!iss || v->issuer != iss)) return fail(AUTH_TOKEN_INVALID, "wrong issuer");
  if (!v->audience.empty() && !audience_named(zint_json_object_object_get(claims.get(), "aud"), v->audience))
    return fail(AUTH_TOKEN_INVALID, "wrong audience");
  *grant = auth_grant_t{};
  grant->exp = exp;
  if (!read_grant(claims.get(), grant))
    return fail(AUTH_TOKEN_INVALID, "vorn_checks is not an array of texts");
  return AUTH_OK;
}

std::string auth_sign_hs256(std::string_view key, std::string_view header, std::string_view claims) {
  std::string input = b64url_encode(header) + "." + b64url_encode(claims);
  unsigned char mac[EVP_MAX_MD_SIZE];
  size_t maclen = 0;
  if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                 reinterpret_cast<const unsigned char *>(input.data()), input.size(), mac, sizeof mac,
                 &maclen))
    return "";
  return input + "." + b64url_encode(std::string_view(reinterpret_cast<char *>(mac), maclen));
}

bool auth_grant_permits(const auth_grant_t &g, std::string_view check_id) {
  return g.all || std::binary_search(g.checks.begin(), g.checks.end(), lower(check_id));
}

bool auth_watch_permitted(const zint_http_rest_closure_t *restc, const char *check_id) {
  if (!ws_verifier) return true;
  const auto *g = static_cast<const auth_grant_t *>(restc->session_data);
  return g && check_id && auth_grant_permits(*g, check_id);
}

bool auth_stats_permitted(zint_http_session_ctx *ctx) {
  if (!stats_token_set) return true;
  const char *h = zint_http_request_header(ctx, "Authorization");
  bool bearer = h && strncasecmp(h, "Bearer ", 7) == 0;
  unsigned char md[32];
  unsigned int mdlen = 0;
  bool ok = bearer && EVP_Digest(h + 7, strlen(h + 7), md, &mdlen, EVP_sha256(), nullptr) &&
            CRYPTO_memcmp(md, stats_token_sha, sizeof md) == 0;
  if (ok) return true;
  report_error(auth_refused_err_counter);
  const char *body = bearer ? "token invalid\n" : "token missing\n";
  zint_http_response_status_set(ctx, 401, "Unauthorized");
  zint_http_response_header_set(ctx, "Content-Type", "text/plain");
  zint_http_response_header_set(ctx, "WWW-Authenticate", "Bearer");
  zint_http_response_append(ctx, body, strlen(body));
  zint_http_response_end(ctx);
  return false;
}

bool auth_init(void) {
  stats_ns_t *errors = stats_register_ns(stats_rec, nullptr, "errors");
  auth_refused_err_counter = stats_register(errors, "auth_refused", STATS_TYPE_COUNTER);
  forbidden_err_counter = stats_register(errors, "forbidden", STATS_TYPE_COUNTER);
  auto sections = zint_conf_get_elements("//vorn/auth");
  if (sections.empty()) return true;
  if (sections.size() > 1) {
    zint_log(zint_error, "auth: more than one <vorn><auth> element\n");
    return false;
  }
  const zint_conf_attrs_t &a = sections[0];
  static const char *const known[] = {"hmac_key_file", "public_key_file", "issuer",
                                      "audience",      "leeway_s",        "stats_token_file"};
  for (const auto &kv : a) {
    if (kv.first.empty() || std::find_if(std::begin(known), std::end(known),
                                         [&](const char *k) { return kv.first == k; }) != std::end(known))
      continue;
    zint_log(zint_error, "auth: unknown attribute %s of <vorn><auth>\n", ZINT_LOG_TEXT(kv.first.c_str()));
    return false;
  }
  auth_settings_t s;
  std::string leeway, stats_file, err;
  attr(a, "hmac_key_file", &s.hmac_key_file);
  attr(a, "public_key_file", &s.public_key_file);
  attr(a, "issuer", &s.issuer);
  attr(a, "audience", &s.audience);
  uint64_t lv = 0;
  if (attr(a, "leeway_s", &leeway)) {
    if (!zint_conf_parse_u64(leeway, 86400, &lv)) {
      zint_log(zint_error, "auth: leeway_s=\"%s\" is not a whole number in 0..86400\n",
               ZINT_LOG_TEXT(leeway.c_str()));
      return false;
    }
    s.leeway_s = int64_t(lv);
  }
  bool has_stats = attr(a, "stats_token_file", &stats_file);
  bool token_rules = !s.issuer.empty() || !s.audience.empty() || a.count("leeway_s");
  /* Only the operators' token: the websockets stay open. Claim rules without a key would look like protection
   * that is not there, so they need one. */
  if (!has_stats || !s.hmac_key_file.empty() || !s.public_key_file.empty() || token_rules) {
    ws_verifier = auth_verifier_new(s, &err);
    if (!ws_verifier) {
      zint_log(zint_error, "auth: %s\n", err.c_str());
      return false;
    }
    zint_http_set_upgrade_hook(auth_upgrade_hook);
  }
  if (has_stats) {
    std::string tok;
    if (!read_secret_file(stats_file, &tok, &err) || tok.empty()) {
      zint_log(zint_error, "auth: stats_token_file: %s\n",
               tok.empty() && err.empty() ? "the file is empty" : err.c_str());
      return false;
    }
    unsigned int mdlen = 0;
    ZINT_ASSERT(EVP_Digest(tok.data(), tok.size(), stats_token_sha, &mdlen, EVP_sha256(), nullptr));
    OPENSSL_cleanse(tok.data(), tok.size());
    stats_token_set = true;
  }
  zint_log(zint_error, "auth: websocket upgrades %s; statistics %s\n",
           ws_verifier ? (std::string("need ") + ws_verifier->alg + " tokens").c_str() : "need no token",
           stats_token_set ? "need the operators' token" : "are open");
  return true;
}
