/* zint JSON: reference-counted JSON values, a one-shot tokener (strict parser) and a compact
 * writer. JSON null is the null pointer, as everywhere in this API. Members keep insertion order;
 * int64, uint64 and double stay distinct; every written text is valid UTF-8. */
#ifndef ZINT_JSON_H
#define ZINT_JSON_H

#include <cstddef>
#include <cstdint>

#include "zint/zint_common.h"

typedef enum {
  zint_json_type_null = 0,
  zint_json_type_boolean = 1,
  zint_json_type_double = 2,
  zint_json_type_int = 3, /* int64 or uint64, see zint_json_overflow_t */
  zint_json_type_object = 4,
  zint_json_type_array = 5,
  zint_json_type_string = 6,
} zint_json_type;

/* How an integer's 64 bits read: as int64 (the default) or as uint64. Switching the mode keeps
 * the bits, so new_int(-1) switched to uint64 writes 18446744073709551615. */
typedef enum {
  zint_json_overflow_int64 = 0,
  zint_json_overflow_uint64 = 1,
} zint_json_overflow_t;

typedef struct zint_json_object zint_json_object;
/* One member of an object, for iteration in insertion (= document) order. */
typedef struct zint_json_entry zint_json_entry;

/* ---- references ----
 * Every new_* and every parse returns an object holding one reference, owned by the caller.
 * Adding a value to an object or array hands that reference over to the container. The counts
 * are atomic, so threads may share values; mutating or serialising one object from two threads
 * at once is not supported. */

/* Takes one more reference; returns obj (null stays null). */
zint_json_object *zint_json_object_get(zint_json_object *obj);
/* Releases one reference; the last one frees obj and releases its members. 1 when obj was freed,
 * 0 otherwise (also for null). */
int zint_json_object_put(zint_json_object *obj);

/* ---- type ---- */
zint_json_type zint_json_object_get_type(const zint_json_object *obj); /* null -> type_null */
zint_boolean zint_json_object_is_type(const zint_json_object *obj, zint_json_type type);

/* ---- construction ---- (allocation failure is fatal; none of these returns null unless said) */
zint_json_object *zint_json_object_new_object(void);
zint_json_object *zint_json_object_new_array(void);
zint_json_object *zint_json_object_new_null(void); /* null: JSON null is the null pointer */
zint_json_object *zint_json_object_new_boolean(zint_boolean b);
zint_json_object *zint_json_object_new_int(int32_t i);
zint_json_object *zint_json_object_new_int64(int64_t i);
zint_json_object *zint_json_object_new_uint64(uint64_t u);
zint_json_object *zint_json_object_new_double(double d); /* NaN and infinities write as null */
/* A copy of the text up to its NUL; a null text gives JSON null (null). */
zint_json_object *zint_json_object_new_string(const char *s);
/* A copy of at most len bytes of s, stopping early at a NUL byte, so a length larger than the
 * text never reads past its end; a null s gives JSON null (null). */
zint_json_object *zint_json_object_new_string_len(const char *s, size_t len);
/* A copy of exactly len bytes, NUL bytes included (s may be null only when len is 0). */
zint_json_object *zint_json_object_new_string_bytes(const char *s, size_t len);

/* ---- setters ---- 1 on success, 0 when obj is not of the matching type (nothing changes). */
int zint_json_object_set_int_overflow(zint_json_object *obj, zint_json_overflow_t mode);
zint_json_overflow_t zint_json_object_get_int_overflow(const zint_json_object *obj);
int zint_json_object_set_int(zint_json_object *obj, int32_t v);   /* mode becomes int64 */
int zint_json_object_set_int64(zint_json_object *obj, int64_t v); /* mode becomes int64 */
int zint_json_object_set_uint64(zint_json_object *obj, uint64_t v); /* mode becomes uint64 */
int zint_json_object_set_double(zint_json_object *obj, double v);
int zint_json_object_set_boolean(zint_json_object *obj, zint_boolean v);

/* ---- objects ---- */
/* Adds val under a copy of key, taking over the caller's reference to val (val may be null for
 * JSON null). An existing member of that name keeps its position and gets the new value (the old
 * one is released). 0 on success; -1 when obj is not an object, key is null or val is obj itself:
 * val is then released all the same, so a caller never leaks by ignoring the result. */
int zint_json_object_object_add(zint_json_object *obj, const char *key, zint_json_object *val);
/* The same with a key of klen bytes (may contain NUL). */
int zint_json_object_object_add_len(zint_json_object *obj, const char *key, size_t klen,
                                     zint_json_object *val);
/* The member's value, borrowed (take a reference to keep it); null when obj is not an object,
 * the member is absent, or its value is JSON null. */
zint_json_object *zint_json_object_object_get(const zint_json_object *obj, const char *key);
/* Tells absent from null: true when the member exists; *val (if val is non-null) gets the
 * borrowed value or null. */
zint_boolean zint_json_object_object_get_ex(const zint_json_object *obj, const char *key,
                                            zint_json_object **val);
/* Removes the member (releasing its value); later members keep their order. */
void zint_json_object_object_del(zint_json_object *obj, const char *key);
size_t zint_json_object_object_length(const zint_json_object *obj); /* 0 for a non-object */

