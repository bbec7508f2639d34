/* Tests of the Prometheus exposition of the statistics tree (platform writer and the service's
 * mapping) and of the health answer. Every output is run through a strict reader of the text
 * format that rejects anything a scraper would reject. */
#include "health.h"
#include "metrics.h"

#include "stats/stats.h"
#include "stats/stats_prom.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Recorder {
  stats_recorder_t *rec = stats_recorder_alloc();
  ~Recorder() { stats_recorder_free(rec); }
};

ssize_t append_outf(void *closure, const char *buf, size_t len) {
  static_cast<std::string *>(closure)->append(buf, len);
  return static_cast<ssize_t>(len);
}

std::string prom(stats_recorder_t *rec, const stats_prom_options_t &opts) {
  std::string out;
  ssize_t n = stats_recorder_output_prometheus(rec, &opts, append_outf, &out);
  EXPECT_EQ(n, static_cast<ssize_t>(out.size()));
  return out;
}

bool valid_utf8(const std::string &s) {
  size_t i = 0;
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  while (i < s.size()) {
    unsigned char c = p[i];
    size_t n = c < 0x80 ? 0 : (c >= 0xC2 && c <= 0xDF) ? 1 : (c >= 0xE0 && c <= 0xEF) ? 2 : (c >= 0xF0 && c <= 0xF4) ? 3 : 9;
    if (n == 9 || i + n >= s.size() + (n ? 0 : 1)) return false;
    for (size_t k = 1; k <= n; k++)
      if ((p[i + k] & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

/* One sample as read back: labels unescaped. */
struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  std::string value;
};

/* Reads the text format strictly: every line is a HELP, TYPE, other comment or sample line; names
 * and label names match their grammar; label values use only the three escapes; each family's
 * TYPE comes once, before its samples, and its samples are contiguous; counters end in _total.
 * Failures are reported as test failures naming the line. */
struct Exposition {
  std::vector<Sample> samples;
  std::map<std::string, std::string> types, helps;
  std::vector<std::string> comments;

  explicit Exposition(const std::string &text) { parse(text); }

  void parse(const std::string &text) {
    EXPECT_TRUE(valid_utf8(text));
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "last line unterminated";
    static const std::regex name_re("[a-zA-Z_:][a-zA-Z0-9_:]*");
    static const std::regex label_re("[a-zA-Z_][a-zA-Z0-9_]*");
    static const std::regex value_re("-?[0-9]+(\\.[0-9]+)?([eE][-+]?[0-9]+)?|[-+]?Inf|NaN");
    std::set<std::string> closed; /* families whose samples have ended */
    std::string current;
    size_t start = 0;
    while (start < text.size()) {
      size_t eol = text.find('\n', start);
      std::string line = text.substr(start, eol - start);
      start = eol + 1;
      SCOPED_TRACE("line: " + line);
      if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
        std::string rest = line.substr(7);
        size_t sp = rest.find(' ');
        ASSERT_NE(sp, std::string::npos);
        std::string name = rest.substr(0, sp), arg = rest.substr(sp + 1);
        EXPECT_TRUE(std::regex_match(name, name_re));
        if (line[2] == 'T') {
          EXPECT_TRUE(arg == "counter" || arg == "gauge" || arg == "untyped") << arg;
          EXPECT_FALSE(types.count(name)) << "second TYPE";
          EXPECT_FALSE(closed.count(name) || name == current) << "TYPE after samples";
          types[name] = arg;
          if (arg == "counter") {
            EXPECT_TRUE(name.size() > 6 && name.substr(name.size() - 6) == "_total");
          }
        } else {
          EXPECT_FALSE(helps.count(name)) << "second HELP";
          for (size_t i = 0; i < arg.size(); i++)
            if (arg[i] == '\\') {
              EXPECT_TRUE(i + 1 < arg.size() && (arg[i + 1] == '\\' || arg[i + 1] == 'n'));
              i++;
            }
          helps[name] = arg;
        }
        continue;
      }
      if (!line.empty() && line[0] == '#') {
        comments.push_back(line);
        continue;
      }
      Sample s;
      size_t i = 0;
      while (i < line.size() && line[i] != '{' && line[i] != ' ') i++;
      s.name = line.substr(0, i);
      EXPECT_TRUE(std::regex_match(s.name, name_re)) << s.name;
      if (i < line.size() && line[i] == '{') {
        i++;
        while (i < line.size() && line[i] != '}') {
          size_t eq = line.find('=', i);
          ASSERT_NE(eq, std::string::npos);
          std::string lname = line.substr(i, eq - i);
          EXPECT_TRUE(std::regex_match(lname, label_re)) << lname;
          EXPECT_NE(lname.rfind("__", 0), 0u) << "reserved label name " << lname;
          ASSERT_LT(eq + 1, line.size());
          ASSERT_EQ(line[eq + 1], '"');
          std::string v;
          size_t j = eq + 2;
          for (; j < line.size() && line[j] != '"'; j++) {
            if (line[j] == '\\') {
              ASSERT_LT(j + 1, line.size());
              char e = line[++j];
              ASSERT_TRUE(e == '\\' || e == '"' || e == 'n') << "bad escape \\" << e;
              v += e == 'n' ? '\n' : e;
            } else {
              v += line[j];
            }
          }
          ASSERT_LT(j, line.size()) << "unterminated label value";
          EXPECT_FALSE(s.labels.count(lname)) << "label twice";
          s.labels[lname] = v;
          i = j + 1;
          if (i < line.size() && line[i] == ',') i++;
        }
        ASSERT_LT(i, line.size());
        i++; /* '}' */
      }
      ASSERT_LT(i, line.size());
      ASSERT_EQ(line[i], ' ');
      s.value = line.substr(i + 1);
      EXPECT_TRUE(std::regex_match(s.value, value_re)) << s.value;
      EXPECT_TRUE(types.count(s.name)) << "sample without TYPE";
      if (s.name != current) {
        EXPECT_FALSE(closed.count(s.name)) << "samples of " << s.name << " not contiguous";
        if (!current.empty()) closed.insert(current);
        current = s.name;
      }
      samples.push_back(s);
    }
  }

  const Sample *find(const std::string &name, const std::map<std::string, std::string> &labels = {}) const {
    for (const Sample &s : samples)
      if (s.name == name && s.labels == labels) return &s;
    return nullptr;
  }
};

/* Every numeric leaf of a JSON tree with its path. */
void json_leaves(const boost::json::value &v, std::vector<std::string> &path,
                 std::vector<std::pair<std::vector<std::string>, boost::json::value>> &out) {
  if (const auto *o = v.if_object()) {
    for (const auto &kv : *o) {
      path.emplace_back(kv.key());
      json_leaves(kv.value(), path, out);
      path.pop_back();
    }
    return;
  }
  out.emplace_back(path, v);
}

/* The service's tree, built the way the modules register it, with distinct values. */
void service_tree(stats_recorder_t *rec) {
  auto counter = [&](stats_ns_t *ns, const char *name, uint64_t v) {
    stats_handle_t *h = stats_register(ns, name, STATS_TYPE_COUNTER);
    stats_add64(h, (int64_t) v);
  };
  stats_ns_t *errors = stats_register_ns(rec, nullptr, "errors");
  counter(errors, "total", 21);
  counter(errors, "wdb", 1);
  counter(errors, "stream_hash", 2);
  counter(errors, "pask", 3);
  stats_ns_t *mq = stats_register_ns(rec, nullptr, "mq");
  counter(mq, "firehose", 123456789012ull);
  stats_ns_t *details = stats_register_ns(rec, mq, "details");
  stats_set(stats_register(details, "host", STATS_TYPE_STRING), STATS_TYPE_STRING, "nats://a:4222,nats://b:4222");
  stats_set(stats_register(details, "type", STATS_TYPE_STRING), STATS_TYPE_STRING, "pask");
  counter(mq, "dropped", 7);
  counter(errors, "broker", 4);
  stats_ns_t *global = stats_register_ns(rec, stats_register_ns(rec, nullptr, "agents"), "global");
  counter(global, "connects", 30);
  stats_add64(stats_register(global, "connections", STATS_TYPE_UINT64), 5);
  counter(global, "closes", 25);
  counter(errors, "api", 5);
  stats_ns_t *watches = stats_register_ns(rec, stats_register_ns(rec, nullptr, "websocket"), "watches");
  stats_add64(stats_register(watches, "check", STATS_TYPE_UINT64), 8);
  stats_add64(stats_register(watches, "stream", STATS_TYPE_UINT64), 9);
  counter(stats_register_ns(rec, nullptr, "websocket"), "slow_clients", 2);
  stats_ns_t *root = stats_recorder_global_ns(rec);
  counter(root, "requests", 1000);
  uint64_t up = 3600;
  stats_set(stats_register(root, "uptime_s", STATS_TYPE_UINT64), STATS_TYPE_UINT64, &up);
  counter(errors, "client", 6);
}

} // namespace

// what this proves: every numeric value of the service's JSON tree appears exactly once in the
// exposition, under the documented name, type and labels, with the same value; strings become the
// labels of one info gauge
TEST(Metrics, ServiceTreeMatchesJson) {
  Recorder r;
  service_tree(r.rec);
  std::string json_text;
  ASSERT_GT(stats_recorder_output_json(r.rec, false, true, append_outf, &json_text), 0);
  boost::json::value tree = boost::json::parse(json_text);
  Exposition e(prom(r.rec, metrics_prom_options));

  using L = std::map<std::string, std::string>;
  struct Expect {
    std::vector<std::string> path;
    std::string name;
    L labels;
    std::string type;
  };
  const std::vector<Expect> table = {
      {{"errors", "total"}, "vorn_errors_all_total", {}, "counter"},
      {{"errors", "wdb"}, "vorn_errors_total", {{"module", "wdb"}}, "counter"},
      {{"errors", "stream_hash"}, "vorn_errors_total", {{"module", "stream_hash"}}, "counter"},
      {{"errors", "pask"}, "vorn_errors_total", {{"module", "pask"}}, "counter"},
      {{"errors", "broker"}, "vorn_errors_total", {{"module", "broker"}}, "counter"},
      {{"errors", "api"}, "vorn_errors_total", {{"module", "api"}}, "counter"},
      {{"errors", "client"}, "vorn_errors_total", {{"module", "client"}}, "counter"},
      {{"mq", "firehose"}, "vorn_mq_firehose_total", {}, "counter"},
      {{"mq", "dropped"}, "vorn_mq_dropped_total", {}, "counter"},
      {{"agents", "global", "connects"}, "vorn_agents_connects_total", {{"agent", "global"}}, "counter"},
      {{"agents", "global", "connections"}, "vorn_agents_connections", {{"agent", "global"}}, "gauge"},
      {{"agents", "global", "closes"}, "vorn_agents_closes_total", {{"agent", "global"}}, "counter"},
      {{"websocket", "watches", "check"}, "vorn_websocket_watches", {{"source", "check"}}, "gauge"},
      {{"websocket", "watches", "stream"}, "vorn_websocket_watches", {{"source", "stream"}}, "gauge"},
      {{"websocket", "slow_clients"}, "vorn_websocket_slow_clients_total", {}, "counter"},
      {{"requests"}, "vorn_requests_total", {}, "counter"},
      {{"uptime_s"}, "vorn_uptime_s", {}, "gauge"},
  };
  std::vector<std::pair<std::vector<std::string>, boost::json::value>> leaves;
  std::vector<std::string> path;
  json_leaves(tree, path, leaves);
  size_t numeric = 0;
  for (const auto &[p, v] : leaves) {
    if (!v.is_number()) continue;
    numeric++;
    const Expect *x = nullptr;
    for (const Expect &t : table)
      if (t.path == p) x = &t;
    ASSERT_NE(x, nullptr) << "no expectation for " << p.front();
    const Sample *s = e.find(x->name, x->labels);
    ASSERT_NE(s, nullptr) << x->name;
    EXPECT_EQ(s->value, std::to_string(v.to_number<uint64_t>())) << x->name;
    EXPECT_EQ(e.types[x->name], x->type) << x->name;
  }
  EXPECT_EQ(numeric, table.size());
  const Sample *info = e.find("vorn_mq_details_info", {{"host", "nats://a:4222,nats://b:4222"}, {"type", "pask"}});
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->value, "1");
  EXPECT_EQ(e.types["vorn_mq_details_info"], "gauge");
  EXPECT_EQ(e.samples.size(), table.size() + 1) << "no sample beyond the tree's values";
  EXPECT_TRUE(e.comments.empty());
  EXPECT_EQ(e.helps["vorn_errors_total"], "errors/<module>");
}

