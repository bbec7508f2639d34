/* auth: signed access tokens (JWT) that admit websocket sessions and grant them checks, and the operators'
 * token of the statistics endpoints. Off unless <vorn><auth .../> is configured. The signatures are checked
 * by OpenSSL; the token's text (three base64url parts, JSON header and claims) is read here. */
#ifndef VORN_AUTH_H
#define VORN_AUTH_H

#include "stats/stats.h"
#include "zint/zint_http.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/* <vorn><auth> as written; files are read by auth_verifier_new. */
typedef struct auth_settings {
  std::string hmac_key_file;   /* HS256: the file's bytes are the key, one trailing newline removed */
  std::string public_key_file; /* PEM public key: RS256 for RSA, ES256 for EC P-256 */
  std::string issuer;          /* non-empty: tokens must carry this "iss" */
  std::string audience;        /* non-empty: tokens' "aud" (a text or an array) must name it */
  int64_t leeway_s = 30;       /* clock skew allowed on "exp" and "nbf" */
} auth_settings_t;

/* A loaded key with the claim rules; read-only once made, shared by every thread. */
typedef struct auth_verifier auth_verifier_t;

/* What a verified token grants one session; owned by the session (its upgrade data). */
typedef struct auth_grant {
  bool all = false;                /* "vorn_checks": ["*"] */
  std::vector<std::string> checks; /* the granted check ids, lower case, sorted */
  int64_t exp = 0;                 /* the token's "exp", seconds since the epoch */
} auth_grant_t;

typedef enum auth_result {
  AUTH_OK = 0,
  AUTH_TOKEN_MISSING, /* no token presented */
  AUTH_TOKEN_INVALID, /* malformed, another algorithm, bad signature, wrong claims, not yet valid */
  AUTH_TOKEN_EXPIRED, /* "exp" + leeway has passed */
} auth_result_t;

/* "errors"/"auth_refused" (tokens refused at upgrades and at the statistics endpoints) and
 * "errors"/"forbidden" (watches outside the grant); registered by auth_init. */
extern stats_handle_t *auth_refused_err_counter;
extern stats_handle_t *forbidden_err_counter;

/* Loads the one key of s: null with *err saying why when neither or both key files are named, a file cannot
 * be read, is not a key of a supported kind, or an HMAC key is shorter than 32 bytes. */
auth_verifier_t *auth_verifier_new(const auth_settings_t &s, std::string *err);
void auth_verifier_free(auth_verifier_t *v);
/* Checks token at now_s (seconds since the epoch): parts and header first (the header's "alg" must be the
 * key's, anything else is refused before a signature check), then the signature, then "exp" (required),
 * "nbf", "iss", "aud" and "vorn_checks" (absent: nothing granted). On AUTH_OK *grant holds the grant;
 * otherwise *why (when non-null) gets a fixed text that names no part of the token. Any thread. */
auth_result_t auth_verify(const auth_verifier_t *v, std::string_view token, int64_t now_s,
                          auth_grant_t *grant, const char **why);
/* Whether the grant covers check_id (compared without regard to case). */
bool auth_grant_permits(const auth_grant_t &g, std::string_view check_id);

/* A token of the header and claims texts (each a JSON object) signed with HMAC-SHA256 under key: what
 * tools/vorn-token prints for {"alg":"HS256","typ":"JWT"}. Empty when OpenSSL fails. */
std::string auth_sign_hs256(std::string_view key, std::string_view header, std::string_view claims);

/* Reads <vorn><auth>, registers the counters and, with a key, the upgrade hook. False (logged) when the
 * section is unusable: the caller ends start-up with status 1. Start-up thread. */
bool auth_init(void);
/* Whether the session may watch check_id: always without token checks, else per its grant. */
bool auth_watch_permitted(const zint_http_rest_closure_t *restc, const char *check_id);
/* For GET /stats.json and /metrics: true when no operators' token is configured or the request carries it;
 * otherwise answers 401 itself (counted) and returns false. */
bool auth_stats_permitted(zint_http_session_ctx *ctx);

#endif
