/* The service's command line and process frame: usage, configuration errors, lock file, signals, daemon,
 * privileges. */
#include "support/vorn_fixture.h"
#include <pwd.h>
#include <sys/file.h>

using namespace vorn_test;

namespace {
const std::string kBin = env_or("VORN_BINARY", "build/vorn-c");

/* A configuration naming a throwaway database (start-up tests it) and a bus where nothing listens (no
 * hold-up). */
struct Env {
  TempDir dir;
  std::string conf, lock;
  Env() {
    static PgCluster *pg = [] {
      auto *p = new PgCluster;
      std::string err;
      EXPECT_TRUE(p->start(&err) && p->create_database("wdb", &err) &&
                  p->create_login("vorn", "secret", &err))
          << err;
      return p;
    }();
    chmod(dir.path().c_str(), 0755); /* readable after a privilege drop */
    VornConf c;
    c.pg_port = pg->port();
    conf = Vorn::write_conf(dir.path(), "vorn-c", c), lock = dir.path() + "/vorn-c.lock";
  }
  /* The PID the lock file names once the frame has written it after set-up, or -1. */
  pid_t lock_pid(long pid = -1) {
    return wait_until([&] { return (pid = atol(read_file_text(lock).c_str())) > 0; }), (pid_t) pid;
  }
  void run(Child &p, std::vector<std::string> args) {
    args.insert(args.begin(), kBin), p.start(args, dir.path() + "/out", dir.path() + "/err");
  }
};
} // namespace

// what this proves: without -c (or with -c lacking its argument) the six usage lines go to stderr with status
// 2; a missing or broken configuration ends with its message and status 2 before taking the lock, after
// logging each -u and -g in order (unknown options and extra words are ignored)
TEST(Cli, UsageAndUnloadableConfig) {
  Env env;
  const std::string usage = kBin +
                            " <-c conffile> [-D] [-d]\n\n\t-c conffile\tthe configuration file to load\n"
                            "\t-D\t\trun in the foreground (don't daemonize)\n\t-d\t\tturn on debugging\n"
                            "\t-u u\t\tOptionally specifies a user or uid to operate under\n"
                            "\t-g g\t\tOptionally specifies a group or gid to operate under\n";
  std::ofstream(env.dir.path() + "/bad.conf")
      << "<vorn-c lockfile=\"" << env.lock << "\"><unclosed></vorn-c>";
  const std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  struct {
    std::vector<std::string> args, said; /* stderr holds these in order and ends with the last */
    bool whole;                          /* and nothing else */
  } rows[] = {
      {{}, {usage}, true},
      {{"-D", "-c"}, {usage}, false},
      {{"-x", "-u", "no-such-user", "-u", uid, "-g", gid, "-c", env.dir.path() + "/missing.conf", "extra"},
       {"droptouser = no-such-user\n", "droptouser = " + uid + "\n", "droptogroup = " + gid + "\n",
        "Cannot load config: '" + env.dir.path() + "/missing.conf'\n"},
       false},
      {{"-c", env.dir.path() + "/bad.conf"},
       {"Cannot load config: '" + env.dir.path() + "/bad.conf'\n"},
       false},
  };
  for (const auto &row : rows) {
    Child p;
    env.run(p, row.args);
    EXPECT_EQ(2, p.wait_exit());
    std::string err = p.err();
    size_t at = 0;
    for (const std::string &piece : row.said)
      EXPECT_NE(std::string::npos, at = err.find(piece, at)) << piece << " in:\n" << err;
    EXPECT_TRUE(err.ends_with(row.said.back()) && (!row.whole || err == row.said[0])) << err;
    EXPECT_FALSE(std::filesystem::exists(env.lock));
  }
}

// what this proves: while one instance holds the lock a second exits 1 naming the file and the holder's PID,
// and a lock held by another process stops start-up with status 1; SIGTERM and SIGINT end an instance with 0
// (unknown options ignored); without -D the caller returns 0 at once and a daemon in a new session holds the
// lock until SIGTERM
TEST(Cli, LockSignalsAndDaemon) {
  Env env;
  for (int sig : {SIGTERM, SIGINT}) {
    Child first, second;
    env.run(first, {"-D", "-D", "-q", "-c", env.conf});
    ASSERT_EQ(first.pid, env.lock_pid()) << first.err();
    env.run(second, {"-D", "-c", env.conf});
    EXPECT_EQ(1, second.wait_exit());
    EXPECT_NE(std::string::npos,
              second.err().find("lock file '" + env.lock + "' is held by another process (pid " +
                                std::to_string(first.pid) + ")"))
        << second.err();
    EXPECT_EQ(0, first.stop(sig)) << first.err();
    std::filesystem::remove(env.lock);
  }
  int fd = open(env.lock.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(0, flock(fd, LOCK_EX));
  Child held;
  env.run(held, {"-D", "-c", env.conf});
  EXPECT_EQ(1, held.wait_exit());
  EXPECT_NE(std::string::npos, held.err().find("is held by another process; not starting")) << held.err();
  close(fd);
  std::filesystem::remove(env.lock);
  Child caller;
  env.run(caller, {"-c", env.conf});
  EXPECT_EQ(0, caller.wait_exit()) << caller.err();
  pid_t daemon = env.lock_pid();
  ASSERT_GT(daemon, 0);
  EXPECT_NE(caller.pid, daemon);
  EXPECT_NE(getsid(0), getsid(daemon));
  ASSERT_EQ(0, kill(daemon, SIGTERM));
  fd = open(env.lock.c_str(), O_RDWR); /* the daemon is not our child: its end frees the lock */
  EXPECT_EQ(0, flock(fd, LOCK_EX));
  close(fd);
}

// what this proves: as root, -u nobody leaves every uid and gid at nobody's with no supplementary groups, and
// an unknown user stops start-up with status 1
TEST(Cli, DropsPrivilegesToNobody) {
  struct passwd *pw = getpwnam("nobody");
  if (geteuid() != 0 || !pw) GTEST_SKIP() << "needs root and a user nobody";
  Env env;
  Child p, bad;
  env.run(p, {"-D", "-u", "nobody", "-c", env.conf});
  ASSERT_EQ(p.pid, env.lock_pid()) << p.err();
  std::string u = std::to_string(pw->pw_uid), g = std::to_string(pw->pw_gid),
              st = read_file_text("/proc/" + std::to_string(p.pid) + "/status");
  EXPECT_NE(std::string::npos, st.find("\nUid:\t" + u + "\t" + u + "\t" + u + "\t" + u + "\nGid:\t" + g +
                                       "\t" + g + "\t" + g + "\t" + g + "\n"))
      << st;
  std::string groups = st.substr(st.find("\nGroups:") + 8);
  EXPECT_EQ(groups.find('\n'), groups.find_first_not_of(" \t")) << st; /* none */
  EXPECT_EQ(0, p.stop()) << p.err();
  env.run(bad, {"-D", "-u", "no-such-user-vorn", "-c", env.conf});
  EXPECT_EQ(1, bad.wait_exit());
  EXPECT_NE(std::string::npos, bad.err().find("unknown user 'no-such-user-vorn'")) << bad.err();
}
