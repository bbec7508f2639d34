/* zint log streams: named streams ("error", "debug/vorn") writing to stderr, stdout or files, either
 * synchronously or through one writer thread. A disabled stream costs one relaxed load per call;
 * streams and outputs are never freed, so handles stay valid through exit and fatal paths. */
#include "zint/zint_log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/time.h>
#include <thread>
#include <vector>
#include <unistd.h>

/* Where entries end up. One object per distinct destination, shared by every stream writing there. */
struct zint_log_output {
  constexpr zint_log_output(const char *p, int f, bool file, bool ts)
      : path(p), is_file(file), timestamps(ts), fd(f) {}
  const char *path;              /* "stderr", "stdout" or an absolute file path; immutable, never freed */
  const bool is_file;            /* reopened by zint_log_reopen_all */
  std::atomic<bool> timestamps;  /* prefix each entry with UTC time; set by configuration */
  std::mutex mu;                 /* serialises writes and the descriptor swap of a reopen */
  int fd;                        /* guarded by mu; for files replaced in place (dup2) on reopen */
};

struct zint_log_stream {
  constexpr zint_log_stream(const char *n, bool on, zint_log_output *out, bool debug)
      : name(n), enabled(on), output(out), own_output(out), is_debug(debug) {}
  const char *name;                         /* immutable, never freed */
  std::atomic<bool> enabled;                /* the only thing a disabled zint_log call reads */
  std::atomic<zint_log_output *> output;    /* effective output: own, else the nearest parent's */
  zint_log_output *own_output;              /* guarded by the registry mutex; null = inherit */
  const bool is_debug;                      /* "debug" or "debug/<x>": switched by -d */
};

/* Constant-initialised, so other files' static initialisers may log before this file's run. */
static constinit zint_log_output stderr_output("stderr", 2, false, false);
static constinit zint_log_output stdout_output("stdout", 1, false, false);
static constinit zint_log_stream builtin_error("error", true, &stderr_output, false);
static constinit zint_log_stream builtin_debug("debug", false, &stderr_output, true);
static constinit zint_log_stream builtin_notice("notice", true, &stderr_output, false);

zint_log_stream_t zint_error = &builtin_error;
zint_log_stream_t zint_debug = &builtin_debug;
zint_log_stream_t zint_notice = &builtin_notice;

/* Streams and outputs by name; heap-allocated and never destroyed so that logging during exit
 * (atexit handlers, other threads still running) never meets a destroyed map. */
struct log_registry {
  std::mutex mu;
  std::map<std::string, zint_log_stream *, std::less<>> streams; /* guarded by mu */
  std::map<std::string, zint_log_output *, std::less<>> outputs; /* guarded by mu; files only */
  bool debug_on = false;                                          /* guarded by mu; -d */
};

static log_registry &registry() {
  static log_registry *r = [] {
    auto *n = new log_registry;
    n->streams.emplace("error", &builtin_error);
    n->streams.emplace("debug", &builtin_debug);
    n->streams.emplace("notice", &builtin_notice);
    return n;
  }();
  return *r;
}

static bool name_is_debug(std::string_view name) {
  return name == "debug" || name.starts_with("debug/");
}

/* Recomputes the inherited outputs. The map is ordered, so a parent ("debug") is settled before its
 * children ("debug/vorn"). Caller holds the registry mutex. */
static void resolve_outputs_locked(log_registry &r) {
  for (auto &[name, ls] : r.streams) {
    if (ls->own_output != nullptr) {
      ls->output.store(ls->own_output, std::memory_order_release);
      continue;
    }
    zint_log_output *inherited = nullptr;
    std::string_view n = name;
    for (size_t slash = n.rfind('/'); slash != std::string_view::npos; slash = n.rfind('/')) {
      n = n.substr(0, slash);
      auto it = r.streams.find(n);
      if (it != r.streams.end()) {
        inherited = it->second->output.load(std::memory_order_relaxed);
        break;
      }
    }
    ls->output.store(inherited, std::memory_order_release);
  }
}