// what this proves: label values and help texts with quotes, backslashes, newlines and invalid
// UTF-8 come out escaped and readable back to the original (invalid bytes as U+FFFD); odd value
// names become valid label names
TEST(Metrics, EscapingOfLabelsAndHelp) {
  Recorder r;
  stats_ns_t *errors = stats_register_ns(r.rec, nullptr, "errors");
  stats_add64(stats_register(errors, "we\"ird\\mod\nule", STATS_TYPE_COUNTER), 2);
  stats_add64(stats_register(errors, "bad\xff", STATS_TYPE_COUNTER), 3);
  stats_ns_t *d = stats_register_ns(r.rec, nullptr, "d.e");
  stats_set(stats_register(d, "9lives", STATS_TYPE_STRING), STATS_TYPE_STRING, "a\"b\\c\nd");
  stats_set(stats_register(d, "__x", STATS_TYPE_STRING), STATS_TYPE_STRING, "\xc3\xa9t\xc3");
  stats_register(d, "unset", STATS_TYPE_STRING);
  std::string text = prom(r.rec, metrics_prom_options);
  EXPECT_NE(text.find("vorn_errors_total{module=\"we\\\"ird\\\\mod\\nule\"} 2\n"), std::string::npos) << text;
  Exposition e(text);
  EXPECT_NE(e.find("vorn_errors_total", {{"module", "we\"ird\\mod\nule"}}), nullptr);
  EXPECT_NE(e.find("vorn_errors_total", {{"module", "bad\xEF\xBF\xBD"}}), nullptr);
  EXPECT_NE(e.find("vorn_d_e_info", {{"_9lives", "a\"b\\c\nd"}, {"x__x", "\xc3\xa9t\xEF\xBF\xBD"}, {"unset", ""}}), nullptr)
      << text;
}

