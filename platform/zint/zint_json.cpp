/* zint JSON: the object model (reference-counted values, members in insertion order), the
 * writer (our own: exact integers, shortest round-trip doubles in plain notation, valid UTF-8)
 * and the tokener, which drives Boost.JSON's SAX parser to build our objects directly. */
#include "zint/zint_json.h"
#include "zint/zint_hash.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>

/* Keys this long or shorter live inside the entry: every key the service writes does. */
#define ZINT_JSON_KEY_INLINE 23

struct zint_json_entry {
  union {
    char inl[ZINT_JSON_KEY_INLINE + 1]; /* klen <= ZINT_JSON_KEY_INLINE */
    char *heap;                         /* longer keys: malloc'ed copy, owned by the entry */
  } k;
  size_t klen;           /* key length without the terminator (a key may contain NUL) */
  zint_json_object *val; /* owned reference; null for JSON null */
  bool last;             /* the object's last entry: tells entry_next where to stop */
};

struct zint_json_object {
  std::atomic<uint32_t> refs; /* references held; the last put frees the object */
  uint8_t type;               /* zint_json_type, fixed at creation */
  uint8_t overflow;           /* int: zint_json_overflow_t, how the 64 bits read */
  char *text;                 /* cached serialisation (malloc'ed), null until asked for */
  size_t text_len;
  union {
    bool b;
    uint64_t i; /* int: the bits of the int64 or uint64 */
    double d;
    struct {
      char *ptr; /* points just past the object: one allocation for both */
      size_t len;
    } s;
    struct {
      zint_json_entry *v; /* malloc'ed, insertion order */
      size_t n, cap;
      size_t *ix;         /* from json_index_from members on: the index (malloc'ed), else null */
      size_t ix_mask;     /* its slots - 1 */
    } o;
    struct {
      zint_json_object **v; /* malloc'ed; elements may be null */
      size_t n, cap;
    } a;
  } u;
};

/* ---- allocation ---- */

static zint_json_object *json_alloc(zint_json_type type, size_t extra) {
  void *mem = malloc(sizeof(zint_json_object) + extra);
  ZINT_ASSERT(mem);
  auto *obj = static_cast<zint_json_object *>(mem);
  memset(static_cast<void *>(obj), 0, sizeof *obj);
  new (&obj->refs) std::atomic<uint32_t>(1);
  obj->type = static_cast<uint8_t>(type);
  return obj;
}

static void *json_grow(void *v, size_t *cap, size_t elem, size_t first) {
  size_t ncap = *cap ? *cap * 2 : first;
  void *nv = nullptr;
  if (ncap <= SIZE_MAX / elem)
    nv = realloc(v, ncap * elem);
  ZINT_ASSERT(nv);
  *cap = ncap;
  return nv;
}

static const char *json_entry_key(const zint_json_entry *e) {
  return e->klen <= ZINT_JSON_KEY_INLINE ? e->k.inl : e->k.heap;
}

static void json_free(zint_json_object *obj) {
  switch (obj->type) {
  case zint_json_type_object:
    for (size_t i = 0; i < obj->u.o.n; i++) {
      zint_json_entry *e = &obj->u.o.v[i];
      if (e->klen > ZINT_JSON_KEY_INLINE)
        free(e->k.heap);
      zint_json_object_put(e->val);
    }
    free(obj->u.o.v);
    free(obj->u.o.ix);
    break;
  case zint_json_type_array:
    for (size_t i = 0; i < obj->u.a.n; i++)
      zint_json_object_put(obj->u.a.v[i]);
    free(obj->u.a.v);
    break;
  default:
    break;
  }
  free(obj->text);
  obj->refs.~atomic();
  free(obj);
}

zint_json_object *zint_json_object_get(zint_json_object *obj) {
  if (obj != nullptr)
    obj->refs.fetch_add(1, std::memory_order_relaxed);
  return obj;
}

