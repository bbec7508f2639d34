/* The service's command line and process frame (usage, start-up refusals, lock file, signals,
 * privileges) and the operator limits of a running service (bounds answered and counted, secrets kept). */
#include "support/vorn_fixture.h"
#include <pwd.h>
#include <sys/file.h>

using namespace vorn_test;

namespace {
const std::string kBin = env_or("VORN_BINARY", "build/vorn-c"), kPassword = "Pw-7f3c1e-never-logged",
                  kBusSecret = "Bus-5e1a-never-shown", kIdA = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f21",
                  kIdB = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f22",
                  kIdC = "6a0e3d1c-1b5f-4c47-9a43-0e6a2e4c8f23";

/* A directory (readable after a privilege drop) with configurations naming the program's one database
 * (start-up tests it), a bus where nothing listens (no hold-up) and small limits. */
struct Env {
  TempDir dir;
  std::string conf = write("vorn-c", kPassword), lock = dir.path() + "/vorn-c.lock";
  Env() { chmod(dir.path().c_str(), 0755); }
  std::string write(const std::string &name, const std::string &password) {
    static PgCluster *pg = [] {
      auto *p = new PgCluster;
      std::string err;
      EXPECT_TRUE(p->start(&err) && p->create_database("wdb", &err) &&
                  p->create_login("vorn", kPassword, &err))
          << err;
      return p;
    }();
    VornConf c;
    c.bus = "nats://vorn:" + kBusSecret + "@127.0.0.1:1";
    c.password = password;
    c.pg_port = pg->port();
    c.listener_attrs = " max_connections=\"4\"";
    c.vorn_extra = "<api max_watches=\"2\"/>";
    c.extra = "<http allowed_origins=\"https://dash.example\"/>";
    return Vorn::write_conf(dir.path(), name, c);
  }
  pid_t lock_pid(const std::string &path) { /* the PID the lock file names once set-up wrote it, or 0 */
    pid_t pid = 0;
    wait_until([&] { return (pid = atol(read_file_text(path).c_str())) > 0; });
    return pid;
  }
  void run(Child &p, std::vector<std::string> args) {
    args.insert(args.begin(), kBin);
    std::filesystem::remove(dir.path() + "/err");
    p.start(args, dir.path() + "/out", dir.path() + "/err");
  }
};
} // namespace

