/* e2e_wsload: the websocket side of the end-to-end benchmark. One epoll thread opens many websocket
 * connections (plain sockets and a minimal client framing, no TLS), subscribes each one, and counts
 * the samples that arrive and their publish-to-receive latency. Speaks either the service's watch
 * protocol ("vorn", or "vorn.batch": several messages per frame) or the NATS text protocol over
 * websocket ("nats", as nats-server's websocket listener expects), so both servers are measured by
 * the same client code.
 *
 * Prints "ready <n>" on stdout once every connection is subscribed (a heartbeat reply or a PONG has
 * come back after the subscription), then runs until SIGINT/SIGTERM/SIGUSR1 or --duration and prints
 * one JSON object with the results. A sample's send time is the last number in it: the "value" of
 * a client data message, the last TAB-separated field of a bus line. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t load_stop = 0;
void load_on_signal(int) { load_stop = 1; }

enum load_proto_t { PROTO_VORN, PROTO_VORN_BATCH, PROTO_NATS };
enum load_state_t { ST_CONNECTING, ST_UPGRADING, ST_SUBSCRIBING, ST_READY, ST_CLOSED };

struct load_opts_t {
  std::string host = "127.0.0.1";
  int port = 0;
  load_proto_t proto = PROTO_VORN;
  long conns = 1;
  long checks = 1;          /* connection i watches check first_check + i % checks */
  long first_check = 0;
  std::string subject = "bench.fan"; /* nats: subject; with --subject-per-check, subject.<check> */
  bool subject_per_check = false;
  long parallel = 200;      /* handshakes in flight at once */
  double duration = -1;     /* seconds after ready; -1: until a signal */
  double ready_timeout = 60;
};

/* Log-linear latency histogram in nanoseconds: 64 powers of two, 32 steps each. */
struct load_hist_t {
  static constexpr int SUB = 32;
  uint64_t b[64 * SUB] = {};
  uint64_t n = 0, neg = 0;
  void add(int64_t v) {
    n++;
    if (v < 0) {
      neg++;
      v = 0;
    }
    uint64_t u = (uint64_t) v;
    if (u < SUB) {
      b[u]++;
      return;
    }
    int e = 63 - __builtin_clzll(u);              /* u in [2^e, 2^(e+1)) */
    int s = (int) ((u >> (e - 5)) & (SUB - 1));   /* next 5 bits */
    b[(e - 4) * SUB + s]++;
  }
  static double lower(int idx) {
    if (idx < SUB) return idx;
    int e = idx / SUB + 4, s = idx % SUB;
    return std::ldexp(1.0, e) * (1.0 + s / 32.0);
  }
  double pct(double p) const {
    if (!n) return 0;
    uint64_t want = (uint64_t) std::ceil(p * (double) n);
    if (want == 0) want = 1;
    uint64_t acc = 0;
    for (int i = 0; i < 64 * SUB; i++) {
      acc += b[i];
      if (acc >= want) return (lower(i) + lower(i + 1)) / 2;
    }
    return lower(64 * SUB - 1);
  }
};

struct load_conn_t {
  int fd = -1;
  load_state_t st = ST_CONNECTING;
  long check = 0;
  std::string in;      /* undecoded bytes: upgrade response or a partial frame */
  std::string proto;   /* nats: protocol bytes not yet parsed (messages may span frames) */
  std::string frag;    /* a fragmented websocket message being gathered */
  std::string out;     /* bytes the socket did not take yet */
  uint64_t msgs = 0;
  bool closed_by_peer = false;
};

struct load_t {
  load_opts_t o;
  int ep = -1;
  std::vector<load_conn_t> c;
  long started = 0, in_flight = 0, ready = 0, failed = 0, peer_closed = 0;
  load_hist_t hist;
  uint64_t msgs = 0, bytes = 0, frames = 0, bad_samples = 0;
  uint64_t late = 0; /* samples that arrived more than a second after they were published */
  int64_t now_ns = 0;
};

int64_t load_realtime_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (int64_t) ts.tv_sec * 1000000000 + ts.tv_nsec;
}

double load_mono_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double) ts.tv_sec + (double) ts.tv_nsec / 1e9;
}

std::string load_check_uuid(long i) {
  char buf[40];
  snprintf(buf, sizeof buf, "7e570000-0000-4000-8000-%012lx", (unsigned long) i & 0xffffffffffffUL);
  return buf;
}