zint_log_stream_t zint_log_stream_find(const char *name) {
  if (name == nullptr) name = "";
  log_registry &r = registry();
  std::lock_guard lock(r.mu);
  auto it = r.streams.find(std::string_view(name));
  if (it != r.streams.end()) return it->second;
  char *copy = strdup(name);
  ZINT_ASSERT(copy != nullptr);
  bool debug = name_is_debug(copy);
  auto *ls = new zint_log_stream(copy, debug && r.debug_on, nullptr, debug);
  r.streams.emplace(copy, ls);
  resolve_outputs_locked(r);
  return ls;
}

zint_boolean zint_log_stream_enabled(zint_log_stream_t ls) {
  return ls != nullptr && ls->enabled.load(std::memory_order_relaxed);
}

const char *zint_log_stream_name(zint_log_stream_t ls) { return ls ? ls->name : nullptr; }

const char *zint_log_stream_output(zint_log_stream_t ls) {
  if (ls == nullptr) return nullptr;
  zint_log_output *out = ls->output.load(std::memory_order_acquire);
  return out ? out->path : nullptr;
}

void zint_log_stream_set_enabled(zint_log_stream_t ls, zint_boolean on) {
  if (ls == nullptr) return;
  log_registry &r = registry();
  std::lock_guard lock(r.mu);
  if (!on && ls->is_debug && r.debug_on) return;
  ls->enabled.store(on, std::memory_order_relaxed);
}

void zint_log_enable_debug(zint_boolean on) {
  log_registry &r = registry();
  std::lock_guard lock(r.mu);
  r.debug_on = on;
  for (auto &[name, ls] : r.streams)
    if (ls->is_debug) ls->enabled.store(on, std::memory_order_relaxed);
}

/* Writes all of buf, retrying interrupted and partial writes. A broken destination (full disk,
 * closed pipe) loses the entry: logging must never stop the service. */
