/* zint log hygiene: escaping of foreign text and per-call-site rate limits of log lines. Both are
 * lock-free; the limiter is approximate under contention (a message or two more in a second), never
 * loses the count of what it left out. */
#include "zint/zint_logsafe.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

static std::atomic<uint32_t> limit_per_second{10};

void zint_log_limit_set(uint32_t per_second) { limit_per_second.store(per_second, std::memory_order_relaxed); }

uint32_t zint_log_limit_get(void) { return limit_per_second.load(std::memory_order_relaxed); }

/* Length of the well-formed UTF-8 sequence at p (at most n bytes available), or 0. Overlong forms,
 * surrogates and values above U+10FFFF are not well-formed. */
static size_t utf8_len(const unsigned char *p, size_t n) {
  unsigned char c = p[0];
  size_t len;
  uint32_t cp;
  if (c >= 0xc2 && c <= 0xdf) len = 2, cp = c & 0x1f;
  else if (c >= 0xe0 && c <= 0xef) len = 3, cp = c & 0x0f;
  else if (c >= 0xf0 && c <= 0xf4) len = 4, cp = c & 0x07;
  else return 0;
  if (len > n) return 0;
  for (size_t i = 1; i < len; i++) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3f);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff))) return 0;
  if (cp >= 0xd800 && cp <= 0xdfff) return 0;
  if (cp >= 0x80 && cp <= 0x9f) return 0; /* C1 controls: terminals act on them */
  return len;
}

std::string zint_log_clean(const char *text, size_t len, size_t max) {
  if (!text) return "(null)";
  static const char hex[] = "0123456789abcdef";
  const unsigned char *p = (const unsigned char *) text;
  std::string out;
  out.reserve((len < max ? len : max) + 16);
  size_t i = 0;
  while (i < len) {
    unsigned char c = p[i];
    size_t step = 1;
    if (c >= 0x80) step = utf8_len(p + i, len - i);
    if (i + (step ? step : 1) > max) break;
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c < 0x20 || c == 0x7f || (c >= 0x80 && step == 0)) {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
      step = 1;
    } else {
      out.append(text + i, step);
    }
    i += step;
  }
  if (i < len) out += "...(" + std::to_string(len) + " bytes)";
  return out;
}

std::string zint_log_clean(const char *text) { return zint_log_clean(text, text ? strlen(text) : 0); }

zint_boolean zint_log_limiter_admit(zint_log_limiter_t *lim, uint64_t now_s, uint64_t *suppressed_out) {
  *suppressed_out = 0;
  uint32_t max = limit_per_second.load(std::memory_order_relaxed);
  uint64_t w = lim->window.load(std::memory_order_relaxed);
  if (w != now_s && lim->window.compare_exchange_strong(w, now_s, std::memory_order_relaxed))
    lim->in_window.store(0, std::memory_order_relaxed);
  uint32_t n = lim->in_window.fetch_add(1, std::memory_order_relaxed) + 1;
  if (max && n > max) {
    lim->suppressed.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  *suppressed_out = lim->suppressed.exchange(0, std::memory_order_relaxed);
  return true;
}

static const char *site_base(const char *site) {
  const char *base = site ? strrchr(site, '/') : nullptr;
  return base ? base + 1 : site ? site : "log";
}

static zint_boolean log_limited_v(zint_log_limiter_t *lim, const char *site, const char *key,
                                  zint_log_stream_t ls, const char *fmt, va_list ap) {
  if (!zint_log_stream_enabled(ls)) return true;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t skipped = 0;
  if (!zint_log_limiter_admit(lim, (uint64_t) ts.tv_sec, &skipped)) return false;
  if (skipped && key)
    zint_log(ls, "%s (%s): suppressed %llu similar messages\n", site_base(site), zint_log_clean(key).c_str(),
             (unsigned long long) skipped);
  else if (skipped)
    zint_log(ls, "%s: suppressed %llu similar messages\n", site_base(site), (unsigned long long) skipped);
  zint_vlog(ls, fmt, ap);
  return true;
}

zint_boolean zint_log_limited(zint_log_limiter_t *lim, const char *site, zint_log_stream_t ls,
                              const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  zint_boolean r = log_limited_v(lim, site, nullptr, ls, fmt, ap);
  va_end(ap);
  return r;
}

zint_boolean zint_log_limited_key(zint_log_keyed_limiter_t *kl, const char *site, const char *key,
                                  zint_log_stream_t ls, const char *fmt, ...) {
  size_t slot = ZINT_LOG_KEYS - 1;
  const char *k = key ? key : "";
  for (size_t i = 0; i < ZINT_LOG_KEYS; i++) {
    const char *cur = kl->keys[i].load(std::memory_order_acquire);
    if (!cur && kl->keys[i].compare_exchange_strong(cur, k, std::memory_order_acq_rel)) cur = k;
    if (cur == k || strcmp(cur, k) == 0) {
      slot = i;
      break;
    }
  }
  va_list ap;
  va_start(ap, fmt);
  zint_boolean r = log_limited_v(&kl->lim[slot], site, k, ls, fmt, ap);
  va_end(ap);
  return r;
}
