/* zint: the application framework's shared vocabulary: the boolean type, log streams, the one
 * fatal-assertion macro and hexadecimal digits. Every other framework header and every service
 * module includes this. */
#ifndef ZINT_COMMON_H
#define ZINT_COMMON_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

typedef bool zint_boolean;

/* A named log stream ("error", "debug", "debug/vorn", ...). Streams are created by the
 * configuration or on first lookup, never freed; a handle stays valid for the process's life. */
typedef struct zint_log_stream *zint_log_stream_t;

/* The framework's own streams, valid from static initialisation on (they write to stderr until the
 * configuration says otherwise). zint_debug is disabled unless -d or the configuration enables it. */
extern zint_log_stream_t zint_error;
extern zint_log_stream_t zint_debug;
extern zint_log_stream_t zint_notice;

/* Finds (or creates, disabled and without output) the stream of that name. Never null. */
zint_log_stream_t zint_log_stream_find(const char *name);
zint_boolean zint_log_stream_enabled(zint_log_stream_t ls);
/* Writes one formatted entry; costs one relaxed load when the stream is disabled. */
void zint_log(zint_log_stream_t ls, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void zint_vlog(zint_log_stream_t ls, const char *fmt, va_list ap);
/* Switch every stream to synchronous writes (before a fatal message) or back to a writer thread. */
void zint_log_go_synch(void);
void zint_log_go_asynch(void);

/* Logs "[FATAL] ..." synchronously on the error stream and aborts. */
[[noreturn]] void zint_fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* The one assertion of the system: only for what cannot happen (allocation failure, a broken
 * invariant, a missing job queue); never for anything a peer can cause. */
#define ZINT_ASSERT(expr)                                                                          \
  do {                                                                                             \
    if (__builtin_expect(!(expr), 0))                                                              \
      zint_fatal("[FATAL] assertion (%s) at %s:%d failed\n", #expr, __FILE__, __LINE__);           \
  } while (0)

/* The value of a hexadecimal digit (either case), or -1 for any other character. */
inline int zint_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

#endif
