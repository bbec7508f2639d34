/* zint process frame: everything between the command line and the child entry that concerns the
 * process itself (lock file, daemon, credentials, signals). Runs single-threaded until the signal
 * thread starts just before the child entry. */
#include "zint/zint_main.h"
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_startup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

/* Parses a whole decimal id; false for anything else. */
static bool parse_id(const char *s, unsigned long &out) {
  if (s == nullptr || *s == '\0') return false;
  for (const char *p = s; *p; p++)
    if (*p < '0' || *p > '9') return false;
  errno = 0;
  char *end = nullptr;
  out = strtoul(s, &end, 10);
  return errno == 0 && *end == '\0' && out <= 0xfffffffeUL; /* (uid_t)-1 means "no change" */
}

int zint_lockfile_acquire(const char *path, zint_lock_op_t op) {
  if (op == ZINT_LOCK_OP_NONE || path == nullptr || path[0] == '\0') return -2;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    zint_log(zint_error, "cannot open lock file '%s': %s\n", path, strerror(errno));
    return -1;
  }
  /* flock, not fcntl locks: the lock belongs to the open file, so it survives the daemon's forks. */
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (errno != EWOULDBLOCK) {
    zint_log(zint_error, "cannot lock '%s': %s\n", path, strerror(errno));
    close(fd);
    return -1;
  }
  char buf[32] = {0};
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  long holder = n > 0 ? strtol(buf, nullptr, 10) : 0;
  if (op == ZINT_LOCK_OP_LOCK) {
    if (holder > 0)
      zint_log(zint_error, "lock file '%s' is held by another process (pid %ld); not starting\n",
               path, holder);
    else
      zint_log(zint_error, "lock file '%s' is held by another process; not starting\n", path);
    close(fd);
    return -1;
  }
  zint_log(zint_notice, "waiting for lock file '%s'\n", path);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    zint_log(zint_error, "cannot lock '%s': %s\n", path, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

static void lockfile_write_pid(int fd) {
  char buf[32];
  int n = snprintf(buf, sizeof buf, "%ld\n", (long) getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, buf, (size_t) n, 0) != n)
    zint_log(zint_error, "cannot write the process id into the lock file: %s\n", strerror(errno));
}

/* Name lookup first, then a numeric id; the _r variants keep this usable with threads running. */
static bool resolve_group(const char *group, gid_t &gid) {
  struct group gr, *res = nullptr;
  std::vector<char> buf(16384);
  if (getgrnam_r(group, &gr, buf.data(), buf.size(), &res) == 0 && res != nullptr) {
    gid = gr.gr_gid;
    return true;
  }
  unsigned long id;
  if (!parse_id(group, id)) return false;
  gid = (gid_t) id;
  return true;
}

static bool resolve_user(const char *user, uid_t &uid, gid_t &primary, bool &has_primary) {
  struct passwd pw, *res = nullptr;
  std::vector<char> buf(16384);
  if (getpwnam_r(user, &pw, buf.data(), buf.size(), &res) == 0 && res != nullptr) {
    uid = pw.pw_uid;
    primary = pw.pw_gid;
    has_primary = true;
    return true;
  }
  unsigned long id;
  if (!parse_id(user, id)) return false;
  uid = (uid_t) id;
  has_primary = false;
  if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &res) == 0 && res != nullptr) {
    primary = pw.pw_gid;
    has_primary = true;
  }
  return true;
}

int zint_drop_privileges(const char *user, const char *group) {
  uid_t uid = 0;
  gid_t gid = 0, primary = 0;
  bool has_gid = false, has_primary = false;
  if (group != nullptr) {
    if (!resolve_group(group, gid)) {
      zint_log(zint_error, "unknown group '%s'\n", group);
      return -1;
    }
    has_gid = true;
  }
  if (user != nullptr && !resolve_user(user, uid, primary, has_primary)) {
    zint_log(zint_error, "unknown user '%s'\n", user);
    return -1;
  }
  /* Without a group, keeping root's group would leave the service group-root after the drop. */
  if (!has_gid && has_primary) {
    gid = primary;
    has_gid = true;
  }
  if (has_gid) {
    if (geteuid() == 0 && setgroups(0, nullptr) != 0) {
      zint_log(zint_error, "cannot clear supplementary groups: %s\n", strerror(errno));
      return -1;
    }
    if (setgid(gid) != 0) {
      zint_log(zint_error, "cannot change to group %ld: %s\n", (long) gid, strerror(errno));
      return -1;
    }
  }
  if (user != nullptr) {
    if (setuid(uid) != 0) {
      zint_log(zint_error, "cannot change to user %ld: %s\n", (long) uid, strerror(errno));
      return -1;
    }
    if (uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
      zint_log(zint_error, "user %ld could regain root after the drop\n", (long) uid);
      return -1;
    }
  }
  return 0;
}