/* A masked client frame with a zero mask key, which leaves the payload as it is. */
std::string load_frame(int opcode, const std::string &payload) {
  std::string f;
  f += (char) (0x80 | opcode);
  size_t n = payload.size();
  if (n < 126) {
    f += (char) (0x80 | n);
  } else if (n < 65536) {
    f += (char) (0x80 | 126);
    f += (char) (n >> 8);
    f += (char) (n & 0xff);
  } else {
    f += (char) (0x80 | 127);
    for (int i = 7; i >= 0; i--) f += (char) ((n >> (8 * i)) & 0xff);
  }
  f.append(4, '\0');
  f += payload;
  return f;
}

void load_close(load_t &L, load_conn_t &k, bool by_peer) {
  if (k.st == ST_CLOSED) return;
  if (k.st != ST_READY) {
    L.failed++;
    if (k.st != ST_CONNECTING || k.fd >= 0) L.in_flight--;
  }
  if (by_peer) {
    k.closed_by_peer = true;
    L.peer_closed++;
  }
  k.st = ST_CLOSED;
  if (k.fd >= 0) {
    epoll_ctl(L.ep, EPOLL_CTL_DEL, k.fd, nullptr);
    close(k.fd);
  }
  k.fd = -1;
  std::string().swap(k.in);
  std::string().swap(k.proto);
  std::string().swap(k.out);
}

void load_send(load_t &L, load_conn_t &k, const std::string &bytes) {
  if (k.st == ST_CLOSED) return;
  if (k.out.empty()) {
    ssize_t w = write(k.fd, bytes.data(), bytes.size());
    if (w == (ssize_t) bytes.size()) return;
    if (w < 0 && errno != EAGAIN) {
      load_close(L, k, true);
      return;
    }
    k.out.assign(bytes, w > 0 ? (size_t) w : 0, std::string::npos);
  } else {
    k.out += bytes;
  }
  struct epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT;
  ev.data.u64 = (uint64_t) (&k - L.c.data());
  epoll_ctl(L.ep, EPOLL_CTL_MOD, k.fd, &ev);
}

void load_flush(load_t &L, load_conn_t &k) {
  while (!k.out.empty()) {
    ssize_t w = write(k.fd, k.out.data(), k.out.size());
    if (w < 0) {
      if (errno == EAGAIN) return;
      load_close(L, k, true);
      return;
    }
    k.out.erase(0, (size_t) w);
  }
  struct epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = (uint64_t) (&k - L.c.data());
  epoll_ctl(L.ep, EPOLL_CTL_MOD, k.fd, &ev);
}

void load_start_one(load_t &L, long i) {
  load_conn_t &k = L.c[(size_t) i];
  k.check = L.o.first_check + i % L.o.checks;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "e2e_wsload: socket: %s\n", strerror(errno));
    k.st = ST_CLOSED;
    L.failed++;
    return;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  struct sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t) L.o.port);
  inet_pton(AF_INET, L.o.host.c_str(), &sa.sin_addr);
  k.fd = fd;
  L.in_flight++;
  int r = connect(fd, (struct sockaddr *) &sa, sizeof sa);
  if (r < 0 && errno != EINPROGRESS) {
    fprintf(stderr, "e2e_wsload: connect: %s\n", strerror(errno));
    load_close(L, k, false);
    return;
  }
  struct epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT;
  ev.data.u64 = (uint64_t) i;
  epoll_ctl(L.ep, EPOLL_CTL_ADD, fd, &ev);
}

void load_on_connected(load_t &L, load_conn_t &k) {
  int err = 0;
  socklen_t el = sizeof err;
  getsockopt(k.fd, SOL_SOCKET, SO_ERROR, &err, &el);
  if (err) {
    load_close(L, k, false);
    return;
  }
  k.st = ST_UPGRADING;
  std::string req = "GET / HTTP/1.1\r\nHost: " + L.o.host + ":" + std::to_string(L.o.port) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (L.o.proto == PROTO_VORN) req += "Sec-WebSocket-Protocol: vorn\r\n";
  if (L.o.proto == PROTO_VORN_BATCH) req += "Sec-WebSocket-Protocol: vorn.batch\r\n";
  req += "\r\n";
  struct epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = (uint64_t) (&k - L.c.data());
  epoll_ctl(L.ep, EPOLL_CTL_MOD, k.fd, &ev);
  load_send(L, k, req);
}

