/* pask: the NATS side of the message bus. One connection with unlimited reconnection, one
 * asynchronous subscription whose delivery thread calls the registered hooks, and the DSO
 * registration that starts it when the configuration has "//network/in/mq". */
#include "pask/pask.h"

#include "zint/zint_conf.h"
#include "zint/zint_logsafe.h"
#include "zint/zint_startup.h"
#include "zint/zint_time.h"

#include <nats/nats.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

/* One message as hooks see it. */
struct pask_msg {
  natsMsg *m; /* owned by the delivery callback, destroyed after the last hook; null once kept */
};

/* The module's connection state; one per process. */
struct pask_conn_s {
  std::mutex mu;                      /* guards the five fields below (start, stop, readers) */
  natsOptions *opts = nullptr;        /* owned */
  natsConnection *nc = nullptr;       /* owned */
  natsSubscription *sub = nullptr;    /* owned */
  std::string hosts_redacted;         /* configured URLs without credentials, for logs */
  uint64_t dropped_before_stop = 0;   /* drops of the subscription stop destroyed */
  std::atomic<bool> connected{false};
  std::atomic<bool> stopping{false};  /* set by stop so that closing is not logged as a loss */
  std::atomic<int> connection_id{0};
  std::atomic<int> state{PASK_STATE_STOPPED};  /* pask_state_t */
  std::atomic<uint64_t> state_since_ns{0};     /* zint_get_nanos() when state was entered */
  std::atomic<uint64_t> received{0};
  std::atomic<int64_t> slow_logged_s{0}; /* last slow-consumer log line, wall seconds */
  std::mutex done_mu;                 /* guards sub_done */
  std::condition_variable done_cv;
  bool sub_done = false;              /* the delivery thread will not call hooks any more */
};

namespace {

constexpr int pask_max_hooks = 32;
constexpr int pask_default_reconnect_wait_ms = 1000;
constexpr int pask_default_pending_msgs = 65536;
constexpr int pask_default_pending_bytes = 64 * 1024 * 1024;
/* A slow consumer keeps dropping while it lasts; one line per this many seconds is enough. */
constexpr int64_t pask_slow_log_interval_s = 10;

struct pask_hook_t {
  char name[64];                       /* label for logs */
  zint_pask_handle_message_hook_t func;
  void *closure;
};

/* Written under pask_hooks_mu before pask_hook_count is raised (release); the delivery thread
 * reads pask_hook_count (acquire) and the entries below it without a lock. */
pask_hook_t pask_hooks[pask_max_hooks];
std::atomic<int> pask_hook_count{0};
std::mutex pask_hooks_mu;

pask_conn_s pask_conn;

/* Records a state change; a repeat of the current state keeps its start time. */
void pask_set_state(pask_conn_s *conn, pask_state_t st) {
  if (conn->state.exchange(st) != st) conn->state_since_ns = zint_get_nanos();
}

[[maybe_unused]] const int pask_dso_registered = zint_dso_register(ZINT_PASK_DSO_NAME, "//network/in/mq", pask_module_init);

std::string_view pask_trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::vector<std::string> pask_split_hosts(const char *hosts) {
  std::vector<std::string> out;
  std::string_view rest(hosts);
  while (true) {
    size_t comma = rest.find(',');
    std::string_view one = pask_trim(rest.substr(0, comma));
    if (!one.empty()) out.emplace_back(one);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return out;
}

std::string pask_redact_one(std::string_view url) {
  size_t start = url.find("://");
  start = start == std::string_view::npos ? 0 : start + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string_view authority = url.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
  size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, start)) + std::string(url.substr(start + at + 1));
}

std::string pask_connected_url(natsConnection *nc) {
  char buf[512] = "";
  if (natsConnection_GetConnectedUrl(nc, buf, sizeof(buf)) != NATS_OK) return "?";
  return pask_redact_one(buf);
}

void pask_on_msg(natsConnection *, natsSubscription *, natsMsg *m, void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  static thread_local bool named = false;
  if (!named) { /* the bus client's delivery thread, named for top -H and perf */
    pthread_setname_np(pthread_self(), "pask:deliver");
    named = true;
  }
  conn->received.fetch_add(1, std::memory_order_relaxed);
  pask_msg msg{m};
  const void *data = natsMsg_GetData(m);
  size_t len = (size_t) natsMsg_GetDataLength(m);
  if (!data) data = "";
  int id = conn->connection_id.load(std::memory_order_relaxed);
  int n = pask_hook_count.load(std::memory_order_acquire);
  for (int i = 0; i < n && msg.m; i++) {
    if (pask_hooks[i].func(pask_hooks[i].closure, conn, id, &msg, data, len) != ZINT_HOOK_CONTINUE) break;
  }
  if (msg.m) natsMsg_Destroy(m);
}

