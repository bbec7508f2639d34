/* The live page in headless chromium (tests/browser/ui_page.mjs) against the whole stack with access tokens
 * on; on the script's requests this program mints a short-lived token, restarts the service with a small
 * outbound queue and publishes samples (one too big for that queue). */
#include "support/vorn_fixture.h"
#include <random>

using namespace vorn_test;

namespace {
const std::string kSrc = env_or("VORN_SOURCE_DIR", "."),
                  kChromium = env_or("VORN_CHROMIUM", "/usr/bin/chromium");
const bool kBrowser =
    access("/usr/bin/node", X_OK) == 0 && access(kChromium.c_str(), X_OK) == 0 &&
    access((kSrc + "/tests/browser/node_modules/playwright-core/package.json").c_str(), R_OK) == 0;
TempDir keys;
const std::string kKey = keys.path() + "/hs256.key";
VornConf auth_on() { /* with a key of this run */
  std::random_device r;
  std::ofstream(kKey) << r() << r() << r() << r() << r() << "\n";
  VornConf c;
  c.vorn_extra = "<auth hmac_key_file=\"" + kKey + "\" leeway_s=\"0\"/>";
  return c;
}
Stack *const the_stack =
    kBrowser ? static_cast<Stack *>(::testing::AddGlobalTestEnvironment(new Stack(auth_on()))) : nullptr;
std::string mint(const std::string &checks, const std::string &ttl) { /* "" when vorn-token fails */
  Child t;
  t.start({env_or("VORN_TOOLS_DIR", "build/tools") + "/vorn-token", "--key-file", kKey, "--checks", checks,
           "--ttl", ttl},
          kKey + ".out", kKey + ".err");
  return t.wait_exit() == 0 ? t.out().substr(0, t.out().find('\n')) : "";
}
} // namespace

// what this proves: in a real browser the page from /ui/ connects with its link's
// token, whose expiry ends the session for good; its form's bus and broker watches bring samples to charts
// and the raw log, error frames show as text; it reconnects and watches again after a restart, and after a
// 1013 close (shown) for a frame its session's queue could not take, which it never shows
TEST(Ui, LivePageInHeadlessChromium) {
  if (!kBrowser)
    GTEST_SKIP() << "needs node, " << kChromium << " and tests/browser/node_modules (scripts/setup)";
  ASSERT_EQ("", the_stack->setup_error);
  Stack &s = *the_stack;
  const std::string out =
                        std::filesystem::path(env_or("VORN_BINARY", "build/vorn-c")).parent_path().string() +
                        "/test-output/ui",
                    bus_check = "7e570000-0000-4000-8000-000000000000";
  std::filesystem::create_directories(out);
  const std::string token = mint(bus_check + "," + Stack::kBrokerCheck + "," + Stack::kUnknownCheck, "1h");
  ASSERT_NE("", token) << read_file_text(kKey + ".err");
  Child pub, page;
  ASSERT_TRUE(pub.start({env_or("VORN_TOOLS_DIR", "build/tools") + "/pask-pub", "-u", s.nats.url(), "-s",
                         Stack::kSubject, "-g", "-c", "1", "-m", "2", "-r", "20", "-k", "plain,hist"},
                        s.dir.path() + "/pub.out", s.dir.path() + "/pub.err"));
  int in[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_TRUE(page.start(
      {"/usr/bin/node", kSrc + "/tests/browser/ui_page.mjs", "--url",
       "http://127.0.0.1:" + std::to_string(s.vorn.port) + "/", "--bus-check", bus_check, "--broker-check",
       Stack::kBrokerCheck, "--unknown-check", Stack::kUnknownCheck, "--token", token, "--out", out},
      out + "/page.out", out + "/page.err", in[0]));
  close(in[0]);
  /* The page asks on its stdout ("INTS", "TOKEN", "STOP", ...) and waits for the answer on its stdin. */
  std::vector<std::string> asked;
  std::string err;
  auto answer = [&](const std::string &request, const std::string &reply, const std::function<bool()> &act) {
    if (page.out().find("\n" + request + "\n") == std::string::npos ||
        std::count(asked.begin(), asked.end(), request))
      return;
    asked.push_back(request);
    EXPECT_EQ((ssize_t) reply.size() + 1, act() ? write(in[1], (reply + "\n").c_str(), reply.size() + 1) : -1)
        << request;
  };
  int rc = -2;
  wait_until(
      [&] {
        answer("STOP", "STOPPED", [&] {
          return s.vorn.proc.stop() == 0 || (err = "vorn-c did not end with 0:\n" + s.vorn.tail(), false);
        });
        answer("START", "STARTED", [&] {
          std::string conf = read_file_text(s.dir.path() + "/vorn-c.conf"),
                      path = s.dir.path() + "/vorn-c-2.conf";
          conf.replace(conf.find("port=\"0\""), 8, "port=\"" + std::to_string(s.vorn.port) + "\"");
          std::ofstream(path) << conf.insert(conf.rfind("</vorn-c>"),
                                             "<http outbound_queue_bytes=\"8192\"/>\n");
          return s.vorn.start(path, &err);
        });
        answer("TOKEN", "MINTED",
               [&] { return (std::ofstream(out + "/brief.token") << mint(bus_check, "4s")).good(); });
        answer("INTS", "SENT", [&] {
          return s.publish(m_line(bus_check, "u64", "18446744073709551321", "L")) &&
                 s.publish(m_line(bus_check, "i64", "-9223372036854775808", "l"));
        });
        answer("BIG", "SENT",
               [&] { return s.publish(m_line(bus_check, "latency_big", std::string(20000, 'x'), "s")); });
        return (rc = page.wait_exit(std::chrono::milliseconds(0))) != -2;
      },
      std::chrono::seconds(80));
  close(in[1]);
  EXPECT_EQ("", err);
  EXPECT_EQ(0, rc) << "page script:\n" << page.out() << page.err() << "\nservice log:\n" << s.vorn.tail();
  EXPECT_EQ((std::vector<std::string>{"INTS", "TOKEN", "STOP", "START", "BIG"}), asked);
  EXPECT_TRUE(std::filesystem::exists(out + "/ui-live.png"));
}
