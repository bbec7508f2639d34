/* stats: namespaced counters, values and strings with JSON output. The tree only grows; its shape
 * and the strings are guarded by the recorder's mutex, numbers are atomics read without it. */
#include "stats/stats.h"
#include "stats/stats_text.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct stats_handle {
  std::string name;               /* fixed at registration */
  stats_type_t type;              /* fixed at registration */
  std::atomic<uint64_t> value{0}; /* numeric types; lock-free, any thread (int64 stored as bits) */
  std::string text;               /* STRING: the library's copy; guarded by rec->mu */
  bool text_set = false;          /* STRING: false prints null; guarded by rec->mu */
  stats_recorder *rec = nullptr;  /* owner, fixed */
};

/* One member of a namespace: exactly one of the two is set. Owned by the namespace. */
struct stats_member {
  std::unique_ptr<stats_ns> ns;
  std::unique_ptr<stats_handle> h;
};

struct stats_ns {
  std::string name;                  /* fixed at registration; empty for the root */
  stats_recorder *rec = nullptr;     /* owner, fixed */
  std::vector<stats_member> members; /* registration order; guarded by rec->mu */
};

struct stats_recorder {
  std::mutex mu; /* guards every namespace's members and every string value */
  stats_ns root;
};

stats_recorder_t *stats_recorder_alloc(void) {
  auto *rec = new stats_recorder();
  rec->root.rec = rec;
  return rec;
}

void stats_recorder_free(stats_recorder_t *rec) { delete rec; }

stats_ns_t *stats_recorder_global_ns(stats_recorder_t *rec) {
  return rec == nullptr ? nullptr : &rec->root;
}

static stats_member *stats_find_member(stats_ns *ns, std::string_view name) {
  for (stats_member &m : ns->members)
    if ((m.ns ? m.ns->name : m.h->name) == name)
      return &m;
  return nullptr;
}

stats_ns_t *stats_register_ns(stats_recorder_t *rec, stats_ns_t *parent, const char *name) {
  if (rec == nullptr || name == nullptr || *name == '\0')
    return nullptr;
  if (parent == nullptr)
    parent = &rec->root;
  if (parent->rec != rec)
    return nullptr;
  std::lock_guard lock(rec->mu);
  if (stats_member *m = stats_find_member(parent, name))
    return m->ns.get(); /* null when the name is a value */
  auto ns = std::make_unique<stats_ns>();
  ns->name = name;
  ns->rec = rec;
  stats_ns *res = ns.get();
  parent->members.push_back(stats_member{std::move(ns), nullptr});
  return res;
}

static bool stats_type_known(stats_type_t type) {
  switch (type) {
  case STATS_TYPE_STRING:
  case STATS_TYPE_INT64:
  case STATS_TYPE_UINT64:
  case STATS_TYPE_COUNTER:
    return true;
  }
  return false;
}

stats_handle_t *stats_register(stats_ns_t *ns, const char *name, stats_type_t type) {
  if (ns == nullptr || name == nullptr || *name == '\0' || !stats_type_known(type))
    return nullptr;
  std::lock_guard lock(ns->rec->mu);
  if (stats_member *m = stats_find_member(ns, name))
    return (m->h && m->h->type == type) ? m->h.get() : nullptr;
  auto h = std::make_unique<stats_handle>();
  h->name = name;
  h->type = type;
  h->rec = ns->rec;
  stats_handle *res = h.get();
  ns->members.push_back(stats_member{nullptr, std::move(h)});
  return res;
}

void stats_add64(stats_handle_t *h, int64_t delta) {
  if (h == nullptr || h->type == STATS_TYPE_STRING)
    return;
  /* Two's complement makes one unsigned add right for every numeric type and sign of delta. */
  h->value.fetch_add(static_cast<uint64_t>(delta), std::memory_order_relaxed);
}

bool stats_set(stats_handle_t *h, stats_type_t type, const void *value) {
  if (h == nullptr || h->type != type)
    return false;
  if (type == STATS_TYPE_STRING) {
    const char *text = static_cast<const char *>(value);
    std::string copy = text ? text : ""; /* allocate outside the lock */
    std::lock_guard lock(h->rec->mu);
    h->text.swap(copy);
    h->text_set = text != nullptr;
    return true;
  }
  if (value == nullptr)
    return false;
  uint64_t bits;
  memcpy(&bits, value, sizeof bits); /* uint64_t and int64_t alike */
  h->value.store(bits, std::memory_order_relaxed);
  return true;
}

uint64_t stats_get_u64(const stats_handle_t *h) {
  if (h == nullptr || h->type == STATS_TYPE_STRING)
    return 0;
  return h->value.load(std::memory_order_relaxed);
}

int64_t stats_get_i64(const stats_handle_t *h) { return static_cast<int64_t>(stats_get_u64(h)); }

/* ---- output ---- */

/* Appends the bytes as the inside of a JSON string: quotes, backslashes and control characters
 * escaped, ill-formed UTF-8 replaced. The JSON module has its own copy: the statistics library
 * links nothing of the framework. */
