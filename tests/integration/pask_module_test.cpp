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
/* A hook recording payloads other than probes; it keeps those starting "K". */
struct recorder {
  std::mutex mu, gate; /* mu guards the vectors; gate, held by the test, stalls the hook */
  std::vector<std::string> got;
  std::vector<std::pair<pask_kept_msg *, std::string_view>> kept;
  std::string subject;
  bool nul_terminated = true, kept_once = true;
  static zint_hook_return_t hook(void *closure, pask_conn_s *, int, pask_msg *msg, const void *data,
                                 size_t len) {
    auto *r = (recorder *) closure;
    std::string_view p((const char *) data, len);
    if (p.rfind("probe", 0) == 0) return ZINT_HOOK_CONTINUE;
    std::lock_guard stall(r->gate), lock(r->mu);
    r->got.emplace_back(p);
    r->subject = pask_msg_subject(msg);
    r->nul_terminated &= p.data()[len] == '\0';
    if (p[0] == 'K') {
      r->kept.emplace_back(pask_msg_keep(msg), p);
      r->kept_once &= !pask_msg_keep(msg);
    }
    return ZINT_HOOK_CONTINUE;
  }
  std::vector<std::string> payloads() {
    std::lock_guard lock(mu);
    return got;
  }
};
bool subscribed(vorn_test::Publisher &p, const std::string &subject = "vorn.metrics.probe") {
  return wait_until([&] { /* probes until the module gets one */
                          uint64_t before = pask_module_received();
                          EXPECT_TRUE(p.pub("probe", subject));
                          return wait_until([&] { return pask_module_received() > before; }, 100ms);
  });
}
} // namespace
// what this proves: a hook sees each message of the subject whole and keeps it intact; the configured
// subject is the one subscribed; a slow hook's overflow is dropped, counted and logged
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
  recorder acting;
  ASSERT_EQ(zint_pask_handle_message_dyn_hook_register("r", recorder::hook, &acting), 0);
  const std::string url = server.url();
  pask_module_options_t opts{url.c_str(), nullptr, 0, 0, 50};
  ASSERT_EQ(pask_module_start(&opts), 0);
  vorn_test::Publisher p(server.url());
  ASSERT_TRUE(subscribed(p));
  uint64_t received = pask_module_received();
  std::vector<std::string> sent, kept;
  for (int i = 0; i < 300; i++)
    sent.push_back(std::string(1, "PK"[i % 2]) + "\tbroker-01\t1733540000\tline " + std::to_string(i) + "\n");
  sent.push_back(std::string("P\0binary\n", 9));
  for (auto &s : sent) {
    EXPECT_TRUE(p.pub(s, "vorn.metrics.a.b"));
    if (s[0] == 'K') kept.push_back(s);
  }
  EXPECT_TRUE(p.pub("P not for us\n", "other.subject"));
  ASSERT_TRUE(wait_until([&] { return acting.payloads().size() == sent.size(); }));
  EXPECT_EQ(acting.payloads(), sent);
  EXPECT_EQ(acting.subject, "vorn.metrics.a.b");
  EXPECT_TRUE(acting.nul_terminated && acting.kept_once);
  EXPECT_EQ(pask_module_received(), received + sent.size());
  ASSERT_EQ(acting.kept.size(), kept.size());
  for (size_t i = 0; i < kept.size(); i++) {
    EXPECT_EQ(std::string(acting.kept[i].second.data(), kept[i].size() + 1), kept[i] + '\0');
    pask_kept_msg_release(acting.kept[i].first);
  }
  pask_module_stop();
  pask_module_hooks_reset();
  ASSERT_EQ(zint_conf_load_string(("<vorn-c><network><in><mq><host>" + url +
                                   "</host><subject>custom.></subject></mq></in></network></vorn-c>")
                                      .c_str()),
            0);
  ASSERT_EQ(zint_dso_init(), 0);
  recorder r;
  ASSERT_EQ(zint_pask_handle_message_hook_register("conf", recorder::hook, &r), 0);
  ASSERT_TRUE(subscribed(p, "custom.probe"));
  EXPECT_TRUE(p.pub("P not subscribed", "vorn.metrics.default") && p.pub("P custom", "custom.subject"));
  EXPECT_TRUE(wait_until([&] { return !r.payloads().empty(); }));
  EXPECT_EQ(r.payloads(), std::vector<std::string>{"P custom"}); /* in order: the other would be first */
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