// what this proves: values whose names collide after sanitising are not written twice, a name taken
// by another type is not reused, the skipped paths are named in comments and the text stays valid;
// signed and transiently negative gauges print as the JSON output does
TEST(Metrics, CollisionsAndSignedValues) {
  Recorder r;
  stats_ns_t *root = stats_recorder_global_ns(r.rec);
  stats_add64(stats_register(root, "a.b", STATS_TYPE_COUNTER), 1);
  stats_add64(stats_register(root, "a_b", STATS_TYPE_COUNTER), 2);
  stats_add64(stats_register(root, "c_total", STATS_TYPE_UINT64), 3);
  stats_add64(stats_register(root, "c", STATS_TYPE_COUNTER), 4);
  stats_add64(stats_register(root, "neg", STATS_TYPE_INT64), -5);
  stats_add64(stats_register(root, "under", STATS_TYPE_UINT64), -1);
  stats_add64(stats_register(root, "x_total", STATS_TYPE_COUNTER), 6);
  const stats_prom_options_t plain = {"t", nullptr, 0};
  Exposition e(prom(r.rec, plain));
  ASSERT_NE(e.find("t_a_b_total"), nullptr);
  EXPECT_EQ(e.find("t_a_b_total")->value, "1");
  ASSERT_NE(e.find("t_c_total"), nullptr);
  EXPECT_EQ(e.types["t_c_total"], "gauge");
  EXPECT_EQ(e.find("t_c_total")->value, "3");
  EXPECT_EQ(e.find("t_neg")->value, "-5");
  EXPECT_EQ(e.find("t_under")->value, "0");
  EXPECT_EQ(e.types["t_x_total"], "counter") << "no second _total";
  ASSERT_EQ(e.comments.size(), 2u);
  EXPECT_NE(e.comments[0].find("a_b"), std::string::npos);
  EXPECT_NE(e.comments[1].find("c:"), std::string::npos);
  EXPECT_EQ(e.samples.size(), 5u);
}

