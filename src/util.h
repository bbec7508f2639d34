/* util: small helpers shared by the service's modules. */
#ifndef VORN_UTIL_H
#define VORN_UTIL_H

/* Formats into a newly allocated text of exactly the needed size: measures, allocates len + 1
 * bytes, prints. On success len is the text length and buf the text (release it with free); on
 * failure (bad format, allocation) buf is null and len -1. Both are written in every case. */
void vorn_asprintf(int &len, char *&buf, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#endif