static void stats_append_escaped(std::string &out, std::string_view s) {
  stats_append_utf8(out, s, [](std::string &o, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    switch (c) {
    case '"': o += "\\\""; break;
    case '\\': o += "\\\\"; break;
    case '\b': o += "\\b"; break;
    case '\f': o += "\\f"; break;
    case '\n': o += "\\n"; break;
    case '\r': o += "\\r"; break;
    case '\t': o += "\\t"; break;
    default:
      if (c < 0x20) {
        o += "\\u00";
        o += hex[c >> 4];
        o += hex[c & 15];
      } else {
        o += static_cast<char>(c);
      }
    }
  });
}

struct stats_writer {
  std::string out;
  bool pretty;
  bool include_empty;
};

static bool stats_ns_has_values(const stats_ns *ns) {
  for (const stats_member &m : ns->members)
    if (m.h || stats_ns_has_values(m.ns.get()))
      return true;
  return false;
}

static void stats_newline(stats_writer &w, int depth) {
  if (!w.pretty)
    return;
  w.out += '\n';
  w.out.append(static_cast<size_t>(depth) * 2, ' ');
}

static void stats_write_value(stats_writer &w, const stats_handle *h) {
  char buf[32];
  uint64_t v = h->value.load(std::memory_order_relaxed);
  switch (h->type) {
  case STATS_TYPE_STRING:
    if (!h->text_set) {
      w.out += "null";
    } else {
      w.out += '"';
      stats_append_escaped(w.out, h->text);
      w.out += '"';
    }
    return;
  case STATS_TYPE_INT64:
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(static_cast<int64_t>(v)));
    break;
  case STATS_TYPE_UINT64:
  case STATS_TYPE_COUNTER:
    /* A reading >= 2^63 is a gauge whose decrement was seen before its increment. */
    if (v >= (uint64_t{1} << 63))
      v = 0;
    snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    break;
  }
  w.out += buf;
}

static void stats_write_ns(stats_writer &w, const stats_ns *ns, int depth) {
  w.out += '{';
  bool first = true;
  for (const stats_member &m : ns->members) {
    if (m.ns && !w.include_empty && !stats_ns_has_values(m.ns.get()))
      continue;
    if (!first)
      w.out += ',';
    first = false;
    stats_newline(w, depth + 1);
    w.out += '"';
    stats_append_escaped(w.out, m.ns ? m.ns->name : m.h->name);
    w.out += w.pretty ? "\": " : "\":";
    if (m.ns)
      stats_write_ns(w, m.ns.get(), depth + 1);
    else
      stats_write_value(w, m.h.get());
  }
  if (!first)
    stats_newline(w, depth);
  w.out += '}';
}

ssize_t stats_recorder_output_json(stats_recorder_t *rec, bool pretty, bool include_empty,
                                   stats_output_func_t outf, void *closure) {
  if (rec == nullptr || outf == nullptr)
    return -1;
  stats_writer w{std::string(), pretty, include_empty};
  {
    std::lock_guard lock(rec->mu);
    stats_write_ns(w, &rec->root, 0);
  }
  /* No trailing newline in either form: callers end the text as their medium needs (the
   * statistics endpoint appends exactly one). */
  size_t off = 0;
  while (off < w.out.size()) {
    size_t len = w.out.size() - off;
    ssize_t took = outf(closure, w.out.data() + off, len);
    /* Taking nothing (or claiming more than offered) would loop forever or overrun. */
    if (took <= 0 || static_cast<size_t>(took) > len)
      return -1;
    off += static_cast<size_t>(took);
  }
  return static_cast<ssize_t>(w.out.size());
}

/* ---- visiting ---- */

namespace {

struct stats_snapshot_value {
  std::vector<std::string> path;
  stats_type_t type;
  uint64_t bits;
  std::string text;
  bool text_set;
};

void stats_snapshot_ns(const stats_ns *ns, std::vector<std::string> &path, std::vector<stats_snapshot_value> &out) {
  for (const stats_member &m : ns->members) {
    if (m.ns) {
      path.push_back(m.ns->name);
      stats_snapshot_ns(m.ns.get(), path, out);
      path.pop_back();
      continue;
    }
    const stats_handle *h = m.h.get();
    stats_snapshot_value v{path, h->type, h->value.load(std::memory_order_relaxed), h->text, h->text_set};
    v.path.push_back(h->name);
    out.push_back(std::move(v));
  }
}

} // namespace

ssize_t stats_recorder_visit(stats_recorder_t *rec, stats_visit_func_t visit, void *closure) {
  if (rec == nullptr || visit == nullptr)
    return -1;
  std::vector<stats_snapshot_value> values;
  {
    std::lock_guard lock(rec->mu);
    std::vector<std::string> path;
    stats_snapshot_ns(&rec->root, path, values);
  }
  std::vector<const char *> path;
  for (const stats_snapshot_value &v : values) {
    path.clear();
    for (const std::string &p : v.path)
      path.push_back(p.c_str());
    stats_value_view_t view{};
    view.path = path.data();
    view.depth = path.size();
    view.type = v.type;
    if (v.type == STATS_TYPE_INT64) {
      view.i64 = static_cast<int64_t>(v.bits);
    } else if (v.type != STATS_TYPE_STRING) {
      /* The same reading rule as the JSON output: at or above 2^63 is a gauge seen below zero. */
      view.u64 = v.bits >= (uint64_t{1} << 63) ? 0 : v.bits;
    } else if (v.text_set) {
      view.text = v.text.c_str();
      view.text_len = v.text.size();
    }
    visit(closure, &view);
  }
  return static_cast<ssize_t>(values.size());
}