/* Iteration in insertion order: head is null for an empty object or a non-object. Entries are
 * borrowed and stay valid until the object is changed or freed. */
zint_json_entry *zint_json_object_get_object_head(const zint_json_object *obj);
zint_json_entry *zint_json_entry_next(const zint_json_entry *e);
const char *zint_json_entry_key(const zint_json_entry *e); /* NUL-terminated copy of the key */
size_t zint_json_entry_key_len(const zint_json_entry *e);
zint_json_object *zint_json_entry_value(const zint_json_entry *e); /* borrowed; null for JSON null */

/* ---- arrays ---- */
/* Appends val, taking over the caller's reference. 0 on success; -1 (val released) when arr is
 * not an array or val is arr itself. */
int zint_json_object_array_add(zint_json_object *arr, zint_json_object *val);
size_t zint_json_object_array_length(const zint_json_object *arr); /* 0 for a non-array */
/* Borrowed element; null when out of range, not an array, or the element is JSON null. */
zint_json_object *zint_json_object_array_get_idx(const zint_json_object *arr, size_t idx);

/* ---- reading with conversion ----
 * None of these fails or crashes on a wrong type or null; numbers convert with clamping:
 *  get_boolean: boolean as is; numbers: non-zero; string: non-empty; others false.
 *  get_int / get_int64 / get_uint64: integers clamped to the target range (negative -> 0 for
 *    uint64); doubles truncated toward zero and clamped, NaN -> 0; booleans 0/1; a string whose
 *    whole text is a decimal integer converts (clamped), any other string 0; others 0.
 *  get_double: numbers as double; booleans 0/1; a string whose whole text is a number converts,
 *    any other string 0; others 0.
 *  get_string: the text of a string (valid until the object is freed); null for null and for
 *    every other type (a number is not silently turned into text). */
zint_boolean zint_json_object_get_boolean(const zint_json_object *obj);
int32_t zint_json_object_get_int(const zint_json_object *obj);
int64_t zint_json_object_get_int64(const zint_json_object *obj);
uint64_t zint_json_object_get_uint64(const zint_json_object *obj);
double zint_json_object_get_double(const zint_json_object *obj);
const char *zint_json_object_get_string(const zint_json_object *obj);
size_t zint_json_object_get_string_len(const zint_json_object *obj); /* 0 for a non-string */

/* ---- writing ----
 * Compact JSON (no spaces), members in insertion order, strings escaped (control characters,
 * quote, backslash; ill-formed UTF-8 written as U+FFFD), integers exact over the whole int64 and
 * uint64 range, doubles in the shortest form that reads back to the same double: plain notation
 * for 1e-6 <= |x| < 1e21 ("1.5", "0.5", "1733540000.123", an integral value as "2.0"), exponent
 * form outside it ("1e+21", "1e-7"); NaN and infinities as null. The text belongs to obj and
 * stays valid until obj is freed or serialised again after a change; null obj gives "null". */
const char *zint_json_object_to_json_string(zint_json_object *obj);
/* The same, also giving the text's length (without terminator) in *len. */
const char *zint_json_object_to_json_string_len(zint_json_object *obj, size_t *len);

/* ---- parsing ---- */
typedef enum {
  zint_json_tokener_success = 0,
  zint_json_tokener_error_depth = 1,            /* nested deeper than the tokener's limit */
  zint_json_tokener_error_parse_eof = 2,        /* the text ends before the value is complete */
  zint_json_tokener_error_parse_unexpected = 3, /* a syntax error, or anything after the value */
  zint_json_tokener_error_parse_utf8 = 4,       /* ill-formed UTF-8 inside a string */
  zint_json_tokener_error_size = 5,             /* length out of range */
  zint_json_tokener_error_memory = 6,           /* the parser ran out of memory */
} zint_json_tokener_error;

#define ZINT_JSON_TOKENER_DEFAULT_DEPTH 64
#define ZINT_JSON_TOKENER_MAX_DEPTH 1024 /* zint_json_tokener_new_ex caps larger limits */

typedef struct zint_json_tokener {
  zint_json_tokener_error err; /* result of the last parse; 0 = success */
  size_t char_offset;          /* bytes consumed by the last parse (where an error was found) */
  int max_depth;               /* nesting limit, fixed at creation */
  void *impl;                  /* parser state, reused across parses; owned by the tokener */
} zint_json_tokener;

zint_json_tokener *zint_json_tokener_new(void);
zint_json_tokener *zint_json_tokener_new_ex(int depth);
void zint_json_tokener_free(zint_json_tokener *tok); /* null is ignored */
/* Parses len bytes of text (len -1: up to its NUL) as exactly one complete JSON value, optionally
 * surrounded by whitespace. Each call is a whole parse of its own (no continuation across calls).
 * On success err is 0 and the result is the value (null for the text "null"); on failure err
 * says why and the result is null. Only standard JSON: no comments, NaN or trailing commas. */
zint_json_object *zint_json_tokener_parse_ex(zint_json_tokener *tok, const char *text, int len);
zint_json_tokener_error zint_json_tokener_get_error(const zint_json_tokener *tok);
const char *zint_json_tokener_error_desc(zint_json_tokener_error err);
/* One-shot parse of a NUL-terminated text; null on failure (and for "null"). */
zint_json_object *zint_json_tokener_parse(const char *text);

#endif
