/* stats_prom: Prometheus text exposition of the statistics tree. A snapshot of the values is mapped
 * to families first (all samples of a name must be written together, under one TYPE line), then
 * written in the order in which each family first appeared in the tree. */
#include "stats/stats_prom.h"
#include "stats/stats_text.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct prom_sample {
  std::string labels; /* "{a=\"x\"}" or empty */
  std::string value;
};

struct prom_family {
  std::string name;
  const char *type; /* "counter" or "gauge" */
  std::string help;
  std::vector<prom_sample> samples;
  std::set<std::string> label_sets; /* guards against two samples with the same labels */
};

struct prom_builder {
  const stats_prom_options_t *opts;
  std::vector<prom_family> families;     /* in order of first appearance */
  std::map<std::string, size_t> by_name; /* name -> index in families */
  std::vector<std::string> skipped;      /* paths left out, for the closing comments */
  /* String values wait here, per namespace path, until the whole tree has been seen. */
  std::vector<std::pair<std::vector<std::string>, std::vector<std::pair<std::string, std::string>>>> infos;
};

/* Appends s with every byte sequence that is not well-formed UTF-8 replaced by U+FFFD and the
 * characters the format reserves escaped: backslash and newline always, the double quote inside
 * label values. */
void prom_append_text(std::string &out, std::string_view s, bool quote) {
  stats_append_utf8(out, s, [quote](std::string &o, unsigned char c) {
    if (c == '\\')
      o += "\\\\";
    else if (c == '\n')
      o += "\\n";
    else if (c == '"' && quote)
      o += "\\\"";
    else
      o += static_cast<char>(c);
  });
}

std::string prom_sanitise(std::string_view s) {
  std::string out(s);
  for (char &c : out) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok)
      c = '_';
  }
  return out;
}

std::string prom_label_name(std::string_view s) {
  std::string out = prom_sanitise(s);
  if (!out.empty() && out[0] >= '0' && out[0] <= '9')
    out.insert(0, "_");
  else if (out.rfind("__", 0) == 0)
    out.insert(0, "x");
  return out;
}

std::string prom_join_path(const std::vector<std::string> &path) {
  std::string out;
  for (const std::string &p : path)
    out += (out.empty() ? "" : "/") + p;
  return out.empty() ? "(root)" : out;
}

std::string prom_name(const stats_prom_options_t *opts, const std::vector<std::string> &elements) {
  std::string name = prom_sanitise(opts->prefix);
  for (const std::string &e : elements)
    name += "_" + prom_sanitise(e);
  return name;
}

/* The rule's prefix split at '/'. */
std::vector<std::string> prom_rule_prefix(const char *prefix) {
  std::vector<std::string> out;
  std::string_view rest(prefix ? prefix : "");
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    out.emplace_back(rest.substr(0, slash));
    if (slash == std::string_view::npos)
      break;
    rest.remove_prefix(slash + 1);
  }
  return out;
}

/* Adds one sample; false (and nothing added) when the name belongs to a family of another type or
 * the family already has a sample with these labels. */
bool prom_add(prom_builder &b, const std::string &name, const char *type, const std::string &help,
              const std::string &labels, const std::string &value) {
  auto it = b.by_name.find(name);
  size_t idx;
  if (it == b.by_name.end()) {
    idx = b.families.size();
    b.families.push_back(prom_family{name, type, help, {}, {}});
    b.by_name.emplace(name, idx);
  } else {
    idx = it->second;
    if (strcmp(b.families[idx].type, type) != 0)
      return false;
  }
  prom_family &f = b.families[idx];
  if (!f.label_sets.insert(labels).second)
    return false;
  f.samples.push_back(prom_sample{labels, value});
  return true;
}

