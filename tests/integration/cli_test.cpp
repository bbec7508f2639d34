/* Process tests of the service's command line and process frame: usage, configuration failures,
 * option handling, the lock file, signals, daemonising and the privilege drop. Each test runs
 * $VORN_BINARY with its own temporary directory, configuration and lock file. */
#include <gtest/gtest.h>

#include "support/pg_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <future>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTimeout = std::chrono::seconds(20);

std::string binary() {
  const char *b = getenv("VORN_BINARY");
  return b ? b : "build/vorn-c";
}

int remaining_ms(Clock::time_point deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return ms > 0 ? (int) ms : 0;
}

/* One spawned service process with its standard error captured. */
struct Proc {
  pid_t pid = -1;
  int err_fd = -1;
  int pid_fd = -1;  /* pidfd: readable when the process has ended */
  std::string err;  /* everything read from its standard error so far */
  int status = -1;  /* wait status once reaped */

  ~Proc() {
    if (pid > 0 && status == -1) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (err_fd >= 0) close(err_fd);
    if (pid_fd >= 0) close(pid_fd);
  }

  bool start(const std::vector<std::string> &args) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(p[1], 2);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      std::vector<char *> argv;
      std::string bin = binary();
      argv.push_back(bin.data());
      std::vector<std::string> copy = args;
      for (auto &a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    close(p[1]);
    err_fd = p[0];
    pid_fd = (int) syscall(SYS_pidfd_open, pid, 0);
    return pid > 0 && pid_fd >= 0;
  }

  /* Reads standard error until pred holds or the deadline; false on timeout or end of output. */
  bool read_until(const std::function<bool()> &pred, Clock::time_point deadline) {
    char buf[4096];
    while (!pred()) {
      struct pollfd pf = {err_fd, POLLIN, 0};
      if (poll(&pf, 1, remaining_ms(deadline)) <= 0) return false;
      ssize_t n = read(err_fd, buf, sizeof buf);
      if (n <= 0) return pred();
      err.append(buf, (size_t) n);
    }
    return true;
  }

  /* Waits for the end of the process and its output; the exit code, or -1 on timeout or when it
   * did not exit normally (see status). */
  int wait_exit() {
    auto deadline = Clock::now() + kTimeout;
    read_until([] { return false; }, deadline);
    struct pollfd pf = {pid_fd, POLLIN, 0};
    if (poll(&pf, 1, remaining_ms(deadline)) <= 0) return -1;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

/* The start-up sequence tests the broker database, so every configuration names one throwaway
 * cluster, started on first use and stopped when the test program ends. */
std::string wdb_section() {
  static std::unique_ptr<vorn_test::PgCluster> pg;
  static std::string section;
  if (!pg) {
    pg = std::make_unique<vorn_test::PgCluster>();
    std::string err;
    if (!pg->start(&err) || !pg->create_database("wdb", &err) ||
        !pg->create_login("vorn", "cli-test", &err))
      ADD_FAILURE() << err;
    section = "<vorn><wdb><host>127.0.0.1</host><port>" + std::to_string(pg->port()) +
              "</port><database>wdb</database><user>vorn</user><password>cli-test</password>"
              "</wdb></vorn>";
  }
  return section;
}

/* A private directory with a configuration whose lock file lives inside it. */
struct Env {
  std::string dir, conf, lock;
  Env(const std::string &extra = "") {
    char tmpl[] = "/tmp/vorn-cli-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) dir = tmpl;
    chmod(dir.c_str(), 0755); /* readable after a privilege drop */
    conf = dir + "/vorn-c.conf";
    lock = dir + "/vorn-c.lock";
    std::ofstream(conf) << "<vorn-c lockfile=\"" << lock << "\"><logs>"
                        << "<log name=\"error\" output=\"stderr\"/></logs>" << wdb_section()
                        /* the bus module must be configured; nothing listens there, and the
                         * module keeps retrying in the background without holding start-up */
                        << "<network><in><mq><host>nats://127.0.0.1:1</host></mq></in></network>"
                        << extra
                        << "</vorn-c>\n";
    chmod(conf.c_str(), 0644);
  }
  ~Env() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  /* Waits until the lock file names a process (the frame writes it once set-up is done). */
  pid_t await_lock_pid() {
    int in = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(in, dir.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
    auto deadline = Clock::now() + kTimeout;
    pid_t found = -1;
    for (;;) {
      std::ifstream f(lock);
      long v = 0;
      if (f >> v && v > 0) {
        found = (pid_t) v;
        break;
      }
      struct pollfd pf = {in, POLLIN, 0};
      if (poll(&pf, 1, remaining_ms(deadline)) <= 0) break;
      char buf[4096];
      if (read(in, buf, sizeof buf) < 0) break;
    }
    close(in);
    return found;
  }
};

bool contains(const std::string &hay, const std::string &needle) {
  return hay.find(needle) != std::string::npos;
}

}  // namespace

// No arguments: exactly the six usage lines on standard error and status 2; -c without its
// argument counts as no -c.
TEST(Cli, UsageWithoutConfigFile) {
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"-D", "-c"}}) {
    Proc p;
    ASSERT_TRUE(p.start(args));
    EXPECT_EQ(p.wait_exit(), 2);
    std::string usage = binary() + " <-c conffile> [-D] [-d]\n\n"
                        "\t-c conffile\tthe configuration file to load\n"
                        "\t-D\t\trun in the foreground (don't daemonize)\n"
                        "\t-d\t\tturn on debugging\n"
                        "\t-u u\t\tOptionally specifies a user or uid to operate under\n"
                        "\t-g g\t\tOptionally specifies a group or gid to operate under\n";
    if (args.empty())
      EXPECT_EQ(p.err, usage);
    else
      EXPECT_TRUE(p.err.ends_with(usage)) << p.err;
  }
}

