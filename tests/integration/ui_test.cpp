/* The live page in a real browser: the whole stack (PostgreSQL, nats-server, broker simulators,
 * the service) plus the bus publisher generating plain and histogram lines, with headless chromium
 * driven by tests/browser/ui_page.mjs. This program restarts the service on the same port when the
 * page script asks, to show that the page reconnects and watches again, and publishes a histogram
 * too large for the restarted service's outbound queue, which ends the page's session with 1013.
 * Screenshots are kept in <build>/test-output/ui/. Skipped only when no browser or driver is
 * installed. */
#include "e2e_support.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace {

std::string dir_of(const std::string &path) {
  size_t s = path.rfind('/');
  return s == std::string::npos ? "." : path.substr(0, s);
}

bool executable(const std::string &path) { return access(path.c_str(), X_OK) == 0; }

std::string find_node() {
  for (const char *p : {"/usr/bin/node", "/usr/local/bin/node", "/usr/bin/nodejs"})
    if (executable(p)) return p;
  return "";
}

/* node with its standard input on a pipe we write to, its output in files. */
struct NodeChild : e2e::Child {
  int in_fd = -1;
  bool start_piped(const std::vector<std::string> &args, const std::string &out, const std::string &err) {
    int p[2];
    /* Close-on-exec: the service started later must not hold the page's input open. */
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    out_path = out;
    err_path = err;
    /* Empty before the fork: the caller reads the output at once, and a previous run's text must not
     * count as this run's requests. */
    std::ofstream(out, std::ios::trunc);
    std::ofstream(err, std::ios::trunc);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      vorn_test::die_with_parent(parent);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o < 0 || e < 0) _exit(126);
      dup2(p[0], 0); /* dup2 clears close-on-exec on the copy */
      dup2(o, 1);
      dup2(e, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[0]);
    in_fd = p[1];
    return pid > 0;
  }
  void say(const std::string &line) {
    std::string l = line + "\n";
    if (in_fd >= 0) (void) !write(in_fd, l.data(), l.size());
  }
  ~NodeChild() {
    if (in_fd >= 0) close(in_fd);
  }
};

std::string chromium_path() { return e2e::env_or("VORN_CHROMIUM", "/usr/bin/chromium"); }

bool browser_available() {
  std::string src = e2e::env_or("VORN_SOURCE_DIR", ".");
  return !find_node().empty() && executable(chromium_path()) &&
         access((src + "/tests/browser/node_modules/playwright-core/package.json").c_str(), R_OK) == 0;
}

/* The stack is started only when the browser test can run. */
e2e::Stack *const the_stack = browser_available() ? e2e::stack() : nullptr;

/* Stops the service; the page must notice before a new one takes the port. */
bool stop_service(e2e::Stack *s, std::string *err) {
  int rc = s->vorn.stop(SIGTERM);
  if (rc != 0) return *err = "vorn-c ended with " + std::to_string(rc) + ":\n" + e2e::Stack::tail(s->log()), false;
  return true;
}

/* A session's outbound queue after the restart: room for many ordinary frames, but not for the one
 * frame of big_histogram_line(). */
constexpr int kQueueBytes = 8192;

/* Starts the service again on the port it had, with the stack's configuration and a small outbound
 * queue per session. */
bool start_service(e2e::Stack *s, std::string *err) {
  std::ifstream in(s->dir.path() + "/vorn-c.conf");
  std::stringstream ss;
  ss << in.rdbuf();
  std::string conf = ss.str();
  const std::string any = "port=\"0\"";
  size_t at = conf.find(any);
  if (at == std::string::npos) return *err = "no port=\"0\" in the configuration", false;
  conf.replace(at, any.size(), "port=\"" + std::to_string(s->port) + "\"");
  at = conf.rfind("</vorn-c>");
  if (at == std::string::npos) return *err = "no </vorn-c> in the configuration", false;
  conf.insert(at, "  <http outbound_queue_bytes=\"" + std::to_string(kQueueBytes) + "\"/>\n");
  std::string path = s->dir.path() + "/vorn-c-restart.conf";
  std::ofstream(path) << conf;
  std::string bin = e2e::env_or("VORN_BINARY", "build/vorn-c");
  if (!s->vorn.start({bin, "-D", "-c", path}, s->dir.path() + "/vorn2.out", s->dir.path() + "/vorn2.err"))
    return *err = "fork failed", false;
  if (!e2e::wait_until([&] { return e2e::http_get(s->port, "/stats.json").status == 200; }, std::chrono::seconds(30)))
    return *err = "restarted vorn-c did not answer:\n" + e2e::Stack::tail(s->log()), false;
  return true;
}