void pask_on_sub_complete(void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  std::lock_guard lock(conn->done_mu);
  conn->sub_done = true;
  conn->done_cv.notify_all();
}

void pask_on_connected(natsConnection *nc, void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  conn->connection_id.fetch_add(1);
  conn->connected = true;
  pask_set_state(conn, PASK_STATE_CONNECTED);
  zint_log(zint_error, "pask: connected to the message bus at %s\n", pask_connected_url(nc).c_str());
}

void pask_on_disconnected(natsConnection *, void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  bool was = conn->connected.exchange(false);
  if (was && !conn->stopping) pask_set_state(conn, PASK_STATE_RECONNECTING);
  if (was && !conn->stopping) zint_log(zint_error, "pask: lost the message bus connection, reconnecting\n");
}

void pask_on_reconnected(natsConnection *nc, void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  conn->connection_id.fetch_add(1);
  conn->connected = true;
  pask_set_state(conn, PASK_STATE_CONNECTED);
  zint_log(zint_error, "pask: message bus connection back at %s\n", pask_connected_url(nc).c_str());
}

void pask_on_closed(natsConnection *, void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  conn->connected = false;
  if (!conn->stopping) {
    pask_set_state(conn, PASK_STATE_CLOSED);
    zint_log(zint_error, "pask: message bus connection closed\n");
  }
}

void pask_on_error(natsConnection *, natsSubscription *sub, natsStatus err, void *closure) {
  pask_conn_s *conn = (pask_conn_s *) closure;
  if (err == NATS_SLOW_CONSUMER) {
    int64_t now = (int64_t) time(nullptr);
    int64_t last = conn->slow_logged_s.load();
    if (now - last < pask_slow_log_interval_s || !conn->slow_logged_s.compare_exchange_strong(last, now)) return;
    int64_t dropped = 0;
    if (sub) natsSubscription_GetDropped(sub, &dropped);
    zint_log(zint_error, "pask: message hooks fall behind the bus, messages dropped (%lld so far)\n",
             (long long) dropped);
    return;
  }
  ZINT_LOG_LIMITED(zint_error, "pask: message bus error: %s\n", natsStatus_GetText(err));
}

/* Releases what start built; the caller holds no lock the callbacks take. */
void pask_teardown(natsOptions *opts, natsConnection *nc, natsSubscription *sub) {
  if (sub) {
    natsSubscription_Unsubscribe(sub);
    if (nc) natsConnection_Close(nc);
    std::unique_lock lock(pask_conn.done_mu);
    /* Bounded so that a library that never reports completion cannot hang the caller. */
    pask_conn.done_cv.wait_for(lock, std::chrono::seconds(10), [] { return pask_conn.sub_done; });
  } else if (nc) {
    natsConnection_Close(nc);
  }
  if (sub) natsSubscription_Destroy(sub);
  if (nc) natsConnection_Destroy(nc);
  if (opts) natsOptions_Destroy(opts);
}

} // namespace

int zint_pask_handle_message_dyn_hook_register(const char *name, zint_pask_handle_message_hook_t func,
                                               void *closure) {
  if (!func) return -1;
  std::lock_guard lock(pask_hooks_mu);
  int n = pask_hook_count.load(std::memory_order_relaxed);
  if (n >= pask_max_hooks) {
    zint_log(zint_error, "pask: too many message hooks, %s not registered\n", name ? name : "(unnamed)");
    return -1;
  }
  pask_hook_t &h = pask_hooks[n];
  snprintf(h.name, sizeof(h.name), "%s", name ? name : "(unnamed)");
  h.func = func;
  h.closure = closure;
  pask_hook_count.store(n + 1, std::memory_order_release);
  return 0;
}

int zint_pask_handle_message_hook_register(const char *name, zint_pask_handle_message_hook_t func,
                                           void *closure) {
  /* Linked in but not started: hooks would never see a message, which is a configuration error
   * worth stopping for rather than a silent service without data. */
  if (!zint_dso_loaded(ZINT_PASK_DSO_NAME))
    zint_fatal("[FATAL] message-bus module not loaded (is //network/in/mq configured?): cannot register "
               "message hook %s\n",
               name ? name : "(unnamed)");
  return zint_pask_handle_message_dyn_hook_register(name, func, closure);
}

