/* Tests of safe memory: a reader inside a section never sees a block released under it, every
 * cleanup runs exactly once, sections nest, and foreign threads and cleanups may release blocks. */
#include "zint/zint_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kLive = 0x5AFE5AFE5AFE5AFEull;
constexpr uint64_t kDead = 0xDEADDEADDEADDEADull;

struct shared_block {
  uint64_t magic;       /* kLive until the cleanup scribbles kDead over it */
  uint64_t payload[6];  /* readers check every word, so a reused block is noticed too */
};

std::atomic<long> g_cleanups{0};

void scribble_cleanup(void *p) {
  auto *b = static_cast<shared_block *>(p);
  EXPECT_EQ(b->magic, kLive) << "cleanup ran twice on one block";
  b->magic = kDead;
  for (auto &w : b->payload) w = kDead;
  g_cleanups.fetch_add(1);
}

shared_block *new_block(uint64_t v) {
  auto *b = static_cast<shared_block *>(zint_memory_safe_malloc_cleanup(sizeof(shared_block), scribble_cleanup));
  b->magic = kLive;
  for (auto &w : b->payload) w = v;
  return b;
}

}  // namespace

// what this proves: readers that load a shared pointer inside a section can use the block until
// they leave, although writers keep replacing and releasing it; each cleanup runs once (ASan
// reports a use after free, the scribbling cleanup reports an early release).
TEST(Memory, ReadersNeverSeeReleasedBlocks) {
  zint_memory_init();
  g_cleanups = 0;
  std::atomic<shared_block *> shared{new_block(0)};
  std::atomic<bool> stop{false};
  std::atomic<long> bad{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; r++) {
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        zint_memory_begin();
        shared_block *b = shared.load(std::memory_order_acquire);
        for (int spin = 0; spin < 4; spin++) {
          uint64_t first = b->payload[0];
          if (b->magic != kLive) bad++;
          for (auto w : b->payload)
            if (w != first) bad++;
        }
        zint_memory_end();
        reads++;
      }
    });
  }
  constexpr long kSwaps = 20000;
  std::thread writer([&] {
    for (long i = 1; i <= kSwaps; i++) {
      shared_block *old = shared.exchange(new_block((uint64_t) i), std::memory_order_acq_rel);
      zint_memory_safe_free(old);
    }
  });
  writer.join();
  while (reads.load() < 1000) std::this_thread::yield();
  stop = true;
  for (auto &t : readers) t.join();
  zint_memory_safe_free(shared.load());
  zint_memory_barrier();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(g_cleanups.load(), kSwaps + 1);
  EXPECT_EQ(zint_memory_pending(), 0u);
}

// what this proves: sections nest, zint_memory_in_cs follows them, and a stray end is refused
// without corrupting the thread's state.
TEST(Memory, SectionsNest) {
  zint_memory_init();
  zint_memory_init(); /* start-up calls it twice */
  EXPECT_FALSE(zint_memory_in_cs());
  zint_memory_begin();
  zint_memory_begin();
  EXPECT_TRUE(zint_memory_in_cs());
  zint_memory_end();
  EXPECT_TRUE(zint_memory_in_cs());
  zint_memory_end();
  EXPECT_FALSE(zint_memory_in_cs());
  zint_memory_end(); /* logged, ignored */
  EXPECT_FALSE(zint_memory_in_cs());
  zint_memory_begin();
  EXPECT_TRUE(zint_memory_in_cs());
  zint_memory_end();
  EXPECT_FALSE(zint_memory_in_cs());
}

// what this proves: a release waits for a reader that was inside a section, and happens once it
// leaves; the barrier refuses to run inside a section instead of waiting on itself.
TEST(Memory, ReleaseWaitsForReader) {
  zint_memory_init();
  g_cleanups = 0;
  shared_block *b = new_block(7);
  std::mutex m;
  std::condition_variable cv;
  int stage = 0; /* 1: reader inside; 2: release requested; 3: reader left */
  std::thread reader([&] {
    zint_memory_begin();
    {
      std::unique_lock<std::mutex> g(m);
      stage = 1;
      cv.notify_all();
      cv.wait(g, [&] { return stage == 2; });
    }
    EXPECT_EQ(b->magic, kLive);
    EXPECT_EQ(b->payload[5], 7u);
    zint_memory_end();
    std::lock_guard<std::mutex> g(m);
    stage = 3;
    cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return stage == 1; });
  }
  zint_memory_safe_free(b);
  /* Give the reclaimer every chance to run too early: it must not while the reader is inside. */
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  while (std::chrono::steady_clock::now() < deadline && g_cleanups.load() == 0) std::this_thread::yield();
  EXPECT_EQ(g_cleanups.load(), 0);
  {
    std::lock_guard<std::mutex> g(m);
    stage = 2;
    cv.notify_all();
  }
  reader.join();
  zint_memory_begin();
  zint_memory_barrier(); /* refused inside a section: must return, not hang */
  zint_memory_end();
  zint_memory_barrier();
  EXPECT_EQ(g_cleanups.load(), 1);
}

namespace {
std::atomic<int> g_chain{0};
void chain_inner(void *) { g_chain.fetch_add(1); }
void chain_outer(void *p) {
  void *inner = nullptr;
  memcpy(&inner, p, sizeof inner);
  zint_memory_safe_free(inner); /* a cleanup releasing another block */
  g_chain.fetch_add(10);
}
}  // namespace

// what this proves: a thread never registered may release blocks, a cleanup may release another
// block, and the barrier waits for such chained releases too; calloc gives zeroed blocks.
TEST(Memory, ForeignThreadsAndChainedReleases) {
  zint_memory_init();
  g_chain = 0;
  auto *z = static_cast<unsigned char *>(zint_memory_safe_calloc(64));
  ASSERT_NE(z, nullptr);
  for (int i = 0; i < 64; i++) ASSERT_EQ(z[i], 0);
  void *inner = zint_memory_safe_malloc_cleanup(16, chain_inner);
  void *outer = zint_memory_safe_malloc_cleanup(sizeof(void *), chain_outer);
  memcpy(outer, &inner, sizeof inner);
  std::thread foreign([&] {
    zint_memory_safe_free(outer);
    zint_memory_safe_free(z);
    zint_memory_safe_free(nullptr);
  });
  foreign.join();
  zint_memory_barrier();
  EXPECT_EQ(g_chain.load(), 11);
  EXPECT_EQ(zint_memory_pending(), 0u);
  /* Immediate release runs the cleanup too. */
  void *now = zint_memory_safe_malloc_cleanup(8, chain_inner);
  zint_memory_safe_free_now(now);
  EXPECT_EQ(g_chain.load(), 12);
}