int zint_json_object_put(zint_json_object *obj) {
  if (obj == nullptr)
    return 0;
  if (obj->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return 0;
  json_free(obj);
  return 1;
}

zint_json_type zint_json_object_get_type(const zint_json_object *obj) {
  return obj == nullptr ? zint_json_type_null : static_cast<zint_json_type>(obj->type);
}

zint_boolean zint_json_object_is_type(const zint_json_object *obj, zint_json_type type) {
  return zint_json_object_get_type(obj) == type;
}

/* ---- construction ---- */

zint_json_object *zint_json_object_new_object(void) { return json_alloc(zint_json_type_object, 0); }
zint_json_object *zint_json_object_new_array(void) { return json_alloc(zint_json_type_array, 0); }
zint_json_object *zint_json_object_new_null(void) { return nullptr; }

zint_json_object *zint_json_object_new_boolean(zint_boolean b) {
  zint_json_object *obj = json_alloc(zint_json_type_boolean, 0);
  obj->u.b = b;
  return obj;
}

zint_json_object *zint_json_object_new_int64(int64_t i) {
  zint_json_object *obj = json_alloc(zint_json_type_int, 0);
  obj->u.i = static_cast<uint64_t>(i);
  obj->overflow = zint_json_overflow_int64;
  return obj;
}

zint_json_object *zint_json_object_new_int(int32_t i) { return zint_json_object_new_int64(i); }

zint_json_object *zint_json_object_new_uint64(uint64_t u) {
  zint_json_object *obj = json_alloc(zint_json_type_int, 0);
  obj->u.i = u;
  obj->overflow = zint_json_overflow_uint64;
  return obj;
}

zint_json_object *zint_json_object_new_double(double d) {
  zint_json_object *obj = json_alloc(zint_json_type_double, 0);
  obj->u.d = d;
  return obj;
}

zint_json_object *zint_json_object_new_string_bytes(const char *s, size_t len) {
  if (s == nullptr)
    len = 0;
  ZINT_ASSERT(len < SIZE_MAX - sizeof(zint_json_object) - 1);
  zint_json_object *obj = json_alloc(zint_json_type_string, len + 1);
  obj->u.s.ptr = reinterpret_cast<char *>(obj + 1);
  obj->u.s.len = len;
  if (len)
    memcpy(obj->u.s.ptr, s, len);
  obj->u.s.ptr[len] = '\0';
  return obj;
}

zint_json_object *zint_json_object_new_string_len(const char *s, size_t len) {
  if (s == nullptr)
    return nullptr;
  return zint_json_object_new_string_bytes(s, strnlen(s, len));
}

zint_json_object *zint_json_object_new_string(const char *s) {
  if (s == nullptr)
    return nullptr;
  return zint_json_object_new_string_bytes(s, strlen(s));
}

/* ---- setters ---- */

int zint_json_object_set_int_overflow(zint_json_object *obj, zint_json_overflow_t mode) {
  if (zint_json_object_get_type(obj) != zint_json_type_int ||
      (mode != zint_json_overflow_int64 && mode != zint_json_overflow_uint64))
    return 0;
  obj->overflow = static_cast<uint8_t>(mode);
  return 1;
}

zint_json_overflow_t zint_json_object_get_int_overflow(const zint_json_object *obj) {
  if (zint_json_object_get_type(obj) != zint_json_type_int)
    return zint_json_overflow_int64;
  return static_cast<zint_json_overflow_t>(obj->overflow);
}

int zint_json_object_set_int64(zint_json_object *obj, int64_t v) {
  if (zint_json_object_get_type(obj) != zint_json_type_int)
    return 0;
  obj->u.i = static_cast<uint64_t>(v);
  obj->overflow = zint_json_overflow_int64;
  return 1;
}

int zint_json_object_set_int(zint_json_object *obj, int32_t v) {
  return zint_json_object_set_int64(obj, v);
}

int zint_json_object_set_uint64(zint_json_object *obj, uint64_t v) {
  if (zint_json_object_get_type(obj) != zint_json_type_int)
    return 0;
  obj->u.i = v;
  obj->overflow = zint_json_overflow_uint64;
  return 1;
}

int zint_json_object_set_double(zint_json_object *obj, double v) {
  if (zint_json_object_get_type(obj) != zint_json_type_double)
    return 0;
  obj->u.d = v;
  return 1;
}

int zint_json_object_set_boolean(zint_json_object *obj, zint_boolean v) {
  if (zint_json_object_get_type(obj) != zint_json_type_boolean)
    return 0;
  obj->u.b = v;
  return 1;
}

/* ---- objects ---- */

/* An object of json_index_from members or more also finds its keys through an index: an
 * open-addressed table, at most half full, of member positions plus 1 (0: a free slot), placed by
 * the process's secret hash of the key. Without it, building an object of n members (a parse)
 * costs n squared key comparisons: a second for one client message of 300 KB. Only the writers
 * keep it, so that readers of a shared object never write to it. */
static constexpr size_t json_index_from = 16;

static bool json_key_is(const zint_json_entry *e, const char *key, size_t klen) {
  return e->klen == klen && memcmp(json_entry_key(e), key, klen) == 0;
}

static void json_index_put(zint_json_object *obj, size_t pos) {
  const zint_json_entry *e = &obj->u.o.v[pos];
  size_t i = zint_hash_bytes(json_entry_key(e), e->klen) & obj->u.o.ix_mask;
  while (obj->u.o.ix[i] != 0)
    i = (i + 1) & obj->u.o.ix_mask;
  obj->u.o.ix[i] = pos + 1;
}

/* (Re)builds the index for the members there are, or drops it below json_index_from. */
static void json_index_build(zint_json_object *obj) {
  free(obj->u.o.ix);
  obj->u.o.ix = nullptr;
  if (obj->u.o.n < json_index_from)
    return;
  size_t slots = 64;
  while (slots / 2 <= obj->u.o.n)
    slots *= 2;
  obj->u.o.ix = static_cast<size_t *>(calloc(slots, sizeof(size_t)));
  ZINT_ASSERT(obj->u.o.ix);
  obj->u.o.ix_mask = slots - 1;
  for (size_t pos = 0; pos < obj->u.o.n; pos++)
    json_index_put(obj, pos);
}

static zint_json_entry *json_find(const zint_json_object *obj, const char *key, size_t klen) {
  if (obj->u.o.ix != nullptr) {
    size_t i = zint_hash_bytes(key, klen) & obj->u.o.ix_mask;
    for (size_t pos; (pos = obj->u.o.ix[i]) != 0; i = (i + 1) & obj->u.o.ix_mask)
      if (json_key_is(&obj->u.o.v[pos - 1], key, klen))
        return &obj->u.o.v[pos - 1];
    return nullptr;
  }
  for (size_t i = 0; i < obj->u.o.n; i++) {
    zint_json_entry *e = &obj->u.o.v[i];
    if (json_key_is(e, key, klen))
      return e;
  }
  return nullptr;
}

int zint_json_object_object_add_len(zint_json_object *obj, const char *key, size_t klen,
                                     zint_json_object *val) {
  if (zint_json_object_get_type(obj) != zint_json_type_object || key == nullptr || val == obj) {
    zint_json_object_put(val);
    return -1;
  }
  if (zint_json_entry *e = json_find(obj, key, klen)) {
    zint_json_object *old = e->val;
    e->val = val;
    zint_json_object_put(old);
    return 0;
  }
  if (obj->u.o.n == obj->u.o.cap)
    obj->u.o.v = static_cast<zint_json_entry *>(
        json_grow(obj->u.o.v, &obj->u.o.cap, sizeof(zint_json_entry), 8));
  zint_json_entry *e = &obj->u.o.v[obj->u.o.n];
  char *dst = e->k.inl;
  if (klen > ZINT_JSON_KEY_INLINE) {
    ZINT_ASSERT(klen < SIZE_MAX);
    dst = e->k.heap = static_cast<char *>(malloc(klen + 1));
    ZINT_ASSERT(dst);
  }
  memcpy(dst, key, klen);
  dst[klen] = '\0';
  e->klen = klen;
  e->val = val;
  e->last = true;
  if (obj->u.o.n > 0)
    obj->u.o.v[obj->u.o.n - 1].last = false;
  obj->u.o.n++;
  if (obj->u.o.ix != nullptr && obj->u.o.n < (obj->u.o.ix_mask + 1) / 2)
    json_index_put(obj, obj->u.o.n - 1);
  else if (obj->u.o.n >= json_index_from)
    json_index_build(obj);
  return 0;
}

int zint_json_object_object_add(zint_json_object *obj, const char *key, zint_json_object *val) {
  if (key == nullptr) {
    zint_json_object_put(val);
    return -1;
  }
  return zint_json_object_object_add_len(obj, key, strlen(key), val);
}

zint_boolean zint_json_object_object_get_ex(const zint_json_object *obj, const char *key,
                                            zint_json_object **val) {
  zint_json_entry *e = nullptr;
  if (zint_json_object_get_type(obj) == zint_json_type_object && key != nullptr)
    e = json_find(obj, key, strlen(key));
  if (val != nullptr)
    *val = e ? e->val : nullptr;
  return e != nullptr;
}

zint_json_object *zint_json_object_object_get(const zint_json_object *obj, const char *key) {
  zint_json_object *val = nullptr;
  zint_json_object_object_get_ex(obj, key, &val);
  return val;
}

void zint_json_object_object_del(zint_json_object *obj, const char *key) {
  if (zint_json_object_get_type(obj) != zint_json_type_object || key == nullptr)
    return;
  zint_json_entry *e = json_find(obj, key, strlen(key));
  if (e == nullptr)
    return;
  zint_json_object *val = e->val;
  if (e->klen > ZINT_JSON_KEY_INLINE)
    free(e->k.heap);
  zint_json_entry *end = obj->u.o.v + obj->u.o.n;
  memmove(static_cast<void *>(e), e + 1, static_cast<size_t>(end - (e + 1)) * sizeof *e);
  obj->u.o.n--;
  if (obj->u.o.n > 0)
    obj->u.o.v[obj->u.o.n - 1].last = true;
  if (obj->u.o.ix != nullptr) /* the members after it moved up */
    json_index_build(obj);
  zint_json_object_put(val);
}

size_t zint_json_object_object_length(const zint_json_object *obj) {
  return zint_json_object_get_type(obj) == zint_json_type_object ? obj->u.o.n : 0;
}

zint_json_entry *zint_json_object_get_object_head(const zint_json_object *obj) {
  if (zint_json_object_get_type(obj) != zint_json_type_object || obj->u.o.n == 0)
    return nullptr;
  return obj->u.o.v;
}

zint_json_entry *zint_json_entry_next(const zint_json_entry *e) {
  if (e == nullptr || e->last)
    return nullptr;
  return const_cast<zint_json_entry *>(e + 1);
}

const char *zint_json_entry_key(const zint_json_entry *e) {
  return e == nullptr ? nullptr : json_entry_key(e);
}

size_t zint_json_entry_key_len(const zint_json_entry *e) { return e == nullptr ? 0 : e->klen; }

zint_json_object *zint_json_entry_value(const zint_json_entry *e) {
  return e == nullptr ? nullptr : e->val;
}

/* ---- arrays ---- */

int zint_json_object_array_add(zint_json_object *arr, zint_json_object *val) {
  if (zint_json_object_get_type(arr) != zint_json_type_array || val == arr) {
    zint_json_object_put(val);
    return -1;
  }
  if (arr->u.a.n == arr->u.a.cap)
    arr->u.a.v = static_cast<zint_json_object **>(
        json_grow(arr->u.a.v, &arr->u.a.cap, sizeof(zint_json_object *), 4));
  arr->u.a.v[arr->u.a.n++] = val;
  return 0;
}

size_t zint_json_object_array_length(const zint_json_object *arr) {
  return zint_json_object_get_type(arr) == zint_json_type_array ? arr->u.a.n : 0;
}

zint_json_object *zint_json_object_array_get_idx(const zint_json_object *arr, size_t idx) {
  if (zint_json_object_get_type(arr) != zint_json_type_array || idx >= arr->u.a.n)
    return nullptr;
  return arr->u.a.v[idx];
}

/* ---- reading with conversion ---- */

/* A string whose whole text is a decimal integer; false for anything else. Out-of-range values
 * clamp to the type's limits. */
template <class T> static bool json_text_to_int(std::string_view s, T *out) {
  if (s.empty())
    return false;
  const char *b = s.data(), *e = s.data() + s.size();
  if (std::is_unsigned_v<T> && *b == '-') {
    int64_t neg;
    if (!json_text_to_int<int64_t>(s, &neg))
      return false;
    *out = 0;
    return true;
  }
  T v{};
  auto [p, ec] = std::from_chars(b, e, v);
  if (p != e)
    return false;
  if (ec == std::errc::result_out_of_range)
    v = *b == '-' ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  else if (ec != std::errc())
    return false;
  *out = v;
  return true;
}

static bool json_text_to_double(std::string_view s, double *out) {
  if (s.empty())
    return false;
  double v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (p != s.data() + s.size() || (ec != std::errc() && ec != std::errc::result_out_of_range))
    return false;
  if (ec == std::errc::result_out_of_range) /* from_chars leaves v alone: fall back to strtod */
    v = strtod(std::string(s).c_str(), nullptr);
  *out = v;
  return true;
}

static int64_t json_double_to_int64(double d) {
  if (std::isnan(d))
    return 0;
  if (d <= -9223372036854775808.0)
    return std::numeric_limits<int64_t>::min();
  if (d >= 9223372036854775808.0)
    return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(d);
}

static uint64_t json_double_to_uint64(double d) {
  if (!(d > 0)) /* NaN, zero and negatives */
    return 0;
  if (d >= 18446744073709551616.0)
    return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(d);
}

zint_boolean zint_json_object_get_boolean(const zint_json_object *obj) {
  switch (zint_json_object_get_type(obj)) {
  case zint_json_type_boolean: return obj->u.b;
  case zint_json_type_int: return obj->u.i != 0;
  case zint_json_type_double: return obj->u.d != 0;
  case zint_json_type_string: return obj->u.s.len != 0;
  default: return false;
  }
}

int64_t zint_json_object_get_int64(const zint_json_object *obj) {
  switch (zint_json_object_get_type(obj)) {
  case zint_json_type_boolean:
    return obj->u.b ? 1 : 0;
  case zint_json_type_int:
    if (obj->overflow == zint_json_overflow_uint64 && obj->u.i > INT64_MAX)
      return INT64_MAX;
    return static_cast<int64_t>(obj->u.i);
  case zint_json_type_double:
    return json_double_to_int64(obj->u.d);
  case zint_json_type_string: {
    int64_t v = 0;
    return json_text_to_int({obj->u.s.ptr, obj->u.s.len}, &v) ? v : 0;
  }
  default:
    return 0;
  }
}

int32_t zint_json_object_get_int(const zint_json_object *obj) {
  int64_t v = zint_json_object_get_int64(obj);
  if (v < INT32_MIN)
    return INT32_MIN;
  if (v > INT32_MAX)
    return INT32_MAX;
  return static_cast<int32_t>(v);
}

uint64_t zint_json_object_get_uint64(const zint_json_object *obj) {
  switch (zint_json_object_get_type(obj)) {
  case zint_json_type_boolean:
    return obj->u.b ? 1 : 0;
  case zint_json_type_int:
    if (obj->overflow == zint_json_overflow_int64 && static_cast<int64_t>(obj->u.i) < 0)
      return 0;
    return obj->u.i;
  case zint_json_type_double:
    return json_double_to_uint64(obj->u.d);
  case zint_json_type_string: {
    uint64_t v = 0;
    return json_text_to_int({obj->u.s.ptr, obj->u.s.len}, &v) ? v : 0;
  }
  default:
    return 0;
  }
}

double zint_json_object_get_double(const zint_json_object *obj) {
  switch (zint_json_object_get_type(obj)) {
  case zint_json_type_boolean:
    return obj->u.b ? 1 : 0;
  case zint_json_type_int:
    if (obj->overflow == zint_json_overflow_uint64)
      return static_cast<double>(obj->u.i);
    return static_cast<double>(static_cast<int64_t>(obj->u.i));
  case zint_json_type_double:
    return obj->u.d;
  case zint_json_type_string: {
    double v = 0;
    return json_text_to_double({obj->u.s.ptr, obj->u.s.len}, &v) ? v : 0;
  }
  default:
    return 0;
  }
}

const char *zint_json_object_get_string(const zint_json_object *obj) {
  return zint_json_object_get_type(obj) == zint_json_type_string ? obj->u.s.ptr : nullptr;
}

size_t zint_json_object_get_string_len(const zint_json_object *obj) {
  return zint_json_object_get_type(obj) == zint_json_type_string ? obj->u.s.len : 0;
}

/* ---- writing ---- */

namespace {

/* The output text: one malloc'ed buffer that grows by doubling and becomes the object's text. */
struct json_buf {
  char *p = nullptr;
  size_t n = 0, cap = 0;

  void reserve(size_t more) {
    if (cap - n > more)
      return;
    size_t ncap = cap ? cap : 256; /* a client data message fits at once */
    while (ncap - n <= more) {
      ZINT_ASSERT(ncap <= SIZE_MAX / 2);
      ncap *= 2;
    }
    char *np = static_cast<char *>(realloc(p, ncap));
    ZINT_ASSERT(np);
    p = np;
    cap = ncap;
  }
  void put(char c) {
    reserve(1);
    p[n++] = c;
  }
  void put(const char *s, size_t len) {
    reserve(len);
    memcpy(p + n, s, len);
    n += len;
  }
  void put(std::string_view s) { put(s.data(), s.size()); }
};

} // namespace

/* Bytes that cannot be copied as they are: controls, quote, backslash, and non-ASCII (which is
 * copied only after its sequence has been checked). */
struct json_plain_table {
  bool t[256];
  constexpr json_plain_table() : t() {
    for (int c = 0x20; c < 0x80; c++)
      t[c] = c != '"' && c != '\\';
  }
};
static constexpr json_plain_table json_plain{};
static inline bool json_plain_byte(unsigned char c) { return json_plain.t[c]; }

/* Length of the well-formed UTF-8 sequence at p (2..4), or 0 when it is ill-formed; in that
 * case *skip is the length of its maximal ill-formed subpart (the bytes one U+FFFD replaces). */
static size_t json_utf8_seq(const unsigned char *p, size_t avail, size_t *skip) {
  unsigned char c = p[0];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    *skip = 1;
    return 0;
  }
  size_t k = 1;
  for (; k <= need && k < avail; k++) {
    unsigned char b = p[k];
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF))
      break;
  }
  if (k <= need) {
    *skip = k;
    return 0;
  }
  return need + 1;
}