void load_subscribe(load_t &L, load_conn_t &k) {
  k.st = ST_SUBSCRIBING;
  if (L.o.proto != PROTO_NATS) {
    load_send(L, k, load_frame(1, "{\"watch\":[{\"id\":\"" + load_check_uuid(k.check) + "\"}]}"));
    load_send(L, k, load_frame(1, "{\"type\":\"heartbeat\"}"));
  } else {
    std::string subj = L.o.subject_per_check ? L.o.subject + "." + std::to_string(k.check) : L.o.subject;
    load_send(L, k, load_frame(2, "CONNECT {\"verbose\":false,\"pedantic\":false,\"protocol\":1}\r\nSUB " + subj +
                                      " 1\r\nPING\r\n"));
  }
}

void load_became_ready(load_t &L, load_conn_t &k) {
  if (k.st != ST_SUBSCRIBING) return;
  k.st = ST_READY;
  L.ready++;
  L.in_flight--;
}

/* The send time is the last run of digits in the text. */
void load_sample(load_t &L, load_conn_t &k, const char *p, size_t n) {
  size_t e = n;
  while (e > 0 && (p[e - 1] < '0' || p[e - 1] > '9')) e--;
  size_t s = e;
  while (s > 0 && p[s - 1] >= '0' && p[s - 1] <= '9') s--;
  if (s == e || e - s > 19) {
    L.bad_samples++;
    return;
  }
  int64_t sent = 0;
  for (size_t i = s; i < e; i++) sent = sent * 10 + (p[i] - '0');
  k.msgs++;
  L.msgs++;
  int64_t lat = L.now_ns - sent;
  if (lat > 1000000000) L.late++;
  L.hist.add(lat);
}

/* NATS protocol lines and messages from the server. */
void load_nats_proto(load_t &L, load_conn_t &k) {
  size_t at = 0;
  std::string &b = k.proto;
  while (at < b.size()) {
    const char *p = b.data() + at;
    size_t avail = b.size() - at;
    const char *nl = (const char *) memchr(p, '\n', avail);
    if (!nl) break;
    size_t line_len = (size_t) (nl - p) + 1;
    if (avail >= 4 && memcmp(p, "MSG ", 4) == 0) {
      /* MSG <subject> <sid> [reply] <size>\r\n<payload>\r\n */
      const char *q = nl - 1;
      while (q > p && *q == '\r') q--;
      const char *d = q;
      while (d > p && d[-1] >= '0' && d[-1] <= '9') d--;
      size_t size = strtoul(d, nullptr, 10);
      if (avail < line_len + size + 2) break;
      load_sample(L, k, p + line_len, size);
      at += line_len + size + 2;
      continue;
    }
    if (avail >= 4 && memcmp(p, "PING", 4) == 0) {
      load_send(L, k, load_frame(2, "PONG\r\n"));
    } else if (avail >= 4 && memcmp(p, "PONG", 4) == 0) {
      load_became_ready(L, k);
    } else if (avail >= 4 && memcmp(p, "-ERR", 4) == 0) {
      fprintf(stderr, "e2e_wsload: server: %.*s", (int) line_len, p);
    }
    at += line_len;
  }
  b.erase(0, at);
}

void load_vorn_message(load_t &L, load_conn_t &k, const char *p, size_t n);

void load_message(load_t &L, load_conn_t &k, int opcode, const char *p, size_t n) {
  if (opcode == 8) {
    load_close(L, k, true);
    return;
  }
  if (opcode == 9) {
    load_send(L, k, load_frame(10, std::string(p, n)));
    return;
  }
  if (opcode == 10) return;
  L.frames++;
  if (L.o.proto == PROTO_NATS) {
    k.proto.append(p, n);
    load_nats_proto(L, k);
    return;
  }
  if (L.o.proto == PROTO_VORN_BATCH) {
    /* several messages per frame, one "\n" between them */
    const char *end = p + n;
    while (p < end) {
      const char *nl = (const char *) memchr(p, '\n', (size_t) (end - p));
      size_t len = (size_t) ((nl ? nl : end) - p);
      load_vorn_message(L, k, p, len);
      p += len + (nl ? 1 : 0);
    }
    return;
  }
  load_vorn_message(L, k, p, n);
}

void load_vorn_message(load_t &L, load_conn_t &k, const char *p, size_t n) {
  /* A sample is a client data message, which opens with its "check" member: only other frames
   * need a closer look (searching every sample for an error member cost the tool more per
   * delivery than nats-server's messages cost it). */
  static const char sample_head[] = "{\"check\":";
  if (n >= sizeof sample_head - 1 && memcmp(p, sample_head, sizeof sample_head - 1) == 0) {
    load_sample(L, k, p, n);
    return;
  }
  if (n > 0 && p[0] == '{' && n < 64 && memmem(p, n, "heartbeat", 9)) {
    load_became_ready(L, k);
    return;
  }
  if (memmem(p, n, "\"error\"", 7)) {
    fprintf(stderr, "e2e_wsload: error frame: %.*s\n", (int) std::min<size_t>(n, 300), p);
    return;
  }
  load_sample(L, k, p, n);
}

