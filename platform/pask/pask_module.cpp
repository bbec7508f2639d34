/* pask: the NATS side of the message bus. One connection with unlimited reconnection; either one
 * asynchronous subscription to the firehose, whose delivery thread calls the registered hooks, or
 * subscriptions made and ended at run time per held subject by the module's own thread and
 * delivered by one shared delivery thread; and the DSO registration that starts it when the
 * configuration has "//network/in/mq". */
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
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

/* One message as hooks see it. */
struct pask_msg {
  natsMsg *m; /* owned by the delivery callback, destroyed after the last hook; null once kept */
};

/* A subject held at run time (pask_subject_hold). */
struct pask_held_t {
  int refs = 0;                    /* holds not yet released */
  natsSubscription *sub = nullptr; /* owned; set and cleared by the subscription thread only */
  uint64_t release_at_ns = 0;      /* with refs 0: when the subscription ends (zint_get_nanos) */
  bool failed = false;             /* the subscription was refused; tried again on the next first hold */
  bool queued = false;             /* listed in subs_todo */
};

/* The module's connection state; one per process. */
struct pask_conn_s {
  std::mutex mu;                      /* guards the six fields below (start, stop, readers) */
  natsOptions *opts = nullptr;        /* owned */
  natsConnection *nc = nullptr;       /* owned */
  natsSubscription *sub = nullptr;    /* owned; the firehose, null in per-check mode */
  std::string hosts_redacted;         /* configured URLs without credentials, for logs */
  std::string check_prefix;           /* per-check mode's prefix; empty for the firehose */
  uint64_t dropped_before_stop = 0;   /* drops of the subscriptions stop destroyed */
  std::atomic<bool> connected{false};
  std::atomic<bool> stopping{false};  /* set by stop so that closing is not logged as a loss */
  std::atomic<int> connection_id{0};
  std::atomic<int> state{PASK_STATE_STOPPED};  /* pask_state_t */
  std::atomic<uint64_t> state_since_ns{0};     /* zint_get_nanos() when state was entered */
  std::atomic<uint64_t> received{0};
  std::atomic<int64_t> slow_logged_s{0}; /* last slow-consumer log line, wall seconds */
  std::mutex done_mu;                 /* guards live_subs */
  std::condition_variable done_cv;
  int live_subs = 0;                  /* subscriptions whose delivery may still call hooks */

  /* Run-time subscriptions: callers change the holds, the subscription thread makes the calls. */
  std::mutex subs_mu;                 /* guards the fields below; taken after mu, never before */
  std::condition_variable subs_cv;    /* wakes the subscription thread */
  std::unordered_map<std::string, pask_held_t> held;
  /* The thread looks only at what changed: subjects held for the first time without a
   * subscription, and release times (a later hold or release makes an earlier time stale), so a
   * change costs the same however many checks are held. */
  std::vector<std::string> subs_todo;
  std::multimap<uint64_t, std::string> subs_due;
  uint64_t held_subs = 0;             /* entries of held with a subscription */
  bool subs_stop = false;             /* the subscription thread is to end */
  bool firehose_held = false;         /* the firehose subscription exists */
  uint64_t subs_count = 0;            /* last count given to the observer */
  uint64_t held_dropped = 0;          /* drops of run-time subscriptions already ended */
  void (*observer)(void *, uint64_t) = nullptr;
  void *observer_closure = nullptr;
  int unsubscribe_after_ms = 0;       /* fixed while the thread runs */
  int pending_msgs_limit = 0;         /* the same */
  int pending_bytes_limit = 0;        /* the same */
  /* Joined and deleted by stop; touched under mu only. */
  std::thread *subs_thread = nullptr;
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

/* Never destroyed: a process that ends with exit() while the subscription thread waits on its
 * condition (a later module refusing to start) must not run the destructor under it, which would
 * wait for that thread forever. */
pask_conn_s &pask_conn = *new pask_conn_s;

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
  conn->live_subs--;
  conn->done_cv.notify_all();
}