// what this proves: bad arguments and a failing output function give -1; a writer that takes a
// few bytes at a time still receives the whole text
TEST(Metrics, OutputContract) {
  Recorder r;
  service_tree(r.rec);
  EXPECT_EQ(stats_recorder_output_prometheus(nullptr, &metrics_prom_options, append_outf, nullptr), -1);
  const stats_prom_options_t no_prefix = {"", nullptr, 0};
  std::string sink;
  EXPECT_EQ(stats_recorder_output_prometheus(r.rec, &no_prefix, append_outf, &sink), -1);
  auto fail = [](void *, const char *, size_t) -> ssize_t { return -1; };
  EXPECT_EQ(stats_recorder_output_prometheus(r.rec, &metrics_prom_options, fail, nullptr), -1);
  auto dribble = [](void *c, const char *b, size_t n) -> ssize_t {
    size_t k = n < 7 ? n : 7;
    static_cast<std::string *>(c)->append(b, k);
    return static_cast<ssize_t>(k);
  };
  std::string slow;
  ssize_t n = stats_recorder_output_prometheus(r.rec, &metrics_prom_options, dribble, &slow);
  EXPECT_EQ(slow, prom(r.rec, metrics_prom_options));
  EXPECT_EQ(n, static_cast<ssize_t>(slow.size()));
}

