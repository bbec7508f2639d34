/* web_static: the dashboard's files under GET /ui/. The root directory is held open; each request
 * path is decoded and checked on its own (no dot segments, no encoded separators, no control bytes),
 * then opened beneath the root's descriptor with openat2(RESOLVE_BENEATH), which the kernel refuses
 * for any resolution that would leave the root, symbolic links included. Kernels without openat2
 * get a component-by-component walk that follows no symbolic link at all. */
#include "web_static.h"

#include "zint/zint_conf.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

/* One opened root; shared so that a request in flight keeps its descriptor while a test or a
 * second init replaces the root. */
typedef struct web_root {
  int fd = -1;              /* O_PATH|O_DIRECTORY descriptor of the root; owned */
  std::string path;         /* canonical path, for the log and web_static_root */
  size_t max_file_bytes = WEB_STATIC_DEFAULT_MAX_FILE_BYTES;
  ~web_root() {
    if (fd >= 0) close(fd);
  }
} web_root_t;

static std::mutex root_mu;                  /* guards current_root (the pointer, not the root) */
static std::shared_ptr<web_root_t> current_root;
static bool registered = false;             /* handlers registered once per process; root_mu */

/* Set by tests to exercise the walk that kernels without openat2 get. */
bool web_static_no_openat2 = false;

static std::shared_ptr<web_root_t> root_get(void) {
  std::lock_guard<std::mutex> lk(root_mu);
  return current_root;
}

