/* pask-pub: publishes metric lines to the NATS bus, from a file or standard input (one payload per
 * line) or generated for N checks and M metrics at a given rate: plain samples, histograms and
 * bundles, optionally each payload twice, on one subject or on each check's own subject. The demo's
 * data source and the ingest load generator. */
#include "harl/harl.h"
#include "hist/hist.h"
#include "pask/pask.h"
#include "zint/zint_time.h"

#include <getopt.h>
#include <nats/nats.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> pub_stop{false};

void pub_on_signal(int) { pub_stop = true; }

struct pub_options_t {
  std::string url = "nats://127.0.0.1:4222";
  std::string subject = "vorn.metrics.pub";
  std::string check_prefix;      /* --check-subjects: publish on "<prefix>.<check>"; empty: on subject */
  std::string file;              /* "-" for standard input; empty in generate mode */
  bool generate = false;
  long checks = 10, metrics = 5;
  long first_check = 0;          /* index of the first generated check */
  double rate = 0;               /* lines per second; 0: as fast as possible */
  long long count = -1;          /* lines to publish; -1: no limit */
  double duration = -1;          /* seconds; -1: no limit */
  bool plain = true, hist = false, bundle = false;
  long bundle_size = 10;
  bool twice = false;
  bool list_checks = false;
  std::string source = "pask-pub-01";
};

void pub_usage(FILE *out) {
  fprintf(out,
          "usage: pask-pub [options] (-f FILE | -g)\n"
          "  -u, --url URLS         NATS server(s), comma-separated (default nats://127.0.0.1:4222)\n"
          "  -s, --subject SUBJECT  subject to publish on (default vorn.metrics.pub)\n"
          "      --check-subjects PREFIX  publish each check's lines (and bundles of one check's lines)\n"
          "                         on PREFIX.<check> instead, the check in lower case\n"
          "  -f, --file FILE        publish each non-empty line of FILE (\"-\": standard input)\n"
          "  -g, --generate         generate samples instead\n"
          "  -c, --checks N         generated checks (default 10)\n"
          "  -m, --metrics M        metrics per check (default 5)\n"
          "      --first-check I    index of the first generated check (default 0)\n"
          "  -r, --rate R           lines per second, 0 for as fast as possible (default 0)\n"
          "  -n, --count K          stop after K lines\n"
          "  -d, --duration S       stop after S seconds\n"
          "  -k, --kinds LIST       any of plain,hist,bundle (default plain)\n"
          "  -b, --bundle-size B    lines per bundle (default 10)\n"
          "  -t, --twice            publish every payload twice (duplicate suppression)\n"
          "      --source NAME      broker name in the lines, 8 bytes or more (default pask-pub-01)\n"
          "      --list-checks      print the generated check UUIDs and exit\n"
          "Generated check I has the UUID 7e570000-0000-4000-8000-<I as 12 hex digits>.\n");
}

bool pub_parse_long(const char *s, long min, long *out) {
  char *end;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || end == s || *end || v < min) return false;
  *out = v;
  return true;
}

bool pub_parse_kinds(const std::string &list, pub_options_t *o) {
  o->plain = o->hist = o->bundle = false;
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    std::string k = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (k == "plain") o->plain = true;
    else if (k == "hist") o->hist = true;
    else if (k == "bundle") o->bundle = true;
    else return false;
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return o->plain || o->hist || o->bundle;
}

std::string pub_check_uuid(long i) {
  char buf[40];
  snprintf(buf, sizeof buf, "7e570000-0000-4000-8000-%012lx", (unsigned long) i & 0xffffffffffffUL);
  return buf;
}

std::string pub_now_text() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  char buf[32];
  snprintf(buf, sizeof buf, "%lld.%03ld", (long long) tv.tv_sec, (long) (tv.tv_usec / 1000));
  return buf;
}

/* Produces the generated lines in a fixed cycle over checks, metrics and value types. */
struct pub_generator_t {
  const pub_options_t &o;
  uint64_t seq = 0;
  explicit pub_generator_t(const pub_options_t &opt) : o(opt) {}

