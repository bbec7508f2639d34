/* Tests of the event loop: pools and their io_context, one-shot timers, job queues (WORK then
 * COMPLETE, the concurrency limit, the backlog bound) and the job queue settings. */
#include "zint/eventer.h"
#include "zint/eventer_asio.h"
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

/* Waits (without a deadline of its own: ctest's timeout catches a hang) until pred holds. */
template <typename Pred> void await(std::mutex &m, std::condition_variable &cv, Pred pred) {
  std::unique_lock<std::mutex> g(m);
  cv.wait(g, pred);
}

}  // namespace

// what this proves: the default pool exists without any set-up and its io_context runs handlers
// on as many distinct threads as the pool has.
TEST(Eventer, DefaultPoolRunsHandlers) {
  eventer_pool_t *pool = eventer_pool("default");
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool, eventer_pool("default"));
  int n = eventer_pool_concurrency(pool);
  EXPECT_GE(n, 1);
  EXPECT_EQ(eventer_pool("no_such_pool"), nullptr);

  std::mutex m;
  std::condition_variable cv;
  std::vector<std::thread::id> seen;
  int arrived = 0;
  for (int i = 0; i < n; i++) {
    boost::asio::post(eventer_pool_io_context(pool), [&] {
      std::unique_lock<std::mutex> g(m);
      seen.push_back(std::this_thread::get_id());
      arrived++;
      cv.notify_all();
      /* Hold every thread until all n handlers run at once: proves n threads serve the pool. */
      cv.wait(g, [&] { return arrived >= n; });
    });
  }
  await(m, cv, [&] { return arrived >= n; });
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()) - seen.begin(), n);
}