bool web_static_set_root(const char *dir, size_t max_file_bytes) {
  std::shared_ptr<web_root_t> r;
  int saved = ENOENT;
  if (dir && *dir) {
    int fd = -1;
    std::unique_ptr<char, decltype(&free)> canon(realpath(dir, nullptr), free);
    if (canon) fd = open(canon.get(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    saved = errno;
    if (fd >= 0) {
      r = std::make_shared<web_root_t>();
      r->fd = fd;
      r->path = canon.get();
      r->max_file_bytes = max_file_bytes;
    }
  }
  std::lock_guard<std::mutex> lk(root_mu);
  current_root = r;
  errno = saved; /* for the caller's report */
  return r != nullptr;
}

std::string web_static_root(void) {
  auto r = root_get();
  return r ? r->path : std::string();
}

web_path_result web_static_resolve(const std::string &path, std::string *rel) {
  if (path.empty()) return web_path_redirect;
  if (path[0] != '/') return web_path_bad;
  /* Decode first: every check below sees the bytes the file system would see. A '/' or '\' that
   * arrives encoded would change the segmentation after the checks, so it is refused. */
  std::string dec;
  dec.reserve(path.size());
  for (size_t i = 1; i < path.size(); i++) {
    char c = path[i];
    if (c == '%') {
      if (i + 2 >= path.size()) return web_path_bad;
      int hi = zint_hex_value(path[i + 1]), lo = zint_hex_value(path[i + 2]);
      if (hi < 0 || lo < 0) return web_path_bad;
      c = (char) (hi * 16 + lo);
      if (c == '/' || c == '\\') return web_path_bad;
      i += 2;
    } else if (c == '\\') {
      return web_path_bad;
    }
    unsigned char u = (unsigned char) c;
    if (u < 0x20 || u == 0x7f) return web_path_bad;
    dec.push_back(c);
  }
  /* Segments: none empty (but a trailing '/' names the directory's index), none starting with '.'
   * (".", ".." and hidden files alike). */
  size_t start = 0;
  while (start < dec.size()) {
    size_t end = dec.find('/', start);
    if (end == std::string::npos) end = dec.size();
    if (end == start) return web_path_bad;
    if (dec[start] == '.') return web_path_bad;
    start = end + 1;
  }
  if (dec.empty() || dec.back() == '/') dec += "index.html";
  *rel = dec;
  return web_path_ok;
}

const char *web_static_content_type(const std::string &name) {
  static const struct {
    const char *ext, *type;
  } types[] = {
      {".html", "text/html; charset=utf-8"},  {".htm", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"}, {".mjs", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},    {".json", "application/json"},
      {".map", "application/json"},           {".svg", "image/svg+xml"},
      {".png", "image/png"},                  {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},  {".woff2", "font/woff2"},
  };
  size_t slash = name.rfind('/');
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return "application/octet-stream";
  std::string ext = name.substr(dot);
  for (auto &c : ext) c = (char) tolower((unsigned char) c);
  for (const auto &t : types)
    if (ext == t.ext) return t.type;
  return "application/octet-stream";
}

/* Opens rel (checked by web_static_resolve) beneath the root for reading. -1 with errno set. */
static int open_beneath(int rootfd, const std::string &rel) {
  /* O_NONBLOCK: opening a FIFO placed in the root must not stall the event loop; only regular files
   * are read after the fstat anyway. */
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (!web_static_no_openat2) {
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, rootfd, rel.c_str(), &how, sizeof how);
    /* ENOSYS: old kernel; EPERM: a seccomp filter that does not know the call. */
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return (int) fd;
  }
  /* Fallback: walk the directories with O_NOFOLLOW, so no symbolic link is followed anywhere. */
  int dirfd = rootfd;
  size_t start = 0;
  while (true) {
    size_t end = rel.find('/', start);
    bool last = end == std::string::npos;
    std::string seg = rel.substr(start, last ? std::string::npos : end - start);
    int fd = openat(dirfd, seg.c_str(), last ? (flags | O_NOFOLLOW) : (O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    int saved = errno;
    if (dirfd != rootfd) close(dirfd);
    errno = saved;
    if (fd < 0 || last) return fd;
    dirfd = fd;
    start = end + 1;
  }
}

static void answer(zint_http_session_ctx *ctx, int code, const char *reason, const char *body) {
  zint_http_response_status_set(ctx, code, reason);
  zint_http_response_header_set(ctx, "Content-Type", "text/plain; charset=utf-8");
  zint_http_response_append(ctx, body, strlen(body));
  zint_http_response_end(ctx);
}

static void redirect(zint_http_session_ctx *ctx, const std::string &location) {
  zint_http_response_status_set(ctx, 301, "Moved Permanently");
  zint_http_response_header_set(ctx, "Location", location.c_str());
  zint_http_response_header_set(ctx, "Content-Type", "text/plain; charset=utf-8");
  zint_http_response_append(ctx, "moved\n", 6);
  zint_http_response_end(ctx);
}

/* Reads at most max + 1 bytes, so a file that grew past the bound after the fstat is noticed. */
static bool read_bounded(int fd, size_t max, std::string *out) {
  out->clear();
  char buf[65536];
  while (out->size() <= max) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, (size_t) n);
  }
  return false;
}

int web_static_handler(zint_http_rest_closure_t *restc, int npats, char **pats) {
  zint_http_session_ctx *ctx = restc->http_ctx;
  std::string raw = npats > 0 && pats[0] ? pats[0] : "";
  std::string rel;
  switch (web_static_resolve(raw, &rel)) {
  case web_path_redirect:
    redirect(ctx, "/ui/");
    return 0;
  case web_path_bad:
    answer(ctx, 400, "Bad Request", "bad path\n");
    return 0;
  case web_path_ok:
    break;
  }
  auto root = root_get();
  if (!root) {
    answer(ctx, 404, "Not Found", "not found\n");
    return 0;
  }
  int fd = open_beneath(root->fd, rel);
  if (fd < 0) {
    answer(ctx, 404, "Not Found", "not found\n");
    return 0;
  }
  struct stat st;
  std::string body;
  if (fstat(fd, &st) != 0) {
    close(fd);
    answer(ctx, 404, "Not Found", "not found\n");
    return 0;
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    /* A directory named without its trailing '/': relative links in its index need the '/'. */
    redirect(ctx, "/ui" + raw + "/");
    return 0;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    answer(ctx, 404, "Not Found", "not found\n");
    return 0;
  }
  if ((uint64_t) st.st_size > root->max_file_bytes) {
    close(fd);
    answer(ctx, 500, "Internal Server Error", "file larger than the configured bound\n");
    return 0;
  }
  /* Regular files never block; the descriptor was opened non-blocking only for the FIFO case. */
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  bool ok = read_bounded(fd, root->max_file_bytes, &body);
  close(fd);
  if (!ok) {
    answer(ctx, 500, "Internal Server Error", "file could not be read within the configured bound\n");
    return 0;
  }
  zint_http_response_status_set(ctx, 200, "OK");
  zint_http_response_header_set(ctx, "Content-Type", web_static_content_type(rel));
  zint_http_response_header_set(ctx, "Cache-Control", "no-cache");
  zint_http_response_header_set(ctx, "X-Content-Type-Options", "nosniff");
  zint_http_response_header_set(ctx, "Content-Security-Policy",
                                "default-src 'self'; connect-src 'self' ws: wss:; img-src 'self' data:; "
                                "frame-ancestors 'none'");
  zint_http_response_append(ctx, body.data(), body.size());
  zint_http_response_end(ctx);
  return 0;
}

/* Where the files are when no root is configured: the installed share directory, then (builds run
 * from the source tree) the tree's web/. Both are set by the build. */
static std::string default_root(void) {
  struct stat st;
#ifdef VORN_WEB_SHARE_DIR
  if (stat(VORN_WEB_SHARE_DIR, &st) == 0 && S_ISDIR(st.st_mode)) return VORN_WEB_SHARE_DIR;
#endif
#ifdef VORN_WEB_SOURCE_DIR
  if (stat(VORN_WEB_SOURCE_DIR, &st) == 0 && S_ISDIR(st.st_mode)) return VORN_WEB_SOURCE_DIR;
#endif
  (void) st;
  return std::string();
}

void web_static_init(void) {
  char *conf_root = nullptr;
  std::string dir;
  if (zint_conf_get_string(ZINT_CONF_ROOT, "//vorn/web/@root", &conf_root) && conf_root) dir = conf_root;
  free(conf_root);
  bool configured = !dir.empty();
  if (!configured) dir = default_root();

  uint64_t max = WEB_STATIC_DEFAULT_MAX_FILE_BYTES;
  char *max_text = nullptr;
  if (zint_conf_get_string(ZINT_CONF_ROOT, "//vorn/web/@max_file_bytes", &max_text) && max_text) {
    uint64_t v;
    if (zint_conf_parse_u64(max_text, SIZE_MAX, &v) && v > 0) max = v;
    else zint_log(zint_error, "web: max_file_bytes '%s' is not a positive number; using %llu\n", max_text,
                  (unsigned long long) max);
  }
  free(max_text);

  if (dir.empty()) {
    web_static_set_root(nullptr, max);
    zint_log(zint_error, "web: no web root found; /ui/ answers 404\n");
  } else if (!web_static_set_root(dir.c_str(), max)) {
    zint_log(zint_error, "web: cannot open web root '%s': %s; /ui/ answers 404\n", dir.c_str(), strerror(errno));
  }

  std::lock_guard<std::mutex> lk(root_mu);
  if (registered) return;
  registered = true;
  /* "/ui" alone is redirected; the prefix is longer than the statistics endpoint's "/", so it wins. */
  zint_http_rest_register("GET", "/ui", "^(/.*)?$", web_static_handler);
}