static void output_write(zint_log_output *out, const char *buf, size_t len) {
  std::lock_guard lock(out->mu);
  while (len > 0) {
    ssize_t n = write(out->fd, buf, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    buf += n;
    len -= (size_t) n;
  }
}

static int open_log_file(const char *path) {
  return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

int zint_log_stream_set_output(zint_log_stream_t ls, const char *output, int timestamps) {
  if (ls == nullptr) return -1;
  log_registry &r = registry();
  zint_log_output *out = nullptr;
  if (output == nullptr) {
    out = nullptr;
  } else if (strcmp(output, "stderr") == 0) {
    out = &stderr_output;
  } else if (strcmp(output, "stdout") == 0) {
    out = &stdout_output;
  } else if (output[0] == '\0') {
    zint_log(zint_error, "log stream '%s': empty output path\n", ls->name);
    return -1;
  } else {
    /* Absolute, so that a reopen after the daemon's chdir("/") finds the same file. */
    std::string path = output;
    if (path[0] != '/') {
      char cwd[4096];
      if (getcwd(cwd, sizeof cwd) == nullptr) {
        zint_log(zint_error, "log stream '%s': cannot resolve '%s': %s\n", ls->name, output,
                 strerror(errno));
        return -1;
      }
      path = std::string(cwd) + "/" + path;
    }
    std::unique_lock lock(r.mu);
    auto it = r.outputs.find(path);
    if (it != r.outputs.end()) {
      out = it->second;
    } else {
      lock.unlock();
      int fd = open_log_file(path.c_str());
      if (fd < 0) {
        zint_log(zint_error, "log stream '%s': cannot open '%s': %s\n", ls->name, path.c_str(),
                 strerror(errno));
        return -1;
      }
      lock.lock();
      it = r.outputs.find(path);
      if (it != r.outputs.end()) { /* another thread opened it meanwhile */
        close(fd);
        out = it->second;
      } else {
        char *p = strdup(path.c_str());
        ZINT_ASSERT(p != nullptr);
        out = new zint_log_output(p, fd, true, true);
        r.outputs.emplace(p, out);
      }
    }
  }
  std::lock_guard lock(r.mu);
  if (out != nullptr && timestamps >= 0) out->timestamps.store(timestamps != 0);
  ls->own_output = out;
  resolve_outputs_locked(r);
  return 0;
}

/* ---- the asynchronous writer ---- */

/* Bound on queued entries: beyond it callers wait for the writer instead of growing memory. */
static constexpr size_t LOG_QUEUE_MAX = 65536;

struct log_entry {
  zint_log_output *out;
  std::string text;
};

/* One writer thread for every stream. Heap-allocated and never destroyed (see registry()). */
struct log_writer {
  std::mutex life_mu;                 /* serialises go_asynch / go_synch */
  std::mutex mu;                      /* guards everything below */
  std::condition_variable work_cv;    /* writer waits here for entries */
  std::condition_variable idle_cv;    /* flushers and full-queue producers wait here */
  std::deque<log_entry> queue;
  bool accepting = false;             /* entries are queued, not written by the caller */
  bool sleeping = false;              /* writer is waiting: only then does a producer notify */
  bool busy = false;                  /* writer holds a batch taken off the queue */
  bool stop = false;                  /* writer drains and exits */
  std::thread thread;                 /* owned by life_mu holders */
  std::thread::id id;
};

static log_writer &writer() {
  static log_writer *w = new log_writer;
  return *w;
}

/* Cheap pre-check for the caller's path; the writer's mutex has the final word. */
static std::atomic<bool> log_asynch{false};

static void writer_main(log_writer *w) {
  std::deque<log_entry> batch;
  std::string buf;
  std::unique_lock lock(w->mu);
  for (;;) {
    if (w->queue.empty()) {
      if (w->stop) break;
      w->sleeping = true;
      w->work_cv.wait(lock);
      w->sleeping = false;
      continue;
    }
    batch.swap(w->queue);
    w->busy = true;
    lock.unlock();
    w->idle_cv.notify_all(); /* room again for producers waiting on a full queue */
    /* Consecutive entries for one output go out in one system call. */
    zint_log_output *cur = nullptr;
    for (auto &e : batch) {
      if (e.out != cur && !buf.empty()) {
        output_write(cur, buf.data(), buf.size());
        buf.clear();
      }
      cur = e.out;
      buf += e.text;
    }
    if (!buf.empty()) output_write(cur, buf.data(), buf.size());
    buf.clear();
    batch.clear();
    lock.lock();
    w->busy = false;
    w->idle_cv.notify_all();
  }
}

/* Queues the entry; false when the writer is not accepting (the caller writes it itself). */
static bool writer_enqueue(zint_log_output *out, std::string &&text) {
  log_writer &w = writer();
  std::unique_lock lock(w.mu);
  if (!w.accepting) return false;
  if (w.queue.size() >= LOG_QUEUE_MAX) {
    if (std::this_thread::get_id() == w.id) return false;
    w.idle_cv.wait(lock, [&] { return !w.accepting || w.queue.size() < LOG_QUEUE_MAX; });
    if (!w.accepting) return false;
  }
  w.queue.push_back(log_entry{out, std::move(text)});
  if (w.sleeping) {
    w.sleeping = false; /* later producers need not signal again */
    w.work_cv.notify_one();
  }
  return true;
}

void zint_log_flush(void) {
  log_writer &w = writer();
  if (std::this_thread::get_id() == w.id) return;
  std::unique_lock lock(w.mu);
  if (w.sleeping && !w.queue.empty()) w.work_cv.notify_one();
  w.idle_cv.wait(lock, [&] { return w.queue.empty() && !w.busy; });
}

zint_boolean zint_log_is_asynch(void) { return log_asynch.load(std::memory_order_relaxed); }

static void log_at_exit(void) { zint_log_go_synch(); }

void zint_log_go_asynch(void) {
  log_writer &w = writer();
  std::lock_guard life(w.life_mu);
  if (w.thread.joinable()) return;
  static bool atexit_done = false;
  if (!atexit_done) {
    atexit_done = true;
    atexit(log_at_exit);
  }
  {
    std::lock_guard lock(w.mu);
    w.stop = false;
    w.accepting = true;
  }
  w.thread = std::thread(writer_main, &w);
  {
    std::lock_guard lock(w.mu);
    w.id = w.thread.get_id();
  }
  log_asynch.store(true);
}

void zint_log_go_synch(void) {
  log_writer &w = writer();
  /* The writer itself (a fatal error while writing) cannot join itself: stop queueing and let the
   * caller write directly; what was queued is written by the writer as it unwinds its batch. */
  if (std::this_thread::get_id() == w.id) {
    std::lock_guard lock(w.mu);
    w.accepting = false;
    log_asynch.store(false);
    return;
  }
  std::lock_guard life(w.life_mu);
  if (!w.thread.joinable()) return;
  {
    std::lock_guard lock(w.mu);
    w.accepting = false;
    w.stop = true;
    w.work_cv.notify_one();
    w.idle_cv.notify_all();
  }
  log_asynch.store(false);
  w.thread.join();
  std::lock_guard lock(w.mu);
  w.id = std::thread::id();
}

/* ---- formatting ---- */

/* "[2024-12-07T03:12:00.123456Z] " into buf; returns its length (0 when it does not fit). */
static size_t format_timestamp(char *buf, size_t size) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  gmtime_r(&tv.tv_sec, &tm);
  int n = snprintf(buf, size, "[%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ] ", tm.tm_year + 1900,
                   tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (long) tv.tv_usec);
  return n > 0 && (size_t) n < size ? (size_t) n : 0;
}

/* Builds the entry text (timestamp prefix, then the formatted message). */
static std::string format_entry(zint_log_output *out, const char *fmt, va_list ap) {
  std::string s;
  if (out->timestamps.load(std::memory_order_relaxed)) {
    char ts[64];
    s.append(ts, format_timestamp(ts, sizeof ts));
  }
  size_t prefix = s.size();
  char small[512];
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(small, sizeof small, fmt, ap2);
  va_end(ap2);
  if (n < 0) return s;
  if ((size_t) n < sizeof small) {
    s.append(small, (size_t) n);
  } else {
    s.resize(prefix + (size_t) n + 1);
    vsnprintf(s.data() + prefix, (size_t) n + 1, fmt, ap);
    s.resize(prefix + (size_t) n);
  }
  return s;
}

static void emit(zint_log_output *out, const char *fmt, va_list ap) {
  std::string text = format_entry(out, fmt, ap);
  if (text.empty()) return;
  if (log_asynch.load(std::memory_order_relaxed) && writer_enqueue(out, std::move(text))) return;
  output_write(out, text.data(), text.size());
}

void zint_vlog(zint_log_stream_t ls, const char *fmt, va_list ap) {
  if (ls == nullptr || !ls->enabled.load(std::memory_order_relaxed) || fmt == nullptr) return;
  zint_log_output *out = ls->output.load(std::memory_order_acquire);
  if (out == nullptr) return;
  emit(out, fmt, ap);
}

void zint_log(zint_log_stream_t ls, const char *fmt, ...) {
  if (ls == nullptr || !ls->enabled.load(std::memory_order_relaxed)) return;
  va_list ap;
  va_start(ap, fmt);
  zint_vlog(ls, fmt, ap);
  va_end(ap);
}

int zint_log_reopen_all(void) {
  /* Entries logged before the request belong in the file being rotated away. */
  zint_log_flush();
  log_registry &r = registry();
  std::vector<zint_log_output *> files;
  {
    std::lock_guard lock(r.mu);
    for (auto &[path, out] : r.outputs) files.push_back(out);
  }
  int failed = 0;
  for (zint_log_output *out : files) {
    int fd = open_log_file(out->path);
    if (fd < 0) {
      failed++;
      zint_log(zint_error, "log reopen: cannot open '%s': %s\n", out->path, strerror(errno));
      continue;
    }
    {
      std::lock_guard lock(out->mu);
      if (dup2(fd, out->fd) < 0) failed++;
    }
    close(fd);
  }
  return failed;
}

[[noreturn]] void zint_fatal(const char *fmt, ...) {
  zint_log_go_synch();
  zint_log_output *out = builtin_error.output.load(std::memory_order_acquire);
  if (out == nullptr) out = &stderr_output;
  /* No heap here: the fatal condition may be an exhausted heap. */
  char buf[4096];
  size_t len = 0;
  if (out->timestamps.load(std::memory_order_relaxed)) len = format_timestamp(buf, sizeof buf);
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf + len, sizeof buf - len, fmt, ap);
  va_end(ap);
  if (n > 0) len += std::min((size_t) n, sizeof buf - len - 1);
  output_write(out, buf, len);
  abort();
}