/* Decodes complete server frames from p..p+n; returns the bytes consumed. */
size_t load_frames(load_t &L, load_conn_t &k, const char *p, size_t n) {
  size_t at = 0;
  while (k.st != ST_CLOSED) {
    if (n - at < 2) break;
    const unsigned char *h = (const unsigned char *) p + at;
    int fin = h[0] & 0x80, opcode = h[0] & 0x0f;
    uint64_t len = h[1] & 0x7f;
    size_t hl = 2;
    if (len == 126) {
      if (n - at < 4) break;
      len = ((uint64_t) h[2] << 8) | h[3];
      hl = 4;
    } else if (len == 127) {
      if (n - at < 10) break;
      len = 0;
      for (int i = 0; i < 8; i++) len = (len << 8) | h[2 + i];
      hl = 10;
    }
    if (h[1] & 0x80) hl += 4; /* servers do not mask; tolerate it anyway */
    if (n - at < hl + len) break;
    const char *payload = p + at + hl;
    at += hl + len;
    if (opcode == 0 || (!fin && opcode < 8)) {
      if (opcode != 0) k.frag.assign(1, (char) opcode);
      k.frag.append(payload, len);
      if (fin && !k.frag.empty()) {
        std::string m;
        m.swap(k.frag);
        load_message(L, k, m[0], m.data() + 1, m.size() - 1);
      }
      continue;
    }
    load_message(L, k, opcode, payload, len);
  }
  return at;
}

void load_on_readable(load_t &L, load_conn_t &k, char *buf, size_t cap) {
  for (;;) {
    ssize_t r = read(k.fd, buf, cap);
    if (r == 0) {
      load_close(L, k, true);
      return;
    }
    if (r < 0) {
      if (errno == EAGAIN) return;
      load_close(L, k, true);
      return;
    }
    L.bytes += (uint64_t) r;
    L.now_ns = load_realtime_ns();
    const char *p = buf;
    size_t n = (size_t) r;
    if (!k.in.empty() || k.st == ST_UPGRADING) {
      k.in.append(buf, n);
      if (k.st == ST_UPGRADING) {
        size_t end = k.in.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        if (k.in.compare(0, 12, "HTTP/1.1 101") != 0) {
          fprintf(stderr, "e2e_wsload: upgrade refused: %.*s\n", (int) std::min<size_t>(end, 200), k.in.c_str());
          load_close(L, k, false);
          return;
        }
        k.in.erase(0, end + 4);
        load_subscribe(L, k);
      }
      size_t used = load_frames(L, k, k.in.data(), k.in.size());
      if (k.st == ST_CLOSED) return;
      k.in.erase(0, used);
      continue;
    }
    size_t used = load_frames(L, k, p, n);
    if (k.st == ST_CLOSED) return;
    if (used < n) k.in.assign(p + used, n - used);
    if ((size_t) r < cap) return;
  }
}

void load_raise_nofile(long want) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rlim_t need = (rlim_t) want + 64;
  if (rl.rlim_cur >= need) return;
  rl.rlim_cur = std::min(need, rl.rlim_max);
  setrlimit(RLIMIT_NOFILE, &rl);
}

void load_usage(FILE *f) {
  fprintf(f,
          "usage: e2e_wsload --port P [--host H] [--proto vorn|vorn.batch|nats] [--conns N] [--checks C]\n"
          "                  [--first-check I] [--subject S] [--subject-per-check] [--parallel K]\n"
          "                  [--duration S] [--ready-timeout S]\n");
}

} // namespace

