/* zint time and identity: monotonic clocks for uptime and intervals, wall time, and random (v4)
 * UUIDs with their 36-character text form. Every module that names a check goes through these. */
#ifndef ZINT_TIME_H
#define ZINT_TIME_H

#include "zint/zint_common.h"

#include <sys/time.h>

/* libuuid is not a dependency; its header, when some other library pulls it in, defines the same
 * 16-byte type, so ours steps aside. */
#if !defined(_UUID_UUID_H) && !defined(ZINT_UUID_T_DEFINED)
#define ZINT_UUID_T_DEFINED 1
typedef unsigned char uuid_t[16];
#endif

typedef uint64_t zint_hrtime_t;

/* Nanoseconds on CLOCK_MONOTONIC: never jumps with the wall clock, so differences measure uptime. */
uint64_t zint_get_nanos(void);
/* The same monotonic clock, for interval measurement. */
zint_hrtime_t zint_gethrtime(void);
/* Wall time; tz is ignored (pass null). 0 on success, -1 with errno otherwise. */
int zint_gettimeofday(struct timeval *tv, void *tz);

/* Fills out with a random version-4 UUID from the kernel's random source. */
void zint_uuid_generate(uuid_t out);
/* Writes the 36-character lower-case text plus its NUL into out (at least 37 bytes). */
void zint_uuid_unparse_lower(const uuid_t in, char *out);
/* Parses the 8-4-4-4-12 hex text (either case). The text must be exactly 36 characters followed by
 * its NUL; no more than 37 bytes of in are read. 0 on success; -1 on bad text, out untouched. */
int zint_uuid_parse(const char *in, uuid_t out);
/* The same for a text of len bytes without a terminator; nothing past in[len-1] is read. */
int zint_uuid_parse_len(const char *in, size_t len, uuid_t out);

#endif
