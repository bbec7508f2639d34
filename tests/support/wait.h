/* The one way tests wait for something: true once pred() holds, false when it still does not after max. */
#pragma once
#include <chrono>
#include <functional>
namespace vorn_test {
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds max = std::chrono::seconds(15));
} // namespace vorn_test