// A missing, unreadable-as-XML or rootless file ends the process with the message and status 2,
// without daemonising and without taking the lock; unknown options and repeated -u/-g do not stop
// parsing, and each -u/-g occurrence is logged.
TEST(Cli, UnloadableConfigAndOptionHandling) {
  Env env;
  std::string bad = env.dir + "/bad.conf";
  std::ofstream(bad) << "<vorn-c lockfile=\"" << env.lock << "\"><unclosed></vorn-c>";
  std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  for (const std::string &path : {env.dir + "/missing.conf", bad}) {
    Proc p;
    ASSERT_TRUE(p.start({"-x", "-u", "no-such-user", "-u", uid, "-g", gid, "-c", path, "extra"}));
    EXPECT_EQ(p.wait_exit(), 2) << p.err;
    EXPECT_TRUE(contains(p.err, "Cannot load config: '" + path + "'\n")) << p.err;
    size_t u1 = p.err.find("droptouser = no-such-user\n");
    size_t u2 = p.err.find("droptouser = " + uid + "\n");
    size_t g1 = p.err.find("droptogroup = " + gid + "\n");
    EXPECT_TRUE(u1 != std::string::npos && u2 != std::string::npos && g1 != std::string::npos &&
                u1 < u2 && u2 < g1)
        << p.err;
    EXPECT_FALSE(std::filesystem::exists(env.lock));
  }
}

