/* zint configuration: one pugixml document, loaded at start-up and answered by XPath. Values come
 * from an operator's file, so every conversion is checked and a bad path or value is a "not found",
 * never an exception or a crash. */
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_logsafe.h"

#include <pugixml.hpp>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>

/* Bigger than any sensible configuration: refused rather than read into memory. */
static constexpr off_t CONF_MAX_BYTES = 16 << 20;

/* The document and the file it came from. Written by the loads (start-up), read by any thread. */
struct conf_state {
  std::shared_mutex mu;                      /* readers share; a load replaces doc exclusively */
  std::unique_ptr<pugi::xml_document> doc;   /* guarded by mu; null until a load succeeds */
  std::string file;                          /* guarded by mu; set by zint_conf_set_file */
  bool file_set = false;                     /* guarded by mu */
};

/* Never destroyed, so that late readers during exit find it intact. */
static conf_state &conf() {
  static conf_state *s = new conf_state;
  return *s;
}

void zint_conf_set_file(const char *path) {
  conf_state &c = conf();
  std::unique_lock lock(c.mu);
  c.file_set = path != nullptr;
  c.file = path ? path : "";
}

const char *zint_conf_file(void) {
  conf_state &c = conf();
  std::shared_lock lock(c.mu);
  /* The text lives as long as no other file is set, which only start-up does. */
  return c.file_set ? c.file.c_str() : nullptr;
}

static int install(std::unique_ptr<pugi::xml_document> doc, const pugi::xml_parse_result &res,
                   const char *what, bool quiet = false) {
  if (!res) {
    if (quiet) return -1;
    zint_log(zint_error, "config %s: %s at offset %lld\n", what, res.description(),
             (long long) res.offset);
    return -1;
  }
  if (!doc->document_element()) {
    if (quiet) return -1;
    zint_log(zint_error, "config %s: no root element\n", what);
    return -1;
  }
  conf_state &c = conf();
  std::unique_lock lock(c.mu);
  c.doc = std::move(doc);
  return 0;
}

int zint_conf_load_quiet(const char *path, zint_boolean quiet) {
  std::string file;
  if (path != nullptr) {
    file = path;
  } else {
    conf_state &c = conf();
    std::shared_lock lock(c.mu);
    if (!c.file_set) return -1;
    file = c.file;
  }
  /* Read here rather than by the parser, which sizes a directory or a pipe by seeking and asks
   * for an absurd buffer; a configuration is a regular file of modest size. */
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); /* a FIFO must not block */
  if (fd < 0) {
    if (!quiet) zint_log(zint_error, "config '%s': cannot read: %s\n", file.c_str(), strerror(errno));
    return -1;
  }
  struct stat st;
  std::string text;
  const char *problem = nullptr;
  if (fstat(fd, &st) != 0) {
    problem = strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
  } else if (st.st_size > CONF_MAX_BYTES) {
    problem = "larger than 16 MiB";
  } else {
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        problem = strerror(errno);
        break;
      }
      if (n == 0) break;
      text.append(buf, (size_t) n);
      if (text.size() > (size_t) CONF_MAX_BYTES) {
        problem = "larger than 16 MiB";
        break;
      }
    }
  }
  close(fd);
  if (problem != nullptr) {
    if (!quiet) zint_log(zint_error, "config '%s': cannot read: %s\n", file.c_str(), problem);
    return -1;
  }
  auto doc = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result res = doc->load_buffer(text.data(), text.size());
  std::string what = "'" + file + "'";
  return install(std::move(doc), res, what.c_str(), quiet);
}

int zint_conf_load(const char *path) { return zint_conf_load_quiet(path, false); }

int zint_conf_load_string(const char *xml) {
  if (xml == nullptr) return -1;
  auto doc = std::make_unique<pugi::xml_document>();
  pugi::xml_parse_result res = doc->load_string(xml);
  return install(std::move(doc), res, "text");
}

/* The first node (document order) that path selects from section, or an empty node. A path that is
 * not a valid node-set expression is logged and treated as absent. Caller holds the shared lock. */
