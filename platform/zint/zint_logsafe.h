/* zint log hygiene: text that arrived from outside (clients, the bus, brokers, the database) is
 * escaped and cut before it reaches a log line, and call sites that a peer can trigger at will are
 * rate-limited, with one line saying how many of their messages were left out. */
#ifndef ZINT_LOGSAFE_H
#define ZINT_LOGSAFE_H

#include "zint/zint_common.h"

#include <atomic>
#include <cstdint>
#include <string>

/* Longest piece of foreign text a log line carries, in bytes of the input. */
#define ZINT_LOG_TEXT_MAX 200

/* A printable copy of at most max bytes of text: backslash as "\\", TAB/LF/CR as "\t", "\n",
 * "\r", other control bytes, DEL, UTF-8 encoded C1 controls and bytes that are not well-formed
 * UTF-8 as "\xNN"; well-formed UTF-8 is kept. A longer text is cut at a character boundary and
 * ends with "...(N bytes)", N being the whole length. Null text gives "(null)". */
std::string zint_log_clean(const char *text, size_t len, size_t max = ZINT_LOG_TEXT_MAX);
/* The same for a NUL-terminated text. */
std::string zint_log_clean(const char *text);
/* For a "%s" argument: the temporary lives until the end of the zint_log call's statement. */
#define ZINT_LOG_TEXT(s) (zint_log_clean(s).c_str())
#define ZINT_LOG_TEXTN(s, n) (zint_log_clean((s), (n)).c_str())

/* One rate-limited call site. Zero-initialised (static storage) is ready to use. */
typedef struct zint_log_limiter {
  std::atomic<uint64_t> window;     /* the second (monotonic) being counted */
  std::atomic<uint32_t> in_window;  /* messages of that second so far */
  std::atomic<uint64_t> suppressed; /* left out since the last line that was written */
} zint_log_limiter_t;

/* Messages each call site may write per second (default 10; 0 = no limit). */
void zint_log_limit_set(uint32_t per_second);
uint32_t zint_log_limit_get(void);

/* Decides for one message at monotonic second now_s: true when it may be written, with
 * *suppressed_out set to the number left out before it (to be reported first); false when it is
 * left out (and counted). */
zint_boolean zint_log_limiter_admit(zint_log_limiter_t *lim, uint64_t now_s, uint64_t *suppressed_out);

/* Writes the message unless its call site is over its limit this second. Before the first message
 * written after some were left out, a line "<site>: suppressed K similar messages" goes to the same
 * stream. True when the message was written (or the stream is off). */
zint_boolean zint_log_limited(zint_log_limiter_t *lim, const char *site, zint_log_stream_t ls,
                              const char *fmt, ...) __attribute__((format(printf, 4, 5)));

/* A call site whose messages fall into a few kinds (a static text per kind): each kind has its own
 * allowance, so a flood of one kind does not hide the first of another. Up to 8 kinds; further
 * kinds share the last one's allowance. Zero-initialised is ready to use. */
#define ZINT_LOG_KEYS 8
typedef struct zint_log_keyed_limiter {
  std::atomic<const char *> keys[ZINT_LOG_KEYS]; /* claimed once, never released */
  zint_log_limiter_t lim[ZINT_LOG_KEYS];
} zint_log_keyed_limiter_t;

/* As zint_log_limited, with the allowance of kind key (compared by address, then by text); the
 * summary line names the kind: "<site> (<key>): suppressed K similar messages". */
zint_boolean zint_log_limited_key(zint_log_keyed_limiter_t *kl, const char *site, const char *key,
                                  zint_log_stream_t ls, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

#define ZINT_LOG_STR2(x) #x
#define ZINT_LOG_STR(x) ZINT_LOG_STR2(x)
/* zint_log with a limiter of its own per call site. */
#define ZINT_LOG_LIMITED(ls, ...)                                                                  \
  do {                                                                                             \
    static zint_log_limiter_t zint_log_lim_;                                                       \
    zint_log_limited(&zint_log_lim_, __FILE__ ":" ZINT_LOG_STR(__LINE__), ls, __VA_ARGS__);        \
  } while (0)

/* zint_log with an allowance per kind of message (key: a static text) at this call site. */
#define ZINT_LOG_LIMITED_KEY(ls, key, ...)                                                         \
  do {                                                                                             \
    static zint_log_keyed_limiter_t zint_log_klim_;                                                \
    zint_log_limited_key(&zint_log_klim_, __FILE__ ":" ZINT_LOG_STR(__LINE__), key, ls, __VA_ARGS__); \
  } while (0)

#endif
