/* e2e_nats: the bus side of the end-to-end benchmark, on libnats.
 *   pub: publishes bus lines "M <source> <time> <check> <metric> L <send time ns>" of about 150 bytes
 *        at a fixed rate, round robin over N checks, always whole rounds so that every check gets
 *        the same count; prints one JSON object (published lines, achieved rate). With
 *        --check-subjects P each line goes to "P.<check id>", as publishers do for instances in
 *        per-check mode.
 *   sub: a bare subscriber that only counts what arrives, until SIGINT/SIGTERM/SIGUSR1 or
 *        --duration; prints the count and the client's slow-consumer drops as JSON. */
#include <nats/nats.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t nb_stop = 0;
void nb_on_signal(int) { nb_stop = 1; }

struct nb_opts_t {
  std::string mode;
  std::string url = "nats://127.0.0.1:4222";
  std::string subject = "vorn.metrics.bench";
  bool subject_per_check = false; /* pub: subject.<check index> */
  std::string check_subjects;     /* pub: when set, <this>.<check id> */
  long checks = 1, first_check = 0;
  double rate = 1000;             /* lines per second */
  double duration = -1;           /* seconds; pub: -1 means 3, sub: -1 means until a signal */
  size_t size = 150;              /* bytes per line, newline included */
};

double nb_mono_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double) ts.tv_sec + (double) ts.tv_nsec / 1e9;
}

int64_t nb_realtime_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t) ts.tv_sec * 1000000000 + ts.tv_nsec;
}

natsConnection *nb_connect(const nb_opts_t &o, const char *name) {
  natsOptions *opts = nullptr;
  natsConnection *nc = nullptr;
  natsStatus s = natsOptions_Create(&opts);
  if (s == NATS_OK) s = natsOptions_SetURL(opts, o.url.c_str());
  if (s == NATS_OK) s = natsOptions_SetName(opts, name);
  if (s == NATS_OK) s = natsConnection_Connect(&nc, opts);
  natsOptions_Destroy(opts);
  if (s != NATS_OK) {
    fprintf(stderr, "e2e_nats: cannot connect to %s: %s\n", o.url.c_str(), natsStatus_GetText(s));
    return nullptr;
  }
  return nc;
}

/* One line per check: everything but the send time is fixed, so it is prepared once. */
struct nb_line_t {
  std::string head;    /* up to and including the TAB before the value */
  std::string subject;
};

int nb_pub(const nb_opts_t &o) {
  natsConnection *nc = nb_connect(o, "e2e-pub");
  if (!nc) return 1;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  char now[32];
  snprintf(now, sizeof now, "%lld.%03ld", (long long) tv.tv_sec, (long) (tv.tv_usec / 1000));
  nb_line_t *lines = new nb_line_t[(size_t) o.checks];
  for (long i = 0; i < o.checks; i++) {
    char uuid[40];
    snprintf(uuid, sizeof uuid, "7e570000-0000-4000-8000-%012lx", (unsigned long) (o.first_check + i));
    std::string head = std::string("M\te2e-bench-01\t") + now + "\t" + uuid + "\tbench_latency";
    /* pad the metric name so that the whole line, with 19 digits and the newline, has o.size bytes */
    size_t fixed = head.size() + 3 + 1 + 19 + 1;
    if (o.size > fixed) head += "_" + std::string(o.size - fixed - 1, 'x');
    head += "\tL\t";
    lines[i].head = head;
    if (!o.check_subjects.empty()) lines[i].subject = o.check_subjects + "." + uuid;
    else if (o.subject_per_check) lines[i].subject = o.subject + "." + std::to_string(o.first_check + i);
    else lines[i].subject = o.subject;
  }
  long long sent = 0;
  long long want_total = (long long) (o.rate * (o.duration < 0 ? 3.0 : o.duration));
  want_total -= want_total % o.checks;
  if (want_total < o.checks) want_total = o.checks;
  double t0 = nb_mono_s();
  char buf[1024];
  int64_t last_ns = 0;
  natsStatus s = NATS_OK;
  while (sent < want_total && !nb_stop && s == NATS_OK) {
    double el = nb_mono_s() - t0;
    long long due = (long long) (el * o.rate) + 1;
    if (due > want_total) due = want_total;
    if (sent >= due) {
      /* Ahead of the rate: sleep, at least 100 us at a time (what is due meanwhile goes out in
       * one burst). Waiting by spinning would take a core from the servers and clients that
       * share the machine with the publisher. */
      double wait = ((double) (sent + 1) / o.rate) - el;
      usleep((useconds_t) (std::clamp(wait, 100e-6, 2e-3) * 1e6));
      continue;
    }
    while (sent < due && s == NATS_OK) {
      /* Every line is unique (the service drops repeated payloads): the send time never repeats. */
      int64_t ns = nb_realtime_ns();
      if (ns <= last_ns) ns = last_ns + 1;
      last_ns = ns;
      const nb_line_t &l = lines[sent % o.checks];
      size_t hl = l.head.size();
      memcpy(buf, l.head.data(), hl);
      int n = snprintf(buf + hl, sizeof buf - hl, "%019" PRId64 "\n", ns);
      s = natsConnection_Publish(nc, l.subject.c_str(), buf, (int) (hl + (size_t) n));
      sent++;
    }
  }
  double t_pub = nb_mono_s() - t0;
  if (s == NATS_OK) s = natsConnection_FlushTimeout(nc, 30000);
  if (s != NATS_OK) fprintf(stderr, "e2e_nats: publish failed: %s\n", natsStatus_GetText(s));
  printf("{\"published\":%lld,\"checks\":%ld,\"per_check\":%lld,\"seconds\":%.3f,\"rate\":%.0f,\"target_rate\":%.0f,"
         "\"line_bytes\":%zu}\n",
         sent, o.checks, sent / o.checks, t_pub, t_pub > 0 ? (double) sent / t_pub : 0.0, o.rate,
         lines[0].head.size() + 20);
  fflush(stdout);
  natsConnection_Destroy(nc);
  delete[] lines;
  return s == NATS_OK && !nb_stop ? 0 : 1;
}