static pugi::xpath_node select_first(const conf_state &c, zint_conf_section_t section,
                                     const char *path) {
  if (!c.doc || path == nullptr) return pugi::xpath_node();
  pugi::xml_node ctx = section == ZINT_CONF_ROOT
                           ? pugi::xml_node(*c.doc)
                           : pugi::xml_node((pugi::xml_node_struct *) const_cast<void *>(section));
  try {
    pugi::xpath_query q(path);
    if (q.return_type() != pugi::xpath_type_node_set) {
      zint_log(zint_error, "config path '%s' does not select nodes\n", path);
      return pugi::xpath_node();
    }
    return q.evaluate_node(ctx);
  } catch (const pugi::xpath_exception &e) {
    zint_log(zint_error, "config path '%s': %s\n", path, e.what());
  } catch (const std::bad_alloc &) {
    ZINT_ASSERT(!"out of memory evaluating a configuration path");
  }
  return pugi::xpath_node();
}

/* The text of a selected node: an attribute's value, an element's own text, a text node's value. */
static bool node_text(const pugi::xpath_node &n, std::string &out) {
  if (n.attribute()) {
    out = n.attribute().value();
    return true;
  }
  pugi::xml_node node = n.node();
  if (!node) return false;
  if (node.type() == pugi::node_element) {
    out = node.text().get();
    return true;
  }
  if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
    out = node.value();
    return true;
  }
  return false;
}

static bool lookup_text(zint_conf_section_t section, const char *path, std::string &out) {
  conf_state &c = conf();
  std::shared_lock lock(c.mu);
  return node_text(select_first(c, section, path), out);
}

