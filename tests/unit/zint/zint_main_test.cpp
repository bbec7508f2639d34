/* Tests of the frame's pieces that run inside one process: the lock file operations and the
 * module registry of the start-up sequence. (The whole frame is exercised by the cli tests.) */
#include "zint/zint_conf.h"
#include "zint/zint_main.h"
#include "zint/zint_startup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <string>
#include <unistd.h>

// LOCK refuses a lock that another open file holds; WAIT gets it once the holder lets go; NONE or
// no path does nothing; an unopenable path fails.
TEST(ZintMain, LockFileOperations) {
  char tmpl[] = "/tmp/zint_lock_testXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/x.lock";

  EXPECT_EQ(zint_lockfile_acquire(path.c_str(), ZINT_LOCK_OP_NONE), -2);
  EXPECT_EQ(zint_lockfile_acquire(nullptr, ZINT_LOCK_OP_LOCK), -2);
  EXPECT_EQ(zint_lockfile_acquire("/nonexistent/dir/x.lock", ZINT_LOCK_OP_LOCK), -1);

  int held = zint_lockfile_acquire(path.c_str(), ZINT_LOCK_OP_LOCK);
  ASSERT_GE(held, 0);
  EXPECT_EQ(zint_lockfile_acquire(path.c_str(), ZINT_LOCK_OP_LOCK), -1);

  auto waiter = std::async(std::launch::async,
                           [&] { return zint_lockfile_acquire(path.c_str(), ZINT_LOCK_OP_WAIT); });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  close(held);
  int got = waiter.get();
  EXPECT_GE(got, 0);
  EXPECT_EQ(zint_lockfile_acquire(path.c_str(), ZINT_LOCK_OP_LOCK), -1);
  close(got);
  int again = zint_lockfile_acquire(path.c_str(), ZINT_LOCK_OP_LOCK);
  EXPECT_GE(again, 0);
  close(again);
  unlink(path.c_str());
  rmdir(tmpl);
}

// Dropping to an unknown user or group fails before changing anything; no change is a success.
TEST(ZintMain, PrivilegeDropRejectsUnknownNames) {
  EXPECT_EQ(zint_drop_privileges(nullptr, nullptr), 0);
  EXPECT_EQ(zint_drop_privileges("no-such-user-zint", nullptr), -1);
  EXPECT_EQ(zint_drop_privileges(nullptr, "no-such-group-zint"), -1);
  EXPECT_EQ(zint_drop_privileges("12ab", nullptr), -1);
  std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
  uid_t before = getuid();
  EXPECT_EQ(zint_drop_privileges(uid.c_str(), gid.c_str()), 0); /* to ourselves */
  EXPECT_EQ(getuid(), before);
}

namespace {
int calls_mq, calls_always, calls_absent, calls_failing, calls_post;
int init_mq() { return ++calls_mq, 0; }
int init_always() { return ++calls_always, 0; }
int init_absent() { return ++calls_absent, 0; }
int init_failing() { return ++calls_failing, 7; }
int post_mq() { return ++calls_post, 0; }
}  // namespace

// Modules start only when their configuration path exists, once each, in registration order;
// failures are reported and leave the module unloaded; post-init runs only for loaded ones.
TEST(ZintMain, ModuleRegistryFollowsConfiguration) {
  zint_dso_reset();
  ASSERT_EQ(zint_conf_load_string("<r><network><in><mq><host>h</host></mq></in></network></r>"), 0);
  EXPECT_EQ(zint_dso_register("mq", "//network/in/mq", init_mq, post_mq), 0);
  EXPECT_EQ(zint_dso_register("mq", "//other", init_mq), -1);
  EXPECT_EQ(zint_dso_register("", nullptr, init_mq), -1);
  EXPECT_EQ(zint_dso_register("always", nullptr, init_always), 0);
  EXPECT_EQ(zint_dso_register("absent", "//network/out", init_absent, post_mq), 0);
  EXPECT_EQ(zint_dso_register("failing", "//network", init_failing, post_mq), 0);
  EXPECT_EQ(zint_dso_register("unresolved", nullptr, nullptr), 0); /* no such exported symbol */

  EXPECT_EQ(zint_dso_init(), -1);
  EXPECT_EQ(calls_mq, 1);
  EXPECT_EQ(calls_always, 1);
  EXPECT_EQ(calls_absent, 0);
  EXPECT_EQ(calls_failing, 1);
  EXPECT_TRUE(zint_dso_loaded("mq"));
  EXPECT_TRUE(zint_dso_loaded("always"));
  EXPECT_FALSE(zint_dso_loaded("absent"));
  EXPECT_FALSE(zint_dso_loaded("failing"));
  EXPECT_FALSE(zint_dso_loaded("unresolved"));

  EXPECT_EQ(zint_dso_post_init(), 0);
  EXPECT_EQ(calls_post, 1);
  EXPECT_EQ(zint_dso_init(), 0); /* nothing left to do */
  EXPECT_EQ(zint_dso_post_init(), 0);
  EXPECT_EQ(calls_mq, 1);
  EXPECT_EQ(calls_post, 1);
  zint_dso_reset();
}