/* A histogram of 1,000 buckets for the check: its data frame (a member of about 20 bytes per
 * bucket) is more than twice kQueueBytes. */
std::string big_histogram_line(e2e::Stack *s, const std::string &check) {
  std::vector<unsigned char> h = {1000 >> 8, 1000 & 0xff};
  for (int b = 0; b < 1000; b++) {
    unsigned char bucket[10] = {static_cast<unsigned char>(10 + b % 90), static_cast<unsigned char>(b / 90), 0, 0, 0, 0,
                                0, 0, 0, 1};
    h.insert(h.end(), bucket, bucket + sizeof bucket);
  }
  return "H\te2e-broker-01\t" + s->unique_time() + "\t" + check + "\tlatency_big\t" + e2e::base64(h.data(), h.size()) +
         "\n";
}

} // namespace

// what this proves: in a real browser the page connects with the "vorn" sub-protocol, its form
// makes bus and broker watches whose samples reach line charts, heat strips and the raw log, an
// error frame is shown as text, after the service restarts the page reconnects on its own and
// sends its watches again (samples resume), and when a frame does not fit its session's outbound
// queue the service closes with 1013, which the page shows, and the page reconnects and resumes
TEST(Ui, LivePageInHeadlessChromium) {
  std::string src = e2e::env_or("VORN_SOURCE_DIR", ".");
  std::string script = src + "/tests/browser/ui_page.mjs";
  std::string node = find_node();
  if (!the_stack)
    GTEST_SKIP() << "needs node, " << chromium_path() << " and tests/browser/node_modules (scripts/setup installs them)";

  E2E_REQUIRE_STACK();
  e2e::Stack *s = e2e::stack();
  std::string tools = e2e::env_or("VORN_TOOLS_DIR", "build/tools");
  std::string out_dir = dir_of(e2e::env_or("VORN_BINARY", "build/vorn-c")) + "/test-output/ui";
  std::string cmd = "mkdir -p '" + out_dir + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);

  /* Bus traffic for generated check 0: plain samples and histograms, 20 lines per second. */
  const std::string bus_check = "7e570000-0000-4000-8000-000000000000";
  e2e::Child pub;
  ASSERT_TRUE(pub.start({tools + "/pask-pub", "-u", s->nats.url(), "-s", e2e::kSubject, "-g", "-c", "1", "-m", "2",
                         "-r", "20", "-k", "plain,hist"},
                        s->dir.path() + "/pub.out", s->dir.path() + "/pub.err"));

  NodeChild page;
  ASSERT_TRUE(page.start_piped({node, script, "--url", "http://127.0.0.1:" + std::to_string(s->port) + "/",
                                "--bus-check", bus_check, "--broker-check", e2e::kBrokerCheck,
                                "--unknown-check", e2e::kUnknownCheck, "--out", out_dir},
                               out_dir + "/page.out", out_dir + "/page.err"));
  /* The page asks on its standard output ("STOP", "START", "BIG") and waits for the answer on its input. */
  int rc = -2;
  bool stopped = false, started = false, big = false;
  std::string driver_err;
  e2e::wait_until([&] {
    std::string said = page.out();
    if (!stopped && said.find("\nSTOP\n") != std::string::npos) {
      stopped = true;
      if (stop_service(s, &driver_err)) page.say("STOPPED");
    }
    if (stopped && !started && said.find("\nSTART\n") != std::string::npos) {
      started = true;
      if (start_service(s, &driver_err)) page.say("STARTED");
    }
    if (started && !big && said.find("\nBIG\n") != std::string::npos) {
      big = true;
      if (s->publish(big_histogram_line(s, bus_check))) page.say("SENT");
      else driver_err = "cannot publish the big histogram";
    }
    int status;
    if (waitpid(page.pid, &status, WNOHANG) == page.pid) {
      page.pid = -1;
      rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    return false;
  }, std::chrono::seconds(80));
  pub.stop();
  ASSERT_TRUE(driver_err.empty()) << driver_err;
  if (rc == 77) GTEST_SKIP() << page.out();
  EXPECT_EQ(rc, 0) << "page script:\n" << page.out() << page.err() << "\nservice log:\n" << e2e::Stack::tail(s->log());
  EXPECT_TRUE(stopped && started && big);
  struct stat st;
  EXPECT_EQ(stat((out_dir + "/ui-live.png").c_str(), &st), 0) << "no screenshot in " << out_dir;
}