static void json_write_string(json_buf &b, const char *s, size_t len) {
  static const char hex[] = "0123456789abcdef";
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  b.reserve(len + 2);
  b.put('"');
  size_t i = 0;
  while (i < len) {
    size_t run = i;
    while (run < len && json_plain_byte(p[run]))
      run++;
    if (run > i) {
      b.put(s + i, run - i);
      i = run;
      if (i == len)
        break;
    }
    unsigned char c = p[i];
    if (c >= 0x80) {
      size_t skip = 0, seq = json_utf8_seq(p + i, len - i, &skip);
      if (seq) {
        b.put(s + i, seq);
        i += seq;
      } else {
        b.put("\xEF\xBF\xBD", 3);
        i += skip;
      }
      continue;
    }
    switch (c) {
    case '"': b.put("\\\"", 2); break;
    case '\\': b.put("\\\\", 2); break;
    case '\b': b.put("\\b", 2); break;
    case '\f': b.put("\\f", 2); break;
    case '\n': b.put("\\n", 2); break;
    case '\r': b.put("\\r", 2); break;
    case '\t': b.put("\\t", 2); break;
    default: {
      char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
      b.put(u, 6);
    }
    }
    i++;
  }
  b.put('"');
}

/* Shortest round-trip digits laid out the way people (and JavaScript) expect: plain notation for
 * 1e-6 <= |x| < 1e21, exponent notation outside, and always a fraction or an exponent so that the
 * text reads back as a double, not as an integer. */