  /* The check of the next line(). */
  long next_check() const { return o.first_check + (long) (seq % (uint64_t) o.checks); }
  std::string line(const std::string &now, bool histogram) {
    return line_of(now, histogram, next_check(), (long) (seq / (uint64_t) o.checks % (uint64_t) o.metrics));
  }
  /* The next line, of the given check and metric. */
  std::string line_of(const std::string &now, bool histogram, long check, long metric) {
    uint64_t n = seq++;
    std::string head = o.source + "\t" + now + "\t" + pub_check_uuid(check) + "\t";
    if (histogram) {
      histogram_t *h = hist_alloc();
      for (int b = 0; b < 4; b++) hist_insert(h, 0.5 * (double) (b + 1 + (long) (n % 7)), (uint64_t) (b + 1));
      char *text = hist_serialize_b64(h, nullptr);
      hist_free(h);
      std::string out = "H\t" + head + "latency_" + std::to_string(metric) + "\t" + (text ? text : "AAA=");
      free(text);
      return out;
    }
    static const char types[] = "niLlIs";
    char t = types[metric % 6];
    std::string value;
    switch (t) {
    case 'n': value = std::to_string((double) (n % 1000) / 8.0); break;
    case 'i': value = std::to_string((int) (n % 2001) - 1000); break;
    case 'L': value = std::to_string(18446744073709551615ULL - n); break;
    case 'l': value = std::to_string(-(long long) n); break;
    case 'I': value = std::to_string((unsigned) (n % 4294967296ULL)); break;
    default: value = "state " + std::to_string(n % 3); break;
    }
    return "M\t" + head + "metric_" + std::to_string(metric) + "\t" + t + "\t" + value;
  }
};

struct pub_session_t {
  natsConnection *nc = nullptr;
  const pub_options_t &o;
  long long payloads = 0, lines = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  explicit pub_session_t(const pub_options_t &opt) : o(opt) {}

  /* Waits until line number `lines` is due at the configured rate. */
  void pace() {
    if (o.rate <= 0) return;
    auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>((double) lines / o.rate));
    std::this_thread::sleep_until(due);
  }
  bool done() const {
    if (pub_stop) return true;
    if (o.count >= 0 && lines >= o.count) return true;
    if (o.duration >= 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= o.duration)
      return true;
    return false;
  }
  /* Publishes on subject, or on o.subject when it is empty. */
  bool send(const std::string &payload, long nlines, const std::string &subject = "") {
    pace();
    const std::string &to = subject.empty() ? o.subject : subject;
    for (int i = 0; i < (o.twice ? 2 : 1); i++) {
      natsStatus s = natsConnection_Publish(nc, to.c_str(), payload.data(), (int) payload.size());
      if (s != NATS_OK) {
        fprintf(stderr, "pask-pub: publish failed: %s\n", natsStatus_GetText(s));
        return false;
      }
      payloads++;
    }
    lines += nlines;
    return true;
  }
};

/* The check of an M or H line (its fourth field), in lower-case text; empty when it has none. */
std::string pub_line_check(const std::string &line) {
  size_t at = 0;
  for (int field = 0; field < 3 && at != std::string::npos; field++) at = line.find('\t', at) + 1;
  if (at == 0 || at == std::string::npos || (line[0] != 'M' && line[0] != 'H')) return "";
  size_t end = line.find('\t', at);
  unsigned char id[16];
  if (!harl_parse_uuid(line.data() + at, (end == std::string::npos ? line.size() : end) - at, id)) return "";
  char text[37];
  zint_uuid_unparse_lower(id, text);
  return text;
}

/* The subject of a payload in --check-subjects mode: its check's, or for a bundle the one check all
 * its lines share; empty (with why) when there is no such check. */
std::string pub_payload_subject(const pub_options_t &o, const std::string &payload, std::string *why) {
  std::string check;
  if (payload[0] == 'B') {
    char **lines = nullptr;
    const char *err = "bundle: not expandable";
    int n = harl_check_log_b_to_sm_why(payload.data(), (int) payload.size(), &lines, -1, &err);
    if (n < 0) *why = err;
    for (int i = 0; i < n; i++) {
      std::string c = pub_line_check(lines[i] ? lines[i] : "");
      if (c.empty() || (!check.empty() && c != check)) *why = "bundle: its lines are not all of one check";
      if (check.empty()) check = c;
      free(lines[i]);
    }
    free(lines);
    if (n == 0) *why = "bundle: no lines";
  } else {
    check = pub_line_check(payload);
    if (check.empty()) *why = "no check id in the fourth field of an M or H line";
  }
  return why->empty() ? o.check_prefix + "." + check : "";
}