std::atomic<uint64_t> nb_count{0};
std::atomic<uint64_t> nb_late{0}; /* arrived more than a second after the send time in the line */

void nb_on_msg(natsConnection *, natsSubscription *, natsMsg *m, void *) {
  nb_count.fetch_add(1, std::memory_order_relaxed);
  const char *p = natsMsg_GetData(m);
  int n = natsMsg_GetDataLength(m);
  while (n > 0 && (p[n - 1] < '0' || p[n - 1] > '9')) n--;
  int e = n;
  while (n > 0 && p[n - 1] >= '0' && p[n - 1] <= '9') n--;
  int64_t sent = 0;
  for (int i = n; i < e && i < n + 19; i++) sent = sent * 10 + (p[i] - '0');
  if (e > n && nb_realtime_ns() - sent > 1000000000) nb_late.fetch_add(1, std::memory_order_relaxed);
  natsMsg_Destroy(m);
}

int nb_sub(const nb_opts_t &o) {
  natsConnection *nc = nb_connect(o, "e2e-sub");
  if (!nc) return 1;
  natsSubscription *sub = nullptr;
  natsStatus s = natsConnection_Subscribe(&sub, nc, o.subject.c_str(), nb_on_msg, nullptr);
  if (s == NATS_OK) s = natsConnection_Flush(nc);
  if (s != NATS_OK) {
    fprintf(stderr, "e2e_nats: cannot subscribe to %s: %s\n", o.subject.c_str(), natsStatus_GetText(s));
    natsConnection_Destroy(nc);
    return 1;
  }
  printf("ready 1\n");
  fflush(stdout);
  double t0 = nb_mono_s();
  while (!nb_stop && (o.duration < 0 || nb_mono_s() - t0 < o.duration)) usleep(20000);
  int64_t dropped = 0;
  natsSubscription_GetDropped(sub, &dropped);
  printf("{\"msgs\":%" PRIu64 ",\"late\":%" PRIu64 ",\"dropped\":%lld,\"seconds\":%.3f}\n", nb_count.load(),
         nb_late.load(), (long long) dropped,
         nb_mono_s() - t0);
  fflush(stdout);
  natsSubscription_Unsubscribe(sub);
  natsSubscription_Destroy(sub);
  natsConnection_Destroy(nc);
  return 0;
}

void nb_usage(FILE *f) {
  fprintf(f, "usage: e2e_nats pub [--url U] [--subject S] [--subject-per-check | --check-subjects P]\n"
             "                    [--checks N] [--first-check I] [--rate R] [--duration S] [--size B]\n"
             "       e2e_nats sub [--url U] [--subject S] [--duration S]\n");
}

} // namespace

int main(int argc, char **argv) {
  nb_opts_t o;
  if (argc < 2) {
    nb_usage(stderr);
    return 2;
  }
  o.mode = argv[1];
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    auto val = [&]() -> const char * {
      if (i + 1 >= argc) {
        nb_usage(stderr);
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--url") o.url = val();
    else if (a == "--subject") o.subject = val();
    else if (a == "--subject-per-check") o.subject_per_check = true;
    else if (a == "--check-subjects") o.check_subjects = val();
    else if (a == "--checks") o.checks = atol(val());
    else if (a == "--first-check") o.first_check = atol(val());
    else if (a == "--rate") o.rate = atof(val());
    else if (a == "--duration") o.duration = atof(val());
    else if (a == "--size") o.size = (size_t) atol(val());
    else {
      nb_usage(stderr);
      return 2;
    }
  }
  if (o.checks < 1 || o.rate <= 0 || o.size > 900) {
    nb_usage(stderr);
    return 2;
  }
  signal(SIGINT, nb_on_signal);
  signal(SIGTERM, nb_on_signal);
  signal(SIGUSR1, nb_on_signal);
  int rc;
  if (o.mode == "pub") rc = nb_pub(o);
  else if (o.mode == "sub") rc = nb_sub(o);
  else {
    nb_usage(stderr);
    rc = 2;
  }
  nats_Close();
  return rc;
}