/* Subscribes to subject with the module's hook chain, completion report and pending limits. NATS_OK
 * with *out set, or the failure with nothing left behind. */
natsStatus pask_subscribe(pask_conn_s *conn, natsConnection *nc, const char *subject, int msgs_limit,
                          int bytes_limit, natsSubscription **out) {
  natsSubscription *sub = nullptr;
  natsStatus s = natsConnection_Subscribe(&sub, nc, subject, pask_on_msg, conn);
  if (s != NATS_OK) return s;
  {
    std::lock_guard lock(conn->done_mu);
    conn->live_subs++;
  }
  s = natsSubscription_SetOnCompleteCB(sub, pask_on_sub_complete, conn);
  if (s != NATS_OK) {
    /* No report will come: count it out now, after the last callback the unsubscription lets run. */
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    pask_on_sub_complete(conn);
    return s;
  }
  if (msgs_limit || bytes_limit)
    s = natsSubscription_SetPendingLimits(sub, msgs_limit ? msgs_limit : pask_default_pending_msgs,
                                          bytes_limit ? bytes_limit : pask_default_pending_bytes);
  if (s != NATS_OK) {
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    return s;
  }
  *out = sub;
  return NATS_OK;
}

int64_t pask_sub_dropped(natsSubscription *sub) {
  int64_t dropped = 0;
  if (!sub || natsSubscription_GetDropped(sub, &dropped) != NATS_OK || dropped < 0) return 0;
  return dropped;
}

/* Drops of every subscription, the ended run-time ones included; under mu, with the connection up. */
uint64_t pask_dropped_all(pask_conn_s *conn) {
  uint64_t dropped = (uint64_t) pask_sub_dropped(conn->sub);
  std::lock_guard sl(conn->subs_mu);
  dropped += conn->held_dropped;
  for (auto &kv : conn->held) dropped += (uint64_t) pask_sub_dropped(kv.second.sub);
  return dropped;
}

/* Tells the observer about a changed count. Under subs_mu. */
void pask_subs_publish(pask_conn_s *conn) {
  uint64_t n = (conn->firehose_held ? 1 : 0) + conn->held_subs;
  if (n == conn->subs_count) return;
  conn->subs_count = n;
  if (conn->observer) conn->observer(conn->observer_closure, n);
}

/* The subscription thread: makes the subscriptions the holds ask for and ends those released longer
 * than the linger ago. Callers only record holds, so the NATS calls, which take the connection's lock
 * and may wait for its socket, never run on their threads. A subject held again while its old
 * subscription is being ended is subscribed anew on the next pass. */