/* Returns in the daemon; the invoking process and the intermediate child end here with 0. */
static void daemonize(void) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    zint_log(zint_error, "cannot fork: %s\n", strerror(errno));
    exit(1);
  }
  if (pid > 0) _exit(0);
  setsid();
  pid = fork();
  if (pid < 0) {
    zint_log(zint_error, "cannot fork: %s\n", strerror(errno));
    _exit(1);
  }
  if (pid > 0) _exit(0);
  if (chdir("/") != 0) { /* keeps no directory busy; a failure changes nothing else */
  }
  int fd = open("/dev/null", O_RDWR);
  if (fd >= 0) {
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2) close(fd);
  }
}

/* Signals are turned into bytes on a pipe by an async-signal-safe handler and acted on by one
 * thread, whichever thread the kernel delivered them to. */
static int signal_pipe[2] = {-1, -1};

static void on_signal(int sig) {
  int saved = errno;
  unsigned char b = (unsigned char) sig;
  ssize_t rv = write(signal_pipe[1], &b, 1);
  (void) rv;
  errno = saved;
}

static void *signal_thread(void *) {
  for (;;) {
    unsigned char b;
    ssize_t n = read(signal_pipe[0], &b, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;
    if (b == SIGHUP) {
      zint_log(zint_notice, "%s: SIGHUP, reopening log files\n", zint_appname());
      zint_log_reopen_all();
      continue;
    }
    zint_log(zint_notice, "%s: %s, exiting\n", zint_appname(), b == SIGTERM ? "SIGTERM" : "SIGINT");
    /* Not exit(): other threads are running and must not see static destructors. */
    zint_log_go_synch();
    _exit(0);
  }
}

static void install_signals(void) {
  signal(SIGPIPE, SIG_IGN);
  if (pipe2(signal_pipe, O_CLOEXEC) != 0) {
    zint_log(zint_error, "cannot create the signal pipe: %s\n", strerror(errno));
    return;
  }
  fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
  pthread_t t;
  /* The thread must not itself run the handler while blocked in read, so it blocks them all. */
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rv = pthread_create(&t, nullptr, signal_thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rv != 0) {
    zint_log(zint_error, "cannot start the signal thread: %s\n", strerror(rv));
    return;
  }
  pthread_detach(t);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

int zint_main(const char *appname, const char *config_filename, int debug, int foreground,
              zint_lock_op_t lock_op, const char *glider, const char *droptouser,
              const char *droptogroup, int (*child_main)(void)) {
  (void) glider;
  ZINT_ASSERT(child_main != nullptr);
  zint_set_appname(appname);
  zint_conf_set_file(config_filename);
  if (debug) zint_log_enable_debug(true);

  /* A file that cannot be loaded is reported by the child entry; staying in the foreground lets
   * that message and its status reach whoever started us. */
  bool conf_ok = zint_conf_load_quiet(nullptr, true) == 0;

  int lock_fd = -2;
  if (conf_ok) {
    std::string lockfile = zint_conf_root_attribute("lockfile");
    if (!lockfile.empty()) {
      lock_fd = zint_lockfile_acquire(lockfile.c_str(), lock_op);
      if (lock_fd == -1) exit(1);
    }
    /* Opened before daemonising and dropping privileges, so a bad path is seen on the terminal
     * and a root-owned log directory still works. */
    zint_conf_log_init_rotate(zint_appname(), false);
  }

  if (foreground == 0 && conf_ok) {
    zint_log_go_synch(); /* no writer thread may be lost across the forks */
    daemonize();
  }

  if (droptouser != nullptr || droptogroup != nullptr) {
    if (zint_drop_privileges(droptouser, droptogroup) != 0) {
      zint_log(zint_error, "%s: cannot drop privileges; not starting\n", zint_appname());
      exit(1);
    }
  }

  install_signals();
  /* Last, so that a pid in the lock file means the process is past its set-up. */
  if (lock_fd >= 0) lockfile_write_pid(lock_fd);
  return child_main();
}