static std::string_view trim(std::string_view s) {
  const char *ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

zint_boolean zint_conf_get_string(zint_conf_section_t section, const char *path, char **out) {
  std::string text;
  if (out == nullptr || !lookup_text(section, path, text)) return false;
  char *copy = strdup(text.c_str());
  ZINT_ASSERT(copy != nullptr);
  *out = copy;
  return true;
}

zint_boolean zint_conf_get_int32(zint_conf_section_t section, const char *path, int32_t *out) {
  std::string text;
  if (out == nullptr || !lookup_text(section, path, text)) return false;
  std::string t(trim(text));
  if (t.empty()) return false;
  /* Decimal only: "010" is ten, as an operator means it, not octal eight. */
  size_t i = (t[0] == '-' || t[0] == '+') ? 1 : 0;
  if (i == t.size()) return false;
  for (size_t k = i; k < t.size(); k++)
    if (t[k] < '0' || t[k] > '9') return false;
  errno = 0;
  long long v = strtoll(t.c_str(), nullptr, 10);
  if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
  *out = (int32_t) v;
  return true;
}

/* Accepts true/false, yes/no, on/off, 1/0 in any case; -1 for anything else. */
static int parse_boolean(std::string_view s) {
  s = trim(s);
  auto eq = [&](std::string_view w) {
    return s.size() == w.size() && strncasecmp(s.data(), w.data(), w.size()) == 0;
  };
  if (eq("true") || eq("yes") || eq("on") || eq("1")) return 1;
  if (eq("false") || eq("no") || eq("off") || eq("0")) return 0;
  return -1;
}

zint_boolean zint_conf_get_boolean(zint_conf_section_t section, const char *path,
                                   zint_boolean *out) {
  std::string text;
  if (out == nullptr || !lookup_text(section, path, text)) return false;
  int v = parse_boolean(text);
  if (v < 0) return false;
  *out = v == 1;
  return true;
}

zint_conf_hash_t *zint_conf_get_hash(zint_conf_section_t section, const char *path) {
  conf_state &c = conf();
  std::shared_lock lock(c.mu);
  pugi::xpath_node n = select_first(c, section, path);
  if (n.attribute() || !n.node() || n.node().type() != pugi::node_element) return nullptr;
  auto *h = new zint_conf_hash_t;
  /* A repeated child name keeps its last value, as a later line of a file overrides an earlier. */
  for (pugi::xml_node child : n.node().children())
    if (child.type() == pugi::node_element) (*h)[child.name()] = child.text().get();
  return h;
}

std::vector<zint_conf_attrs_t> zint_conf_get_elements(const char *path) {
  std::vector<zint_conf_attrs_t> result;
  conf_state &c = conf();
  std::shared_lock lock(c.mu);
  if (!c.doc || path == nullptr) return result;
  try {
    pugi::xpath_query q(path);
    if (q.return_type() != pugi::xpath_type_node_set) {
      zint_log(zint_error, "config path '%s' does not select nodes\n", path);
      return result;
    }
    pugi::xpath_node_set set = q.evaluate_node_set(*c.doc);
    set.sort();
    for (const pugi::xpath_node &n : set) {
      if (n.attribute() || n.node().type() != pugi::node_element) continue;
      zint_conf_attrs_t attrs;
      for (pugi::xml_attribute a : n.node().attributes()) attrs[a.name()] = a.value();
      attrs[""] = n.node().text().get();
      result.push_back(std::move(attrs));
    }
  } catch (const pugi::xpath_exception &e) {
    zint_log(zint_error, "config path '%s': %s\n", path, e.what());
  }
  return result;
}

zint_conf_section_t zint_conf_get_section(zint_conf_section_t section, const char *path) {
  conf_state &c = conf();
  std::shared_lock lock(c.mu);
  pugi::xpath_node n = select_first(c, section, path);
  if (n.attribute() || !n.node() || n.node().type() != pugi::node_element) return nullptr;
  return n.node().internal_object();
}

std::string zint_conf_root_attribute(const char *name) {
  conf_state &c = conf();
  std::shared_lock lock(c.mu);
  if (!c.doc || name == nullptr) return {};
  return c.doc->document_element().attribute(name).value();
}

void zint_conf_log_init_rotate(const char *appname, zint_boolean verbose) {
  auto logs = zint_conf_get_elements("//logs");
  if (!logs.empty()) {
    auto it = logs[0].find("limit_per_second");
    uint64_t v;
    if (it != logs[0].end()) {
      if (zint_conf_parse_u64(it->second, UINT32_MAX, &v)) zint_log_limit_set(uint32_t(v));
      else zint_log(zint_error, "%s: <logs limit_per_second=\"%s\"> is not a number, keeping %u\n",
                    appname ? appname : "config", it->second.c_str(), zint_log_limit_get());
    }
  }
  for (const zint_conf_attrs_t &log : zint_conf_get_elements("//logs/log")) {
    auto get = [&](const char *k) -> const std::string * {
      auto it = log.find(k);
      return it == log.end() ? nullptr : &it->second;
    };
    const std::string *name = get("name");
    if (name == nullptr || name->empty()) {
      zint_log(zint_error, "%s: <log> without a name ignored\n", appname ? appname : "config");
      continue;
    }
    zint_log_stream_t ls = zint_log_stream_find(name->c_str());
    int timestamps = -1;
    if (const std::string *ts = get("timestamps")) {
      timestamps = parse_boolean(*ts);
      if (timestamps < 0)
        zint_log(zint_error, "log '%s': timestamps=\"%s\" is not a boolean\n", name->c_str(),
                 ts->c_str());
    }
    if (const std::string *output = get("output"))
      zint_log_stream_set_output(ls, output->c_str(), timestamps);
    bool disabled = false;
    if (const std::string *d = get("disabled")) {
      int v = parse_boolean(*d);
      if (v < 0)
        zint_log(zint_error, "log '%s': disabled=\"%s\" is not a boolean\n", name->c_str(),
                 d->c_str());
      disabled = v == 1;
    }
    zint_log_stream_set_enabled(ls, !disabled);
    if (verbose)
      zint_log(zint_notice, "%s: log '%s' -> %s%s\n", appname ? appname : "config", name->c_str(),
               zint_log_stream_output(ls) ? zint_log_stream_output(ls) : "(none)",
               zint_log_stream_enabled(ls) ? "" : " (disabled)");
  }
}

zint_boolean zint_conf_parse_u64(const std::string &text, uint64_t max, uint64_t *out) {
  /* strtoull would skip leading white space and wrap a '-' after it (" -5" is 2^64 - 5): the text
   * must start with a digit. */
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (errno || *end || v > max) return false;
  *out = v;
  return true;
}
