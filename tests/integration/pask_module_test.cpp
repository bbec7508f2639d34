// The message-bus module against a real nats-server on loopback: hooks, keeping, retries, slow consumers.
#include "pask/pask.h"
#include "support/vorn_fixture.h"
#include "zint/zint_conf.h"
#include "zint/zint_log.h"
#include "zint/zint_startup.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <mutex>
namespace {
using namespace std::chrono_literals;
using vorn_test::wait_until;
/* A hook recording payloads other than probes; an acting one keeps those starting "K", ends the chain at "D".
 */
struct recorder {
  std::mutex mu, gate; /* mu guards the vectors; gate, held by the test, stalls the hook */
  std::vector<std::string> got;
  std::vector<std::pair<pask_kept_msg *, std::string_view>> kept;
  std::string subject;
  bool acts = false, nul_terminated = true, kept_once = true;
  static zint_hook_return_t hook(void *closure, pask_conn_s *, int, pask_msg *msg, const void *data,
                                 size_t len) {
    auto *r = (recorder *) closure;
    std::string_view p((const char *) data, len);
    if (p.rfind("probe", 0) == 0) return ZINT_HOOK_CONTINUE;
    std::lock_guard stall(r->gate), lock(r->mu);
    r->got.emplace_back(p);
    r->subject = pask_msg_subject(msg);
    r->nul_terminated &= p.data()[len] == '\0';
    if (r->acts && p[0] == 'K') {
      r->kept.emplace_back(pask_msg_keep(msg), p);
      r->kept_once &= !pask_msg_keep(msg);
    }
    return r->acts && p[0] == 'D' ? ZINT_HOOK_DONE : ZINT_HOOK_CONTINUE;
  }
  std::vector<std::string> payloads() {
    std::lock_guard lock(mu);
    return got;
  }
};
bool subscribed(vorn_test::Publisher &p) { /* probes until the module gets one */
  return wait_until([&] {
    uint64_t before = pask_module_received();
    EXPECT_TRUE(p.pub("probe", "vorn.metrics.probe"));
    return wait_until([&] { return pask_module_received() > before; }, 100ms);
  });
}
} // namespace
// what this proves: hooks see each message whole, keep/DONE end the chain, bad setups refused, drops counted
TEST(PaskModule, HooksConfigurationAndSlowConsumers) {
  vorn_test::TempDir dir;
  vorn_test::nats_fixture server;
  std::string log_path = dir.path() + "/error.log";
  auto error_log = [&] {
    zint_log_flush();
    return vorn_test::read_file_text(log_path);
  };
  ASSERT_EQ(zint_log_stream_set_output(zint_error, log_path.c_str(), 0), 0);
  ASSERT_TRUE(server.start()) << server.error;
  recorder acting, last;
  acting.acts = true;
  ASSERT_EQ(zint_pask_handle_message_dyn_hook_register("null", nullptr, nullptr), -1);
  ASSERT_EQ(zint_pask_handle_message_dyn_hook_register("r", recorder::hook, &acting), 0);
  const std::string url = server.url();
  pask_module_options_t opts{url.c_str(), nullptr, 0, 0, 50};
  ASSERT_EQ(pask_module_start(&opts), 0);
  ASSERT_EQ(zint_pask_handle_message_dyn_hook_register(nullptr, recorder::hook, &last),
            0);                            /* while running */
  EXPECT_EQ(pask_module_start(&opts), -1); /* one connection per process */
  vorn_test::Publisher p(server.url());
  ASSERT_TRUE(subscribed(p));
  uint64_t received = pask_module_received();
  std::vector<std::string> sent, plain, kept;
  for (int i = 0; i < 300; i++)
    sent.push_back(std::string(1, "PKD"[i % 3]) + "\tbroker-01\t1733540000\tline " + std::to_string(i) +
                   "\n");
  sent.push_back(std::string("P\0binary\n", 9));
  for (auto &s : sent) {
    EXPECT_TRUE(p.pub(s, "vorn.metrics.a.b"));
    if (s[0] != 'D') (s[0] == 'P' ? plain : kept).push_back(s);
  }
  EXPECT_TRUE(p.pub("P not for us\n", "other.subject"));
  ASSERT_TRUE(wait_until([&] { return acting.payloads().size() == sent.size(); }));
  EXPECT_EQ(acting.payloads(), sent);
  EXPECT_EQ(last.payloads(), plain);
  EXPECT_EQ(acting.subject, "vorn.metrics.a.b");
  EXPECT_TRUE(acting.nul_terminated && acting.kept_once);
  EXPECT_EQ(pask_module_received(), received + sent.size());
  ASSERT_EQ(acting.kept.size(), kept.size());
  for (size_t i = 0; i < kept.size(); i++) {
    EXPECT_EQ(std::string(acting.kept[i].second.data(), kept[i].size() + 1), kept[i] + '\0');
    pask_kept_msg_release(acting.kept[i].first);
  }
  EXPECT_EQ(pask_msg_keep(nullptr), nullptr);
  pask_module_stop();
  pask_module_hooks_reset();
  pask_module_options_t bad[] = {{" , ,", nullptr, 0, 0, 0}, {"nats://127.0.0.1:1", nullptr, -1, 0, 0}};
  for (auto &b : bad) EXPECT_EQ(pask_module_start(&b), -1) << b.hosts;
  ASSERT_EQ(
      zint_conf_load_string("<vorn-c><network><in><mq><subject>x</subject></mq></in></network></vorn-c>"), 0);
  EXPECT_EQ(pask_module_init(), -1);
  EXPECT_NE(error_log().find("//network/in/mq/host is not configured"), std::string::npos);
  ASSERT_EQ(zint_conf_load_string(("<vorn-c><network><in><mq><host>" + url +
                                   "</host><subject>custom.></subject></mq></in></network></vorn-c>")
                                      .c_str()),
            0);
  ASSERT_EQ(zint_dso_init(), 0);
  recorder r;
  ASSERT_EQ(zint_pask_handle_message_hook_register("conf", recorder::hook, &r), 0);
  ASSERT_TRUE(wait_until([&] { /* until the subscription is in place */
                               EXPECT_TRUE(p.pub("P not subscribed", "vorn.metrics.default"));
                               EXPECT_TRUE(p.pub("P custom", "custom.subject"));
                               return wait_until([&] { return !r.payloads().empty(); }, 100ms);
  }));
  std::vector<std::string> got = r.payloads();
  got.erase(std::unique(got.begin(), got.end()), got.end()); /* it may have been sent more than once */
  EXPECT_EQ(got, std::vector<std::string>{"P custom"});
  pask_module_stop();
  pask_module_hooks_reset();
  recorder slow;
  slow.gate.lock();
  ASSERT_EQ(zint_pask_handle_message_dyn_hook_register("slow", recorder::hook, &slow), 0);
  opts.pending_msgs_limit = 10;
  ASSERT_EQ(pask_module_start(&opts), 0);
  ASSERT_TRUE(subscribed(p));
  const uint64_t burst = 300;
  for (uint64_t i = 0; i < burst; i++) EXPECT_TRUE(p.pub("P " + std::to_string(i), "vorn.metrics.s"));
  ASSERT_TRUE(wait_until([] { return pask_module_dropped() >= burst - 11; })) << pask_module_dropped();
  slow.gate.unlock();
  ASSERT_TRUE(wait_until([&] { return slow.payloads().size() + pask_module_dropped() == burst; }));
  EXPECT_NE(error_log().find("messages dropped"), std::string::npos) << error_log();
  uint64_t dropped = pask_module_dropped();
  pask_module_stop();
  EXPECT_EQ(pask_module_dropped(), dropped);
}