static void json_write_double(json_buf &b, double d) {
  if (!std::isfinite(d)) {
    b.put("null", 4);
    return;
  }
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  ZINT_ASSERT(res.ec == std::errc());
  std::string_view t(sci, static_cast<size_t>(res.ptr - sci));
  char out[64];
  size_t o = 0;
  if (t[0] == '-') {
    out[o++] = '-';
    t.remove_prefix(1);
  }
  size_t epos = t.find('e');
  std::string_view mant = t.substr(0, epos);
  int exp10 = 0;
  std::from_chars(t.data() + epos + 1 + (t[epos + 1] == '+'), t.data() + t.size(), exp10);
  char digits[24] = {};
  size_t k = 0;
  for (char c : mant)
    if (c != '.')
      digits[k++] = c;
  int n = exp10 + 1; /* position of the decimal point relative to the first digit */
  int ik = static_cast<int>(k);
  if (ik <= n && n <= 21) {
    memcpy(out + o, digits, k);
    o += k;
    for (int z = ik; z < n; z++)
      out[o++] = '0';
    out[o++] = '.';
    out[o++] = '0';
  } else if (0 < n && n <= 21) {
    memcpy(out + o, digits, static_cast<size_t>(n));
    o += static_cast<size_t>(n);
    out[o++] = '.';
    memcpy(out + o, digits + n, k - static_cast<size_t>(n));
    o += k - static_cast<size_t>(n);
  } else if (-6 < n && n <= 0) {
    out[o++] = '0';
    out[o++] = '.';
    for (int z = n; z < 0; z++)
      out[o++] = '0';
    memcpy(out + o, digits, k);
    o += k;
  } else {
    out[o++] = digits[0];
    if (k > 1) {
      out[o++] = '.';
      memcpy(out + o, digits + 1, k - 1);
      o += k - 1;
    }
    out[o++] = 'e';
    out[o++] = n - 1 < 0 ? '-' : '+';
    auto er = std::to_chars(out + o, out + sizeof out, std::abs(n - 1));
    o = static_cast<size_t>(er.ptr - out);
  }
  b.put(out, o);
}

