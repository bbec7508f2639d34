/* zint time and identity: thin wrappers over the kernel clocks and random source, plus the UUID
 * text codec. The parser is strict because UUID text arrives from clients and the bus. */
#include "zint/zint_time.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

uint64_t zint_get_nanos(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t) ts.tv_sec * 1000000000ULL + (uint64_t) ts.tv_nsec;
}

zint_hrtime_t zint_gethrtime(void) { return zint_get_nanos(); }

int zint_gettimeofday(struct timeval *tv, void *) { return gettimeofday(tv, nullptr); }

/* Reads exactly len random bytes; falls back to /dev/urandom where getrandom is unavailable. */
static bool fill_random(unsigned char *buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = getrandom(buf + got, len - got, 0);
    if (n > 0) {
      got += (size_t) n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  if (got == len) return true;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < len) {
    ssize_t n = read(fd, buf + got, len - got);
    if (n > 0) {
      got += (size_t) n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fd);
  return got == len;
}

void zint_uuid_generate(uuid_t out) {
  unsigned char b[16];
  /* Without a random source every identity would collide; nothing sensible can continue. */
  ZINT_ASSERT(fill_random(b, sizeof b));
  b[6] = (unsigned char) ((b[6] & 0x0f) | 0x40); /* version 4 */
  b[8] = (unsigned char) ((b[8] & 0x3f) | 0x80); /* RFC 4122 variant */
  memcpy(out, b, sizeof b);
}

void zint_uuid_unparse_lower(const uuid_t in, char *out) {
  static const char hex[] = "0123456789abcdef";
  char *p = out;
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = hex[in[i] >> 4];
    *p++ = hex[in[i] & 0x0f];
  }
  *p = '\0';
}

int zint_uuid_parse_len(const char *in, size_t len, uuid_t out) {
  if (in == nullptr || len != 36) return -1;
  unsigned char b[16];
  size_t bi = 0;
  for (size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (in[i] != '-') return -1;
      i++;
      continue;
    }
    int hi = zint_hex_value(in[i]), lo = zint_hex_value(in[i + 1]);
    if (hi < 0 || lo < 0) return -1;
    b[bi++] = (unsigned char) (hi << 4 | lo);
    i += 2;
  }
  memcpy(out, b, sizeof b);
  return 0;
}

int zint_uuid_parse(const char *in, uuid_t out) {
  if (in == nullptr) return -1;
  size_t len = strnlen(in, 37);
  if (len != 36) return -1;
  return zint_uuid_parse_len(in, len, out);
}