void pask_module_hooks_reset(void) {
  std::lock_guard lock(pask_hooks_mu);
  pask_hook_count.store(0, std::memory_order_release);
}

char *pask_redact_urls(const char *hosts) {
  if (!hosts) return nullptr;
  std::string out;
  std::string_view rest(hosts);
  while (true) {
    size_t comma = rest.find(',');
    out += pask_redact_one(rest.substr(0, comma));
    if (comma == std::string_view::npos) break;
    out += ',';
    rest.remove_prefix(comma + 1);
  }
  return strdup(out.c_str());
}

int pask_module_start(const pask_module_options_t *o) {
  if (!o || !o->hosts) {
    zint_log(zint_error, "pask: no message bus host given\n");
    return -1;
  }
  std::vector<std::string> hosts = pask_split_hosts(o->hosts);
  std::string redacted;
  for (const std::string &h : hosts) redacted += (redacted.empty() ? "" : ",") + pask_redact_one(h);
  const char *subject = o->subject && *o->subject ? o->subject : PASK_DEFAULT_SUBJECT;
  if (hosts.empty()) {
    zint_log(zint_error, "pask: no message bus host given\n");
    return -1;
  }
  if (o->pending_msgs_limit < 0 || o->pending_bytes_limit < 0 || o->reconnect_wait_ms < 0) {
    zint_log(zint_error, "pask: negative limits for %s\n", redacted.c_str());
    return -1;
  }

  std::lock_guard lock(pask_conn.mu);
  if (pask_conn.nc) {
    zint_log(zint_error, "pask: already started\n");
    return -1;
  }
  if (nats_Open(-1) != NATS_OK) {
    zint_log(zint_error, "pask: cannot initialise the NATS client\n");
    return -1;
  }
  std::vector<const char *> urls;
  for (const std::string &h : hosts) urls.push_back(h.c_str());

  pask_conn.stopping = false;
  pask_conn.connected = false;
  pask_conn.connection_id = 0;
  pask_conn.received = 0;
  pask_conn.dropped_before_stop = 0;
  pask_conn.hosts_redacted = redacted;
  {
    std::lock_guard dl(pask_conn.done_mu);
    pask_conn.sub_done = false;
  }

  natsOptions *opts = nullptr;
  natsConnection *nc = nullptr;
  natsSubscription *sub = nullptr;
  natsStatus s = natsOptions_Create(&opts);
  if (s == NATS_OK) s = natsOptions_SetServers(opts, urls.data(), (int) urls.size());
  if (s == NATS_OK) s = natsOptions_SetName(opts, "vorn-c");
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(opts, -1);
  if (s == NATS_OK)
    s = natsOptions_SetReconnectWait(opts, o->reconnect_wait_ms ? o->reconnect_wait_ms : pask_default_reconnect_wait_ms);
  if (s == NATS_OK) s = natsOptions_SetRetryOnFailedConnect(opts, true, pask_on_connected, &pask_conn);
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(opts, pask_on_disconnected, &pask_conn);
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(opts, pask_on_reconnected, &pask_conn);
  if (s == NATS_OK) s = natsOptions_SetClosedCB(opts, pask_on_closed, &pask_conn);
  if (s == NATS_OK) s = natsOptions_SetErrorHandler(opts, pask_on_error, &pask_conn);
  if (s != NATS_OK) {
    zint_log(zint_error, "pask: cannot use message bus options for %s: %s\n", redacted.c_str(), natsStatus_GetText(s));
    pask_teardown(opts, nullptr, nullptr);
    return -1;
  }

  pask_set_state(&pask_conn, PASK_STATE_CONNECTING);
  s = natsConnection_Connect(&nc, opts);
  if (s == NATS_OK) {
    pask_conn.connection_id.fetch_add(1);
    pask_conn.connected = true;
    pask_set_state(&pask_conn, PASK_STATE_CONNECTED);
    zint_log(zint_error, "pask: connected to the message bus at %s\n", pask_connected_url(nc).c_str());
  } else if (s == NATS_NOT_YET_CONNECTED) {
    zint_log(zint_error, "pask: message bus at %s not reachable, retrying in the background\n", redacted.c_str());
  } else {
    zint_log(zint_error, "pask: cannot connect to the message bus at %s: %s\n", redacted.c_str(), natsStatus_GetText(s));
    pask_teardown(opts, nc, nullptr);
    pask_set_state(&pask_conn, PASK_STATE_STOPPED);
    return -1;
  }

  s = natsConnection_Subscribe(&sub, nc, subject, pask_on_msg, &pask_conn);
  if (s == NATS_OK) s = natsSubscription_SetOnCompleteCB(sub, pask_on_sub_complete, &pask_conn);
  if (s == NATS_OK && (o->pending_msgs_limit || o->pending_bytes_limit))
    s = natsSubscription_SetPendingLimits(sub, o->pending_msgs_limit ? o->pending_msgs_limit : pask_default_pending_msgs,
                                          o->pending_bytes_limit ? o->pending_bytes_limit : pask_default_pending_bytes);
  if (s != NATS_OK) {
    zint_log(zint_error, "pask: cannot subscribe to %s at %s: %s\n", subject, redacted.c_str(), natsStatus_GetText(s));
    pask_conn.stopping = true;
    pask_teardown(opts, nc, sub);
    pask_conn.connected = false;
    pask_set_state(&pask_conn, PASK_STATE_STOPPED);
    return -1;
  }
  pask_conn.opts = opts;
  pask_conn.nc = nc;
  pask_conn.sub = sub;
  return 0;
}