int main(int argc, char **argv) {
  load_t L;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto val = [&]() -> const char * {
      if (i + 1 >= argc) {
        load_usage(stderr);
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--host") L.o.host = val();
    else if (a == "--port") L.o.port = atoi(val());
    else if (a == "--proto") {
      std::string p = val();
      if (p == "vorn") L.o.proto = PROTO_VORN;
      else if (p == "vorn.batch") L.o.proto = PROTO_VORN_BATCH;
      else if (p == "nats") L.o.proto = PROTO_NATS;
      else {
        load_usage(stderr);
        return 2;
      }
    } else if (a == "--conns") L.o.conns = atol(val());
    else if (a == "--checks") L.o.checks = atol(val());
    else if (a == "--first-check") L.o.first_check = atol(val());
    else if (a == "--subject") L.o.subject = val();
    else if (a == "--subject-per-check") L.o.subject_per_check = true;
    else if (a == "--parallel") L.o.parallel = atol(val());
    else if (a == "--duration") L.o.duration = atof(val());
    else if (a == "--ready-timeout") L.o.ready_timeout = atof(val());
    else {
      load_usage(a == "-h" || a == "--help" ? stdout : stderr);
      return a == "-h" || a == "--help" ? 0 : 2;
    }
  }
  if (L.o.port <= 0 || L.o.conns < 1 || L.o.checks < 1 || L.o.parallel < 1) {
    load_usage(stderr);
    return 2;
  }
  signal(SIGINT, load_on_signal);
  signal(SIGTERM, load_on_signal);
  signal(SIGUSR1, load_on_signal);
  signal(SIGPIPE, SIG_IGN);
  load_raise_nofile(L.o.conns);

  L.ep = epoll_create1(EPOLL_CLOEXEC);
  L.c.resize((size_t) L.o.conns);
  std::vector<struct epoll_event> evs(1024);
  std::vector<char> buf(256 * 1024);
  double t0 = load_mono_s(), t_ready = 0;
  bool announced = false;
  while (!load_stop) {
    while (L.started < L.o.conns && L.in_flight < L.o.parallel) load_start_one(L, L.started++);
    if (!announced && L.ready + L.failed == L.o.conns) {
      announced = true;
      t_ready = load_mono_s();
      printf("ready %ld\n", L.ready);
      fflush(stdout);
      /* Only what arrives after the subscriptions are complete counts. */
      L.msgs = L.frames = L.bytes = L.bad_samples = L.late = 0;
      L.hist = load_hist_t{};
      for (auto &k : L.c) k.msgs = 0;
    }
    if (!announced && load_mono_s() - t0 > L.o.ready_timeout) {
      fprintf(stderr, "e2e_wsload: only %ld of %ld connections subscribed in %.0f s\n", L.ready, L.o.conns,
              L.o.ready_timeout);
      break;
    }
    if (announced && L.o.duration >= 0 && load_mono_s() - t_ready >= L.o.duration) break;
    int n = epoll_wait(L.ep, evs.data(), (int) evs.size(), 100);
    for (int i = 0; i < n; i++) {
      load_conn_t &k = L.c[evs[(size_t) i].data.u64];
      if (k.st == ST_CLOSED) continue;
      uint32_t e = evs[(size_t) i].events;
      if (k.st == ST_CONNECTING) {
        if (e & (EPOLLOUT | EPOLLERR | EPOLLHUP)) load_on_connected(L, k);
        continue;
      }
      if (e & EPOLLOUT) load_flush(L, k);
      if (k.st != ST_CLOSED && (e & (EPOLLIN | EPOLLERR | EPOLLHUP))) load_on_readable(L, k, buf.data(), buf.size());
    }
  }
  double t_end = load_mono_s();
  uint64_t mn = UINT64_MAX, mx = 0;
  for (auto &k : L.c) {
    if (k.closed_by_peer || k.st != ST_READY) continue;
    mn = std::min(mn, k.msgs);
    mx = std::max(mx, k.msgs);
  }
  if (mn == UINT64_MAX) mn = 0;
  printf("{\"conns\":%ld,\"ready\":%ld,\"failed\":%ld,\"closed_by_server\":%ld,\"msgs\":%" PRIu64
         ",\"late\":%" PRIu64 ",\"frames\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"bad_samples\":%" PRIu64 ",\"min_msgs_per_conn\":%" PRIu64
         ",\"max_msgs_per_conn\":%" PRIu64 ",\"seconds\":%.3f,\"lat_us\":{\"p50\":%.1f,\"p90\":%.1f,\"p99\":%.1f,"
         "\"p999\":%.1f,\"max\":%.1f,\"negative\":%" PRIu64 "}}\n",
         L.o.conns, L.ready, L.failed, L.peer_closed, L.msgs, L.late, L.frames, L.bytes, L.bad_samples, mn, mx,
         announced ? t_end - t_ready : 0.0, L.hist.pct(0.5) / 1e3, L.hist.pct(0.9) / 1e3, L.hist.pct(0.99) / 1e3,
         L.hist.pct(0.999) / 1e3, L.hist.pct(1.0) / 1e3, L.hist.neg);
  fflush(stdout);
  return announced ? 0 : 1;
}