// what this proves: the visitor reports every value with its full path in output order, and the
// callback may register into the recorder it visits without deadlocking
TEST(Metrics, VisitorSeesSnapshot) {
  Recorder r;
  service_tree(r.rec);
  struct Ctx {
    stats_recorder_t *rec;
    std::vector<std::string> paths;
  } ctx{r.rec, {}};
  ssize_t n = stats_recorder_visit(r.rec, [](void *c, const stats_value_view_t *v) {
    Ctx &x = *static_cast<Ctx *>(c);
    std::string p;
    for (size_t i = 0; i < v->depth; i++) p += (i ? "/" : "") + std::string(v->path[i]);
    x.paths.push_back(p);
    stats_register(stats_register_ns(x.rec, nullptr, "late"), "v", STATS_TYPE_COUNTER);
  }, &ctx);
  EXPECT_EQ(n, 19);
  ASSERT_EQ(ctx.paths.size(), 19u);
  EXPECT_EQ(ctx.paths.front(), "errors/total");
  EXPECT_EQ(ctx.paths[8], "mq/details/host");
  EXPECT_EQ(ctx.paths.back(), "uptime_s");
  EXPECT_EQ(stats_recorder_visit(r.rec, nullptr, nullptr), -1);
}

// what this proves: /health answers 200 only while the bus is connected, 503 with the reason and
// the time in the state otherwise
TEST(Health, StatusAndReason) {
  std::string body;
  const uint64_t s = 1000000000ull;
  EXPECT_EQ(health_status(PASK_STATE_CONNECTED, 10 * s, 75 * s, body), 200);
  EXPECT_EQ(body, "ok: message bus connected for 65 s\n");
  EXPECT_EQ(health_status(PASK_STATE_RECONNECTING, 10 * s, 12 * s + 999999999ull, body), 503);
  EXPECT_EQ(body, "message bus down: connection lost 2 s ago, reconnecting\n");
  EXPECT_EQ(health_status(PASK_STATE_CONNECTING, 10 * s, 13 * s, body), 503);
  EXPECT_EQ(body, "message bus down: not connected yet, trying for 3 s\n");
  EXPECT_EQ(health_status(PASK_STATE_CLOSED, 10 * s, 10 * s, body), 503);
  EXPECT_EQ(body, "message bus down: connection closed 0 s ago, not retrying\n");
  EXPECT_EQ(health_status(PASK_STATE_STOPPED, 0, 10 * s, body), 503);
  EXPECT_NE(body.find("not running"), std::string::npos);
  /* A clock reading before the state's start (another thread changed it meanwhile) is not a huge age. */
  EXPECT_EQ(health_status(PASK_STATE_RECONNECTING, 20 * s, 10 * s, body), 503);
  EXPECT_EQ(body, "message bus down: connection lost 0 s ago, reconnecting\n");
}
