#include "support/wait.h"
#include <thread>
bool vorn_test::wait_until(const std::function<bool()> &pred, std::chrono::milliseconds max) {
  for (auto end = std::chrono::steady_clock::now() + max; !pred();
       std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}
