#include "support/wait.h"

#include <thread>

namespace vorn_test {

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds max) {
  auto end = std::chrono::steady_clock::now() + max;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vorn_test