void pask_subs_run(pask_conn_s *conn, natsConnection *nc) {
  pthread_setname_np(pthread_self(), "pask:subs");
  std::unique_lock lock(conn->subs_mu);
  while (!conn->subs_stop) {
    uint64_t now = zint_get_nanos();
    std::vector<std::string> to_sub;
    std::vector<natsSubscription *> to_end;
    for (const std::string &subject : conn->subs_todo) {
      auto it = conn->held.find(subject);
      if (it == conn->held.end()) continue;
      pask_held_t &h = it->second;
      h.queued = false;
      if (h.refs > 0 && !h.sub && !h.failed) to_sub.push_back(subject);
      else if (h.refs == 0 && !h.sub) conn->held.erase(it);
    }
    conn->subs_todo.clear();
    while (!conn->subs_due.empty() && conn->subs_due.begin()->first <= now) {
      auto due = conn->subs_due.begin();
      auto it = conn->held.find(due->second);
      if (it != conn->held.end() && it->second.refs == 0 && it->second.release_at_ns == due->first) {
        if (natsSubscription *sub = it->second.sub) {
          conn->held_dropped += (uint64_t) pask_sub_dropped(sub);
          conn->held_subs--;
          to_end.push_back(sub);
        }
        conn->held.erase(it);
      }
      conn->subs_due.erase(due);
    }
    pask_subs_publish(conn);
    if (to_sub.empty() && to_end.empty()) {
      if (conn->subs_due.empty()) conn->subs_cv.wait(lock);
      else conn->subs_cv.wait_for(lock, std::chrono::nanoseconds(conn->subs_due.begin()->first - now));
      continue;
    }
    lock.unlock();
    for (natsSubscription *sub : to_end) {
      natsSubscription_Unsubscribe(sub);
      natsSubscription_Destroy(sub);
    }
    std::vector<std::pair<natsSubscription *, natsStatus>> made(to_sub.size(), {nullptr, NATS_OK});
    for (size_t i = 0; i < to_sub.size(); i++)
      made[i].second = pask_subscribe(conn, nc, to_sub[i].c_str(), conn->pending_msgs_limit,
                                      conn->pending_bytes_limit, &made[i].first);
    lock.lock();
    for (size_t i = 0; i < to_sub.size(); i++) {
      /* Only this thread removes entries, and one it is subscribing stays until here; when it was
       * released meanwhile, its release time ends the new subscription. */
      pask_held_t &h = conn->held[to_sub[i]];
      h.sub = made[i].first;
      h.failed = made[i].second != NATS_OK;
      if (h.sub) conn->held_subs++;
      if (h.failed)
        ZINT_LOG_LIMITED(zint_error, "pask: cannot subscribe to %s: %s\n", ZINT_LOG_TEXT(to_sub[i].c_str()),
                         natsStatus_GetText(made[i].second));
    }
  }
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

/* Releases what start built, the run-time subscriptions included (their thread has ended); the
 * caller holds no lock the callbacks take. */
void pask_teardown(natsOptions *opts, natsConnection *nc, natsSubscription *sub) {
  std::vector<natsSubscription *> held;
  {
    std::lock_guard lock(pask_conn.subs_mu);
    for (auto &kv : pask_conn.held)
      if (kv.second.sub) held.push_back(kv.second.sub);
    pask_conn.held.clear();
    pask_conn.subs_todo.clear();
    pask_conn.subs_due.clear();
    pask_conn.held_subs = 0;
    pask_conn.firehose_held = false;
    pask_subs_publish(&pask_conn);
  }
  if (sub) natsSubscription_Unsubscribe(sub);
  for (natsSubscription *h : held) natsSubscription_Unsubscribe(h);
  if (nc) natsConnection_Close(nc);
  {
    std::unique_lock lock(pask_conn.done_mu);
    /* Bounded so that a library that never reports completion cannot hang the caller. */
    pask_conn.done_cv.wait_for(lock, std::chrono::seconds(10), [] { return pask_conn.live_subs <= 0; });
  }
  for (natsSubscription *h : held) natsSubscription_Destroy(h);
  if (sub) natsSubscription_Destroy(sub);
  if (nc) natsConnection_Destroy(nc);
  if (opts) natsOptions_Destroy(opts);
}

bool pask_token_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
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
  if (o->pending_msgs_limit < 0 || o->pending_bytes_limit < 0 || o->reconnect_wait_ms < 0 ||
      o->unsubscribe_after_ms < 0) {
    zint_log(zint_error, "pask: negative limits for %s\n", redacted.c_str());
    return -1;
  }
  if (o->check_subject_prefix && !pask_check_subject_prefix_usable(o->check_subject_prefix)) {
    zint_log(zint_error, "pask: \"%s\" cannot start per-check subjects\n", ZINT_LOG_TEXT(o->check_subject_prefix));
    return -1;
  }
  bool per_check = o->check_subject_prefix != nullptr;

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
  pask_conn.check_prefix = per_check ? o->check_subject_prefix : "";
  {
    std::lock_guard dl(pask_conn.done_mu);
    pask_conn.live_subs = 0;
  }
  {
    std::lock_guard sl(pask_conn.subs_mu);
    pask_conn.subs_stop = false;
    pask_conn.held_dropped = 0;
    pask_conn.unsubscribe_after_ms = o->unsubscribe_after_ms;
    pask_conn.pending_msgs_limit = o->pending_msgs_limit;
    pask_conn.pending_bytes_limit = o->pending_bytes_limit;
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
  /* One delivery thread for all the per-check subscriptions rather than one thread each. */
  if (s == NATS_OK && per_check) s = nats_SetMessageDeliveryPoolSize(1);
  if (s == NATS_OK && per_check) s = natsOptions_UseGlobalMessageDelivery(opts, true);
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

  /* s may still say that the connection is being retried: subscriptions are made all the same and
   * sent once it is up. */
  s = per_check ? NATS_OK
                : pask_subscribe(&pask_conn, nc, subject, o->pending_msgs_limit, o->pending_bytes_limit, &sub);
  if (s != NATS_OK) {
    zint_log(zint_error, "pask: cannot subscribe to %s at %s: %s\n", subject, redacted.c_str(), natsStatus_GetText(s));
    pask_conn.stopping = true;
    pask_teardown(opts, nc, nullptr);
    pask_conn.connected = false;
    pask_set_state(&pask_conn, PASK_STATE_STOPPED);
    return -1;
  }
  pask_conn.opts = opts;
  pask_conn.nc = nc;
  pask_conn.sub = sub;
  {
    std::lock_guard sl(pask_conn.subs_mu);
    pask_conn.firehose_held = sub != nullptr;
    pask_subs_publish(&pask_conn);
  }
  /* Holds made before the start are taken up at once. */
  pask_conn.subs_thread = new std::thread(pask_subs_run, &pask_conn, nc);
  if (per_check)
    zint_log(zint_error, "pask: per-check subjects %s.<check>, ended %d ms after their last watcher\n",
             pask_conn.check_prefix.c_str(), o->unsubscribe_after_ms);
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
    {
      std::lock_guard sl(pask_conn.subs_mu);
      pask_conn.subs_stop = true;
      pask_conn.subs_cv.notify_all();
    }
    if (pask_conn.subs_thread) {
      pask_conn.subs_thread->join();
      delete pask_conn.subs_thread;
      pask_conn.subs_thread = nullptr;
    }
    pask_conn.dropped_before_stop = pask_dropped_all(&pask_conn);
    opts = pask_conn.opts;
    nc = pask_conn.nc;
    sub = pask_conn.sub;
    pask_conn.opts = nullptr;
    pask_conn.nc = nullptr;
    pask_conn.sub = nullptr;
    pask_conn.check_prefix.clear();
  }
  /* Outside the lock: a hook still running may read the counters, which take it. */
  pask_teardown(opts, nc, sub);
  pask_conn.connected = false;
  pask_set_state(&pask_conn, PASK_STATE_STOPPED);
}

