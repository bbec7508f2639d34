/* The one way tests wait for something: poll a condition until it holds or a deadline passes. */
#ifndef VORN_TEST_WAIT_H
#define VORN_TEST_WAIT_H
#include <chrono>
#include <functional>
namespace vorn_test {
/* True as soon as pred() holds, false when it still does not after max (polled every 2 ms). */
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds max = std::chrono::seconds(15));
}  // namespace vorn_test
#endif