int pub_from_file(pub_session_t &s) {
  std::ifstream file;
  std::istream *in = &std::cin;
  if (s.o.file != "-") {
    file.open(s.o.file);
    if (!file) {
      fprintf(stderr, "pask-pub: cannot read %s: %s\n", s.o.file.c_str(), strerror(errno));
      return 1;
    }
    in = &file;
  }
  std::string line;
  long number = 0;
  while (!s.done() && std::getline(*in, line)) {
    number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::string subject, why;
    if (!s.o.check_prefix.empty() && (subject = pub_payload_subject(s.o, line, &why)).empty()) {
      fprintf(stderr, "pask-pub: line %ld not published (%s)\n", number, why.c_str());
      continue;
    }
    if (!s.send(line + "\n", 1, subject)) return 1;
  }
  return 0;
}

int pub_generate(pub_session_t &s) {
  pub_generator_t g(s.o);
  std::vector<int> kinds;
  if (s.o.plain) kinds.push_back(0);
  if (s.o.hist) kinds.push_back(1);
  if (s.o.bundle) kinds.push_back(2);
  bool per_check = !s.o.check_prefix.empty();
  /* The subject of a check's payloads: its own with --check-subjects, else the one subject. */
  auto subject_of = [&](long check) {
    return per_check ? s.o.check_prefix + "." + pub_check_uuid(check) : std::string();
  };
  uint64_t bundles = 0;
  for (uint64_t round = 0; !s.done(); round++) {
    int kind = kinds[round % kinds.size()];
    std::string now = pub_now_text();
    if (kind < 2) {
      std::string subject = subject_of(g.next_check());
      if (!s.send(g.line(now, kind == 1) + "\n", 1, subject)) return 1;
      continue;
    }
    long n = s.o.bundle_size;
    if (s.o.count >= 0) n = std::min<long long>(n, s.o.count - s.lines);
    /* On check subjects a bundle holds one check's lines, the checks taking turns. */
    long check = s.o.first_check + (long) (bundles++ % (uint64_t) s.o.checks);
    std::string text;
    for (long i = 0; i < n; i++)
      text += (i ? "\n" : "") + (per_check ? g.line_of(now, s.o.hist && i % 2, check, i % s.o.metrics)
                                           : g.line(now, s.o.hist && i % 2));
    size_t len = 0;
    char *b = harl_bundle_build(s.o.source.c_str(), now.c_str(), text.data(), text.size(), (int) n, &len);
    if (!b) {
      fprintf(stderr, "pask-pub: cannot build a bundle\n");
      return 1;
    }
    std::string payload(b, len);
    free(b);
    if (!s.send(payload, n, subject_of(check))) return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  pub_options_t o;
  enum { OPT_FIRST = 1000, OPT_SOURCE, OPT_LIST, OPT_CHECK_SUBJECTS };
  bool subject_given = false;
  static const struct option longopts[] = {
      {"url", required_argument, nullptr, 'u'},      {"subject", required_argument, nullptr, 's'},
      {"file", required_argument, nullptr, 'f'},     {"generate", no_argument, nullptr, 'g'},
      {"checks", required_argument, nullptr, 'c'},   {"metrics", required_argument, nullptr, 'm'},
      {"first-check", required_argument, nullptr, OPT_FIRST},
      {"rate", required_argument, nullptr, 'r'},     {"count", required_argument, nullptr, 'n'},
      {"duration", required_argument, nullptr, 'd'}, {"kinds", required_argument, nullptr, 'k'},
      {"bundle-size", required_argument, nullptr, 'b'}, {"twice", no_argument, nullptr, 't'},
      {"source", required_argument, nullptr, OPT_SOURCE}, {"list-checks", no_argument, nullptr, OPT_LIST},
      {"check-subjects", required_argument, nullptr, OPT_CHECK_SUBJECTS},
      {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};
  int c;
  long v;
  char *end;
  while ((c = getopt_long(argc, argv, "u:s:f:gc:m:r:n:d:k:b:th", longopts, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
    case 'u': o.url = optarg; break;
    case 's': o.subject = optarg; ok = !o.subject.empty(); subject_given = true; break;
    case OPT_CHECK_SUBJECTS:
      o.check_prefix = optarg;
      if (!pask_check_subject_prefix_usable(optarg)) {
        fprintf(stderr, "pask-pub: --check-subjects \"%s\" is not a subject prefix (tokens of letters, digits, "
                        "'-' and '_' joined by '.')\n", optarg);
        return 2;
      }
      break;
    case 'f': o.file = optarg; break;
    case 'g': o.generate = true; break;
    case 'c': ok = pub_parse_long(optarg, 1, &o.checks); break;
    case 'm': ok = pub_parse_long(optarg, 1, &o.metrics); break;
    case OPT_FIRST: ok = pub_parse_long(optarg, 0, &o.first_check); break;
    case 'r': o.rate = strtod(optarg, &end); ok = *optarg && !*end && o.rate >= 0; break;
    case 'n': ok = pub_parse_long(optarg, 0, &v); o.count = v; break;
    case 'd': o.duration = strtod(optarg, &end); ok = *optarg && !*end && o.duration >= 0; break;
    case 'k': ok = pub_parse_kinds(optarg, &o); break;
    case 'b': ok = pub_parse_long(optarg, 1, &o.bundle_size) && o.bundle_size <= HARL_BUNDLE_MAX_LINES; break;
    case 't': o.twice = true; break;
    case OPT_SOURCE: o.source = optarg; ok = o.source.size() >= 8 && o.source.find('\t') == std::string::npos; break;
    case OPT_LIST: o.list_checks = true; break;
    case 'h': pub_usage(stdout); return 0;
    default: ok = false;
    }
    if (!ok) {
      if (c != '?') fprintf(stderr, "pask-pub: bad value for -%c%s%s\n", c < 256 ? c : '-', optarg ? ": " : "", optarg ? optarg : "");
      pub_usage(stderr);
      return 2;
    }
  }
  if (optind != argc || o.generate == !o.file.empty()) {
    if (!o.list_checks) {
      fprintf(stderr, "pask-pub: give exactly one of -f FILE and -g\n");
      pub_usage(stderr);
      return 2;
    }
  }
  if (subject_given && !o.check_prefix.empty()) {
    fprintf(stderr, "pask-pub: give -s SUBJECT or --check-subjects PREFIX, not both\n");
    return 2;
  }
  if (o.list_checks) {
    for (long i = 0; i < o.checks; i++) printf("%s\n", pub_check_uuid(o.first_check + i).c_str());
    return 0;
  }

  signal(SIGINT, pub_on_signal);
  signal(SIGTERM, pub_on_signal);
  char *shown = pask_redact_urls(o.url.c_str());
  std::vector<std::string> urls;
  for (size_t at = 0; at <= o.url.size();) {
    size_t comma = o.url.find(',', at);
    std::string one = o.url.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (!one.empty()) urls.push_back(one);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  std::vector<const char *> ptrs;
  for (auto &u : urls) ptrs.push_back(u.c_str());
  natsOptions *opts = nullptr;
  pub_session_t s(o);
  natsStatus st = natsOptions_Create(&opts);
  if (st == NATS_OK) st = natsOptions_SetServers(opts, ptrs.data(), (int) ptrs.size());
  if (st == NATS_OK) st = natsOptions_SetName(opts, "pask-pub");
  if (st == NATS_OK) st = natsConnection_Connect(&s.nc, opts);
  if (st != NATS_OK) {
    fprintf(stderr, "pask-pub: cannot connect to %s: %s\n", shown ? shown : "?", natsStatus_GetText(st));
    natsOptions_Destroy(opts);
    free(shown);
    nats_CloseAndWait(2000);
    return 1;
  }
  int rc = o.generate ? pub_generate(s) : pub_from_file(s);
  /* Without a server (a Ctrl-C that also stopped it, say) a flush would wait out its whole timeout
   * while the library tries to reconnect; and a signal asks for a prompt end. */
  if (natsConnection_Status(s.nc) != NATS_CONN_STATUS_CONNECTED)
    st = NATS_CONNECTION_DISCONNECTED;
  else
    st = natsConnection_FlushTimeout(s.nc, pub_stop ? 2000 : 30000);
  if (st != NATS_OK && rc == 0) {
    fprintf(stderr, "pask-pub: flush to %s failed: %s\n", shown ? shown : "?", natsStatus_GetText(st));
    rc = 1;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count();
  fprintf(stderr, "pask-pub: published %lld payloads (%lld lines) to %s in %.3f s (%.0f lines/s)\n", s.payloads,
          s.lines, shown ? shown : "?", secs, secs > 0 ? (double) s.lines / secs : 0.0);
  natsConnection_Destroy(s.nc);
  natsOptions_Destroy(opts);
  free(shown);
  /* The library's threads outlive the destroy for a moment; the exit's cleanup must not free what
   * they still use. */
  nats_CloseAndWait(2000);
  return rc;
}