uint64_t pask_module_dropped(void) {
  std::lock_guard lock(pask_conn.mu);
  return pask_conn.nc ? pask_dropped_all(&pask_conn) : pask_conn.dropped_before_stop;
}

bool pask_check_subject_prefix_usable(const char *prefix) {
  if (!prefix || !*prefix) return false;
  bool token_started = false;
  for (const char *c = prefix; *c; c++) {
    if (*c == '.' && token_started) token_started = false;
    else if (pask_token_char(*c)) token_started = true;
    else return false;
  }
  return token_started;
}

const char *pask_module_check_subject_prefix(void) {
  std::lock_guard lock(pask_conn.mu);
  return pask_conn.nc && !pask_conn.check_prefix.empty() ? pask_conn.check_prefix.c_str() : nullptr;
}

void pask_subject_hold(const char *subject) {
  if (!subject || !*subject) return;
  std::lock_guard lock(pask_conn.subs_mu);
  pask_held_t &h = pask_conn.held[subject];
  if (h.refs++ > 0) return;
  h.failed = false;
  if (h.sub || h.queued) return; /* a lingering subscription just stays */
  h.queued = true;
  pask_conn.subs_todo.emplace_back(subject);
  pask_conn.subs_cv.notify_one();
}

void pask_subject_release(const char *subject) {
  if (!subject) return;
  std::lock_guard lock(pask_conn.subs_mu);
  auto it = pask_conn.held.find(subject);
  if (it == pask_conn.held.end() || it->second.refs == 0 || --it->second.refs > 0) return;
  it->second.release_at_ns = zint_get_nanos() + (uint64_t) pask_conn.unsubscribe_after_ms * 1000000ull;
  pask_conn.subs_due.emplace(it->second.release_at_ns, subject);
  pask_conn.subs_cv.notify_one();
}

