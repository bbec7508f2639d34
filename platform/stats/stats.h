/* stats: the process's tree of named statistics. Namespaces nest; each value is a counter, an
 * unsigned or signed 64-bit value or a string. Adds are lock-free atomics (they sit on hot paths);
 * registration and string sets take the recorder's mutex. The whole tree prints as plain JSON. */
#ifndef STATS_STATS_H
#define STATS_STATS_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

typedef enum : int { /* int underneath: any value a caller passes is a valid one to refuse */
  STATS_TYPE_STRING = 0,  /* text; stats_set copies it (null prints as JSON null) */
  STATS_TYPE_INT64 = 3,   /* signed value (a gauge that may legitimately go below zero) */
  STATS_TYPE_UINT64 = 4,  /* unsigned value: a gauge that goes up and down, or a set value */
  STATS_TYPE_COUNTER = 5, /* monotonically growing count */
} stats_type_t;

typedef struct stats_recorder stats_recorder_t;
typedef struct stats_ns stats_ns_t;         /* a namespace node of the tree */
typedef struct stats_handle stats_handle_t; /* one named value under a namespace */

/* Output function of stats_recorder_output_json: returns len when the bytes were taken (a short
 * count means "took that many, call again with the rest"), or -1 to stop the output. */
typedef ssize_t (*stats_output_func_t)(void *closure, const char *buf, size_t len);

/* A new, empty recorder. Never null (allocation failure aborts). */
stats_recorder_t *stats_recorder_alloc(void);
/* Frees a recorder and every node and handle in it; every handle of it becomes invalid. The
 * service never calls it (its recorder lives as long as the process); tests do. Null is ignored. */
void stats_recorder_free(stats_recorder_t *rec);

/* The root namespace of rec; null only when rec is null. */
stats_ns_t *stats_recorder_global_ns(stats_recorder_t *rec);

/* The namespace `name` under `parent` (under the root when parent is null), created at first use.
 * Registering an existing namespace name returns that same node, so modules can share one.
 * Null when rec or name is null or empty, when parent belongs to another recorder, or when the
 * name is already taken by a value in that namespace. */
stats_ns_t *stats_register_ns(stats_recorder_t *rec, stats_ns_t *parent, const char *name);

/* The value `name` of the given type under ns, created at first use (0, or a null string).
 * Registering an existing value name with the same type returns the same handle. Null when ns
 * or name is null or empty, the type is unknown, or the name is taken by a namespace or by a
 * value of another type. */
stats_handle_t *stats_register(stats_ns_t *ns, const char *name, stats_type_t type);

/* Adds delta to a COUNTER, UINT64 or INT64 value: one relaxed atomic add, no lock, any thread.
 * Ignored for a null handle and for strings. Unsigned values wrap internally like uint64_t, so
 * a -1 that overtakes its +1 on another thread is repaired when the +1 lands; see the output
 * rule for how such a transient reading prints. */
void stats_add64(stats_handle_t *h, int64_t delta);

/* Sets a value. `type` must be the handle's type: STRING takes a const char * text (the library
 * keeps its own copy; null clears it to JSON null); UINT64 and COUNTER take a pointer to
 * uint64_t, INT64 a pointer to int64_t. Returns false (and changes nothing) for a null handle,
 * a type mismatch, or a null pointer for a numeric type. */
bool stats_set(stats_handle_t *h, stats_type_t type, const void *value);

/* Reads a numeric value as stored (tests and diagnostics); 0 for null or a string handle. */
uint64_t stats_get_u64(const stats_handle_t *h);
int64_t stats_get_i64(const stats_handle_t *h);

/* Writes the whole tree as JSON through outf(closure, buf, len):
 * - a namespace is an object, its members in registration order;
 * - COUNTER, UINT64 and INT64 values are JSON integers, strings JSON strings (escaped; invalid
 *   UTF-8 written as U+FFFD, so the text is always valid UTF-8);
 * - an unsigned reading at or above 2^63 can only be a gauge that is transiently below zero
 *   (a decrement seen before its increment): it prints as 0, never as 18446744073709551615.
 * Flags:
 * - pretty: true = one member per line, indented by two spaces per level (for people);
 *   false = compact, no whitespace at all (e.g. {"errors":{"total":0},"requests":3}).
 * - include_empty: true = namespaces without any value print as {}; false = they are left out
 *   (recursively: a namespace holding only empty namespaces is empty).
 * The tree is snapshotted under the recorder's mutex and written after it is released, so a slow
 * output function never blocks registration. Returns the number of bytes written, or -1 when rec
 * or outf is null, or outf returned -1 (or took nothing); output stops at the first failure. */
ssize_t stats_recorder_output_json(stats_recorder_t *rec, bool pretty, bool include_empty,
                                   stats_output_func_t outf, void *closure);

/* One value as stats_recorder_visit shows it. Everything it points to belongs to the visit and is
 * valid during the callback only. */
typedef struct stats_value_view {
  const char *const *path; /* namespace names outermost first, then the value's own name */
  size_t depth;            /* number of entries in path (at least 1) */
  stats_type_t type;
  uint64_t u64;            /* COUNTER and UINT64, read the way the JSON output prints it
                              (a transiently negative gauge reads 0) */
  int64_t i64;             /* INT64 */
  const char *text;        /* STRING: the text (NUL-terminated, may hold other NUL bytes before
                              text_len), or null when the value was never set or cleared */
  size_t text_len;
} stats_value_view_t;

typedef void (*stats_visit_func_t)(void *closure, const stats_value_view_t *value);

/* Calls visit once per value of the tree, depth first in registration order (the order of the JSON
 * output). The tree is snapshotted under the recorder's mutex and visited after it is released,
 * so the callback may call into the library. Returns the number of values visited, -1 when rec or
 * visit is null. */
ssize_t stats_recorder_visit(stats_recorder_t *rec, stats_visit_func_t visit, void *closure);

#endif