void pask_module_stop(void) {
  natsOptions *opts;
  natsConnection *nc;
  natsSubscription *sub;
  {
    std::lock_guard lock(pask_conn.mu);
    if (!pask_conn.nc) return;
    pask_conn.stopping = true;
    int64_t dropped = 0;
    if (natsSubscription_GetDropped(pask_conn.sub, &dropped) == NATS_OK && dropped > 0)
      pask_conn.dropped_before_stop = (uint64_t) dropped;
    opts = pask_conn.opts;
    nc = pask_conn.nc;
    sub = pask_conn.sub;
    pask_conn.opts = nullptr;
    pask_conn.nc = nullptr;
    pask_conn.sub = nullptr;
  }
  /* Outside the lock: a hook still running may read the counters, which take it. */
  pask_teardown(opts, nc, sub);
  pask_conn.connected = false;
  pask_set_state(&pask_conn, PASK_STATE_STOPPED);
}

uint64_t pask_module_dropped(void) {
  std::lock_guard lock(pask_conn.mu);
  if (!pask_conn.sub) return pask_conn.dropped_before_stop;
  int64_t dropped = 0;
  if (natsSubscription_GetDropped(pask_conn.sub, &dropped) != NATS_OK || dropped < 0) return 0;
  return (uint64_t) dropped;
}

uint64_t pask_module_received(void) { return pask_conn.received.load(std::memory_order_relaxed); }

bool pask_module_connected(void) { return pask_conn.connected.load(); }

pask_state_t pask_module_state(uint64_t *since_ns) {
  /* Read the time first: a change between the two reads then shows the new state with an older
   * start, never a state that seems to have begun before it did. */
  uint64_t since = pask_conn.state_since_ns.load();
  pask_state_t st = (pask_state_t) pask_conn.state.load();
  if (since_ns) *since_ns = since;
  return st;
}

int pask_module_connection_id(void) { return pask_conn.connection_id.load(); }

const char *pask_msg_subject(const struct pask_msg *msg) { return msg && msg->m ? natsMsg_GetSubject(msg->m) : nullptr; }

/* A kept message is the bus client's message itself. Destroying it off the delivery thread also
 * keeps the client's release work (which wakes its collector thread) off the one thread that
 * drains the subscription. */
struct pask_kept_msg *pask_msg_keep(struct pask_msg *msg) {
  if (!msg || !msg->m) return nullptr;
  natsMsg *m = msg->m;
  msg->m = nullptr;
  return reinterpret_cast<pask_kept_msg *>(m);
}

void pask_kept_msg_release(struct pask_kept_msg *kept) { natsMsg_Destroy(reinterpret_cast<natsMsg *>(kept)); }

int pask_module_init(void) {
  char *host = nullptr, *subject = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/host", &host)) {
    zint_log(zint_error, "pask: //network/in/mq/host is not configured, the message bus is not used\n");
    return -1;
  }
  zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/subject", &subject);
  pask_module_options_t o{};
  o.hosts = host;
  o.subject = subject;
  int32_t v = 0;
  if (zint_conf_get_int32(ZINT_CONF_ROOT, "//network/in/mq/pending_msgs_limit", &v)) o.pending_msgs_limit = v;
  if (zint_conf_get_int32(ZINT_CONF_ROOT, "//network/in/mq/pending_bytes_limit", &v)) o.pending_bytes_limit = v;
  if (zint_conf_get_int32(ZINT_CONF_ROOT, "//network/in/mq/reconnect_wait_ms", &v)) o.reconnect_wait_ms = v;
  int rc = pask_module_start(&o);
  free(host);
  free(subject);
  return rc;
}