static void json_write(json_buf &b, const zint_json_object *obj) {
  char num[24];
  switch (zint_json_object_get_type(obj)) {
  case zint_json_type_null:
    b.put("null", 4);
    return;
  case zint_json_type_boolean:
    if (obj->u.b)
      b.put("true", 4);
    else
      b.put("false", 5);
    return;
  case zint_json_type_int: {
    auto r = obj->overflow == zint_json_overflow_uint64
                 ? std::to_chars(num, num + sizeof num, obj->u.i)
                 : std::to_chars(num, num + sizeof num, static_cast<int64_t>(obj->u.i));
    b.put(num, static_cast<size_t>(r.ptr - num));
    return;
  }
  case zint_json_type_double:
    json_write_double(b, obj->u.d);
    return;
  case zint_json_type_string:
    json_write_string(b, obj->u.s.ptr, obj->u.s.len);
    return;
  case zint_json_type_object:
    b.put('{');
    for (size_t i = 0; i < obj->u.o.n; i++) {
      const zint_json_entry *e = &obj->u.o.v[i];
      if (i)
        b.put(',');
      json_write_string(b, json_entry_key(e), e->klen);
      b.put(':');
      json_write(b, e->val);
    }
    b.put('}');
    return;
  case zint_json_type_array:
    b.put('[');
    for (size_t i = 0; i < obj->u.a.n; i++) {
      if (i)
        b.put(',');
      json_write(b, obj->u.a.v[i]);
    }
    b.put(']');
    return;
  }
}

