/* util: small helpers shared by the service's modules. */
#ifndef VORN_UTIL_H
#define VORN_UTIL_H

#include <cstdint>
#include <ctime>

/* Formats into a newly allocated text of exactly the needed size: measures, allocates len + 1
 * bytes, prints. On success len is the text length and buf the text (release it with free); on
 * failure (bad format, allocation) buf is null and len -1. Both are written in every case. */
void vorn_asprintf(int &len, char *&buf, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

/* Whole seconds of the monotonic clock, from its coarse variant (ticks of a few milliseconds): read
 * for every bus payload, it is a fraction of the cost of the precise clock, and its users count
 * seconds. Any thread. */
inline uint64_t vorn_monotonic_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (uint64_t) ts.tv_sec;
}

#endif