uint64_t pask_module_subscriptions(void) {
  std::lock_guard lock(pask_conn.subs_mu);
  return pask_conn.subs_count;
}

void pask_module_set_subscriptions_observer(void (*fn)(void *closure, uint64_t n), void *closure) {
  std::lock_guard lock(pask_conn.subs_mu);
  pask_conn.observer = fn;
  pask_conn.observer_closure = closure;
  if (fn) fn(closure, pask_conn.subs_count);
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

/* A configuration that contradicts itself is no bus to retry: the process stops, as for other
 * unusable settings, with status 1. */
[[noreturn]] void pask_conf_refused(const char *what) {
  zint_log(zint_error, "pask: %s\n", what);
  exit(1);
}

/* "//network/in/mq/unsubscribe_after_s" in milliseconds: the default when absent, the end of the
 * process when it is not a whole number of seconds in 0..86400. */
int pask_conf_linger_ms(void) {
  char *text = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/unsubscribe_after_s", &text))
    return PASK_DEFAULT_UNSUBSCRIBE_AFTER_S * 1000;
  uint64_t v = 0;
  std::string_view t = pask_trim(text);
  bool ok = zint_conf_parse_u64(std::string(t), 86400, &v);
  if (!ok) {
    std::string why = "//network/in/mq/unsubscribe_after_s \"" + std::string(ZINT_LOG_TEXT(text)) +
                      "\" is not a whole number of seconds in 0..86400";
    free(text);
    pask_conf_refused(why.c_str());
  }
  free(text);
  return (int) v * 1000;
}

int pask_module_init(void) {
  char *host = nullptr, *subject = nullptr, *prefix = nullptr;
  if (!zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/host", &host) || pask_split_hosts(host).empty())
    pask_conf_refused("//network/in/mq/host names no bus URL");
  zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/subject", &subject);
  zint_conf_get_string(ZINT_CONF_ROOT, "//network/in/mq/check_subject_prefix", &prefix);
  if (subject && prefix)
    pask_conf_refused("//network/in/mq has both <subject> and <check_subject_prefix>: configure the firehose "
                      "subject or the per-check prefix, not both");
  if (prefix && !pask_check_subject_prefix_usable(prefix)) {
    std::string why = "//network/in/mq/check_subject_prefix \"" + std::string(ZINT_LOG_TEXT(prefix)) +
                      "\" is not a subject prefix: tokens of letters, digits, '-' and '_' joined by '.', no "
                      "wildcard, no blank";
    pask_conf_refused(why.c_str());
  }
  pask_module_options_t o{};
  o.hosts = host;
  o.subject = subject;
  o.check_subject_prefix = prefix;
  if (prefix) o.unsubscribe_after_ms = pask_conf_linger_ms();
  const struct {
    const char *path;
    int *to;
  } limits[] = {{"//network/in/mq/pending_msgs_limit", &o.pending_msgs_limit},
                {"//network/in/mq/pending_bytes_limit", &o.pending_bytes_limit},
                {"//network/in/mq/reconnect_wait_ms", &o.reconnect_wait_ms}};
  for (const auto &l : limits) {
    int32_t v = 0;
    if (!zint_conf_get_int32(ZINT_CONF_ROOT, l.path, &v)) continue;
    if (v < 0) pask_conf_refused((std::string(l.path) + " " + std::to_string(v) + " is negative").c_str());
    *l.to = v;
  }
  int rc = pask_module_start(&o);
  free(host);
  free(subject);
  free(prefix);
  return rc;
}