const char *zint_json_object_to_json_string_len(zint_json_object *obj, size_t *len) {
  if (obj == nullptr) {
    if (len)
      *len = 4;
    return "null";
  }
  json_buf b;
  json_write(b, obj);
  b.put('\0');
  size_t n = b.n - 1;
  /* An unchanged object keeps its text, so an earlier pointer to it stays valid. */
  if (obj->text != nullptr && obj->text_len == n && memcmp(obj->text, b.p, n) == 0) {
    free(b.p);
  } else {
    free(obj->text);
    obj->text = b.p;
    obj->text_len = n;
  }
  if (len)
    *len = n;
  return obj->text;
}

const char *zint_json_object_to_json_string(zint_json_object *obj) {
  return zint_json_object_to_json_string_len(obj, nullptr);
}

/* ---- parsing ---- */

namespace {

namespace bj = boost::json;

/* SAX handler: builds our objects as the parser reports them. Every new value is attached to its
 * container at once, so on any failure freeing the root frees everything built so far. */
struct json_builder {
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);

  zint_json_object *root = nullptr;      /* the document, owned until handed to the caller */
  std::vector<zint_json_object *> stack; /* open containers, borrowed from root */
  std::string key;                       /* the pending member name (parts accumulate) */
  std::string part;                      /* string or number text split across parts */