// what this proves: bad command lines end with the usage and 2; a missing configuration with its
// message and 2 before taking the lock, after logging each -u and -g in order (unknown options and extra
// words ignored); an unknown user, a wrong database password (not repeated) and a lock held by a running
// instance (named by PID) or by another process with 1, as does a port in use by the only listener; SIGINT
// ends an instance with 0
TEST(Cli, StartUp) {
  Env env;
  const std::string usage = kBin +
                            " <-c conffile> [-D] [-d]\n\n\t-c conffile\tthe configuration file to load\n"
                            "\t-D\t\trun in the foreground (don't daemonize)\n\t-d\t\tturn on debugging\n"
                            "\t-u u\t\tOptionally specifies a user or uid to operate under\n"
                            "\t-g g\t\tOptionally specifies a group or gid to operate under\n";
  const std::string d = env.dir.path(), uid = std::to_string(getuid()), gid = std::to_string(getgid()),
                    lock = "lock file '" + d + "/", held_by = "' is held by another process",
                    not_starting = "; not starting\n";
  int held = open((d + "/held.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(0, flock(held, LOCK_EX));
  Child first;
  const std::string running = env.write("running", kPassword);
  env.run(first, {"-D", "-D", "-q", "-c", running});
  ASSERT_EQ(first.pid, env.lock_pid(d + "/running.lock")) << first.err();
  const std::string port = std::to_string(first.await_port("listening on 127.0.0.1:", first.err_path)),
                    taken = env.write("taken", kPassword); /* its one listener on the running one's port */
  std::string text = read_file_text(taken);
  std::ofstream(taken) << text.replace(text.find("port=\"0\""), 8, "port=\"" + port + "\"");
  struct {
    int status;
    std::vector<std::string> args, said; /* stderr holds these in order and ends with the last */
  } rows[] = {
      {2, {}, {usage}}, /* and nothing else */
      {2,
       {"-x", "-u", "no-such-user", "-u", uid, "-g", gid, "-c", d + "/missing.conf", "extra"},
       {"droptouser = no-such-user\n", "droptouser = " + uid + "\n", "droptogroup = " + gid + "\n",
        "Cannot load config: '" + d + "/missing.conf'\n"}},
      {1,
       {"-D", "-u", "no-such-user-vorn", "-c", env.conf},
       {"unknown user 'no-such-user-vorn'\n", "cannot drop privileges; not starting\n"}},
      {1,
       {"-D", "-c", env.write("wrong", "Wrong-9b2d-secret")},
       {"Test connection to wdb failed: ", "password authentication failed for user \"vorn\"\n"}},
      {1,
       {"-D", "-c", running},
       {lock + "running.lock" + held_by + " (pid " + std::to_string(first.pid) + ")" + not_starting}},
      {1, {"-D", "-c", env.write("held", kPassword)}, {lock + "held.lock" + held_by + not_starting}},
      {1,
       {"-D", "-c", taken},
       {"cannot listen on 127.0.0.1:" + port + ": Address already in use\n", "no listener could be started" + not_starting}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.said.back());
    Child p;
    env.run(p, row.args);
    EXPECT_EQ(row.status, p.wait_exit(std::chrono::seconds(60)));
    std::string err = p.err();
    size_t at = 0;
    for (const std::string &piece : row.said) EXPECT_NE(std::string::npos, at = err.find(piece, at)) << err;
    EXPECT_TRUE(err.ends_with(row.said.back()) && (!row.args.empty() || err == usage)) << err;
    EXPECT_EQ(std::string::npos, err.find("Wrong-9b2d-secret"));
    EXPECT_TRUE(row.status != 2 || !std::filesystem::exists(env.lock)); /* before taking the lock */
    std::filesystem::remove(env.lock);
  }
  close(held);
  EXPECT_EQ(0, first.stop(SIGINT));
}

// what this proves: as root with -u nobody every uid and gid is nobody's with no supplementary groups;
// /health says the bus never answered; a session holds at most max_watches streams (one more is refused
// naming it; a re-watch and a failed subscription take no room; an unwatch makes room); past max_connections
// a connection gets 503 before any upgrade; an origin not listed gets 403 (the listed one and none are
// upgraded); each refusal counts once under its name, the total is their sum; the database password and bus
// credentials are in neither the log (debug on) nor the statistics
TEST(Cli, RunningServicePrivilegesLimitsAndSecrets) {
  const bool root = geteuid() == 0;
  const struct passwd *pw = getpwnam("nobody");
  ASSERT_TRUE(pw);
  const std::string u = std::to_string(root ? pw->pw_uid : geteuid()),
                    g = std::to_string(root ? pw->pw_gid : getegid());
  Env env;
  Vorn v;
  std::string err;
  ASSERT_TRUE(v.start(env.conf, &err,
                      root ? std::vector<std::string>{"-d", "-u", "nobody"} : std::vector<std::string>{"-d"}))
      << err;
  std::string st = read_file_text("/proc/" + std::to_string(v.proc.pid) + "/status"),
              groups = st.substr(st.find("\nGroups:") + 8);
  EXPECT_NE(std::string::npos, st.find("\nUid:\t" + u + "\t" + u + "\t" + u + "\t" + u + "\nGid:\t" + g +
                                       "\t" + g + "\t" + g + "\t" + g + "\n"))
      << st;
  EXPECT_TRUE(!root || groups.find('\n') == groups.find_first_not_of(" \t")) << st; /* none */
  HttpReply h = v.get("/health");
  EXPECT_EQ(503, h.status);
  EXPECT_EQ(0u, h.body.rfind("message bus down: not connected yet, trying for ", 0)) << h.body;
  json::value s0 = v.stats();
  WsClient c;
  ASSERT_TRUE(c.open(v.port));
  for (const std::string &w :
       {watch_of(kIdA), watch_of(kIdA, 0, ",\"metrics\":[\"cpu\"]"), watch_of("not-a-uuid"), watch_of(kIdB),
        watch_of(kIdC), watch_of(kIdA, 0, ",\"metrics\":[\"mem\"]")})
    ASSERT_TRUE(c.send(w));
  EXPECT_EQ((std::vector<std::string>{
                "{\"error\":\"pask watch request failed\",\"id\":\"not-a-uuid\",\"type\":\"watch\"}",
                error_frame("watch limit reached: a session may hold 2 watches", "watch", kIdC)}),
            c.drain());
  EXPECT_EQ(2, v.stat({"websocket", "watches", "check"}));
  ASSERT_TRUE(c.send("{\"unwatch\":[{\"id\":\"" + kIdB + "\"}]}") && c.send(watch_of(kIdC)));
  EXPECT_EQ(std::vector<std::string>{}, c.drain());
  EXPECT_EQ(2, v.stat({"websocket", "watches", "check"}));
  std::vector<std::unique_ptr<WsClient>> held;
  for (int i = 0; i < 3; i++) ASSERT_TRUE(held.emplace_back(new WsClient)->open(v.port)) << i;
  HttpReply r = v.get("/stats.json");
  EXPECT_EQ(std::make_pair(503, std::string("too many connections\n")), std::make_pair(r.status, r.body));
  WsClient extra;
  EXPECT_FALSE(extra.open(v.port));
  EXPECT_EQ(503, extra.upgrade_status);
  EXPECT_EQ(kHeartbeat, held[0]->ask(kHeartbeat));
  held.clear();
  c.close();
  EXPECT_TRUE(wait_until([&] { return v.stat({"websocket", "watches", "check"}) == 0; }));
  for (auto [origin, status] :
       {std::pair<std::string, int>{"https://evil.example", 403}, {"https://dash.example", 101}, {"", 101}}) {
    WsClient o;
    EXPECT_EQ(status == 101, o.open(v.port, nullptr, "vorn", "/", 0, origin));
    EXPECT_EQ(status, o.upgrade_status) << origin;
  }
  json::value s = v.stats();
  EXPECT_EQ(stat(s0, {"errors", "watch_limit"}) + 1, stat(s, {"errors", "watch_limit"}));
  EXPECT_EQ(stat(s0, {"errors", "too_many_connections"}) + 2, stat(s, {"errors", "too_many_connections"}));
  EXPECT_EQ(stat(s0, {"errors", "origin_refused"}) + 1, stat(s, {"errors", "origin_refused"}));
  EXPECT_EQ(stat(s0, {"errors", "total"}) + 5, stat(s, {"errors", "total"}));
  EXPECT_EQ(stat(s, {"errors", "total"}), error_sum(s));
  std::string stats = v.get("/stats.json").body;
  EXPECT_NE(std::string::npos, stats.find("\"host\": \"nats://")) << stats;
  for (const std::string &secret : {kPassword, kBusSecret}) {
    EXPECT_EQ(std::string::npos, v.log().find(secret)) << secret;
    EXPECT_EQ(std::string::npos, stats.find(secret)) << secret;
  }
  EXPECT_EQ(0, v.proc.stop());
}
