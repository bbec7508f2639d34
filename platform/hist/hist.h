/* hist: the log-linear histogram codec. A histogram is a sorted set of decimal buckets
 * (two significant digits and a power of ten) with 64-bit counts; it travels on the bus as base64
 * text. Pure functions on byte buffers, no global state, safe to call from any thread. */
#ifndef HIST_HIST_H
#define HIST_HIST_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

/* One histogram; owned by whoever called hist_alloc, released with hist_free. Not locked: one
 * thread at a time. */
typedef struct histogram histogram_t;

/* Largest number of buckets a serialised histogram can hold (its count is a 16-bit field). */
#define HIST_MAX_BUCKETS 65535

histogram_t *hist_alloc(void);
void hist_free(histogram_t *h);

/* Number of buckets (each with a non-zero count, or present in the decoded text). */
int hist_bucket_count(const histogram_t *h);
/* Bucket idx (0 = lowest value): its value and count. 1 when idx exists, 0 otherwise (outputs
 * untouched). */
int hist_bucket_idx(const histogram_t *h, int idx, double *bucket, uint64_t *count);

/* Adds count samples to the bucket given by its digits: val in 10..99 or -99..-10 (value
 * val/10 * 10^exp), or val 0 for the zero bucket (exp ignored). 0 on success, -1 for an invalid
 * val or when the histogram already has HIST_MAX_BUCKETS buckets. Counts saturate at UINT64_MAX. */
int hist_insert_raw(histogram_t *h, int8_t val, int8_t exp, uint64_t count);
/* Adds count samples of value v to the bucket that holds it. -1 for a non-finite v, a magnitude
 * outside the representable decimal range, or a full histogram. */
int hist_insert(histogram_t *h, double v, uint64_t count);
/* The bucket digits (val, exp) that hold v; false for non-finite or unrepresentable v. */
bool hist_bucket_of(double v, int8_t *val, int8_t *exp);
/* The value of bucket (val, exp), exactly as hist_bucket_idx reports it. */
double hist_bucket_value(int8_t val, int8_t exp);

/* Replaces nothing: adds the buckets encoded in the base64 text (len bytes, need not be
 * terminated) to h. Returns the number of decoded bytes consumed (2 + 10 per bucket), or -1 for
 * bad base64, a truncated body or an invalid val; on -1 h is unchanged. */
ssize_t hist_deserialize_b64(histogram_t *h, const void *b64, size_t len);
/* Serialises h as padded base64 into a new NUL-terminated text (free() it); *len_out, when not
 * null, gets its length. Null on allocation failure. */
char *hist_serialize_b64(const histogram_t *h, size_t *len_out);

/* Standard-alphabet, padded base64 shared with the metric-message library. */
/* Decoded size bound for len bytes of base64. */
size_t hist_b64_decoded_max(size_t len);
/* Decodes len bytes of padded base64 into out (capacity cap). Returns the decoded length, or -1
 * for a length that is not a multiple of 4, a byte outside the alphabet, misplaced padding or a
 * too small out. Never reads past src + len. */
ssize_t hist_b64_decode(const char *src, size_t len, unsigned char *out, size_t cap);
/* Encodes len bytes into out (capacity cap, needs 4*ceil(len/3) + 1 for the NUL). Returns the
 * encoded length without the NUL, or -1 when out is too small. */
ssize_t hist_b64_encode(const unsigned char *src, size_t len, char *out, size_t cap);

#endif