  void reset() {
    zint_json_object_put(root);
    root = nullptr;
    stack.clear();
    key.clear();
    part.clear();
  }

  void attach(zint_json_object *v) {
    if (stack.empty()) {
      root = v;
      return;
    }
    zint_json_object *top = stack.back();
    if (top->type == zint_json_type_object) {
      zint_json_object_object_add_len(top, key.data(), key.size(), v);
      key.clear();
    } else {
      zint_json_object_array_add(top, v);
    }
  }

  bool on_document_begin(bj::error_code &) { return true; }
  bool on_document_end(bj::error_code &) { return true; }
  bool on_object_begin(bj::error_code &) {
    zint_json_object *o = zint_json_object_new_object();
    attach(o);
    stack.push_back(o);
    return true;
  }
  bool on_object_end(std::size_t, bj::error_code &) {
    stack.pop_back();
    return true;
  }
  bool on_array_begin(bj::error_code &) {
    zint_json_object *a = zint_json_object_new_array();
    attach(a);
    stack.push_back(a);
    return true;
  }
  bool on_array_end(std::size_t, bj::error_code &) {
    stack.pop_back();
    return true;
  }
  bool on_key_part(bj::string_view s, std::size_t, bj::error_code &) {
    key.append(s.data(), s.size());
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code &) {
    key.append(s.data(), s.size());
    return true;
  }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code &) {
    part.append(s.data(), s.size());
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code &) {
    if (part.empty()) {
      attach(zint_json_object_new_string_bytes(s.data(), s.size()));
    } else {
      part.append(s.data(), s.size());
      attach(zint_json_object_new_string_bytes(part.data(), part.size()));
      part.clear();
    }
    return true;
  }
  bool on_number_part(bj::string_view s, bj::error_code &) {
    part.append(s.data(), s.size());
    return true;
  }
  bool on_int64(int64_t i, bj::string_view, bj::error_code &) {
    part.clear();
    attach(zint_json_object_new_int64(i));
    return true;
  }
  bool on_uint64(uint64_t u, bj::string_view, bj::error_code &) {
    part.clear();
    attach(zint_json_object_new_uint64(u));
    return true;
  }
  bool on_double(double d, bj::string_view s, bj::error_code &) {
    /* Read the text again with a correctly rounded conversion, so that every double we write
     * reads back bit for bit. */
    part.append(s.data(), s.size());
    double exact;
    auto [p, ec] = std::from_chars(part.data(), part.data() + part.size(), exact);
    if (ec == std::errc() && p == part.data() + part.size())
      d = exact;
    part.clear();
    attach(zint_json_object_new_double(d));
    return true;
  }
  bool on_bool(bool b, bj::error_code &) {
    attach(zint_json_object_new_boolean(b));
    return true;
  }
  bool on_null(bj::error_code &) {
    attach(nullptr);
    return true;
  }
  bool on_comment_part(bj::string_view, bj::error_code &) { return true; }
  bool on_comment(bj::string_view, bj::error_code &) { return true; }
};

bj::parse_options json_parse_options(int depth) {
  bj::parse_options opt;
  opt.max_depth = static_cast<std::size_t>(depth);
  return opt; /* otherwise strict: no comments, trailing commas or invalid UTF-8 */
}

struct json_tokener_impl {
  bj::basic_parser<json_builder> p;
  explicit json_tokener_impl(int depth) : p(json_parse_options(depth)) {}
};

} // namespace