void prom_numeric(prom_builder &b, const stats_value_view_t *v, const std::vector<std::string> &path) {
  std::vector<std::string> elements = path;
  std::string labels, help = prom_join_path(path);
  for (size_t r = 0; r < b.opts->n_rules; r++) {
    const stats_prom_label_rule_t &rule = b.opts->rules[r];
    std::vector<std::string> prefix = prom_rule_prefix(rule.prefix);
    if (prefix.empty() || path.size() <= prefix.size() || !std::equal(prefix.begin(), prefix.end(), path.begin()))
      continue;
    const std::string &element = path[prefix.size()];
    if (rule.aggregate && element == rule.aggregate) {
      elements[prefix.size()] = rule.aggregate_as ? rule.aggregate_as : element;
    } else {
      labels = "{" + std::string(rule.label) + "=\"";
      prom_append_text(labels, element, true);
      labels += "\"}";
      elements.erase(elements.begin() + static_cast<std::ptrdiff_t>(prefix.size()));
      std::vector<std::string> shown = path;
      shown[prefix.size()] = "<" + std::string(rule.label) + ">";
      help = prom_join_path(shown);
    }
    break;
  }
  std::string name = prom_name(b.opts, elements);
  const char *type = "gauge";
  std::string value;
  if (v->type == STATS_TYPE_COUNTER) {
    type = "counter";
    if (name.size() < 6 || name.compare(name.size() - 6, 6, "_total") != 0)
      name += "_total";
  }
  if (v->type == STATS_TYPE_INT64)
    value = std::to_string(v->i64);
  else
    value = std::to_string(v->u64);
  if (!prom_add(b, name, type, help, labels, value))
    b.skipped.push_back(prom_join_path(path) + ": " + name + labels + " is taken");
}

void prom_visit(void *closure, const stats_value_view_t *v) {
  prom_builder &b = *static_cast<prom_builder *>(closure);
  std::vector<std::string> path(v->path, v->path + v->depth);
  if (v->type != STATS_TYPE_STRING) {
    prom_numeric(b, v, path);
    return;
  }
  std::string label = path.back();
  path.pop_back();
  std::string text = v->text ? std::string(v->text, v->text_len) : std::string();
  for (auto &ns : b.infos) {
    if (ns.first == path) {
      ns.second.emplace_back(label, text);
      return;
    }
  }
  b.infos.push_back({path, {{label, text}}});
}

void prom_infos(prom_builder &b) {
  for (auto &[path, strings] : b.infos) {
    std::vector<std::string> elements = path;
    elements.push_back("info");
    std::string name = prom_name(b.opts, elements);
    std::set<std::string> seen;
    std::string labels;
    for (auto &[label, text] : strings) {
      std::string lname = prom_label_name(label);
      std::vector<std::string> full = path;
      full.push_back(label);
      if (!seen.insert(lname).second) {
        b.skipped.push_back(prom_join_path(full) + ": label " + lname + " of " + name + " is taken");
        continue;
      }
      labels += (labels.empty() ? "{" : ",") + lname + "=\"";
      prom_append_text(labels, text, true);
      labels += "\"";
    }
    if (!labels.empty())
      labels += "}";
    if (!prom_add(b, name, "gauge", prom_join_path(path) + " (text values as labels)", labels, "1"))
      b.skipped.push_back(prom_join_path(path) + ": " + name + " is taken");
  }
}

} // namespace

ssize_t stats_recorder_output_prometheus(stats_recorder_t *rec, const stats_prom_options_t *opts,
                                         stats_output_func_t outf, void *closure) {
  if (rec == nullptr || opts == nullptr || opts->prefix == nullptr || *opts->prefix == '\0' || outf == nullptr)
    return -1;
  for (size_t r = 0; r < opts->n_rules; r++)
    if (opts->rules == nullptr || opts->rules[r].prefix == nullptr || opts->rules[r].label == nullptr)
      return -1;
  prom_builder b;
  b.opts = opts;
  if (stats_recorder_visit(rec, prom_visit, &b) < 0)
    return -1;
  prom_infos(b);

  std::string out;
  for (const prom_family &f : b.families) {
    out += "# HELP " + f.name + " ";
    prom_append_text(out, f.help, false);
    out += "\n# TYPE " + f.name + " " + f.type + "\n";
    for (const prom_sample &s : f.samples)
      out += f.name + s.labels + " " + s.value + "\n";
  }
  for (const std::string &s : b.skipped) {
    out += "# skipped ";
    prom_append_text(out, s, false);
    out += "\n";
  }
  size_t off = 0;
  while (off < out.size()) {
    size_t len = out.size() - off;
    ssize_t took = outf(closure, out.data() + off, len);
    if (took <= 0 || static_cast<size_t>(took) > len)
      return -1;
    off += static_cast<size_t>(took);
  }
  return static_cast<ssize_t>(out.size());
}