// Held lock: a second instance exits 1 with a clear message naming the file; after SIGTERM the
// first exits 0, and SIGINT ends a later instance the same way; an unknown option is ignored.
TEST(Cli, LockFileAndSignals) {
  Env env;
  Proc first;
  ASSERT_TRUE(first.start({"-D", "-D", "-q", "-c", env.conf}));
  pid_t pid = env.await_lock_pid();
  ASSERT_EQ(pid, first.pid) << first.err;

  Proc second;
  ASSERT_TRUE(second.start({"-D", "-c", env.conf}));
  EXPECT_EQ(second.wait_exit(), 1);
  EXPECT_TRUE(contains(second.err, "lock file '" + env.lock + "' is held by another process (pid " +
                                       std::to_string(pid) + ")"))
      << second.err;

  ASSERT_EQ(kill(first.pid, SIGTERM), 0);
  EXPECT_EQ(first.wait_exit(), 0) << first.err;
  EXPECT_TRUE(contains(first.err, "SIGTERM")) << first.err;

  /* The lock went with the process; a new instance takes it and SIGINT ends it cleanly. */
  std::filesystem::remove(env.lock);
  Proc third;
  ASSERT_TRUE(third.start({"-D", "-c", env.conf}));
  ASSERT_EQ(env.await_lock_pid(), third.pid) << third.err;
  ASSERT_EQ(kill(third.pid, SIGINT), 0);
  EXPECT_EQ(third.wait_exit(), 0) << third.err;
}

// A lock held by some other process (here: this test) stops start-up with status 1.
TEST(Cli, LockHeldByAnotherProcess) {
  Env env;
  int fd = open(env.lock.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Proc p;
  ASSERT_TRUE(p.start({"-D", "-c", env.conf}));
  EXPECT_EQ(p.wait_exit(), 1);
  EXPECT_TRUE(contains(p.err, "is held by another process; not starting")) << p.err;
  close(fd);
}

// Without -D the invoking process returns 0 at once and a detached daemon in a new session holds
// the lock until SIGTERM.
TEST(Cli, DaemonisesWithoutForegroundOption) {
  Env env;
  Proc p;
  ASSERT_TRUE(p.start({"-c", env.conf}));
  EXPECT_EQ(p.wait_exit(), 0) << p.err;
  pid_t daemon = env.await_lock_pid();
  ASSERT_GT(daemon, 0);
  EXPECT_NE(daemon, p.pid);
  EXPECT_NE(getsid(daemon), getsid(0));
  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  /* The daemon is not our child: its end shows as the lock becoming free. */
  auto freed = std::async(std::launch::async, [&] {
    int fd = open(env.lock.c_str(), O_RDWR);
    bool ok = fd >= 0 && flock(fd, LOCK_EX) == 0;
    if (fd >= 0) close(fd);
    return ok;
  });
  ASSERT_EQ(freed.wait_for(kTimeout), std::future_status::ready);
  EXPECT_TRUE(freed.get());
}

// As root, -u nobody leaves every uid and gid at nobody's and no supplementary groups; an unknown
// user stops start-up with status 1.
TEST(Cli, DropsPrivilegesToNobody) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  struct passwd *pw = getpwnam("nobody");
  if (pw == nullptr) GTEST_SKIP() << "no user nobody";
  Env env;
  Proc p;
  ASSERT_TRUE(p.start({"-D", "-u", "nobody", "-c", env.conf}));
  ASSERT_EQ(env.await_lock_pid(), p.pid) << p.err;
  std::ifstream st("/proc/" + std::to_string(p.pid) + "/status");
  std::string line, uids, gids, groups = "<none>";
  while (std::getline(st, line)) {
    if (line.starts_with("Uid:")) uids = line;
    if (line.starts_with("Gid:")) gids = line;
    if (line.starts_with("Groups:")) groups = line;
  }
  std::string u = std::to_string(pw->pw_uid), g = std::to_string(pw->pw_gid);
  EXPECT_EQ(uids, "Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u);
  EXPECT_EQ(gids, "Gid:\t" + g + "\t" + g + "\t" + g + "\t" + g);
  while (!groups.empty() && isspace((unsigned char) groups.back())) groups.pop_back();
  EXPECT_EQ(groups, "Groups:");
  ASSERT_EQ(kill(p.pid, SIGTERM), 0);
  EXPECT_EQ(p.wait_exit(), 0) << p.err;

  Proc bad;
  ASSERT_TRUE(bad.start({"-D", "-u", "no-such-user-vorn", "-c", env.conf}));
  EXPECT_EQ(bad.wait_exit(), 1);
  EXPECT_TRUE(contains(bad.err, "unknown user 'no-such-user-vorn'")) << bad.err;
}