zint_json_tokener *zint_json_tokener_new_ex(int depth) {
  if (depth <= 0)
    depth = ZINT_JSON_TOKENER_DEFAULT_DEPTH;
  /* Freeing and writing recurse once per level: keep the stack use bounded whatever is asked. */
  if (depth > ZINT_JSON_TOKENER_MAX_DEPTH)
    depth = ZINT_JSON_TOKENER_MAX_DEPTH;
  auto *tok = static_cast<zint_json_tokener *>(calloc(1, sizeof(zint_json_tokener)));
  ZINT_ASSERT(tok);
  tok->max_depth = depth;
  tok->impl = new json_tokener_impl(depth);
  return tok;
}

zint_json_tokener *zint_json_tokener_new(void) {
  return zint_json_tokener_new_ex(ZINT_JSON_TOKENER_DEFAULT_DEPTH);
}

void zint_json_tokener_free(zint_json_tokener *tok) {
  if (tok == nullptr)
    return;
  auto *impl = static_cast<json_tokener_impl *>(tok->impl);
  impl->p.handler().reset();
  delete impl;
  free(tok);
}

/* Whether the whole text is well-formed UTF-8; asked only after a syntax error, to name it. */
static bool json_utf8_valid(const char *s, size_t len) {
  const auto *p = reinterpret_cast<const unsigned char *>(s);
  for (size_t i = 0; i < len;) {
    if (p[i] < 0x80) {
      i++;
      continue;
    }
    size_t skip, seq = json_utf8_seq(p + i, len - i, &skip);
    if (!seq)
      return false;
    i += seq;
  }
  return true;
}

static zint_json_tokener_error json_map_error(const bj::error_code &ec, const char *text,
                                              size_t len) {
  if (ec == bj::error::incomplete)
    return zint_json_tokener_error_parse_eof;
  if (ec == bj::error::too_deep)
    return zint_json_tokener_error_depth;
  if (ec == bj::error::object_too_large || ec == bj::error::array_too_large ||
      ec == bj::error::key_too_large || ec == bj::error::string_too_large)
    return zint_json_tokener_error_size;
  if (!json_utf8_valid(text, len))
    return zint_json_tokener_error_parse_utf8;
  return zint_json_tokener_error_parse_unexpected;
}

zint_json_object *zint_json_tokener_parse_ex(zint_json_tokener *tok, const char *text, int len) {
  if (tok == nullptr)
    return nullptr;
  tok->char_offset = 0;
  if (text == nullptr || len < -1) {
    tok->err = zint_json_tokener_error_size;
    return nullptr;
  }
  size_t n = len == -1 ? strlen(text) : static_cast<size_t>(len);
  auto *impl = static_cast<json_tokener_impl *>(tok->impl);
  json_builder &h = impl->p.handler();
  impl->p.reset();
  h.reset();
  bj::error_code ec;
  size_t used = 0;
  try {
    used = impl->p.write_some(false, text, n, ec);
  } catch (const std::bad_alloc &) {
    h.reset();
    tok->err = zint_json_tokener_error_memory;
    return nullptr;
  }
  tok->char_offset = used;
  if (!ec && used != n) /* a complete value followed by something other than whitespace */
    ec = bj::error::extra_data;
  if (ec || !impl->p.done()) {
    tok->err = ec ? json_map_error(ec, text, n) : zint_json_tokener_error_parse_eof;
    h.reset();
    return nullptr;
  }
  tok->err = zint_json_tokener_success;
  zint_json_object *res = h.root;
  h.root = nullptr;
  h.reset();
  return res;
}

zint_json_tokener_error zint_json_tokener_get_error(const zint_json_tokener *tok) {
  return tok == nullptr ? zint_json_tokener_error_size : tok->err;
}

const char *zint_json_tokener_error_desc(zint_json_tokener_error err) {
  switch (err) {
  case zint_json_tokener_success: return "success";
  case zint_json_tokener_error_depth: return "nesting too deep";
  case zint_json_tokener_error_parse_eof: return "unexpected end of text";
  case zint_json_tokener_error_parse_unexpected: return "unexpected character";
  case zint_json_tokener_error_parse_utf8: return "invalid UTF-8 in text";
  case zint_json_tokener_error_size: return "text length out of range";
  case zint_json_tokener_error_memory: return "out of memory";
  }
  return "unknown error";
}

zint_json_object *zint_json_tokener_parse(const char *text) {
  zint_json_tokener *tok = zint_json_tokener_new();
  zint_json_object *obj = zint_json_tokener_parse_ex(tok, text, -1);
  zint_json_tokener_free(tok);
  return obj;
}
